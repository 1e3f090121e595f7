#include "release/body_framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace virelo {
namespace {

TEST(BodyFraming, ContentLengthText) {
    EXPECT_EQ(parse_content_length("20000"), 20000u);
    EXPECT_EQ(parse_content_length("+7"), 7u);
    EXPECT_EQ(parse_content_length("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    for (const char* unreadable : {"", "-5", "12a", " 12", "18446744073709551616", "+"}) {
        SCOPED_TRACE(unreadable);
        EXPECT_EQ(parse_content_length(unreadable), 0u);
    }
}

// How a body of pieces ends, for a declared length and a cap.
TEST(BodyFraming, PiecesAgainstTheCapAndTheDeclaredLength) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    enum class Outcome { complete, cut, over_cap, refused_up_front };
    struct Case {
        const char* name;
        std::uint64_t declared, cap;
        std::vector<std::uint64_t> pieces;
        Outcome outcome;
    };
    const Case cases[] = {
        {"empty, nothing declared", 0, 100, {}, Outcome::complete},
        {"declared and delivered", 10, 100, {4, 6}, Outcome::complete},
        {"undeclared, up to the cap", 0, 100, {60, 40}, Outcome::complete},
        {"declared at the cap", 100, 100, {100}, Outcome::complete},
        {"one byte short of the declared length", 10, 100, {9}, Outcome::cut},
        {"declared, nothing arrived", 10, 100, {}, Outcome::cut},
        {"undeclared, one byte over the cap", 0, 100, {60, 41}, Outcome::over_cap},
        {"declared over the cap", 101, 100, {}, Outcome::refused_up_front},
        {"more than declared, within the cap", 10, 100, {20}, Outcome::complete},
        {"counts that would wrap", 0, max - 1, {max - 1, 5}, Outcome::over_cap},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BodyFraming framing{c.declared, c.cap};
        Outcome outcome = Outcome::complete;
        if (framing.refused_up_front()) {
            outcome = Outcome::refused_up_front;
        } else {
            bool stopped = false;
            for (const std::uint64_t piece : c.pieces) {
                if (framing.admit(piece) == FramingVerdict::over_cap) {
                    stopped = true;
                    break;
                }
            }
            if (stopped) {
                outcome = Outcome::over_cap;
            } else if (framing.end() == FramingEnd::cut) {
                outcome = Outcome::cut;
            }
        }
        EXPECT_EQ(outcome, c.outcome);
    }
}

}  // namespace
}  // namespace virelo
