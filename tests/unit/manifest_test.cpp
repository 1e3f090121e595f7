#include "common/manifest.h"

#include <gtest/gtest.h>

#include <limits>

namespace virelo {
namespace {

constexpr auto absent = std::nullopt;

TEST(ManifestField, Extraction) {
    struct Case {
        const char* text;
        const char* key;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {R"({"app": "Virelo"})", "app", "Virelo"},
        {R"({"app":"Virelo"})", "app", "Virelo"},
        {R"({"App": "Virelo"})", "app", absent},
        {R"({"application": "Virelo"})", "app", absent},
        {R"({})", "app", absent},
        {"", "app", absent},
        // Only the first "app" counts, even when it is another key's value.
        {R"({"name": "app", "app": "Virelo"})", "app", absent},
        {R"({"x":"app":"Evil","app":"Virelo"})", "app", "Evil"},
        // No escapes: the value ends at the escaped quote, backslash included.
        {R"({"version": "1.2\"beta\""})", "version", "1.2\\"},
        {R"({"file": "a}b,c.exe"})", "file", "a}b,c.exe"},
        {R"({"file": "a.exe)", "file", absent},
        {R"({"file")", "file", absent},
        {R"({"file" = "a.exe"})", "file", absent},
        // White space around ':' is any Unicode White_Space.
        {"{\"app\" \t\r\n:\n\t \"Virelo\"}", "app", "Virelo"},
        {"{\"app\"\u00A0:\u3000\"Virelo\"}", "app", "Virelo"},
        {"{\"app\"\u0085:\u2028\u2029\u202F\u205F\u1680\u2000\u200A\"Virelo\"}", "app", "Virelo"},
        {"{\"app\"\v\f:\"Virelo\"}", "app", "Virelo"},
        {"{\"app\"\u200B:\"Virelo\"}", "app", absent},  // zero-width space is not white space
        {"{\"app\":\u200B\"Virelo\"}", "app", "\u200B\"Virelo\""},
        // Bare tokens end at ',', '}', white space or the end of the text.
        {R"({"size": 123})", "size", "123"},
        {R"({"size":123,"x":1})", "size", "123"},
        {"{\"size\": 123 }", "size", "123"},
        {"{\"size\": 12\u00A03}", "size", "12"},
        {"{\"size\": 12\u30003}", "size", "12"},
        {R"({"size": 42)", "size", "42"},
        {R"({"size": })", "size", ""},
        {R"({"size":,)", "size", ""},
        {R"({"size":)", "size", ""},
        {R"({"size": -1.5e3})", "size", "-1.5e3"},
        {R"({"size": "123"})", "size", "123"},
        {R"({"size": true)", "size", "true"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(manifest_field(c.text, c.key), c.value) << c.text;
    }
}

TEST(ManifestField, IllFormedTextDoesNotMatterOutsideTheValue) {
    // The reader decodes network bytes first; the extractor still copes with stray bytes.
    EXPECT_EQ(manifest_field("\xFF{\"app\":\"Vi\xC3relo\"", "app"), "Vi\xC3relo");
    EXPECT_EQ(manifest_field("{\"size\":12\xE2\x80", "size"), "12\xE2\x80");
}

TEST(ParseDecimal, UnsignedSixtyFourBit) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        const char* text;
        std::optional<std::uint64_t> value;
    };
    const Case cases[] = {
        {"0", 0},
        {"123", 123},
        {"+123", 123},
        {"007", 7},
        {"18446744073709551615", max},
        {"+18446744073709551615", max},
        {"18446744073709551616", absent},
        {"99999999999999999999", absent},
        {"184467440737095516150", absent},
        {"", absent},
        {"+", absent},
        {"++1", absent},
        {"-1", absent},
        {"-0", absent},
        {"1.5", absent},
        {"1e3", absent},
        {" 1", absent},
        {"1 ", absent},
        {"0x10", absent},
        {"\xEF\xBC\x91", absent},  // fullwidth digit one
    };
    for (const auto& c : cases) EXPECT_EQ(parse_decimal_u64(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace virelo
