#include "install/image_match.h"

#include <algorithm>

namespace virelo {
namespace {

char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool exe_names_match(std::string_view snapshot_name, std::string_view file_name) {
    return std::ranges::equal(snapshot_name, file_name,
                              [](char a, char b) { return fold_ascii(a) == fold_ascii(b); });
}

}  // namespace virelo
