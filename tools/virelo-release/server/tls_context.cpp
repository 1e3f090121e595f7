#include "server/tls_context.h"

#include <openssl/err.h>

namespace virelo::tool {

Expected<TlsContext> TlsContext::load(const std::string& certificate, const std::string& key) {
    using Out = Expected<TlsContext>;
    const std::string refused = "cannot use TLS certificate " + certificate + " with key " + key;
    unique_ssl_ctx context{SSL_CTX_new(TLS_server_method())};
    if (!context) return Out::failure("cannot set up TLS");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // Sessions are not resumed: every client of a release site makes few
    // connections, and no cache is one less thing to bound.
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context.get(), 0);
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1) {
        ERR_clear_error();
        return Out::failure(refused);
    }
    return TlsContext{std::move(context)};
}

unique_ssl TlsContext::new_session() const { return unique_ssl{SSL_new(context_.get())}; }

}  // namespace virelo::tool
