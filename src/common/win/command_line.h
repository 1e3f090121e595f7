#pragma once
// The process's arguments as the system splits its command line.

#include <string>
#include <vector>

namespace virelo::win {

// All arguments, the program's path first, as UTF-8 (unreadable units as
// U+FFFD, so such an argument never equals an option).
std::vector<std::string> command_line_arguments();

}  // namespace virelo::win
