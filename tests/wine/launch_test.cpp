// Starting the installed application, with the stand-in recording how it was
// started.

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "common/win/files.h"
#include "common/win/wide.h"
#include "install/launch.h"
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
constexpr char test_parameters[] = " --dev --offscreen --quit-after 4";

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), installed_));
    }
    void TearDown() override {
        end_processes_by_image_path(installed_);
        CoUninitialize();
    }

    test::TestFolder folder_{"launch"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    const std::string installed_ = installed_exe_path();
    const std::string record_ = folder_.file("starts.txt");
    // Inherited by every copy started during the test, through the shell too.
    test::ScopedVariable record_variable_{L"VIRELO_STANDIN_RECORD", win::to_wide(record_)};
};

TEST_F(LaunchTest, StartsFromTheInstallFolderWithTheTestParameters) {
    ASSERT_TRUE(launch_app(install_dir()));
    const auto starts = test::wait_for_start_records(record_, 1, 10000);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(ends_with(starts[0].command_line, test_parameters)) << starts[0].command_line;
    EXPECT_NE(starts[0].command_line.find(installed_), std::string::npos) << starts[0].command_line;
    EXPECT_EQ(starts[0].working_folder, install_dir());
    EXPECT_NE(test::wait_for_window(dev_class, 10000), nullptr);
}

TEST_F(LaunchTest, WindowlessLeftoverIsEndedBeforeTheStart) {
    // In test mode the normal class is no application window.
    auto leftover = start_standin(installed_, test::standin_options({"--offscreen"}), normal_class);
    ASSERT_TRUE(leftover);
    ASSERT_TRUE(launch_app(install_dir()));
    EXPECT_EQ(leftover->wait_for_exit(5000), 1u);
    const auto starts = test::wait_for_start_records(record_, 2, 10000);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(ends_with(starts[1].command_line, test_parameters)) << starts[1].command_line;
}

TEST_F(LaunchTest, RunningAppWithItsWindowIsLeftRunning) {
    auto running = start_standin(installed_, test::standin_options({"--dev", "--offscreen"}), dev_class);
    ASSERT_TRUE(running);
    ASSERT_TRUE(launch_app(install_dir()));
    EXPECT_EQ(test::wait_for_start_records(record_, 2, 10000).size(), 2u);
    EXPECT_TRUE(running->running());
}

TEST_F(LaunchTest, MissingExecutableIsReported) {
    ASSERT_TRUE(win::delete_file(installed_).ok());
    EXPECT_FALSE(launch_app(install_dir()));
    EXPECT_TRUE(test::read_start_records(record_).empty());
}

// A user name may hold %, and a folder name & or ^: the exact executable
// runs, never one at the path an expansion of %OS% would give, nor one of the
// same name in the current folder.
TEST(LaunchExactPath, StartsTheExecutableAtAPathTheShellWouldExpand) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    test::TestFolder folder{"launch %OS% & ^a"};
    test::TestFolder expanded{"launch Windows_NT & ^a"};
    test::ScopedVariable test_mode{L"DK_SETUP_TEST", win::to_wide(folder.path())};
    const std::string record = folder.file("starts.txt");
    test::ScopedVariable record_variable{L"VIRELO_STANDIN_RECORD", win::to_wide(record)};
    const std::string installed = installed_exe_path();
    const std::string decoys[] = {expanded.file("Programs\\Virelo\\Virelo.exe"), folder.file("current\\Virelo.exe")};
    ASSERT_TRUE(test::copy_file_to(test::standin_exe(), installed));
    for (const auto& decoy : decoys) ASSERT_TRUE(test::copy_file_to(test::standin_next_exe(), decoy));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(win::to_wide(folder.file("current")).c_str());

    const bool started = launch_app(install_dir());
    SetCurrentDirectoryW(previous);
    ASSERT_TRUE(started);
    const auto starts = test::wait_for_start_records(record, 1, 10000);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].command_line, "\"" + installed + "\"" + test_parameters);
    EXPECT_EQ(starts[0].working_folder, install_dir());
    Sleep(500);  // a decoy started too would have recorded by now
    EXPECT_EQ(test::read_start_records(record).size(), 1u);
    end_processes_by_image_path(installed);
    for (const auto& decoy : decoys) end_processes_by_image_path(decoy);
    CoUninitialize();
}

}  // namespace
}  // namespace virelo
