#pragma once
// A private folder for one test inside the prefix, removed afterwards.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelo::test {

class TestFolder {
public:
    // C:\virelo-tests\<name>, emptied if it exists.
    explicit TestFolder(std::string_view name);
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;
    ~TestFolder();

    const std::string& path() const { return path_; }
    std::string file(std::string_view relative) const;

private:
    std::string path_;
};

// Every file below `folder`, as relative paths with '\', sorted.
std::vector<std::string> list_files(const std::string& folder);

std::optional<std::string> read_text(const std::string& path);

// Deletes the file if there is one; a failure to delete fails the test.
void remove_if_present(const std::string& path);
bool write_text(const std::string& path, std::string_view text);
bool file_exists(const std::string& path);

// The file's last-write time (0 when it cannot be read), and a way to date a
// file back to 2001 so that any rewrite shows in it.
std::uint64_t last_write(const std::string& path);
void backdate(const std::string& path);

// Waits up to `timeout_ms` for `path` to disappear (a folder removal that runs
// after the program has ended); whether it did.
bool wait_until_gone(const std::string& path, unsigned long timeout_ms);

}  // namespace virelo::test
