#pragma once
// The arithmetic and texts of the download's progress line.

#include <cstdint>
#include <string>
#include <string_view>

namespace virelo {

struct DownloadProgress {
    std::uint64_t done_mb = 0;   // received / 1 MiB, rounded down
    std::uint64_t total_mb = 0;  // total / 1 MiB, rounded up
    std::int32_t permille = 0;   // received * 1000 / max(total, 1), at most 1000
};

// `content_length` 0 means the server declared none; the manifest's size
// stands in then.
DownloadProgress download_progress(std::uint64_t received, std::uint64_t content_length,
                                   std::uint64_t manifest_size);

// "Downloading Virelo {version}…"
std::string download_start_text(std::string_view version);
// "Downloading Virelo {version}… {done} of {total} MB"
std::string download_progress_text(std::string_view version, const DownloadProgress& progress);

}  // namespace virelo
