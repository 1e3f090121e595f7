#include "commands/refresh.h"

#include <cstdio>

#include "base/file_io.h"
#include "commands/cli.h"
#include "publishing/release_checks.h"
#include "publishing/release_folder.h"
#include "publishing/release_writer.h"
#include "signing/key_files.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

// Why the manifest's signature does not verify under the key given, and
// which way out: the key that signed it, or publishing anew. Moving a release
// to another key is a publish, and only once setup programs trust that key.
std::string signature_refusal(const SignatureMismatch& mismatch, const std::string& folder,
                              std::string_view manifest) {
    const std::string refused = "the manifest in " + folder + " does not verify under key " + mismatch.given +
                                " (the --key given), so it is not signed again: ";
    const std::string rotation = "publish the release anew with key " + mismatch.given +
                                 " only to move it to that key, once the setup programs in use trust it (step 2 of "
                                 "'Rotating the signing key' in docs/publishing.md)";
    switch (mismatch.cause) {
    case SignatureFailure::other_key:
        return refused + "it was signed by another key " + *mismatch.named + " (this tool was given " +
               mismatch.given + "). Refresh with the .pem of key " + *mismatch.named +
               " (after a rotation, the new key: a timer may still name the old one); " + rotation;
    case SignatureFailure::changed_after_signing:
        return refused + "it names this key, so its bytes changed after it was signed (edited by hand?); publish "
                         "the release again: " + republish_command(manifest, folder);
    case SignatureFailure::unnamed:
        break;
    }
    return refused + "either another key signed it (then refresh with that key's .pem; " + rotation +
           "), or its bytes changed after signing (then publish it again: " + republish_command(manifest, folder) +
           ")";
}

// The manifest as it stands, checked with the key that will sign its
// successor: a refresh never signs what someone else put there.
Expected<CheckedManifest> read_current_release(const std::string& folder, EVP_PKEY* public_key) {
    using Out = Expected<CheckedManifest>;
    const std::string manifest_path = join_path(folder, manifest_file);
    if (!path_exists(manifest_path)) {
        return Out::failure(folder + " has no " + std::string{manifest_file} +
                            "; refresh renews a published release (publish one first)");
    }
    const auto manifest = read_file(manifest_path);
    if (!manifest) return Out::failure(manifest.error());
    if (const auto signature = read_file(join_path(folder, signature_file)); signature) {
        // A signature that is not even of the right form is named as such below.
        if (const auto mismatch = find_signature_mismatch(manifest.value(), signature.value(), public_key);
            mismatch && mismatch->well_formed) {
            return Out::failure(signature_refusal(*mismatch, folder, manifest.value()));
        }
    }
    auto current = verify_release_folder(folder, public_key);
    if (!current) {
        return Out::failure("the release in " + folder + " does not verify, so it is not signed again: " +
                            current.error());
    }
    // Only a manifest in the tool's own layout can be rewritten with nothing
    // but its serial and expiry changed.
    const Release& r = current.value().release;
    const auto bytes = read_file(manifest_path);
    if (!bytes) return Out::failure(bytes.error());
    if (bytes.value() != manifest_text(fields_of(r, current.value().freshness))) {
        return Out::failure(manifest_path + " was not written by virelo-release publish, so a refresh could not "
                                            "keep the rest of it unchanged; publish the release anew instead");
    }
    return current;
}

}  // namespace

int run_refresh(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--key", "--out", "--expires-in"});
    if (!parsed) return fail(parsed.error(), exit_usage);
    const Options& options = parsed.value();
    if (!options.has("--key") || !options.has("--out")) {
        return fail("refresh needs --key PEM and --out DIR (see --help)", exit_usage);
    }
    const std::string folder = options.get("--out");
    const auto key = load_private_key(options.get("--key"));
    if (!key) return fail(key.error());
    const PublicBlob blob = public_blob(key.value().get());
    const auto public_key = parse_public_blob(blob, options.get("--key"));
    if (!public_key) return fail(public_key.error());
    std::optional<std::int64_t> expires;
    if (options.has("--expires-in")) {
        const auto days = expiry_in_days(options.get("--expires-in"));
        if (!days) return fail(days.error(), exit_usage);
        expires = days.value();
    }
    if (!is_directory(folder)) return fail("no such release folder: " + folder);

    const auto lock = FolderLock::acquire(folder);
    if (!lock) return fail(lock.error());
    const auto current = read_current_release(folder, public_key.value().get());
    if (!current) return fail(current.error());
    const Freshness& before = current.value().freshness;
    if (before.expires && !expires) {
        return fail("the manifest in " + folder + " expires; give the new expiry with --expires-in DAYS", exit_usage);
    }
    const auto serial = next_serial(before.serial, std::nullopt, folder);
    if (!serial) return fail(serial.error());

    const Release& r = current.value().release;
    // Everything but the freshness stays: the executable, its compressed copy
    // and its deltas; the manifest names the key that signs it (an older one
    // named none).
    ManifestFields fields = fields_of(r, Freshness{serial.value(), expires});
    fields.key = key_fingerprint(blob);
    const auto renewed = [&]() -> Result {
        const auto staging = create_staging_folder(folder);
        if (!staging) return Result::failure(staging.error());
        const auto manifest = write_signed_manifest(staging.value().path(), fields, key.value().get());
        if (!manifest) return Result::failure(manifest.error());
        const auto signature = read_file(join_path(staging.value().path(), signature_file));
        if (!signature) return Result::failure(signature.error());
        if (auto staged = check_signed_manifest(manifest.value(), signature.value(), public_key.value().get(),
                                                "the staged manifest", "its signature");
            !staged) {
            return Result::failure(staged.error());
        }
        // The signature before the manifest, as publish does: a reader never
        // pairs the new manifest with the old signature.
        return move_into_place(staging.value().path(), folder, {signature_file, manifest_file});
    }();
    if (!renewed) return fail(renewed.error());
    const auto published = verify_release_folder(folder, public_key.value().get());
    if (!published) return fail("the release folder does not verify after the refresh: " + published.error());

    std::printf("wrote %s\n", join_path(folder, signature_file).c_str());
    std::printf("wrote %s (Virelo %s, %s)\n", join_path(folder, manifest_file).c_str(), r.version.c_str(),
                describe_freshness(published.value().freshness).c_str());
    std::printf("refreshed Virelo %s in %s; the executable is unchanged\n", r.version.c_str(), folder.c_str());
    return 0;
}

}  // namespace virelo::tool
