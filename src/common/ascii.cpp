#include "common/ascii.h"

#include <algorithm>

namespace virelo {

std::string ascii_lower(std::string_view text) {
    std::string lowered{text};
    for (char& c : lowered) c = ascii_lower(c);
    return lowered;
}

bool equals_ascii_nocase(std::string_view a, std::string_view b) noexcept {
    return std::ranges::equal(a, b, [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

std::string_view trim_blanks(std::string_view text) noexcept {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace virelo
