#pragma once

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release refresh --key PEM --out DIR [--expires-in DAYS]`: signs the
// current manifest again with the next serial and a new expiry, nothing else
// changed, so installed copies stay current and keep accepting the site.
int run_refresh(const std::vector<std::string>& args);

}  // namespace virelo::tool
