#include "common/win/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::win {

std::vector<std::string> command_line_arguments() {
    int count = 0;
    unique_local<LPWSTR*> argv{CommandLineToArgvW(GetCommandLineW(), &count)};
    std::vector<std::string> args;
    if (!argv) return args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) args.push_back(from_wide(argv.get()[i]));
    return args;
}

}  // namespace virelo::win
