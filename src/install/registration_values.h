#pragma once
// The computed data of the uninstall entry, kept apart from the registry calls
// so the arithmetic and the quoting can be checked on their own.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/result.h"

namespace virelo {

// The size in kilobytes that the system's list of programs shows: the
// executable's bytes / 1024, rounded down, plus 400, kept to 32 bits.
std::uint32_t estimated_size_kb(std::uint64_t size_bytes);

// "\"<setup copy>\" --uninstall": quoted so a folder with spaces still works.
std::string uninstall_command(std::string_view setup_copy);

// The registry's type number of a 64-bit little-endian value (REG_QWORD).
inline constexpr std::uint32_t registry_qword_type = 11;

// The recorded "Serial" as the registry holds it (its type and its bytes):
// the serial, or why it cannot be one. Only an eight-byte REG_QWORD from 1 to
// the largest serial a release can carry counts: any other value would refuse
// every later release as older, so it is read as no record at all.
Expected<std::uint64_t> recorded_serial(std::uint32_t type, std::span<const std::uint8_t> data);

}  // namespace virelo
