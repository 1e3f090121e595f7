#pragma once
// Fetching, verifying and reading the signed release description.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "release/http_client.h"
#include "release/release.h"

namespace virelo {

// Why no release could be taken. The caller decides what the installed copy
// does about it; the texts are final.
enum class RefusalKind {
    unreachable,    // every source failed, or the check ran out of time
    bad_signature,  // a source answered, but not with a release signed by the publisher
    damaged,        // signed, but not readable as a release
    stale,          // signed and readable, but expired or older than one accepted before
};

struct ReleaseRefusal {
    RefusalKind kind;
    std::string text;
};

using ReleaseOutcome = std::variant<Release, ReleaseRefusal>;

// Tries the release API, then the static files, and stops at `deadline`
// whatever the site does; the manifest and the signature of a source travel
// at once over the shared session. `meanwhile`, when given, runs once on the
// caller's thread while the first answers are on their way: work of the
// caller's own that then costs no thread of its own.
ReleaseOutcome obtain_release(std::string_view site, const std::shared_ptr<const HttpSession>& session,
                              SteadyClock::time_point deadline, const std::function<void()>& meanwhile = {});

}  // namespace virelo
