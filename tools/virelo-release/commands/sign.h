#pragma once

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release sign --cert FILE [--key FILE] [--password-file FILE]
//  [--timestamp URL] [--description TEXT] [--out FILE] EXE`: an Authenticode
// signature through osslsigncode.
int run_sign(const std::vector<std::string>& args);

}  // namespace virelo::tool
