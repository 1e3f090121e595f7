#pragma once
// Finding the file a request names inside the served folder, never outside it.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/file_io.h"
#include "common/result.h"

namespace virelo::tool {

struct OpenedFile {
    unique_fd fd;
    std::uint64_t size = 0;
    std::string content_type;
    // For validators: publish renames every file into place, so a new
    // release gives a new inode even within the same second and size.
    ino_t inode = 0;
    std::timespec modified{};
};

class SiteRoot {
public:
    // The folder, resolved once to its real path.
    static Expected<SiteRoot> open(const std::string& folder);

    const std::string& path() const { return root_; }

    // The regular file a decoded URL path names, or nothing. Refused: paths
    // not starting with '/', any component starting with '.' ("..", hidden
    // and staging files), backslashes and NULs, folders, and anything whose
    // real path (symlinks resolved) lies outside the root.
    std::optional<OpenedFile> open_file(std::string_view url_path) const;

    // The release API: "manifest", "sig", or "exe" (the file the current
    // manifest names, read afresh on every request).
    std::optional<OpenedFile> open_api(std::string_view what) const;

private:
    explicit SiteRoot(std::string root) : root_{std::move(root)} {}
    std::string root_;
};

std::string content_type_for(std::string_view file_name);

}  // namespace virelo::tool
