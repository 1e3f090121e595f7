#pragma once
// Signing release manifests inside the test, with CNG, the way the publisher's
// tool does: ECDSA P-256 over the SHA-256 digest, raw r||s, Base64.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace virelo::test {

using Bytes = std::vector<std::uint8_t>;

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct KeyPair {
    Bytes public_blob;   // BCRYPT_ECCPUBLIC_BLOB, 72 bytes
    Bytes private_blob;  // BCRYPT_ECCPRIVATE_BLOB, 104 bytes
};

// The repository's demo key (the built-in key of test builds), read from
// VIRELO_SOURCE_DIR.
Bytes demo_private_key();

// The second demo key, built into test builds as the next key of a rotation.
Bytes demo_next_private_key();

// The demo key's public half, the 72-byte blob the test build has built in.
Bytes demo_public_key();

// A key's fingerprint as the publisher's tool prints it and a manifest's
// "key" names it: 16 hex digits of the SHA-256 of the public blob.
std::string key_fingerprint(std::span<const std::uint8_t> public_blob);

// A fresh P-256 key pair.
KeyPair generate_key_pair();

// The 64-byte raw signature (r then s) of the message's SHA-256 digest.
Bytes sign_raw(std::span<const std::uint8_t> private_blob, std::span<const std::uint8_t> message);

// The usual release signature: Base64 of the raw form made with the demo key.
std::string demo_signature(std::string_view manifest);

// The same signature in DER form (SEQUENCE of two INTEGERs).
Bytes raw_to_der(std::span<const std::uint8_t> raw);

// A manifest describing `executable` under the given version and file name.
std::string manifest_for(std::span<const std::uint8_t> executable, std::string_view version = "2.0.0",
                         std::string_view file = "Virelo-2.0.0.exe");

}  // namespace virelo::test
