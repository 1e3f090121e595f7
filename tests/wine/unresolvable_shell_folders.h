#pragma once
// Makes the shell unable to resolve the Start-menu programs folder and the
// desktop for one scope: their "User Shell Folders" entries become empty
// texts, and SHGetFolderPathW then fails with an empty path. Restored after.

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "support/registry.h"

namespace virelo::test {

class UnresolvableShellFolders {
public:
    UnresolvableShellFolders() {
        for (const char* name : {"Programs", "Desktop"}) {
            saved_.emplace_back(name, read_value(key, name));
            set(name, REG_EXPAND_SZ, L"", sizeof(wchar_t));
        }
    }
    UnresolvableShellFolders(const UnresolvableShellFolders&) = delete;
    UnresolvableShellFolders& operator=(const UnresolvableShellFolders&) = delete;
    ~UnresolvableShellFolders() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                set(name, value->type, value->data.data(), static_cast<DWORD>(value->data.size()));
            } else if (auto handle = open()) {
                RegDeleteValueW(handle.get(), win::to_wide(name).c_str());
            }
        }
    }

private:
    static constexpr const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

    static win::unique_hkey open() {
        win::unique_hkey handle;
        RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, KEY_SET_VALUE, handle.put());
        return handle;
    }
    static void set(const std::string& name, DWORD type, const void* data, DWORD size) {
        if (auto handle = open()) {
            RegSetValueExW(handle.get(), win::to_wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
        }
    }

    std::vector<std::pair<std::string, std::optional<RegistryValue>>> saved_;
};

}  // namespace virelo::test
