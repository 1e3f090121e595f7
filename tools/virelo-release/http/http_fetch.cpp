#include "http/http_fetch.h"

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#error "cpp-httplib must be used with CPPHTTPLIB_OPENSSL_SUPPORT (take its flags from pkg-config)"
#endif
#include <httplib.h>

#include "base/version.h"
#include "common/ascii.h"
#include "common/hex.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

constexpr time_t connect_timeout_seconds = 10;
constexpr time_t read_timeout_seconds = 30;

}  // namespace

Expected<SiteUrl> parse_site_url(std::string_view url) {
    using Out = Expected<SiteUrl>;
    const std::string bad = "\"" + std::string{url} + "\" is not an http:// or https:// site URL";
    SiteUrl site;
    const std::string lower = ascii_lower(url);
    std::string_view rest;
    if (lower.starts_with("https://")) {
        site.https = true;
        rest = url.substr(8);
    } else if (lower.starts_with("http://")) {
        rest = url.substr(7);
    } else {
        return Out::failure(bad);
    }
    if (rest.find_first_of("?#") != std::string_view::npos) return Out::failure(bad + " (no query or fragment)");
    const auto slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    if (authority.empty() || authority.find('@') != std::string_view::npos) return Out::failure(bad);
    site.path = slash == std::string_view::npos ? "/" : std::string{rest.substr(slash)};
    if (site.path.back() != '/') site.path += '/';
    site.origin = (site.https ? "https://" : "http://") + std::string{authority};
    // The host without port, and without the brackets of an IPv6 literal.
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return Out::failure(bad);
        site.host = std::string{authority.substr(1, close - 1)};
    } else {
        site.host = std::string{authority.substr(0, authority.find(':'))};
    }
    return site;
}

SiteClient::SiteClient(SiteUrl site, std::unique_ptr<httplib::Client> client)
    : site_{std::move(site)}, client_{std::move(client)} {}
SiteClient::SiteClient(SiteClient&&) noexcept = default;
SiteClient::~SiteClient() = default;

Expected<SiteClient> SiteClient::open(const SiteUrl& site, const std::optional<std::string>& ca_file) {
    auto client = std::make_unique<httplib::Client>(site.origin);
    if (!client->is_valid()) return Expected<SiteClient>::failure("cannot use " + site.origin);
    client->set_connection_timeout(connect_timeout_seconds);
    client->set_read_timeout(read_timeout_seconds);
    client->set_follow_location(true);
    client->set_decompress(false);
    client->enable_server_certificate_verification(true);
    if (ca_file) client->set_ca_cert_path(*ca_file);
    return SiteClient{site, std::move(client)};
}

Expected<Fetched> SiteClient::get(std::string_view relative, bool keep_body, std::uint64_t limit) {
    using Out = Expected<Fetched>;
    Fetched fetched;
    Sha256 hasher;
    bool too_large = false;
    // The setup program asks for the bytes as they are: no compression.
    const httplib::Headers headers = {{"Accept-Encoding", "identity"},
                                      {"User-Agent", "virelo-release/" + std::string{tool_version}}};
    const std::string path = site_.path + std::string{relative};
    const auto result = client_->Get(
        path, headers,
        [&](const httplib::Response& response) {
            fetched.status = response.status;
            fetched.cache_control = response.get_header_value("Cache-Control");
            fetched.etag = response.get_header_value("ETag");
            fetched.last_modified = response.get_header_value("Last-Modified");
            return true;
        },
        [&](const char* data, std::size_t length) {
            fetched.size += length;
            if (fetched.size > limit) {
                too_large = true;
                return false;
            }
            hasher.update({data, length});
            if (keep_body) fetched.body.append(data, length);
            return true;
        });
    const std::string url = site_.url_of(relative);
    if (too_large) return Out::failure(url + " sends more than " + std::to_string(limit) + " bytes");
    if (!result) {
        std::string reason = httplib::to_string(result.error());
        if (result.error() == httplib::Error::SSLServerVerification) {
            reason += " (the site's certificate is not trusted" +
                      std::string{site_.https ? "; --ca-file FILE trusts a private CA" : ""} + ")";
        }
        return Out::failure("cannot reach " + url + ": " + reason);
    }
    // WinHTTP follows redirects, but never from https to http: neither does the setup program.
    if (site_.https && ascii_lower(result->location).starts_with("http://")) {
        return Out::failure(url + " redirects to " + result->location +
                            ", from https to plain http, which the setup program refuses");
    }
    // A status without body (a 304, say) never called the receiver.
    fetched.status = result->status;
    fetched.sha256 = to_hex_lower(hasher.finish());
    return fetched;
}

}  // namespace virelo::tool
