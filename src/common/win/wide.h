#pragma once
// UTF-8 texts of the program to and from the system's UTF-16.

#include <string>
#include <string_view>

namespace virelo::win {

// UTF-8 to UTF-16 for a system call; c_str() gives the terminating NUL.
std::wstring to_wide(std::string_view text);

// UTF-16 from the system to UTF-8, unpaired surrogates as U+FFFD.
std::string from_wide(std::wstring_view text);

// A buffer filled by the system, up to its first NUL (the whole buffer if
// there is none).
std::string from_wide_buffer(const wchar_t* buffer, std::size_t capacity);

// True when the UTF-16 text has no unpaired surrogate.
bool is_valid_utf16(std::wstring_view text);

}  // namespace virelo::win
