#include "migration/migration.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <string_view>

#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "migration/legacy_names.h"
#include "foundation/status_channel.h"

namespace virelo {
namespace {

// The only time the legacy application gets to close by itself.
constexpr DWORD close_grace_ms = 1500;

// An empty LOCALAPPDATA or APPDATA, or an unresolved special folder, leaves a
// name relative to the current folder, which is not the user's profile:
// such a path is never renamed or deleted.
bool in_profile(std::string_view path) { return win::is_absolute_path(path); }

bool key_exists(std::string_view key) {
    win::unique_hkey handle;
    return RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

void delete_key_tree(std::string_view key) { RegDeleteTreeW(HKEY_CURRENT_USER, win::to_wide(key).c_str()); }

void close_legacy_app(const std::string& executable) {
    if (HWND window = FindWindowW(win::to_wide(legacy::window_class).c_str(), nullptr)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        Sleep(close_grace_ms);
    }
    if (in_profile(executable)) end_processes_by_image_path(executable);
}

// Copies the legacy settings into a new application key; true when all of
// them arrived. A partial copy is taken back, so that the next run does not
// mistake it for Virelo's own settings and drop the legacy key uncopied.
bool copy_legacy_settings() {
    win::unique_hkey source;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(legacy::settings_key).c_str(), 0, KEY_READ, source.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    const std::wstring target_name = win::to_wide(application_key);
    win::unique_hkey target;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, target_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.put(),
                        &disposition) != ERROR_SUCCESS) {
        return false;
    }
    if (RegCopyTreeW(source.get(), nullptr, target.get()) == ERROR_SUCCESS) return true;
    target.reset();
    if (disposition == REG_CREATED_NEW_KEY) RegDeleteTreeW(HKEY_CURRENT_USER, target_name.c_str());
    return false;
}

// The legacy key goes only once its contents are safe: Virelo has settings of
// its own, or the copy succeeded. Deleting it after a failed copy would lose
// the user's settings.
void carry_settings_over() {
    if (key_exists(application_key) || copy_legacy_settings()) delete_key_tree(legacy::settings_key);
}

void move_roaming_data(const std::string& legacy_folder, const std::string& folder) {
    if (!in_profile(legacy_folder) || !in_profile(folder)) return;
    if (win::path_exists(legacy_folder) && !win::path_exists(folder)) {
        MoveFileExW(win::to_wide(legacy_folder).c_str(), win::to_wide(folder).c_str(), 0);
    }
}

// The user's choice to start at sign-in carries over; the legacy value's own
// data is not reused.
void carry_autostart_over() {
    win::unique_hkey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run_key).c_str(), 0, KEY_READ | KEY_SET_VALUE, run.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    const std::wstring legacy_value = win::to_wide(legacy::autostart_value);
    DWORD size = 0;
    if (RegQueryValueExW(run.get(), legacy_value.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return;
    RegDeleteValueW(run.get(), legacy_value.c_str());
    const std::wstring data = win::to_wide(legacy::autostart_command(installed_exe_path()));
    RegSetValueExW(run.get(), win::to_wide(autostart_value).c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

void delete_file_in_profile(const std::string& path) {
    if (in_profile(path)) win::delete_file(path);
}

void delete_tree_in_profile(const std::string& path) {
    if (in_profile(path)) win::delete_tree(path);
}

}  // namespace

void migrate_legacy() {
    if (win::in_test_mode()) return;

    // LOCALAPPDATA is read once for the legacy folder and its local data.
    const std::string local_app_data = win::env_text("LOCALAPPDATA");
    const std::string app_data = win::env_text("APPDATA");

    // This runs on every start of the application: detection needs no shell
    // folders, so they are asked for only when there is something to move.
    const std::string legacy_folder = legacy::names(local_app_data, app_data, "", "").folder;
    const bool has_settings = key_exists(legacy::settings_key);
    const bool has_folder = in_profile(legacy_folder) && win::path_exists(legacy_folder);
    if (!has_settings && !has_folder) return;

    const legacy::Names names = legacy::names(local_app_data, app_data, special_folder(CSIDL_PROGRAMS),
                                              special_folder(CSIDL_DESKTOPDIRECTORY));

    post_status("Moving Dockling to Virelo\u2026", progress_indeterminate);

    close_legacy_app(names.executable);
    if (has_settings) carry_settings_over();
    move_roaming_data(names.roaming_data_folder, roaming_data_folder());
    carry_autostart_over();
    delete_key_tree(legacy::uninstall_key);
    delete_file_in_profile(names.start_menu_shortcut);
    delete_file_in_profile(names.desktop_shortcut);
    delete_tree_in_profile(names.local_data_folder);
    delete_tree_in_profile(names.folder);
}

}  // namespace virelo
