#include "common/unicode_lower.h"
#include "common/white_space.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace virelo {
namespace {

#define FFFD "\xEF\xBF\xBD"

TEST(ToLowerFull, Mappings) {
    struct Case { const char* name; std::string text; std::string lower; };
    const Case cases[] = {
        {"empty", "", ""},
        {"ASCII", "Hello, WORLD! @[`{ 0-9 AZaz", "hello, world! @[`{ 0-9 azaz"},
        {"dotted capital I", "İ", "i\xCC\x87"},
        {"dotted capital I in a word", "İSTANBUL", "i\xCC\x87stanbul"},
        {"Latin-1 capitals", "ÀÉÎÕÖØÜÝÞ", "àéîõöøüýþ"},
        {"Latin-1 without mapping", "×÷ßÿµ", "×÷ßÿµ"},
        {"Latin Extended-A alternation", "ĀāĂĹĲŸŹ", "āāăĺĳÿź"},
        {"titlecase digraph", "ǅǄǆ", "ǆǆǆ"},
        {"Cyrillic", "МОСКВА ЁЖ Ѐ Ӂ", "москва ёж ѐ ӂ"},
        {"capital sharp s", "\u1E9E", "ß"},
        {"Kelvin, Ohm and Angstrom signs", "\u212A\u2126\u212B", "kωå"},
        {"Greek with tonos", "ΆΈΉΊΌΎΏ", "άέήίόύώ"},
        {"Greek with prosgegrammeni", "\u1F88\u1FBC", "\u1F80\u1FB3"},
        {"Georgian Mtavruli", "\u1C90", "\u10D0"},
        {"Deseret (4-byte)", "\U00010400\U00010427", "\U00010428\U0001044F"},
        {"Adlam (4-byte)", "\U0001E900", "\U0001E922"},
        {"no mapping", "日本語 ǆ 😀 \u0307", "日本語 ǆ 😀 \u0307"},
        {"ill-formed bytes", "A\xC0\xAF" "B\xE2\x82", "a" FFFD FFFD "b" FFFD},
        {"surrogate encoding", "\xED\xA0\x80Z", FFFD FFFD FFFD "z"},
        {"valid U+FFFD", FFFD "A", FFFD "a"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_lower_full(c.text), c.lower) << c.name;
}

TEST(ToLowerFull, FinalSigma) {
    struct Case { std::string text; std::string lower; };
    const Case cases[] = {
        {"ΌΣΟΣ", "όσος"},
        {"Σ", "σ"},
        {"ΑΣ ΑΣ", "ας ας"},
        {"ΑΣΑ", "ασα"},
        {"ΣΑ", "σα"},
        {"ΣΣ", "σς"},
        {"ΑΣΣΑ", "ασσα"},
        {"AΣ", "aς"},              // any cased letter, here Latin
        {"1Σ", "1σ"},              // a digit is not cased
        {"ΑΣ1", "ας1"},
        {"Α.Σ", "α.ς"},            // '.' is case-ignorable before ...
        {"ΑΣ.", "ας."},
        {"ΑΣ.Α", "ασ.α"},          // ... and after
        {"Α'Σ'", "α'ς'"},
        {"ΑΣ\u0301", "ας\u0301"},  // combining acute accent is case-ignorable
        {"ΑΣ\u0301Α", "ασ\u0301α"},
        {".Σ", ".σ"},              // case-ignorable alone is not a cased letter
        {"Α\xFFΣ", "α" FFFD "σ"},  // U+FFFD is neither cased nor case-ignorable
        {"ΑΣ\xFF" "Α", "ας" FFFD "α"},
        // U+02B0 is both cased and case-ignorable; the definition's regular
        // expression lets it serve as the cased letter on either side.
        {"\u02B0Σ", "\u02B0ς"},
        {"ΑΣ\u02B0", "ασ\u02B0"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_lower_full(c.text), c.lower) << c.text;
}

TEST(WhiteSpace, ExactlyTheListedCodePoints) {
    const char32_t listed[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                               0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
                               0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t c : listed) EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);

    const char32_t neighbours[] = {0x00, 0x08, 0x0E, 0x1F, 0x21, 0x84, 0x86, 0x9F, 0xA1,
                                   0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x200C, 0x200D,
                                   0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF,
                                   0x3001, 0xFEFF, 0x10FFFF, 0x110000};
    for (char32_t c : neighbours) EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);

    std::size_t count = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) count += is_white_space(c) ? 1 : 0;
    EXPECT_EQ(count, std::size(listed));
}

}  // namespace
}  // namespace virelo
