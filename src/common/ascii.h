#pragma once
// ASCII-only text helpers for protocol and file-name text, where case and
// blanks are ASCII by definition (HTTP tokens, URL schemes, file names); user
// text goes through unicode_lower instead.

#include <string>
#include <string_view>

namespace virelo {

constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_alnum(char c) noexcept { return is_ascii_digit(c) || is_ascii_letter(c); }

std::string ascii_lower(std::string_view text);
bool equals_ascii_nocase(std::string_view a, std::string_view b) noexcept;

// Without the spaces and tabs at both ends (HTTP's optional white space).
std::string_view trim_blanks(std::string_view text) noexcept;

}  // namespace virelo
