#pragma once
// One line per answered request on stdout, written at once:
//   2025-01-31T12:00:00Z 127.0.0.1:50412 GET /api/release?f=manifest 200 412
// The last figure is the body bytes sent. A request refused before its
// request line could be read shows "-" for method and target. A failed TLS
// handshake gets a line of its own:
//   2025-01-31T12:00:00Z 127.0.0.1:50413 TLS handshake failed: <reason>
// Lines the log's reader did not take in time are counted instead:
//   2025-01-31T12:00:00Z - 37 log lines dropped: the log's reader did not keep up

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/log_writer.h"
#include "server/peer.h"

namespace virelo::tool {

void log_request(const Peer& peer, std::string_view method, std::string_view target, int status,
                 std::uint64_t body_bytes);

void log_tls_failure(const Peer& peer, std::string_view reason);
// A TLS connection that ended before its first request: most often a client
// that did not trust the certificate and said nothing.
//   2025-01-31T12:00:00Z 127.0.0.1:50414 TLS handshake abandoned by the client: <how>
void log_tls_abandoned(const Peer& peer, std::string_view how);

std::string dropped_lines_notice(std::uint64_t count);

// While it lives, log lines go to `fd` through a LogWriter (see there) that
// holds at most `capacity` bytes; without one they are written at once.
class LogThroughWriter {
public:
    LogThroughWriter(int fd, std::size_t capacity);
    ~LogThroughWriter();
    LogThroughWriter(const LogThroughWriter&) = delete;
    LogThroughWriter& operator=(const LogThroughWriter&) = delete;

private:
    LogWriter writer_;
};

}  // namespace virelo::tool
