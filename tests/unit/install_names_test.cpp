#include "foundation/install_names.h"

#include <gtest/gtest.h>

namespace virelo::naming {
namespace {

TEST(InstallNames, FoldersAndShortcutsByMode) {
    struct Case {
        TestFolder test;
        const char* local_app_data;
        const char* special;
        const char* install;
        const char* start_menu;
    };
    const Case cases[] = {
        {std::nullopt, "C:\\Users\\a\\AppData\\Local", "C:\\P", "C:\\Users\\a\\AppData\\Local\\Programs\\Virelo",
         "C:\\P\\Virelo.lnk"},
        {"C:\\t", "ignored", "ignored", "C:\\t\\Programs\\Virelo", "C:\\t\\StartMenu-Virelo.lnk"},
        {"C:\\t\\", "ignored", "ignored", "C:\\t\\Programs\\Virelo", "C:\\t\\StartMenu-Virelo.lnk"},
        {"", "ignored", "ignored", "Programs\\Virelo", "StartMenu-Virelo.lnk"},
        // LOCALAPPDATA unset and a special folder that did not resolve: bare relative names.
        {std::nullopt, "", "", "Programs\\Virelo", "Virelo.lnk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.install);
        EXPECT_EQ(install_dir(c.test, c.local_app_data), c.install);
        EXPECT_EQ(shortcut_path(c.test, start_menu_test_name, c.special), c.start_menu);
    }
    EXPECT_EQ(shortcut_path(std::string{"C:\\t"}, desktop_test_name, ""), "C:\\t\\Desktop-Virelo.lnk");
    EXPECT_EQ(shortcut_path(std::nullopt, desktop_test_name, "C:\\D"), "C:\\D\\Virelo.lnk");
}

TEST(InstallNames, KeysAndWindowClass) {
    EXPECT_EQ(launcher_key(false), "Software\\Virelo\\Launcher");
    EXPECT_EQ(launcher_key(true), "Software\\VireloSetupTest\\Launcher");
    EXPECT_EQ(uninstall_key(false), "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo");
    EXPECT_EQ(uninstall_key(true), "Software\\VireloSetupTest\\Uninstall");
    EXPECT_EQ(app_window_class(false), "VireloWnd");
    EXPECT_EQ(app_window_class(true), "VireloDevWnd");
}

}  // namespace
}  // namespace virelo::naming
