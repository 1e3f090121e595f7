#pragma once
// The server's TLS certificate and key, loaded once; a session per connection.

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "base/openssl_ptr.h"
#include "common/result.h"
#include "server/transport.h"

namespace virelo::tool {

class TlsContext {
public:
    // The certificate chain (PEM) and its private key; refused when they do
    // not belong together.
    static Expected<TlsContext> load(const std::string& certificate, const std::string& key);

    unique_ssl new_session() const;

private:
    using unique_ssl_ctx = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX, SSL_CTX_free>>;
    explicit TlsContext(unique_ssl_ctx context) : context_{std::move(context)} {}
    unique_ssl_ctx context_;
};

}  // namespace virelo::tool
