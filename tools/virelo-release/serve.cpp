#include "serve.h"

// Debian's libcpp-httplib is built with OpenSSL; the header's declarations
// must match the library's build.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#error "cpp-httplib must be used with CPPHTTPLIB_OPENSSL_SUPPORT (take its flags from pkg-config)"
#endif
#include <httplib.h>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "access_log.h"
#include "cli.h"
#include "file_io.h"
#include "site_files.h"

namespace virelo::tool {
namespace {

constexpr std::size_t worker_threads = 16;
constexpr std::size_t chunk_size = 64 * 1024;

struct ListenAddress {
    std::string host;       // as given, brackets kept, for messages
    std::string bind_host;  // without the brackets of an IPv6 literal
    int port = 0;
};

Expected<ListenAddress> parse_listen(const std::string& text) {
    using Out = Expected<ListenAddress>;
    const auto colon = text.rfind(':');
    const std::string bad = "--listen wants HOST:PORT (for example 127.0.0.1:8080), not \"" + text + "\"";
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return Out::failure(bad);
    ListenAddress address;
    address.host = text.substr(0, colon);
    address.bind_host = address.host;
    if (address.host.front() == '[' && address.host.back() == ']') {
        address.bind_host = address.host.substr(1, address.host.size() - 2);
    } else if (address.host.find(':') != std::string::npos) {
        return Out::failure(bad + " (write an IPv6 address in brackets)");
    }
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return Out::failure(bad);
    address.port = std::stoi(port);
    if (address.port > 65535) return Out::failure(bad);
    return address;
}

// Answers with the file's bytes, read from the open descriptor while sending:
// a republish that replaces the file does not change an answer under way.
// The status is left to cpp-httplib: 200, or 206 when the client asked for a range.
void send_file(httplib::Response& response, OpenedFile file) {
    if (file.size == 0) {
        response.set_content("", file.content_type);  // still sends Content-Length: 0
        return;
    }
    auto fd = std::make_shared<unique_fd>(std::move(file.fd));
    response.set_content_provider(
        static_cast<std::size_t>(file.size), file.content_type,
        [fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min(length, chunk_size));
            const ssize_t n = ::pread(fd->get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
            if (n <= 0) return false;  // the file shrank: cut the connection rather than send garbage
            return sink.write(buffer.data(), static_cast<std::size_t>(n));
        });
}

// cpp-httplib neither refuses a range that starts past the end nor cuts one
// that ends past it; left alone it announces more bytes than it can send.
// Returns false when a range is unsatisfiable, and clamps the ends otherwise.
bool fit_ranges(httplib::Ranges& ranges, std::uint64_t size) {
    for (auto& [first, last] : ranges) {
        if (first < 0) {  // suffix: the last `last` bytes
            if (last <= 0 || size == 0) return false;
            continue;
        }
        if (static_cast<std::uint64_t>(first) >= size || (last >= 0 && last < first)) return false;
        if (last < 0 || static_cast<std::uint64_t>(last) >= size) last = static_cast<ssize_t>(size - 1);
    }
    return true;
}

void send_range_not_satisfiable(httplib::Response& response, std::uint64_t size) {
    response.status = 416;
    response.set_header("Content-Range", "bytes */" + std::to_string(size));
}

void send_not_found(httplib::Response& response) {
    response.status = 404;
    response.set_content("not found\n", "text/plain; charset=us-ascii");
}

httplib::Server::HandlerResponse answer(const SiteRoot& root, const httplib::Request& request,
                                        httplib::Response& response) {
    if (request.method != "GET" && request.method != "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    std::optional<OpenedFile> file;
    if (request.path == "/api/release") {
        if (request.get_param_value_count("f") == 1) file = root.open_api(request.get_param_value("f"));
    } else {
        file = root.open_file(request.path);
    }
    // The request is cpp-httplib's own mutable object, handed over as const;
    // its ranges are what it will cut the answer to.
    if (file && !fit_ranges(const_cast<httplib::Request&>(request).ranges, file->size)) {
        send_range_not_satisfiable(response, file->size);
    } else if (file) {
        send_file(response, std::move(*file));
    } else {
        send_not_found(response);
    }
    return httplib::Server::HandlerResponse::Handled;
}

// SO_REUSEADDR only: a port still in TIME_WAIT can be reused, but a port some
// other program listens on is refused (cpp-httplib's default SO_REUSEPORT
// would silently share it).
void reuse_address_only(socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

Expected<std::unique_ptr<httplib::Server>> make_server(const Options& options) {
    using Out = Expected<std::unique_ptr<httplib::Server>>;
    const bool has_cert = options.has("--tls-cert");
    if (has_cert != options.has("--tls-key")) return Out::failure("--tls-cert and --tls-key go together");
    if (!has_cert) return std::make_unique<httplib::Server>();
    const std::string cert = options.get("--tls-cert");
    const std::string key = options.get("--tls-key");
    for (const auto& path : {cert, key}) {
        if (auto readable = read_file(path); !readable) return Out::failure(readable.error());
    }
    auto server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!server->is_valid()) {
        return Out::failure("cannot use TLS certificate " + cert + " with key " + key);
    }
    return std::unique_ptr<httplib::Server>{std::move(server)};
}

}  // namespace

int run_serve(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--root", "--listen", "--tls-cert", "--tls-key"});
    if (!parsed) return fail(parsed.error(), exit_usage);
    const Options& options = parsed.value();
    if (!options.has("--root") || !options.has("--listen")) return fail("serve needs --root DIR and --listen HOST:PORT", exit_usage);
    const auto address = parse_listen(options.get("--listen"));
    if (!address) return fail(address.error(), exit_usage);
    const auto root = SiteRoot::open(options.get("--root"));
    if (!root) return fail(root.error());
    auto made = make_server(options);
    if (!made) return fail(made.error());
    httplib::Server& server = *made.value();
    const bool tls = options.has("--tls-cert");

    // Stop signals are taken by one thread with sigwait; every other thread,
    // the pool included, inherits the blocked mask. A client that hangs up
    // mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    server.new_task_queue = [] { return new httplib::ThreadPool(worker_threads); };
    server.set_socket_options(reuse_address_only);
    const SiteRoot& site = root.value();
    server.set_pre_routing_handler(
        [&site](const httplib::Request& request, httplib::Response& response) { return answer(site, request, response); });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        log_request(request, response);
    });

    errno = 0;
    int port = address.value().port;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(address.value().bind_host)) > 0
                                 : server.bind_to_port(address.value().bind_host, port);
    if (!bound) {
        const int error = errno;
        return fail("cannot listen on " + options.get("--listen") +
                    (error != 0 ? std::string{": "} + std::strerror(error) : std::string{}));
    }
    std::printf("listening on %s://%s:%d/\n", tls ? "https" : "http", address.value().host.c_str(), port);
    std::fflush(stdout);

    std::atomic<bool> finished{false};
    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        // stop() only takes effect once the accept loop runs; repeat until it has.
        while (!finished.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const bool clean = server.listen_after_bind();
    finished = true;
    pthread_kill(stopper.native_handle(), SIGTERM);  // wakes sigwait if no signal came
    stopper.join();
    std::fflush(stdout);
    if (!clean) return fail("the server stopped unexpectedly");
    return 0;
}

}  // namespace virelo::tool
