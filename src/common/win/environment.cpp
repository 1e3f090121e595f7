#include "common/win/environment.h"

#include <windows.h>

#include "common/win/wide.h"

namespace virelo::win {
namespace {

// The raw UTF-16 value, or nothing when the variable does not exist.
std::optional<std::wstring> read_variable(std::string_view name) {
    const std::wstring wide_name = to_wide(name);
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                static_cast<DWORD>(value.size()));
        if (n == 0) {
            // An empty value also returns 0; only a missing variable sets this error.
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::wstring{};
        }
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n includes the terminating NUL when the buffer was too small
    }
}

}  // namespace

std::optional<std::string> test_folder() {
    auto value = read_variable("DK_SETUP_TEST");
    if (!value) return std::nullopt;
    return from_wide(*value);
}

std::string env_text(std::string_view name) {
    const auto value = read_variable(name);
    if (!value || !is_valid_utf16(*value)) return {};
    return from_wide(*value);
}

std::string own_module_path() {
    constexpr DWORD longest_path = 32768;
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return from_wide({buffer.data(), length});
        // A full buffer means the path was cut short.
        if (buffer.size() >= longest_path) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace virelo::win
