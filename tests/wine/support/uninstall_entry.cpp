#include "support/uninstall_entry.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/names.h"
#include "support/registry.h"

namespace virelo::test {

void expect_uninstall_entry(std::string_view version, std::uint64_t executable_size, std::string_view site) {
    const std::string key = uninstall_key();
    EXPECT_EQ(read_string(key, "DisplayName"), "Virelo");
    EXPECT_EQ(read_string(key, "DisplayVersion"), std::string{version});
    EXPECT_EQ(read_string(key, "Publisher"), "Halvik");
    EXPECT_EQ(read_string(key, "DisplayIcon"), installed_exe_path());
    EXPECT_EQ(read_string(key, "InstallLocation"), install_dir());
    EXPECT_EQ(read_string(key, "UninstallString"), "\"" + setup_copy_path() + "\" --uninstall");
    EXPECT_EQ(read_dword(key, "NoModify"), 1u);
    EXPECT_EQ(read_dword(key, "NoRepair"), 1u);
    EXPECT_EQ(read_dword(key, "EstimatedSize"), executable_size / 1024 + 400);
    EXPECT_EQ(value_count(key), 9u);
    EXPECT_EQ(read_string(launcher_key(), "Site"), std::string{site});
}

}  // namespace virelo::test
