#include "common/manifest.h"

#include "common/decimal.h"

#include "common/utf.h"
#include "common/white_space.h"

namespace virelo {
namespace {

// Position of the first character at or after `pos` that is not white space.
std::size_t skip_white_space(std::string_view text, std::size_t pos) {
    while (pos < text.size()) {
        std::size_t next = pos;
        if (!is_white_space(next_code_point(text, next))) break;
        pos = next;
    }
    return pos;
}

// Where the value of `key` begins: after the first "key", a ':' and white
// space. Only the first occurrence counts, even when it turns out not to be
// a key.
std::optional<std::size_t> value_start(std::string_view text, std::string_view key) {
    std::string needle;
    needle.reserve(key.size() + 2);
    needle += '"';
    needle += key;
    needle += '"';
    const std::size_t found = text.find(needle);
    if (found == std::string_view::npos) return std::nullopt;
    const std::size_t pos = skip_white_space(text, found + needle.size());
    if (pos >= text.size() || text[pos] != ':') return std::nullopt;
    return skip_white_space(text, pos + 1);
}

// The end (one past the '}') of the object that opens at `open`, or npos.
std::size_t object_end(std::string_view text, std::size_t open) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            in_string = !in_string;
        } else if (!in_string && c == '{') {
            ++depth;
        } else if (!in_string && c == '}' && --depth == 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> manifest_object(std::string_view text, std::string_view key) {
    const auto start = value_start(text, key);
    if (!start) return std::nullopt;
    const std::size_t pos = *start;
    if (pos >= text.size() || text[pos] != '{') return std::nullopt;
    const std::size_t end = object_end(text, pos);
    if (end == std::string_view::npos) return std::nullopt;
    return text.substr(pos, end - pos);
}

std::vector<ObjectMember> manifest_object_members(std::string_view object, std::size_t limit) {
    std::vector<ObjectMember> members;
    if (object.size() < 2 || object.front() != '{') return members;
    std::size_t pos = 1;
    while (members.size() < limit) {
        pos = skip_white_space(object, pos);
        if (pos < object.size() && object[pos] == ',' && !members.empty()) pos = skip_white_space(object, pos + 1);
        if (pos >= object.size() || object[pos] != '"') break;
        const std::size_t close = object.find('"', pos + 1);
        if (close == std::string_view::npos) break;
        const std::string_view key = object.substr(pos + 1, close - pos - 1);
        pos = skip_white_space(object, close + 1);
        if (pos >= object.size() || object[pos] != ':') break;
        pos = skip_white_space(object, pos + 1);
        if (pos >= object.size() || object[pos] != '{') break;
        const std::size_t end = object_end(object, pos);
        if (end == std::string_view::npos) break;
        members.push_back({key, object.substr(pos, end - pos)});
        pos = end;
    }
    return members;
}

std::optional<std::string> manifest_field(std::string_view text, std::string_view key) {
    const auto start = value_start(text, key);
    if (!start) return std::nullopt;
    const std::size_t pos = *start;

    if (pos < text.size() && text[pos] == '"') {
        // No escapes: a backslash is an ordinary character.
        const std::size_t close = text.find('"', pos + 1);
        if (close == std::string_view::npos) return std::nullopt;
        return std::string{text.substr(pos + 1, close - pos - 1)};
    }

    std::size_t end = pos;
    while (end < text.size() && text[end] != ',' && text[end] != '}') {
        std::size_t next = end;
        if (is_white_space(next_code_point(text, next))) break;
        end = next;
    }
    return std::string{text.substr(pos, end - pos)};
}

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return parse_decimal(text);
}

}  // namespace virelo
