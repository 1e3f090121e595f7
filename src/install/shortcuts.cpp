#include "install/shortcuts.h"

#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <string>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"

namespace virelo {

void create_shortcut(std::string_view link_path, std::string_view target, std::string_view icon) {
    win::com_ptr<IShellLinkW> link;
    if (CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()) != S_OK ||
        !link) {
        return;
    }
    link->SetPath(win::to_wide(target).c_str());
    link->SetDescription(L"Virelo");
    link->SetWorkingDirectory(win::to_wide(parent_folder(target)).c_str());
    link->SetIconLocation(win::to_wide(icon).c_str(), 0);

    win::com_ptr<IPersistFile> file;
    if (link->QueryInterface(IID_IPersistFile, file.put_void()) == S_OK && file) {
        file->Save(win::to_wide(link_path).c_str(), TRUE);
    }
}

void create_shortcuts() {
    const std::string start_menu = start_menu_shortcut_path();
    // A user who deleted the desktop shortcut keeps it deleted: it is written
    // only when the start-menu one is missing too, as on a first install.
    const bool start_menu_existed = win::path_exists(start_menu);
    const std::string target = setup_copy_path();
    const std::string icon = installed_exe_path();

    create_shortcut(start_menu, target, icon);
    if (!start_menu_existed) create_shortcut(desktop_shortcut_path(), target, icon);
}

}  // namespace virelo
