#pragma once
// Choosing the release site from the command line.

#include <span>
#include <string>
#include <string_view>

namespace virelo {

// The site a run uses, and in words why: the diagnostic log records both, so
// a `--site` that was refused is never silently lost.
struct SiteChoice {
    std::string site;
    std::string reason;
};

// The value after the first "--site" argument when its prefix is accepted
// ("https://", "http://127.0.0.1", "http://localhost", ASCII case ignored),
// with a '/' appended when missing; otherwise `default_site`.
SiteChoice choose_site(std::span<const std::string> args, std::string_view default_site);

// The site alone.
std::string resolve_site(std::span<const std::string> args, std::string_view default_site);

}  // namespace virelo
