#pragma once
// The application executable: is the installed one the release, and if not,
// download it and prove it is.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "release/release.h"

namespace virelo {

// Length equals size and the digest equals sha256 (digest only when the
// lengths agree).
bool matches_release(std::span<const std::uint8_t> bytes, const Release& release);

// The installed executable matches the release; false when it cannot be read.
bool is_current(const Release& release);

// Downloads with the megabyte progress line and tests the bytes.
Expected<std::vector<std::uint8_t>> download_release(const Release& release, std::string_view site);

}  // namespace virelo
