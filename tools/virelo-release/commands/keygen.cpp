#include "commands/keygen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/file_io.h"
#include "commands/cli.h"
#include "signing/key_files.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

constexpr std::string_view private_key_file = "signing-key.pem";
constexpr std::string_view public_key_file = "signing-key.pub";

// Writes `bytes` to a fresh temporary in `folder` with `mode`, then links it
// to `path`: the key file appears complete or not at all, and link() refuses
// an existing name, so a key is never overwritten even by a concurrent run.
Result create_key_file(const std::string& folder, const std::string& path, std::string_view bytes, mode_t mode) {
    std::string temp = join_path(folder, ".signing-key.XXXXXX");
    // mkstemp creates the file with mode 0600 and O_EXCL.
    unique_fd fd{::mkstemp(temp.data())};
    if (!fd) return Result::failure("cannot create a file in " + errno_text(folder));
    Result written = write_all(fd.get(), bytes, temp);
    if (written && ::fchmod(fd.get(), mode) != 0) written = Result::failure("cannot set mode of " + errno_text(temp));
    if (written && ::fsync(fd.get()) != 0) written = Result::failure("cannot write " + errno_text(temp));
    if (written && ::link(temp.c_str(), path.c_str()) != 0) {
        written = Result::failure(errno == EEXIST ? path + " already exists; refusing to overwrite a signing key"
                                                  : "cannot create " + errno_text(path));
    }
    ::unlink(temp.c_str());
    return written;
}

}  // namespace

int run_keygen(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--out"});
    if (!parsed) return fail(parsed.error(), exit_usage);
    if (!parsed.value().has("--out")) return fail("keygen needs --out DIR", exit_usage);
    const std::string folder = parsed.value().get("--out");
    const std::string private_path = join_path(folder, private_key_file);
    const std::string public_path = join_path(folder, public_key_file);

    for (const auto& path : {private_path, public_path}) {
        if (path_exists(path)) return fail(path + " already exists; refusing to overwrite a signing key");
    }

    const auto key = generate_signing_key();
    if (!key) return fail(key.error());
    const auto pem = private_key_pem(key.value().get());
    if (!pem) return fail(pem.error());
    const PublicBlob blob = public_blob(key.value().get());

    if (auto made = make_directories(folder, 0700); !made) return fail(made.error());
    if (auto ok = create_key_file(folder, private_path, pem.value(), 0600); !ok) return fail(ok.error());
    const std::string_view blob_bytes{reinterpret_cast<const char*>(blob.data()), blob.size()};
    if (auto ok = create_key_file(folder, public_path, blob_bytes, 0644); !ok) {
        ::unlink(private_path.c_str());  // ours: created a moment ago
        return fail(ok.error());
    }
    if (auto synced = sync_directory(folder); !synced) return fail(synced.error());

    std::printf("wrote %s (private: keep it secret, never commit it)\n", private_path.c_str());
    std::printf("wrote %s (make release VIRELO_SIGNING_KEY=%s builds it in)\n", public_path.c_str(),
                public_path.c_str());
    std::printf("key fingerprint %s (make release and virelo-release inspect show the same)\n",
                key_fingerprint(blob).c_str());
    return 0;
}

}  // namespace virelo::tool
