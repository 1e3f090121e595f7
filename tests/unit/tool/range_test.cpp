#include "http/http_range.h"

#include <gtest/gtest.h>

#include <string>

namespace virelo::tool {
namespace {

TEST(ChooseRange, Table) {
    using K = RangeChoice::Kind;
    struct Case {
        std::string_view field;
        std::uint64_t size;
        K kind;
        std::uint64_t first = 0, length = 0;
    };
    const Case cases[] = {
        {"bytes=0-9", 100, K::part, 0, 10},
        {"BYTES=0-9", 100, K::part, 0, 10},
        {"bytes= 10-19 ", 100, K::part, 10, 10},
        {"bytes=90-", 100, K::part, 90, 10},
        {"bytes=90-500", 100, K::part, 90, 10},  // the end is cut to the file
        {"bytes=-10", 100, K::part, 90, 10},
        {"bytes=-500", 100, K::part, 0, 100},
        {"bytes=99-99", 100, K::part, 99, 1},
        {"bytes=100-", 100, K::unsatisfiable},
        {"bytes=99999999999999999999999-", 100, K::unsatisfiable},  // saturates, still past the end
        {"bytes=0-", 0, K::unsatisfiable},
        {"bytes=-0", 100, K::unsatisfiable},
        {"bytes=5-4", 100, K::whole},   // malformed: ignored
        {"bytes=0-1,5-6", 100, K::whole},  // a list: the whole file
        {"items=0-9", 100, K::whole},
        {"bytes=a-9", 100, K::whole},
        {"bytes=+1-9", 100, K::whole},
        {"bytes=", 100, K::whole},
        {"", 100, K::whole},
    };
    for (const auto& c : cases) {
        const RangeChoice choice = choose_range(c.field, c.size);
        EXPECT_EQ(choice.kind, c.kind) << c.field;
        if (c.kind == K::part) {
            EXPECT_EQ(choice.first, c.first) << c.field;
            EXPECT_EQ(choice.length, c.length) << c.field;
        }
    }
}

}  // namespace
}  // namespace virelo::tool
