#include "commands/sign.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/file_io.h"
#include "base/process.h"
#include "commands/cli.h"
#include "common/manifest.h"
#include "common/utf.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "publishing/release_folder.h"

namespace virelo::tool {
namespace {

constexpr std::string_view install_hint =
    "sign needs osslsigncode, which is not installed (or not on PATH); install it with "
    "'sudo apt-get install osslsigncode' (Debian, Ubuntu) and run sign again";

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The osslsigncode arguments that name the certificate and its key: a
// PKCS#12 file holds both; a PEM certificate (chain) needs --key.
Expected<std::vector<std::string>> credential_arguments(const Options& options) {
    using Out = Expected<std::vector<std::string>>;
    const std::string cert = options.get("--cert");
    const auto bytes = read_file(cert, 1 << 20);
    if (!bytes) return Out::failure(bytes.error() + " (--cert wants a PKCS#12 file, or a PEM certificate with --key)");
    std::vector<std::string> arguments;
    if (bytes.value().find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
        if (!options.has("--key")) {
            return Out::failure(cert + " is a PEM certificate; give its private key with --key FILE "
                                       "(or a PKCS#12 file, which holds both, as --cert)");
        }
        const std::string key = options.get("--key");
        if (auto readable = read_file(key, 1 << 20); !readable) return Out::failure(readable.error());
        arguments = {"-certs", cert, "-key", key};
    } else if (bytes.value().find("-----BEGIN") != std::string::npos) {
        return Out::failure(cert + " holds no certificate (\"-----BEGIN CERTIFICATE-----\"); --cert wants a "
                                   "PKCS#12 file, or a PEM certificate with --key");
    } else {
        if (options.has("--key")) {
            return Out::failure(cert + " is read as PKCS#12, which holds the key itself; leave out --key");
        }
        arguments = {"-pkcs12", cert};
    }
    if (options.has("--password-file")) {
        const std::string password_file = options.get("--password-file");
        if (auto readable = read_file(password_file, 4096); !readable) return Out::failure(readable.error());
        arguments.insert(arguments.end(), {"-readpass", password_file});
    }
    return arguments;
}

// A sign after publish breaks the release: its manifest holds the digest of
// the unsigned bytes, so every setup program would refuse the download. So a
// file that a manifest beside it names (or its release API copy) is not
// written; the message says how to sign it and publish the result.
Result refuse_if_published(const std::string& input, const std::string& output) {
    const std::string folder = folder_of(output);
    const auto manifest = read_file(join_path(folder, manifest_file));
    if (!manifest) return Result::success();
    const auto named = manifest_field(decode_utf8_lossy(manifest.value()), "file");
    const std::string name = base_name(output);
    if (named != name && name != api_executable_alias) return Result::success();
    const std::string file = named.value_or(name);
    const auto version = manifest_field(decode_utf8_lossy(manifest.value()), "version");
    const std::string signed_copy = "signed-" + base_name(input);
    return Result::failure(
        output + " is named by the release manifest beside it (" + join_path(folder, manifest_file) +
        "); signing changes its bytes, so every setup program would refuse the release. Sign before publish; to "
        "sign this release, sign a copy and publish that again: 'virelo-release sign --cert FILE --out " + signed_copy +
        " " + input + "', then 'virelo-release publish --key PEM --exe " + signed_copy + " --version " +
        version.value_or("V") + " --name " + file + " --out " + folder + "'");
}

// osslsigncode's failure in this tool's words, with the option to change;
// its own text (which names options of its own) only when nothing fits.
std::string explain_failure(const std::string& output, const std::string& input, const Options& options) {
    const auto has = [&](std::string_view text) { return output.find(text) != std::string::npos; };
    const std::string cert = options.get("--cert");
    if (has("mac verify failure") || has("Wrong password")) {
        if (!options.has("--password-file")) {
            return cert + " is protected by a password: give it with --password-file FILE (a file that holds "
                          "only the password)";
        }
        return "the password in " + options.get("--password-file") + " does not open " + cert +
               " (wrong password, or a file for another certificate)";
    }
    if (options.has("--timestamp") && (has("Connecting to") || has("timestamp") || has("Timestamp"))) {
        return "the time-stamping server " + options.get("--timestamp") +
               " could not be reached or refused the request; check the URL (your certificate authority names "
               "its RFC 3161 server) and the network, and sign again (" + input + " is unchanged)";
    }
    if (has("Unrecognized file type") || has("Initialization error")) {
        return input + " is not a file osslsigncode can sign (a Windows PE executable is wanted)";
    }
    std::string detail = output;
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    for (auto& c : detail) c = c == '\n' ? ' ' : c;
    return "osslsigncode could not sign " + input + " (its words, its options are not this tool's): " + detail;
}

}  // namespace

int run_sign(const std::vector<std::string>& args) {
    auto parsed = parse_options(args, {"--cert", "--key", "--password-file", "--timestamp", "--description", "--out"}, 1);
    if (!parsed) return fail(parsed.error(), exit_usage);
    const Options& options = parsed.value();
    if (!options.has("--cert")) {
        return fail("sign needs --cert FILE (a PKCS#12 file, or a PEM certificate with --key FILE)", exit_usage);
    }
    const auto osslsigncode = find_program("osslsigncode");
    if (!osslsigncode) return fail(install_hint);

    const std::string input = options.positional.front();
    if (auto ok = check_pe_executable(input); !ok) return fail(ok.error());
    const std::string output = options.has("--out") ? options.get("--out") : input;
    if (output != input && path_exists(output)) return fail(output + " already exists; choose another --out");
    if (options.has("--timestamp") && !options.get("--timestamp").starts_with("http")) {
        return fail("--timestamp wants the URL of an RFC 3161 time-stamping server (http:// or https://)", exit_usage);
    }
    if (auto ok = refuse_if_published(input, output); !ok) return fail(ok.error());
    const auto credentials = credential_arguments(options);
    if (!credentials) return fail(credentials.error());

    // osslsigncode writes a new file; it goes into a private folder beside the
    // target and is then renamed over it, so the target is never half written.
    const auto scratch = TempFolder::create(folder_of(output), ".virelo-sign-");
    if (!scratch) return fail(scratch.error());
    const std::string temp = join_path(scratch.value().path(), "signed.exe");

    std::vector<std::string> arguments = {"sign"};
    arguments.insert(arguments.end(), credentials.value().begin(), credentials.value().end());
    arguments.insert(arguments.end(), {"-h", "sha256"});
    if (options.has("--description")) arguments.insert(arguments.end(), {"-n", options.get("--description")});
    if (options.has("--timestamp")) arguments.insert(arguments.end(), {"-ts", options.get("--timestamp")});
    arguments.insert(arguments.end(), {"-in", input, "-out", temp});
    const auto run = run_program(*osslsigncode, arguments);
    if (!run) return fail(run.error());
    if (run.value().exit_code != 0) return fail(explain_failure(run.value().output, input, options));

    const auto signed_bytes = read_file(temp, download_limit);
    const auto image = signed_bytes ? PeView::parse(signed_bytes.value(), temp) : Expected<PeView>::failure(signed_bytes.error());
    const auto signature = image ? read_authenticode(image.value())
                                 : Expected<std::optional<AuthenticodeSignature>>::failure(image.error());
    if (!signature || !signature.value()) {
        return fail("osslsigncode reported success, but " + input + " carries no readable signature afterwards: " +
                    describe_authenticode(signature));
    }
    struct stat st {};
    const mode_t mode = ::stat(input.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0755;
    if (::chmod(temp.c_str(), mode) != 0 || ::rename(temp.c_str(), output.c_str()) != 0) {
        return fail("cannot write " + errno_text(output));
    }
    std::printf("signed %s (Authenticode, SHA-256, %s)\n", output.c_str(), describe_authenticode(signature).c_str());
    if (options.has("--timestamp")) {
        std::printf("time-stamped by %s: the signature stays valid after the certificate expires\n",
                    options.get("--timestamp").c_str());
    } else {
        std::printf("not time-stamped: the signature stops being valid when the certificate expires "
                    "(give --timestamp URL for releases)\n");
    }
    return 0;
}

}  // namespace virelo::tool
