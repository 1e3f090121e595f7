#pragma once
// The checks of a release's compressed copy and deltas, the same for a folder
// and a live site: the part's own size and digest, then the executable it
// rebuilds against the release's.

#include <string_view>

#include "common/result.h"
#include "release/release.h"

namespace virelo::tool {

// `where` names the part in messages (a path or a URL).
Result check_compressed_copy(std::string_view bytes, const Release& release, std::string_view where);

// `base` is the executable the delta starts from; `base_where` names it.
Result check_delta(std::string_view bytes, std::string_view base, const DeltaPart& delta, const Release& release,
                   std::string_view where, std::string_view base_where);

}  // namespace virelo::tool
