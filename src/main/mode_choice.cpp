#include "main/mode_choice.h"

#include <algorithm>

namespace virelo {

bool selects_uninstall_mode(std::span<const std::string> args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--uninstall"; });
}

}  // namespace virelo
