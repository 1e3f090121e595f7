#pragma once
// Placing the executable and its companion files in the install folder.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.h"
#include "install/stop_app.h"
#include "install/swap.h"

namespace virelo {

// Why placing the executable failed: the pipeline starts the old executable
// only when it is still in place and nothing runs it.
enum class PlacementFailure { still_running, not_replaced };
using PlacementResult = BasicResult<PlacementFailure>;

// Posts "Installing…", stops the application and swaps the staged file (a
// verified download, already on the disk beside the installed executable) in.
PlacementResult install_executable(std::string_view staged, const CloseTiming& close_timing = {},
                          const SwapTiming& swap_timing = {});

// Refreshes the setup copy in the install folder unless the program runs from
// there or the copy is identical. Failures are ignored. Shortcuts and the
// uninstall entry start this copy, so it is replaced durably and atomically:
// a run started from the copy cannot check its own bytes.
void place_setup_copy();

// The same with the running program's path given: place_setup_copy() passes
// its own module's path (empty when unknown, which skips the copy).
void place_setup_copy_from(std::string_view own_path);

// Writes the release version to the version file, durably and atomically.
// Failures are ignored.
void write_version_file(std::string_view version);

}  // namespace virelo
