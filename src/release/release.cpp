#include "release/release.h"

#include "common/ascii.h"
#include "common/freshness.h"
#include "common/manifest.h"
#include "common/result.h"
#include "common/unicode_lower.h"
#include "common/utf.h"
#include "release/key_fingerprint.h"

namespace virelo {

bool is_plain_file_name(std::string_view file) {
    if (file.empty() || file.size() > 200) return false;
    // Plain ASCII only: the name goes into a URL unescaped, and a host that
    // decoded %2F or %00 before mapping it to a file could be led anywhere.
    for (const char c : file) {
        const bool plain = is_ascii_alnum(c) || c == '.' || c == '-' || c == '_';
        if (!plain) return false;
    }
    return file.find("..") == std::string_view::npos;
}

bool is_acceptable_file_name(std::string_view file) {
    if (!is_plain_file_name(file)) return false;
    constexpr std::string_view extension = ".exe";
    if (file.size() < extension.size()) return false;
    const std::string_view tail = file.substr(file.size() - extension.size());
    for (std::size_t i = 0; i < extension.size(); ++i) {
        if (ascii_lower(tail[i]) != extension[i]) return false;
    }
    return true;
}

namespace {

bool is_digest_text(std::string_view text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string lowered_ascii(std::string_view text) {
    std::string lowered{text};
    for (char& c : lowered) c = ascii_lower(c);
    return lowered;
}

// A part's object: "file", "size" and "sha256", each by the rules of the
// release's own; a failure names what is wrong.
Expected<ReleasePart> read_part(std::string_view object) {
    using Out = Expected<ReleasePart>;
    const auto file = manifest_field(object, "file");
    const auto size_text = manifest_field(object, "size");
    const auto sha256 = manifest_field(object, "sha256");
    if (!file || !size_text || !sha256) return Out::failure("needs \"file\", \"size\" and \"sha256\"");
    if (!is_plain_file_name(*file)) {
        return Out::failure("\"file\" (" + *file + ") must be letters, digits, '.', '-' and '_' and hold no ..");
    }
    const auto size = parse_decimal_u64(*size_text);
    if (!size) return Out::failure("\"size\" (" + *size_text + ") is not an unsigned 64-bit decimal number");
    ReleasePart part{*file, *size, lowered_ascii(*sha256)};
    if (!is_digest_text(part.sha256)) return Out::failure("\"sha256\" is not 64 hexadecimal digits");
    return part;
}

}  // namespace

ReleaseParts read_release_parts(std::string_view text, std::string_view release_sha256) {
    ReleaseParts parts;
    if (const auto object = manifest_object(text, "compressed")) {
        auto part = read_part(*object);
        if (part) {
            parts.compressed = std::move(part.value());
        } else {
            parts.problems.push_back("\"compressed\": " + part.error());
        }
    } else if (manifest_field(text, "compressed")) {
        parts.problems.push_back("\"compressed\" is not an object");
    }
    if (const auto object = manifest_object(text, "deltas")) {
        for (const auto& member : manifest_object_members(*object, max_deltas)) {
            const std::string base = lowered_ascii(member.key);
            const std::string where = "\"deltas\" entry " + std::string{member.key};
            auto part = read_part(member.object);
            if (!is_digest_text(base)) {
                parts.problems.push_back(where + ": the key must be the base's SHA-256, 64 hexadecimal digits");
            } else if (base == release_sha256) {
                parts.problems.push_back(where + ": a delta from the release itself");
            } else if (!part) {
                parts.problems.push_back(where + ": " + part.error());
            } else {
                const auto base_file = manifest_field(member.object, "base");
                parts.deltas.push_back({base, base_file && is_plain_file_name(*base_file) ? *base_file : std::string{},
                                        std::move(part.value())});
            }
        }
    } else if (manifest_field(text, "deltas")) {
        parts.problems.push_back("\"deltas\" is not an object");
    }
    return parts;
}

const DeltaPart* find_delta(const Release& release, std::string_view base_sha256) {
    for (const auto& delta : release.deltas) {
        if (delta.base_sha256 == base_sha256) return &delta;
    }
    return nullptr;
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

    ReleaseParts parts = read_release_parts(text, release.sha256);
    release.compressed = std::move(parts.compressed);
    release.deltas = std::move(parts.deltas);
    release.key = manifest_key(text);

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

std::string part_path(const ReleasePart& part) { return part.file; }

}  // namespace virelo
