#include "common/freshness.h"

#include <array>
#include <cstdio>

namespace virelo {
namespace {

constexpr std::int64_t seconds_per_day = 86'400;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number written by text[at, at + count), all digits by the caller's check.
int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

// Days from 1970-01-01 to the given proleptic Gregorian date (H. Hinnant's
// days_from_civil), exact for every year this file handles.
std::int64_t days_from_civil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int year_of_era = year - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return std::int64_t{era} * 146'097 + day_of_era - 719'468;
}

struct CivilDate {
    int year, month, day;
};

CivilDate civil_from_days(std::int64_t days) {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto day_of_era = static_cast<int>(days - era * 146'097);
    const int year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const int day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int shifted_month = (5 * day_of_year + 2) / 153;
    const int day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const int month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const auto year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

}  // namespace

std::optional<std::uint64_t> parse_serial(std::string_view text) {
    // 2^53 has 16 digits; anything longer is out of range whatever it says.
    if (text.empty() || text.size() > 16 || text.front() == '0') return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max_serial) return std::nullopt;
    return value;
}

std::optional<std::int64_t> parse_expiry(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ: the separators sit at fixed places, digits elsewhere.
    constexpr std::string_view shape = "0000-00-00T00:00:00Z";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' ? !is_digit(text[i]) : text[i] != shape[i]) return std::nullopt;
    }
    const int year = digits_at(text, 0, 4);
    const int month = digits_at(text, 5, 2);
    const int day = digits_at(text, 8, 2);
    const int hour = digits_at(text, 11, 2);
    const int minute = digits_at(text, 14, 2);
    const int second = digits_at(text, 17, 2);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return days_from_civil(year, month, day) * seconds_per_day + hour * 3600 + minute * 60 + second;
}

std::optional<std::string> format_expiry(std::int64_t seconds) {
    // Floor division, so that times before 1970 fall on the right day.
    std::int64_t days = seconds / seconds_per_day;
    std::int64_t in_day = seconds % seconds_per_day;
    if (in_day < 0) {
        in_day += seconds_per_day;
        --days;
    }
    if (days < days_from_civil(0, 1, 1) || days > days_from_civil(9999, 12, 31)) return std::nullopt;
    const CivilDate date = civil_from_days(days);
    std::array<char, 21> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02dZ", date.year, date.month, date.day,
                  static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
    return std::string{text.data()};
}

}  // namespace virelo
