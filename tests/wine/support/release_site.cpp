#include "support/release_site.h"

#include <gtest/gtest.h>

#include <optional>

#include "common/win/files.h"
#include "support/signing.h"
#include "support/test_folder.h"

namespace virelo::test {

ReleaseSite::ReleaseSite(const std::string& folder) {
    for (const auto& name : list_files(folder)) {
        const auto bytes = win::read_file(folder + "\\" + name);
        EXPECT_TRUE(bytes) << name;
        if (bytes) bodies_["/" + name] = std::string{bytes->begin(), bytes->end()};
    }
    bodies_["/api/release?f=manifest"] = bodies_["/manifest.json"];
    bodies_["/api/release?f=sig"] = bodies_["/manifest.sig"];
    bodies_["/api/release?f=exe"] = bodies_["/release.exe"];
}

void ReleaseSite::publish(const std::vector<std::uint8_t>& executable, std::string_view version) {
    publish_manifest(executable, manifest_for(executable, version));
}

void ReleaseSite::publish_manifest(const std::vector<std::uint8_t>& executable, const std::string& manifest) {
    serve("/api/release?f=manifest", manifest);
    serve("/api/release?f=sig", demo_signature(manifest));
    serve("/api/release?f=exe", std::string{executable.begin(), executable.end()});
}

void ReleaseSite::serve_signed(const std::string& manifest_target, const std::string& sig_target,
                               const std::string& manifest) {
    serve(manifest_target, manifest);
    serve(sig_target, demo_signature(manifest));
}

void ReleaseSite::serve(const std::string& target, std::string body) {
    std::lock_guard lock{mutex_};
    handlers_.erase(target);
    bodies_[target] = std::move(body);
}

void ReleaseSite::serve_raw(const std::string& target, std::string raw_response) {
    handle(target, [raw_response = std::move(raw_response)](const HttpRequest&, HttpConnection& c) {
        c.send(raw_response);
    });
}

void ReleaseSite::handle(const std::string& target, HttpHandler handler) {
    std::lock_guard lock{mutex_};
    bodies_.erase(target);
    handlers_[target] = std::move(handler);
}

void ReleaseSite::edit(const std::string& target, const std::function<void(std::string&)>& change) {
    std::lock_guard lock{mutex_};
    const auto it = bodies_.find(target);
    ASSERT_NE(it, bodies_.end()) << target << " has no body to change";
    change(it->second);
}

void ReleaseSite::withdraw(const std::string& target) {
    std::lock_guard lock{mutex_};
    bodies_.erase(target);
    handlers_.erase(target);
}

void ReleaseSite::answer(const HttpRequest& request, HttpConnection& connection) {
    std::optional<std::string> body;
    HttpHandler handler;
    {
        std::lock_guard lock{mutex_};
        if (auto it = bodies_.find(request.target); it != bodies_.end()) body = it->second;
        if (auto it = handlers_.find(request.target); it != handlers_.end()) handler = it->second;
    }
    if (handler) return handler(request, connection);
    connection.send(body ? http_response(200, *body) : http_response(404, "not found"));
}

}  // namespace virelo::test
