#pragma once
// Recognising a Windows executable by its headers.

#include <string>

#include "common/result.h"

namespace virelo::tool {

// Success when the file starts with an MZ header whose e_lfanew points, inside
// the file, at a "PE\0\0" signature followed by room for the COFF header.
Result check_pe_executable(const std::string& path);

}  // namespace virelo::tool
