#include "uninstall/uninstall.h"

#include <windows.h>

#include <string>
#include <string_view>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "uninstall/folder_removal_start.h"

namespace virelo {
namespace {

constexpr wchar_t box_caption[] = L"Virelo";
constexpr wchar_t confirmation_text[] =
    L"Remove Virelo from this computer?\n\nYour settings and notes are kept and will come back if you reinstall.";
constexpr wchar_t completion_text[] = L"Virelo has been removed.";

bool user_confirms() {
    return MessageBoxW(nullptr, confirmation_text, box_caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void delete_autostart_value() {
    win::unique_hkey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run_key).c_str(), 0, KEY_SET_VALUE, run.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    RegDeleteValueW(run.get(), win::to_wide(autostart_value).c_str());
}

void delete_key_tree(const std::string& key) { RegDeleteTreeW(HKEY_CURRENT_USER, win::to_wide(key).c_str()); }

}  // namespace

void run_uninstall() {
    const bool test_mode = win::in_test_mode();
    if (!test_mode && !user_confirms()) return;

    close_running_app();

    const std::string install_folder = install_dir();
    // In normal mode an empty LOCALAPPDATA or an unresolved special folder
    // leaves a name relative to the current folder, which is not the user's
    // installation: such a path is left alone. A test folder is the tester's
    // choice and used as given.
    const auto ours = [test_mode](std::string_view path) { return test_mode || win::is_absolute_path(path); };

    VIRELO_FAILPOINT("uninstall.app_closed");
    if (!test_mode) delete_autostart_value();
    delete_key_tree(launcher_key());
    VIRELO_FAILPOINT("uninstall.launcher_removed");
    for (const std::string& shortcut : {start_menu_shortcut_path(), desktop_shortcut_path()}) {
        if (!ours(shortcut)) continue;
        win::delete_file(shortcut);
        win::delete_file(win::temporary_path(shortcut));  // left by a killed install run
    }
    VIRELO_FAILPOINT("uninstall.shortcuts_removed");
    if (ours(install_folder)) {
        win::delete_file(path_join(install_folder, "Virelo.exe"));
        win::delete_file(path_join(install_folder, "version.txt"));
    }
    VIRELO_FAILPOINT("uninstall.files_removed");
    if (!test_mode) {
        const std::string local_data = local_data_folder();
        if (ours(local_data)) win::delete_tree(local_data);
        MessageBoxW(nullptr, completion_text, box_caption, MB_OK | MB_ICONINFORMATION);
    }

    // Only once the box is closed: the running setup copy lives in the install
    // folder, and the command's short delay must cover just the program's exit.
    if (ours(install_folder)) start_folder_removal(install_folder);
    VIRELO_FAILPOINT("uninstall.removal_started");
    // The entry goes last: until then an interrupted uninstall can be started
    // again from the system's list of programs, and it finishes the removal.
    delete_key_tree(uninstall_key());
}

}  // namespace virelo
