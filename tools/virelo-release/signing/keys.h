#pragma once
// The release signing key: ECDSA P-256 with SHA-256. The private half is a
// PKCS#8 PEM file; the public half travels as the 72-byte CNG public key blob
// ("ECS1", key length 32 little-endian, X and Y big-endian) that the setup
// program has built in. Signatures are the raw 64 bytes r || s.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/openssl_ptr.h"
#include "common/result.h"

namespace virelo::tool {

using PublicBlob = std::array<std::uint8_t, 72>;
using RawSignature = std::array<std::uint8_t, 64>;
using Digest = std::array<std::uint8_t, 32>;

Expected<unique_pkey> generate_signing_key();

// PKCS#8 PEM text of the private key, unencrypted.
Expected<std::string> private_key_pem(EVP_PKEY* key);

// A P-256 private key from PEM text; `source` names it in messages.
Expected<unique_pkey> parse_private_key(std::string_view pem, std::string_view source);

PublicBlob public_blob(EVP_PKEY* key);

// A P-256 public key from the 72-byte blob, the point checked to lie on the curve.
Expected<unique_pkey> parse_public_blob(std::span<const std::uint8_t> blob, std::string_view source);

// Signs SHA-256 of `message`.
Expected<RawSignature> sign_message(EVP_PKEY* key, std::string_view message);

// Whether `signature` (raw r || s, any length is simply false unless 64) is a
// valid signature of SHA-256 of `message`.
bool verify_message(EVP_PKEY* key, std::string_view message, std::span<const std::uint8_t> signature);

// DER-encoded ECDSA-Sig-Value to the fixed 32 + 32 byte form.
Expected<RawSignature> der_to_raw_signature(std::span<const std::uint8_t> der);

// SHA-256 over data that arrives in pieces.
class Sha256 {
public:
    Sha256();
    void update(std::string_view bytes);
    Digest finish();

private:
    unique_md_ctx context_;
};

Digest sha256(std::string_view bytes);

}  // namespace virelo::tool
