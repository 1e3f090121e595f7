#include "support/registry.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::test {
namespace {

win::unique_hkey open(std::string_view key, REGSAM access) {
    win::unique_hkey handle;
    RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, access, handle.put());
    return handle;
}

void set(std::string_view key, std::string_view name, DWORD type, const void* data, DWORD size) {
    win::unique_hkey handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        handle.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(handle.get(), win::to_wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

void dump(HKEY key, const std::string& path, std::vector<std::string>& out) {
    out.push_back(path + "\\");
    wchar_t name[16384];
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD name_length = 16384, size = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueW(key, i, name, &name_length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        std::string line = path + " : " + win::from_wide({name, name_length}) + " = " + std::to_string(type) + ":";
        char hex[3];
        for (DWORD b = 0; b < size; ++b) {
            std::snprintf(hex, sizeof hex, "%02x", data[b]);
            line += hex;
        }
        out.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        DWORD name_length = 16384;
        if (RegEnumKeyExW(key, i, name, &name_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        win::unique_hkey child;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, child.put()) == ERROR_SUCCESS) {
            dump(child.get(), path + "\\" + win::from_wide({name, name_length}), out);
        }
    }
}

// An empty DACL denies everything; a null DACL allows everything.
void set_dacl(std::string_view key, bool empty) {
    win::unique_hkey handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, WRITE_DAC, handle.put()) != ERROR_SUCCESS) {
        return;
    }
    ACL acl;
    InitializeAcl(&acl, sizeof acl, ACL_REVISION);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, empty ? &acl : nullptr, FALSE);
    RegSetKeySecurity(handle.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

}  // namespace

LockedKey::LockedKey(std::string key) : key_{std::move(key)} {
    write_string(key_, "Secret", "1");
    set_dacl(key_, true);
}

LockedKey::~LockedKey() { set_dacl(key_, false); }

bool key_exists(std::string_view key) { return static_cast<bool>(open(key, KEY_READ)); }

std::optional<RegistryValue> read_value(std::string_view key, std::string_view name) {
    auto handle = open(key, KEY_READ);
    if (!handle) return std::nullopt;
    const std::wstring wide_name = win::to_wide(name);
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(handle.get(), wide_name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue value;
    value.type = type;
    value.data.resize(size);
    if (RegQueryValueExW(handle.get(), wide_name.c_str(), nullptr, &type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

std::optional<std::string> read_string(std::string_view key, std::string_view name) {
    auto value = read_value(key, name);
    if (!value || value->type != REG_SZ) return std::nullopt;
    std::wstring text(value->data.size() / 2, L'\0');
    std::copy_n(value->data.data(), text.size() * 2, reinterpret_cast<std::uint8_t*>(text.data()));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return win::from_wide(text);
}

std::optional<DWORD> read_dword(std::string_view key, std::string_view name) {
    auto value = read_value(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    DWORD number = 0;
    std::copy_n(value->data.data(), 4, reinterpret_cast<std::uint8_t*>(&number));
    return number;
}

std::optional<std::uint64_t> read_qword(std::string_view key, std::string_view name) {
    auto value = read_value(key, name);
    if (!value || value->type != REG_QWORD || value->data.size() != 8) return std::nullopt;
    std::uint64_t number = 0;
    std::copy_n(value->data.data(), 8, reinterpret_cast<std::uint8_t*>(&number));
    return number;
}

void write_string(std::string_view key, std::string_view name, std::string_view text) {
    const std::wstring wide = win::to_wide(text);
    set(key, name, REG_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void write_dword(std::string_view key, std::string_view name, DWORD value) {
    set(key, name, REG_DWORD, &value, sizeof value);
}

void write_qword(std::string_view key, std::string_view name, std::uint64_t value) {
    set(key, name, REG_QWORD, &value, sizeof value);
}

void write_raw(std::string_view key, std::string_view name, DWORD type, const std::vector<std::uint8_t>& data) {
    set(key, name, type, data.data(), static_cast<DWORD>(data.size()));
}

void delete_key_tree(std::string_view key) { RegDeleteTreeW(HKEY_CURRENT_USER, win::to_wide(key).c_str()); }

std::vector<std::string> dump_tree(std::string_view key) { return dump_tree(HKEY_CURRENT_USER, key); }

std::vector<std::string> dump_tree(HKEY root, std::string_view key) {
    std::vector<std::string> lines;
    win::unique_hkey handle;
    if (RegOpenKeyExW(root, win::to_wide(key).c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS) {
        dump(handle.get(), std::string{key}, lines);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::size_t value_count(std::string_view key) {
    std::size_t count = 0;
    for (const auto& line : dump_tree(key)) count += line.rfind(std::string{key} + " : ", 0) == 0;
    return count;
}

}  // namespace virelo::test
