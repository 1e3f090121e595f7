#include "commands/serve.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>

#include "base/file_io.h"
#include "common/decimal.h"
#include "commands/cli.h"
#include "publishing/release_folder.h"
#include "server/event_server.h"
#include "server/listen_address.h"
#include "server/serve_settings.h"
#include "server/site_answer.h"
#include "server/site_files.h"
#include "server/tls_context.h"

namespace virelo::tool {
namespace {

// Descriptors kept free beside the connections' own: the listener, epoll,
// the signal descriptor, the standard streams.
constexpr rlim_t spare_descriptors = 16;

Expected<std::optional<TlsContext>> load_tls(const Options& options) {
    using Out = Expected<std::optional<TlsContext>>;
    const bool has_cert = options.has("--tls-cert");
    if (has_cert != options.has("--tls-key")) return Out::failure("--tls-cert and --tls-key go together");
    if (!has_cert) return std::optional<TlsContext>{};
    const std::string& cert = options.get("--tls-cert");
    const std::string& key = options.get("--tls-key");
    for (const auto& path : {cert, key}) {
        if (auto readable = read_file(path); !readable) return Out::failure(readable.error());
    }
    auto context = TlsContext::load(cert, key);
    if (!context) return Out::failure(context.error());
    return std::optional<TlsContext>{std::move(context.value())};
}

Expected<std::size_t> positive_count(const Options& options, std::string_view name, std::size_t fallback) {
    if (!options.has(name)) return fallback;
    const std::string& text = options.get(name);
    const auto count = text.size() <= 6 ? parse_decimal<std::size_t>(text) : std::nullopt;
    if (!count || *count == 0) {
        return Expected<std::size_t>::failure(std::string{name} + " wants a whole number from 1 to 999999, not \"" +
                                              text + "\"");
    }
    return *count;
}

Expected<ServeSettings> read_settings(const Options& options) {
    ServeSettings settings;
    const auto total = positive_count(options, "--max-connections", settings.max_connections);
    if (!total) return Expected<ServeSettings>::failure(total.error());
    const auto per_client = positive_count(options, "--max-per-client", settings.max_per_client);
    if (!per_client) return Expected<ServeSettings>::failure(per_client.error());
    settings.max_connections = total.value();
    settings.max_per_client = per_client.value();
    if (options.has("--prefix")) {
        const std::string& prefix = options.get("--prefix");
        if (!valid_url_prefix(prefix)) {
            return Expected<ServeSettings>::failure(
                "--prefix wants the URL path the site lies under, starting and ending with /, such as /virelo/; "
                "its segments hold letters, digits, - _ ~ and . and start with no . (got \"" + prefix + "\")");
        }
        settings.prefix = prefix;
    }
    return settings;
}

// Each connection takes two descriptors at most (its socket and the file it
// sends): raise the soft limit as far as allowed, and never admit more
// connections than it leaves room for.
void fit_to_descriptor_limit(ServeSettings& settings) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = 2 * static_cast<rlim_t>(settings.max_connections) + spare_descriptors;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        settings.max_connections = limit.rlim_cur > spare_descriptors + 2 ? (limit.rlim_cur - spare_descriptors) / 2 : 1;
    }
}

}  // namespace

int run_serve(const std::vector<std::string>& args) {
    auto parsed = parse_options(
        args, {"--root", "--listen", "--prefix", "--tls-cert", "--tls-key", "--max-connections", "--max-per-client"});
    if (!parsed) return fail(parsed.error(), exit_usage);
    const Options& options = parsed.value();
    if (!options.has("--root") || !options.has("--listen")) return fail("serve needs --root DIR and --listen HOST:PORT", exit_usage);
    const auto address = parse_listen(options.get("--listen"));
    if (!address) return fail(address.error(), exit_usage);
    auto settings = read_settings(options);
    if (!settings) return fail(settings.error(), exit_usage);
    const auto root = SiteRoot::open(options.get("--root"));
    if (!root) return fail(root.error());
    if (!path_exists(join_path(options.get("--root"), manifest_file))) {
        std::fprintf(stderr, "virelo-release: warning: %s has no %s, so there is no release to serve; point --root at "
                             "the folder that publish --out wrote\n",
                     options.get("--root").c_str(), std::string{manifest_file}.c_str());
    }
    const auto tls = load_tls(options);
    if (!tls) return fail(tls.error());
    fit_to_descriptor_limit(settings.value());

    // A client that hangs up mid-answer must not end the process; the stop
    // signals arrive through the event loop's signal descriptor.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const auto listener = open_listener(address.value());
    if (!listener) return fail("cannot listen on " + options.get("--listen") + ": " + listener.error());
    std::printf("listening on %s://%s:%d%s\n", tls.value() ? "https" : "http", address.value().host.c_str(),
                listener.value().port, settings.value().prefix.c_str());
    std::fflush(stdout);

    const TlsContext* context = tls.value() ? &*tls.value() : nullptr;
    const Result served =
        run_event_server(listener.value().socket.get(), root.value(), context, settings.value(), stop_signals);
    std::fflush(stdout);
    if (!served) return fail("the server stopped unexpectedly: " + served.error());
    return 0;
}

}  // namespace virelo::tool
