#pragma once
// Base64 (RFC 4648 alphabet) as the release signature uses it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace virelo {

// Lenient decoder: every byte outside A-Z a-z 0-9 + / is skipped (line
// breaks, spaces, '=', '-', '_', non-ASCII); pending bits short of a byte at
// the end are dropped. No length or form is checked.
std::vector<std::uint8_t> decode_base64_lenient(std::string_view text);

// Standard encoding with '=' padding and no line breaks.
std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace virelo
