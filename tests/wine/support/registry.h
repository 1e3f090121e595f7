#pragma once
// Reading and preparing registry keys of the prefix (HKEY_CURRENT_USER).

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelo::test {

struct RegistryValue {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
};

bool key_exists(std::string_view key);
std::optional<RegistryValue> read_value(std::string_view key, std::string_view name);
// A REG_SZ value without its terminating NUL; nothing for another type.
std::optional<std::string> read_string(std::string_view key, std::string_view name);
std::optional<DWORD> read_dword(std::string_view key, std::string_view name);
std::optional<std::uint64_t> read_qword(std::string_view key, std::string_view name);

void write_string(std::string_view key, std::string_view name, std::string_view text);
void write_dword(std::string_view key, std::string_view name, DWORD value);
void write_qword(std::string_view key, std::string_view name, std::uint64_t value);
// Any type with any bytes, for values the program did not write.
void write_raw(std::string_view key, std::string_view name, DWORD type, const std::vector<std::uint8_t>& data);
void delete_key_tree(std::string_view key);

// A key that exists but denies all access, for the time the object lives: an
// empty DACL, which Wine's registry enforces too. Its owner may still give it
// a null DACL again, which the destructor does.
class LockedKey {
public:
    explicit LockedKey(std::string key);
    LockedKey(const LockedKey&) = delete;
    LockedKey& operator=(const LockedKey&) = delete;
    ~LockedKey();
    bool locked() const { return !key_exists(key_); }

private:
    std::string key_;
};

// Every key and value below `key`, one line each, sorted: for comparing a
// subtree before and after a run.
std::vector<std::string> dump_tree(std::string_view key);
// The same below another root key (HKEY_LOCAL_MACHINE, say).
std::vector<std::string> dump_tree(HKEY root, std::string_view key);
// The values directly in a key.
std::size_t value_count(std::string_view key);

}  // namespace virelo::test
