#include "base/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace virelo::tool {
namespace {

std::string parent_of(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace


void fd_traits::close(int fd) noexcept { ::close(fd); }

std::string errno_text(std::string_view path) {
    std::string text{path};
    text += ": ";
    text += std::strerror(errno);
    return text;
}

std::string join_path(std::string_view folder, std::string_view name) {
    std::string path{folder};
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

std::string base_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string{slash == std::string_view::npos ? path : path.substr(slash + 1)};
}

Expected<std::string> read_file(const std::string& path, std::uint64_t limit) {
    unique_fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd) return Expected<std::string>::failure("cannot read " + errno_text(path));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Expected<std::string>::failure("cannot read " + errno_text(path));
    if (!S_ISREG(st.st_mode)) return Expected<std::string>::failure("cannot read " + path + ": not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        return Expected<std::string>::failure("cannot read " + path + ": larger than " +
                                              std::to_string(limit) + " bytes");
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Expected<std::string>::failure("cannot read " + errno_text(path));
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {
            return Expected<std::string>::failure("cannot read " + path + ": larger than " +
                                                  std::to_string(limit) + " bytes");
        }
    }
    return bytes;
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result make_directories(const std::string& path, mode_t mode, std::string* first_created) {
    if (first_created) first_created->clear();
    if (is_directory(path)) return Result::success();
    if (path_exists(path)) return Result::failure(path + " exists and is not a folder");
    std::string prefix;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        prefix = path.substr(0, pos);
        if (prefix.empty() || is_directory(prefix)) continue;
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            return Result::failure("cannot create folder " + errno_text(prefix));
        }
        if (first_created && first_created->empty()) *first_created = prefix;
    }
    if (!is_directory(path)) return Result::failure(path + " is not a folder");
    return Result::success();
}

Result write_all(int fd, std::string_view bytes, std::string_view path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Result::failure("cannot write " + errno_text(path));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Result::success();
}

Result write_new_file(const std::string& path, std::string_view bytes, mode_t mode) {
    // O_EXCL: never write through an existing file or a planted symlink.
    unique_fd fd{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)};
    if (!fd) return Result::failure("cannot create " + errno_text(path));
    if (auto written = write_all(fd.get(), bytes, path); !written) return written;
    if (::fsync(fd.get()) != 0) return Result::failure("cannot write " + errno_text(path));
    if (::close(fd.release()) != 0) return Result::failure("cannot write " + errno_text(path));
    return Result::success();
}

Result sync_directory(const std::string& path) {
    unique_fd fd{::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!fd || ::fsync(fd.get()) != 0) return Result::failure("cannot flush folder " + errno_text(path));
    return Result::success();
}

void remove_flat_folder(const std::string& path) {
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            ::unlink(join_path(path, name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

Expected<TempFolder> TempFolder::create(const std::string& parent, std::string_view prefix) {
    std::string path = join_path(parent, std::string{prefix} + "XXXXXX");
    if (!::mkdtemp(path.data())) return Expected<TempFolder>::failure("cannot create a folder in " + errno_text(parent));
    return TempFolder{std::move(path)};
}

void remove_created_folders(const std::string& folder, const std::string& first_created) {
    if (first_created.empty()) return;
    const std::string stop = without_trailing_slashes(first_created);
    std::string current = without_trailing_slashes(folder);
    while (current.size() >= stop.size() && ::rmdir(current.c_str()) == 0 && current != stop) {
        current = without_trailing_slashes(parent_of(current));
    }
}

bool is_inside(const std::string& path, const std::string& folder) {
    const std::unique_ptr<char, decltype(&std::free)> real_path{::realpath(path.c_str(), nullptr), &std::free};
    const std::unique_ptr<char, decltype(&std::free)> real_folder{::realpath(folder.c_str(), nullptr), &std::free};
    if (!real_path || !real_folder) return false;
    const std::string prefix = std::string{real_folder.get()} + "/";
    return std::string_view{real_path.get()}.starts_with(prefix);
}

}  // namespace virelo::tool
