#include "uninstall/folder_contents.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo {
namespace {

// The entry itself, never what a link points to; opened so that it can be
// marked for deletion and, for a folder, listed through the same handle (a
// second opening to list it would clash with the delete access held here).
win::unique_file open_entry(const std::wstring& path) {
    return win::unique_file{CreateFileW(path.c_str(),
                                        DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
}

// Only to ask what it is.
win::unique_file open_to_look_at(const std::wstring& path) {
    return win::unique_file{CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
}

// The path of what the handle refers to below its volume ("\\a\\b"): Wine
// gives it where it gives no final path, for paths past 260 characters.
std::wstring volume_relative_path(HANDLE handle) {
    alignas(8) std::byte buffer[sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)];
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer, sizeof buffer)) return {};
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
    return {info->FileName, info->FileNameLength / sizeof(wchar_t)};
}

// Wine names an entry without the trailing dots and spaces of its components,
// so they are left out of the comparison.
std::wstring without_trailing_dots_and_spaces(const std::wstring& path) {
    std::wstring out;
    for (const wchar_t c : path) {
        if (c == L'\\') {
            while (!out.empty() && (out.back() == L'.' || out.back() == L' ')) out.pop_back();
        }
        out.push_back(c);
    }
    while (!out.empty() && (out.back() == L'.' || out.back() == L' ')) out.pop_back();
    return out;
}

std::wstring child_path(const std::wstring& folder, const std::wstring& name) {
    return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether the handle refers to the entry at `expected` (a path as
// final_path_of gives it), not to what a link there points to.
bool is_entry_at(HANDLE handle, const std::wstring& expected) {
    std::wstring actual = win::final_path_of(handle);
    std::wstring wanted = expected;
    if (actual.empty()) {
        actual = volume_relative_path(handle);
        if (actual.empty() || wanted.size() < 2 || wanted[1] != L':') return false;
        wanted.erase(0, 2);  // the drive
    }
    return same_path(without_trailing_dots_and_spaces(actual), without_trailing_dots_and_spaces(wanted));
}

DWORD attributes_of(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return INVALID_FILE_ATTRIBUTES;
    return info.FileAttributes;
}

bool is_plain_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deleted when the handle closes. A read-only entry is made writable first,
// as deletion requires; through the handle, so that a link's own attributes
// change, never its target's.
void mark_for_deletion(HANDLE handle, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic{};  // times of zero stay as they are
        basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// The names in the folder open as `folder`.
std::vector<std::wstring> names_in(HANDLE folder) {
    std::vector<std::wstring> names;
    alignas(8) std::byte buffer[64 * 1024];
    for (auto kind = FileFullDirectoryRestartInfo;
         GetFileInformationByHandleEx(folder, kind, buffer, sizeof buffer); kind = FileFullDirectoryInfo) {
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
            const std::wstring name{entry->FileName, entry->FileNameLength / sizeof(wchar_t)};
            if (name != L"." && name != L"..") names.push_back(name);
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    return names;
}

// `folder` is a plain folder open as `handle`, whose final path is `folder_final`.
void delete_contents(const std::wstring& folder, HANDLE handle, const std::wstring& folder_final,
                     const std::wstring& keep = {}) {
    for (const std::wstring& name : names_in(handle)) {
        if (same_path(name, keep)) continue;
        const std::wstring path = child_path(folder, name);
        const win::unique_file entry = open_entry(path);
        if (!entry) continue;
        // Wine opens a symbolic link as its target, marks none of them as a
        // link, and deletes or renames the target through the link's name: an
        // entry whose final path is not its own is left as it is.
        const std::wstring expected = child_path(folder_final, name);
        if (!is_entry_at(entry.get(), expected)) continue;
        const DWORD attributes = attributes_of(entry.get());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if (is_plain_folder(attributes)) delete_contents(path, entry.get(), expected);
        // A link (symbolic link or junction) was opened as itself: only the
        // link goes.
        mark_for_deletion(entry.get(), attributes);
    }
}

std::wstring without_trailing_separators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/') && !(path.size() == 3 && path[1] == L':')) {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::vector<std::string> delete_folder_contents(std::string_view folder_utf8, std::string_view keep_utf8) {
    const std::wstring keep = win::to_wide(keep_utf8);
    const std::wstring folder = without_trailing_separators(win::to_wide(folder_utf8));
    if (folder.empty()) return {};
    const win::unique_file handle = open_entry(win::to_wide(extended_length_path(win::from_wide(folder))));
    if (!handle || !is_plain_folder(attributes_of(handle.get()))) return {};
    const std::wstring folder_final = win::final_path_of(handle.get());
    // The folder itself must be what its name says, seen from its parent.
    const auto cut = folder.find_last_of(L"\\/");
    if (cut != std::wstring::npos) {
        const std::wstring parent = folder.substr(0, cut == 2 && folder[1] == L':' ? 3 : cut);
        const win::unique_file parent_handle = open_to_look_at(parent.empty() ? L"\\" : parent);
        if (parent_handle &&
            !same_path(folder_final, child_path(win::final_path_of(parent_handle.get()), folder.substr(cut + 1)))) {
            return {};
        }
    }
    // Every entry by its exact name, whatever its length and however it ends
    // (a trailing dot or space would otherwise be cut off the name).
    delete_contents(win::to_wide(extended_length_path(win::from_wide(folder))), handle.get(), folder_final, keep);
    std::vector<std::string> left;
    for (const std::wstring& name : names_in(handle.get())) {
        if (!same_path(name, keep)) left.push_back(win::from_wide(name));
    }
    return left;
}

}  // namespace virelo
