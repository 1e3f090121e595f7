// virelo-release: the publisher's tool. Makes the signing key, publishes a
// release folder the setup program accepts, checks one as the setup program
// would, and serves one over HTTP(S).

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "keygen.h"
#include "publish.h"
#include "serve.h"
#include "verify.h"

namespace {

constexpr const char usage[] =
    "usage:\n"
    "  virelo-release keygen --out DIR\n"
    "      Makes a new ECDSA P-256 signing key: DIR/signing-key.pem (PKCS#8, mode 0600)\n"
    "      and DIR/signing-key.pub (the 72-byte public key for VIRELO_SIGNING_KEY).\n"
    "      Never replaces an existing key.\n"
    "  virelo-release publish --key PEM --exe FILE --version V [--name FILE_NAME] --out DIR\n"
    "      Writes FILE (as FILE_NAME, default its own name), manifest.json, manifest.sig\n"
    "      and release.exe into DIR, checked before they are moved into place.\n"
    "  virelo-release verify --key BLOB DIR\n"
    "      Checks DIR as the setup program would: signature, manifest, executable.\n"
    "  virelo-release serve --root DIR --listen HOST:PORT [--tls-cert FILE --tls-key FILE]\n"
    "                      [--max-connections N] [--max-per-client N]\n"
    "      Serves DIR: /api/release?f=manifest|sig|exe and its static files, GET and HEAD\n"
    "      only. At most N connections in all (default 1024) and per client address\n"
    "      (default 128; raise it behind a proxy, where every client has its address).\n"
    "      Port 0 picks a free port; the first output line names the address.\n";

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
    if (args.empty()) return fail("missing command (keygen, publish, verify or serve; see --help)", exit_usage);
    if (wants_help(args) || args.front() == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "keygen") return run_keygen(args);
    if (command == "publish") return run_publish(args);
    if (command == "verify") return run_verify(args);
    if (command == "serve") return run_serve(args);
    return fail("unknown command " + command + " (keygen, publish, verify or serve; see --help)", exit_usage);
}
