#pragma once
// The install pipeline: everything the install mode does between the
// appearance of the progress window and the completion message.

#include "common/result.h"

namespace virelo {

// Runs the phases in order on the worker thread; success, or the first
// error text.
Result run_install();

}  // namespace virelo
