// The uninstall in test mode: the built setup program, run as a process from
// its copy in the test install folder, as the uninstall entry starts it.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "child_processes.h"
#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/standin.h"
#include "support/test_folder.h"
#include "support/scoped_variable.h"
#include "uninstall/folder_contents.h"
#include "uninstall/uninstall.h"

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
            EXPECT_TRUE(win::create_folder_chain(parent_folder(file)).ok());
            test::write_text(file, "real");
        }
        test::write_string(run_key, "Virelo", "\"real\" --autostart");
        test::write_string("Software\\Virelo\\Launcher", "Site", "https://real.example/");
        test::write_string("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo", "DisplayName", "Virelo");
        at_start_ = state();
    }
    ~RealInstallation() {
        for (const auto& file : files_) test::remove_if_present(file);
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

// The removal command for an install folder named "Virelo", which it is given
// as its current folder's child: no path of the user's is on its line.
// The command deletes the setup copy under the name the running copy was
// given before it started, so that a copy an install places meanwhile stays.
std::string removal_command(std::string_view setup_copy = "VireloSetup.exe.removing") {
    const std::string system = test::system_folder();
    return "\"" + system + "\\cmd.exe\" /d /v:off /s /c \"\"" + system +
           "\\PING.EXE\" 127.0.0.1 -n 3 >nul & del /f /q \"Virelo\\" + std::string{setup_copy} +
           "\" & rmdir \"Virelo\"\"";
}

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
    EXPECT_EQ(removal->command_line, removal_command());
    // Everything but the running setup copy went before the command started.
    EXPECT_EQ(files_while_pinging,
              (std::vector<std::string>{"Programs\\Virelo\\VireloSetup.exe.removing", "keep.txt"}));
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

// A user name may hold %, and a folder name &, ^, !, ( and ): cmd.exe would
// expand or split such a path anywhere on its line. The removal takes exactly
// the install folder, never the folder cmd.exe would read instead, and runs
// the system folder's cmd.exe and PING.EXE, never a decoy of that name beside
// the setup program, in its current folder or in the command's.
TEST(UninstallTestMode, RemovesAFolderWhosePathCmdWouldExpandAndRunsNoDecoy) {
    ASSERT_EQ(win::env_text("OS"), "Windows_NT");
    test::TestFolder t{"uninstall %OS% & ^a !b! (c)"};
    test::TestFolder decoy{"uninstall Windows_NT & ^a !b! (c)"};  // what cmd.exe would make of it
    const std::string folder = t.file("Programs\\Virelo");
    const std::string decoy_file = decoy.file("Programs\\Virelo\\keep.txt");
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), folder + "\\VireloSetup.exe"));
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), t.file("Downloads\\VireloSetup.exe")));
    for (const char* name : {"Virelo.exe", "version.txt", "data\\notes.txt", "data (old)\\%OS%.txt"}) {
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), folder + "\\" + name));
    }
    EXPECT_TRUE(win::create_folder_chain(parent_folder(decoy_file)).ok());
    ASSERT_TRUE(test::write_text(decoy_file, "decoy"));
    // Decoys that record their start: beside the program that uninstalls, in
    // its current folder, and in the command's (the install folder's parent).
    std::vector<std::string> decoys;
    for (const char* where : {"Downloads", "current", "Programs"}) {
        for (const char* name : {"cmd.exe", "PING.EXE"}) {
            decoys.push_back(t.file(std::string{where} + "\\" + name));
            ASSERT_TRUE(test::copy_file_to(test::standin_exe(), decoys.back()));
        }
    }
    const std::string record = t.file("decoy-starts.txt");

    test::RunOptions options;
    options.args = {"--uninstall"};
    options.env = {{"DK_SETUP_TEST", t.path()}, {"VIRELO_STANDIN_RECORD", record}};
    options.working_folder = t.file("current");
    auto setup = test::start_program(t.file("Downloads\\VireloSetup.exe"), options);
    ASSERT_TRUE(setup);
    const auto removal = test::wait_for_child(setup->id, "cmd.exe", 10000);
    ASSERT_TRUE(test::wait_for_exit(*setup, 30000));
    ASSERT_TRUE(removal);
    // Started from elsewhere, it leaves the setup copy to the command by its name.
    EXPECT_EQ(removal->command_line, removal_command("VireloSetup.exe"));

    EXPECT_TRUE(test::wait_until_gone(folder, 15000));
    EXPECT_EQ(test::read_text(decoy_file), "decoy");
    EXPECT_TRUE(win::path_exists(t.file("Programs")));
    for (const auto& path : decoys) end_processes_by_image_path(path);
    EXPECT_EQ(test::read_start_records(record).size(), 0u) << "a decoy ran";
}

// A file, or a folder when the name ends in '\', made by its exact name: a
// trailing dot or space, or a path past 260 characters, which the Win32 path
// rules would trim or refuse.
bool make_exact(const std::string& path) {
    std::wstring wide = win::to_wide(extended_length_path(path));
    if (wide.ends_with(L'\\')) {
        wide.pop_back();
        return CreateDirectoryW(wide.c_str(), nullptr) != 0;
    }
    const win::unique_file file{CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
    return static_cast<bool>(file);
}

// Entries below `folder` that only "\\?\" paths reach; the deepest path has
// more than 260 characters.
void make_mangled_names(const std::string& folder) {
    std::vector<std::string> entries = {"trailing dot.\\", "trailing dot.\\inside.txt", "trailing space \\",
                                        "file.", "file "};
    std::string deep = "deep\\";
    entries.push_back(deep);
    while (folder.size() + deep.size() < 300) {
        deep += std::string(40, 'd') + "\\";
        entries.push_back(deep);
    }
    entries.push_back(deep + "leaf.txt");
    for (const auto& entry : entries) ASSERT_TRUE(make_exact(folder + "\\" + entry)) << entry;
    ASSERT_GT(folder.size() + deep.size(), 260u);
}

// Emptying the install folder: depth first, read-only entries too, names the
// Win32 path rules would mangle, the folder itself kept for the command; a
// file in use stays, and so does the entry named to be kept.
TEST(FolderContents, DeletesEverythingButWhatIsInUse) {
    test::TestFolder t{"folder-contents"};
    const std::string folder = t.file("Virelo");
    for (const char* name : {"a.txt", "read-only.txt", "sub\\b.txt", "sub\\deeper\\c.txt", "empty\\", "held.txt",
                             "VireloSetup.exe"}) {
        const std::string path = folder + "\\" + name;
        EXPECT_TRUE(win::create_folder_chain(parent_folder(path)).ok());
        if (!path.ends_with('\\')) {
            ASSERT_TRUE(test::write_text(path, name));
        }
    }
    ASSERT_NO_FATAL_FAILURE(make_mangled_names(folder));
    SetFileAttributesW(win::to_wide(folder + "\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(win::to_wide(folder + "\\sub").c_str(), FILE_ATTRIBUTE_READONLY);
    // Open without delete sharing, as a running program holds its file.
    const win::unique_file held{CreateFileW(win::to_wide(folder + "\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(held);

    EXPECT_EQ(delete_folder_contents(folder + "\\", "vireloSETUP.exe"), std::vector<std::string>{"held.txt"});
    EXPECT_EQ(test::list_files(t.path()), (std::vector<std::string>{"Virelo\\VireloSetup.exe", "Virelo\\held.txt"}));
    EXPECT_FALSE(win::path_exists(folder + "\\sub"));
    EXPECT_FALSE(win::path_exists(folder + "\\empty"));
}

// The uninstall claims only what it did. With Virelo still running, nothing
// is removed; with a file of the installation in use, the rest goes but the
// entry and the setup copy stay; either way a sentence of its own says why,
// and the entry can run it again. Run in this process, the close procedure
// shortened, in test mode.
TEST(UninstallResult, KeepsItsEntryWhileVireloRunsOrAnythingRemains) {
    constexpr char running_text[] =
        "Virelo is still running, so it was not removed. Quit it (tray icon \u2192 Exit) and run the uninstall again.";
    constexpr char remains_text[] =
        "Virelo could not be removed completely, because some of its files are in use. Quit the programs that use "
        "them and run the uninstall again.";
    struct Case {
        const char* name;
        bool refusing_app;
        bool file_in_use;
        std::optional<std::string> error;  // nothing: success
    };
    const Case cases[] = {
        {"Virelo refuses to close", true, false, running_text},
        {"a file in use", false, true, remains_text},
        {"names the Win32 path rules mangle", false, false, std::nullopt},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestFolder t{"uninstall-result-" + std::to_string(index++)};
        const test::ScopedVariable mode{L"DK_SETUP_TEST", win::to_wide(t.path())};
        const std::string folder = install_dir();
        ASSERT_TRUE(test::copy_file_to(test::standin_exe(), installed_exe_path()));
        ASSERT_TRUE(test::copy_file_to(test::setup_exe(), setup_copy_path()));
        ASSERT_TRUE(test::write_text(version_file_path(), "1.0.0"));
        ASSERT_TRUE(test::write_text(start_menu_shortcut_path(), "link"));
        ASSERT_TRUE(test::write_text(desktop_shortcut_path(), "link"));
        ASSERT_NO_FATAL_FAILURE(make_mangled_names(folder));
        test::write_string(uninstall_key(), "DisplayName", "Virelo");
        test::write_string(launcher_key(), "Site", "http://127.0.0.1:1/");
        std::optional<test::RunningStandIn> app;
        if (c.refusing_app) {
            auto started = test::start_standin(
                installed_exe_path(),
                test::standin_options({"--dev", "--offscreen"}, {{"VIRELO_STANDIN_IGNORE_CLOSE", "1"}}), L"VireloDevWnd");
            ASSERT_TRUE(started);
            app.emplace(std::move(*started));
        }
        win::unique_file in_use;
        if (c.file_in_use) {
            ASSERT_TRUE(test::write_text(folder + "\\data.bin", "data"));
            in_use.reset(CreateFileW(win::to_wide(folder + "\\data.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(in_use);
        }
        // The uninstall adds to a log that is there, and makes none.
        if (c.refusing_app) {
            ASSERT_TRUE(test::write_text(t.file("setup.log"), "earlier line\r\n"));
        }
        const auto files_before = test::list_files(t.path());
        const auto keys_before = test::dump_tree("Software\\VireloSetupTest");

        const Result result =
            run_uninstall({.close_timing = {.attempts = 3, .wait_ms = 100, .pause_ms = 10}, .install_wait_ms = 1000});

        if (c.error) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error(), *c.error);
            EXPECT_EQ(test::read_text(t.file("setup-error.txt")), *c.error);
            EXPECT_TRUE(test::key_exists(uninstall_key()));
            EXPECT_TRUE(win::path_exists(setup_copy_path())) << "the entry's command must still work";
        } else {
            EXPECT_TRUE(result.ok()) << result.error();
            EXPECT_FALSE(test::key_exists(uninstall_key()));
            EXPECT_TRUE(test::wait_until_gone(folder, 15000));
            EXPECT_EQ(test::list_files(t.path()), std::vector<std::string>{});
        }
        if (c.refusing_app) {
            EXPECT_TRUE(app->running());
            const std::string log = test::read_text(t.file("setup.log")).value_or("");
            for (const char* line : {"run: uninstall", "Virelo did not close (asked its window 3 times)",
                                     "uninstall: Virelo did not close; nothing removed"}) {
                EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
            }
            std::vector<std::string> files_after = test::list_files(t.path());
            std::erase(files_after, "setup-error.txt");
            EXPECT_EQ(files_after, files_before) << "nothing was removed";
            EXPECT_EQ(test::dump_tree("Software\\VireloSetupTest"), keys_before);
        }
        if (c.file_in_use) {
            EXPECT_EQ(test::list_files(folder), (std::vector<std::string>{"VireloSetup.exe", "data.bin"}));
            EXPECT_FALSE(test::key_exists(launcher_key()));
        }
        app.reset();
        in_use.reset();
        delete_folder_contents(t.path());  // names only "\\?\" paths reach
        test::delete_key_tree("Software\\VireloSetupTest");
    }
}

// Links inside the install folder, made by tests/wine/link-removal-test on the
// host (Wine 8 cannot make one): a symbolic link to a folder, and one to a
// file in a subfolder, each pointing outside. The uninstall removes everything
// else and leaves what the links point to as it was. Windows removes the links
// themselves; Wine 8 can neither remove a link nor stop at one (docs/wine.md),
// so under Wine the links, and the folders holding them, stay, and the
// uninstall says it could not remove everything and keeps its setup copy.
TEST(UninstallLinks, RemovesTheFolderButNothingALinkPointsTo) {
    const char* fixture = std::getenv("VIRELO_LINK_FIXTURE");
    if (!fixture) GTEST_SKIP() << "needs VIRELO_LINK_FIXTURE (run through link-removal-test)";
    const std::string t = path_join(fixture, "t");
    const std::string folder = path_join(t, "Programs\\Virelo");
    const std::string folder_target = path_join(fixture, "outside\\kept folder\\precious.txt");
    const std::string file_target = path_join(fixture, "outside\\kept file.txt");
    ASSERT_EQ(test::read_text(folder_target), "precious\n");
    ASSERT_EQ(test::read_text(file_target), "precious\n");
    ASSERT_EQ(test::read_text(folder + "\\folder link\\precious.txt"), "precious\n") << "the fixture has no folder link";
    ASSERT_EQ(test::read_text(folder + "\\sub\\file link"), "precious\n") << "the fixture has no file link";
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), folder + "\\VireloSetup.exe"));
    for (const char* name : {"Virelo.exe", "version.txt", "sub\\plain.txt", "sub\\deeper\\plain.txt"}) {
        EXPECT_TRUE(win::create_folder_chain(parent_folder(folder + "\\" + name)).ok());
        ASSERT_TRUE(test::write_text(folder + "\\" + name, name));
    }

    test::RunOptions options;
    options.args = {"--uninstall"};
    options.env = {{"DK_SETUP_TEST", t}};
    auto setup = test::start_program(folder + "\\VireloSetup.exe", options);
    ASSERT_TRUE(setup);
    ASSERT_TRUE(test::wait_for_exit(*setup, 30000));
    const bool links_stayed = win::path_exists(folder + "\\folder link") || win::path_exists(folder + "\\sub\\file link");
    if (links_stayed) {
        // Wine: something of the installation remains, and the uninstall says so.
        EXPECT_EQ(test::read_text(path_join(t, "setup-error.txt")),
                  "Virelo could not be removed completely, because some of its files are in use. Quit the programs "
                  "that use them and run the uninstall again.");
        EXPECT_TRUE(win::path_exists(folder + "\\VireloSetup.exe"));
    } else {
        // The setup copy is the last file the removal deletes.
        EXPECT_TRUE(test::wait_until_gone(folder + "\\VireloSetup.exe.removing", 15000));
        Sleep(500);  // the command's rmdir, right after
    }

    EXPECT_EQ(test::read_text(folder_target), "precious\n");
    EXPECT_EQ(test::read_text(file_target), "precious\n");
    for (const char* name : {"Virelo.exe", "version.txt", "sub\\plain.txt", "sub\\deeper"}) {
        EXPECT_FALSE(win::path_exists(folder + "\\" + name)) << name;
    }
    // What stays is a link still showing its target, or nothing.
    if (win::path_exists(folder + "\\folder link")) {
        EXPECT_EQ(test::read_text(folder + "\\folder link\\precious.txt"), "precious\n");
    }
    if (win::path_exists(folder + "\\sub\\file link")) {
        EXPECT_EQ(test::read_text(folder + "\\sub\\file link"), "precious\n");
    }
}

}  // namespace
}  // namespace virelo
