// The setup program as a process: mode choice, the single-instance guard and
// the test-mode error report.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/win/files.h"
#include "common/win/wide.h"
#include "support/process.h"
#include "support/test_folder.h"

namespace virelo::test {
namespace {

// Nothing listens on port 1 of the loopback address: every request fails at once.
constexpr char unreachable_site[] = "http://127.0.0.1:1/";
constexpr char unreachable_error[] =
    "Cannot reach the Virelo site (cannot reach the site). Check your internet connection and run the "
    "installer again.";

RunOptions test_mode_run(const std::string& folder, std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    options.env = {{"DK_SETUP_TEST", folder}};
    options.timeout_ms = 30000;
    return options;
}

// Waits until the file exists (the failed run's window then stays open).
bool wait_for_file(const std::string& path, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (!file_exists(path)) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(50);
    }
    return true;
}

// The report's name appears before its text is written and flushed: reads
// until the expected text is there, for at most two seconds.
std::optional<std::string> read_report(const std::string& path, const std::string& expected) {
    std::optional<std::string> report;
    for (int i = 0; i < 100 && report != expected; ++i, Sleep(20)) report = read_text(path);
    return report;
}

// A failed install-mode run keeps its window until it is closed; this closes it.
struct FailedRun {
    Child child;
    ~FailedRun() {
        close_setup_window(2000);
        if (!wait_for_exit(child, 10000)) TerminateProcess(child.process.get(), 1);
    }
};

TEST(SetupProcess, FailureWritesTheErrorReportAndKeepsTheWindowUntilClosed) {
    TestFolder folder{"process-failure"};
    const std::string nested = folder.file("a\\b\\c");  // a chain that does not exist yet
    auto child = start_program(setup_exe(), test_mode_run(nested, {"--site", unreachable_site}));
    ASSERT_TRUE(child);
    FailedRun run{std::move(*child)};
    ASSERT_TRUE(wait_for_file(nested + "\\setup-error.txt", 20000));
    EXPECT_EQ(read_report(nested + "\\setup-error.txt", unreachable_error), unreachable_error);
    HWND window = wait_for_window(L"VireloSetupWnd", 5000);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowVisible(window));
    RECT r{};
    GetWindowRect(window, &r);
    EXPECT_EQ(r.left, -20000);
    EXPECT_EQ(r.top, -20000);
    EXPECT_FALSE(wait_for_exit(run.child, 500)) << "the error window waits for the user";
    ASSERT_TRUE(close_setup_window());
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(run.child, 10000, &code));
    EXPECT_EQ(code, 0u);
}

TEST(SetupProcess, EmptyTestFolderWritesTheReportToTheCurrentFolder) {
    TestFolder folder{"process-empty"};
    RunOptions options = test_mode_run("", {"--site", unreachable_site});
    options.working_folder = folder.path();
    auto child = start_program(setup_exe(), options);
    ASSERT_TRUE(child);
    FailedRun run{std::move(*child)};
    ASSERT_TRUE(wait_for_file(folder.file("setup-error.txt"), 20000));
    EXPECT_EQ(read_report(folder.file("setup-error.txt"), unreachable_error), unreachable_error);
}

TEST(SetupProcess, SecondInstanceEndsAtOnceWhileTheFirstWaits) {
    TestFolder first{"process-first"}, second{"process-second"};
    auto child = start_program(setup_exe(), test_mode_run(first.path(), {"--site", unreachable_site}));
    ASSERT_TRUE(child);
    FailedRun run{std::move(*child)};
    ASSERT_TRUE(wait_for_file(first.file("setup-error.txt"), 20000));

    const DWORD start = GetTickCount();
    const RunResult again = run_program(setup_exe(), test_mode_run(second.path(), {"--site", unreachable_site}));
    EXPECT_TRUE(again.started);
    EXPECT_FALSE(again.timed_out);
    EXPECT_EQ(again.exit_code, 0u);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(list_files(second.path()).empty()) << "the second instance wrote nothing";
}

TEST(SetupProcess, UninstallArgumentTable) {
    struct Case {
        std::vector<std::string> args;
        bool uninstall;
    };
    const Case cases[] = {
        {{"--uninstall"}, true},
        {{"--site", unreachable_site, "--uninstall"}, true},
        {{"x", "--uninstall", "y"}, true},
        {{"--UNINSTALL", "--site", unreachable_site}, false},
        {{"--uninstall=1", "--site", unreachable_site}, false},
        {{"/uninstall", "--site", unreachable_site}, false},
        {{"-uninstall", "--site", unreachable_site}, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        TestFolder folder{"process-args-" + std::to_string(index++)};
        if (c.uninstall) {
            // Uninstall mode: no window, no report, and it ends by itself.
            const RunResult result = run_program(setup_exe(), test_mode_run(folder.path(), c.args));
            EXPECT_FALSE(result.timed_out);
            EXPECT_EQ(result.exit_code, 0u);
            EXPECT_FALSE(file_exists(folder.file("setup-error.txt")))
                << read_text(folder.file("setup-error.txt")).value_or("(unreadable)");
        } else {
            auto child = start_program(setup_exe(), test_mode_run(folder.path(), c.args));
            ASSERT_TRUE(child);
            FailedRun run{std::move(*child)};
            EXPECT_TRUE(wait_for_file(folder.file("setup-error.txt"), 20000)) << "install mode ran";
        }
    }
}

// The modes exclude each other: an uninstall waits a bounded time for an
// install-mode run (here one whose error window stays open) and then says it
// is busy, having changed nothing; once the install has ended it runs.
TEST(SetupProcess, UninstallWaitsForAnInstallAndOtherwiseChangesNothing) {
    TestFolder first{"process-guard"}, other{"process-guard-uninstall"};
    const std::string planted = other.file("Programs\\Virelo\\Virelo.exe");
    ASSERT_TRUE(win::create_folder_chain(other.file("Programs\\Virelo")).ok());
    ASSERT_TRUE(write_text(planted, "installed"));
    {
        auto child = start_program(setup_exe(), test_mode_run(first.path(), {"--site", unreachable_site}));
        ASSERT_TRUE(child);
        FailedRun run{std::move(*child)};
        ASSERT_TRUE(wait_for_file(first.file("setup-error.txt"), 20000));
        const DWORD start = GetTickCount();
        const RunResult result = run_program(setup_exe(), test_mode_run(other.path(), {"--uninstall"}));
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_GE(GetTickCount() - start, 9000u) << "it waited for the install";
        EXPECT_EQ(read_text(other.file("setup-error.txt")),
                  "Virelo is being installed or updated right now, so it was not removed. Run the uninstall again "
                  "when that has finished.");
        EXPECT_EQ(read_text(planted), "installed");
    }
    ASSERT_TRUE(win::delete_file(other.file("setup-error.txt")).ok());
    const RunResult result = run_program(setup_exe(), test_mode_run(other.path(), {"--uninstall"}));
    EXPECT_FALSE(result.timed_out);
    EXPECT_FALSE(file_exists(other.file("setup-error.txt")));
    EXPECT_FALSE(file_exists(planted));
}

TEST(SetupProcess, SuccessLeavesAnEarlierReportInPlace) {
    // An installed copy and an unreachable site: the installed copy is started
    // and the run succeeds without a new report.
    TestFolder folder{"process-success"};
    ASSERT_TRUE(write_text(folder.file("setup-error.txt"), "earlier"));
    const std::string install = folder.file("Programs\\Virelo");
    ASSERT_TRUE(win::create_folder_chain(install).ok());
    ASSERT_TRUE(CopyFileW(win::to_wide(build_file("Virelo.exe")).c_str(),
                          win::to_wide(install + "\\Virelo.exe").c_str(), FALSE));
    const RunResult result = run_program(setup_exe(), test_mode_run(folder.path(), {"--site", unreachable_site}));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(read_text(folder.file("setup-error.txt")), "earlier");
    EXPECT_EQ(FindWindowW(L"VireloSetupWnd", nullptr), nullptr);
    // The started stand-in quits by itself after a few seconds; end it now.
    EXPECT_NE(wait_for_window(L"VireloDevWnd", 5000), nullptr) << "the installed copy was started";
    if (HWND app = FindWindowW(L"VireloDevWnd", nullptr)) PostMessageW(app, WM_CLOSE, 0, 0);
}

}  // namespace
}  // namespace virelo::test
