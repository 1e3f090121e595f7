#pragma once
// Emptying a folder without ever reaching outside it.

#include <string>
#include <string_view>
#include <vector>

namespace virelo {

// Deletes everything inside `folder`, depth first, and leaves the folder.
// Every entry is addressed by its exact name ("\\?\" paths), so a name with a
// trailing dot or space and a path beyond 260 characters go too. A symbolic
// link or junction is removed itself, never followed. An entry that opens as
// something other than what its name says (a link as Wine shows one: as its
// target) is left alone, and so is whatever cannot be deleted (a running
// program, say). The folder itself is left alone entirely when it is not what
// its name says. An entry directly in the folder named `keep` (in any letter
// case) stays as well. Returns the names still in the folder afterwards, but
// `keep`.
std::vector<std::string> delete_folder_contents(std::string_view folder, std::string_view keep = {});

}  // namespace virelo
