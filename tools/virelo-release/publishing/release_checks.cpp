#include "publishing/release_checks.h"

#include <ctime>

#include "base/file_io.h"
#include "common/base64.h"
#include "common/freshness.h"
#include "common/manifest.h"
#include "common/utf.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "publishing/part_check.h"
#include "signing/key_files.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

// Why an executable of the folder no longer matches its manifest, with what
// to do: the usual cause is `virelo-release sign` after `publish`.
std::string mismatch_hint(const std::string& path, std::string_view manifest, std::string_view folder) {
    const auto bytes = read_file(path, download_limit);
    const auto image = bytes ? PeView::parse(bytes.value(), path) : Expected<PeView>::failure(bytes.error());
    const auto signature = image ? read_authenticode(image.value())
                                 : Expected<std::optional<AuthenticodeSignature>>::failure(image.error());
    const std::string publish_again = "publish it again: " + republish_command(manifest, folder);
    if (signature && signature.value()) {
        return "; it carries an Authenticode signature, so it was probably signed after publish (sign changes the "
               "bytes the manifest's digest covers). Sign before publish; to release the signed file, " +
               publish_again;
    }
    return "; it changed after publish (replaced, or signed?): " + publish_again;
}

Result check_executable(const std::string& path, const Release& release, std::string_view what,
                        std::string_view manifest, std::string_view folder) {
    const auto facts = file_facts(path);
    if (!facts) return Result::failure(facts.error());
    if (facts.value().size != release.size) {
        return Result::failure(std::string{what} + " " + path + " has " + std::to_string(facts.value().size) +
                               " bytes; the manifest says " + std::to_string(release.size) +
                               mismatch_hint(path, manifest, folder));
    }
    if (facts.value().sha256 != release.sha256) {
        return Result::failure(std::string{what} + " " + path + " has SHA-256 " + facts.value().sha256 +
                               "; the manifest says " + release.sha256 + mismatch_hint(path, manifest, folder));
    }
    return Result::success();
}

// Why the signature does not verify, in a clause for check_signed_manifest.
std::string describe_mismatch(const SignatureMismatch& mismatch, std::string_view manifest, std::string_view folder) {
    switch (mismatch.cause) {
    case SignatureFailure::other_key:
        return "it was signed by another key " + *mismatch.named + " (this tool was given " + mismatch.given +
               "). Check it with the signing-key.pub of key " + *mismatch.named +
               " if your setup programs trust that key; if they trust " + mismatch.given +
               ", publish the release again with its signing-key.pem";
    case SignatureFailure::changed_after_signing:
        return "it names key " + mismatch.given + ", so the manifest's bytes changed after it was signed (edited by "
               "hand?); publish the release again (refresh signs only a manifest that verifies): " +
               republish_command(manifest, folder) + (folder.empty() ? " and upload DIR" : "");
    case SignatureFailure::unnamed:
        break;
    }
    return "either another key signed it, or the manifest's bytes changed after signing (it names no key, as "
           "manifests from before virelo-release wrote \"key\" do not)";
}

// The "key" of a verified manifest must be the key that verified it.
Result check_named_key(std::string_view manifest, const std::string& given, std::string_view manifest_name) {
    const auto text = manifest_field(decode_utf8_lossy(manifest), "key");
    if (!text) return Result::success();
    const auto named = manifest_key(manifest);
    if (!named) {
        return Result::failure(std::string{manifest_name} + " has a faulty entry: \"key\" (" + text->substr(0, 40) +
                               ") is not a key fingerprint, 16 hexadecimal digits");
    }
    if (*named != given) {
        return Result::failure(std::string{manifest_name} + " names key " + *named + ", but key " + given +
                               " signed it: not as virelo-release publish writes it; publish the release again");
    }
    return Result::success();
}

// The compressed copy and every delta, rebuilt and compared with the release.
Result check_parts_in_folder(const std::string& folder, const Release& release, const std::string& base_folder) {
    if (release.compressed) {
        const std::string path = join_path(folder, release.compressed->file);
        const auto bytes = read_file(path, download_limit);
        if (!bytes) return Result::failure("compressed copy: " + bytes.error());
        if (auto ok = check_compressed_copy(bytes.value(), release, path); !ok) return ok;
    }
    for (const DeltaPart& delta : release.deltas) {
        const std::string path = join_path(folder, delta.part.file);
        if (delta.base_file.empty()) {
            return Result::failure(path + ": the manifest names no base file, so the delta cannot be checked");
        }
        const std::string base_path = join_path(base_folder, delta.base_file);
        const auto bytes = read_file(path, download_limit);
        if (!bytes) return Result::failure("delta: " + bytes.error());
        const auto base = read_file(base_path, download_limit);
        if (!base) return Result::failure("the base of " + path + ": " + base.error());
        if (auto ok = check_delta(bytes.value(), base.value(), delta, release, path, base_path); !ok) return ok;
    }
    return Result::success();
}

}  // namespace

std::optional<SignatureMismatch> find_signature_mismatch(std::string_view manifest, std::string_view signature_text,
                                                         EVP_PKEY* public_key) {
    const auto signature = decode_base64_lenient(decode_utf8_lossy(signature_text));
    if (signature.size() == 64 && verify_message(public_key, manifest, signature)) return std::nullopt;
    const std::string given = key_fingerprint(public_blob(public_key));
    const auto named = manifest_key(manifest);
    return SignatureMismatch{classify_signature_failure(named, std::span{&given, 1}), named, given,
                             signature.size() == 64};
}

std::string republish_command(std::string_view manifest, std::string_view folder) {
    const auto release = read_manifest(manifest);
    const std::string dir = folder.empty() ? std::string{"DIR"} : std::string{folder};
    const std::string file = release ? release->file : std::string{"FILE"};
    return "'virelo-release publish --key PEM --exe " + join_path(dir, file) + " --version " +
           (release ? release->version : std::string{"V"}) + " --name " + file + " --out " + dir + "'";
}

Expected<CheckedManifest> check_signed_manifest(std::string_view manifest, std::string_view signature_text,
                                                EVP_PKEY* public_key, std::string_view manifest_name,
                                                std::string_view signature_name, std::string_view folder) {
    using Out = Expected<CheckedManifest>;
    const auto signature = decode_base64_lenient(decode_utf8_lossy(signature_text));
    if (signature.size() != 64) {
        return Out::failure(std::string{signature_name} + " decodes to " + std::to_string(signature.size()) +
                            " bytes, not the 64 of a raw r||s signature (DER or URL-safe Base64 is refused)");
    }
    if (const auto mismatch = find_signature_mismatch(manifest, signature_text, public_key)) {
        return Out::failure(std::string{signature_name} + " is not a valid signature of " +
                            std::string{manifest_name} + " under key " + mismatch->given + " (the --key given): " +
                            describe_mismatch(*mismatch, manifest, folder));
    }
    if (auto named = check_named_key(manifest, key_fingerprint(public_blob(public_key)), manifest_name); !named) {
        return Out::failure(named.error());
    }
    auto release = read_manifest(manifest);
    auto freshness = read_freshness(manifest);
    if (!release || !freshness) {
        return Out::failure(std::string{manifest_name} + " is damaged: " + describe_manifest_damage(manifest));
    }
    // A setup program would skip a faulty part quietly; the publisher hears of it.
    if (const auto parts = read_release_parts(decode_utf8_lossy(manifest), release->sha256); !parts.problems.empty()) {
        return Out::failure(std::string{manifest_name} + " has a faulty entry: " + parts.problems.front());
    }
    return CheckedManifest{std::move(*release), std::move(freshness.value())};
}

Result check_not_expired(const Freshness& freshness, std::string_view manifest_name) {
    if (!freshness.expires) return Result::success();
    const std::int64_t now = std::time(nullptr);
    if (*freshness.expires > now) return Result::success();
    return Result::failure(std::string{manifest_name} + " expired at " + format_expiry(*freshness.expires).value_or("?") +
                           " (now " + format_expiry(now).value_or("?") +
                           "), so the setup program refuses it; sign it afresh with "
                           "'virelo-release refresh --key PEM --out DIR --expires-in DAYS'");
}

Expected<CheckedManifest> verify_release_folder(const std::string& folder, EVP_PKEY* public_key,
                                                const std::string& base_folder) {
    using Out = Expected<CheckedManifest>;
    const std::string manifest_path = join_path(folder, manifest_file);
    const std::string signature_path = join_path(folder, signature_file);
    const auto manifest = read_file(manifest_path);
    if (!manifest) return Out::failure(manifest.error());
    const auto signature_text = read_file(signature_path);
    if (!signature_text) return Out::failure(signature_text.error());

    auto checked = check_signed_manifest(manifest.value(), signature_text.value(), public_key, manifest_path,
                                         signature_path, folder);
    if (!checked) return checked;
    const Release& release = checked.value().release;
    const std::string executable = join_path(folder, release.file);
    if (auto ok = check_executable(executable, release, "executable", manifest.value(), folder); !ok) {
        return Out::failure(ok.error());
    }
    if (release.file != api_executable_alias) {
        const std::string alias = join_path(folder, api_executable_alias);
        if (path_exists(alias)) {
            if (auto ok = check_executable(alias, release, "release API copy", manifest.value(), folder); !ok) {
                return Out::failure(ok.error());
            }
        }
    }
    if (auto ok = check_parts_in_folder(folder, release, base_folder.empty() ? folder : base_folder); !ok) {
        return Out::failure(ok.error());
    }
    return checked;
}

std::string describe_parts(const Release& r) {
    const auto share = [&](std::uint64_t bytes) {
        return r.size == 0 ? std::string{} : " (" + std::to_string(bytes * 100 / r.size) + " %)";
    };
    std::string text = r.compressed ? "compressed copy " + r.compressed->file + share(r.compressed->size)
                                    : std::string{"no compressed copy"};
    if (r.deltas.empty()) return text + ", no deltas";
    text += "; " + std::to_string(r.deltas.size()) + (r.deltas.size() == 1 ? " delta" : " deltas") + ", from";
    for (const auto& delta : r.deltas) {
        text += " " + (delta.base_file.empty() ? delta.base_sha256.substr(0, 12) : delta.base_file) +
                share(delta.part.size);
    }
    return text + "; each rebuilds the release";
}
}  // namespace virelo::tool
