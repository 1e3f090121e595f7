#include "release/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <optional>
#include <string>

#include "common/manifest.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo {
namespace {

struct hinternet_traits {
    using type = HINTERNET;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::WinHttpCloseHandle(h); }
};
using unique_hinternet = win::unique_resource<hinternet_traits>;

using Body = std::vector<std::uint8_t>;

constexpr char bad_site_address[] = "bad site address";
constexpr char network_unavailable[] = "network unavailable";
constexpr char cannot_reach_site[] = "cannot reach the site";
constexpr char download_interrupted[] = "download interrupted";

struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::wstring object;  // path and query
};

std::optional<Target> crack_url(std::string_view url) {
    // A NUL would silently cut the URL short where the system reads it.
    if (url.find('\0') != std::string_view::npos) return std::nullopt;
    const std::wstring wide = win::to_wide(url);

    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    // Scheme text, user, password and extra information are not asked for, so
    // the query string stays part of the path.
    if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) return std::nullopt;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;

    return Target{std::wstring{host, parts.dwHostNameLength}, parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS,
                  std::wstring{path, parts.dwUrlPathLength}};
}

DWORD status_code(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// 0 when absent, longer than the buffer, or not an unsigned decimal number.
std::uint64_t content_length(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return parse_decimal_u64(win::from_wide_buffer(text, 32)).value_or(0);
}

// The end of the data. A connection closed in order before the declared
// length arrived also ends it without an error on some platforms (Wine); such
// a body is cut off, not complete.
Expected<Body> finished(Body body, std::uint64_t length) {
    if (length != 0 && body.size() < length) return Expected<Body>::failure(download_interrupted);
    return body;
}

// Zeroed room for the next `needed` bytes. The buffer's size runs ahead of
// the data in doubling steps, never past `ceiling` unless the data does:
// fresh memory costs far less touched in large blocks than a few pages
// between reads, and the data is copied a bounded number of times.
void make_room(Body& body, std::size_t needed, std::size_t ceiling) {
    if (needed <= body.size()) return;
    const std::size_t ahead = std::min(std::max<std::size_t>(body.size() * 2, 64 * 1024), ceiling);
    body.resize(std::max(needed, ahead));
}

Expected<Body> read_body(HINTERNET request, std::uint64_t length, const ProgressObserver& observer) {
    // A declared length bounds the room and is reserved at once; only address
    // space is taken until data arrives, so a false length costs little.
    const auto ceiling = static_cast<std::size_t>(std::min<std::uint64_t>(length != 0 ? length : max_body_bytes + 1,
                                                                          max_body_bytes + 1));
    Body body;
    if (length != 0) body.reserve(ceiling);
    std::size_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return Expected<Body>::failure(download_interrupted);
        if (available == 0) break;

        make_room(body, received + available, ceiling);
        DWORD read = 0;
        if (!WinHttpReadData(request, body.data() + received, available, &read)) {
            return Expected<Body>::failure(download_interrupted);
        }
        received += read;

        if (observer) observer(received, length);
        if (received > max_body_bytes) return Expected<Body>::failure(download_interrupted);
        // A successful read of nothing is the end of the response.
        if (read == 0) break;
    }
    body.resize(received);
    return finished(std::move(body), length);
}

}  // namespace

Expected<Body> http_get(std::string_view url, const ProgressObserver& observer) {
    const auto target = crack_url(url);
    if (!target) return Expected<Body>::failure(bad_site_address);

    // Declared in this order so that they close request, connection, root.
    const unique_hinternet root{WinHttpOpen(L"VireloSetup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!root) return Expected<Body>::failure(network_unavailable);
    WinHttpSetTimeouts(root.get(), 8000, 8000, 15000, 30000);

    const unique_hinternet connection{WinHttpConnect(root.get(), target->host.c_str(), target->port, 0)};
    if (!connection) return Expected<Body>::failure(cannot_reach_site);

    const unique_hinternet request{WinHttpOpenRequest(connection.get(), L"GET", target->object.c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      target->secure ? WINHTTP_FLAG_SECURE : 0)};
    if (!request) return Expected<Body>::failure(cannot_reach_site);

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return Expected<Body>::failure(cannot_reach_site);
    }

    const DWORD status = status_code(request.get());
    const std::uint64_t length = content_length(request.get());
    if (status != 200) return Expected<Body>::failure("server replied " + std::to_string(status));

    return read_body(request.get(), length, observer);
}

}  // namespace virelo
