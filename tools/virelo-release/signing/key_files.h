#pragma once
// Reading the two halves of the release signing key from the files that
// `keygen` writes, with messages that say which file a command wants when it
// is given the other kind.

#include <string>
#include <string_view>

#include "common/result.h"
#include "signing/keys.h"

namespace virelo::tool {

// The private key (signing-key.pem) for the commands that sign.
Expected<unique_pkey> load_private_key(const std::string& path);

struct PublicKey {
    unique_pkey key;
    PublicBlob blob;
};

// The public key (signing-key.pub, 72 bytes) for the commands that check.
Expected<PublicKey> load_public_key(const std::string& path);

// How a key is named to people: the first 16 hex digits of the SHA-256 of
// its 72-byte public blob (`sha256sum signing-key.pub | cut -c1-16`).
std::string key_fingerprint(std::span<const std::uint8_t> blob);

}  // namespace virelo::tool
