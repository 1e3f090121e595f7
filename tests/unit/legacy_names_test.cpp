#include "migration/legacy_names.h"

#include <gtest/gtest.h>

#include "uninstall/folder_removal.h"

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

TEST(RemovalCommands, QuotePathsWithSpaces) {
    EXPECT_EQ(legacy::autostart_command("C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe"),
              "\"C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe\" --autostart");
    EXPECT_EQ(legacy::autostart_command("C:\\Users\\Ann Lee\\V.exe"), "\"C:\\Users\\Ann Lee\\V.exe\" --autostart");
    EXPECT_EQ(folder_removal_command("C:\\t\\Programs\\Virelo"),
              "cmd.exe /c ping 127.0.0.1 -n 3 >nul & rmdir /s /q \"C:\\t\\Programs\\Virelo\"");
    EXPECT_EQ(folder_removal_command("C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\Virelo"),
              "cmd.exe /c ping 127.0.0.1 -n 3 >nul & rmdir /s /q \"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\Virelo\"");
}

}  // namespace
}  // namespace virelo
