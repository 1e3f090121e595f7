#pragma once
// Decimal fields: one reader for every number the program and the tool parse,
// so no field grows its own overflow rules. Each caller adds its field's own
// limits (length, leading zeros, range) around it.

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

namespace virelo {

// The whole of `text` as an unsigned decimal number: ASCII digits only (no
// sign, no blanks), not empty; nullopt when it is not that or does not fit T.
template <std::unsigned_integral T = std::uint64_t>
std::optional<T> parse_decimal(std::string_view text) noexcept {
    T value{};
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

// Digits only and at least one: true also for a number too large to read.
constexpr bool is_decimal_digits(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace virelo
