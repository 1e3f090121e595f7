#pragma once
// The one WinHTTP session of a run. Every request of the run goes through it,
// so connections to the site are kept alive and reused (on Windows each
// session has its own connection pool).

#include <windows.h>
#include <winhttp.h>

#include <chrono>

#include "common/win/unique_resource.h"
#include "release/transfer_limits.h"

namespace virelo {

namespace detail {
struct hinternet_traits {
    using type = HINTERNET;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::WinHttpCloseHandle(h); }
};
}  // namespace detail
using unique_hinternet = win::unique_resource<detail::hinternet_traits>;

class HttpSession {
public:
    // Opens the session with automatic proxy detection and the client's
    // timeouts. A session that could not be opened makes every request fail
    // with "network unavailable".
    explicit HttpSession(std::chrono::milliseconds receive = receive_timeout);
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    HINTERNET handle() const noexcept { return root_.get(); }
    // How long a transfer may receive nothing, and the most any wait takes.
    std::chrono::milliseconds receive() const noexcept { return receive_; }

private:
    unique_hinternet root_;
    std::chrono::milliseconds receive_;
};

}  // namespace virelo
