// Arbitrary signature bodies through the lenient decoder, and the encoder's
// output back through it.
#include "common/base64.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char*>(data), size};

    const auto decoded = virelo::decode_base64_lenient(text);
    // Each kept character carries six bits; nothing is invented.
    if (decoded.size() * 8 > size * 6) std::abort();
    // Re-encoding the decoded bytes and decoding again is stable.
    if (virelo::decode_base64_lenient(virelo::encode_base64(decoded)) != decoded) std::abort();

    const std::span<const std::uint8_t> raw{data, size};
    if (virelo::decode_base64_lenient(virelo::encode_base64(raw)) !=
        std::vector<std::uint8_t>(raw.begin(), raw.end())) {
        std::abort();
    }
    return 0;
}
