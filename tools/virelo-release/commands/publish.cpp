#include "commands/publish.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "base/file_io.h"
#include "commands/cli.h"
#include "common/hex.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "pe/pe_version.h"
#include "publishing/delta_encoder.h"
#include "publishing/names.h"
#include "publishing/release_checks.h"
#include "publishing/release_folder.h"
#include "publishing/release_writer.h"
#include "signing/key_files.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

struct PublishRequest {
    std::string key_path;
    std::string executable;
    std::string version;
    std::string name;
    std::string folder;
    std::optional<std::string> serial;      // --serial
    std::optional<std::string> expires_in;  // --expires-in
    bool force = false;                     // publish despite a version resource that disagrees
    bool require_authenticode = false;
    std::size_t deltas = 3;                 // --deltas: from how many earlier executables
};

// An earlier executable of the folder that a delta may start from.
struct DeltaBase {
    std::string file;
    std::string sha256;
};

// What the release now in the folder leaves to the next: the executables
// deltas may start from (newest first) and the part files its manifest names,
// which clients that read it may still be fetching.
struct PreviousRelease {
    std::vector<DeltaBase> bases;
    std::vector<std::string> part_files;
};

Expected<PublishRequest> read_request(const std::vector<std::string>& args) {
    using Out = Expected<PublishRequest>;
    auto parsed = parse_options(args,
                                {"--key", "--exe", "--version", "--name", "--out", "--serial", "--expires-in",
                                 "--deltas"},
                                0, {"--force", "--require-authenticode"});
    if (!parsed) return Out::failure(parsed.error());
    const auto& options = parsed.value();
    for (const char* required : {"--key", "--exe", "--version", "--out"}) {
        if (!options.has(required)) return Out::failure(std::string{"publish needs "} + required + " (see --help)");
    }
    PublishRequest request;
    request.key_path = options.get("--key");
    request.executable = options.get("--exe");
    request.version = options.get("--version");
    request.name = options.has("--name") ? options.get("--name") : base_name(request.executable);
    request.folder = options.get("--out");
    request.serial = options.get_optional("--serial");
    request.expires_in = options.get_optional("--expires-in");
    request.force = options.flag("--force");
    request.require_authenticode = options.flag("--require-authenticode");
    if (options.has("--deltas")) {
        const std::string& text = options.get("--deltas");
        unsigned count = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (error != std::errc{} || end != text.data() + text.size() || count > max_deltas) {
            return Out::failure("--deltas " + text + " must be a whole number from 0 to " +
                                std::to_string(max_deltas));
        }
        request.deltas = count;
    }
    return request;
}

// The version the executable states about itself must be the one published,
// unless --force says otherwise; without a version resource there is nothing
// to compare.
Result check_stated_version(const PublishRequest& request, const PeView& image) {
    const auto resource = read_version_resource(image);
    if (!resource || !resource.value()) {
        std::fprintf(stderr, "virelo-release: warning: %s%s; --version %s is not checked against it\n",
                     request.executable.c_str(),
                     resource ? " has no version resource" : (": " + resource.error()).c_str(),
                     request.version.c_str());
        return Result::success();
    }
    if (version_matches(request.version, *resource.value())) return Result::success();
    const std::string stated = describe_versions(*resource.value());
    if (request.force) {
        std::fprintf(stderr, "virelo-release: warning: --version %s differs from the version resource of %s (%s); "
                             "published anyway (--force)\n",
                     request.version.c_str(), request.executable.c_str(), stated.c_str());
        return Result::success();
    }
    return Result::failure("--version " + request.version + " does not match the version resource of " +
                           request.executable + " (" + stated +
                           "); give the version the executable states, or add --force to publish it anyway");
}

Result check_authenticode(const PublishRequest& request, const PeView& image) {
    const auto signature = read_authenticode(image);
    if (!signature) return Result::failure(request.executable + ": " + signature.error());
    if (signature.value()) return Result::success();
    if (!request.require_authenticode) {
        std::fprintf(stderr,
                     "virelo-release: warning: %s carries no Authenticode signature, so Windows and antivirus "
                     "programs warn about it; sign it first with 'virelo-release sign' (--require-authenticode "
                     "refuses unsigned executables)\n",
                     request.executable.c_str());
        return Result::success();
    }
    return Result::failure(request.executable + " carries no Authenticode signature, and --require-authenticode is "
                                                "given; sign it first with 'virelo-release sign' (before publish: "
                                                "the manifest's digest covers the signed bytes)");
}

// Everything that can be refused is refused here, before the folder is touched.
Result check_inputs(const PublishRequest& request) {
    if (auto ok = check_version(request.version); !ok) return ok;
    if (auto ok = check_file_name(request.name); !ok) return ok;
    if (!path_exists(request.executable)) {
        return Result::failure("no such file: " + request.executable + " (--exe wants the Virelo.exe to publish)");
    }
    if (auto ok = check_pe_executable(request.executable); !ok) return ok;
    if (auto facts = file_facts(request.executable); !facts) return Result::failure(facts.error());
    const auto bytes = read_file(request.executable, download_limit);
    if (!bytes) return Result::failure(bytes.error());
    // A file that passes the quick header test may still lack the parts below.
    if (const auto image = PeView::parse(bytes.value(), request.executable); image) {
        if (auto ok = check_authenticode(request, image.value()); !ok) return ok;
        if (auto ok = check_stated_version(request, image.value()); !ok) return ok;
    } else if (request.require_authenticode) {
        return Result::failure(image.error());
    }
    if (path_exists(request.folder) && !is_directory(request.folder)) {
        return Result::failure(request.folder + " exists and is not a folder");
    }
    if (is_inside(request.key_path, request.folder)) {
        return Result::failure("the signing key " + request.key_path + " lies inside the release folder " +
                               request.folder + ", which is published; keep it elsewhere");
    }
    for (const std::string_view name : {std::string_view{request.name}, api_executable_alias, manifest_file,
                                        signature_file}) {
        const std::string target = join_path(request.folder, name);
        if (is_directory(target)) return Result::failure(target + " is a folder; it would have to be replaced");
    }
    return Result::success();
}

void warn_if_replaced_in_place(const std::string& target, const FileFacts& facts) {
    if (!path_exists(target)) return;
    const auto old = file_facts(target);
    if (old && old.value().sha256 == facts.sha256) return;
    std::fprintf(stderr,
                 "virelo-release: warning: replacing %s in place; a client that read the previous manifest "
                 "may now download a mismatching file. A name per version (--name Virelo-<version>.exe) avoids this.\n",
                 target.c_str());
}

// What the release now in the folder says about this publish: an expiry
// that must not be dropped silently (a failure, as refresh refuses it), and
// notices of a repeated version, the same bytes again and a change of key.
Result compare_with_current(const PublishRequest& request, const FileFacts& facts, EVP_PKEY* public_key,
                            const std::string& fingerprint) {
    const std::string manifest_path = join_path(request.folder, manifest_file);
    const auto manifest = read_file(manifest_path);
    if (!manifest) return Result::success();
    const auto current = read_manifest(manifest.value());
    const auto freshness = read_freshness(manifest.value());
    if (!current) return Result::success();
    if (freshness && freshness.value().expires && !request.expires_in) {
        return Result::failure("the manifest in " + request.folder + " expires, and this release would not; give "
                               "its expiry with --expires-in DAYS (or publish into a new folder for a release "
                               "without one)");
    }
    const auto signature = read_file(join_path(request.folder, signature_file));
    const auto mismatch = signature ? find_signature_mismatch(manifest.value(), signature.value(), public_key)
                                    : std::nullopt;
    if (mismatch && mismatch->cause == SignatureFailure::changed_after_signing) {
        std::fprintf(stderr,
                     "virelo-release: note: the manifest now in %s changed after key %s signed it (edited by "
                     "hand?); this publish replaces it\n",
                     request.folder.c_str(), fingerprint.c_str());
    } else if (mismatch) {
        const std::string cause = mismatch->named ? "it was signed by another key " + *mismatch->named
                                                  : std::string{"another key signed it, or it changed since"};
        std::fprintf(stderr,
                     "virelo-release: warning: the release now in %s does not verify under this key (%s): %s. "
                     "Setup programs that do not know key %s refuse this release; see 'Rotating the signing key' "
                     "in docs/publishing.md\n",
                     request.folder.c_str(), fingerprint.c_str(), cause.c_str(), fingerprint.c_str());
    }
    if (current->sha256 == facts.sha256) {
        std::fprintf(stderr,
                     "virelo-release: note: %s is byte for byte the executable of the release now in %s (Virelo %s, "
                     "%s): installed copies download nothing\n",
                     request.executable.c_str(), request.folder.c_str(), current->version.c_str(),
                     current->file.c_str());
    } else if (current->version == request.version) {
        std::fprintf(stderr,
                     "virelo-release: warning: Virelo %s is already the release in %s, with other bytes; installed "
                     "copies replace it under the same version (give the new build a version of its own)\n",
                     request.version.c_str(), request.folder.c_str());
    }
    return Result::success();
}

// Read without its signature: each base is trusted only for the digest its
// file has now, and the next manifest is checked as a whole anyway.
PreviousRelease read_previous_release(const std::string& folder, std::size_t count, const std::string& new_name,
                                      const std::string& new_sha256) {
    PreviousRelease previous;
    const auto manifest = read_file(join_path(folder, manifest_file));
    if (!manifest) return previous;
    const auto release = read_manifest(manifest.value());
    if (!release) return previous;
    if (release->compressed) previous.part_files.push_back(release->compressed->file);
    for (const auto& delta : release->deltas) previous.part_files.push_back(delta.part.file);

    std::vector<DeltaBase> candidates = {{release->file, release->sha256}};
    for (const auto& delta : release->deltas) candidates.push_back({delta.base_file, delta.base_sha256});
    for (const auto& candidate : candidates) {
        if (previous.bases.size() == count) break;
        const bool seen = std::any_of(previous.bases.begin(), previous.bases.end(),
                                      [&](const DeltaBase& b) { return b.sha256 == candidate.sha256; });
        // A file the new executable replaces in place is no base any more.
        if (seen || candidate.sha256 == new_sha256 || candidate.file.empty() || candidate.file == new_name) continue;
        const auto facts = file_facts(join_path(folder, candidate.file));
        if (!facts || facts.value().sha256 != candidate.sha256) {
            std::fprintf(stderr, "virelo-release: warning: %s is gone or changed since it was published; no delta "
                                 "starts from it\n",
                         join_path(folder, candidate.file).c_str());
            continue;
        }
        previous.bases.push_back(candidate);
    }
    return previous;
}

// The compressed copy and the deltas, staged beside the executable. A delta
// that cannot be made, or is no smaller than the compressed copy, is left out
// with a warning: clients then take the compressed copy.
Result stage_parts(const PublishRequest& request, const std::string& staging, const std::string& staged_exe,
                   const FileFacts& facts, const std::vector<DeltaBase>& bases, ManifestFields& fields) {
    const std::string compressed = compressed_copy_name(request.name, facts.sha256);
    const auto copy = write_gzip_copy(staged_exe, join_path(staging, compressed));
    if (!copy) return Result::failure(copy.error());
    // Data that does not compress (an executable that is mostly packed
    // resources, say) gets no copy: clients would only spend time inflating.
    if (copy.value().size < facts.size) {
        fields.compressed = ReleasePart{compressed, copy.value().size, copy.value().sha256};
    } else {
        ::unlink(join_path(staging, compressed).c_str());
        std::fprintf(stderr, "virelo-release: note: %s does not compress, so the release has no compressed copy\n",
                     request.executable.c_str());
    }
    const std::uint64_t smallest = fields.compressed ? fields.compressed->size : facts.size;

    // bsdiff works on one processor for minutes on a large executable, so the
    // deltas are made side by side, one per processor.
    std::vector<std::optional<Expected<FileFacts>>> made(bases.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < bases.size(); i = next++) {
            made[i] = write_delta(join_path(request.folder, bases[i].file), staged_exe,
                                  join_path(staging, delta_name(request.name, bases[i].sha256, facts.sha256)),
                                  staging);
        }
    };
    {
        const std::size_t workers = std::min<std::size_t>(bases.size(), std::max(1u, std::thread::hardware_concurrency()));
        std::vector<std::jthread> threads;
        for (std::size_t i = 1; i < workers; ++i) threads.emplace_back(work);
        work();
    }
    for (std::size_t i = 0; i < bases.size(); ++i) {
        const DeltaBase& base = bases[i];
        const std::string name = delta_name(request.name, base.sha256, facts.sha256);
        const std::string path = join_path(staging, name);
        const Expected<FileFacts>& delta = *made[i];
        if (!delta) {
            std::fprintf(stderr, "virelo-release: warning: no delta from %s: %s\n", base.file.c_str(),
                         delta.error().c_str());
            continue;
        }
        if (delta.value().size >= smallest) {
            std::fprintf(stderr, "virelo-release: warning: the delta from %s is no smaller than the compressed "
                                 "copy; left out\n",
                         base.file.c_str());
            ::unlink(path.c_str());
            continue;
        }
        fields.deltas.push_back({base.sha256, base.file, ReleasePart{name, delta.value().size, delta.value().sha256}});
    }
    return Result::success();
}

// Removes the compressed copies and deltas that neither the new manifest nor
// the one it replaced names; executables are never removed.
void remove_unnamed_parts(const std::string& folder, const Release& release, const PreviousRelease& previous) {
    std::vector<std::string> keep = previous.part_files;
    if (release.compressed) keep.push_back(release.compressed->file);
    for (const auto& delta : release.deltas) keep.push_back(delta.part.file);
    const std::unique_ptr<DIR, decltype(&::closedir)> dir{::opendir(folder.c_str()), &::closedir};
    if (!dir) return;
    std::vector<std::string> unnamed;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!is_part_file_name(name) || std::find(keep.begin(), keep.end(), name) != keep.end()) continue;
        struct stat st {};
        if (::lstat(join_path(folder, name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) unnamed.push_back(name);
    }
    for (const auto& name : unnamed) {
        const std::string path = join_path(folder, name);
        if (::unlink(path.c_str()) == 0) {
            std::printf("removed %s (no manifest names it any more)\n", path.c_str());
        } else {
            std::fprintf(stderr, "virelo-release: warning: cannot remove %s\n", errno_text(path).c_str());
        }
    }
}

// Writes the release into `staging` (an empty folder inside the release
// folder) and moves it into place. Returns the published record.
Expected<CheckedManifest> stage_and_install(const PublishRequest& request, const Freshness& freshness, EVP_PKEY* key,
                                            EVP_PKEY* public_key, const std::string& staging,
                                            const PreviousRelease& previous) {
    using Out = Expected<CheckedManifest>;
    const std::string staged_exe = join_path(staging, request.name);
    const auto facts = copy_file(request.executable, staged_exe);
    if (!facts) return Out::failure(facts.error());

    ManifestFields fields{request.version, request.name, facts.value().size, facts.value().sha256, freshness, {}, {},
                          key_fingerprint(public_blob(key))};
    if (auto parts = stage_parts(request, staging, staged_exe, facts.value(), previous.bases, fields); !parts) {
        return Out::failure(parts.error());
    }
    if (auto manifest = write_signed_manifest(staging, fields, key); !manifest) return Out::failure(manifest.error());
    const bool has_alias = request.name != api_executable_alias;
    if (has_alias) {
        const std::string staged_alias = join_path(staging, api_executable_alias);
        if (::link(staged_exe.c_str(), staged_alias.c_str()) != 0) {
            // A file system without hard links gets a copy.
            const auto copied = copy_file(staged_exe, staged_alias);
            if (!copied) return Out::failure(copied.error());
        }
    }
    if (auto ok = sync_directory(staging); !ok) return Out::failure(ok.error());

    // Read back from disk and checked exactly as `verify` would.
    if (auto ok = check_pe_executable(staged_exe); !ok) return Out::failure(ok.error());
    if (auto staged = verify_release_folder(staging, public_key, request.folder); !staged) {
        return Out::failure("the staged release does not verify: " + staged.error());
    }

    warn_if_replaced_in_place(join_path(request.folder, request.name), facts.value());

    // The executable first, so a manifest never names a file that is not there
    // yet; the signature before the manifest, so a client that reads the
    // manifest and then the signature never pairs a new manifest with the
    // previous signature.
    std::vector<std::string_view> order = {request.name};
    if (has_alias) order.push_back(api_executable_alias);
    if (fields.compressed) order.push_back(fields.compressed->file);
    for (const auto& delta : fields.deltas) order.push_back(delta.part.file);
    order.push_back(signature_file);
    order.push_back(manifest_file);
    if (auto moved = move_into_place(staging, request.folder, order); !moved) return Out::failure(moved.error());

    auto published = verify_release_folder(request.folder, public_key);
    if (!published) return Out::failure("the release folder does not verify after publishing: " + published.error());
    return published;
}

}  // namespace

int run_publish(const std::vector<std::string>& args) {
    const auto request = read_request(args);
    if (!request) return fail(request.error(), exit_usage);
    const PublishRequest& r = request.value();

    const auto key = load_private_key(r.key_path);
    if (!key) return fail(key.error());
    const PublicBlob blob = public_blob(key.value().get());
    const auto public_key = parse_public_blob(blob, r.key_path);
    if (!public_key) return fail(public_key.error());
    if (auto ok = check_inputs(r); !ok) return fail(ok.error());
    // The form of --serial now; whether it is high enough once the folder is locked.
    if (auto ok = next_serial(std::nullopt, r.serial, r.folder); !ok) return fail(ok.error(), exit_usage);
    Freshness freshness;
    if (r.expires_in) {
        const auto expires = expiry_in_days(*r.expires_in);
        if (!expires) return fail(expires.error(), exit_usage);
        freshness.expires = expires.value();
    }

    std::string first_created;
    if (auto made = make_directories(r.folder, 0755, &first_created); !made) return fail(made.error());
    const auto undo_folders = [&] { remove_created_folders(r.folder, first_created); };

    // The serial is read under the lock, so two publishers never take the same one.
    const auto lock = FolderLock::acquire(r.folder);
    if (!lock) return fail(lock.error());
    // A malformed serial in the current manifest leaves the choice to --serial.
    const auto current = current_serial(r.folder);
    const auto serial = current    ? next_serial(current.value(), r.serial, r.folder)
                        : r.serial ? next_serial(std::nullopt, r.serial, r.folder)
                                   : Expected<std::uint64_t>::failure(current.error());
    if (!serial) {
        undo_folders();
        return fail(serial.error());
    }
    freshness.serial = serial.value();

    PreviousRelease previous;
    const auto published = [&] {
        const auto staging = create_staging_folder(r.folder);
        if (!staging) return Expected<CheckedManifest>::failure(staging.error());
        // The new executable's digest first: no delta starts from the release itself.
        const auto facts = file_facts(r.executable);
        if (!facts) return Expected<CheckedManifest>::failure(facts.error());
        if (auto ok = compare_with_current(r, facts.value(), public_key.value().get(), key_fingerprint(blob)); !ok) {
            return Expected<CheckedManifest>::failure(ok.error());
        }
        previous = read_previous_release(r.folder, r.deltas, r.name, facts.value().sha256);
        return stage_and_install(r, freshness, key.value().get(), public_key.value().get(), staging.value().path(),
                                 previous);
    }();  // the staging folder is gone from here on
    if (!published) {
        undo_folders();
        return fail(published.error());
    }
    const Release& release = published.value().release;
    std::printf("wrote %s (%llu bytes, SHA-256 %s)\n", join_path(r.folder, release.file).c_str(),
                static_cast<unsigned long long>(release.size), release.sha256.c_str());
    if (release.file != api_executable_alias) {
        std::printf("wrote %s (the same bytes, for api/release?f=exe)\n",
                    join_path(r.folder, api_executable_alias).c_str());
    }
    const auto percent = [&](std::uint64_t bytes) { return release.size ? bytes * 100 / release.size : 0; };
    if (release.compressed) {
        std::printf("wrote %s (gzip copy, %llu bytes, %llu %% of the executable)\n",
                    join_path(r.folder, release.compressed->file).c_str(),
                    static_cast<unsigned long long>(release.compressed->size),
                    static_cast<unsigned long long>(percent(release.compressed->size)));
    }
    for (const auto& delta : release.deltas) {
        std::printf("wrote %s (delta from %s, %llu bytes, %llu %% of the executable)\n",
                    join_path(r.folder, delta.part.file).c_str(), delta.base_file.c_str(),
                    static_cast<unsigned long long>(delta.part.size),
                    static_cast<unsigned long long>(percent(delta.part.size)));
    }
    std::printf("wrote %s\n", join_path(r.folder, signature_file).c_str());
    std::printf("wrote %s (Virelo %s, %s)\n", join_path(r.folder, manifest_file).c_str(), release.version.c_str(),
                describe_freshness(published.value().freshness).c_str());
    remove_unnamed_parts(r.folder, release, previous);
    std::printf("published Virelo %s in %s, signed with key %s\n", release.version.c_str(), r.folder.c_str(),
                key_fingerprint(blob).c_str());
    return 0;
}

}  // namespace virelo::tool
