#include "release/download_progress.h"

#include <algorithm>

namespace virelo {
namespace {

constexpr std::uint64_t mebibyte = 1'048'576;

__extension__ typedef unsigned __int128 uint128;

}  // namespace

DownloadProgress download_progress(std::uint64_t received, std::uint64_t content_length,
                                   std::uint64_t manifest_size) {
    const std::uint64_t total = content_length != 0 ? content_length : manifest_size;
    DownloadProgress progress;
    progress.total_mb = total / mebibyte + (total % mebibyte != 0 ? 1 : 0);
    progress.done_mb = received / mebibyte;
    // 128 bits, so a huge count cannot wrap around into a small value.
    const uint128 permille = uint128{received} * 1000 / std::max<std::uint64_t>(total, 1);
    progress.permille = static_cast<std::int32_t>(std::min<uint128>(permille, 1000));
    return progress;
}

std::string download_start_text(std::string_view version) {
    std::string text = "Downloading Virelo ";
    text += version;
    text += "\u2026";
    return text;
}

std::string download_progress_text(std::string_view version, const DownloadProgress& progress) {
    std::string text = download_start_text(version);
    text += ' ';
    text += std::to_string(progress.done_mb);
    text += " of ";
    text += std::to_string(progress.total_mb);
    text += " MB";
    return text;
}

}  // namespace virelo
