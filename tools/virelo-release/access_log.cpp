#include "access_log.h"

#include <httplib.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace virelo::tool {
namespace {

// Request targets come from the network: anything outside printable ASCII is
// shown %-escaped so a line cannot be forged or split.
std::string printable(const std::string& text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7F) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out.empty() ? "-" : out;
}

}  // namespace

void log_request(const httplib::Request& request, const httplib::Response& response) {
    char time_text[32] = "-";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc)) std::strftime(time_text, sizeof time_text, "%Y-%m-%dT%H:%M:%SZ", &utc);

    const std::string length = response.get_header_value("Content-Length");
    const std::string bytes = length.empty() ? std::to_string(response.body.size()) : length;

    std::string line = time_text;
    line += ' ' + printable(request.remote_addr) + ':' + std::to_string(request.remote_port);
    line += ' ' + printable(request.method);
    line += ' ' + printable(request.target);
    line += ' ' + std::to_string(response.status);
    line += ' ' + printable(bytes) + '\n';
    // One write per line, so lines from concurrent workers never interleave.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace virelo::tool
