#pragma once
// Emptying a folder without ever reaching outside it.

#include <string_view>

namespace virelo {

// Deletes everything inside `folder`, depth first, and leaves the folder. A
// symbolic link or junction is removed itself, never followed. An entry that
// opens as something other than what its name says (a link as Wine shows one:
// as its target) is left alone, and so is whatever cannot be deleted (a
// running program, say). The folder itself is left alone entirely when it is
// not what its name says.
void delete_folder_contents(std::string_view folder);

}  // namespace virelo
