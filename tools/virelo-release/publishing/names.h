#pragma once
// What the tool agrees to publish. Stricter than what the setup program
// accepts: every value must also stand unescaped in a URL path and in a JSON
// string, so the manifest can be written without any escaping.

#include <string_view>

#include "common/result.h"

namespace virelo::tool {

// 1 to 64 of [0-9A-Za-z.+_-], not starting or ending with '.'.
Result check_version(std::string_view version);

// Accepted by the setup program (which also takes only [0-9A-Za-z._-]), at
// most 200 characters, not starting with '.'.
Result check_file_name(std::string_view name);

}  // namespace virelo::tool
