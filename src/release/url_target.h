#pragma once
// An http or https URL split the way WinHTTP wants it: host, port, whether it
// is TLS, and the object (path and query). The one URL splitter of the
// program, its tests and its benchmarks.

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <string>
#include <string_view>

namespace virelo {

struct UrlTarget {
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::wstring object;  // path and query
};

// Nothing for a URL WinHTTP cannot split, of another scheme, or with a NUL.
std::optional<UrlTarget> crack_url(std::string_view url);

}  // namespace virelo
