#pragma once
// The two constants built into the program: the default release site and the
// public half of the release signing key (a 72-byte BCRYPT_ECCPUBLIC_BLOB).

#include <array>
#include <cstdint>

namespace virelo {

extern const char default_release_site[];
extern const std::array<std::uint8_t, 72> release_signing_key;

}  // namespace virelo
