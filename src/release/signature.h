#pragma once
// ECDSA P-256 verification of the release manifest.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace virelo {

// True when `signature` (Base64 text of r||s, read leniently) verifies over the
// manifest's exact bytes with one of the built-in release signing keys.
bool verify_release_signature(std::span<const std::uint8_t> manifest, std::span<const std::uint8_t> signature);

// The same with another 72-byte BCRYPT_ECCPUBLIC_BLOB.
bool verify_signature_with_key(std::span<const std::uint8_t> public_key_blob, std::span<const std::uint8_t> manifest,
                               std::span<const std::uint8_t> signature);

// The fingerprints of the built-in release signing keys (release/key_fingerprint.h),
// for the diagnostic log.
std::vector<std::string> trusted_key_fingerprints();

}  // namespace virelo
