#include "publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "authenticode.h"
#include "cli.h"
#include "common/hex.h"
#include "file_io.h"
#include "key_files.h"
#include "keys.h"
#include "names.h"
#include "pe.h"
#include "pe_version.h"
#include "release_folder.h"
#include "release_writer.h"
#include "verify.h"

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
};

// Copies `source` to the new file `target`, hashing what is written.
Expected<FileFacts> copy_file(const std::string& source, const std::string& target) {
    using Out = Expected<FileFacts>;
    unique_fd in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!in) return Out::failure("cannot read " + errno_text(source));
    unique_fd out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)};
    if (!out) return Out::failure("cannot create " + errno_text(target));
    FileFacts facts;
    Sha256 hasher;
    std::array<char, 1 << 16> buffer;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Out::failure("cannot read " + errno_text(source));
        if (n == 0) break;
        const std::string_view chunk{buffer.data(), static_cast<std::size_t>(n)};
        if (auto written = write_all(out.get(), chunk, target); !written) return Out::failure(written.error());
        hasher.update(chunk);
        facts.size += chunk.size();
        if (facts.size > download_limit) return Out::failure(source + " grew beyond the download limit while copied");
    }
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
        return Out::failure("cannot write " + errno_text(target));
    }
    facts.sha256 = to_hex_lower(hasher.finish());
    return facts;
}

std::string parent_of(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Undoes the folders this run created, as long as they are still empty.
void remove_created_folders(const std::string& folder, const std::string& first_created) {
    if (first_created.empty()) return;
    const std::string stop = without_trailing_slashes(first_created);
    std::string current = without_trailing_slashes(folder);
    while (current.size() >= stop.size() && ::rmdir(current.c_str()) == 0 && current != stop) {
        current = without_trailing_slashes(parent_of(current));
    }
}

// Whether `path` (which must exist) lies somewhere below `folder`, symlinks resolved.
bool is_inside(const std::string& path, const std::string& folder) {
    const std::unique_ptr<char, decltype(&std::free)> real_path{::realpath(path.c_str(), nullptr), &std::free};
    const std::unique_ptr<char, decltype(&std::free)> real_folder{::realpath(folder.c_str(), nullptr), &std::free};
    if (!real_path || !real_folder) return false;
    const std::string prefix = std::string{real_folder.get()} + "/";
    return std::string_view{real_path.get()}.starts_with(prefix);
}

Expected<PublishRequest> read_request(const std::vector<std::string>& args) {
    using Out = Expected<PublishRequest>;
    auto parsed = parse_options(args, {"--key", "--exe", "--version", "--name", "--out", "--serial", "--expires-in"},
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
    if (signature.value() || !request.require_authenticode) return Result::success();
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

// Writes the release into `staging` (an empty folder inside the release
// folder) and moves it into place. Returns the published record.
Expected<CheckedManifest> stage_and_install(const PublishRequest& request, const Freshness& freshness, EVP_PKEY* key,
                                            EVP_PKEY* public_key, const std::string& staging) {
    using Out = Expected<CheckedManifest>;
    const std::string staged_exe = join_path(staging, request.name);
    const auto facts = copy_file(request.executable, staged_exe);
    if (!facts) return Out::failure(facts.error());

    const ManifestFields fields{request.version, request.name, facts.value().size, facts.value().sha256, freshness};
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
    if (auto staged = verify_release_folder(staging, public_key); !staged) {
        return Out::failure("the staged release does not verify: " + staged.error());
    }

    warn_if_replaced_in_place(join_path(request.folder, request.name), facts.value());

    // The executable first, so a manifest never names a file that is not there
    // yet; the signature before the manifest, so a client that reads the
    // manifest and then the signature never pairs a new manifest with the
    // previous signature.
    std::vector<std::string_view> order = {request.name};
    if (has_alias) order.push_back(api_executable_alias);
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

    const auto published = [&] {
        const auto staging = create_staging_folder(r.folder);
        if (!staging) return Expected<CheckedManifest>::failure(staging.error());
        return stage_and_install(r, freshness, key.value().get(), public_key.value().get(), staging.value().path());
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
    std::printf("wrote %s\n", join_path(r.folder, signature_file).c_str());
    std::printf("wrote %s (Virelo %s, %s)\n", join_path(r.folder, manifest_file).c_str(), release.version.c_str(),
                describe_freshness(published.value().freshness).c_str());
    std::printf("published Virelo %s in %s\n", release.version.c_str(), r.folder.c_str());
    return 0;
}

}  // namespace virelo::tool
