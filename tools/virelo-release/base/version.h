#pragma once
// The tool's own version, printed by `virelo-release --version`.

#include <string_view>

namespace virelo::tool {

inline constexpr std::string_view tool_version = "1.1.0";

}  // namespace virelo::tool
