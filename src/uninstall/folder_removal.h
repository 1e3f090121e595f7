#pragma once
// The command that removes the install folder after the setup program, which
// runs from that folder, has ended. The uninstall names the setup copy it
// renamed before the start (start_folder_removal). By then the uninstall has deleted
// everything else inside the folder itself (folder_contents.h); the command
// deletes the setup copy and the emptied folder, about two seconds later.
//
// The command goes through cmd.exe, which expands %...% and reads & ^ ( ) as
// syntax anywhere on its command line, quoted or not. So no path of the user's
// reaches that line: the command runs in the install folder's parent and names
// the folder and the setup copy by their fixed, plain names; the system
// folder's cmd.exe and PING.EXE are named by full path, so that a cmd.exe or
// ping.exe beside the setup program or in a current folder is never run.

#include <optional>
#include <string>
#include <string_view>

namespace virelo {

struct FolderRemoval {
    std::string application;     // the system folder's cmd.exe
    std::string command_line;    // what cmd.exe is given, its own path first
    std::string working_folder;  // the install folder's parent; empty: the current folder
};

// The removal of `install_folder` and the file `setup_copy_name` in it, with
// the programs of `system_folder`:
//   "<S>\cmd.exe" /d /v:off /s /c ""<S>\PING.EXE" 127.0.0.1 -n 3 >nul & del /f /q "Virelo\VireloSetup.exe" & rmdir "Virelo""
// in the folder's parent. The three loopback pings are only a delay. Nothing
// when a name cannot stand on that line exactly: a folder or file name other
// than letters, digits, '.', '-' and '_' (or "." and ".."), or a system folder
// with a '"' or '%'.
std::optional<FolderRemoval> folder_removal_command(std::string_view system_folder, std::string_view install_folder,
                                                    std::string_view setup_copy_name);

}  // namespace virelo
