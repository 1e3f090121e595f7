#pragma once

#include <string_view>

namespace virelo {

// Starts Virelo.exe from the install folder through the shell (test mode:
// "--dev --offscreen --quit-after 4"), after ending windowless leftovers.
// True when the shell accepted the start.
bool launch_app(std::string_view install_folder);

}  // namespace virelo
