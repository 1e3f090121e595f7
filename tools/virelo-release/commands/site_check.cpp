#include "commands/site_check.h"

#include <cstdio>

#include "commands/cli.h"
#include "common/ascii.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "publishing/part_check.h"
#include "publishing/release_checks.h"
#include "publishing/release_folder.h"

namespace virelo::tool {
namespace {

constexpr std::uint64_t manifest_limit = 1 << 20;

// Whether a Cache-Control value makes every cache ask again before reuse.
bool forbids_reuse_unchecked(std::string_view value) {
    while (!value.empty()) {
        const auto comma = value.find(',');
        const std::string directive = ascii_lower(trim_blanks(value.substr(0, comma)));
        value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
        if (directive == "no-cache" || directive == "no-store" || directive == "max-age=0") return true;
    }
    return false;
}

bool is_loopback_host(std::string_view host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

class SiteCheck {
public:
    SiteCheck(const SiteUrl& site, const PublicKey& key, SiteClient client, bool require_authenticode)
        : site_{site}, key_{key}, client_{std::move(client)}, require_authenticode_{require_authenticode} {}

    Result run();
    const CheckedManifest& release() const { return *static_; }

private:
    Expected<Fetched> fetch(std::string_view relative, bool keep_body, std::uint64_t limit = manifest_limit) {
        return client_.get(relative, keep_body, limit);
    }
    Expected<Fetched> fetch_ok(std::string_view relative, bool keep_body, std::string_view why,
                               std::uint64_t limit = manifest_limit);
    Result check_caching(std::string_view relative, const Fetched& answer);
    Result check_executable_answer(std::string_view relative, const Fetched& answer, std::string_view stale_hint);
    Result check_static_files();
    Result check_release_api();
    Result check_executables();
    Result check_parts();

    const SiteUrl& site_;
    const PublicKey& key_;
    SiteClient client_;
    bool require_authenticode_;
    std::optional<CheckedManifest> static_;
    std::string static_manifest_;
};

Expected<Fetched> SiteCheck::fetch_ok(std::string_view relative, bool keep_body, std::string_view why,
                                      std::uint64_t limit) {
    auto answer = fetch(relative, keep_body, limit);
    if (answer && answer.value().status != 200) {
        return Expected<Fetched>::failure(site_.url_of(relative) + " answers HTTP " +
                                          std::to_string(answer.value().status) + "; " + std::string{why});
    }
    return answer;
}

Result SiteCheck::check_caching(std::string_view relative, const Fetched& answer) {
    if (forbids_reuse_unchecked(answer.cache_control)) return Result::success();
    const std::string sent = answer.cache_control.empty() ? "no Cache-Control header"
                                                          : "Cache-Control \"" + answer.cache_control + "\"";
    return Result::failure(site_.url_of(relative) + " is sent with " + sent +
                           ", not Cache-Control: no-cache; a cache may then pair an old manifest with a new "
                           "signature (set it on the server, see deploy/nginx.conf)");
}

Result SiteCheck::check_executable_answer(std::string_view relative, const Fetched& answer,
                                          std::string_view stale_hint) {
    const Release& release = static_->release;
    if (answer.size == release.size && answer.sha256 == release.sha256) return Result::success();
    return Result::failure(site_.url_of(relative) + " sends " + std::to_string(answer.size) + " bytes with SHA-256 " +
                           answer.sha256 + ", not the release's " + std::to_string(release.size) + " bytes with " +
                           release.sha256 + std::string{stale_hint});
}

Result SiteCheck::check_static_files() {
    const std::string_view why = "every setup program falls back to the static files; upload the release folder there";
    const auto manifest = fetch(manifest_file, true);
    if (!manifest) return Result::failure(manifest.error());
    if (manifest.value().status == 404) {
        return Result::failure("no release at this URL: " + site_.url_of(manifest_file) +
                               " answers HTTP 404; give the URL of the folder that publish --out wrote (with "
                               "serve, point --root at that folder)");
    }
    if (manifest.value().status != 200) {
        return Result::failure(site_.url_of(manifest_file) + " answers HTTP " +
                               std::to_string(manifest.value().status) + "; " + std::string{why});
    }
    const auto signature = fetch_ok(signature_file, true, why);
    if (!signature) return Result::failure(signature.error());
    auto checked = check_signed_manifest(manifest.value().body, signature.value().body, key_.key.get(),
                                         site_.url_of(manifest_file), site_.url_of(signature_file));
    if (!checked) return Result::failure(checked.error());
    if (auto fresh = check_not_expired(checked.value().freshness, site_.url_of(manifest_file)); !fresh) return fresh;
    for (const auto& [name, answer] : {std::pair{manifest_file, &manifest.value()}, {signature_file, &signature.value()}}) {
        if (auto cached = check_caching(name, *answer); !cached) return cached;
    }
    const Release& r = checked.value().release;
    std::printf("static files: %s and %s verify under key %s: Virelo %s, %s, %llu bytes, %s\n",
                std::string{manifest_file}.c_str(), std::string{signature_file}.c_str(),
                key_fingerprint(key_.blob).c_str(), r.version.c_str(), r.file.c_str(),
                static_cast<unsigned long long>(r.size), describe_freshness(checked.value().freshness).c_str());
    std::printf("caching:      %s and %s are sent with Cache-Control \"%s\"\n", std::string{manifest_file}.c_str(),
                std::string{signature_file}.c_str(), manifest.value().cache_control.c_str());
    static_manifest_ = manifest.value().body;
    static_ = std::move(checked.value());
    return Result::success();
}

Result SiteCheck::check_release_api() {
    constexpr std::string_view api_manifest = "api/release?f=manifest";
    constexpr std::string_view api_signature = "api/release?f=sig";
    const auto manifest = fetch(api_manifest, true);
    if (!manifest) return Result::failure(manifest.error());
    if (manifest.value().status != 200) {
        std::printf("release API:  not offered (HTTP %d for %s); setup programs read the static files\n",
                    manifest.value().status, std::string{api_manifest}.c_str());
        return Result::success();
    }
    const auto signature = fetch_ok(api_signature, true,
                                    "the release API answers the manifest but not its signature, so every "
                                    "setup program makes two requests in vain before the static files");
    if (!signature) return Result::failure(signature.error());
    // An API answer that fails is final for the setup program: it never tries the static files then.
    auto checked = check_signed_manifest(manifest.value().body, signature.value().body, key_.key.get(),
                                         site_.url_of(api_manifest), site_.url_of(api_signature));
    if (!checked) {
        return Result::failure(checked.error() + "; the setup program stops at this answer and does not try the "
                                                 "static files");
    }
    if (manifest.value().body != static_manifest_) {
        return Result::failure("the release API and the static files disagree: " + site_.url_of(api_manifest) +
                               " offers Virelo " + checked.value().release.version + " (" +
                               describe_freshness(checked.value().freshness) + "), " + site_.url_of(manifest_file) +
                               " Virelo " + static_->release.version + " (" + describe_freshness(static_->freshness) +
                               "); a publish under way, or one of them is stale (a cache?)");
    }
    for (const auto& [name, answer] : {std::pair{api_manifest, &manifest.value()}, {api_signature, &signature.value()}}) {
        if (auto cached = check_caching(name, *answer); !cached) return cached;
    }
    const auto executable = fetch_ok("api/release?f=exe", false, "the release API offers no executable",
                                     download_limit);
    if (!executable) return Result::failure(executable.error());
    if (auto ok = check_executable_answer("api/release?f=exe", executable.value(),
                                          " (a stale release.exe? nginx answers f=exe from it)");
        !ok) {
        return ok;
    }
    std::printf("release API:  verifies, agrees with the static files, Cache-Control \"%s\"; f=exe matches\n",
                manifest.value().cache_control.c_str());
    return Result::success();
}

Result SiteCheck::check_executables() {
    const Release& release = static_->release;
    const auto executable = fetch_ok(release.file, true, "the manifest names this file", download_limit);
    if (!executable) return Result::failure(executable.error());
    if (auto ok = check_executable_answer(release.file, executable.value(), ""); !ok) return ok;
    std::string validators;
    if (!executable.value().etag.empty()) validators += "ETag";
    if (!executable.value().last_modified.empty()) validators += validators.empty() ? "Last-Modified" : ", Last-Modified";
    std::printf("executable:   %s: %llu bytes, SHA-256 matches (validators: %s)\n", release.file.c_str(),
                static_cast<unsigned long long>(release.size), validators.empty() ? "none" : validators.c_str());

    if (release.file != api_executable_alias) {
        const auto alias = fetch(api_executable_alias, false, download_limit);
        if (!alias) return Result::failure(alias.error());
        if (alias.value().status == 200) {
            if (auto ok = check_executable_answer(api_executable_alias, alias.value(),
                                                  " (release.exe is stale: upload it with the executable)");
                !ok) {
                return ok;
            }
            std::printf("executable:   %s matches\n", std::string{api_executable_alias}.c_str());
        }
    }
    const auto image = PeView::parse(executable.value().body, site_.url_of(release.file));
    const auto signature = image ? read_authenticode(image.value())
                                 : Expected<std::optional<AuthenticodeSignature>>::failure(image.error());
    std::printf("Authenticode: %s\n", image ? describe_authenticode(signature).c_str() : image.error().c_str());
    if (require_authenticode_ && !(signature && signature.value())) {
        return Result::failure(site_.url_of(release.file) + " carries no Authenticode signature "
                               "(--require-authenticode); sign it and publish it again");
    }
    return Result::success();
}

// The compressed copy and each delta as the site serves them, rebuilt into
// the release (a delta from its base, fetched from the site too).
Result SiteCheck::check_parts() {
    const Release& release = static_->release;
    const std::string_view why = "the manifest names this file; upload it before the manifest";
    if (release.compressed) {
        const auto copy = fetch_ok(release.compressed->file, true, why, download_limit);
        if (!copy) return Result::failure(copy.error());
        if (auto ok = check_compressed_copy(copy.value().body, release, site_.url_of(release.compressed->file)); !ok) {
            return ok;
        }
    }
    for (const DeltaPart& delta : release.deltas) {
        const std::string where = site_.url_of(delta.part.file);
        const auto bytes = fetch_ok(delta.part.file, true, why, download_limit);
        if (!bytes) return Result::failure(bytes.error());
        if (delta.base_file.empty()) return Result::failure(where + ": the manifest names no base file to check it with");
        const auto base = fetch_ok(delta.base_file, true, "it is the base of a delta; keep earlier executables on the site",
                                   download_limit);
        if (!base) return Result::failure(base.error());
        if (auto ok = check_delta(bytes.value().body, base.value().body, delta, release, where,
                                  site_.url_of(delta.base_file));
            !ok) {
            return ok;
        }
    }
    std::printf("downloads:    %s\n", describe_parts(release).c_str());
    return Result::success();
}

Result SiteCheck::run() {
    if (auto ok = check_static_files(); !ok) return ok;
    if (auto ok = check_release_api(); !ok) return ok;
    if (auto ok = check_executables(); !ok) return ok;
    return check_parts();
}

}  // namespace

int check_live_site(const SiteUrl& site, const PublicKey& key, const std::optional<std::string>& ca_file,
                    bool require_authenticode) {
    auto client = SiteClient::open(site, ca_file);
    if (!client) return fail(client.error());
    const std::string url = site.url_of("");
    std::printf("checking %s\n", url.c_str());
    if (!site.https && !is_loopback_host(site.host)) {
        std::printf("warning:      the setup program refuses plain http for %s; publish it under https\n",
                    site.host.c_str());
    }
    SiteCheck check{site, key, std::move(client.value()), require_authenticode};
    if (auto ok = check.run(); !ok) return fail(ok.error());
    const Release& r = check.release().release;
    std::printf("OK: Virelo %s (%s, %llu bytes) at %s\n", r.version.c_str(), r.file.c_str(),
                static_cast<unsigned long long>(r.size), url.c_str());
    return 0;
}

}  // namespace virelo::tool
