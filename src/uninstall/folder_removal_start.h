#pragma once

#include <string_view>

namespace virelo {

// Starts the detached, unwatched command that deletes the setup copy and the
// emptied install folder once the setup program has ended
// (folder_removal_command). It outlives the setup program on purpose.
// `running_copy` is the running program's file when it lies in the folder:
// it is renamed to outgoing_setup_copy_path() first, and the command deletes
// that name only, so that a setup copy an install places meanwhile stays
// (and with it the folder, since `rmdir` removes only an empty one). False
// when the command could not be started; the running copy then has its name
// back.
bool start_folder_removal(std::string_view install_folder, std::string_view running_copy);

}  // namespace virelo
