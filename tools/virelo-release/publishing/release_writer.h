#pragma once
// Writing into a release folder, shared by `publish` and `refresh`: one
// writer at a time, new files staged in a hidden folder inside it, moved into
// place in an order no reader can trip over, and the serial and expiry of the
// new manifest.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_io.h"
#include "base/openssl_ptr.h"
#include "common/result.h"
#include "publishing/release_folder.h"

namespace virelo::tool {

// An exclusive lock on a release folder for as long as it lives.
class FolderLock {
public:
    static Expected<FolderLock> acquire(const std::string& folder);

private:
    explicit FolderLock(unique_fd fd) : fd_{std::move(fd)} {}
    unique_fd fd_;
};

// A hidden staging folder inside the release folder: neither nginx nor
// `serve` hands out dot-named paths, and renames from it stay on one file system.
Expected<TempFolder> create_staging_folder(const std::string& folder);

// Writes `fields` as manifest.json and its signature as manifest.sig into
// `staging`; returns the manifest text.
Expected<std::string> write_signed_manifest(const std::string& staging, const ManifestFields& fields, EVP_PKEY* key);

// Renames each staged file over its namesake in `folder`, in order. Should one
// rename fail, the ones already made are undone, so the folder keeps its
// previous release.
Result move_into_place(const std::string& staging, const std::string& folder,
                       const std::vector<std::string_view>& order);

// The serial of the manifest now in `folder`: nothing when there is no
// manifest or it has no serial; a failure when it has a malformed one.
Expected<std::optional<std::uint64_t>> current_serial(const std::string& folder);

// The highest serial the tool writes: half of what a setup program accepts
// (max_serial, 2^53). A release line whose serial reached max_serial could
// never publish again, and one --serial is enough to get there; so no serial
// above 2^52 is written, and a line keeps at least 2^52 serials of room.
inline constexpr std::uint64_t max_publish_serial = std::uint64_t{1} << 52;

// The next serial: `requested` (the text of --serial) when given, which must
// be higher than `current`; otherwise current + 1, or 1 for the first. Never
// above max_publish_serial.
Expected<std::uint64_t> next_serial(std::optional<std::uint64_t> current, const std::optional<std::string>& requested,
                                    const std::string& folder);

// Now plus `days` (the text of --expires-in: a whole number from 1 to 3650).
Expected<std::int64_t> expiry_in_days(std::string_view days);

}  // namespace virelo::tool
