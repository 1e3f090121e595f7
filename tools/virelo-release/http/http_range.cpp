#include "http/http_range.h"

#include <limits>
#include <optional>

namespace virelo::tool {
namespace {

constexpr auto no_number = std::numeric_limits<std::uint64_t>::max();

// Decimal digits, saturating instead of wrapping: an absurd position is
// still past the end of every file.
std::optional<std::uint64_t> position(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        n = n > (no_number - digit) / 10 ? no_number : n * 10 + digit;
    }
    return n;
}

bool starts_with_bytes_unit(std::string_view field) {
    constexpr std::string_view unit = "bytes=";
    if (field.size() < unit.size()) return false;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        char c = field[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != unit[i]) return false;
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

RangeChoice choose_range(std::string_view field, std::uint64_t size) {
    if (!starts_with_bytes_unit(field)) return {};
    const std::string_view range = trim(field.substr(6));
    if (range.find(',') != std::string_view::npos) return {};
    const auto dash = range.find('-');
    if (dash == std::string_view::npos) return {};
    const std::string_view first_text = range.substr(0, dash);
    const std::string_view last_text = range.substr(dash + 1);

    if (first_text.empty()) {  // "-N": the last N bytes
        const auto suffix = position(last_text);
        if (!suffix) return {};
        if (*suffix == 0 || size == 0) return {RangeChoice::unsatisfiable};
        const std::uint64_t length = *suffix < size ? *suffix : size;
        return {RangeChoice::part, size - length, length};
    }
    const auto first = position(first_text);
    if (!first) return {};
    std::uint64_t last = no_number;
    if (!last_text.empty()) {
        const auto given = position(last_text);
        if (!given || *given < *first) return {};
        last = *given;
    }
    if (*first >= size) return {RangeChoice::unsatisfiable};
    if (last >= size) last = size - 1;
    return {RangeChoice::part, *first, last - *first + 1};
}

}  // namespace virelo::tool
