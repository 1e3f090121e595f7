#pragma once
// Making the smaller downloads of a release: a delta from an earlier
// executable (bsdiff's matches, carried in the container the setup program
// decodes, release/delta_format.h) and a gzip copy of the executable.

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "publishing/release_folder.h"

namespace virelo::tool {

// Writes the delta that rebuilds `target` from `base` to the new file `out`,
// with Debian's bsdiff working in `scratch`. Fails when bsdiff is missing or
// its patch cannot be carried faithfully.
Expected<FileFacts> write_delta(const std::string& base, const std::string& target, const std::string& out,
                                const std::string& scratch);

// The container for a bsdiff patch (its "BSDIFF40" bytes) of a base of
// `base_size` bytes; every record is checked against the base and the target.
Expected<std::string> delta_from_bsdiff(std::string_view patch, std::uint64_t base_size);

// Writes `source` gzip-compressed (level 9) to the new file `out`.
Expected<FileFacts> write_gzip_copy(const std::string& source, const std::string& out);

// Rebuilds a release's executable from a delta and its base, or from the
// compressed copy, and returns the result's size and digest; nothing is
// written. A failure says why the part is unusable.
Expected<FileFacts> rebuild_from_delta(std::string_view base, std::string_view delta, std::uint64_t target_size);
Expected<FileFacts> rebuild_from_gzip(std::string_view compressed, std::uint64_t target_size);

}  // namespace virelo::tool
