#include "release/obtain_release.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/diagnostic_log.h"
#include "release/background.h"
#include "release/key_fingerprint.h"
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
// check that runs out of time reports the site as unreachable. `failed_url`
// names the request whose error it is, for the diagnostic log.
Expected<SignedManifest> fetch_from(std::string_view site, ReleaseSource source,
                                    const std::shared_ptr<const HttpSession>& session,
                                    SteadyClock::time_point deadline, const std::function<void()>& meanwhile,
                                    std::string& failed_url) {
    const std::string manifest_url = std::string{site} + std::string{manifest_path(source)};
    const std::string signature_url = std::string{site} + std::string{signature_path(source)};
    // The session is shared with the threads, which may outlive this call: a
    // request walked away from ends by itself at the deadline.
    const auto fetch = [&](const std::string& url, std::uint64_t cap) {
        return [session, url, cap, deadline] {
            return http_get(*session, url, {.max_body = cap, .deadline = deadline});
        };
    };
    Background<Expected<Bytes>> manifest_fetch{fetch(manifest_url, max_manifest_bytes)};
    Background<Expected<Bytes>> signature_fetch{fetch(signature_url, max_signature_bytes)};
    if (meanwhile) meanwhile();

    failed_url = manifest_url;
    auto manifest = manifest_fetch.wait_until(deadline);
    if (!manifest) return Expected<SignedManifest>::failure(timed_out);
    if (!*manifest) return Expected<SignedManifest>::failure(manifest->error());
    failed_url = signature_url;
    auto signature = signature_fetch.wait_until(deadline);
    if (!signature) return Expected<SignedManifest>::failure(timed_out);
    if (!*signature) return Expected<SignedManifest>::failure(signature->error());
    failed_url.clear();
    return SignedManifest{std::move(*manifest).value(), std::move(*signature).value(), source};
}

std::string_view source_name(ReleaseSource source) {
    return source == ReleaseSource::release_api ? "the release API" : "the static files";
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
    std::string failed_url;
    auto fetched = fetch_from(site, ReleaseSource::release_api, session, deadline, meanwhile, failed_url);
    if (!fetched) {
        if (SteadyClock::now() >= deadline) {
            log_line("release check: out of time (" + failed_url + ": " + fetched.error() + ")");
            return unreachable(timed_out);
        }
        fetched = fetch_from(site, ReleaseSource::static_files, session, deadline, {}, failed_url);
        if (!fetched) {
            log_line("release check: " + failed_url + ": " + fetched.error());
            return unreachable(fetched.error());
        }
    }
    const SignedManifest& answer = fetched.value();

    // A release that fails the check is final: no other source is asked. The
    // log says which key the manifest claims, so that a release signed by
    // another key and one changed after signing read differently there.
    if (!verify_release_signature(answer.manifest, answer.signature)) {
        const auto named = manifest_key(
            std::string_view{reinterpret_cast<const char*>(answer.manifest.data()), answer.manifest.size()});
        log_line("signature check failed (" + std::string{source_name(answer.source)} +
                 "): " + describe_signature_failure(named, trusted_key_fingerprints()));
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
