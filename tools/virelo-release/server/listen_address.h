#pragma once
// `--listen HOST:PORT` and the listening socket it names.

#include <string>

#include "base/file_io.h"
#include "common/result.h"

namespace virelo::tool {

struct ListenAddress {
    std::string host;       // as given, brackets kept, for messages
    std::string bind_host;  // without the brackets of an IPv6 literal
    int port = 0;           // 0: any free port
};

Expected<ListenAddress> parse_listen(const std::string& text);

struct Listener {
    unique_fd socket;  // non-blocking, listening
    int port = 0;      // the port actually bound
};

// Binds the first address the host resolves to that accepts the bind.
// SO_REUSEADDR only: a port still in TIME_WAIT can be reused, but a port
// another program listens on is refused rather than shared (SO_REUSEPORT).
// The error is the system's text for the last failure.
Expected<Listener> open_listener(const ListenAddress& address);

}  // namespace virelo::tool
