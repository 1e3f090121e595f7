#pragma once
// The install pipeline: everything the install mode does between the
// appearance of the progress window and the completion message.

#include <chrono>
#include <string>
#include <vector>

#include "common/result.h"
#include "install/placement.h"
#include "install/stop_app.h"
#include "release/transfer_limits.h"

namespace virelo {

struct PipelineOptions {
    std::vector<std::string> args;  // the command line, the program's path first
    std::string default_site;       // empty: the built-in default release site
    CloseTiming close_timing;       // the program keeps the defaults; tests shorten them
    SwapTiming swap_timing;
    // How long the release check may take, with and without an installed copy.
    std::chrono::milliseconds check_budget_installed = virelo::check_budget_installed;
    std::chrono::milliseconds check_budget_first_install = virelo::check_budget_first_install;
    // How long a transfer may receive nothing.
    std::chrono::milliseconds receive_timeout = virelo::receive_timeout;
};

// Runs the phases in order on the worker thread with the process's command
// line; success, or the first error text unchanged.
Result run_install();
Result run_install(const PipelineOptions& options);

}  // namespace virelo
