#include "common/freshness.h"

#include <gtest/gtest.h>

namespace virelo {
namespace {

constexpr auto absent = std::nullopt;

TEST(Freshness, Serial) {
    struct Case {
        const char* text;
        std::optional<std::uint64_t> value;
    };
    const Case cases[] = {
        {"1", 1},
        {"42", 42},
        {"9007199254740991", 9007199254740991},
        {"9007199254740992", max_serial},
        {"9007199254740993", absent},
        {"9999999999999999", absent},          // 16 digits, above 2^53
        {"18446744073709551617", absent},      // would wrap a 64-bit accumulator
        {"0", absent},
        {"00", absent},
        {"01", absent},
        {"+1", absent},
        {"-1", absent},
        {"", absent},
        {" 1", absent},
        {"1 ", absent},
        {"1.0", absent},
        {"1e3", absent},
        {"0x10", absent},
        {"\xEF\xBC\x91", absent},              // FULLWIDTH DIGIT ONE
    };
    for (const auto& c : cases) EXPECT_EQ(parse_serial(c.text), c.value) << '"' << c.text << '"';
}

TEST(Freshness, ExpiryAcceptsOnlyRealUtcTimesInOneShape) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> seconds;
    };
    const Case cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"1969-12-31T23:59:59Z", -1},
        {"2000-03-01T00:00:00Z", 951868800},
        {"2038-01-19T03:14:08Z", 2147483648},  // past a signed 32-bit time
        {"2024-02-29T12:30:45Z", 1709209845},
        {"2000-02-29T00:00:00Z", 951782400},   // divisible by 400: a leap year
        {"9999-12-31T23:59:59Z", 253402300799},
        {"0000-01-01T00:00:00Z", -62167219200},
        {"2023-02-29T00:00:00Z", absent},
        {"1900-02-29T00:00:00Z", absent},      // divisible by 100 only: no leap year
        {"2024-04-31T00:00:00Z", absent},
        {"2024-13-01T00:00:00Z", absent},
        {"2024-00-10T00:00:00Z", absent},
        {"2024-01-00T00:00:00Z", absent},
        {"2024-01-01T24:00:00Z", absent},
        {"2024-01-01T23:60:00Z", absent},
        {"2024-01-01T23:59:60Z", absent},      // no leap seconds
        {"2024-01-01t00:00:00Z", absent},
        {"2024-01-01T00:00:00z", absent},
        {"2024-01-01T00:00:00", absent},
        {"2024-01-01T00:00:00+00:00", absent},
        {"2024-01-01T00:00:00.0Z", absent},
        {"2024-01-01 00:00:00Z", absent},
        {"2024-1-01T00:00:00Z", absent},
        {"+2024-01-01T00:00:00Z", absent},
        {" 2024-01-01T00:00:00Z", absent},
        {"2024-01-01T00:00:00Z ", absent},
        {"2024-01-01", absent},
        {"", absent},
        {"1711929600", absent},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_expiry(c.text), c.seconds) << '"' << c.text << '"';
}

TEST(Freshness, ExpiryFormatReadsBack) {
    EXPECT_EQ(format_expiry(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(format_expiry(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(format_expiry(1709209845), "2024-02-29T12:30:45Z");
    EXPECT_EQ(format_expiry(253402300799), "9999-12-31T23:59:59Z");
    EXPECT_EQ(format_expiry(-62167219200), "0000-01-01T00:00:00Z");
    EXPECT_EQ(format_expiry(253402300800), absent);
    EXPECT_EQ(format_expiry(-62167219201), absent);

    // Every day of one whole 400-year cycle and a few across 1970 and the
    // year ends, at a time that moves through the day: the two directions agree.
    const std::int64_t cycle_start = *parse_expiry("1900-01-01T00:00:00Z");
    for (std::int64_t day = 0; day < 146097; ++day) {
        const std::int64_t seconds = cycle_start + day * 86400 + (day * 7919) % 86400;
        const auto text = format_expiry(seconds);
        ASSERT_TRUE(text) << seconds;
        ASSERT_EQ(parse_expiry(*text), seconds) << *text;
    }
}

}  // namespace
}  // namespace virelo
