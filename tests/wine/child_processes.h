#pragma once
// Looking at processes another program has started: which ones, and the
// exact command line each was given.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace virelo::test {

struct ChildProcess {
    DWORD id = 0;
    std::string exe_name;      // from the process list; may be empty while it starts
    std::string command_line;  // empty when it could not be read
};

// The processes whose parent is `parent_id` (also after the parent has ended).
std::vector<ChildProcess> child_processes(DWORD parent_id);

// The command line as the process received it, read from its own memory:
// Wine 8 does not answer ProcessCommandLineInformation.
std::optional<std::string> process_command_line(DWORD process_id);

// Waits until a child of `parent_id` named `exe_name` shows a readable command
// line; nothing when none did within the timeout.
std::optional<ChildProcess> wait_for_child(DWORD parent_id, const char* exe_name, DWORD timeout_ms);

// The system folder, whose cmd.exe and PING.EXE the folder removal runs.
std::string system_folder();

}  // namespace virelo::test
