#include "common/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace virelo {
namespace {

// U+FFFD in UTF-8, spliced into the byte literals below.
#define FFFD "\xEF\xBF\xBD"

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(Utf, RoundTripsBetweenUtf8AndUtf16) {
    struct Case { std::string utf8; std::u16string utf16; };
    const Case cases[] = {
        {"", u""},
        {"Virelo.exe", u"Virelo.exe"},
        {"C:\\Users\\Zoë\\Δ", u"C:\\Users\\Zo\u00EB\\\u0394"},
        {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80", u"\u007F\u0080\u07FF\u0800"},
        {"\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\uD7FF\uE000\uFFFF"},
        {FFFD, u"\uFFFD"},
        {"\xF0\x90\x80\x80", u"\U00010000"},
        {"a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << hex(c.utf8);
        EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8) << hex(c.utf8);
    }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacement) {
    constexpr char16_t high = 0xD83D, low = 0xDE00;  // together: U+1F600
    struct Case { std::u16string utf16; std::string utf8; };
    const Case cases[] = {
        {{high, u'a', u'b'}, FFFD "ab"},
        {{u'a', high, u'b'}, "a" FFFD "b"},
        {{u'a', u'b', high}, "ab" FFFD},
        {{low, u'a', u'b'}, FFFD "ab"},
        {{u'a', low, u'b'}, "a" FFFD "b"},
        {{u'a', u'b', low}, "ab" FFFD},
        {{low, high}, FFFD FFFD},                                 // reversed pair
        {{high, high, low}, FFFD "\xF0\x9F\x98\x80"},             // the second high pairs
        {{high, low, low}, "\xF0\x9F\x98\x80" FFFD},
        {{0xDBFF, 0xDFFF, 0xD800}, "\xF4\x8F\xBF\xBF" FFFD},
    };
    for (const auto& c : cases) EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8) << hex(c.utf8);
}

// Each maximal ill-formed subsequence becomes exactly one U+FFFD; the
// expected texts therefore also fix the number of replacements.
TEST(Utf, LossyDecodingReplacesMaximalSubparts) {
    struct Case { const char* name; std::string bytes; std::string text; };
    const Case cases[] = {
        {"well formed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"valid U+FFFD kept", "x" FFFD "y", "x" FFFD "y"},
        {"lone continuation", "a\x80" "b", "a" FFFD "b"},
        {"continuations", "\x80\xBF", FFFD FFFD},
        {"overlong 2-byte", "\xC0\xAF", FFFD FFFD},
        {"overlong C1", "\xC1\xBF", FFFD FFFD},
        {"overlong 3-byte", "\xE0\x80\xAF", FFFD FFFD FFFD},
        {"overlong 4-byte", "\xF0\x80\x80\xAF", FFFD FFFD FFFD FFFD},
        {"surrogate D800", "\xED\xA0\x80", FFFD FFFD FFFD},
        {"surrogate DFFF", "\xED\xBF\xBF", FFFD FFFD FFFD},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
        {"truncated 2-byte at end", "a\xC3", "a" FFFD},
        {"truncated 3-byte at end", "a\xE2\x82", "a" FFFD},
        {"truncated 4-byte at end", "a\xF0\x9F\x98", "a" FFFD},
        {"truncated 3-byte mid", "\xE2\x82" "a", FFFD "a"},
        {"truncated 4-byte mid", "\xF0\x9F\x98" "a", FFFD "a"},
        {"truncated then lead", "\xE2\x82\xE2\x82\xAC", FFFD "\xE2\x82\xAC"},
        {"bytes F5 to FF", "\xF5\xF8\xFC\xFE\xFF", FFFD FFFD FFFD FFFD FFFD},
        {"5-byte form", "\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
        {"6-byte form", "\xFC\x84\x80\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD FFFD},
        // The example of the Unicode Standard's U+FFFD substitution practice.
        {"mixed", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
        {"NUL kept", std::string("\0\xFF", 2), std::string("\0" FFFD, 4)},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(decode_utf8_lossy(c.bytes)), hex(c.text)) << c.name;
}

TEST(Utf, NextCodePointAdvancesPastOneSequence) {
    struct Case { std::string bytes; char32_t code_point; std::size_t length; };
    const Case cases[] = {
        {"A", U'A', 1},
        {"\xC3\xA9", 0xE9, 2},
        {"\xE2\x82\xAC", 0x20AC, 3},
        {"\xF0\x9F\x98\x80", 0x1F600, 4},
        {"\xC3", 0xFFFD, 1},
        {"\xE2\x82", 0xFFFD, 2},
        {"\xE2\x82" "A", 0xFFFD, 2},
        {"\xF0\x9F\x98", 0xFFFD, 3},
        {"\xED\xA0\x80", 0xFFFD, 1},
        {"\xF4\x90\x80\x80", 0xFFFD, 1},
        {"\xE0\x80\x80", 0xFFFD, 1},
        {"\x80", 0xFFFD, 1},
        {"\xFF", 0xFFFD, 1},
    };
    for (const auto& c : cases) {
        const std::string text = "#" + c.bytes;  // decoding starts past the first byte
        std::size_t pos = 1;
        EXPECT_EQ(next_code_point(text, pos), c.code_point) << hex(c.bytes);
        EXPECT_EQ(pos, 1 + c.length) << hex(c.bytes);
    }
}

TEST(Utf, AppendUtf8EncodesScalarValuesOnly) {
    struct Case { char32_t code_point; std::string bytes; };
    const Case cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xD800, FFFD},
        {0xDFFF, FFFD},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0x110000, FFFD},
        {0xFFFFFFFF, FFFD},
    };
    for (const auto& c : cases) {
        std::string out;
        append_utf8(out, c.code_point);
        EXPECT_EQ(hex(out), hex(c.bytes)) << std::hex << static_cast<unsigned long>(c.code_point);
    }
}

TEST(Utf, Utf8ToUtf16ReplacesIllFormedInput) {
    struct Case { std::string utf8; std::u16string utf16; };
    const Case cases[] = {
        {"a\xC0\xAF" "b", u"a\uFFFD\uFFFDb"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // never an unpaired surrogate
        {"\xF0\x9F\x98", u"\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << hex(c.utf8);
}

}  // namespace
}  // namespace virelo
