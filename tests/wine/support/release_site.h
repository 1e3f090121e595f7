#pragma once
// A release site inside the test process: one release published through the
// release API, signed with the demo key; anything else gets a 404. The
// setup program runs against url().

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/http_server.h"

namespace virelo::test {

class ReleaseSite {
public:
    // The executable under a manifest for `version`, replacing what was there.
    void publish(const std::vector<std::uint8_t>& executable, std::string_view version);

    std::string url() const { return server_.url(); }
    std::vector<std::string> targets() const { return server_.targets(); }

private:
    void answer(const HttpRequest& request, HttpConnection& connection);

    std::mutex mutex_;
    std::map<std::string, std::string> bodies_;
    HttpServer server_{[this](const HttpRequest& r, HttpConnection& c) { answer(r, c); }};  // stops first
};

}  // namespace virelo::test
