#include "http/http_range.h"

#include <limits>
#include <optional>

#include "common/ascii.h"
#include "common/decimal.h"

namespace virelo::tool {
namespace {

constexpr auto no_number = std::numeric_limits<std::uint64_t>::max();

// Decimal digits, saturating instead of wrapping: an absurd position is
// still past the end of every file.
std::optional<std::uint64_t> position(std::string_view digits) {
    if (!is_decimal_digits(digits)) return std::nullopt;
    return parse_decimal(digits).value_or(no_number);
}

bool starts_with_bytes_unit(std::string_view field) {
    constexpr std::string_view unit = "bytes=";
    return field.size() >= unit.size() && equals_ascii_nocase(field.substr(0, unit.size()), unit);
}

}  // namespace

RangeChoice choose_range(std::string_view field, std::uint64_t size) {
    if (!starts_with_bytes_unit(field)) return {};
    const std::string_view range = trim_blanks(field.substr(6));
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
