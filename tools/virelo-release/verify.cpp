#include "verify.h"

#include <cstdio>

#include "cli.h"
#include "common/base64.h"
#include "common/utf.h"
#include "file_io.h"
#include "keys.h"
#include "release_folder.h"

namespace virelo::tool {
namespace {

Result check_executable(const std::string& path, const Release& release, std::string_view what) {
    const auto facts = file_facts(path);
    if (!facts) return Result::failure(facts.error());
    if (facts.value().size != release.size) {
        return Result::failure(std::string{what} + " " + path + " has " + std::to_string(facts.value().size) +
                               " bytes; the manifest says " + std::to_string(release.size));
    }
    if (facts.value().sha256 != release.sha256) {
        return Result::failure(std::string{what} + " " + path + " has SHA-256 " + facts.value().sha256 +
                               "; the manifest says " + release.sha256);
    }
    return Result::success();
}

}  // namespace

Expected<Release> verify_release_folder(const std::string& folder, EVP_PKEY* public_key) {
    using Out = Expected<Release>;
    const std::string manifest_path = join_path(folder, manifest_file);
    const std::string signature_path = join_path(folder, signature_file);
    const auto manifest = read_file(manifest_path);
    if (!manifest) return Out::failure(manifest.error());
    const auto signature_text = read_file(signature_path);
    if (!signature_text) return Out::failure(signature_text.error());

    const auto signature = decode_base64_lenient(decode_utf8_lossy(signature_text.value()));
    if (signature.size() != 64) {
        return Out::failure(signature_path + " decodes to " + std::to_string(signature.size()) +
                            " bytes, not the 64 of a raw r||s signature (DER or URL-safe Base64 is refused)");
    }
    if (!verify_message(public_key, manifest.value(), signature)) {
        return Out::failure(signature_path + " is not a valid signature of " + manifest_path +
                            " under this key (wrong key, or the manifest's bytes changed after signing)");
    }

    auto release = read_manifest(manifest.value());
    if (!release) {
        return Out::failure(manifest_path + " is damaged: " + describe_manifest_damage(manifest.value()));
    }
    const std::string executable = join_path(folder, release->file);
    if (auto ok = check_executable(executable, *release, "executable"); !ok) return Out::failure(ok.error());
    if (release->file != api_executable_alias) {
        const std::string alias = join_path(folder, api_executable_alias);
        if (path_exists(alias)) {
            if (auto ok = check_executable(alias, *release, "release API copy"); !ok) return Out::failure(ok.error());
        }
    }
    return std::move(*release);
}

int run_verify(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--key"}, 1);
    if (!parsed) return fail(parsed.error(), exit_usage);
    const auto& options = parsed.value();
    if (!options.has("--key")) return fail("verify needs --key BLOB (the 72-byte public key)", exit_usage);

    const std::string key_path = options.get("--key");
    const auto blob = read_file(key_path, 4096);
    if (!blob) return fail(blob.error());
    const auto& bytes = blob.value();
    const auto key = parse_public_blob(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, key_path);
    if (!key) return fail(key.error());

    const std::string& folder = options.positional.front();
    if (!is_directory(folder)) return fail("no such release folder: " + folder);
    const auto release = verify_release_folder(folder, key.value().get());
    if (!release) return fail(release.error());
    const auto& r = release.value();
    std::printf("OK: Virelo %s (%s, %llu bytes)\n", r.version.c_str(), r.file.c_str(),
                static_cast<unsigned long long>(r.size));
    return 0;
}

}  // namespace virelo::tool
