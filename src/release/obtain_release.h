#pragma once
// Fetching, verifying and reading the signed release description.

#include <string>
#include <string_view>
#include <variant>

#include "release/release.h"

namespace virelo {

// The site could not be reached, the application was installed and its start
// succeeded: the pipeline ends with success.
struct Finished {};

struct ErrorText {
    std::string text;
};

using ReleaseOutcome = std::variant<Release, Finished, ErrorText>;

ReleaseOutcome obtain_release(std::string_view site, bool was_installed);

}  // namespace virelo
