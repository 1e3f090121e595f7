#pragma once
// How every persistent name is formed from the mode and the environment, as
// pure functions: the Windows layer (names.h) feeds them live values.

#include <optional>
#include <string>
#include <string_view>

namespace virelo::naming {

using TestFolder = std::optional<std::string>;

// Test mode: T\Programs\Virelo; normal mode: %LOCALAPPDATA%\Programs\Virelo.
std::string install_dir(const TestFolder& test_folder, std::string_view local_app_data);

// Test mode: T\<test_file_name>; normal mode: <special_folder>\Virelo.lnk.
std::string shortcut_path(const TestFolder& test_folder, std::string_view test_file_name,
                          std::string_view special_folder);

inline constexpr std::string_view start_menu_test_name = "StartMenu-Virelo.lnk";
inline constexpr std::string_view desktop_test_name = "Desktop-Virelo.lnk";

// Test mode: T\setup.log; normal mode: %LOCALAPPDATA%\Virelo\setup.log, and
// nothing at all when LOCALAPPDATA is unknown (never a relative path).
std::string diagnostic_log_path(const TestFolder& test_folder, std::string_view local_app_data);

std::string_view launcher_key(bool test_mode);
std::string_view uninstall_key(bool test_mode);
std::string_view app_window_class(bool test_mode);

}  // namespace virelo::naming
