#include "uninstall/folder_removal.h"

#include <gtest/gtest.h>

#include <string>

namespace virelo {
namespace {

constexpr char system_folder[] = "C:\\Windows\\system32";
constexpr char expected_command[] =
    "\"C:\\Windows\\system32\\cmd.exe\" /d /v:off /s /c \"\"C:\\Windows\\system32\\PING.EXE\" 127.0.0.1 -n 3 >nul & "
    "del /f /q \"Virelo\\VireloSetup.exe\" & rmdir \"Virelo\"\"";

// Whatever the install folder's path holds, the command is the same text and
// the path only becomes the command's current folder, which cmd.exe never
// parses.
TEST(FolderRemoval, PathIsTheWorkingFolderNeverPartOfTheCommand) {
    struct Case {
        const char* install_folder;
        const char* working_folder;
    };
    const Case cases[] = {
        {"C:\\t\\Programs\\Virelo", "C:\\t\\Programs"},
        {"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\Virelo", "C:\\Users\\Ann Lee\\AppData\\Local\\Programs"},
        // Expanded, split or escaped by cmd.exe if it ever saw them.
        {"C:\\Users\\%OS%\\AppData\\Local\\Programs\\Virelo", "C:\\Users\\%OS%\\AppData\\Local\\Programs"},
        {"C:\\Users\\a&b ^c !d! (e) %%\\Programs\\Virelo", "C:\\Users\\a&b ^c !d! (e) %%\\Programs"},
        {"C:\\t\\Programs\\Virelo\\", "C:\\t\\Programs"},
        {"\\\\server\\share\\Virelo", "\\\\server\\share"},
        {"C:\\Virelo", "C:\\"},
        {"Virelo", ""},  // relative (a test folder): the current folder
    };
    for (const auto& c : cases) {
        const auto removal = folder_removal_command(system_folder, c.install_folder, "VireloSetup.exe");
        ASSERT_TRUE(removal) << c.install_folder;
        EXPECT_EQ(removal->application, "C:\\Windows\\system32\\cmd.exe");
        EXPECT_EQ(removal->command_line, expected_command) << c.install_folder;
        EXPECT_EQ(removal->working_folder, c.working_folder) << c.install_folder;
    }
}

TEST(FolderRemoval, SystemFolderWithSpacesStaysQuoted) {
    const auto removal = folder_removal_command("D:\\Win dows\\system32", "C:\\t\\Virelo", "VireloSetup.exe");
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->application, "D:\\Win dows\\system32\\cmd.exe");
    EXPECT_EQ(removal->command_line,
              "\"D:\\Win dows\\system32\\cmd.exe\" /d /v:off /s /c \"\"D:\\Win dows\\system32\\PING.EXE\" 127.0.0.1 "
              "-n 3 >nul & del /f /q \"Virelo\\VireloSetup.exe\" & rmdir \"Virelo\"\"");
}

// Names that could not stand on cmd.exe's line exactly give no command at all.
TEST(FolderRemoval, RefusesWhatCannotBeWrittenExactly) {
    struct Case {
        const char* system_folder;
        const char* install_folder;
        const char* setup_copy_name;
    };
    const Case cases[] = {
        {system_folder, "C:\\t\\Vir%OS%elo", "VireloSetup.exe"},
        {system_folder, "C:\\t\\Vir&elo", "VireloSetup.exe"},
        {system_folder, "C:\\t\\Vir elo", "VireloSetup.exe"},
        {system_folder, "C:\\t\\Vir\"elo", "VireloSetup.exe"},
        {system_folder, "C:\\t\\Vir\xC3\xA9lo", "VireloSetup.exe"},
        {system_folder, "C:\\t\\..", "VireloSetup.exe"},
        {system_folder, "C:\\t\\.", "VireloSetup.exe"},
        {system_folder, "C:\\", "VireloSetup.exe"},
        {system_folder, "", "VireloSetup.exe"},
        {system_folder, "C:\\t\\Virelo", "Setup (1).exe"},
        {system_folder, "C:\\t\\Virelo", "a\\b.exe"},
        {system_folder, "C:\\t\\Virelo", ""},
        {"C:\\Win%OS%\\system32", "C:\\t\\Virelo", "VireloSetup.exe"},
        {"C:\\Win\"dows", "C:\\t\\Virelo", "VireloSetup.exe"},
        {"", "C:\\t\\Virelo", "VireloSetup.exe"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(folder_removal_command(c.system_folder, c.install_folder, c.setup_copy_name))
            << c.system_folder << " | " << c.install_folder << " | " << c.setup_copy_name;
    }
}

}  // namespace
}  // namespace virelo
