#include "release/key_fingerprint.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "release/release.h"

namespace virelo {
namespace {

const std::string digest(64, 'a');

std::string manifest_with(const std::string& tail) {
    return "{\n  \"app\": \"Virelo\",\n  \"version\": \"1.4.2\",\n  \"file\": \"Virelo-1.4.2.exe\",\n"
           "  \"size\": 5000000,\n  \"sha256\": \"" + digest + "\"" + tail + "\n}\n";
}

TEST(KeyFingerprint, IsTheFirstEightBytesOfTheDigestInLowerCaseHex) {
    std::array<std::uint8_t, 32> blob_digest{};
    for (std::size_t i = 0; i < blob_digest.size(); ++i) blob_digest[i] = static_cast<std::uint8_t>(0xA0 + i);
    EXPECT_EQ(key_fingerprint_of_digest(blob_digest), "a0a1a2a3a4a5a6a7");
    EXPECT_TRUE(is_key_fingerprint("a0a1a2a3a4a5a6a7"));
    EXPECT_FALSE(is_key_fingerprint("A0A1A2A3A4A5A6A7"));
    EXPECT_FALSE(is_key_fingerprint("a0a1a2a3a4a5a6a"));
    EXPECT_FALSE(is_key_fingerprint("a0a1a2a3a4a5a6a7a"));
    EXPECT_FALSE(is_key_fingerprint("g0a1a2a3a4a5a6a7"));
}

TEST(ManifestKey, OnlyAValueOfTheFingerprintsFormIsPassedOn) {
    struct Case {
        std::string tail;
        std::optional<std::string> key;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {",\n  \"key\": \"0123456789abcdef\"", "0123456789abcdef"},
        {",\n  \"key\": \"0123456789ABCDEF\"", "0123456789abcdef"},
        {",\n  \"key\": 0123456789abcdef", "0123456789abcdef"},
        {",\n  \"key\": \"0123456789abcde\"", std::nullopt},
        {",\n  \"key\": \"0123456789abcdef0\"", std::nullopt},
        {",\n  \"key\": \"0123456789abcdeg\"", std::nullopt},
        {",\n  \"key\": \"<script>alert(1)</script>\"", std::nullopt},
        {",\n  \"key\": \"01234567\\n89abcdef\"", std::nullopt},
        {",\n  \"key\": \"" + std::string(100000, 'a') + "\"", std::nullopt},
        {",\n  \"key\": {\"x\": 1}", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail.substr(0, 60));
        EXPECT_EQ(manifest_key(manifest_with(c.tail)), c.key);
    }
    // Ill-formed UTF-8 around it changes nothing.
    EXPECT_EQ(manifest_key("\xFF{\"key\": \"0123456789abcdef\"}\xC0"), "0123456789abcdef");
}

TEST(ManifestKey, IsReadIntoTheReleaseAndChangesNothingElse) {
    const auto without = read_manifest(manifest_with(""));
    const auto with = read_manifest(manifest_with(",\n  \"key\": \"0123456789abcdef\""));
    const auto malformed = read_manifest(manifest_with(",\n  \"key\": \"not a key\""));
    ASSERT_TRUE(without && with && malformed);
    EXPECT_EQ(without->key, std::nullopt);
    EXPECT_EQ(with->key, "0123456789abcdef");
    EXPECT_EQ(malformed->key, std::nullopt);  // not damaged: the key never decides anything
    EXPECT_EQ(with->version, without->version);
    EXPECT_EQ(with->sha256, without->sha256);
}

TEST(SignatureFailure, TellsAnotherKeyFromAChangeAfterSigning) {
    const std::vector<std::string> one = {"1111111111111111"};
    const std::vector<std::string> two = {"1111111111111111", "2222222222222222"};
    EXPECT_EQ(classify_signature_failure("3333333333333333", one), SignatureFailure::other_key);
    EXPECT_EQ(classify_signature_failure("1111111111111111", one), SignatureFailure::changed_after_signing);
    EXPECT_EQ(classify_signature_failure("2222222222222222", two), SignatureFailure::changed_after_signing);
    EXPECT_EQ(classify_signature_failure(std::nullopt, two), SignatureFailure::unnamed);

    EXPECT_EQ(describe_signature_failure("3333333333333333", two),
              "signed by another key 3333333333333333; this program trusts 1111111111111111, 2222222222222222");
    EXPECT_EQ(describe_signature_failure("1111111111111111", one),
              "changed after signing, or paired with another manifest's signature (it names key 1111111111111111, "
              "which this program trusts)");
    EXPECT_EQ(describe_signature_failure(std::nullopt, one),
              "signed by another key, or changed after signing (the manifest names no key); this program trusts "
              "1111111111111111");
}

}  // namespace
}  // namespace virelo
