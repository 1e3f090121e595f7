#pragma once
// Swapping the staged executable in for the installed one.

#include <windows.h>

#include <string_view>

#include "common/win/os_error.h"

namespace virelo {

struct SwapTiming {
    int attempts = 20;
    DWORD pause_ms = 250;
};

// Moves `staged` to `installed`, with retries. A complete executable stays
// under `installed` throughout, except between the two renames of a swap that
// had to move the old one aside to `backup` first; a kill right there leaves
// it under `backup`, where recover_interrupted_run() finds it. A failed swap
// leaves the old executable in place and the staged one beside it, and
// returns the last rename's failure.
OsResult swap_in(std::string_view staged, std::string_view installed, std::string_view backup,
             const SwapTiming& timing);

}  // namespace virelo
