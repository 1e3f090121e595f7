#include "common/path.h"

#include <algorithm>
#include <vector>

#include "common/ascii.h"

namespace virelo {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_bare_drive(std::string_view s) {
    return s.size() == 2 && is_ascii_letter(s[0]) && s[1] == ':';
}

// A path as its drive (if any), whether it is rooted, and its named parts.
struct Components {
    std::string drive;
    bool rooted = false;
    std::vector<std::string_view> parts;
};

Components split(std::string_view path) {
    Components c;
    if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') {
        c.drive = {ascii_lower(path[0]), ':'};
        path.remove_prefix(2);
    }
    c.rooted = !path.empty() && is_separator(path.front());
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || is_separator(path[i])) {
            if (i > start) c.parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return c;
}

}  // namespace

std::string path_join(std::string_view first, std::string_view second) {
    std::string joined{first};
    if (!first.empty() && !is_separator(first.back()) && !is_bare_drive(first)) joined += '\\';
    joined += second;
    return joined;
}

std::string_view last_path_component(std::string_view path) {
    const auto cut = path.find_last_of("\\/");
    std::string_view last = cut == std::string_view::npos ? path : path.substr(cut + 1);
    if (cut == std::string_view::npos && path.size() >= 2 && path[1] == ':' && is_ascii_letter(path[0]))
        last = path.substr(2);
    return last;
}

std::string_view parent_folder(std::string_view path) {
    const auto cut = path.find_last_of("\\/");
    if (cut == std::string_view::npos) {
        return is_bare_drive(path.substr(0, 2)) && path.size() > 2 ? path.substr(0, 2) : std::string_view{};
    }
    // Keep the root separator of "C:\x" and "\x".
    const bool root = cut == 0 || (cut == 2 && is_bare_drive(path.substr(0, 2)));
    return path.substr(0, root ? cut + 1 : cut);
}

bool same_path_components(std::string_view a, std::string_view b) {
    const Components x = split(a), y = split(b);
    return x.drive == y.drive && x.rooted == y.rooted && x.parts == y.parts;
}

std::string extended_length_path(std::string_view path) {
    std::string out{path};
    std::replace(out.begin(), out.end(), '/', '\\');
    if (out.starts_with("\\\\?\\") || out.starts_with("\\\\.\\")) return out;
    if (out.starts_with("\\\\")) return "\\\\?\\UNC\\" + out.substr(2);
    if (out.size() >= 3 && out[1] == ':' && out[2] == '\\') return "\\\\?\\" + out;
    return out;
}

}  // namespace virelo
