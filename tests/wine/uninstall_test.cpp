// The uninstall in test mode: the built setup program, run as a process from
// its copy in the test install folder, as the uninstall entry starts it.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_processes.h"
#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "foundation/names.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

// Names of a real installation, planted for the run to prove they are left
// alone, and removed again afterwards (the shared prefix has none of them).
class RealInstallation {
public:
    RealInstallation() {
        const std::string local = win::env_text("LOCALAPPDATA");
        files_ = {local + "\\Programs\\Virelo\\Virelo.exe", local + "\\Programs\\Virelo\\version.txt",
                  local + "\\Virelo\\data.txt", special_folder(CSIDL_PROGRAMS) + "\\Virelo.lnk",
                  special_folder(CSIDL_DESKTOPDIRECTORY) + "\\Virelo.lnk"};
        for (const auto& file : files_) {
            win::create_folder_chain(parent_folder(file));
            test::write_text(file, "real");
        }
        test::write_string(run_key, "Virelo", "\"real\" --autostart");
        test::write_string("Software\\Virelo\\Launcher", "Site", "https://real.example/");
        test::write_string("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo", "DisplayName", "Virelo");
        at_start_ = state();
    }
    ~RealInstallation() {
        for (const auto& file : files_) win::delete_file(file);
        const std::string local = win::env_text("LOCALAPPDATA");
        win::delete_tree(local + "\\Programs\\Virelo");
        win::delete_tree(local + "\\Virelo");
        test::delete_key_tree("Software\\Virelo");
        test::delete_key_tree("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo");
        win::unique_hkey run;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_SET_VALUE,
                          run.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(run.get(), L"Virelo");
        }
    }
    std::vector<std::string> state() const {
        std::vector<std::string> lines = test::dump_tree("Software\\Virelo");
        for (auto& line : test::dump_tree("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo")) {
            lines.push_back(line);
        }
        lines.push_back(test::read_string(run_key, "Virelo").value_or("<no autostart>"));
        for (const auto& file : files_) lines.push_back(file + " " + test::read_text(file).value_or("<gone>"));
        return lines;
    }
    const std::vector<std::string>& at_start() const { return at_start_; }

private:
    std::vector<std::string> files_;
    std::vector<std::string> at_start_;
};

TEST(UninstallTestMode, RemovesTheTestInstallationAndThenItsFolder) {
    test::TestFolder t{"uninstall-test-mode"};
    const std::string folder = t.file("Programs\\Virelo");
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), folder + "\\VireloSetup.exe"));
    for (const char* name : {"Virelo.exe", "version.txt", "Virelo.exe.new"}) {
        ASSERT_TRUE(test::write_text(folder + "\\" + name, name));
    }
    for (const char* name : {"StartMenu-Virelo.lnk", "Desktop-Virelo.lnk", "keep.txt"}) {
        ASSERT_TRUE(test::write_text(t.file(name), name));
    }
    test::write_string("Software\\VireloSetupTest\\Uninstall", "DisplayName", "Virelo");
    test::write_string("Software\\VireloSetupTest\\Uninstall\\Sub", "x", "y");
    test::write_string("Software\\VireloSetupTest\\Launcher", "Site", "http://127.0.0.1:1/");
    test::write_string("Software\\VireloSetupTest\\Other", "Keep", "1");
    // The shared prefix never holds a real installation, so removing the
    // planted one afterwards removes nothing else.
    ASSERT_FALSE(test::key_exists("Software\\Virelo"));
    ASSERT_FALSE(win::path_exists(win::env_text("LOCALAPPDATA") + "\\Programs\\Virelo"));
    RealInstallation real;

    test::RunOptions options;
    options.args = {"--uninstall"};
    options.env = {{"DK_SETUP_TEST", t.path()}};
    auto setup = test::start_program(folder + "\\VireloSetup.exe", options);
    ASSERT_TRUE(setup);
    // Seen while it still pings, before it deletes anything.
    const auto removal = test::wait_for_child(setup->id, "cmd.exe", 10000);
    // The named files went one by one; the rest waits for the command.
    const auto files_while_pinging = test::list_files(t.path());
    DWORD exit_code = 1;
    ASSERT_TRUE(test::wait_for_exit(*setup, 30000, &exit_code));
    EXPECT_EQ(exit_code, 0u);
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->command_line, "cmd.exe /c ping 127.0.0.1 -n 3 >nul & rmdir /s /q \"" + t.path() +
                                         "\\Programs\\Virelo\"");
    EXPECT_EQ(files_while_pinging, (std::vector<std::string>{"Programs\\Virelo\\Virelo.exe.new",
                                                             "Programs\\Virelo\\VireloSetup.exe", "keep.txt"}));
    EXPECT_FALSE(test::key_exists("Software\\VireloSetupTest\\Uninstall"));
    EXPECT_FALSE(test::key_exists("Software\\VireloSetupTest\\Launcher"));
    EXPECT_EQ(test::read_string("Software\\VireloSetupTest\\Other", "Keep"), "1");

    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (win::path_exists(folder) && GetTickCount64() < deadline) Sleep(100);
    EXPECT_FALSE(win::path_exists(folder));
    EXPECT_TRUE(win::path_exists(t.file("Programs")));
    EXPECT_EQ(real.state(), real.at_start());
    test::delete_key_tree("Software\\VireloSetupTest");
}

// A shortcut starts the setup copy with the install folder as its current
// folder; a removal command that inherited it could not remove the folder.
TEST(UninstallTestMode, RemovesTheFolderItWasStartedIn) {
    test::TestFolder t{"uninstall-from-inside"};
    const std::string folder = t.file("Programs\\Virelo");
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), folder + "\\VireloSetup.exe"));
    test::RunOptions options;
    options.args = {"--uninstall"};
    options.env = {{"DK_SETUP_TEST", t.path()}};
    options.working_folder = folder;
    const auto result = test::run_program(folder + "\\VireloSetup.exe", options);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 0u);

    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (win::path_exists(folder) && GetTickCount64() < deadline) Sleep(100);
    EXPECT_FALSE(win::path_exists(folder));
}

}  // namespace
}  // namespace virelo
