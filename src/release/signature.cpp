#include "release/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <string_view>

#include "common/base64.h"
#include "common/utf.h"
#include "common/win/unique_resource.h"
#include "release/digest.h"
#include "release/key_fingerprint.h"
#include "release/release_constants.h"
#include "release/transfer_limits.h"

namespace virelo {
namespace {

struct key_traits {
    using type = BCRYPT_KEY_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::BCryptDestroyKey(h); }
};
using unique_key = win::unique_resource<key_traits>;

// ECDSA P-256 in the raw form: r then s, 32 bytes each.
constexpr std::size_t raw_signature_size = 64;

std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

bool verify_signature_with_key(std::span<const std::uint8_t> public_key_blob, std::span<const std::uint8_t> manifest,
                               std::span<const std::uint8_t> signature) {
    // Checked before any decoding, so a hostile answer costs nothing to refuse.
    if (signature.size() > max_signature_bytes) return false;
    std::vector<std::uint8_t> decoded = decode_base64_lenient(decode_utf8_lossy(as_text(signature)));

    // The provider is declared first so that the key is destroyed before it closes.
    unique_algorithm_provider provider;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;

    unique_key key;
    if (BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                            const_cast<PUCHAR>(public_key_blob.data()), static_cast<ULONG>(public_key_blob.size()),
                            0) != 0) {
        return false;
    }

    auto digest = sha256(manifest);
    if (!digest) return false;

    // Any other length is not a raw P-256 signature (a DER form, say); it is
    // refused here rather than left to the provider's judgement.
    if (decoded.size() != raw_signature_size) return false;
    return BCryptVerifySignature(key.get(), nullptr, digest->data(), static_cast<ULONG>(digest->size()),
                                 decoded.data(), static_cast<ULONG>(decoded.size()), 0) == 0;
}

bool verify_release_signature(std::span<const std::uint8_t> manifest, std::span<const std::uint8_t> signature) {
    // While a key rotation is under way the program knows two keys; either may have signed.
    for (const PublicKeyBlob& key : release_signing_keys()) {
        if (verify_signature_with_key(key, manifest, signature)) return true;
    }
    return false;
}

std::vector<std::string> trusted_key_fingerprints() {
    std::vector<std::string> fingerprints;
    for (const PublicKeyBlob& key : release_signing_keys()) {
        const auto digest = sha256(key);
        fingerprints.push_back(digest ? key_fingerprint_of_digest(*digest) : std::string{"?"});
    }
    return fingerprints;
}

}  // namespace virelo
