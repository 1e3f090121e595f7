// A throwaway measurement prototype, not part of the tool: the release
// folder's static files and the release API's three names served with
// Boost.Beast (plain HTTP, GET and HEAD, keep-alive, no ranges, no limits),
// so scripts/bench-serve can set what a port onto Beast/Asio would give
// beside `serve` and nginx. Usage: beast_static_server ROOT PORT
#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string file_for(std::string_view target) {
    if (target == "/api/release?f=manifest") return "manifest.json";
    if (target == "/api/release?f=sig") return "manifest.sig";
    if (target == "/api/release?f=exe") return "release.exe";
    if (target.size() < 2 || target.front() != '/' || target.find("..") != std::string_view::npos ||
        target.find('?') != std::string_view::npos) {
        return {};
    }
    return std::string{target.substr(1)};
}

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const std::string& root) : stream_{std::move(socket)}, root_{root} {}
    void start() { read(); }

private:
    void read() {
        request_ = {};
        http::async_read(stream_, buffer_, request_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return self->close();
            self->answer();
        });
    }

    void answer() {
        const bool keep_alive = request_.keep_alive();
        const auto target = request_.target();
        const std::string name = file_for(std::string_view{target.data(), target.size()});
        beast::error_code error;
        http::file_body::value_type file;
        if (!name.empty()) file.open((root_ + "/" + name).c_str(), beast::file_mode::scan, error);
        if (name.empty() || error) {
            auto missing = std::make_shared<http::response<http::string_body>>(http::status::not_found,
                                                                               request_.version());
            missing->set(http::field::content_type, "text/plain");
            missing->body() = "not found\n";
            missing->keep_alive(keep_alive);
            missing->prepare_payload();
            return send(missing);
        }
        auto found = std::make_shared<http::response<http::file_body>>(
            std::piecewise_construct, std::make_tuple(std::move(file)), std::make_tuple(http::status::ok,
                                                                                        request_.version()));
        found->set(http::field::content_type, "application/octet-stream");
        found->keep_alive(keep_alive);
        found->prepare_payload();
        send(found);
    }

    template <class Response>
    void send(std::shared_ptr<Response> response) {
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code error, std::size_t) {
                              if (error || !response->keep_alive()) return self->close();
                              self->read();
                          });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    beast::tcp_stream stream_;
    const std::string& root_;
    beast::flat_buffer buffer_;
    http::request<http::empty_body> request_;
};

void accept(tcp::acceptor& acceptor, const std::string& root) {
    acceptor.async_accept([&acceptor, &root](beast::error_code error, tcp::socket socket) {
        if (!error) {
            socket.set_option(tcp::no_delay{true});
            std::make_shared<Session>(std::move(socket), root)->start();
        }
        accept(acceptor, root);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: beast_static_server ROOT PORT\n");
        return 2;
    }
    const std::string root = argv[1];
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    asio::io_context context{static_cast<int>(threads)};
    tcp::acceptor acceptor{context, {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(argv[2]))}};
    accept(acceptor, root);
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back([&context] { context.run(); });
    context.run();
    for (auto& thread : pool) thread.join();
}
