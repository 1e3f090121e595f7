#pragma once

#include <windows.h>

#include "common/result.h"
#include "install/stop_app.h"

namespace virelo {

struct UninstallOptions {
    CloseTiming close_timing;      // the program keeps the defaults; tests shorten them
    DWORD install_wait_ms = 10000;  // how long it waits for an install-mode run to end
};

// The uninstall mode, run on the main thread; the program ends when it returns.
// It holds the single-instance guard, so it never runs beside an install.
// Success once everything of the installation is gone (or the user declined).
// Otherwise the sentence it showed the user (in test mode wrote to
// "setup-error.txt"), and the uninstall entry stays, so that it can be run
// again: an install that did not end in time and a Virelo that did not close
// leave everything as it was; anything else that could not be removed keeps
// the entry and the setup copy.
Result run_uninstall(const UninstallOptions& options = {});

}  // namespace virelo
