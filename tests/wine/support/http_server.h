#pragma once
// A scripted HTTP server inside the test process: it listens on 127.0.0.1 at
// a free port and answers each connection with whatever raw bytes the test's
// handler writes, so malformed, cut and oversized responses are easy to make.

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace virelo::test {

struct HttpRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string head;    // request line and headers
};

// One accepted connection; the response is whatever the handler sends.
class HttpConnection {
public:
    explicit HttpConnection(SOCKET socket) : socket_{socket} {}

    // False once the client has gone.
    bool send(std::string_view bytes);
    bool send(std::span<const std::uint8_t> bytes);
    // Ends the connection at once with a reset instead of an orderly close.
    void reset();
    bool is_open() const { return socket_ != INVALID_SOCKET; }

private:
    SOCKET socket_;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpConnection&)>;

class HttpServer {
public:
    explicit HttpServer(HttpHandler handler);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer();

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>/" followed by `path`.
    std::string url(std::string_view path = {}) const;

    // Request targets in the order they arrived, and the number of connections
    // accepted (a connection may close before sending a request).
    std::vector<std::string> targets() const;
    int connections() const { return connections_; }

private:
    void serve();
    void answer(SOCKET client);

    HttpHandler handler_;
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
    std::vector<std::thread> answering_;  // one per connection, joined at the end
    std::thread thread_;
};

// "HTTP/1.1 <status> <reason>" with Content-Length, Connection: close, the
// extra header lines (each ending in CRLF) and the body.
std::string http_response(int status, std::string_view body, std::string_view extra_headers = {});

}  // namespace virelo::test
