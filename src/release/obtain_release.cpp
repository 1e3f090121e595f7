#include "release/obtain_release.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "release/background.h"
#include "release/signature.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char timed_out[] = "cannot reach the site";

struct SignedManifest {
    Bytes manifest;
    Bytes signature;
    ReleaseSource source;
};

// The manifest and its signature from one source, requested together. The
// transfer error is the manifest's when it failed, else the signature's; a
// check that runs out of time reports the site as unreachable.
Expected<SignedManifest> fetch_from(std::string_view site, ReleaseSource source,
                                    const std::shared_ptr<const HttpSession>& session,
                                    SteadyClock::time_point deadline, const std::function<void()>& meanwhile) {
    // The session is shared with the threads, which may outlive this call: a
    // request walked away from ends by itself at the deadline.
    const auto fetch = [&](std::string_view path, std::uint64_t cap) {
        return [session, url = std::string{site} + std::string{path}, cap, deadline] {
            return http_get(*session, url, {.max_body = cap, .deadline = deadline});
        };
    };
    Background<Expected<Bytes>> manifest_fetch{fetch(manifest_path(source), max_manifest_bytes)};
    Background<Expected<Bytes>> signature_fetch{fetch(signature_path(source), max_signature_bytes)};
    if (meanwhile) meanwhile();

    auto manifest = manifest_fetch.wait_until(deadline);
    if (!manifest) return Expected<SignedManifest>::failure(timed_out);
    if (!*manifest) return Expected<SignedManifest>::failure(manifest->error());
    auto signature = signature_fetch.wait_until(deadline);
    if (!signature) return Expected<SignedManifest>::failure(timed_out);
    if (!*signature) return Expected<SignedManifest>::failure(signature->error());
    return SignedManifest{std::move(*manifest).value(), std::move(*signature).value(), source};
}

ReleaseRefusal unreachable(const std::string& reason) {
    return {RefusalKind::unreachable,
            "Cannot reach the Virelo site (" + reason + "). Check your internet connection and run the installer again."};
}

}  // namespace

ReleaseOutcome obtain_release(std::string_view site, const std::shared_ptr<const HttpSession>& session,
                              SteadyClock::time_point deadline, const std::function<void()>& meanwhile) {
    // The release API first; any failure there falls back to the static files
    // without a trace, unless the time is already up.
    auto fetched = fetch_from(site, ReleaseSource::release_api, session, deadline, meanwhile);
    if (!fetched) {
        if (SteadyClock::now() >= deadline) return unreachable(timed_out);
        fetched = fetch_from(site, ReleaseSource::static_files, session, deadline, {});
        if (!fetched) return unreachable(fetched.error());
    }
    const SignedManifest& answer = fetched.value();

    // A release that fails the check is final: no other source is asked.
    if (!verify_release_signature(answer.manifest, answer.signature)) {
        return ReleaseRefusal{RefusalKind::bad_signature,
                              "The release on the site failed the signature check, so it will not be installed. "
                              "Please report this to the Virelo developer."};
    }

    auto release = read_manifest(
        std::string_view{reinterpret_cast<const char*>(answer.manifest.data()), answer.manifest.size()});
    if (!release) return ReleaseRefusal{RefusalKind::damaged, "The release description on the site is damaged."};
    release->source = answer.source;
    return std::move(*release);
}

}  // namespace virelo
