#pragma once
// Every persistent name of the installation, in the form the current mode
// selects. Each call reads the mode and the environment afresh; nothing is
// cached.

#include <windows.h>

#include <string>
#include <string_view>

namespace virelo {

// Names without a test form: the steps that use them are skipped in test mode.
inline constexpr std::string_view run_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view autostart_value = "Virelo";
inline constexpr std::string_view application_key = "Software\\Virelo";

// The kernel mutex that an install-mode run holds for its whole life and an
// uninstall for its own: the two modes never run at once.
inline constexpr wchar_t instance_guard_name[] = L"VireloSetup_SingleInstance";

std::string install_dir();
std::string installed_exe_path();   // install folder + Virelo.exe
std::string staged_exe_path();      // install folder + Virelo.exe.new
// install folder + Virelo.exe.setup-old: the old one moved aside by a swap,
// under a name that only this program makes, never a user's own backup
std::string backup_exe_path();
std::string setup_copy_path();      // install folder + VireloSetup.exe
// install folder + VireloSetup.exe.removing: the setup copy an uninstall ran
// from, which the delayed removal deletes; a new setup copy that an install
// places meanwhile keeps its own name and stays
std::string outgoing_setup_copy_path();
std::string version_file_path();    // install folder + version.txt

std::string start_menu_shortcut_path();
std::string desktop_shortcut_path();

std::string launcher_key();   // below HKEY_CURRENT_USER
std::string uninstall_key();  // below HKEY_CURRENT_USER

std::string app_window_class();

// Normal mode only: %LOCALAPPDATA%\Virelo and %APPDATA%\Virelo.
std::string local_data_folder();
std::string roaming_data_folder();

// Where each run appends a few lines about what it did; empty when unknown.
std::string diagnostic_log_path();

// A folder of the user's shell profile by CSIDL; empty when unresolved.
std::string special_folder(int csidl);

// The running application's top-level window, or null.
HWND find_app_window();

}  // namespace virelo
