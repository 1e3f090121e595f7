#include "common/unicode_lower.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "common/utf.h"

namespace virelo {
namespace {

struct LowerRun {
    char32_t first;
    std::uint16_t count;
    std::uint8_t step;
    std::int32_t delta;
};

struct MultiLower {
    char32_t code_point;
    char32_t lower[3];  // unused places are 0
};

struct CodePointRange {
    char32_t first;
    char32_t last;
};

#include "common/unicode_lower_table.inc"

constexpr char32_t capital_sigma = 0x03A3;
constexpr char32_t small_sigma = 0x03C3;
constexpr char32_t final_small_sigma = 0x03C2;

bool in_ranges(const CodePointRange* begin, const CodePointRange* end, char32_t c) {
    const auto* it = std::upper_bound(begin, end, c,
                                      [](char32_t v, const CodePointRange& r) { return v < r.first; });
    return it != begin && c <= std::prev(it)->last;
}

bool is_cased(char32_t c) {
    return in_ranges(std::begin(cased_ranges), std::end(cased_ranges), c);
}

bool is_case_ignorable(char32_t c) {
    return in_ranges(std::begin(case_ignorable_ranges), std::end(case_ignorable_ranges), c);
}

char32_t simple_lower(char32_t c) {
    const auto* it = std::upper_bound(std::begin(lower_runs), std::end(lower_runs), c,
                                      [](char32_t v, const LowerRun& r) { return v < r.first; });
    if (it == std::begin(lower_runs)) return c;
    const LowerRun& run = *std::prev(it);
    const char32_t offset = c - run.first;
    if (offset % run.step != 0 || offset / run.step >= run.count) return c;
    return static_cast<char32_t>(static_cast<std::int64_t>(c) + run.delta);
}

void append_lower(std::string& out, char32_t c) {
    const auto* multi = std::lower_bound(std::begin(multi_lower), std::end(multi_lower), c,
                                         [](const MultiLower& m, char32_t v) { return m.code_point < v; });
    if (multi != std::end(multi_lower) && multi->code_point == c) {
        for (char32_t l : multi->lower) {
            if (l != 0) append_utf8(out, l);
        }
        return;
    }
    append_utf8(out, simple_lower(c));
}

// Whether text[pos..] starts with zero or more case-ignorable characters and
// then a cased one: the half of Final_Sigma that looks ahead. A character that
// is both cased and case-ignorable counts as the cased letter, as the
// definition's regular expression allows.
bool cased_letter_follows(std::string_view text, std::size_t pos) {
    while (pos < text.size()) {
        const char32_t c = next_code_point(text, pos);
        if (is_cased(c)) return true;
        if (!is_case_ignorable(c)) return false;
    }
    return false;
}

}  // namespace

std::string to_lower_full(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // Whether the text so far ends with a cased letter followed by zero or more
    // case-ignorable characters: the half of Final_Sigma that looks back.
    bool after_cased = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            // ASCII: letters are cased, and . : ' ^ ` are case-ignorable.
            const bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
            if (letter) {
                after_cased = true;
            } else if (!is_case_ignorable(byte)) {
                after_cased = false;
            }
            out += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
            ++pos;
            continue;
        }
        const char32_t c = next_code_point(text, pos);
        if (c == capital_sigma) {
            const bool final = after_cased && !cased_letter_follows(text, pos);
            append_utf8(out, final ? final_small_sigma : small_sigma);
        } else {
            append_lower(out, c);
        }
        if (is_cased(c)) {
            after_cased = true;
        } else if (!is_case_ignorable(c)) {
            after_cased = false;
        }
    }
    return out;
}

}  // namespace virelo
