#pragma once

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release publish --key PEM --exe FILE --version V [--name NAME] --out DIR`
int run_publish(const std::vector<std::string>& args);

}  // namespace virelo::tool
