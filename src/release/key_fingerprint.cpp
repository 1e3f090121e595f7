#include "release/key_fingerprint.h"

#include <algorithm>

#include "common/hex.h"
#include "common/manifest.h"
#include "common/utf.h"

namespace virelo {

std::string key_fingerprint_of_digest(std::span<const std::uint8_t> blob_digest) {
    return to_hex_lower(blob_digest.first(std::min(blob_digest.size(), key_fingerprint_digits / 2)));
}

bool is_key_fingerprint(std::string_view text) {
    const auto hex_digit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return text.size() == key_fingerprint_digits && std::all_of(text.begin(), text.end(), hex_digit);
}

std::optional<std::string> manifest_key(std::string_view manifest_bytes) {
    auto value = manifest_field(decode_utf8_lossy(manifest_bytes), "key");
    if (!value || value->size() != key_fingerprint_digits) return std::nullopt;
    for (char& c : *value) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!is_key_fingerprint(*value)) return std::nullopt;
    return value;
}

SignatureFailure classify_signature_failure(const std::optional<std::string>& named,
                                            std::span<const std::string> trusted) {
    if (!named) return SignatureFailure::unnamed;
    return std::find(trusted.begin(), trusted.end(), *named) != trusted.end() ? SignatureFailure::changed_after_signing
                                                                              : SignatureFailure::other_key;
}

std::string join_fingerprints(std::span<const std::string> fingerprints) {
    std::string text;
    for (const std::string& fingerprint : fingerprints) text += (text.empty() ? "" : ", ") + fingerprint;
    return text;
}

std::string describe_signature_failure(const std::optional<std::string>& named,
                                       std::span<const std::string> trusted) {
    const std::string trusts =
        "this program trusts " + (trusted.empty() ? std::string{"no key"} : join_fingerprints(trusted));
    switch (classify_signature_failure(named, trusted)) {
    case SignatureFailure::other_key:
        return "signed by another key " + *named + "; " + trusts;
    case SignatureFailure::changed_after_signing:
        return "changed after signing, or paired with another manifest's signature (it names key " + *named +
               ", which this program trusts)";
    case SignatureFailure::unnamed:
        break;
    }
    return "signed by another key, or changed after signing (the manifest names no key); " + trusts;
}

}  // namespace virelo
