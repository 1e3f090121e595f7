#pragma once
// The record of constants built into the setup program, laid out so that the
// publisher's tool can read it back out of a finished VireloSetup.exe
// (`virelo-release inspect`): it begins with a marker and holds only byte
// arrays, so it has no padding and the same layout on every compiler.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace virelo {

// A 72-byte BCRYPT_ECCPUBLIC_BLOB: "ECS1", key length 32 little-endian, X, Y.
using PublicKeyBlob = std::array<std::uint8_t, 72>;

inline constexpr std::string_view release_constants_marker = "VIRELO-RELEASE-CONSTANTS/1";
inline constexpr std::size_t release_site_capacity = 512;  // the site's bytes and its NUL
inline constexpr std::size_t max_release_keys = 2;         // the signing key and the next one

struct ReleaseConstants {
    std::array<char, 32> marker;  // release_constants_marker, NUL-padded
    std::uint8_t key_count;       // 1, or 2 while a key rotation is under way
    std::array<std::uint8_t, 7> reserved;
    std::array<PublicKeyBlob, max_release_keys> keys;  // unused slots are zero
    std::array<char, release_site_capacity> site;      // NUL-terminated
};

static_assert(sizeof(ReleaseConstants) == 32 + 8 + 72 * max_release_keys + release_site_capacity);
static_assert(offsetof(ReleaseConstants, keys) == 40);
static_assert(offsetof(ReleaseConstants, site) == 40 + 72 * max_release_keys);

// The marker as it is stored.
constexpr std::array<char, 32> release_constants_marker_bytes() {
    std::array<char, 32> bytes{};
    for (std::size_t i = 0; i < release_constants_marker.size(); ++i) bytes[i] = release_constants_marker[i];
    return bytes;
}

}  // namespace virelo
