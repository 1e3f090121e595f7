#pragma once
// The layout of a release folder, as the tool writes it and any static web
// server can publish it:
//
//   manifest.json   the signed description of the release
//   manifest.sig    Base64 of the raw P-256 signature over manifest.json
//   <file>          the executable the manifest names
//   release.exe     the same executable under a fixed name, for servers that
//                   answer api/release?f=exe without reading the manifest
//   <file>.<digest>.gz                the executable, gzip-compressed
//   <file>.<base>-<digest>.vdelta     a delta from an earlier executable
//   earlier executables               kept while a delta starts from them

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "release/release.h"

namespace virelo::tool {

inline constexpr std::string_view manifest_file = "manifest.json";
inline constexpr std::string_view signature_file = "manifest.sig";
inline constexpr std::string_view api_executable_alias = "release.exe";

// The setup program gives up on a download beyond this many bytes.
inline constexpr std::uint64_t download_limit = 209'715'200;

struct FileFacts {
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex
};

// The names publish gives a release's compressed copy and deltas: they carry
// the digests of what they hold, so no name ever changes its content and any
// cache may keep them for good.
std::string compressed_copy_name(std::string_view file, std::string_view sha256);
std::string delta_name(std::string_view file, std::string_view base_sha256, std::string_view sha256);
// Whether `name` has one of those two shapes (only such files are ever removed).
bool is_part_file_name(std::string_view name);

// Copies `source` to the new file `target` and flushes it, with the size and
// digest of what was written; refuses files beyond the limit.
Expected<FileFacts> copy_file(const std::string& source, const std::string& target);

// Size and digest of a file, read in pieces; refuses files beyond the limit.
Expected<FileFacts> file_facts(const std::string& path);

// The optional freshness fields (common/freshness.h).
struct Freshness {
    std::optional<std::uint64_t> serial;
    std::optional<std::int64_t> expires;  // seconds since 1970 UTC
};

struct ManifestFields {
    std::string version;
    std::string file;
    std::uint64_t size = 0;
    std::string sha256;
    Freshness freshness;
    std::optional<ReleasePart> compressed;
    std::vector<DeltaPart> deltas;
    std::optional<std::string> key;  // the fingerprint of the key that signs it
};

// The fields of a checked release, to be written again.
ManifestFields fields_of(const Release& release, const Freshness& freshness);

// The manifest text: one key per line, always the same layout; "serial" and
// "expires" follow the other keys when present, then "compressed" and
// "deltas", and last "key", the fingerprint of the signing key (covered by
// the signature like the rest): setup programs that do not know them never
// read them, and each of the older keys occurs first at the top level.
std::string manifest_text(const ManifestFields& fields);

// The freshness fields of a manifest: absent ones stay empty; a present one
// that breaks its rule is a failure that names it.
Expected<Freshness> read_freshness(std::string_view manifest_bytes);

// "serial 4, expires 2025-07-01T00:00:00Z" (or "no serial, no expiry").
std::string describe_freshness(const Freshness& freshness);

// Why the setup program would call this manifest damaged, for a message.
std::string describe_manifest_damage(std::string_view manifest_bytes);

}  // namespace virelo::tool
