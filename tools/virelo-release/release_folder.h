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

// The manifest text: one key per line, always the same layout.
std::string manifest_text(std::string_view version, std::string_view file, std::uint64_t size,
                          std::string_view sha256);

// Why the setup program would call this manifest damaged, for a message.
std::string describe_manifest_damage(std::string_view manifest_bytes);

}  // namespace virelo::tool
