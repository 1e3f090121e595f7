#include "install/image_match.h"

#include "common/ascii.h"

namespace virelo {

bool exe_names_match(std::string_view snapshot_name, std::string_view file_name) {
    return equals_ascii_nocase(snapshot_name, file_name);
}

}  // namespace virelo
