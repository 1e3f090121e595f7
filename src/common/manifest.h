#pragma once
// Reading one value out of the JSON-shaped release manifest. Not a JSON
// parser: it finds the first "key", then a ':' and a string or bare token.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace virelo {

// The value of `key` in `text` (well-formed UTF-8), or nothing when absent.
std::optional<std::string> manifest_field(std::string_view text, std::string_view key);

// An unsigned 64-bit decimal: optional leading '+', then one or more digits,
// nothing else, no overflow.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

}  // namespace virelo
