// Release signature verification and the digest, with the real CNG provider.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base64.h"
#include "release/digest.h"
#include "release/release_constants.h"
#include "release/signature.h"
#include "support/signing.h"

namespace virelo {
namespace {

using test::Bytes;
using test::bytes_of;

const std::string manifest =
    "{\n  \"app\": \"Virelo\",\n  \"version\": \"2.1.0\",\n  \"file\": \"Virelo-2.1.0.exe\",\n"
    "  \"size\": 123456,\n  \"sha256\": \"" + std::string(64, 'a') + "\"\n}\n";

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string wrap(std::string_view text, std::size_t width) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += width) out += std::string{text.substr(i, width)} + "\r\n";
    return out;
}

// The URL-safe form of a signature whose standard form has '+' or '/': the
// demo key's signatures are random, so sign variants until one has them.
std::pair<std::string, std::string> url_safe_signature_and_manifest() {
    for (int i = 0;; ++i) {
        const std::string text = manifest + std::string(i, ' ');
        const std::string standard = test::demo_signature(text);
        if (standard.find_first_of("+/") != std::string::npos) {
            return {replace_all(replace_all(standard, "+", "-"), "/", "_"), text};
        }
    }
}

TEST(ReleaseSignature, AcceptsOnlyTheSignedBytesInBase64OfTheRawForm) {
    const std::string signature = test::demo_signature(manifest);
    ASSERT_EQ(signature.size(), 88u);
    const auto [url_safe, url_safe_manifest] = url_safe_signature_and_manifest();
    const auto der = test::raw_to_der(test::sign_raw(test::demo_private_key(), bytes_of(manifest)));
    const test::KeyPair other = test::generate_key_pair();
    const std::string other_signature = encode_base64(test::sign_raw(other.private_blob, bytes_of(manifest)));

    struct Case {
        const char* name;
        std::string manifest;
        std::string signature;
        bool verifies;
    };
    std::string tampered = manifest;
    tampered[tampered.find("123456")] = '9';
    const Case cases[] = {
        {"valid", manifest, signature, true},
        {"wrapped at 64", manifest, wrap(signature, 64), true},
        {"wrapped at 76", manifest, wrap(signature, 76), true},
        {"without padding", manifest, replace_all(signature, "=", ""), true},
        {"surrounded by spaces", manifest, "  " + signature + " \n", true},
        {"tampered manifest", tampered, signature, false},
        {"byte-order mark added", "\xEF\xBB\xBF" + manifest, signature, false},
        {"re-saved with CRLF", replace_all(manifest, "\n", "\r\n"), signature, false},
        {"DER form", manifest, encode_base64(der), false},
        {"URL-safe alphabet", url_safe_manifest, url_safe, false},
        {"another key", manifest, other_signature, false},
        {"empty", manifest, "", false},
        {"truncated", manifest, signature.substr(0, 80), false},
        {"one byte too many", manifest, encode_base64(std::vector<std::uint8_t>(65, 1)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verify_release_signature(bytes_of(c.manifest), bytes_of(c.signature)), c.verifies);
    }

    // The other key's signature is sound: it verifies with its own key.
    EXPECT_TRUE(verify_signature_with_key(other.public_blob, bytes_of(manifest), bytes_of(other_signature)));
    // A key blob that is not a P-256 public key fails instead of crashing.
    EXPECT_FALSE(verify_signature_with_key(std::vector<std::uint8_t>(72, 0), bytes_of(manifest), bytes_of(signature)));
    EXPECT_FALSE(verify_signature_with_key({}, bytes_of(manifest), bytes_of(signature)));
}

// A test build knows two keys, as a program built during a key rotation does:
// a manifest signed by either verifies, one signed by neither does not.
TEST(ReleaseSignature, AcceptsTheNextKeyOfARotation) {
    const auto signed_by = [](const Bytes& private_blob) {
        return encode_base64(test::sign_raw(private_blob, bytes_of(manifest)));
    };
    const std::string by_next = signed_by(test::demo_next_private_key());
    const std::string by_neither = signed_by(test::generate_key_pair().private_blob);
    EXPECT_TRUE(verify_release_signature(bytes_of(manifest), bytes_of(test::demo_signature(manifest))));
    EXPECT_TRUE(verify_release_signature(bytes_of(manifest), bytes_of(by_next)));
    EXPECT_FALSE(verify_release_signature(bytes_of(manifest), bytes_of(by_neither)));
    // Each key verifies only its own signatures: the next key's signature is not the demo key's.
    EXPECT_FALSE(verify_signature_with_key(release_signing_keys()[0], bytes_of(manifest), bytes_of(by_next)));
    ASSERT_EQ(release_signing_keys().size(), 2u);
    EXPECT_TRUE(verify_signature_with_key(release_signing_keys()[1], bytes_of(manifest), bytes_of(by_next)));
}

TEST(Digest, Sha256MatchesKnownValues) {
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(bytes_of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string million(1000000, 'a');
    EXPECT_EQ(sha256_hex(bytes_of(million)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace virelo
