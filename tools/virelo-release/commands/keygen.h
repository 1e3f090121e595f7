#pragma once

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release keygen --out DIR`: a new signing key pair, never replacing one.
int run_keygen(const std::vector<std::string>& args);

}  // namespace virelo::tool
