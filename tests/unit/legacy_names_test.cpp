#include "migration/legacy_names.h"

#include <gtest/gtest.h>

namespace virelo {
namespace {

TEST(LegacyNames, FromProfileAndFromEmptyEnvironment) {
    const auto profile = legacy::names("C:\\Users\\a\\AppData\\Local", "C:\\Users\\a\\AppData\\Roaming", "C:\\P", "C:\\D");
    EXPECT_EQ(profile.folder, "C:\\Users\\a\\AppData\\Local\\Programs\\Dockling");
    EXPECT_EQ(profile.executable, "C:\\Users\\a\\AppData\\Local\\Programs\\Dockling\\Dockling.exe");
    EXPECT_EQ(profile.local_data_folder, "C:\\Users\\a\\AppData\\Local\\Dockling");
    EXPECT_EQ(profile.roaming_data_folder, "C:\\Users\\a\\AppData\\Roaming\\Dockling");
    EXPECT_EQ(profile.start_menu_shortcut, "C:\\P\\Dockling.lnk");
    EXPECT_EQ(profile.desktop_shortcut, "C:\\D\\Dockling.lnk");

    // Unset variables and unresolved folders: names relative to the current
    // folder, which the migration must recognise and leave alone.
    const auto bare = legacy::names("", "", "", "");
    EXPECT_EQ(bare.folder, "Programs\\Dockling");
    EXPECT_EQ(bare.executable, "Programs\\Dockling\\Dockling.exe");
    EXPECT_EQ(bare.local_data_folder, "Dockling");
    EXPECT_EQ(bare.roaming_data_folder, "Dockling");
    EXPECT_EQ(bare.start_menu_shortcut, "Dockling.lnk");
    EXPECT_EQ(bare.desktop_shortcut, "Dockling.lnk");
}

TEST(AutostartCommand, QuotesPathsWithSpaces) {
    EXPECT_EQ(legacy::autostart_command("C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe"),
              "\"C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe\" --autostart");
    EXPECT_EQ(legacy::autostart_command("C:\\Users\\Ann Lee\\V.exe"), "\"C:\\Users\\Ann Lee\\V.exe\" --autostart");
}

}  // namespace
}  // namespace virelo
