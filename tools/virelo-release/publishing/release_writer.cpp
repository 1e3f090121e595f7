#include "publishing/release_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/base64.h"
#include "common/decimal.h"
#include "common/freshness.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

constexpr std::int64_t max_expiry_days = 3650;

}  // namespace

Expected<FolderLock> FolderLock::acquire(const std::string& folder) {
    unique_fd fd{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!fd) return Expected<FolderLock>::failure("cannot open " + errno_text(folder));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return Expected<FolderLock>::failure("another publish or refresh is writing to " + folder);
    }
    return FolderLock{std::move(fd)};
}

Expected<TempFolder> create_staging_folder(const std::string& folder) {
    return TempFolder::create(folder, ".publish-");
}

Expected<std::string> write_signed_manifest(const std::string& staging, const ManifestFields& fields, EVP_PKEY* key) {
    using Out = Expected<std::string>;
    std::string manifest = manifest_text(fields);
    const auto signature = sign_message(key, manifest);
    if (!signature) return Out::failure(signature.error());
    const std::string signature_text = encode_base64(signature.value()) + "\n";
    if (auto ok = write_new_file(join_path(staging, manifest_file), manifest, 0644); !ok) return Out::failure(ok.error());
    if (auto ok = write_new_file(join_path(staging, signature_file), signature_text, 0644); !ok) {
        return Out::failure(ok.error());
    }
    return manifest;
}

Result move_into_place(const std::string& staging, const std::string& folder,
                       const std::vector<std::string_view>& order) {
    struct Moved {
        std::string target;
        bool existed = false;
        std::string previous;  // the replaced file, kept as a hard link; empty when none could be kept
    };
    std::vector<Moved> moved;
    for (const auto name : order) {
        Moved step{join_path(folder, name), path_exists(join_path(folder, name)),
                   join_path(staging, ".previous-" + std::string{name})};
        if (!step.existed || ::link(step.target.c_str(), step.previous.c_str()) != 0) step.previous.clear();
        if (::rename(join_path(staging, name).c_str(), step.target.c_str()) != 0) {
            const std::string error = "cannot move " + std::string{name} + " into place: " + errno_text(step.target);
            for (auto undo = moved.rbegin(); undo != moved.rend(); ++undo) {
                if (!undo->previous.empty()) {
                    ::rename(undo->previous.c_str(), undo->target.c_str());
                } else if (!undo->existed) {
                    ::unlink(undo->target.c_str());
                }
            }
            return Result::failure(error + "; the previous release was put back");
        }
        moved.push_back(std::move(step));
    }
    return sync_directory(folder);
}

Expected<std::optional<std::uint64_t>> current_serial(const std::string& folder) {
    using Out = Expected<std::optional<std::uint64_t>>;
    const std::string path = join_path(folder, manifest_file);
    if (!path_exists(path)) return std::optional<std::uint64_t>{};
    const auto manifest = read_file(path);
    if (!manifest) return Out::failure(manifest.error());
    const auto freshness = read_freshness(manifest.value());
    if (!freshness) {
        return Out::failure(path + " has a malformed field: " + freshness.error() +
                            "; give the next serial with --serial N");
    }
    return freshness.value().serial;
}

namespace {

std::string limit_text() { return std::to_string(max_publish_serial) + " (2^52)"; }

}  // namespace

Expected<std::uint64_t> next_serial(std::optional<std::uint64_t> current, const std::optional<std::string>& requested,
                                    const std::string& folder) {
    using Out = Expected<std::uint64_t>;
    if (requested) {
        const auto serial = parse_serial(*requested);
        if (!serial) {
            return Out::failure("--serial " + *requested + " must be a whole number from 1 to 9007199254740992, "
                                                           "without sign or leading zero");
        }
        if (current && *serial <= *current) {
            return Out::failure("--serial " + *requested + " is not higher than serial " + std::to_string(*current) +
                                " of the manifest now in " + folder +
                                "; setup programs refuse a lower serial than one they have seen, so serials "
                                "must grow (leave out --serial to take " +
                                (*current < max_serial ? std::to_string(*current + 1) : std::string{"the next"}) + ")");
        }
        if (*serial > max_publish_serial) {
            return Out::failure("--serial " + *requested + " leaves the release line no room to grow: serials go up "
                                "to " + limit_text() + " (setup programs accept up to " + std::to_string(max_serial) +
                                ", and every later publish needs a higher one)");
        }
        return *serial;
    }
    if (!current) return std::uint64_t{1};
    if (*current >= max_publish_serial) {
        return Out::failure("the manifest in " + folder + " has serial " + std::to_string(*current) +
                            ", and serials go up to " + limit_text() +
                            "; this release folder cannot take another publish");
    }
    return *current + 1;
}

Expected<std::int64_t> expiry_in_days(std::string_view days) {
    using Out = Expected<std::int64_t>;
    const std::string bad = "--expires-in " + std::string{days} + " must be a whole number of days from 1 to " +
                            std::to_string(max_expiry_days);
    if (days.empty() || days.size() > 4 || days.front() == '0') return Out::failure(bad);
    const auto count = parse_decimal(days);
    if (!count || *count > max_expiry_days) return Out::failure(bad);
    return static_cast<std::int64_t>(std::time(nullptr)) + static_cast<std::int64_t>(*count) * 86'400;
}

}  // namespace virelo::tool
