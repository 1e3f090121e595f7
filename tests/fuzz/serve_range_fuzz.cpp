// serve's reading of a Range field against a file size (the first 8 bytes).

#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "http/http_range.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("serve_range_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using virelo::tool::RangeChoice;
    if (size < 8) return 0;
    std::uint64_t file_size = 0;
    std::memcpy(&file_size, data, 8);
    const auto field = virelo::fuzz::text_of(data + 8, size - 8);
    const RangeChoice choice = virelo::tool::choose_range(field, file_size);
    switch (choice.kind) {
        case RangeChoice::part:
            // At least one byte, all of them inside the file.
            check(choice.length >= 1, "an empty part");
            check(choice.first < file_size, "a part that starts past the end");
            check(choice.length <= file_size - choice.first, "a part that runs past the end");
            break;
        case RangeChoice::unsatisfiable:
            check(field.size() >= 6, "unsatisfiable without a bytes= unit");
            break;
        case RangeChoice::whole:
            check(choice.first == 0 && choice.length == 0, "whole with a part's numbers");
            break;
    }
    return 0;
}
