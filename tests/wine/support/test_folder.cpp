#include "support/test_folder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::test {

TestFolder::TestFolder(std::string_view name) : path_{path_join("C:\\virelo-tests", name)} {
    win::delete_tree(path_);
    EXPECT_TRUE(win::create_folder_chain(path_).ok());
}

TestFolder::~TestFolder() { win::delete_tree(path_); }

std::string TestFolder::file(std::string_view relative) const { return path_join(path_, relative); }

namespace {

void collect(const std::wstring& root, const std::wstring& relative, std::vector<std::string>& out) {
    WIN32_FIND_DATAW entry;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            collect(root, child, out);
        } else {
            out.push_back(win::from_wide(child));
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

std::vector<std::string> list_files(const std::string& folder) {
    std::vector<std::string> files;
    collect(win::to_wide(folder), L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<std::string> read_text(const std::string& path) {
    auto bytes = win::read_file(path);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool write_text(const std::string& path, std::string_view text) {
    return win::write_file(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}).ok();
}

bool file_exists(const std::string& path) { return win::path_exists(path); }

void remove_if_present(const std::string& path) {
    if (!win::path_exists(path)) return;
    const OsResult removed = win::delete_file(path);
    EXPECT_TRUE(removed.ok()) << path << ": " << removed.error();
}

std::uint64_t last_write(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win::to_wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

void backdate(const std::string& path) {
    const win::unique_file file{CreateFileW(win::to_wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    SYSTEMTIME then{};
    then.wYear = 2001;
    then.wMonth = 2;
    then.wDay = 3;
    FILETIME time{};
    SystemTimeToFileTime(&then, &time);
    SetFileTime(file.get(), nullptr, nullptr, &time);
}

bool wait_until_gone(const std::string& path, unsigned long timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (win::path_exists(path)) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
    return true;
}

}  // namespace virelo::test
