// Throughput of the release download path under Wine: http_get beside a bare
// WinHTTP read loop on the same URL, and the SHA-256 routine. Prints figures;
// run by scripts/bench, never as a test.
//
//   release_bench URL REPETITIONS
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/win/wide.h"
#include "release/digest.h"
#include "release/http_client.h"
#include "release/url_target.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mb_per_s(std::size_t bytes, double seconds) { return bytes / 1e6 / seconds; }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The least a caller can do with WinHTTP: one request, the body read straight
// into a buffer sized from Content-Length up front. No growth, no observer.
std::size_t bare_read(const std::wstring& host, INTERNET_PORT port, const std::wstring& path) {
    HINTERNET root = WinHttpOpen(L"VireloBench/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = WinHttpConnect(root, host.c_str(), port, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    std::size_t received = 0;
    if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        wchar_t length_text[32] = {};
        DWORD size = sizeof length_text;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length_text, &size,
                            WINHTTP_NO_HEADER_INDEX);
        std::vector<std::uint8_t> body(std::wcstoull(length_text, nullptr, 10));
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
            if (received + available > body.size()) body.resize(received + available);
            DWORD read = 0;
            if (!WinHttpReadData(request, body.data() + received, available, &read) || read == 0) break;
            received += read;
        }
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (root) WinHttpCloseHandle(root);
    return received;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: release_bench URL REPETITIONS\n");
        return 2;
    }
    const std::string url = argv[1];
    const int repetitions = std::max(1, std::atoi(argv[2]));

    const auto target = virelo::crack_url(url);
    if (!target) {
        std::fprintf(stderr, "bad URL\n");
        return 2;
    }

    std::vector<double> bare_rates, get_rates;
    std::size_t body_size = 0;
    std::vector<std::uint8_t> last_body;
    // Interleaved, so that a change in the machine's load hits both alike.
    // Interleaved, and the order swapped on every run, so that a change in the
    // machine's load or a warm cache favours neither.
    for (int i = 0; i < repetitions; ++i) {
        double bare_rate = 0;
        std::size_t bare = 0;
        const auto run_bare = [&] {
            const auto start = Clock::now();
            bare = bare_read(target->host, target->port, target->object);
            bare_rate = mb_per_s(bare, seconds_since(start));
        };
        if (i % 2 == 0) run_bare();

        const auto start = Clock::now();
        const virelo::HttpSession session;
        auto body = virelo::http_get(session, url);
        const double elapsed = seconds_since(start);
        if (!body) {
            std::fprintf(stderr, "http_get failed: %s\n", body.error().c_str());
            return 1;
        }
        if (i % 2 == 1) run_bare();
        if (body.value().size() != bare) {
            std::fprintf(stderr, "sizes differ: http_get %zu, bare loop %zu\n", body.value().size(), bare);
            return 1;
        }
        body_size = bare;
        bare_rates.push_back(bare_rate);
        get_rates.push_back(mb_per_s(body.value().size(), elapsed));
        std::printf("  run %d: bare loop %7.1f MB/s   http_get %7.1f MB/s\n", i + 1, bare_rate, get_rates.back());
        std::fflush(stdout);
        if (i + 1 == repetitions) last_body = std::move(body).value();
    }
    const double bare = median(bare_rates);
    const double get = median(get_rates);
    std::printf("download of %zu bytes, median of %d: bare WinHTTP loop %.1f MB/s, http_get %.1f MB/s; "
                "http_get takes %.3fx the bare loop's time\n",
                body_size, repetitions, bare, get, bare / get);

    std::vector<double> hash_rates;
    std::string digest;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        digest = virelo::sha256_hex(last_body);
        hash_rates.push_back(mb_per_s(last_body.size(), seconds_since(start)));
    }
    std::printf("sha256 (BCryptHash) of %zu bytes: %.1f MB/s (median of 3)\nsha256 %s\n", last_body.size(),
                median(hash_rates), digest.c_str());
    return 0;
}
