// The registry values of the installation, read back from the prefix's
// HKEY_CURRENT_USER in test mode.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/registration.h"
#include "support/registry.h"
#include "support/scoped_variable.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using test::RegistryValue;

constexpr char test_root[] = "Software\\VireloSetupTest";
// The names a normal-mode run would write; test mode must leave them alone.
constexpr const char* real_keys[] = {"Software\\Virelo",
                                     "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo"};

// REG_SZ data as stored: UTF-16LE with the terminating NUL.
RegistryValue sz(std::string_view text) {
    RegistryValue value{REG_SZ, {}};
    const std::wstring wide = win::to_wide(text);
    for (wchar_t unit : wide) {
        value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    value.data.insert(value.data.end(), {0, 0});
    return value;
}

RegistryValue dword(std::uint32_t number) {
    return {REG_DWORD,
            {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
             static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)}};
}

void expect_value(std::string_view key, std::string_view name, const RegistryValue& expected) {
    SCOPED_TRACE(std::string{name});
    const auto value = test::read_value(key, name);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, expected.type);
    EXPECT_EQ(value->data, expected.data);
}

// The values directly in the key (its dump also lists the key itself).
std::size_t value_count(std::string_view key) {
    std::size_t count = 0;
    for (const auto& line : test::dump_tree(key)) count += line.find(" : ") != std::string::npos;
    return count;
}

Release release_of(std::string version, std::uint64_t size) {
    Release release;
    release.version = std::move(version);
    release.file = "Virelo.exe";
    release.size = size;
    release.sha256 = std::string(64, 'a');
    return release;
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::delete_key_tree(test_root);
        for (const char* key : real_keys) real_before_.push_back(test::dump_tree(key));
    }
    void TearDown() override {
        for (std::size_t i = 0; i < std::size(real_keys); ++i) {
            EXPECT_EQ(test::dump_tree(real_keys[i]), real_before_[i]) << real_keys[i];
        }
        test::delete_key_tree(test_root);
    }

    // A folder with a space, so the uninstall command needs its quotes.
    test::TestFolder folder_{"registration with spaces"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    std::vector<std::vector<std::string>> real_before_;
};

TEST_F(RegistrationTest, UninstallEntryHasItsNineValues) {
    const std::string key = uninstall_key();
    ASSERT_EQ(key, "Software\\VireloSetupTest\\Uninstall");
    test::write_string(key, "Comments", "added by someone else");
    test::write_string(key, "DisplayVersion", "0.1");

    write_uninstall_entry(release_of("2.0.1-\xCE\xB2", 10u * 1024 * 1024));  // 2.0.1-β

    const std::string folder = folder_.path() + "\\Programs\\Virelo";
    expect_value(key, "DisplayName", sz("Virelo"));
    expect_value(key, "DisplayVersion", sz("2.0.1-\xCE\xB2"));
    expect_value(key, "Publisher", sz("Halvik"));
    expect_value(key, "DisplayIcon", sz(folder + "\\Virelo.exe"));
    expect_value(key, "InstallLocation", sz(folder));
    expect_value(key, "UninstallString", sz("\"" + folder + "\\VireloSetup.exe\" --uninstall"));
    expect_value(key, "NoModify", dword(1));
    expect_value(key, "NoRepair", dword(1));
    expect_value(key, "EstimatedSize", dword(10 * 1024 + 400));
    expect_value(key, "Comments", sz("added by someone else"));
    EXPECT_EQ(value_count(key), 10u);
}

TEST_F(RegistrationTest, EstimatedSizeInKilobytesPlus400) {
    struct Case {
        std::uint64_t bytes;
        std::uint32_t kb;
    };
    for (const Case c : {Case{1023, 400}, Case{1024, 401}, Case{10u * 1024 * 1024, 10 * 1024 + 400}}) {
        SCOPED_TRACE(c.bytes);
        write_uninstall_entry(release_of("1.0.0", c.bytes));
        EXPECT_EQ(test::read_dword(uninstall_key(), "EstimatedSize"), c.kb);
    }
}

TEST_F(RegistrationTest, SiteIsStoredAndReplaced) {
    write_site_value("https://old.example/virelo/");
    write_site_value("https://releases.example/v\xC3\xAF" "relo/");
    expect_value(launcher_key(), "Site", sz("https://releases.example/v\xC3\xAFrelo/"));
    EXPECT_EQ(value_count(launcher_key()), 1u);
}

TEST_F(RegistrationTest, EmptyTextIsStoredWithItsTerminator) {
    set_string_value(launcher_key(), "Empty", "");
    expect_value(launcher_key(), "Empty", sz(""));
}

}  // namespace
}  // namespace virelo
