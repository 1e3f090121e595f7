#pragma once
// One HTTP GET through the run's session, its body handed on piece by piece
// as it arrives, bounded in size and, when asked, in time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "release/http_session.h"
#include "release/transfer_limits.h"

namespace virelo {

using SteadyClock = std::chrono::steady_clock;

struct TransferLimits {
    std::uint64_t max_body = max_body_bytes;
    // The whole exchange ends by then: no phase waits past it.
    std::optional<SteadyClock::time_point> deadline;
};

// Where the body goes while it arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    // The next piece, with the count so far and the declared content length
    // (0 when none or unreadable). False stops the transfer; the sink keeps
    // its own reason.
    virtual bool take(std::span<const std::uint8_t> piece, std::uint64_t received, std::uint64_t declared) = 0;
};

// Receives the body of a 200 response into `sink`. Success, or one of the
// transfer errors: "bad site address", "network unavailable", "cannot reach
// the site", "server replied N", "download interrupted" (also when the body
// exceeds the cap, is cut short, runs past the deadline or the sink stops it).
Result http_receive(const HttpSession& session, std::string_view url, BodySink& sink,
                    const TransferLimits& limits = {});

// The whole body in memory, for the small answers.
Expected<std::vector<std::uint8_t>> http_get(const HttpSession& session, std::string_view url,
                                             const TransferLimits& limits = {});

}  // namespace virelo
