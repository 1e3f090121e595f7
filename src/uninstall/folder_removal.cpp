#include "uninstall/folder_removal.h"

#include "common/ascii.h"
#include "common/path.h"

namespace virelo {
namespace {

bool is_plain_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool plain = is_ascii_alnum(c) || c == '.' || c == '-' || c == '_';
        if (!plain) return false;
    }
    return true;
}

std::string_view without_trailing_separators(std::string_view path) {
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') &&
           !(path.size() == 3 && path[1] == ':')) {
        path.remove_suffix(1);
    }
    return path;
}

}  // namespace

std::optional<FolderRemoval> folder_removal_command(std::string_view system_folder, std::string_view install_folder,
                                                    std::string_view setup_copy_name) {
    install_folder = without_trailing_separators(install_folder);
    const std::string_view folder_name = last_path_component(install_folder);
    if (!is_plain_name(folder_name) || !is_plain_name(setup_copy_name)) return std::nullopt;
    if (system_folder.empty() || system_folder.find_first_of("\"%") != std::string_view::npos) return std::nullopt;

    const std::string cmd = path_join(system_folder, "cmd.exe");
    const std::string ping = path_join(system_folder, "PING.EXE");
    const std::string folder{folder_name};
    FolderRemoval removal;
    removal.application = cmd;
    // /d: no AutoRun commands from the registry; /v:off: no !...! expansion;
    // /s: cmd takes everything between the first and the last quote as the
    // command, exactly.
    removal.command_line = "\"" + cmd + "\" /d /v:off /s /c \"\"" + ping + "\" 127.0.0.1 -n 3 >nul & del /f /q \"" +
                           folder + "\\" + std::string{setup_copy_name} + "\" & rmdir \"" + folder + "\"\"";
    removal.working_folder = std::string{parent_folder(install_folder)};
    return removal;
}

}  // namespace virelo
