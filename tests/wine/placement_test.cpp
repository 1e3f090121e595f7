// Placing the executable, the setup copy and the version file in a test
// install folder, with the stand-in as the running application.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "common/win/os_error.h"
#include "install/placement.h"
#include "install/recovery.h"
#include "install/swap.h"
#include "foundation/status_channel.h"
#include "support/scoped_variable.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::start_standin;

constexpr wchar_t dev_class[] = L"VireloDevWnd";
constexpr CloseTiming quick_close{.attempts = 100, .wait_ms = 300, .pause_ms = 20};
constexpr char refused_text[] =
    "Virelo is running and did not close. Quit it (tray icon \u2192 Exit) and run the installer again.";
constexpr char not_replaced_text[] = "Could not replace the old version of Virelo.";

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes file_bytes(const std::string& path) { return win::read_file(path).value_or(Bytes{}); }

bool put_file(const std::string& path, const Bytes& bytes) {
    EXPECT_TRUE(win::create_folder_chain(parent_folder(path)).ok());
    return win::write_file(path, bytes).ok();
}

// Receives the status updates in place of the progress window.
class StatusSink {
public:
    StatusSink()
        : window_{CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)} {
        main_window = window_;
    }
    StatusSink(const StatusSink&) = delete;
    StatusSink& operator=(const StatusSink&) = delete;
    ~StatusSink() {
        (void)take();
        main_window = nullptr;
        DestroyWindow(window_);
    }

    std::vector<std::pair<std::string, std::int32_t>> take() {
        std::vector<std::pair<std::string, std::int32_t>> updates;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_SETUP_STATUS, WM_SETUP_STATUS, PM_REMOVE)) {
            updates.emplace_back(take_posted_text(msg.lParam), static_cast<std::int32_t>(msg.wParam));
        }
        return updates;
    }

private:
    HWND window_;
};

class PlacementTest : public ::testing::Test {
protected:
    void TearDown() override { end_processes_by_image_path(installed_); }

    // The verified download, as the download leaves it beside the installed file.
    const std::string& stage(const Bytes& bytes) {
        EXPECT_TRUE(put_file(staged_, bytes));
        return staged_;
    }

    test::TestFolder folder_{"placement"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    StatusSink status_;
    const std::string installed_ = installed_exe_path();
    const std::string staged_ = staged_exe_path();
    const Bytes old_bytes_ = file_bytes(test::standin_exe());
    const Bytes new_bytes_ = file_bytes(test::standin_next_exe());
};

TEST_F(PlacementTest, StagedFileIsSwappedIn) {
    ASSERT_FALSE(old_bytes_.empty());
    ASSERT_NE(old_bytes_, new_bytes_);
    ASSERT_TRUE(put_file(installed_, old_bytes_));

    EXPECT_TRUE(install_executable(stage(new_bytes_)).ok());
    EXPECT_EQ(file_bytes(installed_), new_bytes_);
    EXPECT_FALSE(win::path_exists(staged_));
    const std::vector<std::pair<std::string, std::int32_t>> expected{{"Installing\u2026", 1000}};
    EXPECT_EQ(status_.take(), expected);
}

TEST_F(PlacementTest, RunningAppIsClosedAndReplaced) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    auto app = start_standin(installed_, test::standin_options({"--dev", "--offscreen"}), dev_class);
    ASSERT_TRUE(app);

    EXPECT_TRUE(install_executable(stage(new_bytes_), quick_close).ok());
    EXPECT_EQ(app->wait_for_exit(5000), 0u);
    EXPECT_EQ(file_bytes(installed_), new_bytes_);
}

TEST_F(PlacementTest, AppThatDoesNotCloseKeepsItsExecutable) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    auto app = start_standin(installed_,
                             test::standin_options({"--dev", "--offscreen"}, {{"VIRELO_STANDIN_IGNORE_CLOSE", "1"}}),
                             dev_class);
    ASSERT_TRUE(app);

    const PlacementResult result =
        install_executable(stage(new_bytes_), {.attempts = 3, .wait_ms = 100, .pause_ms = 10});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), refused_text);
    EXPECT_EQ(result.kind(), PlacementFailure::still_running);
    EXPECT_FALSE(win::path_exists(staged_));
    EXPECT_EQ(file_bytes(installed_), old_bytes_);
    EXPECT_TRUE(app->running());
}

// Opened for reading without delete sharing: neither a replacing rename nor a
// delete can succeed while the handle is open.
win::unique_file hold_without_delete_sharing(const std::string& path) {
    return win::unique_file{CreateFileW(win::to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

TEST_F(PlacementTest, HeldExecutableFailsAfterEveryAttempt) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    const win::unique_file held = hold_without_delete_sharing(installed_);
    ASSERT_TRUE(held);

    // Twenty attempts cost twenty pauses; fewer would show as a shorter run.
    const DWORD start = GetTickCount();
    const PlacementResult result = install_executable(stage(new_bytes_), quick_close, {.attempts = 20, .pause_ms = 20});
    const DWORD elapsed = GetTickCount() - start;
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), not_replaced_text);
    EXPECT_EQ(result.kind(), PlacementFailure::not_replaced);
    EXPECT_GE(elapsed, 20u * 10u);
    EXPECT_EQ(file_bytes(staged_), new_bytes_);
    EXPECT_EQ(file_bytes(installed_), old_bytes_);
}

TEST_F(PlacementTest, SwapSucceedsOnceTheHolderLetsGo) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    win::unique_file held = hold_without_delete_sharing(installed_);
    ASSERT_TRUE(held);
    std::thread release{[&held] {
        Sleep(150);
        held.reset();
    }};

    const PlacementResult result = install_executable(stage(new_bytes_), quick_close, {.attempts = 20, .pause_ms = 50});
    release.join();
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(file_bytes(installed_), new_bytes_);
    EXPECT_FALSE(win::path_exists(staged_));
}

// A reader that lets others delete the file (a scanner, a viewer): the first
// rename is refused, a delete would only be pending while it reads, so the old
// file is moved aside and the new one takes its name at once. A backup the
// user made under an ordinary name is not the name it is moved aside to.
TEST_F(PlacementTest, ExecutableHeldWithDeleteSharingIsMovedAside) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    const std::string users_backup = path_join(install_dir(), "Virelo.exe.old");
    ASSERT_TRUE(put_file(users_backup, bytes_of("the user's backup")));
    win::unique_file held{CreateFileW(win::to_wide(installed_).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(held);

    EXPECT_TRUE(install_executable(stage(new_bytes_), quick_close, {.attempts = 1, .pause_ms = 10}).ok());
    EXPECT_EQ(file_bytes(installed_), new_bytes_);
    EXPECT_FALSE(win::path_exists(staged_));
    // The holder still reads the old file, whole.
    Bytes read_back(old_bytes_.size());
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(held.get(), read_back.data(), static_cast<DWORD>(read_back.size()), &read, nullptr));
    EXPECT_EQ(read_back, old_bytes_);

    held.reset();
    recover_interrupted_run();  // the next run's first step
    EXPECT_EQ(test::list_files(install_dir()), (std::vector<std::string>{"Virelo.exe", "Virelo.exe.old"}));
    EXPECT_EQ(file_bytes(users_backup), bytes_of("the user's backup"));
}

// The staged file held as well (a scanner reading the new file): the old
// executable goes back after each attempt, and stays when the swap gives up.
TEST_F(PlacementTest, FailedSwapPutsTheOldExecutableBack) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    ASSERT_TRUE(put_file(staged_, new_bytes_));
    const win::unique_file old_held{CreateFileW(win::to_wide(installed_).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    const win::unique_file new_held = hold_without_delete_sharing(staged_);
    ASSERT_TRUE(old_held);
    ASSERT_TRUE(new_held);

    const OsResult swapped = swap_in(staged_, installed_, backup_exe_path(), {.attempts = 3, .pause_ms = 10});
    ASSERT_FALSE(swapped.ok());
    // The system's reason, for the log: the file is in use.
    EXPECT_TRUE(swapped.kind() == ERROR_SHARING_VIOLATION || swapped.kind() == ERROR_ACCESS_DENIED) << swapped.error();
    EXPECT_EQ(file_bytes(installed_), old_bytes_);
    EXPECT_EQ(file_bytes(staged_), new_bytes_);
    EXPECT_FALSE(win::path_exists(backup_exe_path()));
}

// What a killed run can leave, and what the next run's first step makes of it.
// Only the program's own temporary and backup names are removed.
TEST_F(PlacementTest, RecoveryPutsTheExecutableBackAndRemovesOwnLeftovers) {
    const Bytes staged_text = bytes_of("staged, maybe cut short");
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, Bytes>> before;
        std::vector<std::string> after;
        Bytes installed_after;
    };
    const std::vector<std::pair<std::string, Bytes>> strangers = {
        {"keep.txt", bytes_of("the user's")}, {"Virelo.exe.new.txt", bytes_of("not ours")},
        {"VireloSetup.exe.old", bytes_of("not a name we use")}, {"version.new", bytes_of("nor this")}};
    const Case cases[] = {
        {"killed between the two renames of a swap",
         {{"Virelo.exe.setup-old", old_bytes_}, {"Virelo.exe.new", new_bytes_}},
         {"Virelo.exe"},
         old_bytes_},
        {"killed before the moved-aside file was deleted",
         {{"Virelo.exe", new_bytes_}, {"Virelo.exe.setup-old", old_bytes_}},
         {"Virelo.exe"},
         new_bytes_},
        {"the user's own backup beside the executable",
         {{"Virelo.exe", new_bytes_}, {"Virelo.exe.old", bytes_of("the user's backup")}},
         {"Virelo.exe", "Virelo.exe.old"},
         new_bytes_},
        {"the user's own backup and nothing installed",
         {{"Virelo.exe.old", bytes_of("the user's backup")}},
         {"Virelo.exe.old"},
         {}},
        {"the setup copy an uninstall left for its removal",
         {{"Virelo.exe", old_bytes_}, {"VireloSetup.exe.removing", bytes_of("setup")}},
         {"Virelo.exe"},
         old_bytes_},
        {"killed while writing the staged file, the setup copy and the version file",
         {{"Virelo.exe", old_bytes_}, {"Virelo.exe.new", staged_text}, {"VireloSetup.exe", bytes_of("setup")},
          {"VireloSetup.exe.new", {}}, {"version.txt", bytes_of("1.0.0")}, {"version.txt.new", {}}},
         {"Virelo.exe", "VireloSetup.exe", "version.txt"},
         old_bytes_},
        {"other files beside them",
         {{"Virelo.exe", old_bytes_}, {"Virelo.exe.new", staged_text}, strangers[0], strangers[1], strangers[2],
          strangers[3]},
         {"Virelo.exe", "Virelo.exe.new.txt", "VireloSetup.exe.old", "keep.txt", "version.new"},
         old_bytes_},
        {"nothing installed", {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        win::delete_tree(install_dir());
        ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
        for (const auto& [name, bytes] : c.before) ASSERT_TRUE(put_file(path_join(install_dir(), name), bytes));

        recover_interrupted_run();

        EXPECT_EQ(test::list_files(install_dir()), c.after);
        EXPECT_EQ(file_bytes(installed_), c.installed_after);
    }
}

// Windows refuses a replacing rename over a read-only file; the delete that
// follows clears the attribute, so the second rename goes through. (Wine 8
// already lets the first rename replace it.)
TEST_F(PlacementTest, ReadOnlyExecutableIsReplaced) {
    ASSERT_TRUE(put_file(installed_, old_bytes_));
    ASSERT_TRUE(SetFileAttributesW(win::to_wide(installed_).c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_TRUE(install_executable(stage(new_bytes_), quick_close, {.attempts = 1, .pause_ms = 10}).ok());
    EXPECT_EQ(file_bytes(installed_), new_bytes_);
    EXPECT_FALSE(win::path_exists(staged_));
}

TEST(OsErrorDetail, SystemMessageWithoutLineBreakAndTheCode) {
    for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}) {
        const std::string detail = os_error_detail(code);
        const std::string suffix = " (os error " + std::to_string(code) + ")";
        SCOPED_TRACE(detail);
        ASSERT_GT(detail.size(), suffix.size());
        EXPECT_EQ(detail.substr(detail.size() - suffix.size()), suffix);
        EXPECT_EQ(detail.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(detail[detail.size() - suffix.size() - 1], ' ');
    }
    EXPECT_EQ(os_error_detail(987654), "Unknown error (os error 987654)");
}

TEST_F(PlacementTest, SetupCopyIsRefreshedOnlyWhenItDiffers) {
    const std::string own = folder_.file("download\\VireloSetup.exe");
    const std::string copy = setup_copy_path();
    const Bytes program = bytes_of("setup program, version 2");
    ASSERT_TRUE(put_file(own, program));

    // The destination spelled another way: other separators, doubled ones and
    // a lower-case drive letter still name the copy itself.
    std::string copy_respelled = copy;
    for (char& c : copy_respelled) c = c == '\\' ? '/' : c;
    copy_respelled[0] = static_cast<char>(std::tolower(copy_respelled[0]));
    copy_respelled.insert(copy_respelled.find('/', 3), "/");

    struct Case {
        const char* name;
        std::optional<Bytes> before;
        std::string own_path;
        std::optional<Bytes> after;  // nothing: the copy must be left as it was
    };
    const Case cases[] = {
        {"no copy yet", std::nullopt, own, program},
        {"identical copy", program, own, std::nullopt},
        {"shorter copy", bytes_of("setup program, version"), own, program},
        {"same length, other bytes", bytes_of("setup program, version 1"), own, program},
        {"running from the copy", bytes_of("the copy itself"), copy_respelled, std::nullopt},
        {"own file unreadable", bytes_of("kept"), folder_.file("missing.exe"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        win::delete_tree(install_dir());
        ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
        std::uint64_t written_before = 0;
        if (c.before) {
            ASSERT_TRUE(put_file(copy, *c.before));
            test::backdate(copy);
            written_before = test::last_write(copy);
        }

        place_setup_copy_from(c.own_path);
        if (c.after) {
            EXPECT_EQ(file_bytes(copy), *c.after);
        } else {
            ASSERT_TRUE(c.before);
            EXPECT_EQ(file_bytes(copy), *c.before);
            EXPECT_EQ(test::last_write(copy), written_before);
        }
    }
}

TEST_F(PlacementTest, SetupCopyIsTheRunningProgram) {
    ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
    wchar_t own[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
    place_setup_copy();
    const Bytes copy = file_bytes(setup_copy_path());
    EXPECT_FALSE(copy.empty());
    EXPECT_EQ(copy, file_bytes(win::from_wide(own)));
}

TEST_F(PlacementTest, VersionFileHoldsExactlyTheVersionText) {
    ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
    ASSERT_TRUE(put_file(version_file_path(), bytes_of("0.9.0-a-much-longer-earlier-version\r\n")));
    const std::string version = "2.0.0-\xC3\x9F\xE2\x9C\x93";  // 2.0.0-ß✓
    write_version_file(version);
    EXPECT_EQ(file_bytes(version_file_path()), bytes_of(version));
    EXPECT_EQ(test::list_files(install_dir()), std::vector<std::string>{"version.txt"}) << "no temporary file left";
}

}  // namespace
}  // namespace virelo
