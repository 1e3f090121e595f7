#pragma once

#include <string_view>

namespace virelo {

// Starts the install folder's Virelo.exe by its exact path, with the install
// folder as its current folder (test mode: "--dev --offscreen --quit-after 4"),
// after ending windowless leftovers. True when the process started.
bool launch_app(std::string_view install_folder);

}  // namespace virelo
