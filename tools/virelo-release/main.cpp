// virelo-release: the publisher's tool. Makes the signing key, signs Windows
// executables with Authenticode, publishes a release folder the setup program
// accepts and renews its signature, checks a folder or a live site as the
// setup program would, shows what a finished setup program has built in, and
// serves a release folder over HTTP(S).

#include <openssl/crypto.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/version.h"
#include "commands/cli.h"
#include "commands/inspect.h"
#include "commands/keygen.h"
#include "commands/publish.h"
#include "commands/refresh.h"
#include "commands/serve.h"
#include "commands/sign.h"
#include "commands/verify.h"

namespace {

constexpr const char usage[] =
    "usage:\n"
    "  virelo-release keygen --out DIR\n"
    "      Makes a new ECDSA P-256 signing key: DIR/signing-key.pem (PKCS#8, mode 0600)\n"
    "      and DIR/signing-key.pub (the 72-byte public key for VIRELO_SIGNING_KEY).\n"
    "      Never replaces an existing key.\n"
    "  virelo-release inspect FILE\n"
    "      Shows what a built VireloSetup.exe trusts: the fingerprints of its signing keys,\n"
    "      its default release site, its version and whether it carries an Authenticode signature.\n"
    "  virelo-release sign --cert FILE [--key FILE] [--password-file FILE] [--timestamp URL]\n"
    "                      [--description TEXT] [--out FILE] EXE\n"
    "      Signs EXE with Authenticode through osslsigncode: --cert is a PKCS#12 file, or a PEM\n"
    "      certificate with its --key. Sign Virelo.exe before publish (a file the manifest\n"
    "      beside it names is refused); VireloSetup.exe any time.\n"
    "  virelo-release publish --key PEM --exe FILE --version V [--name FILE_NAME] --out DIR\n"
    "                         [--serial N] [--expires-in DAYS] [--deltas N] [--require-authenticode]\n"
    "                         [--force]\n"
    "      Writes FILE (as FILE_NAME, default its own name), release.exe, a gzip copy, deltas\n"
    "      from the last N executables DIR published (default 3, 0 for none), manifest.sig and\n"
    "      manifest.json into DIR, checked before they are moved into place. The manifest's\n"
    "      serial is the previous one + 1 (or N, which must be higher); --expires-in sets its\n"
    "      expiry; it names the signing key. V must match FILE's version resource unless --force.\n"
    "  virelo-release refresh --key PEM --out DIR [--expires-in DAYS]\n"
    "      Signs DIR's manifest again with the next serial and a new expiry, nothing else changed.\n"
    "  virelo-release verify --key BLOB [--require-authenticode] DIR\n"
    "  virelo-release verify --key BLOB [--ca-file FILE] [--require-authenticode] URL\n"
    "      Checks a release folder, or a live http(s) site end to end, as the setup program would:\n"
    "      signature, manifest, expiry, executable; for a site also caching, the release API\n"
    "      against the static files, and release.exe.\n"
    "  virelo-release serve --root DIR --listen HOST:PORT [--prefix /PATH/]\n"
    "                      [--tls-cert FILE --tls-key FILE] [--max-connections N] [--max-per-client N]\n"
    "      Serves DIR: /api/release?f=manifest|sig|exe and its static files, GET and HEAD\n"
    "      only. With --prefix (starting and ending with /, default /) the site lies under\n"
    "      that path, /PATH/api/release and /PATH/FILE, and every other path is not found.\n"
    "      At most N connections in all (default 1024) and per client address\n"
    "      (default 128; raise it behind a proxy, where every client has its address).\n"
    "      Port 0 picks a free port; the first output line names the address and prefix.\n"
    "  virelo-release --version\n";

constexpr std::string_view commands = "keygen, inspect, sign, publish, refresh, verify or serve; see --help";

bool wants_help(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace virelo::tool;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.empty()) return fail("missing command (" + std::string{commands} + ")", exit_usage);
    if (wants_help(args) || args.front() == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (args.front() == "--version") {
        std::printf("virelo-release %.*s (%s)\n", static_cast<int>(tool_version.size()), tool_version.data(),
                    OpenSSL_version(OPENSSL_VERSION));
        return 0;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "keygen") return run_keygen(args);
    if (command == "inspect") return run_inspect(args);
    if (command == "sign") return run_sign(args);
    if (command == "publish") return run_publish(args);
    if (command == "refresh") return run_refresh(args);
    if (command == "verify") return run_verify(args);
    if (command == "serve") return run_serve(args);
    return fail("unknown command " + command + " (" + std::string{commands} + ")", exit_usage);
}
