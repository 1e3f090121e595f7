#include "publishing/names.h"

#include <string>

#include "release/release.h"

namespace virelo::tool {
namespace {

bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool only(std::string_view text, std::string_view punctuation) {
    for (const char c : text) {
        if (!is_alnum(c) && punctuation.find(c) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace

Result check_version(std::string_view version) {
    const std::string shown = "version \"" + std::string{version} + "\"";
    if (version.empty() || version.size() > 64) return Result::failure(shown + " must have 1 to 64 characters");
    if (!only(version, ".+_-")) return Result::failure(shown + " may hold only letters, digits and . + _ -");
    if (version.front() == '.' || version.back() == '.') {
        return Result::failure(shown + " must not start or end with '.'");
    }
    return Result::success();
}

Result check_file_name(std::string_view name) {
    const std::string shown = "file name \"" + std::string{name} + "\"";
    if (name.size() > 200) return Result::failure(shown + " is longer than 200 characters");
    if (!only(name, "._-")) return Result::failure(shown + " may hold only letters, digits and . _ -");
    if (!name.empty() && name.front() == '.') return Result::failure(shown + " must not start with '.'");
    if (!is_acceptable_file_name(name)) {
        return Result::failure(shown + " is refused by the setup program (it must end in .exe and hold no \"..\")");
    }
    return Result::success();
}

}  // namespace virelo::tool
