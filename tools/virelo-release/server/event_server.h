#pragma once
// `serve`'s event loops: one thread per processor, each with its own epoll
// set and its own connections, all accepting from the one listening socket.
// Sockets are non-blocking; no client occupies anything but its own
// connection's small state, so a thousand slow or idle ones do not delay the
// next request.

#include <signal.h>

#include "common/result.h"
#include "server/serve_settings.h"
#include "server/site_files.h"
#include "server/tls_context.h"

namespace virelo::tool {

// Serves `root` on the listening socket until one of `stop_signals` (which
// the caller has blocked) arrives. `tls` may be null for plain HTTP.
Result run_event_server(int listener, const SiteRoot& root, const TlsContext* tls, const ServeSettings& settings,
                        const sigset_t& stop_signals);

}  // namespace virelo::tool
