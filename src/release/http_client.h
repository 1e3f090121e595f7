#pragma once
// One HTTP GET with the whole response body read into memory.

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace virelo {

// Called after every read with the bytes received so far and the declared
// content length (0 when none or unreadable).
using ProgressObserver = std::function<void(std::uint64_t received, std::uint64_t content_length)>;

inline constexpr std::uint64_t max_body_bytes = 209'715'200;  // 200 MiB

// The body of a 200 response, or one of the transfer errors: "bad site
// address", "network unavailable", "cannot reach the site", "server replied
// N", "download interrupted".
Expected<std::vector<std::uint8_t>> http_get(std::string_view url, const ProgressObserver& observer = {});

}  // namespace virelo
