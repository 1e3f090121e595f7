#include "release/http_session.h"


// MinGW's headers lack it; the value is fixed by the platform.
#ifndef WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7
#endif

namespace virelo {

HttpSession::HttpSession(std::chrono::milliseconds receive)
    : root_{WinHttpOpen(L"VireloSetup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, 0)},
      receive_{receive} {
    if (!root_) return;
    const int receive_ms = static_cast<int>(receive_.count());
    WinHttpSetTimeouts(root_.get(), 8000, 8000, 15000, receive_ms);
    // WinHttpSetTimeouts leaves the wait for the response headers at its own
    // default (90 s on Windows); a stalled site must not hold a start that long.
    DWORD response_ms = receive_ms;
    WinHttpSetOption(root_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms, sizeof response_ms);
}

}  // namespace virelo
