#pragma once
// The command that deletes the install folder after the setup program, which
// runs from that folder, has ended.

#include <string>
#include <string_view>

namespace virelo {

// cmd.exe /c ping 127.0.0.1 -n 3 >nul & rmdir /s /q "<folder>": the three
// loopback pings are only a delay of about two seconds.
std::string folder_removal_command(std::string_view install_folder);

}  // namespace virelo
