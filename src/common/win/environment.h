#pragma once
// The process environment as the setup program reads it: afresh on every call.

#include <optional>
#include <string>
#include <string_view>

namespace virelo::win {

// Test mode is on whenever DK_SETUP_TEST exists, whatever its value (an empty
// value included); the value is the test folder.
std::optional<std::string> test_folder();

inline bool in_test_mode() { return test_folder().has_value(); }

// The variable's text; empty when it is unset or not valid Unicode.
std::string env_text(std::string_view name);

// The running program's own path; empty when the system cannot give it.
std::string own_module_path();

}  // namespace virelo::win
