#pragma once
// The Range field of a GET for one file. One range is served as 206; a list
// of ranges, another unit or a malformed field is ignored (the whole file,
// 200), as HTTP allows; a range that starts past the end is 416.

#include <cstdint>
#include <string_view>

namespace virelo::tool {

struct RangeChoice {
    enum Kind { whole, part, unsatisfiable } kind = whole;
    std::uint64_t first = 0;   // for part: the first byte
    std::uint64_t length = 0;  // for part: how many bytes, at least 1
};

RangeChoice choose_range(std::string_view field, std::uint64_t size);

}  // namespace virelo::tool
