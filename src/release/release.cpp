#include "release/release.h"

#include "common/freshness.h"
#include "common/manifest.h"
#include "common/unicode_lower.h"
#include "common/utf.h"

namespace virelo {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool is_acceptable_file_name(std::string_view file) {
    if (file.empty()) return false;
    // Plain ASCII only: the name goes into a URL unescaped, and a host that
    // decoded %2F or %00 before mapping it to a file could be led anywhere.
    for (const char c : file) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain) return false;
    }
    if (file.find("..") != std::string_view::npos) return false;
    constexpr std::string_view extension = ".exe";
    if (file.size() < extension.size()) return false;
    const std::string_view tail = file.substr(file.size() - extension.size());
    for (std::size_t i = 0; i < extension.size(); ++i) {
        if (ascii_lower(tail[i]) != extension[i]) return false;
    }
    return true;
}

std::optional<Release> read_manifest(std::string_view manifest_bytes) {
    const std::string text = decode_utf8_lossy(manifest_bytes);

    auto app = manifest_field(text, "app");
    auto version = manifest_field(text, "version");
    auto file = manifest_field(text, "file");
    auto size_text = manifest_field(text, "size");
    auto sha256 = manifest_field(text, "sha256");
    if (!app || !version || !file || !size_text || !sha256) return std::nullopt;
    if (*app != "Virelo") return std::nullopt;
    const auto size = parse_decimal_u64(*size_text);
    if (!size) return std::nullopt;

    Release release;
    release.sha256 = to_lower_full(*sha256);
    if (!is_acceptable_file_name(*file)) return std::nullopt;
    // Bytes, not characters: a non-hexadecimal value simply never matches a digest.
    if (release.sha256.size() != 64) return std::nullopt;

    // Both are optional; present, they must be well formed.
    if (const auto serial = manifest_field(text, "serial")) {
        release.serial = parse_serial(*serial);
        if (!release.serial) return std::nullopt;
    }
    if (const auto expires = manifest_field(text, "expires")) {
        release.expires = parse_expiry(*expires);
        if (!release.expires) return std::nullopt;
    }

    release.version = std::move(*version);
    release.file = std::move(*file);
    release.size = *size;
    return release;
}

Freshness judge_freshness(const Release& release, std::int64_t now, std::optional<std::uint64_t> recorded) {
    // A replay of an older release is the more telling of the two refusals.
    if (recorded && (!release.serial || *release.serial < *recorded)) return Freshness::older;
    if (release.expires && now > *release.expires) return Freshness::expired;
    return Freshness::fresh;
}

std::string_view manifest_path(ReleaseSource source) {
    return source == ReleaseSource::release_api ? "api/release?f=manifest" : "manifest.json";
}

std::string_view signature_path(ReleaseSource source) {
    return source == ReleaseSource::release_api ? "api/release?f=sig" : "manifest.sig";
}

std::string executable_path(const Release& release) {
    // The static file name is used exactly as written; the manifest's rules
    // already keep it inside the site's folder.
    return release.source == ReleaseSource::release_api ? std::string{"api/release?f=exe"}
                                                        : release.file;
}

}  // namespace virelo
