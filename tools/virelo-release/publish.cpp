#include "publish.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli.h"
#include "common/base64.h"
#include "common/hex.h"
#include "file_io.h"
#include "keys.h"
#include "names.h"
#include "pe.h"
#include "release_folder.h"
#include "verify.h"

namespace virelo::tool {
namespace {

struct PublishRequest {
    std::string key_path;
    std::string executable;
    std::string version;
    std::string name;
    std::string folder;
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
    auto parsed = parse_options(args, {"--key", "--exe", "--version", "--name", "--out"});
    if (!parsed) return Out::failure(parsed.error());
    const auto& options = parsed.value();
    for (const char* required : {"--key", "--exe", "--version", "--out"}) {
        if (!options.has(required)) return Out::failure(std::string{"publish needs "} + required);
    }
    PublishRequest request;
    request.key_path = options.get("--key");
    request.executable = options.get("--exe");
    request.version = options.get("--version");
    request.name = options.has("--name") ? options.get("--name") : base_name(request.executable);
    request.folder = options.get("--out");
    return request;
}

// Everything that can be refused is refused here, before the folder is touched.
Result check_inputs(const PublishRequest& request) {
    if (auto ok = check_version(request.version); !ok) return ok;
    if (auto ok = check_file_name(request.name); !ok) return ok;
    if (auto ok = check_pe_executable(request.executable); !ok) return ok;
    if (auto facts = file_facts(request.executable); !facts) return Result::failure(facts.error());
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

// Renames each staged file over its namesake in `folder`, in order. Should one
// rename fail, the ones already made are undone (the replaced files were kept
// as hard links in `staging`), so the folder keeps its previous release.
Result move_into_place(const std::string& staging, const std::string& folder,
                       const std::vector<std::string_view>& order) {
    struct Moved {
        std::string target;
        bool existed = false;
        std::string previous;  // the replaced file, kept; empty when none could be kept
    };
    std::vector<Moved> moved;
    for (const auto name : order) {
        Moved step{join_path(folder, name), path_exists(join_path(folder, name)),
                   join_path(staging, ".previous-" + std::string{name})};
        if (!step.existed || ::link(step.target.c_str(), step.previous.c_str()) != 0) step.previous.clear();
        if (::rename(join_path(staging, name).c_str(), step.target.c_str()) != 0) {
            const std::string error = "cannot move " + std::string{name} + " into place: " + errno_text(step.target);
            for (auto undo = moved.rbegin(); undo != moved.rend(); ++undo) {
                if (!undo->previous.empty()) {
                    ::rename(undo->previous.c_str(), undo->target.c_str());
                } else if (!undo->existed) {
                    ::unlink(undo->target.c_str());
                }
            }
            return Result::failure(error + "; the previous release was put back");
        }
        moved.push_back(std::move(step));
    }
    return sync_directory(folder);
}

// Writes the release into `staging` (an empty folder inside the release
// folder) and moves it into place. Returns the published record.
Expected<Release> stage_and_install(const PublishRequest& request, EVP_PKEY* key, EVP_PKEY* public_key,
                                    const std::string& staging) {
    using Out = Expected<Release>;
    const std::string staged_exe = join_path(staging, request.name);
    const auto facts = copy_file(request.executable, staged_exe);
    if (!facts) return Out::failure(facts.error());

    const std::string manifest = manifest_text(request.version, request.name, facts.value().size,
                                               facts.value().sha256);
    const auto signature = sign_message(key, manifest);
    if (!signature) return Out::failure(signature.error());
    const std::string signature_text = encode_base64(signature.value()) + "\n";

    if (auto ok = write_new_file(join_path(staging, manifest_file), manifest, 0644); !ok) return Out::failure(ok.error());
    if (auto ok = write_new_file(join_path(staging, signature_file), signature_text, 0644); !ok) {
        return Out::failure(ok.error());
    }
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

    const auto pem = read_file(r.key_path, 64 * 1024);
    if (!pem) return fail(pem.error());
    const auto key = parse_private_key(pem.value(), r.key_path);
    if (!key) return fail(key.error());
    const PublicBlob blob = public_blob(key.value().get());
    const auto public_key = parse_public_blob(blob, r.key_path);
    if (!public_key) return fail(public_key.error());
    if (auto ok = check_inputs(r); !ok) return fail(ok.error());

    std::string first_created;
    if (auto made = make_directories(r.folder, 0755, &first_created); !made) return fail(made.error());

    // One publisher at a time per folder.
    const unique_fd folder_lock{::open(r.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!folder_lock) return fail("cannot open " + errno_text(r.folder));
    if (::flock(folder_lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return fail("another publish is writing to " + r.folder);
    }

    // Dot-named, so neither nginx nor `serve` ever hands it out.
    std::string staging = join_path(r.folder, ".publish-XXXXXX");
    if (!::mkdtemp(staging.data())) {
        const std::string error = "cannot create a staging folder in " + errno_text(r.folder);
        remove_created_folders(r.folder, first_created);
        return fail(error);
    }
    const auto published = stage_and_install(r, key.value().get(), public_key.value().get(), staging);
    remove_flat_folder(staging);
    if (!published) {
        remove_created_folders(r.folder, first_created);
        return fail(published.error());
    }
    const Release& release = published.value();
    std::printf("published Virelo %s in %s: %s (%llu bytes, SHA-256 %s), %s, %s\n", release.version.c_str(),
                r.folder.c_str(), release.file.c_str(), static_cast<unsigned long long>(release.size),
                release.sha256.c_str(), std::string{manifest_file}.c_str(), std::string{signature_file}.c_str());
    return 0;
}

}  // namespace virelo::tool
