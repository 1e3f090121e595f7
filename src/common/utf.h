#pragma once
// Conversions between the encodings the program meets: UTF-8 inside, UTF-16
// at the system's interfaces, raw bytes from the network.

#include <string>
#include <string_view>

namespace virelo {

// UTF-16 text read from the system to UTF-8; every unpaired surrogate
// becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 text to UTF-16 for the system; any ill-formed sequence becomes U+FFFD
// (input from this program is normally well formed).
std::u16string utf8_to_utf16(std::string_view text);

// Bytes received from the network as UTF-8 text: every maximal ill-formed
// subsequence becomes one U+FFFD, everything else is kept. The result is
// always well-formed UTF-8.
std::string decode_utf8_lossy(std::string_view bytes);

// Decodes the code point starting at text[pos] of well-formed UTF-8 and
// advances pos past it. Ill-formed input yields U+FFFD and advances by the
// length of the maximal ill-formed subsequence (at least one byte).
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of a code point (U+FFFD for surrogates and values
// beyond U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace virelo
