#pragma once
// How a release signing key is named to people: its fingerprint, the first 16
// hexadecimal digits of the SHA-256 of its 72-byte public key blob
// (`sha256sum signing-key.pub | cut -c1-16`), as the publisher's tool prints
// it. A manifest names the key that signed it ("key"), covered by the
// signature like every other field; when a signature check fails, that name
// tells a release signed by another key from one changed after signing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace virelo {

inline constexpr std::size_t key_fingerprint_digits = 16;

// The fingerprint of a key from the SHA-256 digest of its public blob.
std::string key_fingerprint_of_digest(std::span<const std::uint8_t> blob_digest);

// Exactly key_fingerprint_digits lower-case hexadecimal digits.
bool is_key_fingerprint(std::string_view text);

// The manifest's "key" value with its letters lowered, when it is 16
// hexadecimal digits; nothing when absent or of any other form. Also read
// from a manifest whose signature failed, so nothing but a value of this
// bounded form is ever passed on.
std::optional<std::string> manifest_key(std::string_view manifest_bytes);

// Why a manifest's signature did not verify, as far as its "key" tells.
enum class SignatureFailure {
    other_key,              // it names a key that is not among the trusted ones
    changed_after_signing,  // it names a trusted key: its bytes are not the ones that key signed
    unnamed,                // it names no key (written before the field existed): either cause
};

SignatureFailure classify_signature_failure(const std::optional<std::string>& named,
                                            std::span<const std::string> trusted);

// "a1b2…, c3d4…"
std::string join_fingerprints(std::span<const std::string> fingerprints);

// The setup program's words for its diagnostic log, after "signature check
// failed": "signed by another key N; this program trusts T", and so on.
std::string describe_signature_failure(const std::optional<std::string>& named,
                                       std::span<const std::string> trusted);

}  // namespace virelo
