#include "release/url_target.h"

#include "common/win/wide.h"

namespace virelo {

std::optional<UrlTarget> crack_url(std::string_view url) {
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

    return UrlTarget{std::wstring{host, parts.dwHostNameLength}, parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS,
                     std::wstring{path, parts.dwUrlPathLength}};
}

}  // namespace virelo
