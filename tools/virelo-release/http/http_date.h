#pragma once
// HTTP dates (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") for Date,
// Last-Modified and If-Modified-Since.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace virelo::tool {

std::string format_http_date(std::time_t when);

// IMF-fixdate only; the obsolete forms are not honoured, which only costs a
// client a full answer instead of a 304.
std::optional<std::time_t> parse_http_date(std::string_view text);

}  // namespace virelo::tool
