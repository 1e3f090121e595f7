#pragma once
// What a finished install leaves in the registry for Windows' list of
// installed programs, checked value by value.

#include <cstdint>
#include <string_view>

namespace virelo::test {

// Expects the uninstall entry of `version` for an executable of
// `executable_size` bytes (nine values, no more) and the recorded site.
void expect_uninstall_entry(std::string_view version, std::uint64_t executable_size, std::string_view site);

}  // namespace virelo::test
