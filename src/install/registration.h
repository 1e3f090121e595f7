#pragma once
// The registry entries of the installation, all under HKEY_CURRENT_USER.
// Every failure is silent.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "release/release.h"

namespace virelo {

void set_string_value(std::string_view key, std::string_view name, std::string_view text);
void set_dword_value(std::string_view key, std::string_view name, DWORD number);

// The release site as value "Site" of the Launcher key.
void write_site_value(std::string_view site);

// The highest release serial accepted so far, as REG_QWORD "Serial" beside
// "Site"; nothing when none is recorded, and nothing (logged) when the value
// is not one a release can carry (recorded_serial).
std::optional<std::uint64_t> read_serial_value();
void write_serial_value(std::uint64_t serial);

// The nine values of the uninstall entry.
void write_uninstall_entry(const Release& release);

}  // namespace virelo
