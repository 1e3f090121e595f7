#include "common/win/os_error.h"

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo {
namespace {

// Codes without an entry in the system table still get a readable sentence.
constexpr std::string_view unknown_error_text = "Unknown error";

}  // namespace

std::string os_error_detail(DWORD code) {
    win::unique_local<wchar_t*> buffer;  // allocated by FormatMessageW
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);

    std::wstring_view message;
    if (length != 0 && buffer) message = {buffer.get(), length};
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n')) message.remove_suffix(1);

    std::string detail = message.empty() ? std::string{unknown_error_text} : win::from_wide(message);
    detail += " (os error ";
    detail += std::to_string(code);
    detail += ')';
    return detail;
}

OsResult os_result(DWORD code) {
    return code == ERROR_SUCCESS ? OsResult::success() : OsResult::failure(os_error_detail(code), code);
}

}  // namespace virelo
