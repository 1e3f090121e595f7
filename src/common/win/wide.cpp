#include "common/win/wide.h"

#include "common/utf.h"

namespace virelo::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

std::wstring to_wide(std::string_view text) {
    const std::u16string units = utf8_to_utf16(text);
    return std::wstring(units.begin(), units.end());
}

std::string from_wide(std::wstring_view text) {
    return utf16_to_utf8(std::u16string_view{reinterpret_cast<const char16_t*>(text.data()), text.size()});
}

std::string from_wide_buffer(const wchar_t* buffer, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && buffer[length] != L'\0') ++length;
    return from_wide({buffer, length});
}

bool is_valid_utf16(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return false;
        }
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
    }
    return true;
}

}  // namespace virelo::win
