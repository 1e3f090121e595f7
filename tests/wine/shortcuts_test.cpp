// The shortcuts of the installation, written in test mode and read back
// through the shell-link object.

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/shortcuts.h"
#include "support/scoped_variable.h"
#include "support/shell_link.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

class ShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        // The files the links point at, as after the placement.
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), installed_exe_path()));
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), setup_copy_path()));
    }
    void TearDown() override { CoUninitialize(); }

    test::TestFolder folder_{"shortcuts"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
};

// The desktop shortcut is written only when the start-menu one was missing, so
// a desktop shortcut the user deleted stays deleted.
TEST_F(ShortcutsTest, DesktopShortcutOnlyWithoutAStartMenuShortcut) {
    enum class State { absent, user_file, link };
    struct Case {
        const char* name;
        State start_menu_before, desktop_before, desktop_after;
    };
    const Case cases[] = {
        {"first install", State::absent, State::absent, State::link},
        {"desktop shortcut deleted by the user", State::user_file, State::absent, State::absent},
        {"both present", State::user_file, State::user_file, State::user_file},
        {"start-menu shortcut deleted by the user", State::absent, State::user_file, State::link},
    };
    const std::string start_menu = start_menu_shortcut_path();
    const std::string desktop = desktop_shortcut_path();
    ASSERT_EQ(start_menu, folder_.file("StartMenu-Virelo.lnk"));
    ASSERT_EQ(desktop, folder_.file("Desktop-Virelo.lnk"));
    constexpr std::string_view user_text = "left by the user";

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::remove_if_present(start_menu);
        test::remove_if_present(desktop);
        if (c.start_menu_before == State::user_file) {
            ASSERT_TRUE(test::write_text(start_menu, user_text));
        }
        if (c.desktop_before == State::user_file) {
            ASSERT_TRUE(test::write_text(desktop, user_text));
        }
        // Left by a run killed between a save and its rename.
        for (const std::string& link : {start_menu, desktop}) {
            ASSERT_TRUE(test::write_text(win::temporary_path(link), ""));
        }

        create_shortcuts();

        for (const std::string& link : {start_menu, desktop}) {
            EXPECT_FALSE(win::path_exists(win::temporary_path(link))) << link;
        }

        test::expect_link_to_setup_copy(start_menu);  // rewritten in every case
        if (c.desktop_after == State::absent) {
            EXPECT_FALSE(win::path_exists(desktop));
        } else if (c.desktop_after == State::user_file) {
            EXPECT_EQ(test::read_text(desktop), user_text);
        } else {
            test::expect_link_to_setup_copy(desktop);
        }
    }
}

}  // namespace
}  // namespace virelo
