#include "release/download.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/os_error.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "foundation/status_channel.h"
#include "release/digest.h"
#include "foundation/diagnostic_log.h"
#include "release/download_progress.h"
#include "release/http_client.h"
#include "release/installed_base.h"
#include "release/part_decoder.h"
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

// Each piece of the download goes through the decoder to the staged file,
// and the progress line follows the bytes actually downloaded. An update
// that would show exactly what the window already shows is not posted: a
// read is a few kilobytes, and a post costs more than the read.
class DownloadSink final : public BodySink {
public:
    DownloadSink(PartDecoder& decoder, std::string_view version, std::uint64_t expected)
        : decoder_{decoder}, version_{version}, expected_{expected} {}
    bool take(std::span<const std::uint8_t> piece, std::uint64_t received, std::uint64_t declared) override {
        const DownloadProgress progress = download_progress(received, declared, expected_);
        if (progress.permille != shown_.permille || progress.done_mb != shown_.done_mb ||
            progress.total_mb != shown_.total_mb || !posted_) {
            post_status(download_progress_text(version_, progress), progress.permille);
            shown_ = progress;
            posted_ = true;
        }
        Result decoded = decoder_.feed(piece);
        // Once, with the piece that crosses half the size: a kill there
        // leaves a staged file cut short.
        const std::uint64_t half = expected_ / 2;
        if (received >= half && received - piece.size() < half) VIRELO_FAILPOINT("install.mid_download");
        if (!decoded) failure_ = decoded.take_error();
        return decoded.ok();
    }
    // Why the decoder stopped the transfer, if it did.
    const std::optional<std::string>& failure() const noexcept { return failure_; }

private:
    PartDecoder& decoder_;
    std::string_view version_;
    std::uint64_t expected_;
    DownloadProgress shown_;
    bool posted_ = false;
    std::optional<std::string> failure_;
};

class WriterSink final : public ByteSink {
public:
    explicit WriterSink(StagedWriter& writer) : writer_{writer} {}
    bool write(std::span<const std::uint8_t> bytes) override { return writer_.add(bytes); }

private:
    StagedWriter& writer_;
};

// One way to the executable: what is downloaded, and how it becomes the executable.
struct Route {
    enum class Kind { delta, compressed, whole } kind;
    std::string path;        // relative to the site
    std::uint64_t size = 0;  // what the progress line counts to
    std::uint64_t cap = 0;   // the most the site may send
};

std::string describe(const Route& route) {
    switch (route.kind) {
    case Route::Kind::delta:
        return "the delta from the installed executable (" + route.path + ")";
    case Route::Kind::compressed:
        return "the compressed copy (" + route.path + ")";
    case Route::Kind::whole:
        break;
    }
    return "the whole executable (" + route.path + ")";
}

// A failed route: the sentence the user would see if it was the last, and
// what the diagnostic log says.
struct RouteFailure {
    std::string text;
    std::string reason;
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

namespace {

std::vector<Route> routes_for(const Release& release, const std::optional<FileDigest>& installed) {
    std::vector<Route> routes;
    if (installed && installed->size != 0) {
        if (const DeltaPart* delta = find_delta(release, installed->sha256)) {
            routes.push_back({Route::Kind::delta, part_path(delta->part), delta->part.size, delta->part.size});
        } else if (!release.deltas.empty()) {
            log_line("download: no delta starts from the installed executable");
        }
    }
    if (release.compressed) {
        routes.push_back({Route::Kind::compressed, part_path(*release.compressed), release.compressed->size,
                          release.compressed->size});
    }
    routes.push_back({Route::Kind::whole, executable_path(release), release.size, max_body_bytes});
    return routes;
}

// Downloads one route into the staged file, decoding as it arrives; the
// staged file is kept only when it holds exactly the release.
std::optional<RouteFailure> fetch_route(const Route& route, const Release& release, std::string_view site,
                                        const HttpSession& session) {
    StagedWriter writer{staged_exe_path()};
    if (writer.open_error() != ERROR_SUCCESS) {
        return RouteFailure{"Could not write the file: " + os_error_detail(writer.open_error()), "cannot write"};
    }
    WriterSink out{writer};
    std::optional<InstalledBase> base;
    std::unique_ptr<PartDecoder> decoder;
    switch (route.kind) {
    case Route::Kind::delta:
        base = InstalledBase::open(installed_exe_path());
        if (!base) return RouteFailure{mismatch_text, decoder_unreadable_base};
        decoder = make_delta_decoder(*base, out, release.size);
        break;
    case Route::Kind::compressed:
        decoder = make_gzip_decoder(out, release.size);
        break;
    case Route::Kind::whole:
        decoder = make_plain_decoder(out);
        break;
    }

    DownloadSink sink{*decoder, release.version, route.size};
    TransferLimits limits;
    limits.max_body = route.cap;
    const Result received = http_receive(session, std::string{site} + route.path, sink, limits);
    // A failed write is what stopped the transfer, so it is the one reported.
    if (const DWORD error = writer.finish(); error != ERROR_SUCCESS) {
        return RouteFailure{"Could not write the file: " + os_error_detail(error), "cannot write"};
    }
    if (sink.failure()) return RouteFailure{mismatch_text, *sink.failure()};
    if (!received) return RouteFailure{"Could not download Virelo (" + received.error() + ").", received.error()};
    if (Result decoded = decoder->finish(); !decoded) return RouteFailure{mismatch_text, decoded.take_error()};
    if (writer.size() != release.size || writer.digest_hex() != release.sha256) {
        return RouteFailure{mismatch_text, "the result does not match the signed release"};
    }
    writer.keep();
    return std::nullopt;
}

}  // namespace

Expected<StagedExecutable> download_release(const Release& release, std::string_view site,
                                            const HttpSession& session, const std::optional<FileDigest>& installed) {
    using Outcome = Expected<StagedExecutable>;
    post_status(download_start_text(release.version), 0);

    CreatedFolder folder{install_dir()};
    if (const OsResult created = win::create_folder_chain(install_dir()); !created) {
        return Outcome::failure("Could not create the folder: " + created.error());
    }
    const std::vector<Route> routes = routes_for(release, installed);
    std::optional<RouteFailure> failure;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        log_line("download: " + describe(routes[i]));
        failure = fetch_route(routes[i], release, site, session);
        if (!failure) {
            folder.keep();
            return StagedExecutable{staged_exe_path()};
        }
        log_line("download: " + describe(routes[i]) + " failed (" + failure->reason + ")" +
                 (i + 1 < routes.size() ? "; trying " + describe(routes[i + 1]) : std::string{}));
    }
    return Outcome::failure(std::move(failure->text));
}

}  // namespace virelo
