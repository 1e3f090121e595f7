#pragma once
// The constants built into the program: the default release site and the
// public keys a release manifest may be signed with (the signing key and,
// while a key rotation is under way, the next key).

#include <span>

#include "release/release_constants_layout.h"

namespace virelo {

// Generated at configure time (cmake/release-constants.cmake).
extern const ReleaseConstants release_constants;

extern const char* const default_release_site;

inline std::span<const PublicKeyBlob> release_signing_keys() {
    return {release_constants.keys.data(), release_constants.key_count};
}

}  // namespace virelo
