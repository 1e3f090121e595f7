#pragma once
// Which mode an argument list selects.

#include <span>
#include <string>

namespace virelo {

// True when any argument, the program path included, is exactly "--uninstall"
// (whole argument, letter case included).
bool selects_uninstall_mode(std::span<const std::string> args);

}  // namespace virelo
