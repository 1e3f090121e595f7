#include "signing/key_files.h"

#include <cerrno>

#include "base/file_io.h"
#include "common/hex.h"
#include "release/key_fingerprint.h"

namespace virelo::tool {
namespace {

constexpr std::uint64_t key_file_limit = 64 * 1024;

bool looks_like_public_blob(std::string_view bytes) {
    return bytes.size() == 72 && bytes.substr(0, 4) == "ECS1";
}

bool is_pem_with(std::string_view bytes, std::string_view label) {
    return bytes.find("-----BEGIN ") != std::string_view::npos && bytes.find(label) != std::string_view::npos;
}

// "cannot read X: No such file or directory", with the file the command wants.
std::string unreadable(const std::string& error, std::string_view wanted) {
    return error + " (" + std::string{wanted} + ")";
}

}  // namespace

Expected<unique_pkey> load_private_key(const std::string& path) {
    using Out = Expected<unique_pkey>;
    const auto bytes = read_file(path, key_file_limit);
    if (!bytes) {
        return Out::failure(unreadable(bytes.error(), "--key wants the private key signing-key.pem that "
                                                      "'virelo-release keygen --out DIR' wrote"));
    }
    const std::string_view text = bytes.value();
    if (looks_like_public_blob(text)) {
        return Out::failure(path + " is the 72-byte public key; signing needs the private key: give --key "
                                   "the signing-key.pem that keygen wrote beside it");
    }
    if (is_pem_with(text, "PUBLIC KEY-----") && !is_pem_with(text, "PRIVATE KEY-----")) {
        return Out::failure(path + " holds only a public key; signing needs the private key: give --key "
                                   "the signing-key.pem that keygen wrote");
    }
    auto key = parse_private_key(text, path);
    if (!key) {
        // Say which file is wanted, not only what this one is not.
        return Out::failure(key.error() + "; --key wants the release signing key: the signing-key.pem (ECDSA "
                                          "P-256) that 'virelo-release keygen --out DIR' wrote, not a code-signing "
                                          "certificate or key (those go to 'virelo-release sign')");
    }
    return key;
}

Expected<PublicKey> load_public_key(const std::string& path) {
    using Out = Expected<PublicKey>;
    const auto bytes = read_file(path, key_file_limit);
    if (!bytes) {
        return Out::failure(unreadable(bytes.error(), "--key wants the 72-byte public key signing-key.pub that "
                                                      "'virelo-release keygen --out DIR' wrote"));
    }
    const std::string_view text = bytes.value();
    if (is_pem_with(text, "PRIVATE KEY-----")) {
        return Out::failure(path + " is a private key; checking needs only the public key: give --key the "
                                   "72-byte signing-key.pub that keygen wrote beside it (and keep the .pem "
                                   "on the signing machine)");
    }
    if (is_pem_with(text, "PUBLIC KEY-----")) {
        return Out::failure(path + " is a PEM public key; --key wants the 72-byte public key blob "
                                   "signing-key.pub that keygen wrote");
    }
    const std::span<const std::uint8_t> blob{reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    auto key = parse_public_blob(blob, path);
    if (!key) return Out::failure(key.error());
    PublicKey result{std::move(key.value()), {}};
    std::copy(blob.begin(), blob.end(), result.blob.begin());
    return result;
}

std::string key_fingerprint(std::span<const std::uint8_t> blob) {
    const Digest digest = sha256({reinterpret_cast<const char*>(blob.data()), blob.size()});
    return key_fingerprint_of_digest(digest);
}

}  // namespace virelo::tool
