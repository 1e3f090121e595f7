#pragma once
// The two optional freshness fields of the release manifest, as the publisher's
// tool writes them and the setup program reads them:
//
//   "serial":  a counter that grows with every publish to a release folder,
//              decimal digits only, no sign, no leading zero, 1 to 2^53
//              (2^53 so that every value survives a trip through a JSON
//              reader that uses doubles);
//   "expires": the UTC time after which the manifest is no longer accepted,
//              written exactly YYYY-MM-DDTHH:MM:SSZ.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace virelo {

inline constexpr std::uint64_t max_serial = 9'007'199'254'740'992;  // 2^53

// The serial's value, or nothing when the text breaks the rule above.
std::optional<std::uint64_t> parse_serial(std::string_view text);

// The expiry as seconds since 1970-01-01T00:00:00Z (negative before 1970), or
// nothing unless the text is exactly YYYY-MM-DDTHH:MM:SSZ with a real
// calendar date, hours 00-23, minutes and seconds 00-59.
std::optional<std::int64_t> parse_expiry(std::string_view text);

// The text parse_expiry reads back to `seconds`, for years 0000 to 9999;
// nothing outside them.
std::optional<std::string> format_expiry(std::int64_t seconds);

}  // namespace virelo
