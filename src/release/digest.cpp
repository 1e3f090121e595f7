#include "release/digest.h"

#include <limits>
#include <vector>

#include "common/hex.h"
#include "common/win/wide.h"

// MinGW's headers lack the SHA-256 pseudo-handle (Windows 10 and later); its
// value is fixed by the platform.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace virelo {
namespace {

// Large enough that the per-call cost vanishes, small enough to stay out of
// the working set's figures.
constexpr DWORD file_piece = 256 * 1024;

}  // namespace

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes) {
    // One call takes a 32-bit length; larger inputs are refused rather than
    // digested in part.
    if (bytes.size() > std::numeric_limits<ULONG>::max()) return std::nullopt;
    Sha256Digest digest{};
    const NTSTATUS status = BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, const_cast<PUCHAR>(bytes.data()),
                                       static_cast<ULONG>(bytes.size()), digest.data(), digest.size());
    if (status != 0) return std::nullopt;
    return digest;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    const auto digest = sha256(bytes);
    return digest ? to_hex_lower(*digest) : std::string{};
}

Sha256Hasher::Sha256Hasher() {
    failed_ = BCryptOpenAlgorithmProvider(provider_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
              BCryptCreateHash(provider_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) != 0;
}

void Sha256Hasher::add(std::span<const std::uint8_t> bytes) {
    while (!failed_ && !bytes.empty()) {
        const auto piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), std::numeric_limits<ULONG>::max()));
        failed_ = BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes.data()), piece, 0) != 0;
        bytes = bytes.subspan(piece);
    }
}

std::string Sha256Hasher::finish_hex() {
    Sha256Digest digest{};
    if (failed_ || BCryptFinishHash(hash_.get(), digest.data(), digest.size(), 0) != 0) {
        failed_ = true;
        return {};
    }
    failed_ = true;  // a finished hash takes no more data
    return to_hex_lower(digest);
}

std::optional<FileDigest> digest_file(std::string_view path) {
    const win::unique_file file{CreateFileW(win::to_wide(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (!file) return std::nullopt;
    Sha256Hasher hasher;
    FileDigest digest;
    std::vector<std::uint8_t> piece(file_piece);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), piece.data(), file_piece, &read, nullptr)) return std::nullopt;
        if (read == 0) break;
        hasher.add({piece.data(), read});
        digest.size += read;
    }
    digest.sha256 = hasher.finish_hex();
    if (digest.sha256.empty()) return std::nullopt;
    return digest;
}

}  // namespace virelo
