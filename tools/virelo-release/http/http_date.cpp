#include "http/http_date.h"

#include <cstdio>

#include "common/decimal.h"

namespace virelo::tool {
namespace {

constexpr const char* day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::optional<int> digits(std::string_view text) {
    const auto n = parse_decimal<unsigned short>(text);  // two or four digits
    if (!n) return std::nullopt;
    return int{*n};
}

}  // namespace

std::string format_http_date(std::time_t when) {
    std::tm utc{};
    if (!gmtime_r(&when, &utc)) return {};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", day_names[utc.tm_wday % 7], utc.tm_mday,
                  month_names[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::optional<std::time_t> parse_http_date(std::string_view text) {
    // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions.
    if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' ||
        text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
        return std::nullopt;
    }
    int month = -1;
    for (int m = 0; m < 12; ++m) {
        if (text.substr(8, 3) == month_names[m]) month = m;
    }
    const auto day = digits(text.substr(5, 2));
    const auto year = digits(text.substr(12, 4));
    const auto hour = digits(text.substr(17, 2));
    const auto minute = digits(text.substr(20, 2));
    const auto second = digits(text.substr(23, 2));
    if (month < 0 || !day || !year || !hour || !minute || !second) return std::nullopt;
    if (*day < 1 || *day > 31 || *year < 1970 || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    std::tm utc{};
    utc.tm_year = *year - 1900;
    utc.tm_mon = month;
    utc.tm_mday = *day;
    utc.tm_hour = *hour;
    utc.tm_min = *minute;
    utc.tm_sec = *second;
    return timegm(&utc);
}

}  // namespace virelo::tool
