#pragma once
// A connection's byte stream on a non-blocking socket: plain TCP, or TLS
// through OpenSSL. Every call returns at once; `again` means "wait for the
// socket to become ready".

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/file_io.h"
#include "base/openssl_ptr.h"

namespace virelo::tool {

using unique_ssl = std::unique_ptr<SSL, FreeWith<SSL, SSL_free>>;

struct Io {
    enum Status { done, again, closed, failed } status = done;
    std::size_t bytes = 0;  // with done
};

class Transport {
public:
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    int fd() const { return socket_.get(); }

    // Until `done`; plain TCP is done at once.
    virtual Io handshake() { return {}; }
    virtual Io read(char* buffer, std::size_t size) = 0;
    // `more`: further bytes follow at once, so the kernel may hold this
    // piece back to fill a segment.
    virtual Io write(const char* bytes, std::size_t size, bool more) = 0;
    // Sends file bytes without copying them through user space, where the
    // transport can; nothing means the caller copies them through write().
    virtual std::optional<Io> send_file(int /*fd*/, std::uint64_t /*offset*/, std::size_t /*size*/) {
        return std::nullopt;
    }
    // Ends the sending direction: the client sees the end of the answer.
    virtual void shutdown_write() = 0;
    // Why the last call failed, for the log.
    virtual std::string failure_reason() const { return failure_; }
    // Whether the client has sent any byte yet.
    virtual bool heard_from_client() const { return true; }

protected:
    explicit Transport(unique_fd socket) : socket_{std::move(socket)} {}
    unique_fd socket_;
    std::string failure_;
};

std::unique_ptr<Transport> plain_transport(unique_fd socket);
std::unique_ptr<Transport> tls_transport(unique_fd socket, unique_ssl session);

}  // namespace virelo::tool
