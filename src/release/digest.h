#pragma once
// SHA-256 through CNG's SHA-256 pseudo-handle.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace virelo {

std::optional<std::array<std::uint8_t, 32>> sha256(std::span<const std::uint8_t> bytes);

// Lower-case hexadecimal digest text; empty if the digest could not be made.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace virelo
