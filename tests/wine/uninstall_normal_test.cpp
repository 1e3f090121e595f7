// The uninstall in normal mode, with its two message boxes answered by
// box_answerer as a user would. It removes the user's real installation, so
// this runs only in a throwaway prefix of its own (tests/wine/clone-run).

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_processes.h"
#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/scoped_variable.h"
#include "support/standin.h"
#include "support/test_folder.h"
#include "unresolvable_shell_folders.h"

namespace virelo {
namespace {

constexpr const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* uninstall_entry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo";
constexpr const char* launcher = "Software\\Virelo\\Launcher";
constexpr const char* confirmation =
    "Remove Virelo from this computer?\\n\\nYour settings and notes are kept and will come back if you reinstall.";
constexpr const char* completion = "Virelo has been removed.";

// The clone's real profile names, formed here independently of the code.
struct Profile {
    std::string local = win::env_text("LOCALAPPDATA");
    std::string roaming = win::env_text("APPDATA");
    std::string programs = special_folder(CSIDL_PROGRAMS);
    std::string desktop = special_folder(CSIDL_DESKTOPDIRECTORY);

    std::string install_folder() const { return local + "\\Programs\\Virelo"; }
    std::string setup_copy() const { return install_folder() + "\\VireloSetup.exe"; }
    std::string local_data() const { return local + "\\Virelo"; }
    std::string roaming_data() const { return roaming + "\\Virelo"; }
    std::string start_menu_link() const { return programs + "\\Virelo.lnk"; }
    std::string desktop_link() const { return desktop + "\\Virelo.lnk"; }
};

using Box = std::map<std::string, std::string>;

// The boxes box_answerer saw, in order.
std::vector<Box> read_boxes(const std::string& record) {
    std::vector<Box> boxes;
    std::istringstream lines{test::read_text(record).value_or("")};
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (line.compare(0, eq, "box") == 0) boxes.emplace_back();
        if (!boxes.empty()) boxes.back()[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return boxes;
}

Box expected_box(const char* text, const char* buttons, const char* icon, int pressed, DWORD pid, int n) {
    return {{"box", std::to_string(n)},    {"pid", std::to_string(pid)}, {"owner", "none"},
            {"text", text},                {"buttons", buttons},         {"icon", icon},
            {"pressed", std::to_string(pressed)}};
}

// The command lines of the command interpreters a process has started. Wine
// may start its desktop process (explorer.exe) as a child of the first
// program that shows a window, so other children do not count.
std::vector<std::string> command_interpreters(DWORD parent_id) {
    std::vector<std::string> commands;
    for (const auto& child : test::child_processes(parent_id)) {
        if (_stricmp(child.exe_name.c_str(), "cmd.exe") == 0 || child.command_line.find("cmd.exe") == 0) {
            commands.push_back(child.command_line);
        }
    }
    return commands;
}

// One uninstall run: the answerer and the setup program, started together.
class UninstallRun {
public:
    UninstallRun(const std::string& setup, std::vector<std::string> answers, test::RunOptions options = {})
        : record_{"uninstall-boxes"} {
        test::RunOptions answerer;
        answerer.args = {record(), "Virelo"};
        for (auto& answer : answers) answerer.args.push_back(std::move(answer));
        answerer_ = test::start_program(test::build_file("tests/box_answerer.exe"), answerer);

        options.args.push_back("--uninstall");
        options.env.push_back({"DK_SETUP_TEST", std::nullopt});  // normal mode
        setup_ = test::start_program(setup, options);
    }
    ~UninstallRun() {
        for (auto* child : {&setup_, &answerer_}) {
            if (*child && !test::wait_for_exit(**child, 0)) TerminateProcess((*child)->process.get(), 1);
        }
    }

    bool started() const { return setup_ && answerer_; }
    DWORD setup_id() const { return setup_->id; }
    std::string record() const { return record_.file("boxes.txt"); }

    // Waits until the answerer has seen the n-th box (it is then open).
    bool wait_for_box(std::size_t n) const {
        const ULONGLONG deadline = GetTickCount64() + 30000;
        while (read_boxes(record()).size() < n) {
            if (GetTickCount64() >= deadline) return false;
            Sleep(50);
        }
        return true;
    }
    // The answerer ends once the last box has closed.
    std::optional<DWORD> answerer_exit() const { return exit_of(answerer_); }
    std::optional<DWORD> setup_exit() const { return exit_of(setup_); }

private:
    static std::optional<DWORD> exit_of(const std::optional<test::Child>& child) {
        DWORD code = 0;
        if (!test::wait_for_exit(*child, 60000, &code)) return std::nullopt;
        return code;
    }

    test::TestFolder record_;
    std::optional<test::Child> answerer_;
    std::optional<test::Child> setup_;
};

class UninstallNormalMode : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(win::is_absolute_path(profile_.local)) << "needs the clone's LOCALAPPDATA";
        clear();
    }
    void TearDown() override { clear(); }

    void clear() {
        for (const auto& folder : {profile_.install_folder(), profile_.local_data(), profile_.roaming_data()}) {
            win::delete_tree(folder);
        }
        test::remove_if_present(profile_.start_menu_link());
        test::remove_if_present(profile_.desktop_link());
        test::delete_key_tree("Software\\Virelo");
        test::delete_key_tree(uninstall_entry);
        for (const char* name : {"Virelo", "Other"}) {
            win::unique_hkey key;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run).c_str(), 0, KEY_SET_VALUE, key.put()) ==
                ERROR_SUCCESS) {
                RegDeleteValueW(key.get(), win::to_wide(name).c_str());
            }
        }
    }

    void install() {
        ASSERT_TRUE(test::copy_file_to(test::setup_exe(), profile_.setup_copy()));
        for (const char* name : {"Virelo.exe", "version.txt", "Virelo.exe.new"}) {
            ASSERT_TRUE(test::write_text(profile_.install_folder() + "\\" + name, name));
        }
        for (const auto& file : {profile_.start_menu_link(), profile_.desktop_link(), profile_.local_data() + "\\cache",
                                 profile_.roaming_data() + "\\notes.txt"}) {
            EXPECT_TRUE(win::create_folder_chain(parent_folder(file)).ok());
            ASSERT_TRUE(test::write_text(file, "x"));
        }
        test::write_string(run, "Virelo", "\"" + profile_.install_folder() + "\\Virelo.exe\" --autostart");
        test::write_string(run, "Other", "other.exe");
        test::write_string(uninstall_entry, "DisplayName", "Virelo");
        test::write_string(launcher, "Site", "https://example.invalid/");
        test::write_string("Software\\Virelo", "Theme", "dark");
        test::write_string("Software\\Virelo\\Notes", "Recent", "a.txt");
    }

    std::vector<std::string> state() const {
        std::vector<std::string> lines = test::dump_tree("Software\\Virelo");
        for (auto& line : test::dump_tree(uninstall_entry)) lines.push_back(line);
        for (const char* name : {"Virelo", "Other"}) lines.push_back(test::read_string(run, name).value_or("<none>"));
        for (const auto& folder : {profile_.install_folder(), profile_.local_data(), profile_.roaming_data()}) {
            for (const auto& file : test::list_files(folder)) lines.push_back(folder + "\\" + file);
        }
        for (const auto& link : {profile_.start_menu_link(), profile_.desktop_link()}) {
            lines.push_back(link + (win::path_exists(link) ? " exists" : " gone"));
        }
        return lines;
    }

    // The application key as it should survive: everything but the Launcher.
    static std::vector<std::string> settings_without_launcher() {
        std::vector<std::string> kept;
        for (auto& line : test::dump_tree("Software\\Virelo")) {
            if (line.rfind(launcher, 0) != 0) kept.push_back(std::move(line));
        }
        return kept;
    }

    // What an uninstall removes is gone; the settings, the roaming data and
    // everything else stay.
    void expect_removed(const std::vector<std::string>& kept_settings) const {
        EXPECT_FALSE(test::read_string(run, "Virelo"));
        EXPECT_EQ(test::read_string(run, "Other"), "other.exe");
        EXPECT_FALSE(test::key_exists(uninstall_entry));
        EXPECT_FALSE(test::key_exists(launcher));
        EXPECT_EQ(test::dump_tree("Software\\Virelo"), kept_settings);
        EXPECT_FALSE(win::path_exists(profile_.start_menu_link()));
        EXPECT_FALSE(win::path_exists(profile_.desktop_link()));
        EXPECT_FALSE(win::path_exists(profile_.local_data()));
        EXPECT_EQ(test::list_files(profile_.roaming_data()), std::vector<std::string>{"notes.txt"});
    }

    // It names no path of the user's: it runs in the install folder's parent,
    // and deletes the setup copy under the name it was given as it started.
    static std::string removal_command() {
        const std::string system = test::system_folder();
        return "\"" + system + "\\cmd.exe\" /d /v:off /s /c \"\"" + system +
               "\\PING.EXE\" 127.0.0.1 -n 3 >nul & del /f /q \"Virelo\\VireloSetup.exe.removing\" & rmdir "
               "\"Virelo\"\"";
    }

    Profile profile_;
    test::ScopedVariable normal_mode_{L"DK_SETUP_TEST", std::nullopt};
};

TEST_F(UninstallNormalMode, AnsweringNoChangesNothing) {
    install();
    const auto before = state();

    UninstallRun uninstall{profile_.setup_copy(), {"no"}};
    ASSERT_TRUE(uninstall.started());
    EXPECT_EQ(uninstall.answerer_exit(), 0u);
    EXPECT_EQ(uninstall.setup_exit(), 0u);

    EXPECT_EQ(read_boxes(uninstall.record()),
              std::vector<Box>{expected_box(confirmation, "6,7", "question", IDNO, uninstall.setup_id(), 1)});
    EXPECT_EQ(command_interpreters(uninstall.setup_id()), std::vector<std::string>{});
    EXPECT_EQ(state(), before);
}

// The install folder goes a few seconds after the completion box has closed,
// however long the box stayed open: the command starts only then.
TEST_F(UninstallNormalMode, AnsweringYesRemovesEverythingAndTheFolderAfterTheBox) {
    for (const DWORD hold_ms : {300u, 5000u}) {
        SCOPED_TRACE("completion box open for " + std::to_string(hold_ms) + " ms");
        clear();
        install();
        const auto kept_settings = settings_without_launcher();
        ASSERT_EQ(kept_settings.size(), 4u);

        UninstallRun uninstall{profile_.setup_copy(), {"yes", "ok:" + std::to_string(hold_ms)}};
        ASSERT_TRUE(uninstall.started());
        ASSERT_TRUE(uninstall.wait_for_box(2));
        if (hold_ms > 3000) {
            // Longer than the command's delay: had it started before the box,
            // the folder would be going now.
            Sleep(3500);
            EXPECT_EQ(command_interpreters(uninstall.setup_id()), std::vector<std::string>{});
            // Emptied before the box, but for the running setup copy.
            EXPECT_EQ(test::list_files(profile_.install_folder()), std::vector<std::string>{"VireloSetup.exe"});
        }
        EXPECT_EQ(uninstall.answerer_exit(), 0u);
        const auto removal = test::wait_for_child(uninstall.setup_id(), "cmd.exe", 10000);
        EXPECT_EQ(uninstall.setup_exit(), 0u);
        ASSERT_TRUE(removal);
        EXPECT_EQ(removal->command_line, removal_command());

        EXPECT_EQ(read_boxes(uninstall.record()),
                  (std::vector<Box>{expected_box(confirmation, "6,7", "question", IDYES, uninstall.setup_id(), 1),
                                    expected_box(completion, "1", "information", IDOK, uninstall.setup_id(), 2)}));
        expect_removed(kept_settings);
        EXPECT_TRUE(test::wait_until_gone(profile_.install_folder(), 15000));
    }
}

TEST_F(UninstallNormalMode, WithNothingInstalledTheCompletionBoxStillAppears) {
    UninstallRun uninstall{test::setup_exe(), {"yes", "ok"}};
    ASSERT_TRUE(uninstall.started());
    EXPECT_EQ(uninstall.answerer_exit(), 0u);
    EXPECT_EQ(uninstall.setup_exit(), 0u);
    const auto boxes = read_boxes(uninstall.record());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], expected_box(completion, "1", "information", IDOK, uninstall.setup_id(), 2));
}

// LOCALAPPDATA unset and unresolvable special folders make the install
// folder, the local data folder and the shortcuts relative: nothing in the
// current folder may be deleted, and no removal command may start for it.
TEST_F(UninstallNormalMode, RelativeNamesInTheCurrentFolderAreLeftAlone) {
    install();
    test::TestFolder current{"uninstall-relative"};
    const std::vector<std::string> planted = {"Programs\\Virelo\\Virelo.exe", "Programs\\Virelo\\VireloSetup.exe",
                                              "Programs\\Virelo\\version.txt", "Virelo.lnk", "Virelo\\cache"};
    for (const auto& file : planted) {
        EXPECT_TRUE(win::create_folder_chain(parent_folder(current.file(file))).ok());
        ASSERT_TRUE(test::write_text(current.file(file), "x"));
    }
    test::UnresolvableShellFolders no_shell_folders;
    ASSERT_EQ(special_folder(CSIDL_PROGRAMS), "");

    test::RunOptions options;
    options.env = {{"LOCALAPPDATA", std::nullopt}};
    options.working_folder = current.path();
    UninstallRun uninstall{test::setup_exe(), {"yes", "ok"}, options};
    ASSERT_TRUE(uninstall.started());
    EXPECT_EQ(uninstall.answerer_exit(), 0u);
    EXPECT_EQ(uninstall.setup_exit(), 0u);

    EXPECT_EQ(command_interpreters(uninstall.setup_id()), std::vector<std::string>{});
    EXPECT_EQ(test::list_files(current.path()), planted);
    EXPECT_EQ(read_boxes(uninstall.record()).size(), 2u);
    // The steps that need no such path went ahead.
    EXPECT_FALSE(test::key_exists(uninstall_entry));
    EXPECT_FALSE(test::key_exists(launcher));
    EXPECT_FALSE(test::read_string(run, "Virelo"));
}

}  // namespace
}  // namespace virelo
