// Stopping the running application, with copies of the stand-in as the
// application: close requests, lingering and refusing copies, and the forced
// end of every process of an executable path.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/path.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "support/scoped_variable.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using test::start_standin;

constexpr wchar_t dev_class[] = L"VireloDevWnd";
constexpr wchar_t normal_class[] = L"VireloWnd";

// Short waits, so a copy that does not exit costs a fraction of a second.
constexpr CloseTiming quick{.attempts = 100, .wait_ms = 300, .pause_ms = 20};
constexpr DWORD ended_exit_code = 1;

class StopAppTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::copy_file_to(test::standin_exe(), installed_)); }
    void TearDown() override { end_processes_by_image_path(installed_); }

    test::TestFolder folder_{"stop_app"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    const std::string installed_ = installed_exe_path();
};

TEST_F(StopAppTest, NothingRunningIsDoneWithoutWaiting) {
    // Any attempt would cost at least one 3 s wait or pause.
    const DWORD start = GetTickCount();
    EXPECT_TRUE(close_running_app({.attempts = 100, .wait_ms = 3000, .pause_ms = 3000}));
    EXPECT_LT(GetTickCount() - start, 2500u);
}

TEST_F(StopAppTest, AppThatClosesOnRequestExitsByItself) {
    auto app = start_standin(installed_, test::standin_options({"--dev", "--offscreen"}), dev_class);
    ASSERT_TRUE(app);
    EXPECT_TRUE(close_running_app(quick));
    EXPECT_EQ(app->wait_for_exit(5000), 0u);
}

TEST_F(StopAppTest, ProcessLingeringAfterItsWindowClosedIsEnded) {
    auto app = start_standin(installed_,
                             test::standin_options({"--dev", "--offscreen"}, {{"VIRELO_STANDIN_LINGER", "60"}}), dev_class);
    ASSERT_TRUE(app);
    EXPECT_TRUE(close_running_app(quick));
    EXPECT_EQ(app->wait_for_exit(5000), ended_exit_code);
}

TEST_F(StopAppTest, AppThatKeepsItsWindowIsNotEnded) {
    auto app = start_standin(installed_,
                             test::standin_options({"--dev", "--offscreen"}, {{"VIRELO_STANDIN_IGNORE_CLOSE", "1"}}),
                             dev_class);
    ASSERT_TRUE(app);
    EXPECT_FALSE(close_running_app({.attempts = 3, .wait_ms = 100, .pause_ms = 10}));
    EXPECT_TRUE(app->running());
    EXPECT_NE(app->wait_for_window(dev_class, 0), nullptr);
}

// In test mode a window of the normal class is not the application's: a copy
// of the installed executable showing one is a windowless leftover and is
// ended without a request, while the same window from elsewhere is not touched.
TEST_F(StopAppTest, TestModeEndsLeftoversAndLeavesTheRealAppAlone) {
    const std::string elsewhere = folder_.file("real\\Virelo.exe");
    ASSERT_TRUE(test::copy_file_to(test::standin_exe(), elsewhere));
    auto leftover = start_standin(installed_, test::standin_options({"--offscreen"}), normal_class);
    auto real = start_standin(elsewhere, test::standin_options({"--offscreen"}), normal_class);
    ASSERT_TRUE(leftover && real);

    EXPECT_TRUE(close_running_app(quick));
    EXPECT_EQ(leftover->wait_for_exit(5000), ended_exit_code);
    EXPECT_TRUE(real->running());
    EXPECT_NE(real->wait_for_window(normal_class, 0), nullptr);
}

TEST_F(StopAppTest, EndsProcessesByTheirFullImagePath) {
    struct Case {
        const char* name;
        const char* running;  // relative to the test folder
        const char* target;
        bool ended;
    };
    const Case cases[] = {
        {"same path", "a\\Virelo.exe", "a\\Virelo.exe", true},
        {"same file name in another folder", "b\\Virelo.exe", "a\\Virelo.exe", false},
        {"letter case differs", "Mixed\\Virelo.exe", "mIXED\\VIRELO.EXE", true},
        // Beyond A-Z: Ä and ä only match through the full lowercase mapping.
        {"letter case differs beyond ASCII", "\xC3\x84rger\\Virelo.exe", "\xC3\xA4RGER\\Virelo.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string running = folder_.file(c.running);
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), running));
        auto app = start_standin(running, test::standin_options({"--offscreen"}), normal_class);
        ASSERT_TRUE(app);

        end_processes_by_image_path(folder_.file(c.target));
        if (c.ended) {
            EXPECT_EQ(app->wait_for_exit(5000), ended_exit_code);
        } else {
            EXPECT_TRUE(app->running());
        }
    }
}

}  // namespace
}  // namespace virelo
