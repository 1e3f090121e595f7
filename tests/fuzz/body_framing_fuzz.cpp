// The response framing of the setup program's HTTP client: the declared
// length as a server may write it, then a sequence of received chunk sizes
// (8 bytes each) against a cap.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/manifest.h"
#include "fuzz_input.h"
#include "release/body_framing.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("body_framing_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace virelo;
    // [cap: 8 bytes][header text up to NUL][chunk sizes, 8 bytes each]
    if (size < 8) return 0;
    std::uint64_t cap = 0;
    std::memcpy(&cap, data, 8);
    const std::string_view rest = fuzz::text_of(data + 8, size - 8);
    const auto nul = rest.find('\0');
    const std::string_view header = rest.substr(0, nul);
    const std::string_view chunks = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);

    const std::uint64_t declared = parse_content_length(header);
    const auto strict = parse_decimal_u64(header);
    check(declared == strict.value_or(0), "the length is not the strict decimal reading");

    BodyFraming framing{declared, cap};
    check(framing.refused_up_front() == (declared > cap), "refused up front");
    if (framing.refused_up_front()) return 0;
    std::uint64_t total = 0;
    bool saturated = false;
    for (std::size_t at = 0; at + 8 <= chunks.size(); at += 8) {
        std::uint64_t bytes = 0;
        std::memcpy(&bytes, chunks.data() + at, 8);
        saturated = saturated || bytes > UINT64_MAX - total;
        total = saturated ? UINT64_MAX : total + bytes;
        const FramingVerdict verdict = framing.admit(bytes);
        check(framing.received() == total, "received count");
        check((verdict == FramingVerdict::over_cap) == (total > cap), "over the cap");
        if (verdict == FramingVerdict::over_cap) return 0;
    }
    const FramingEnd end = framing.end();
    check((end == FramingEnd::cut) == (declared != 0 && total < declared), "cut body");
    check(framing.declared() == declared, "declared length");
    return 0;
}
