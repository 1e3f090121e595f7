#include "migration/migration.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/win/environment.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/os_error.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "migration/legacy_names.h"
#include "migration/roaming_move.h"
#include "migration/settings_move.h"
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

// A key that is already gone is no failure.
OsResult registry_outcome(LSTATUS status) {
    const bool absent = status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
    return os_result(absent ? ERROR_SUCCESS : static_cast<DWORD>(status));
}

void delete_key_tree(std::string_view key) {
    log_ignored("removing the registry key " + std::string{key},
                registry_outcome(RegDeleteTreeW(HKEY_CURRENT_USER, win::to_wide(key).c_str())));
}

void close_legacy_app(const std::string& executable) {
    if (HWND window = FindWindowW(win::to_wide(legacy::window_class).c_str(), nullptr)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        Sleep(close_grace_ms);
    }
    if (in_profile(executable)) end_processes_by_image_path(executable);
}

// The state of a key without changing it; a key that exists but cannot be
// opened for reading counts as existing.
bool key_is_present(std::string_view key) {
    win::unique_hkey handle;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, KEY_READ, handle.put());
    return status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND;
}

legacy::ApplicationKey application_key_state() {
    win::unique_hkey key;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(application_key).c_str(), 0, KEY_READ, key.put());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return legacy::ApplicationKey::absent;
    if (status != ERROR_SUCCESS) return legacy::ApplicationKey::unreadable;
    DWORD value_count = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &value_count, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return legacy::ApplicationKey::unreadable;
    }
    std::vector<std::string> subkeys;
    wchar_t name[256];  // the longest key name the registry allows, with its NUL
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        const LSTATUS listed = RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) break;
        if (listed != ERROR_SUCCESS) return legacy::ApplicationKey::unreadable;
        subkeys.push_back(win::from_wide({name, length}));
    }
    return legacy::classify_application_key(value_count, subkeys);
}

// Only the failpoint build's watch on the tree copy asks.
[[maybe_unused]] bool has_subkeys(std::string_view key) {
    win::unique_hkey handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD subkeys = 0;
    return RegQueryInfoKeyW(handle.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

// Copies the whole legacy tree into a fresh staging key; true when all of it
// arrived.
bool copy_into_staging() {
    win::unique_hkey source;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(legacy::settings_key).c_str(), 0, KEY_READ, source.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    win::unique_hkey staging;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, win::to_wide(legacy::staging_key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, staging.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    // The tree copy is one call that copies the values first and then each
    // subkey: once the staging key has a subkey, the copy is under way.
    VIRELO_FAILPOINT_WATCH("migration.mid_copy", [] { return has_subkeys(legacy::staging_key); });
    if (RegCopyTreeW(source.get(), nullptr, staging.get()) != ERROR_SUCCESS) return false;
    // The Launcher subkey is the setup program's own record, and a serial
    // there refuses every release that does not reach it: one the legacy
    // product left never comes along.
    const LSTATUS dropped = RegDeleteKeyValueW(staging.get(), L"Launcher", L"Serial");
    return dropped == ERROR_SUCCESS || dropped == ERROR_FILE_NOT_FOUND || dropped == ERROR_PATH_NOT_FOUND;
}

// Gives the complete staging copy the application key's name: a rename, in
// one step, when there is no application key yet; otherwise a merge into it,
// after which the staging key goes. Until then the staging key marks the copy
// as unfinished, so a cut-short merge is never taken for Virelo's settings.
bool move_staging_into_place() {
    const std::wstring staging = win::to_wide(legacy::staging_key);
    if (RegRenameKey(HKEY_CURRENT_USER, staging.c_str(), win::to_wide(legacy::application_key_name).c_str()) ==
        ERROR_SUCCESS) {
        return true;
    }
    win::unique_hkey source;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, staging.c_str(), 0, KEY_READ, source.put()) != ERROR_SUCCESS) return false;
    win::unique_hkey target;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, win::to_wide(application_key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, target.put(), nullptr) != ERROR_SUCCESS ||
        RegCopyTreeW(source.get(), nullptr, target.get()) != ERROR_SUCCESS) {
        return false;
    }
    source.reset();
    return RegDeleteTreeW(HKEY_CURRENT_USER, staging.c_str()) == ERROR_SUCCESS;
}

// True once the legacy settings are safe: Virelo has settings of its own, or
// the copy is complete under the application key and on the disk. Only then
// may the legacy key go.
bool carry_settings_over() {
    if (!legacy::should_copy_settings(key_is_present(legacy::staging_key), application_key_state())) return true;
    delete_key_tree(legacy::staging_key);  // an earlier copy that was cut short
    if (!copy_into_staging()) {
        delete_key_tree(legacy::staging_key);
        return false;
    }
    VIRELO_FAILPOINT("migration.settings_staged");
    if (!move_staging_into_place()) return false;
    // The registry writes its hive lazily: the copy is on the disk before the
    // legacy key can be deleted.
    RegFlushKey(HKEY_CURRENT_USER);
    VIRELO_FAILPOINT("migration.settings_placed");
    return true;
}

// True when the roaming data needs nothing more (roaming_move.h); relative
// names are not the user's profile and need nothing.
bool carry_roaming_data_over(const std::string& legacy_folder, const std::string& folder) {
    if (!in_profile(legacy_folder) || !in_profile(folder)) return true;
    return move_roaming_data(legacy_folder, folder);
}

// The user's choice to start at sign-in carries over; the legacy value's own
// data is not reused. The new value is written (and on the disk) before the
// legacy one goes, so no kill can lose the choice.
void carry_autostart_over() {
    win::unique_hkey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run_key).c_str(), 0, KEY_READ | KEY_SET_VALUE, run.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    const std::wstring legacy_value = win::to_wide(legacy::autostart_value);
    DWORD size = 0;
    if (RegQueryValueExW(run.get(), legacy_value.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return;
    const std::wstring data = win::to_wide(legacy::autostart_command(installed_exe_path()));
    const LSTATUS written = RegSetValueExW(run.get(), win::to_wide(autostart_value).c_str(), 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(data.c_str()),
                                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    if (written != ERROR_SUCCESS) {
        log_ignored("carrying the start at sign-in over", registry_outcome(written));
        return;
    }
    RegFlushKey(run.get());
    VIRELO_FAILPOINT("migration.autostart_written");
    log_ignored("removing the legacy start at sign-in",
                registry_outcome(RegDeleteValueW(run.get(), legacy_value.c_str())));
}

void delete_file_in_profile(const std::string& path) {
    if (in_profile(path)) log_ignored("removing " + path, win::delete_file(path));
}

void delete_tree_in_profile(const std::string& path) {
    if (!in_profile(path)) return;
    win::delete_tree(path);
    // What is in use stays; the log says so, and the run goes on.
    if (win::path_exists(path)) log_line("removing " + path + " left part of it (ignored)");
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
    VIRELO_FAILPOINT("migration.detected");

    close_legacy_app(names.executable);
    VIRELO_FAILPOINT("migration.legacy_app_ended");
    const bool settings_safe = has_settings && carry_settings_over();
    if (has_settings && !settings_safe) {
        log_line("the Dockling settings could not be carried over yet; the next start tries again");
    }
    const bool roaming_done = carry_roaming_data_over(names.roaming_data_folder, roaming_data_folder());
    if (!roaming_done) log_line("the Dockling data folder could not move over yet; the next start tries again");
    VIRELO_FAILPOINT("migration.roaming_data_moved");
    carry_autostart_over();
    VIRELO_FAILPOINT("migration.autostart_moved");
    delete_key_tree(legacy::uninstall_key);
    VIRELO_FAILPOINT("migration.legacy_entry_removed");
    delete_file_in_profile(names.start_menu_shortcut);
    delete_file_in_profile(names.desktop_shortcut);
    VIRELO_FAILPOINT("migration.legacy_shortcuts_removed");
    delete_tree_in_profile(names.local_data_folder);
    // While the roaming data has not moved, something must still mark the
    // installation for the next start: the legacy key, or without one the
    // legacy folder.
    if (roaming_done || has_settings) delete_tree_in_profile(names.folder);
    VIRELO_FAILPOINT("migration.legacy_folders_removed");
    // Last: while the legacy key exists, the next run finds the installation
    // and finishes whatever a kill interrupted above.
    if (settings_safe && roaming_done) delete_key_tree(legacy::settings_key);
}

}  // namespace virelo
