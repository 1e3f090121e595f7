#include "common/base64.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace virelo {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// A 64-byte value shaped like a raw r||s signature, chosen so its Base64 form
// holds both '+' and '/'.
std::vector<std::uint8_t> signature_like() {
    std::vector<std::uint8_t> sig(64);
    for (std::size_t i = 0; i < sig.size(); ++i) sig[i] = static_cast<std::uint8_t>(0xF8 + i * 37);
    return sig;
}

std::string with_breaks_every(const std::string& text, std::size_t width, const char* line_break) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += width) {
        out += text.substr(i, width);
        out += line_break;
    }
    return out;
}

TEST(Base64, KnownVectorsBothWays) {
    struct Case { const char* plain; const char* encoded; };
    const Case cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_base64(bytes_of(c.plain)), c.encoded) << c.plain;
        EXPECT_EQ(decode_base64_lenient(c.encoded), bytes_of(c.plain)) << c.encoded;
    }
}

TEST(Base64, SignatureFormsThatDecodeAlike) {
    const auto sig = signature_like();
    const std::string plain = encode_base64(sig);
    ASSERT_EQ(plain.size(), 88u);
    ASSERT_EQ(plain.substr(86), "==");
    ASSERT_NE(plain.find('+'), std::string::npos);
    ASSERT_NE(plain.find('/'), std::string::npos);

    const std::string forms[] = {
        plain,
        plain.substr(0, 86),                   // without padding
        with_breaks_every(plain, 64, "\n"),    // PEM-style lines
        with_breaks_every(plain, 76, "\r\n"),  // MIME-style lines
        " \t" + plain + "\n\n",
        plain.substr(0, 40) + "\xC3\xA9\xEF\xBF\xBD" + plain.substr(40),  // non-ASCII skipped
        plain.substr(0, 10) + "=" + plain.substr(10),                     // stray '=' skipped
    };
    for (const auto& form : forms) EXPECT_EQ(decode_base64_lenient(form), sig) << form;
}

TEST(Base64, UrlSafeCharactersAreSkippedNotTranslated) {
    const auto sig = signature_like();
    std::string url_safe = encode_base64(sig);
    for (char& c : url_safe) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    const auto decoded = decode_base64_lenient(url_safe);
    EXPECT_LT(decoded.size(), 64u);
    EXPECT_NE(decoded, sig);
}

TEST(Base64, PendingBitsShortOfAByteAreDropped) {
    struct Case { const char* encoded; const char* plain; };
    const Case cases[] = {
        {"Z", ""},          // 6 bits
        {"Zm9vY", "foo"},   // 30 bits: the last 6 dropped
        {"Zm9vYg", "foob"}, // 36 bits: 4 dropped
        {"Z-m_9 v", "foo"}, // skipped characters do not break the bit stream
        {"====", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_base64_lenient(c.encoded), bytes_of(c.plain)) << c.encoded;
}

TEST(Hex, LowerCaseWithLeadingZeros) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x0F, 0xA0, 0xFF, 0x5c};
    EXPECT_EQ(to_hex_lower(bytes), "000fa0ff5c");
    EXPECT_EQ(to_hex_lower({}), "");
}

}  // namespace
}  // namespace virelo
