#pragma once

#include <string_view>

namespace virelo {

// Empties the install folder (delete_folder_contents) but for what is in use,
// the running setup copy above all, and starts the detached, unwatched command
// that deletes the setup copy and the folder once the setup program has ended
// (folder_removal_command). It outlives the setup program on purpose.
void start_folder_removal(std::string_view install_folder);

}  // namespace virelo
