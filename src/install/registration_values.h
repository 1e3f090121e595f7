#pragma once
// The computed data of the uninstall entry, kept apart from the registry calls
// so the arithmetic and the quoting can be checked on their own.

#include <cstdint>
#include <string>
#include <string_view>

namespace virelo {

// The size in kilobytes that the system's list of programs shows: the
// executable's bytes / 1024, rounded down, plus 400, kept to 32 bits.
std::uint32_t estimated_size_kb(std::uint64_t size_bytes);

// "\"<setup copy>\" --uninstall": quoted so a folder with spaces still works.
std::string uninstall_command(std::string_view setup_copy);

}  // namespace virelo
