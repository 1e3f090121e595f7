#include "install/shortcuts.h"

#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <string>

#include "common/path.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"

namespace virelo {
namespace {

// Saves the link to exactly `file`, flushed; false when nothing usable was saved.
bool save_link(std::string_view file, std::string_view target, std::string_view icon) {
    win::com_ptr<IShellLinkW> link;
    if (CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()) != S_OK ||
        !link) {
        return false;
    }
    link->SetPath(win::to_wide(target).c_str());
    link->SetDescription(L"Virelo");
    link->SetWorkingDirectory(win::to_wide(parent_folder(target)).c_str());
    link->SetIconLocation(win::to_wide(icon).c_str(), 0);

    win::com_ptr<IPersistFile> persist;
    if (link->QueryInterface(IID_IPersistFile, persist.put_void()) != S_OK || !persist) return false;
    if (FAILED(persist->Save(win::to_wide(file).c_str(), TRUE))) return false;
    return win::flush_file(file) == ERROR_SUCCESS;
}

bool stage_link(std::string_view link_path, std::string_view target, std::string_view icon) {
    const std::string temporary = win::temporary_path(link_path);
    if (save_link(temporary, target, icon)) return true;
    win::delete_file(temporary);
    return false;
}

void remove_temporary_link(std::string_view link_path) {
    const std::string temporary = win::temporary_path(link_path);
    if (win::path_exists(temporary)) win::delete_file(temporary);
}

}  // namespace

void create_shortcut(std::string_view link_path, std::string_view target, std::string_view icon) {
    if (stage_link(link_path, target, icon)) win::commit_staged_file(link_path);
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
            win::commit_staged_file(desktop);
        }
        VIRELO_FAILPOINT("install.desktop_shortcut_written");
    }
    if (stage_link(start_menu, target, icon)) {
        VIRELO_FAILPOINT("install.start_menu_shortcut_staged");
        win::commit_staged_file(start_menu);
    }
    VIRELO_FAILPOINT("install.shortcuts_written");
}

}  // namespace virelo
