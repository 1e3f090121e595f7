#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"

namespace virelo {

// "<system message> (os error N)": the message from the system table with its
// trailing line break removed.
std::string os_error_detail(DWORD code);

// The outcome of a system call: on failure the system's error code is its
// kind (for the callers that decide on it) and os_error_detail its text.
using OsResult = BasicResult<DWORD>;

// Success for ERROR_SUCCESS, else that failure.
OsResult os_result(DWORD code);

}  // namespace virelo
