#include "commands/inspect.h"

#include <cstdio>

#include "base/file_io.h"
#include "commands/cli.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "pe/pe_version.h"
#include "publishing/release_folder.h"
#include "release/release_constants_layout.h"
#include "signing/key_files.h"

namespace virelo::tool {
namespace {

constexpr std::string_view public_blob_header{"ECS1\x20\0\0\0", 8};

// Whether the record at `at` is well formed; its values when it is.
std::optional<EmbeddedConstants> read_record(std::string_view program, std::size_t at) {
    if (program.size() - at < sizeof(ReleaseConstants)) return std::nullopt;
    const std::string_view record = program.substr(at, sizeof(ReleaseConstants));
    const auto marker = release_constants_marker_bytes();
    if (record.substr(0, marker.size()) != std::string_view{marker.data(), marker.size()}) return std::nullopt;
    const auto count = static_cast<unsigned char>(record[offsetof(ReleaseConstants, key_count)]);
    if (count < 1 || count > max_release_keys) return std::nullopt;
    EmbeddedConstants constants;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view key = record.substr(offsetof(ReleaseConstants, keys) + i * 72, 72);
        if (key.substr(0, 8) != public_blob_header) return std::nullopt;
        PublicBlob& blob = constants.keys.emplace_back();
        std::copy(key.begin(), key.end(), blob.begin());
    }
    const std::string_view site = record.substr(offsetof(ReleaseConstants, site), release_site_capacity);
    const auto end = site.find('\0');
    if (end == std::string_view::npos || end == 0) return std::nullopt;
    constants.site = std::string{site.substr(0, end)};
    return constants;
}

// The fingerprints of the repository's demo keys, taken from keys/demo at build time.
bool is_demo_key(std::string_view fingerprint) {
    return std::string_view{VIRELO_DEMO_KEY_FINGERPRINTS}.find(fingerprint) != std::string_view::npos;
}

std::string describe_key(const PublicBlob& blob) {
    const std::string fingerprint = key_fingerprint(blob);
    return is_demo_key(fingerprint) ? fingerprint + " (a DEMO key: never ship this program)" : fingerprint;
}

}  // namespace

Expected<EmbeddedConstants> find_release_constants(std::string_view program, std::string_view name) {
    using Out = Expected<EmbeddedConstants>;
    const auto marker = release_constants_marker_bytes();
    const std::string_view needle{marker.data(), release_constants_marker.size() + 1};  // with its first NUL
    std::optional<EmbeddedConstants> found;
    for (auto at = program.find(needle); at != std::string_view::npos; at = program.find(needle, at + 1)) {
        auto record = read_record(program, at);
        if (!record) continue;
        if (found) return Out::failure(std::string{name} + " holds more than one release constants record");
        found = std::move(record);
    }
    if (!found) {
        return Out::failure(std::string{name} + " is not a VireloSetup.exe built from this source");
    }
    return std::move(*found);
}

int run_inspect(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {}, 1);
    if (!parsed) return fail(parsed.error(), exit_usage);
    const std::string& path = parsed.value().positional.front();
    const auto bytes = read_file(path, download_limit);
    if (!bytes) return fail(bytes.error());
    const auto image = PeView::parse(bytes.value(), path);
    if (!image) return fail(image.error());
    std::printf("file:             %s (%zu bytes)\n", path.c_str(), bytes.value().size());
    // Any executable has a version and maybe a signature; only a setup program has constants.
    if (const auto constants = find_release_constants(bytes.value(), path); constants) {
        const auto& keys = constants.value().keys;
        std::printf("signing key:      %s\n", describe_key(keys.front()).c_str());
        std::printf("next signing key: %s\n", keys.size() > 1 ? describe_key(keys[1]).c_str() : "none");
        std::printf("release site:     %s\n", constants.value().site.c_str());
    } else {
        std::printf("release constants: none (%s)\n", constants.error().c_str());
    }
    const auto version = read_version_resource(image.value());
    std::printf("version:          %s\n",
                !version ? version.error().c_str()
                         : version.value() ? describe_versions(*version.value()).c_str() : "no version resource");
    std::printf("Authenticode:     %s\n", describe_authenticode(read_authenticode(image.value())).c_str());
    return 0;
}

}  // namespace virelo::tool
