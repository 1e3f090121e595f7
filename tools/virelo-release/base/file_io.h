#pragma once
// POSIX file operations the tool needs, with errors as short texts that name
// the file.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/unique_resource.h"

namespace virelo::tool {

struct fd_traits {
    using type = int;
    static type invalid() noexcept { return -1; }
    static void close(type fd) noexcept;
};
using unique_fd = unique_resource<fd_traits>;  // owns a file descriptor

// "path: reason" with the text of the current errno.
std::string errno_text(std::string_view path);

std::string join_path(std::string_view folder, std::string_view name);
std::string base_name(std::string_view path);

// The whole file, refused when larger than `limit` bytes.
Expected<std::string> read_file(const std::string& path, std::uint64_t limit = 1 << 20);

bool path_exists(const std::string& path);  // without following a final symlink
bool is_directory(const std::string& path);

// Creates `path` and any missing parents with `mode`. The first folder it had
// to create is reported through `first_created` (empty when none was made).
Result make_directories(const std::string& path, mode_t mode, std::string* first_created = nullptr);

// Writes all bytes to fd, retrying short writes.
Result write_all(int fd, std::string_view bytes, std::string_view path);

// Creates `path` (which must not exist) with `mode`, writes `bytes` and
// flushes them to disk.
Result write_new_file(const std::string& path, std::string_view bytes, mode_t mode);

// Flushes a folder's entries (renames, new names) to disk.
Result sync_directory(const std::string& path);

// Removes `folder` and its parents up to `first_created` (as make_directories
// reported it), as long as each is empty: undoes what a failed run created.
void remove_created_folders(const std::string& folder, const std::string& first_created);

// Whether `path` (which must exist) lies somewhere below `folder`, symlinks resolved.
bool is_inside(const std::string& path, const std::string& folder);

// Removes a folder and the plain files in it (one level); failures ignored.
void remove_flat_folder(const std::string& path);

// A fresh, private folder "<parent>/<prefix>XXXXXX" (mkdtemp), removed with
// the plain files in it when its owner goes.
class TempFolder {
public:
    static Expected<TempFolder> create(const std::string& parent, std::string_view prefix);
    TempFolder(TempFolder&& other) noexcept : path_{std::move(other.path_)} { other.path_.clear(); }
    TempFolder& operator=(TempFolder&&) = delete;
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        if (!path_.empty()) remove_flat_folder(path_);
    }

    const std::string& path() const { return path_; }

private:
    explicit TempFolder(std::string path) : path_{std::move(path)} {}
    std::string path_;
};

}  // namespace virelo::tool
