#pragma once
// SHA-256 through CNG: in one call for small inputs, incrementally for the
// executable, which is never held whole.

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/win/unique_resource.h"

namespace virelo {

using Sha256Digest = std::array<std::uint8_t, 32>;

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes);

// Lower-case hexadecimal digest text; empty if the digest could not be made.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

namespace detail {
struct algorithm_provider_traits {
    using type = BCRYPT_ALG_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct hash_traits {
    using type = BCRYPT_HASH_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::BCryptDestroyHash(h); }
};
}  // namespace detail
using unique_algorithm_provider = win::unique_resource<detail::algorithm_provider_traits>;
using unique_hash = win::unique_resource<detail::hash_traits>;

// A digest fed piece by piece. Any failure of the provider makes the result
// empty, so a broken hash never passes for a matching one.
class Sha256Hasher {
public:
    Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void add(std::span<const std::uint8_t> bytes);
    // The digest text of everything added; empty after any failure. Ends the hash.
    std::string finish_hex();

private:
    // Declared first so that the hash is destroyed before its provider closes.
    unique_algorithm_provider provider_;
    unique_hash hash_;
    bool failed_ = false;
};

struct FileDigest {
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hexadecimal
};

// The file's length and digest, read in fixed-size pieces and never held
// whole; nothing when the file cannot be opened or read.
std::optional<FileDigest> digest_file(std::string_view path);

}  // namespace virelo
