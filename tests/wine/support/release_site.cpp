#include "support/release_site.h"

#include <optional>

#include "support/signing.h"

namespace virelo::test {

void ReleaseSite::publish(const std::vector<std::uint8_t>& executable, std::string_view version) {
    const std::string manifest = manifest_for(executable, version);
    std::lock_guard lock{mutex_};
    bodies_["/api/release?f=manifest"] = manifest;
    bodies_["/api/release?f=sig"] = demo_signature(manifest);
    bodies_["/api/release?f=exe"] = std::string{executable.begin(), executable.end()};
}

void ReleaseSite::answer(const HttpRequest& request, HttpConnection& connection) {
    std::optional<std::string> body;
    {
        std::lock_guard lock{mutex_};
        if (auto it = bodies_.find(request.target); it != bodies_.end()) body = it->second;
    }
    connection.send(body ? http_response(200, *body) : http_response(404, "not found"));
}

}  // namespace virelo::test
