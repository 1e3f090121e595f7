#pragma once
// Full Unicode lowercase mapping (UnicodeData.txt simple mappings overridden by
// the unconditional mappings of SpecialCasing.txt), with the Final_Sigma
// context rule. Path comparisons and manifest digests rely on it.

#include <string>
#include <string_view>

namespace virelo {

// Lowercases UTF-8 text ("İ" becomes "i̇", "ΌΣΟΣ" becomes "όσος").
// Ill-formed input is read with U+FFFD in place of each bad sequence.
std::string to_lower_full(std::string_view text);

}  // namespace virelo
