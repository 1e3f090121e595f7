#pragma once
// When the migration copies the legacy settings key over to the application
// key. The copy must never lose a setting, and a copy that a crash cut short
// must never pass for a complete one: the legacy key goes only once its
// contents are known to be safe.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace virelo::legacy {

// Below HKEY_CURRENT_USER, beside the application key: the legacy settings
// are copied here first and only then take the application key's name (or,
// when that key exists already, are merged into it). While this key exists,
// a copy has not finished.
inline constexpr std::string_view staging_key = "Software\\Virelo.migrating";
inline constexpr std::string_view application_key_name = "Virelo";

// What "Software\Virelo" holds. The setup program writes its own Launcher
// subkey there on every run, so the key's mere existence says nothing about
// Virelo's settings.
enum class ApplicationKey {
    absent,
    without_settings,  // empty, or nothing but the Launcher subkey
    with_settings,     // values, or subkeys other than Launcher
    unreadable,        // exists but cannot be read
};

ApplicationKey classify_application_key(std::size_t value_count, std::span<const std::string> subkeys);

// The legacy settings are copied unless Virelo has settings of its own that
// no cut-short copy of the legacy ones can have put there.
bool should_copy_settings(bool staging_exists, ApplicationKey application);

}  // namespace virelo::legacy
