#include "server/transport.h"

#include <openssl/err.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace virelo::tool {
namespace {

Io from_errno(std::string& failure) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {Io::again};
    failure = std::strerror(errno);
    return {Io::failed};
}

class PlainTransport final : public Transport {
public:
    explicit PlainTransport(unique_fd socket) : Transport{std::move(socket)} {}

    Io read(char* buffer, std::size_t size) override {
        const ssize_t n = ::recv(fd(), buffer, size, 0);
        if (n > 0) return {Io::done, static_cast<std::size_t>(n)};
        if (n == 0) return {Io::closed};
        return from_errno(failure_);
    }

    Io write(const char* bytes, std::size_t size, bool more) override {
        const ssize_t n = ::send(fd(), bytes, size, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n >= 0) return {Io::done, static_cast<std::size_t>(n)};
        return from_errno(failure_);
    }

    std::optional<Io> send_file(int file, std::uint64_t offset, std::size_t size) override {
        auto position = static_cast<off_t>(offset);
        const ssize_t n = ::sendfile(fd(), file, &position, size);
        if (n > 0) return Io{Io::done, static_cast<std::size_t>(n)};
        if (n == 0) {  // the file is shorter than when it was opened
            failure_ = "file shrank while being sent";
            return Io{Io::failed};
        }
        return from_errno(failure_);
    }

    void shutdown_write() override { ::shutdown(fd(), SHUT_WR); }
};

class TlsTransport final : public Transport {
public:
    TlsTransport(unique_fd socket, unique_ssl session) : Transport{std::move(socket)}, ssl_{std::move(session)} {
        SSL_set_fd(ssl_.get(), fd());
        SSL_set_accept_state(ssl_.get());
        // Release buffers: an idle or stalled connection keeps no 34 KiB of
        // TLS record buffers, so thousands of them stay small.
        SSL_set_mode(ssl_.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    }

    Io handshake() override {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl_.get());
        if (result == 1) return {};
        return outcome(result);
    }

    bool heard_from_client() const override { return BIO_number_read(SSL_get_rbio(ssl_.get())) > 0; }

    Io read(char* buffer, std::size_t size) override {
        ERR_clear_error();
        std::size_t n = 0;
        if (SSL_read_ex(ssl_.get(), buffer, size, &n) == 1) return {Io::done, n};
        return outcome(0);
    }

    Io write(const char* bytes, std::size_t size, bool /*more*/) override {
        ERR_clear_error();
        std::size_t n = 0;
        if (SSL_write_ex(ssl_.get(), bytes, size, &n) == 1) return {Io::done, n};
        return outcome(0);
    }

    void shutdown_write() override {
        ERR_clear_error();
        SSL_shutdown(ssl_.get());  // close_notify, best effort
        ::shutdown(fd(), SHUT_WR);
    }

private:
    Io outcome(int result) {
        const int saved_errno = errno;
        switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return {Io::again};
        case SSL_ERROR_ZERO_RETURN:
            failure_ = "connection closed by the client";
            return {Io::closed};
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) {
                if (saved_errno == EAGAIN || saved_errno == EINTR) return {Io::again};
                failure_ = saved_errno == 0 ? "connection closed by the client" : std::strerror(saved_errno);
                return {saved_errno == 0 ? Io::closed : Io::failed};
            }
            break;
        default:
            break;
        }
        const unsigned long code = ERR_peek_last_error();
        const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
        failure_ = reason ? reason : "TLS error";
        ERR_clear_error();
        return {Io::failed};
    }

    unique_ssl ssl_;
};

}  // namespace

std::unique_ptr<Transport> plain_transport(unique_fd socket) {
    return std::make_unique<PlainTransport>(std::move(socket));
}

std::unique_ptr<Transport> tls_transport(unique_fd socket, unique_ssl session) {
    return std::make_unique<TlsTransport>(std::move(socket), std::move(session));
}

}  // namespace virelo::tool
