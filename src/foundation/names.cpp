#include "foundation/names.h"

#include <shlobj.h>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/wide.h"
#include "foundation/install_names.h"

namespace virelo {

std::string install_dir() {
    const auto test = win::test_folder();
    return naming::install_dir(test, test ? std::string{} : win::env_text("LOCALAPPDATA"));
}

std::string installed_exe_path() { return path_join(install_dir(), "Virelo.exe"); }
std::string staged_exe_path() { return path_join(install_dir(), "Virelo.exe.new"); }
std::string backup_exe_path() { return path_join(install_dir(), "Virelo.exe.setup-old"); }
std::string setup_copy_path() { return path_join(install_dir(), "VireloSetup.exe"); }
std::string outgoing_setup_copy_path() { return path_join(install_dir(), "VireloSetup.exe.removing"); }
std::string version_file_path() { return path_join(install_dir(), "version.txt"); }

// In test mode no special folder is queried at all.
std::string start_menu_shortcut_path() {
    const auto test = win::test_folder();
    return naming::shortcut_path(test, naming::start_menu_test_name, test ? "" : special_folder(CSIDL_PROGRAMS));
}

std::string desktop_shortcut_path() {
    const auto test = win::test_folder();
    return naming::shortcut_path(test, naming::desktop_test_name,
                                 test ? "" : special_folder(CSIDL_DESKTOPDIRECTORY));
}

std::string launcher_key() { return std::string{naming::launcher_key(win::in_test_mode())}; }
std::string uninstall_key() { return std::string{naming::uninstall_key(win::in_test_mode())}; }
std::string app_window_class() { return std::string{naming::app_window_class(win::in_test_mode())}; }

std::string local_data_folder() { return path_join(win::env_text("LOCALAPPDATA"), "Virelo"); }
std::string roaming_data_folder() { return path_join(win::env_text("APPDATA"), "Virelo"); }

std::string diagnostic_log_path() {
    const auto test = win::test_folder();
    return naming::diagnostic_log_path(test, test ? std::string{} : win::env_text("LOCALAPPDATA"));
}

std::string special_folder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    // Never created here; a failed call leaves the buffer empty.
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return win::from_wide_buffer(buffer, MAX_PATH);
}

HWND find_app_window() { return FindWindowW(win::to_wide(app_window_class()).c_str(), nullptr); }

}  // namespace virelo
