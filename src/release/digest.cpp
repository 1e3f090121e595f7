#include "release/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <limits>

#include "common/hex.h"

// MinGW's headers lack the SHA-256 pseudo-handle (Windows 10 and later); its
// value is fixed by the platform.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace virelo {

std::optional<std::array<std::uint8_t, 32>> sha256(std::span<const std::uint8_t> bytes) {
    // One call takes a 32-bit length; larger inputs are refused rather than
    // digested in part.
    if (bytes.size() > std::numeric_limits<ULONG>::max()) return std::nullopt;
    std::array<std::uint8_t, 32> digest{};
    const NTSTATUS status = BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, const_cast<PUCHAR>(bytes.data()),
                                       static_cast<ULONG>(bytes.size()), digest.data(), digest.size());
    if (status != 0) return std::nullopt;
    return digest;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    const auto digest = sha256(bytes);
    return digest ? to_hex_lower(*digest) : std::string{};
}

}  // namespace virelo
