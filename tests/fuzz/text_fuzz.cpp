// Fuzzes the text routines that read untrusted bytes: the lossy network
// decoder, the UTF-8/UTF-16 conversions and the full lowercase mapping.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/unicode_lower.h"
#include "common/utf.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "text_fuzz: %s\n", what);
        std::abort();
    }
}

// Well-formed UTF-8 after the Unicode Standard's table of well-formed byte
// sequences, written independently of the decoder under test.
bool is_well_formed(std::string_view s) {
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < s.size()) {
        const unsigned char b = at(i);
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC2 && b <= 0xDF) n = 2;
        else if (b == 0xE0) { n = 3; lo = 0xA0; }
        else if (b == 0xED) { n = 3; hi = 0x9F; }
        else if (b >= 0xE1 && b <= 0xEF) n = 3;
        else if (b == 0xF0) { n = 4; lo = 0x90; }
        else if (b == 0xF4) { n = 4; hi = 0x8F; }
        else if (b >= 0xF1 && b <= 0xF3) n = 4;
        else return false;
        if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return false;
        for (std::size_t k = 2; k < n; ++k) {
            if ((at(i + k) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string text = virelo::decode_utf8_lossy(bytes);
    check(is_well_formed(text), "lossy decoding gave ill-formed UTF-8");
    check(virelo::decode_utf8_lossy(text) == text, "lossy decoding changed well-formed text");
    if (is_well_formed(bytes)) check(text == bytes, "lossy decoding changed well-formed input");

    check(virelo::utf16_to_utf8(virelo::utf8_to_utf16(text)) == text, "UTF-16 round trip changed the text");
    check(virelo::utf8_to_utf16(bytes) == virelo::utf8_to_utf16(text),
          "UTF-16 conversion disagrees with lossy decoding");

    // The same bytes as UTF-16 units, unpaired surrogates included.
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    check(is_well_formed(virelo::utf16_to_utf8(units)), "UTF-16 conversion gave ill-formed UTF-8");

    const std::string lower = virelo::to_lower_full(bytes);
    check(is_well_formed(lower), "lowercasing gave ill-formed UTF-8");
    check(virelo::to_lower_full(text) == lower, "lowercasing read ill-formed input unlike the decoder");
    return 0;
}
