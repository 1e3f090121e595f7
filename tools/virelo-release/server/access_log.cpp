#include "server/access_log.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace virelo::tool {
namespace {

// Texts come from the network: anything outside printable ASCII is shown
// %-escaped so a line cannot be forged or split.
std::string printable(std::string_view text, bool keep_spaces = false) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c > 0x20 && c < 0x7F) || (keep_spaces && c == 0x20)) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out.empty() ? "-" : out;
}

std::string line_start(const Peer& peer) {
    char time_text[32] = "-";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc)) std::strftime(time_text, sizeof time_text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string{time_text} + ' ' + printable(peer_text(peer));
}

// One write per line, so a line is never split by another writer.
void write_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

void log_request(const Peer& peer, std::string_view method, std::string_view target, int status,
                 std::uint64_t body_bytes) {
    write_line(line_start(peer) + ' ' + printable(method) + ' ' + printable(target) + ' ' + std::to_string(status) +
               ' ' + std::to_string(body_bytes) + '\n');
}

void log_tls_failure(const Peer& peer, std::string_view reason) {
    write_line(line_start(peer) + " TLS handshake failed: " + printable(reason, true) + '\n');
}

}  // namespace virelo::tool
