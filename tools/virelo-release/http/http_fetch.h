#pragma once
// GET requests to a release site, as `verify URL` makes them: every answer
// with its status, the headers that matter for caching, and the body's
// size and SHA-256 (the body itself only when asked for).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace httplib {
class Client;
}

namespace virelo::tool {

struct SiteUrl {
    std::string origin;  // "https://host:port"
    std::string path;    // starts and ends with '/'
    std::string host;    // without brackets or port
    bool https = false;

    std::string url_of(std::string_view relative) const { return origin + path + std::string{relative}; }
};

// An http or https URL without query or fragment; a missing final '/' is added.
Expected<SiteUrl> parse_site_url(std::string_view url);

struct Fetched {
    int status = 0;
    std::string cache_control;  // empty when the header is absent
    std::string etag;
    std::string last_modified;
    std::string body;           // only when kept
    std::uint64_t size = 0;
    std::string sha256;         // lower-case hex of the whole body
};

class SiteClient {
public:
    // `ca_file`: PEM certificates to trust instead of the system's.
    static Expected<SiteClient> open(const SiteUrl& site, const std::optional<std::string>& ca_file);
    SiteClient(SiteClient&&) noexcept;
    ~SiteClient();

    // GET site + relative. A failure means no HTTP answer at all (connection,
    // TLS, timeout); any status is an answer. Bodies beyond `limit` bytes fail.
    Expected<Fetched> get(std::string_view relative, bool keep_body, std::uint64_t limit);

private:
    SiteClient(SiteUrl site, std::unique_ptr<httplib::Client> client);
    SiteUrl site_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace virelo::tool
