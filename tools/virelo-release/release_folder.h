#pragma once
// The layout of a release folder, as the tool writes it and any static web
// server can publish it:
//
//   manifest.json   the signed description of the release
//   manifest.sig    Base64 of the raw P-256 signature over manifest.json
//   <file>          the executable the manifest names
//   release.exe     the same executable under a fixed name, for servers that
//                   answer api/release?f=exe without reading the manifest

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

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
};

// The manifest text: one key per line, always the same layout; "serial" and
// "expires" follow the other keys when present.
std::string manifest_text(const ManifestFields& fields);

// The freshness fields of a manifest: absent ones stay empty; a present one
// that breaks its rule is a failure that names it.
Expected<Freshness> read_freshness(std::string_view manifest_bytes);

// "serial 4, expires 2025-07-01T00:00:00Z" (or "no serial, no expiry").
std::string describe_freshness(const Freshness& freshness);

// Why the setup program would call this manifest damaged, for a message.
std::string describe_manifest_damage(std::string_view manifest_bytes);

}  // namespace virelo::tool
