#include "migration/settings_move.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace virelo::legacy {
namespace {

TEST(SettingsMove, ApplicationKeyHasSettingsUnlessItHoldsOnlyTheLauncher) {
    struct Case {
        const char* name;
        std::size_t values;
        std::vector<std::string> subkeys;
        ApplicationKey expected;
    };
    const Case cases[] = {
        {"empty", 0, {}, ApplicationKey::without_settings},
        {"the setup program's own subkey", 0, {"Launcher"}, ApplicationKey::without_settings},
        {"its name in another case", 0, {"LAUNCHER"}, ApplicationKey::without_settings},
        {"a value of its own", 1, {"Launcher"}, ApplicationKey::with_settings},
        {"a subkey of its own", 0, {"Launcher", "Notes"}, ApplicationKey::with_settings},
        {"a name that only begins like it", 0, {"Launcher2"}, ApplicationKey::with_settings},
        {"a shorter name", 0, {"Launch"}, ApplicationKey::with_settings},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(classify_application_key(c.values, c.subkeys), c.expected);
    }
}

TEST(SettingsMove, CopyUnlessVireloHasSettingsNoCopyCouldHaveLeft) {
    struct Case {
        bool staging_exists;
        ApplicationKey application;
        bool copies;
    };
    const Case cases[] = {
        {false, ApplicationKey::absent, true},
        {false, ApplicationKey::without_settings, true},
        {false, ApplicationKey::unreadable, true},  // the copy then fails, and the legacy key stays
        {false, ApplicationKey::with_settings, false},
        // A copy was cut short: what it merged looks like settings, and is not.
        {true, ApplicationKey::with_settings, true},
        {true, ApplicationKey::absent, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "staging " << c.staging_exists << ", application key "
                                        << static_cast<int>(c.application));
        EXPECT_EQ(should_copy_settings(c.staging_exists, c.application), c.copies);
    }
}

}  // namespace
}  // namespace virelo::legacy
