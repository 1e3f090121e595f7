#pragma once
// The one release site inside the test process. It answers the targets a
// test gives it (a body as 200, exact response bytes, or a handler of its
// own); anything else gets a 404. Every target asked for is recorded. The
// setup program runs against url().

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/http_server.h"

namespace virelo::test {

class ReleaseSite {
public:
    ReleaseSite() = default;
    // A folder `virelo-release publish` wrote: each file as a static file,
    // and the release API's three answers from manifest.json, manifest.sig
    // and release.exe.
    explicit ReleaseSite(const std::string& folder);

    // One release through the release API: the executable under a manifest
    // for `version` signed with the demo key, or under the test's own manifest.
    void publish(const std::vector<std::uint8_t>& executable, std::string_view version);
    void publish_manifest(const std::vector<std::uint8_t>& executable, const std::string& manifest);

    // A signed manifest and its signature at the two targets.
    void serve_signed(const std::string& manifest_target, const std::string& sig_target, const std::string& manifest);

    void serve(const std::string& target, std::string body);                // 200 with this body
    void serve_raw(const std::string& target, std::string raw_response);    // exactly these bytes
    void handle(const std::string& target, HttpHandler handler);            // the test answers
    void edit(const std::string& target, const std::function<void(std::string&)>& change);  // a body changed
    void withdraw(const std::string& target);                               // a 404 from now on

    std::string url() const { return server_.url(); }
    std::vector<std::string> targets() const { return server_.targets(); }

private:
    void answer(const HttpRequest& request, HttpConnection& connection);

    std::mutex mutex_;
    std::map<std::string, std::string> bodies_;
    std::map<std::string, HttpHandler> handlers_;
    HttpServer server_{[this](const HttpRequest& r, HttpConnection& c) { answer(r, c); }};  // stops first
};

}  // namespace virelo::test
