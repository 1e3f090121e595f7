#pragma once
// The application executable: is the installed one the release, and if not,
// download it straight into the staged file and prove it is the release.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.h"
#include "release/digest.h"
#include "release/http_session.h"
#include "release/release.h"

namespace virelo {

// Length equals size and the digest equals sha256 (digest only when the
// lengths agree).
bool matches_release(std::span<const std::uint8_t> bytes, const Release& release);

// The installed executable matches the release; false when it cannot be
// read. The file is digested in pieces, never held whole.
bool is_current(const Release& release);

// The same for an installed executable digested earlier (while the release
// description was on its way); nothing means it could not be read.
bool is_current(const Release& release, const std::optional<FileDigest>& installed);

// A downloaded executable that passed the size and digest test, flushed to
// the disk under the staged name beside the installed one.
struct StagedExecutable {
    std::string path;
};

// Downloads into the staged file with the megabyte progress line and tests
// the bytes. The smallest way the release offers comes first: a delta from
// the installed executable (whose digest `installed` holds), then the
// compressed copy, then the whole executable; a way that fails for any
// reason hands over to the next in the same run, and only the last one's
// failure is returned. On any failure the staged file is gone again, and so
// is an install folder this call had to create.
Expected<StagedExecutable> download_release(const Release& release, std::string_view site,
                                            const HttpSession& session,
                                            const std::optional<FileDigest>& installed = std::nullopt);

}  // namespace virelo
