#pragma once

#include <windows.h>

#include <string>

namespace virelo {

// "<system message> (os error N)": the message from the system table with its
// trailing line break removed.
std::string os_error_detail(DWORD code);

}  // namespace virelo
