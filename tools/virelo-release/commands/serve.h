#pragma once

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release serve --root DIR --listen HOST:PORT [--tls-cert FILE --tls-key FILE]
//                       [--max-connections N] [--max-per-client N]`
int run_serve(const std::vector<std::string>& args);

}  // namespace virelo::tool
