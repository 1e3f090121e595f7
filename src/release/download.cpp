#include "release/download.h"

#include <windows.h>

#include <optional>
#include <string>

#include "common/win/files.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "release/digest.h"
#include "release/download_progress.h"
#include "release/http_client.h"
#include "foundation/status_channel.h"

namespace virelo {
namespace {

// The file's size without reading it; nothing when it cannot be queried.
std::optional<std::uint64_t> file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(win::to_wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

bool matches_release(std::span<const std::uint8_t> bytes, const Release& release) {
    if (bytes.size() != release.size) return false;
    // An empty text (no digest could be made) never equals the 64-character value.
    return sha256_hex(bytes) == release.sha256;
}

bool is_current(const Release& release) {
    const std::string path = installed_exe_path();
    // A file of another length cannot match, so it is not read at all.
    const auto size = file_size(path);
    if (!size || *size != release.size) return false;
    const auto bytes = win::read_file(path);
    return bytes && matches_release(*bytes, release);
}

Expected<std::vector<std::uint8_t>> download_release(const Release& release, std::string_view site) {
    using Bytes = std::vector<std::uint8_t>;
    post_status(download_start_text(release.version), 0);

    const auto report = [&release](std::uint64_t received, std::uint64_t content_length) {
        const DownloadProgress progress = download_progress(received, content_length, release.size);
        post_status(download_progress_text(release.version, progress), progress.permille);
    };
    auto body = http_get(std::string{site} + executable_path(release), report);
    if (!body) return Expected<Bytes>::failure("Could not download Virelo (" + body.error() + ").");

    if (!matches_release(body.value(), release)) {
        return Expected<Bytes>::failure(
            "The downloaded file does not match the signed release, so it will not be installed. "
            "Please try again later.");
    }
    return std::move(body).value();
}

}  // namespace virelo
