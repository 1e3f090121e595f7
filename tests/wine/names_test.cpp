// The persistent names as the running program forms them from its
// environment, in both modes.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <optional>

#include "common/win/environment.h"
#include "common/win/wide.h"
#include "foundation/names.h"

namespace virelo {
namespace {

// Sets or removes a variable for one test and restores it afterwards.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, std::optional<std::wstring> value) : name_{name} {
        wchar_t buffer[32768];
        const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
        if (n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND) saved_ = std::wstring(buffer, n);
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, saved_ ? saved_->c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::optional<std::wstring> saved_;
};

TEST(Names, TestModeTable) {
    struct Case {
        const wchar_t* folder;
        const char* install;
        const char* start_menu;
        const char* desktop;
    };
    const Case cases[] = {
        {L"C:\\t", "C:\\t\\Programs\\Virelo", "C:\\t\\StartMenu-Virelo.lnk", "C:\\t\\Desktop-Virelo.lnk"},
        {L"C:\\t\\", "C:\\t\\Programs\\Virelo", "C:\\t\\StartMenu-Virelo.lnk", "C:\\t\\Desktop-Virelo.lnk"},
        {L"", "Programs\\Virelo", "StartMenu-Virelo.lnk", "Desktop-Virelo.lnk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.install);
        ScopedVariable test{L"DK_SETUP_TEST", std::wstring{c.folder}};
        EXPECT_TRUE(win::in_test_mode());
        EXPECT_EQ(install_dir(), c.install);
        EXPECT_EQ(installed_exe_path(), std::string{c.install} + "\\Virelo.exe");
        EXPECT_EQ(start_menu_shortcut_path(), c.start_menu);
        EXPECT_EQ(desktop_shortcut_path(), c.desktop);
        EXPECT_EQ(launcher_key(), "Software\\VireloSetupTest\\Launcher");
        EXPECT_EQ(uninstall_key(), "Software\\VireloSetupTest\\Uninstall");
        EXPECT_EQ(app_window_class(), "VireloDevWnd");
    }
}

TEST(Names, NormalModeFollowsTheEnvironment) {
    ScopedVariable test{L"DK_SETUP_TEST", std::nullopt};
    {
        ScopedVariable local{L"LOCALAPPDATA", std::wstring{L"C:\\Users\\a\\AppData\\Local"}};
        EXPECT_FALSE(win::in_test_mode());
        EXPECT_EQ(install_dir(), "C:\\Users\\a\\AppData\\Local\\Programs\\Virelo");
        EXPECT_EQ(installed_exe_path(), "C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe");
        EXPECT_EQ(launcher_key(), "Software\\Virelo\\Launcher");
        EXPECT_EQ(uninstall_key(), "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo");
        EXPECT_EQ(app_window_class(), "VireloWnd");
        EXPECT_EQ(start_menu_shortcut_path(), special_folder(CSIDL_PROGRAMS) + "\\Virelo.lnk");
        EXPECT_EQ(desktop_shortcut_path(), special_folder(CSIDL_DESKTOPDIRECTORY) + "\\Virelo.lnk");
        EXPECT_FALSE(special_folder(CSIDL_PROGRAMS).empty());
    }
    {
        ScopedVariable local{L"LOCALAPPDATA", std::nullopt};
        EXPECT_EQ(install_dir(), "Programs\\Virelo");
    }
    {
        // A lone surrogate is not valid Unicode: read as the empty text.
        ScopedVariable local{L"LOCALAPPDATA", std::wstring{L"C:\\x\xD800y"}};
        EXPECT_EQ(win::env_text("LOCALAPPDATA"), "");
        EXPECT_EQ(install_dir(), "Programs\\Virelo");
    }
}

TEST(Names, UnresolvedSpecialFolderIsEmpty) {
    EXPECT_EQ(special_folder(0xFF), "");  // no such folder
}

TEST(Names, TestFolderIsReadAfreshEveryCall) {
    ScopedVariable first{L"DK_SETUP_TEST", std::wstring{L"C:\\one"}};
    EXPECT_EQ(install_dir(), "C:\\one\\Programs\\Virelo");
    SetEnvironmentVariableW(L"DK_SETUP_TEST", L"C:\\two");
    EXPECT_EQ(install_dir(), "C:\\two\\Programs\\Virelo");
}

TEST(Names, NoApplicationWindowFound) {
    ScopedVariable test{L"DK_SETUP_TEST", std::wstring{L"C:\\t"}};
    EXPECT_EQ(find_app_window(), nullptr);
}

}  // namespace
}  // namespace virelo
