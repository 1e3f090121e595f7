#pragma once
// `virelo-release verify`: a release folder, or a live site (site_check.h),
// checked as the setup program would check them.

#include <string>
#include <vector>

namespace virelo::tool {

// `virelo-release verify --key BLOB (DIR | URL) [--ca-file FILE]`
int run_verify(const std::vector<std::string>& args);

}  // namespace virelo::tool
