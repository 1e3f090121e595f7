#include "install/launch.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"

namespace virelo {

bool launch_app(std::string_view install_folder) {
    // A copy without a window (hanging at exit, or never shown) would stand in
    // the way of the new start; a copy with a window is left to handle it.
    if (!find_app_window()) end_installed_app_processes();

    const std::wstring exe = win::to_wide(path_join(install_folder, "Virelo.exe"));
    const std::wstring folder = win::to_wide(install_folder);
    const wchar_t* parameters = win::in_test_mode() ? L"--dev --offscreen --quit-after 4" : nullptr;
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", exe.c_str(), parameters, folder.c_str(), SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace virelo
