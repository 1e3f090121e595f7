#include "common/win/files.h"

#include <algorithm>
#include <string>

#include "common/path.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::win {

bool path_exists(std::string_view path) {
    return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::vector<std::uint8_t>> read_file(std::string_view path) {
    unique_file file{CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr)) return std::nullopt;
        if (read == 0) break;  // the file shrank under us
        done += read;
    }
    bytes.resize(done);
    return bytes;
}

OsResult write_file(std::string_view path, std::span<const std::uint8_t> bytes) {
    unique_file file{CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return os_result(GetLastError());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr)) return os_result(GetLastError());
        done += written;
    }
    // Without it, a power cut after a later rename could leave the new name
    // with zeroed or missing data: the rename may reach the disk first.
    if (!FlushFileBuffers(file.get())) return os_result(GetLastError());
    return OsResult::success();
}

OsResult rename_durably(std::string_view from, std::string_view to, ExistingTarget existing) {
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (existing == ExistingTarget::replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(to_wide(from).c_str(), to_wide(to).c_str(), flags)) return os_result(GetLastError());
    return OsResult::success();
}

std::string temporary_path(std::string_view path) { return std::string{path} + ".new"; }

OsResult stage_file(std::string_view path, std::span<const std::uint8_t> bytes) {
    const std::string temporary = temporary_path(path);
    OsResult written = write_file(temporary, bytes);
    if (!written) already_failed(delete_file(temporary));
    return written;
}

OsResult commit_staged_file(std::string_view path) {
    const std::string temporary = temporary_path(path);
    OsResult renamed = rename_durably(temporary, path);
    if (!renamed) already_failed(delete_file(temporary));
    return renamed;
}

OsResult flush_file(std::string_view path) {
    const unique_file file{CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return os_result(GetLastError());
    return FlushFileBuffers(file.get()) ? OsResult::success() : os_result(GetLastError());
}

OsResult replace_file(std::string_view path, std::span<const std::uint8_t> bytes) {
    OsResult staged = stage_file(path, bytes);
    return staged ? commit_staged_file(path) : staged;
}

OsResult create_folder_chain(std::string_view path) {
    if (path.empty()) return OsResult::success();  // the current folder
    const std::wstring wide = to_wide(path);
    // Walk the prefixes that end at a separator, then the whole path. The root
    // of "C:\" or of a UNC share is never created, only what lies below it.
    for (std::size_t i = 1; i <= wide.size(); ++i) {
        if (i < wide.size() && wide[i] != L'\\' && wide[i] != L'/') continue;
        const std::wstring prefix = wide.substr(0, i);
        if (prefix.back() == L':') continue;
        const DWORD attributes = GetFileAttributesW(prefix.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (i == wide.size() && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return os_result(ERROR_ALREADY_EXISTS);
            continue;
        }
        if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) return os_result(error);
        }
    }
    return OsResult::success();
}

std::wstring final_path_of(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
            if (path.starts_with(L"\\\\?\\")) path.erase(0, 4);
            return path;
        }
        path.resize(length);
    }
    return {};
}

namespace {

std::wstring full_path_of(const std::wstring& path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return {};
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) return {};
    full.resize(written);
    return full;
}

// Deletes a read-only file: the attribute is cleared and the file marked for
// deletion through one handle opened on the entry itself, so that a link's
// own attribute changes and never its target's (SetFileAttributesW by name
// follows a link). An entry that opens as something else than its name (Wine
// opens a link as its target) is left as it is.
bool delete_read_only_entry(const std::wstring& path) {
    const unique_file entry{CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (!entry) return false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return false;
    const std::wstring own = full_path_of(path);
    const std::wstring opened = final_path_of(entry.get());
    if (own.empty() || opened.empty() ||
        CompareStringOrdinal(own.c_str(), static_cast<int>(own.size()), opened.c_str(),
                             static_cast<int>(opened.size()), TRUE) != CSTR_EQUAL) {
        return false;
    }
    FILE_BASIC_INFO writable{};  // times of zero stay as they are
    writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(entry.get(), FileBasicInfo, &writable, sizeof writable)) return false;
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

OsResult delete_file(std::string_view path) {
    const std::wstring wide = to_wide(path);
    if (DeleteFileW(wide.c_str())) return OsResult::success();
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && delete_read_only_entry(wide)) return OsResult::success();
    return os_result(error);
}

namespace {

struct find_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};
using unique_find = unique_resource<find_traits>;

void delete_tree_wide(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    unique_find find{FindFirstFileW((folder + L"\\*").c_str(), &entry)};
    if (find) {
        do {
            const std::wstring_view name{entry.cFileName};
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + L"\\" + entry.cFileName;
            const bool is_folder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            const bool is_link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
            if (is_folder && !is_link) {
                // A plain folder, no link: its attributes are its own.
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                    SetFileAttributesW(child.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
                }
                delete_tree_wide(child);
            } else if (is_folder) {
                RemoveDirectoryW(child.c_str());  // the link only, not its target
            } else if (!DeleteFileW(child.c_str()) && GetLastError() == ERROR_ACCESS_DENIED) {
                delete_read_only_entry(child);
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

void delete_tree(std::string_view path) {
    if (path.empty()) return;
    std::wstring folder = to_wide(path);
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW(folder.c_str());
        return;
    }
    delete_tree_wide(folder);
}

bool is_absolute_path(std::string_view path) {
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
    return path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
}

}  // namespace virelo::win
