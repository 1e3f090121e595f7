#pragma once
// How a running process is matched against an executable path.

#include <string_view>

namespace virelo {

// The cheap pre-test on the snapshot's executable name: the same length in
// UTF-8 bytes and equal once A-Z are folded to a-z; every other byte must be
// equal as it is. It only keeps the walk from opening every process; the full
// image path decides.
bool exe_names_match(std::string_view snapshot_name, std::string_view file_name);

}  // namespace virelo
