#include "server/access_log.h"

#include <atomic>
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

std::string time_now() {
    char time_text[32] = "-";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc)) std::strftime(time_text, sizeof time_text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return time_text;
}

std::string line_start(const Peer& peer) { return time_now() + ' ' + printable(peer_text(peer)); }

std::atomic<LogWriter*> log_writer{nullptr};

// One write per line, so a line is never split by another writer.
void write_line(const std::string& line) {
    if (LogWriter* writer = log_writer.load(std::memory_order_acquire)) {
        writer->add(line);
        return;
    }
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

void log_tls_abandoned(const Peer& peer, std::string_view how) {
    write_line(line_start(peer) + " TLS handshake abandoned by the client: " + printable(how, true) + '\n');
}

std::string dropped_lines_notice(std::uint64_t count) {
    return time_now() + " - " + std::to_string(count) + " log lines dropped: the log's reader did not keep up\n";
}

LogThroughWriter::LogThroughWriter(int fd, std::size_t capacity) : writer_{fd, capacity, dropped_lines_notice} {
    log_writer.store(&writer_, std::memory_order_release);
}

LogThroughWriter::~LogThroughWriter() { log_writer.store(nullptr, std::memory_order_release); }

}  // namespace virelo::tool
