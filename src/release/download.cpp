#include "release/download.h"

#include <windows.h>

#include <optional>
#include <string>

#include "common/win/files.h"
#include "common/win/os_error.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "foundation/status_channel.h"
#include "release/digest.h"
#include "release/download_progress.h"
#include "release/http_client.h"
#include "release/staged_writer.h"

namespace virelo {
namespace {

constexpr char mismatch_text[] =
    "The downloaded file does not match the signed release, so it will not be installed. Please try again later.";

// The file's size without reading it; nothing when it cannot be queried.
std::optional<std::uint64_t> file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(win::to_wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Each piece goes to the staged file, and the progress line follows it. An
// update that would show exactly what the window already shows is not
// posted: a read is a few kilobytes, and a post costs more than the read.
class DownloadSink final : public BodySink {
public:
    DownloadSink(StagedWriter& writer, const Release& release) : writer_{writer}, release_{release} {}
    bool take(std::span<const std::uint8_t> piece, std::uint64_t received, std::uint64_t declared) override {
        const DownloadProgress progress = download_progress(received, declared, release_.size);
        if (progress.permille != shown_.permille || progress.done_mb != shown_.done_mb ||
            progress.total_mb != shown_.total_mb || !posted_) {
            post_status(download_progress_text(release_.version, progress), progress.permille);
            shown_ = progress;
            posted_ = true;
        }
        return writer_.add(piece);
    }

private:
    StagedWriter& writer_;
    const Release& release_;
    DownloadProgress shown_;
    bool posted_ = false;
};

// Removes the install folder again if this download made it and left it empty.
class CreatedFolder {
public:
    explicit CreatedFolder(std::string path) : path_{std::move(path)}, existed_{win::path_exists(path_)} {}
    CreatedFolder(const CreatedFolder&) = delete;
    CreatedFolder& operator=(const CreatedFolder&) = delete;
    ~CreatedFolder() {
        if (!existed_ && !keep_) RemoveDirectoryW(win::to_wide(path_).c_str());
    }
    void keep() noexcept { keep_ = true; }

private:
    std::string path_;
    bool existed_;
    bool keep_ = false;
};

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
    return is_current(release, digest_file(path));
}

bool is_current(const Release& release, const std::optional<FileDigest>& installed) {
    return installed && installed->size == release.size && installed->sha256 == release.sha256;
}

Expected<StagedExecutable> download_release(const Release& release, std::string_view site,
                                            const HttpSession& session) {
    using Outcome = Expected<StagedExecutable>;
    post_status(download_start_text(release.version), 0);

    CreatedFolder folder{install_dir()};
    if (const DWORD error = win::create_folder_chain(install_dir()); error != ERROR_SUCCESS) {
        return Outcome::failure("Could not create the folder: " + os_error_detail(error));
    }
    StagedWriter writer{staged_exe_path()};
    if (writer.open_error() != ERROR_SUCCESS) {
        return Outcome::failure("Could not write the file: " + os_error_detail(writer.open_error()));
    }

    DownloadSink sink{writer, release};
    const Result received = http_receive(session, std::string{site} + executable_path(release), sink);
    // A failed write is what stopped the transfer, so it is the one reported.
    if (const DWORD error = writer.finish(); error != ERROR_SUCCESS) {
        return Outcome::failure("Could not write the file: " + os_error_detail(error));
    }
    if (!received) return Outcome::failure("Could not download Virelo (" + received.error() + ").");
    if (writer.size() != release.size || writer.digest_hex() != release.sha256) {
        return Outcome::failure(mismatch_text);
    }
    writer.keep();
    folder.keep();
    return StagedExecutable{staged_exe_path()};
}

}  // namespace virelo
