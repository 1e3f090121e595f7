#include "migration/legacy_names.h"

#include "common/path.h"

namespace virelo::legacy {

Names names(std::string_view local_app_data, std::string_view app_data, std::string_view programs_folder,
            std::string_view desktop_folder) {
    Names n;
    n.folder = path_join(path_join(local_app_data, "Programs"), "Dockling");
    n.executable = path_join(n.folder, "Dockling.exe");
    n.local_data_folder = path_join(local_app_data, "Dockling");
    n.roaming_data_folder = path_join(app_data, "Dockling");
    n.start_menu_shortcut = path_join(programs_folder, "Dockling.lnk");
    n.desktop_shortcut = path_join(desktop_folder, "Dockling.lnk");
    return n;
}

std::string autostart_command(std::string_view installed_exe) {
    std::string command = "\"";
    command += installed_exe;
    command += "\" --autostart";
    return command;
}

}  // namespace virelo::legacy
