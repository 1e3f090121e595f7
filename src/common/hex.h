#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace virelo {

// Lower-case hexadecimal, two digits per byte.
std::string to_hex_lower(std::span<const std::uint8_t> bytes);

}  // namespace virelo
