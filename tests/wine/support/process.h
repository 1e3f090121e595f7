#pragma once
// Starting programs from a test running under Wine: the built programs by
// their Windows paths, with arguments, environment changes and a timeout.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/win/unique_resource.h"

namespace virelo::test {

// The Windows path of a Unix path (Wine maps the Unix root to drive Z:).
std::string windows_path(std::string_view unix_path);

// A file of the build folder (VIRELO_BUILD_DIR), as a Windows path.
std::string build_file(std::string_view relative);

// The built setup program.
inline std::string setup_exe() { return build_file("VireloSetup.exe"); }

struct RunOptions {
    std::vector<std::string> args;
    // Variables to set (a value) or remove (nothing) in the child's environment.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::string working_folder;  // empty: the test's own
    DWORD timeout_ms = 60000;
};

struct RunResult {
    bool started = false;
    bool timed_out = false;
    DWORD exit_code = 0;
};

// A running child; the handle is closed when the object goes.
struct Child {
    win::unique_handle process;
    DWORD id = 0;
};

// Quotes one argument the way CommandLineToArgvW splits it back.
std::string quote_argument(std::string_view arg);

std::optional<Child> start_program(const std::string& exe, const RunOptions& options);

// Starts the program and waits for it; a program still running after the
// timeout is ended (exit code 259 reported with timed_out).
RunResult run_program(const std::string& exe, const RunOptions& options);

// Waits for a process to end; false on timeout.
bool wait_for_exit(const Child& child, DWORD timeout_ms, DWORD* exit_code = nullptr);

// Finds a top-level window of `class_name` within the timeout.
HWND wait_for_window(const wchar_t* class_name, DWORD timeout_ms);

// Closes the setup program's window (a failed test-mode run keeps it open
// off-screen until it is closed). True when a window was found.
bool close_setup_window(DWORD timeout_ms = 5000);

}  // namespace virelo::test
