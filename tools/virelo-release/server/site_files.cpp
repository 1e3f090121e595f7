#include "server/site_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "common/ascii.h"
#include "publishing/release_folder.h"
#include "release/release.h"

namespace virelo::tool {
namespace {

std::optional<std::string> real_path(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved{::realpath(path.c_str(), nullptr), &std::free};
    if (!resolved) return std::nullopt;
    return std::string{resolved.get()};
}

bool has_dot_component(std::string_view relative) {
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        if (end > start && relative[start] == '.') return true;
        start = end + 1;
    }
    return false;
}

bool ends_with_ascii_nocase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return equals_ascii_nocase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

std::string content_type_for(std::string_view file_name) {
    struct Type { std::string_view extension, type; };
    static constexpr Type types[] = {
        {".json", "application/json"},
        {".sig", "text/plain; charset=us-ascii"},
        {".exe", "application/vnd.microsoft.portable-executable"},
        {".gz", "application/gzip"},
        {".vdelta", "application/octet-stream"},
        {".txt", "text/plain; charset=utf-8"},
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css"},
        {".js", "text/javascript"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
    };
    for (const auto& t : types) {
        if (ends_with_ascii_nocase(file_name, t.extension)) return std::string{t.type};
    }
    return "application/octet-stream";
}

Expected<SiteRoot> SiteRoot::open(const std::string& folder) {
    const auto resolved = real_path(folder);
    if (!resolved) return Expected<SiteRoot>::failure("root folder " + errno_text(folder));
    if (!is_directory(*resolved)) return Expected<SiteRoot>::failure("root " + folder + " is not a folder");
    return SiteRoot{*resolved};
}

std::optional<OpenedFile> SiteRoot::open_file(std::string_view url_path) const {
    if (url_path.empty() || url_path.front() != '/') return std::nullopt;
    if (url_path.find_first_of(std::string_view{"\\\0", 2}) != std::string_view::npos) return std::nullopt;
    if (has_dot_component(url_path)) return std::nullopt;

    const auto resolved = real_path(root_ + std::string{url_path});
    if (!resolved) return std::nullopt;
    // Symlinks may point anywhere; only what really lies below the root counts.
    const std::string prefix = root_ == "/" ? root_ : root_ + "/";
    if (!resolved->starts_with(prefix)) return std::nullopt;
    if (has_dot_component(std::string_view{*resolved}.substr(prefix.size()))) return std::nullopt;

    // O_NONBLOCK: a FIFO planted in the folder must not hang the worker.
    unique_fd fd{::open(resolved->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return OpenedFile{std::move(fd), static_cast<std::uint64_t>(st.st_size), content_type_for(*resolved), st.st_ino,
                      st.st_mtim};
}

std::optional<OpenedFile> SiteRoot::open_api(std::string_view what) const {
    if (what == "manifest") return open_file("/" + std::string{manifest_file});
    if (what == "sig") return open_file("/" + std::string{signature_file});
    if (what != "exe") return std::nullopt;
    // The executable of the manifest being served now, so a new release is
    // picked up without a restart.
    const auto manifest = read_file(root_ + "/" + std::string{manifest_file});
    if (!manifest) return std::nullopt;
    const auto release = read_manifest(manifest.value());
    if (!release) return std::nullopt;
    return open_file("/" + release->file);
}

}  // namespace virelo::tool
