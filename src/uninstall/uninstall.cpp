#include "uninstall/uninstall.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "common/path.h"
#include "common/unicode_lower.h"
#include "common/win/environment.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/os_error.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "uninstall/folder_contents.h"
#include "uninstall/folder_removal_start.h"

namespace virelo {
namespace {

constexpr wchar_t box_caption[] = L"Virelo";
constexpr wchar_t confirmation_text[] =
    L"Remove Virelo from this computer?\n\nYour settings and notes are kept and will come back if you reinstall.";
constexpr wchar_t completion_text[] = L"Virelo has been removed.";

constexpr char busy_text[] =
    "Virelo is being installed or updated right now, so it was not removed. Run the uninstall again when that "
    "has finished.";
constexpr char running_text[] =
    "Virelo is still running, so it was not removed. Quit it (tray icon \u2192 Exit) and run the uninstall again.";
constexpr char remains_text[] =
    "Virelo could not be removed completely, because some of its files are in use. Quit the programs that use "
    "them and run the uninstall again.";

bool user_confirms() {
    return MessageBoxW(nullptr, confirmation_text, box_caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// The sentence for the user: a box in normal mode; in test mode, as for an
// install, the file "setup-error.txt" in the test folder.
Result report(std::string text) {
    if (const auto folder = win::test_folder()) {
        log_ignored_if_logging("making the test folder", win::create_folder_chain(*folder));
        log_ignored_if_logging("writing the error report",
                               win::write_file(path_join(*folder, "setup-error.txt"),
                                               {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
    } else {
        MessageBoxW(nullptr, win::to_wide(text).c_str(), box_caption, MB_OK | MB_ICONWARNING);
    }
    return Result::failure(std::move(text));
}

// The install mode's single-instance guard, waited for a bounded time. A
// guard that cannot be made at all is not waited for, as in the install mode.
class InstanceGuard {
public:
    explicit InstanceGuard(DWORD wait_ms) : mutex_{CreateMutexW(nullptr, FALSE, instance_guard_name)} {
        if (!mutex_) {
            held_ = true;
            return;
        }
        const DWORD waited = WaitForSingleObject(mutex_.get(), wait_ms);
        // Abandoned: an install that was ended; whatever it left, the
        // uninstall removes.
        owned_ = held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    ~InstanceGuard() {
        if (owned_) ReleaseMutex(mutex_.get());
    }
    bool held() const { return held_; }

private:
    win::unique_handle mutex_;
    bool held_ = false;
    bool owned_ = false;
};

void delete_autostart_value() {
    win::unique_hkey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run_key).c_str(), 0, KEY_SET_VALUE, run.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    const LSTATUS status = RegDeleteValueW(run.get(), win::to_wide(autostart_value).c_str());
    if (status != ERROR_FILE_NOT_FOUND) {
        log_ignored_if_logging("removing the start at sign-in", os_result(static_cast<DWORD>(status)));
    }
}

// True when the key is gone afterwards.
bool delete_key_tree(const std::string& key) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, win::to_wide(key).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

// The running program's path when it lies directly in `folder` (the setup
// copy, as the uninstall entry starts it); empty otherwise.
std::string own_file_in(const std::string& folder) {
    const std::string own = win::own_module_path();
    if (own.empty() || !same_path_components(to_lower_full(parent_folder(own)), to_lower_full(folder))) return {};
    return own;
}

}  // namespace

Result run_uninstall(const UninstallOptions& options) {
    const bool test_mode = win::in_test_mode();
    if (!test_mode && !user_confirms()) return Result::success();
    // The uninstall removes the log's folder, so it only adds to a log that
    // is there, and says nothing once that folder may be gone.
    log_line_if_logging("run: uninstall");

    // An install under way would rewrite what is removed here, or find half
    // of it gone: the two never interleave.
    const InstanceGuard guard{options.install_wait_ms};
    if (!guard.held()) {
        log_line_if_logging("uninstall: another setup run is under way; nothing removed");
        return report(busy_text);
    }

    // A Virelo that is still running keeps its files: nothing is removed, so
    // that the installation stays whole and can be removed once it is quit.
    if (!close_running_app(options.close_timing)) {
        log_line_if_logging("uninstall: Virelo did not close; nothing removed");
        return report(running_text);
    }

    const std::string install_folder = install_dir();
    // In normal mode an empty LOCALAPPDATA or an unresolved special folder
    // leaves a name relative to the current folder, which is not the user's
    // installation: such a path is left alone. A test folder is the tester's
    // choice and used as given.
    const auto ours = [test_mode](std::string_view path) { return test_mode || win::is_absolute_path(path); };

    bool complete = true;
    VIRELO_FAILPOINT("uninstall.app_closed");
    if (!test_mode) delete_autostart_value();
    complete = delete_key_tree(launcher_key()) && complete;
    VIRELO_FAILPOINT("uninstall.launcher_removed");
    for (const std::string& shortcut : {start_menu_shortcut_path(), desktop_shortcut_path()}) {
        if (!ours(shortcut)) continue;
        log_ignored_if_logging("removing " + shortcut, win::delete_file(shortcut));
        // Left by a killed install run, if at all.
        if (const std::string leftover = win::temporary_path(shortcut); win::path_exists(leftover)) {
            log_ignored_if_logging("removing " + leftover, win::delete_file(leftover));
        }
        complete = !win::path_exists(shortcut) && complete;
    }
    VIRELO_FAILPOINT("uninstall.shortcuts_removed");
    std::string own_file;
    if (ours(install_folder)) {
        for (const char* name : {"Virelo.exe", "version.txt"}) {
            // What stays is counted below, with everything else the folder holds.
            const std::string file = path_join(install_folder, name);
            if (win::path_exists(file)) log_ignored_if_logging("removing " + file, win::delete_file(file));
        }
        VIRELO_FAILPOINT("uninstall.files_removed");
        // Everything else but the setup copy, which the delayed removal
        // deletes once the program has ended. Until everything else is gone
        // it stays, so that the entry that starts it stays usable.
        own_file = own_file_in(install_folder);
        const std::string setup_copy_name{last_path_component(setup_copy_path())};
        std::vector<std::string> left = delete_folder_contents(install_folder, setup_copy_name);
        // Started from the folder under another name: that file stays too.
        const std::string own_lower = to_lower_full(last_path_component(own_file));
        std::erase_if(left, [&](const std::string& name) { return !own_file.empty() && to_lower_full(name) == own_lower; });
        complete = left.empty() && complete;
        if (complete && !own_file.empty() && to_lower_full(setup_copy_name) != own_lower) {
            complete = win::delete_file(setup_copy_path()).ok() || !win::path_exists(setup_copy_path());
        }
    }
    if (!complete) log_line_if_logging("uninstall: some files are in use and stay; so does the uninstall entry");
    if (!test_mode) {
        const std::string local_data = local_data_folder();
        if (ours(local_data)) {
            win::delete_tree(local_data);
            // Best effort: what is in use stays, and the log says so.
            if (win::path_exists(local_data)) {
                log_line_if_logging("removing " + local_data + " left part of it (ignored)");
            }
        }
    }
    // Something stayed: the entry and the setup copy stay with it, so the
    // uninstall can be run again from the system's list of programs.
    if (!complete) return report(remains_text);

    if (!test_mode) MessageBoxW(nullptr, completion_text, box_caption, MB_OK | MB_ICONINFORMATION);

    // Only once the box is closed: the running setup copy lives in the install
    // folder, and the command's short delay must cover just the program's exit.
    // A folder that is not there needs no removal.
    if (ours(install_folder) && win::path_exists(install_folder) && !start_folder_removal(install_folder, own_file)) {
        return report(remains_text);
    }
    VIRELO_FAILPOINT("uninstall.removal_started");
    // The entry goes last: until then an interrupted uninstall can be started
    // again from the system's list of programs, and it finishes the removal.
    delete_key_tree(uninstall_key());
    return Result::success();
}

}  // namespace virelo
