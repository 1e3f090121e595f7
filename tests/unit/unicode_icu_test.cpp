// The lowercase table against ICU, an independent implementation of the same
// Unicode data, over every code point: a wrong run or a missing special case
// in the generated table shows up here with its code point.
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/uversion.h>

#include <cstdio>
#include <string>

#include "common/unicode_lower.h"
#include "common/utf.h"

namespace virelo {
namespace {

// ICU's full lowercase of a UTF-8 text in the root locale, as UTF-8.
std::string icu_lower(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::u16string utf16(text.size() * 2 + 4, u'\0');
    int32_t length = 0;
    u_strFromUTF8(reinterpret_cast<UChar*>(utf16.data()), static_cast<int32_t>(utf16.size()), &length, text.data(),
                  static_cast<int32_t>(text.size()), &status);
    utf16.resize(static_cast<std::size_t>(length));
    std::u16string lowered(utf16.size() * 3 + 4, u'\0');
    const int32_t lowered_length =
        u_strToLower(reinterpret_cast<UChar*>(lowered.data()), static_cast<int32_t>(lowered.size()),
                     reinterpret_cast<const UChar*>(utf16.data()), static_cast<int32_t>(utf16.size()), "", &status);
    lowered.resize(static_cast<std::size_t>(lowered_length));
    std::string out(lowered.size() * 3 + 4, '\0');
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, reinterpret_cast<const UChar*>(lowered.data()),
                static_cast<int32_t>(lowered.size()), &status);
    out.resize(static_cast<std::size_t>(length));
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return out;
}

std::string utf8_of(char32_t code_point) {
    std::string out;
    append_utf8(out, code_point);
    return out;
}

std::string shown(char32_t code_point) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(code_point));
    return text;
}

TEST(UnicodeLowerAgainstIcu, EveryCodePoint) {
    // The table is generated from Unicode 15.0; an ICU of another Unicode
    // version would report its own changes, not our faults.
    UVersionInfo unicode;
    u_getUnicodeVersion(unicode);
    if (unicode[0] != 15 || unicode[1] != 0) GTEST_SKIP() << "ICU is built on Unicode " << int{unicode[0]} << "." << int{unicode[1]};

    int differences = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;  // not encodable in UTF-8
        const std::string text = utf8_of(c);
        const std::string ours = to_lower_full(text);
        const std::string theirs = icu_lower(text);
        if (ours != theirs && ++differences <= 20) ADD_FAILURE() << shown(c) << " lowers differently from ICU";
    }
    EXPECT_EQ(differences, 0);
}

TEST(UnicodeLowerAgainstIcu, FinalSigmaInContext) {
    // The one context rule: a capital sigma at a word's end.
    for (const std::string text : {"ΌΣΟΣ", "ΣΑ", "Α Σ", "ΑΣ.", "Α\u0301Σ", "ΑΣ\u0301", "ΑΣΑ", "Σ"}) {
        EXPECT_EQ(to_lower_full(text), icu_lower(text)) << text;
    }
}

}  // namespace
}  // namespace virelo
