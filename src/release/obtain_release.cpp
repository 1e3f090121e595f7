#include "release/obtain_release.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "install/launch.h"
#include "foundation/names.h"
#include "release/http_client.h"
#include "release/signature.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct SignedManifest {
    Bytes manifest;
    Bytes signature;
    ReleaseSource source;
};

// The manifest and then its signature from one source; the transfer error of
// the first request that fails.
Expected<SignedManifest> fetch_from(std::string_view site, ReleaseSource source) {
    const std::string base{site};
    auto manifest = http_get(base + std::string{manifest_path(source)});
    if (!manifest) return Expected<SignedManifest>::failure(manifest.error());
    auto signature = http_get(base + std::string{signature_path(source)});
    if (!signature) return Expected<SignedManifest>::failure(signature.error());
    return SignedManifest{std::move(manifest).value(), std::move(signature).value(), source};
}

ReleaseOutcome site_unreachable(const std::string& reason, bool was_installed) {
    if (was_installed && launch_app(install_dir())) return Finished{};
    return ErrorText{"Cannot reach the Virelo site (" + reason +
                     "). Check your internet connection and run the installer again."};
}

}  // namespace

ReleaseOutcome obtain_release(std::string_view site, bool was_installed) {
    // The release API first; any failure there falls back to the static files
    // without a trace.
    auto fetched = fetch_from(site, ReleaseSource::release_api);
    if (!fetched) {
        fetched = fetch_from(site, ReleaseSource::static_files);
        if (!fetched) return site_unreachable(fetched.error(), was_installed);
    }
    const SignedManifest& answer = fetched.value();

    // A release that fails the check is final: no other source is asked.
    if (!verify_release_signature(answer.manifest, answer.signature)) {
        if (was_installed) (void)launch_app(install_dir());
        return ErrorText{
            "The release on the site failed the signature check, so it will not be installed. "
            "Please report this to the Virelo developer."};
    }

    auto release = read_manifest(
        std::string_view{reinterpret_cast<const char*>(answer.manifest.data()), answer.manifest.size()});
    if (!release) return ErrorText{"The release description on the site is damaged."};
    release->source = answer.source;
    return std::move(*release);
}

}  // namespace virelo
