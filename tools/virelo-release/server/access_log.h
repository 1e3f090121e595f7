#pragma once
// One line per answered request on stdout, written at once:
//   2025-01-31T12:00:00Z 127.0.0.1:50412 GET /api/release?f=manifest 200 412
// The last figure is the body bytes sent. A request refused before its
// request line could be read shows "-" for method and target. A failed TLS
// handshake gets a line of its own:
//   2025-01-31T12:00:00Z 127.0.0.1:50413 TLS handshake failed: <reason>

#include <cstdint>
#include <string_view>

#include "server/peer.h"

namespace virelo::tool {

void log_request(const Peer& peer, std::string_view method, std::string_view target, int status,
                 std::uint64_t body_bytes);

void log_tls_failure(const Peer& peer, std::string_view reason);

}  // namespace virelo::tool
