#include "uninstall/folder_removal_start.h"

#include <windows.h>

#include <string>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "uninstall/folder_removal.h"

namespace virelo {
namespace {

std::string system_folder() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return win::from_wide({path, length});
}

}  // namespace

bool start_folder_removal(std::string_view install_folder, std::string_view running_copy) {
    std::string leaving = setup_copy_path();
    if (!running_copy.empty()) {
        leaving = std::string{running_copy};
        if (win::rename_durably(running_copy, outgoing_setup_copy_path()).ok()) {
            leaving = outgoing_setup_copy_path();
        }
    }
    const auto put_back = [&] {
        if (leaving != running_copy && !running_copy.empty()) {
            log_ignored_if_logging("putting the setup copy back",
                                   win::rename_durably(leaving, running_copy, win::ExistingTarget::keep));
        }
        return false;
    };

    const auto removal = folder_removal_command(system_folder(), install_folder, last_path_component(leaving));
    if (!removal) return put_back();
    const std::wstring application = win::to_wide(removal->application);
    std::wstring command_line = win::to_wide(removal->command_line);
    // The parent, not the folder: a process whose current folder lies inside
    // the install folder keeps it from being removed, and the setup program
    // is often started from there.
    const std::wstring working_folder = win::to_wide(removal->working_folder);
    STARTUPINFOW startup{};
    static_assert(sizeof startup == 104);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        working_folder.empty() ? nullptr : working_folder.c_str(), &startup, &started)) {
        return put_back();
    }
    win::unique_handle process{started.hProcess};
    win::unique_handle thread{started.hThread};
    return true;
}

}  // namespace virelo
