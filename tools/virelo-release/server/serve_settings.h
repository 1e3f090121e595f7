#pragma once
// Where the site lies in the URL space, and the limits that keep one client
// from starving the others.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace virelo::tool {

struct ServeSettings {
    // The URL path the release folder is served under, starting and ending
    // with '/' (`--prefix`; see valid_url_prefix). Nothing outside it exists.
    std::string prefix = "/";
    std::size_t max_connections = 1024;
    std::size_t max_per_client = 128;  // one address, or one IPv6 /64
    // From the connection's start or the end of the previous answer until
    // the request head is complete: covers idle keep-alive connections and
    // heads that trickle in.
    std::chrono::milliseconds head_timeout{10'000};
    // The longest an answer may make no progress because the client does not read.
    std::chrono::milliseconds send_timeout{20'000};
    // After a refusal the connection is half-closed and what the client
    // still sends is discarded for this long, up to `linger_bytes`, so the
    // answer is not destroyed by a reset; then it is closed.
    std::chrono::milliseconds linger_time{2'000};
    std::uint64_t linger_bytes = 1 << 20;
};

}  // namespace virelo::tool
