#pragma once
// The names of the predecessor product, Dockling, as the migration finds
// them, and the autostart command it leaves behind for Virelo.

#include <string>
#include <string_view>

namespace virelo::legacy {

// Below HKEY_CURRENT_USER.
inline constexpr std::string_view settings_key = "Software\\Dockling";
inline constexpr std::string_view uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dockling";
inline constexpr std::string_view autostart_value = "Dockling";  // in the Run key
inline constexpr std::string_view window_class = "DocklingWnd";

struct Names {
    std::string folder;               // %LOCALAPPDATA%\Programs\Dockling
    std::string executable;           // folder\Dockling.exe
    std::string local_data_folder;    // %LOCALAPPDATA%\Dockling
    std::string roaming_data_folder;  // %APPDATA%\Dockling
    std::string start_menu_shortcut;  // <Start-menu Programs>\Dockling.lnk
    std::string desktop_shortcut;     // <desktop>\Dockling.lnk
};

// The names formed from the environment texts and the special folders. Any of
// them may be empty, which leaves the affected names relative.
Names names(std::string_view local_app_data, std::string_view app_data, std::string_view programs_folder,
            std::string_view desktop_folder);

// The autostart value's data: the executable in double quotes, then
// " --autostart".
std::string autostart_command(std::string_view installed_exe);

}  // namespace virelo::legacy
