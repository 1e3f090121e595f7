#include "install/shortcuts.h"

#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>

#include "common/path.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"

namespace virelo {
namespace {

// A failed shell call, with its HRESULT as the kind.
OsResult shell_failure(std::string_view what, HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    return OsResult::failure(std::string{what} + " failed (" + code + ")", static_cast<DWORD>(result));
}

// Saves the link to exactly `file`, flushed; a failure when nothing usable was saved.
OsResult save_link(std::string_view file, std::string_view target, std::string_view icon) {
    win::com_ptr<IShellLinkW> link;
    const HRESULT created =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (created != S_OK || !link) return shell_failure("creating a shell link", created);
    link->SetPath(win::to_wide(target).c_str());
    link->SetDescription(L"Virelo");
    link->SetWorkingDirectory(win::to_wide(parent_folder(target)).c_str());
    link->SetIconLocation(win::to_wide(icon).c_str(), 0);

    win::com_ptr<IPersistFile> persist;
    const HRESULT queried = link->QueryInterface(IID_IPersistFile, persist.put_void());
    if (queried != S_OK || !persist) return shell_failure("asking a shell link for IPersistFile", queried);
    if (const HRESULT saved = persist->Save(win::to_wide(file).c_str(), TRUE); FAILED(saved)) {
        return shell_failure("saving a shell link", saved);
    }
    return win::flush_file(file);
}

// Writes the link under its temporary name; logs and removes it on failure.
bool stage_link(std::string_view link_path, std::string_view target, std::string_view icon) {
    const std::string temporary = win::temporary_path(link_path);
    const OsResult saved = save_link(temporary, target, icon);
    if (saved) return true;
    log_ignored("writing the shortcut " + std::string{link_path}, saved);
    already_failed(win::delete_file(temporary));
    return false;
}

void commit_link(std::string_view link_path) {
    log_ignored("placing the shortcut " + std::string{link_path}, win::commit_staged_file(link_path));
}

void remove_temporary_link(std::string_view link_path) {
    const std::string temporary = win::temporary_path(link_path);
    if (win::path_exists(temporary)) log_ignored("removing " + temporary, win::delete_file(temporary));
}

}  // namespace

void create_shortcut(std::string_view link_path, std::string_view target, std::string_view icon) {
    if (stage_link(link_path, target, icon)) commit_link(link_path);
}

void create_shortcuts() {
    const std::string start_menu = start_menu_shortcut_path();
    const std::string desktop = desktop_shortcut_path();
    remove_temporary_link(start_menu);
    remove_temporary_link(desktop);

    // A user who deleted the desktop shortcut keeps it deleted: it is written
    // only when the start-menu one is missing too, as on a first install.
    const bool start_menu_existed = win::path_exists(start_menu);
    const std::string target = setup_copy_path();
    const std::string icon = installed_exe_path();

    // The desktop one first: as long as the start-menu shortcut is missing,
    // every run writes the desktop one again, so a kill between the two
    // cannot lose it for good.
    if (!start_menu_existed) {
        if (stage_link(desktop, target, icon)) {
            VIRELO_FAILPOINT("install.desktop_shortcut_staged");
            commit_link(desktop);
        }
        VIRELO_FAILPOINT("install.desktop_shortcut_written");
    }
    if (stage_link(start_menu, target, icon)) {
        VIRELO_FAILPOINT("install.start_menu_shortcut_staged");
        commit_link(start_menu);
    }
    VIRELO_FAILPOINT("install.shortcuts_written");
}

}  // namespace virelo
