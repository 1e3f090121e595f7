#include "install/launch.h"

#include <windows.h>

#include <string>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"

namespace virelo {

bool launch_app(std::string_view install_folder) {
    // A copy without a window (hanging at exit, or never shown) would stand in
    // the way of the new start; a copy with a window is left to handle it.
    if (!find_app_window()) end_installed_app_processes();

    // The executable is named by its full path and started as it is: nothing
    // in the path is expanded (a %...% in a user name) and nothing is searched
    // for, so the file the pipeline verified is the one that runs.
    const std::string exe = path_join(install_folder, "Virelo.exe");
    std::string command_line = "\"" + exe + "\"";
    if (win::in_test_mode()) command_line += " --dev --offscreen --quit-after 4";
    const std::wstring application = win::to_wide(exe);
    std::wstring arguments = win::to_wide(command_line);
    const std::wstring folder = win::to_wide(install_folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(application.c_str(), arguments.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &started)) {
        return false;
    }
    win::unique_handle process{started.hProcess};
    win::unique_handle thread{started.hThread};
    return true;
}

}  // namespace virelo
