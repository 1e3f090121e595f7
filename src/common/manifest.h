#pragma once
// Reading one value out of the JSON-shaped release manifest. Not a JSON
// parser: it finds the first "key", then a ':' and a string or bare token.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelo {

// The value of `key` in `text` (well-formed UTF-8), or nothing when absent.
std::optional<std::string> manifest_field(std::string_view text, std::string_view key);

// The text of the object that is the value of `key`, braces included, found
// as manifest_field finds a value: the first "key", then a ':' and a '{'. The
// object ends at its matching '}', counting braces outside strings (which
// have no escapes). Nothing when absent, not an object, or never closed.
std::optional<std::string_view> manifest_object(std::string_view text, std::string_view key);

// The members of an object text whose values are objects, in order: each
// key with its object's text. Reading stops at the first member of another
// shape, or after `limit` members.
struct ObjectMember {
    std::string_view key;
    std::string_view object;
};
std::vector<ObjectMember> manifest_object_members(std::string_view object, std::size_t limit);

// An unsigned 64-bit decimal: optional leading '+', then one or more digits,
// nothing else, no overflow.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

}  // namespace virelo
