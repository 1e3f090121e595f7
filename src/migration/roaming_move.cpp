#include "migration/roaming_move.h"

#include <windows.h>

#include <string_view>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo {
namespace {

struct find_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};
using unique_find = win::unique_resource<find_traits>;

constexpr DWORD absent = INVALID_FILE_ATTRIBUTES;

bool is_plain_folder(DWORD attributes) {
    return attributes != absent && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A rename, never a copy: the entry keeps its data, times and links as they are.
bool move(const std::wstring& from, const std::wstring& to) { return MoveFileExW(from.c_str(), to.c_str(), 0) != 0; }

bool merge_into(const std::wstring& from, const std::wstring& to) {
    if (!is_plain_folder(GetFileAttributesW(to.c_str()))) return false;
    bool done = true;
    WIN32_FIND_DATAW entry;
    {
        const unique_find find{FindFirstFileW((from + L"\\*").c_str(), &entry)};
        if (!find) return false;
        do {
            const std::wstring_view name{entry.cFileName};
            if (name == L"." || name == L"..") continue;
            const std::wstring source = from + L"\\" + entry.cFileName;
            const std::wstring target = to + L"\\" + entry.cFileName;
            const DWORD existing = GetFileAttributesW(target.c_str());
            if (existing == absent) {
                done = move(source, target) && done;
            } else if (is_plain_folder(entry.dwFileAttributes) && is_plain_folder(existing)) {
                done = merge_into(source, target) && done;
            }
            // Otherwise both have it: Virelo's stays, and so does the legacy one.
        } while (FindNextFileW(find.get(), &entry));
    }
    RemoveDirectoryW(from.c_str());  // only when everything went
    return done;
}

}  // namespace

bool move_roaming_data(const std::string& legacy_folder, const std::string& folder) {
    const std::wstring from = win::to_wide(legacy_folder);
    const std::wstring to = win::to_wide(folder);
    if (GetFileAttributesW(from.c_str()) == absent) return true;
    if (GetFileAttributesW(to.c_str()) == absent) return move(from, to);
    if (!is_plain_folder(GetFileAttributesW(from.c_str()))) return false;
    return merge_into(from, to);
}

}  // namespace virelo
