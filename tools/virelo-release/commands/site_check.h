#pragma once
// `verify URL`: a live release site checked end to end, the way the setup
// program reads it (the release API, then the static files), plus what the
// setup program cannot see: that both sources agree, that the manifest and
// its signature are never served from a cache, that the fixed-name copy of
// the executable is not stale.

#include <optional>
#include <string>

#include "http/http_fetch.h"
#include "signing/key_files.h"

namespace virelo::tool {

// Prints one line per check and the final "OK: …" on stdout; the first
// failure is printed on stderr and ends the check. Returns the exit code.
// With `require_authenticode`, an executable without a signature is a failure.
int check_live_site(const SiteUrl& site, const PublicKey& key, const std::optional<std::string>& ca_file,
                    bool require_authenticode = false);

}  // namespace virelo::tool
