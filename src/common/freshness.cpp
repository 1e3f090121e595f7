#include "common/freshness.h"

#include <array>
#include <chrono>
#include <cstdio>

#include "common/ascii.h"
#include "common/decimal.h"

namespace virelo {
namespace {

constexpr std::int64_t seconds_per_day = 86'400;

// The number written by text[at, at + count), all digits by the caller's check.
int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    return static_cast<int>(parse_decimal<unsigned>(text.substr(at, count)).value_or(0));
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t days_since_epoch(const std::chrono::year_month_day& date) {
    return std::chrono::sys_days{date}.time_since_epoch().count();
}

}  // namespace

std::optional<std::uint64_t> parse_serial(std::string_view text) {
    // 2^53 has 16 digits; anything longer is out of range whatever it says.
    if (text.empty() || text.size() > 16 || text.front() == '0') return std::nullopt;
    const auto value = parse_decimal(text);
    if (!value || *value > max_serial) return std::nullopt;
    return value;
}

std::optional<std::int64_t> parse_expiry(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ: the separators sit at fixed places, digits elsewhere.
    constexpr std::string_view shape = "0000-00-00T00:00:00Z";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' ? !is_ascii_digit(text[i]) : text[i] != shape[i]) return std::nullopt;
    }
    const int year = digits_at(text, 0, 4);
    const int month = digits_at(text, 5, 2);
    const int day = digits_at(text, 8, 2);
    const int hour = digits_at(text, 11, 2);
    const int minute = digits_at(text, 14, 2);
    const int second = digits_at(text, 17, 2);
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return days_since_epoch(date) * seconds_per_day + hour * 3600 + minute * 60 + second;
}

std::optional<std::string> format_expiry(std::int64_t seconds) {
    // Floor division, so that times before 1970 fall on the right day.
    std::int64_t days = seconds / seconds_per_day;
    std::int64_t in_day = seconds % seconds_per_day;
    if (in_day < 0) {
        in_day += seconds_per_day;
        --days;
    }
    using namespace std::chrono;
    constexpr year_month_day first{year{0}, January, day{1}};
    constexpr year_month_day last{year{9999}, December, day{31}};
    if (days < days_since_epoch(first) || days > days_since_epoch(last)) return std::nullopt;
    const year_month_day date{sys_days{std::chrono::days{days}}};
    std::array<char, 21> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
    return std::string{text.data()};
}

}  // namespace virelo
