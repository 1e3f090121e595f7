#include "uninstall/folder_removal.h"

namespace virelo {

std::string folder_removal_command(std::string_view install_folder) {
    std::string command = "cmd.exe /c ping 127.0.0.1 -n 3 >nul & rmdir /s /q \"";
    command += install_folder;
    command += '"';
    return command;
}

}  // namespace virelo
