#include "support/http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

namespace virelo::test {
namespace {

// Winsock stays initialised for the life of the test process.
void start_winsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

bool readable(SOCKET socket, long timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

// The request head, up to the blank line; empty if the client sent none.
std::string read_head(SOCKET client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (!readable(client, 5000)) return {};
        const int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return head.substr(0, head.find("\r\n\r\n") + 4);
}

HttpRequest parse_request(std::string head) {
    HttpRequest request;
    const auto line_end = head.find("\r\n");
    const std::string line = head.substr(0, line_end);
    const auto first = line.find(' ');
    const auto second = line.find(' ', first + 1);
    if (first != std::string::npos && second != std::string::npos) {
        request.method = line.substr(0, first);
        request.target = line.substr(first + 1, second - first - 1);
    }
    request.head = std::move(head);
    return request;
}

const char* reason_phrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

bool HttpConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int n = ::send(socket_, bytes.data(), chunk, 0);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool HttpConnection::send(std::span<const std::uint8_t> bytes) {
    return send(std::string_view{reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void HttpConnection::reset() {
    linger abort{1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

HttpServer::HttpServer(HttpHandler handler) : handler_{std::move(handler)} {
    start_winsock();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, SOMAXCONN) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener_);
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread{[this] { serve(); }};
}

HttpServer::~HttpServer() {
    stopping_ = true;
    thread_.join();
    for (std::thread& answering : answering_) answering.join();
    closesocket(listener_);
}

std::string HttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + std::string{path};
}

std::vector<std::string> HttpServer::targets() const {
    std::lock_guard lock{mutex_};
    return targets_;
}

// Each connection is answered on a thread of its own, so a client that asks
// for two things at once gets them at once, and a handler that stalls one
// answer holds up no other.
void HttpServer::serve() {
    while (!stopping_) {
        if (!readable(listener_, 50)) continue;
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        ++connections_;
        answering_.emplace_back([this, client] { answer(client); });
    }
}

void HttpServer::answer(SOCKET client) {
    std::string head = read_head(client);
    if (!head.empty()) {
        HttpRequest request = parse_request(std::move(head));
        {
            std::lock_guard lock{mutex_};
            targets_.push_back(request.target);
        }
        HttpConnection connection{client};
        handler_(request, connection);
        if (!connection.is_open()) return;  // reset() closed it
        // An orderly close: the client reads everything sent before the end.
        shutdown(client, SD_SEND);
        char sink[512];
        while (readable(client, 2000) && recv(client, sink, sizeof sink, 0) > 0) {
        }
    }
    closesocket(client);
}

std::string http_response(int status, std::string_view body, std::string_view extra_headers) {
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
    response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    response += "Connection: close\r\n";
    response += extra_headers;
    response += "\r\n";
    response += body;
    return response;
}

}  // namespace virelo::test
