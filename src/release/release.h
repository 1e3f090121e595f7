#pragma once
// The release record read from a verified manifest, and where its parts are
// found on the release site.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelo {

enum class ReleaseSource {
    release_api,   // api/release?f=manifest, f=sig, f=exe
    static_files,  // manifest.json, manifest.sig, the manifest's file
};

// A file on the site from which the executable can be rebuilt: its compressed
// copy, or a delta from an executable the client may already have.
struct ReleasePart {
    std::string file;  // as written; a plain name (is_plain_file_name)
    std::uint64_t size = 0;
    std::string sha256;  // letters lowered
};

struct DeltaPart {
    std::string base_sha256;  // the executable it applies to, letters lowered
    std::string base_file;    // that executable's name in the release folder, when given
    ReleasePart part;
};

// Releases offer at most this many deltas; more are not read.
inline constexpr std::size_t max_deltas = 16;

struct Release {
    std::string version;  // as written
    std::string file;     // as written, letter case kept
    std::uint64_t size = 0;
    std::string sha256;   // letters lowered
    ReleaseSource source = ReleaseSource::release_api;
    // Optional freshness fields: a counter that never goes back, and the UTC
    // time (seconds since 1970) after which the release is not accepted.
    std::optional<std::uint64_t> serial;
    std::optional<std::int64_t> expires;
    // Optional ways to a smaller download; setup programs that do not know
    // them read only the fields above.
    std::optional<ReleasePart> compressed;
    std::vector<DeltaPart> deltas;
    // The fingerprint of the key that signed it, as the manifest names it
    // (release/key_fingerprint.h); for messages only, never for a decision.
    std::optional<std::string> key;
};

// The delta that applies to an executable with this digest, if offered.
const DeltaPart* find_delta(const Release& release, std::string_view base_sha256);

// Whether a verified release is fresh enough to install.
enum class Freshness {
    fresh,
    expired,  // its expiry has passed by the system clock
    older,    // its serial is below the highest one accepted, or it has none while one was
};

// `now` in seconds since 1970 (UTC); `recorded` the highest serial accepted
// on this machine so far, if any. An equal serial is fresh.
Freshness judge_freshness(const Release& release, std::int64_t now, std::optional<std::uint64_t> recorded);

// Reads the manifest bytes (ill-formed UTF-8 read as U+FFFD) into a record
// whose source is left to the caller; nothing when the manifest is damaged,
// including a "serial" or "expires" that is present but not of its form.
std::optional<Release> read_manifest(std::string_view manifest_bytes);

// The "compressed" and "deltas" entries of a manifest. An entry that breaks
// its rules is left out and named in `problems`: the setup program then
// simply downloads another way, while the publisher's checks report it.
struct ReleaseParts {
    std::optional<ReleasePart> compressed;
    std::vector<DeltaPart> deltas;
    std::vector<std::string> problems;
};
ReleaseParts read_release_parts(std::string_view manifest_text, std::string_view release_sha256);

// A name that goes into a URL unescaped: not empty, at most 200 characters,
// only ASCII letters, digits, '.', '-' and '_', no "..".
bool is_plain_file_name(std::string_view file);

// The manifest's `file` rule: not empty, made only of ASCII letters, digits,
// '.', '-' and '_', no "..", ends with ".exe" in any letter case.
bool is_acceptable_file_name(std::string_view file);

// Relative URLs of the release's parts on the site.
std::string_view manifest_path(ReleaseSource source);
std::string_view signature_path(ReleaseSource source);
std::string executable_path(const Release& release);
// A part is always a static file, whatever source the manifest came from.
std::string part_path(const ReleasePart& part);

}  // namespace virelo
