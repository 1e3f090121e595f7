#pragma once
// Windows path texts handled as UTF-8 strings, without touching the file system.

#include <string>
#include <string_view>

namespace virelo {

// Joins two path parts with one backslash. No separator is added when the
// first part is empty, already ends in '\' or '/', or is a bare drive ("C:").
std::string path_join(std::string_view first, std::string_view second);

// The last component ("Virelo.exe" of "C:\a\Virelo.exe"); empty when the
// path ends in a separator or is empty.
std::string_view last_path_component(std::string_view path);

// Everything before the last component, without the separator between them
// ("C:\a" of "C:\a\b.exe", "C:\" of "C:\b.exe"); empty when there is none.
std::string_view parent_folder(std::string_view path);

// Compares two paths component by component: separators of either kind and
// repeated separators are equivalent, and so is the letter case of a drive
// letter; every other character must match exactly.
bool same_path_components(std::string_view a, std::string_view b);

// The path in the "\\?\" form that the system takes exactly as written, with
// no trimming of a trailing dot or space and no 260-character limit:
// "C:\a" gives "\\?\C:\a", "\\server\share" gives "\\?\UNC\server\share",
// and forward slashes become backslashes. A path already in that form or
// "\\.\" form, and a relative one (the system's rules must place it), stay
// as they are.
std::string extended_length_path(std::string_view path);

}  // namespace virelo
