// The publisher tool's key and signature parsers: PEM private keys, the
// 72-byte public key blob of the setup program, DER signatures.

#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz_input.h"
#include "signing/keys.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("keys_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace virelo::tool;
    const std::string_view text = virelo::fuzz::text_of(data, size);
    const std::span<const std::uint8_t> bytes{data, size};

    // A private key that parses is a P-256 key: its public half makes a blob
    // that parses back to it, and a signature it makes verifies.
    if (const auto key = parse_private_key(text, "input")) {
        const PublicBlob blob = public_blob(key.value().get());
        const auto public_key = parse_public_blob(blob, "blob");
        check(bool(public_key), "the public half of a parsed key does not parse");
        check(public_blob(public_key.value().get()) == blob, "the public blob does not round-trip");
        const auto signature = sign_message(key.value().get(), "message");
        check(bool(signature), "a parsed key cannot sign");
        check(verify_message(public_key.value().get(), "message", signature.value()), "its signature fails");
        check(!verify_message(public_key.value().get(), "other", signature.value()), "it verifies another message");
    }

    // A blob that parses is 72 bytes, "ECS1", length 32, and round-trips.
    if (const auto key = parse_public_blob(bytes, "input")) {
        check(size == 72, "a blob of another length parsed");
        check(text.substr(0, 4) == "ECS1", "a blob without its magic parsed");
        const PublicBlob blob = public_blob(key.value().get());
        check(std::equal(blob.begin(), blob.end(), data), "the blob does not round-trip");
        // Any signature bytes: refused or verified, never a crash.
        verify_message(key.value().get(), text, bytes);
    }

    if (const auto raw = der_to_raw_signature(bytes)) {
        check(raw.value().size() == 64, "a raw signature of another length");
    }
    return 0;
}
