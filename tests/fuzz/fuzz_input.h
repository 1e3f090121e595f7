#pragma once
// Helpers the fuzz targets share: the input as text, cut into fields, and a
// check that stops the run with a message.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace virelo::fuzz {

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each `separator`, for targets that take several strings
// (an argument list, a path and a name); at most `limit` fields, the last
// taking the rest.
inline std::vector<std::string> fields_of(std::string_view text, char separator, std::size_t limit = 32) {
    std::vector<std::string> fields;
    while (fields.size() + 1 < limit) {
        const auto cut = text.find(separator);
        if (cut == std::string_view::npos) break;
        fields.emplace_back(text.substr(0, cut));
        text.remove_prefix(cut + 1);
    }
    fields.emplace_back(text);
    return fields;
}

[[noreturn]] inline void fail(const char* target, const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

}  // namespace virelo::fuzz
