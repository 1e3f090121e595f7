#include "commands/verify.h"

#include <cstdio>

#include "base/file_io.h"
#include "commands/cli.h"
#include "commands/site_check.h"
#include "http/http_fetch.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "publishing/release_checks.h"
#include "signing/key_files.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

// The Authenticode line, and whether the executable carries a signature.
std::pair<std::string, bool> authenticode_of_file(const std::string& path) {
    const auto bytes = read_file(path, download_limit);
    if (!bytes) return {"unreadable (" + bytes.error() + ")", false};
    const auto image = PeView::parse(bytes.value(), path);
    if (!image) return {"unreadable (" + image.error() + ")", false};
    const auto signature = read_authenticode(image.value());
    return {describe_authenticode(signature), signature && signature.value()};
}

int verify_folder(const std::string& folder, const PublicKey& key, bool require_authenticode) {
    if (!is_directory(folder)) {
        return fail("no such release folder: " + folder + " (give the folder that publish wrote, or a site URL)");
    }
    if (!path_exists(join_path(folder, manifest_file))) {
        return fail(folder + " has no " + std::string{manifest_file} +
                    ": not a release folder (virelo-release publish --out DIR writes one)");
    }
    const auto checked = verify_release_folder(folder, key.key.get());
    if (!checked) return fail(checked.error());
    if (auto fresh = check_not_expired(checked.value().freshness, join_path(folder, manifest_file)); !fresh) {
        return fail(fresh.error());
    }
    const Release& r = checked.value().release;
    std::printf("manifest:     Virelo %s, %s, %llu bytes, %s\n", r.version.c_str(), r.file.c_str(),
                static_cast<unsigned long long>(r.size), describe_freshness(checked.value().freshness).c_str());
    std::printf("signature:    valid under key %s\n", key_fingerprint(key.blob).c_str());
    std::printf("downloads:    %s\n", describe_parts(r).c_str());
    const auto [authenticode, signed_pe] = authenticode_of_file(join_path(folder, r.file));
    std::printf("Authenticode: %s\n", authenticode.c_str());
    if (require_authenticode && !signed_pe) {
        return fail(join_path(folder, r.file) + " carries no Authenticode signature (--require-authenticode); sign "
                    "it with 'virelo-release sign' and publish it again: the manifest's digest covers the signed bytes");
    }
    std::printf("OK: Virelo %s (%s, %llu bytes)\n", r.version.c_str(), r.file.c_str(),
                static_cast<unsigned long long>(r.size));
    return 0;
}

bool is_site_url(std::string_view target) {
    return target.starts_with("http://") || target.starts_with("https://") || target.starts_with("HTTP://") ||
           target.starts_with("HTTPS://");
}

}  // namespace

int run_verify(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--key", "--ca-file"}, 1, {"--require-authenticode"});
    if (!parsed) return fail(parsed.error(), exit_usage);
    const auto& options = parsed.value();
    if (!options.has("--key")) return fail("verify needs --key BLOB (the 72-byte public key signing-key.pub)", exit_usage);
    const auto key = load_public_key(options.get("--key"));
    if (!key) return fail(key.error());

    const std::string& target = options.positional.front();
    if (!is_site_url(target)) {
        if (options.has("--ca-file")) return fail("--ca-file is for a site URL, not a folder", exit_usage);
        return verify_folder(target, key.value(), options.flag("--require-authenticode"));
    }
    const auto site = parse_site_url(target);
    if (!site) return fail(site.error(), exit_usage);
    std::optional<std::string> ca_file;
    if (options.has("--ca-file")) {
        ca_file = options.get("--ca-file");
        if (auto readable = read_file(*ca_file); !readable) return fail(readable.error());
    }
    return check_live_site(site.value(), key.value(), ca_file, options.flag("--require-authenticode"));
}

}  // namespace virelo::tool
