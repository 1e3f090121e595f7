#pragma once
// Stopping the running application: asking its window to close, then ending
// whatever still runs the executable.

#include <windows.h>

#include <cstddef>
#include <string_view>

namespace virelo {

// The fixed waits; tests pass smaller ones so a refusing application does not
// hold them for minutes.
struct CloseTiming {
    int attempts = 100;
    DWORD wait_ms = 5000;   // for the process, per attempt
    DWORD pause_ms = 100;   // when the process cannot be opened
};

struct EndTiming {
    DWORD wait_ms = 3000;   // after ending a process
};

// True when no application window remains at the end (and the installed
// executable's processes have been ended); false when the window was still
// there after the last attempt. What it did goes to an existing diagnostic log.
bool close_running_app(const CloseTiming& timing = {});

// Ends, without asking, every process whose image is `path` (compared after
// full Unicode lowercasing). Silent; returns how many it ended.
std::size_t end_processes_by_image_path(std::string_view path, const EndTiming& timing = {});

// end_processes_by_image_path(installed_exe_path()).
std::size_t end_installed_app_processes();

}  // namespace virelo
