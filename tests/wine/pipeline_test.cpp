// The install pipeline as a whole, in test mode, against a release site in
// the test process: for each kind of run, what it posts, what it leaves in
// the install folder, the registry and the shortcuts, and what it starts.
// The test program itself plays the setup program, so its own file becomes
// the setup copy.

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "child_processes.h"
#include "common/base64.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "setup/pipeline.h"
#include "foundation/status_channel.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/release_site.h"
#include "support/shell_link.h"
#include "support/status_recorder.h"
#include "support/scoped_variable.h"
#include "support/signing.h"
#include "support/standin.h"
#include "support/test_folder.h"
#include "support/uninstall_entry.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::HttpConnection;
using test::HttpRequest;
using test::Posted;
using test::StatusRecorder;

constexpr char api_manifest[] = "/api/release?f=manifest";
constexpr char api_sig[] = "/api/release?f=sig";
constexpr char api_exe[] = "/api/release?f=exe";
// Nothing listens on port 1 of the loopback address.
constexpr char unreachable_site[] = "http://127.0.0.1:1/";

constexpr char test_root[] = "Software\\VireloSetupTest";
constexpr wchar_t dev_class[] = L"VireloDevWnd";
constexpr char test_parameters[] = " --dev --offscreen --quit-after 4";

constexpr char checking[] = "Checking for updates\u2026";
constexpr char installing[] = "Installing\u2026";
constexpr char starting[] = "Starting Virelo\u2026";

constexpr char unreachable_error[] =
    "Cannot reach the Virelo site (cannot reach the site). Check your internet connection and run the "
    "installer again.";
constexpr char signature_error[] =
    "The release on the site failed the signature check, so it will not be installed. "
    "Please report this to the Virelo developer.";
constexpr char damaged_error[] = "The release description on the site is damaged.";
constexpr char mismatch_error[] =
    "The downloaded file does not match the signed release, so it will not be installed. Please try again later.";
constexpr char refused_error[] =
    "Virelo is running and did not close. Quit it (tray icon \u2192 Exit) and run the installer again.";
constexpr char not_replaced_error[] = "Could not replace the old version of Virelo.";
constexpr char not_started_error[] = "Virelo is installed but did not start.";

// Long enough for the stand-in to close by itself; a refusing one gets less.
constexpr CloseTiming patient_close{.attempts = 100, .wait_ms = 3000, .pause_ms = 20};
constexpr CloseTiming short_close{.attempts = 5, .wait_ms = 100, .pause_ms = 10};
constexpr SwapTiming quick_swap{.attempts = 20, .pause_ms = 10};

Bytes file_bytes(const std::string& path) { return win::read_file(path).value_or(Bytes{}); }

// The manifest and the signature travel at once, so their order on the wire
// is not fixed; the executable is asked for only after both.
std::vector<std::string> in_check_order(std::vector<std::string> targets) {
    const auto check_end = std::find(targets.begin(), targets.end(), std::string{api_exe});
    std::sort(targets.begin(), check_end);
    return targets;
}

std::string own_path() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return win::from_wide({path, length});
}

// The updates of a run with the download's progress lines taken out; those
// are checked for their form on the way: "… {done} of {total} MB", rising.
struct StatusSummary {
    std::vector<Posted> steps;
    std::size_t progress_lines = 0;
    std::int32_t last_progress = -1;
};

StatusSummary summarise(const std::vector<Posted>& posted, std::string_view version, std::uint64_t size) {
    const std::string downloading = "Downloading Virelo " + std::string{version} + "\u2026";
    const std::string total = " of " + std::to_string((size + 1048575) / 1048576) + " MB";
    StatusSummary summary;
    for (const Posted& p : posted) {
        if (p.text.size() <= downloading.size() || p.text.rfind(downloading, 0) != 0) {
            summary.steps.push_back(p);
            continue;
        }
        EXPECT_TRUE(p.text.ends_with(total)) << p.text;
        EXPECT_GE(p.progress, summary.last_progress) << p.text;
        ++summary.progress_lines;
        summary.last_progress = p.progress;
    }
    return summary;
}

// A run that downloads and installs `version`: "Checking for updates…",
// "Downloading Virelo {version}…" at 0, the progress lines rising to 1000,
// then "Installing…" and "Starting Virelo…".
void expect_install_statuses(const std::vector<Posted>& posted, std::string_view version, std::uint64_t size) {
    const StatusSummary summary = summarise(posted, version, size);
    EXPECT_EQ(summary.steps, (std::vector<Posted>{{checking, -1},
                                                   {"Downloading Virelo " + std::string{version} + "\u2026", 0},
                                                   {installing, 1000},
                                                   {starting, 1000}}));
    EXPECT_GE(summary.progress_lines, 1u);
    EXPECT_EQ(summary.last_progress, 1000);
    // Every progress line lies between the first download text and "Installing…".
    ASSERT_EQ(posted.size(), summary.progress_lines + 4);
    EXPECT_EQ(posted[1].progress, 0);
    EXPECT_EQ(posted[posted.size() - 2].text, installing);
}

std::optional<std::string> link_target(const std::string& file) {
    const auto link = test::read_shell_link(file);
    return link ? std::optional<std::string>{link->target} : std::nullopt;
}

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        test::delete_key_tree(test_root);
        ASSERT_TRUE(status_.ok());
        ASSERT_FALSE(v1_.empty()) << "the stand-ins are not built";
        ASSERT_FALSE(v2_.empty());
        ASSERT_NE(v1_, v2_);
    }
    void TearDown() override {
        end_processes_by_image_path(installed_exe_path());
        test::delete_key_tree(test_root);
        CoUninitialize();
    }

    Result run(std::string site, const CloseTiming& close = patient_close) {
        PipelineOptions options;
        options.args = {own_path(), "--site", std::move(site)};
        options.close_timing = close;
        options.swap_timing = quick_swap;
        return run_install(options);
    }

    // Nothing installed, nothing recorded and nothing running: for each row of
    // a table.
    void start_afresh() {
        end_processes_by_image_path(installed_exe_path());
        win::delete_tree(install_dir());
        test::remove_if_present(record_);
        test::delete_key_tree(test_root);
    }

    // An earlier installation, as far as its executable goes.
    void install(const Bytes& executable) {
        ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
        ASSERT_TRUE(win::write_file(installed_exe_path(), executable).ok());
    }

    // The installed executable running with its window, without a time limit.
    std::optional<test::RunningStandIn> start_installed(test::EnvChanges env = {}) {
        return test::start_standin(installed_exe_path(), test::standin_options({"--dev", "--offscreen"}, env),
                                   dev_class);
    }

    std::vector<test::StartRecord> starts() const { return test::read_start_records(record_); }

    // The last start was the pipeline's: the installed executable with the
    // test parameters, in the install folder.
    void expect_started_by_the_pipeline(std::size_t count) {
        const auto records = test::wait_for_start_records(record_, count, 10000);
        ASSERT_EQ(records.size(), count);
        const auto& last = records.back();
        EXPECT_TRUE(last.command_line.ends_with(test_parameters)) << last.command_line;
        EXPECT_NE(last.command_line.find(installed_exe_path()), std::string::npos) << last.command_line;
        EXPECT_EQ(last.working_folder, install_dir());
    }

    // ShellExecuteW has created the process by the time it returns, so a
    // start by the pipeline shows at once as a child of this process (its
    // name may still be empty while it starts). Wine's desktop process is a
    // child too; the stand-ins the test started itself are `own`.
    void expect_nothing_started(std::vector<DWORD> own = {}) {
        std::vector<std::string> started;
        for (const auto& child : test::child_processes(GetCurrentProcessId())) {
            const bool app = child.exe_name.empty() || _stricmp(child.exe_name.c_str(), "Virelo.exe") == 0;
            if (app && std::find(own.begin(), own.end(), child.id) == own.end()) {
                started.push_back(child.exe_name + " " + child.command_line);
            }
        }
        EXPECT_EQ(started, std::vector<std::string>{});
        EXPECT_EQ(starts().size(), own.size());
    }

    // Steps 9 to 12 of a run that got past the placement.
    void expect_installation(const Bytes& executable, std::string_view version) {
        EXPECT_EQ(test::list_files(install_dir()),
                  (std::vector<std::string>{"Virelo.exe", "VireloSetup.exe", "version.txt"}));
        EXPECT_EQ(file_bytes(installed_exe_path()), executable);
        EXPECT_EQ(file_bytes(setup_copy_path()), file_bytes(own_path()));
        EXPECT_EQ(test::read_text(version_file_path()), version);
        EXPECT_EQ(link_target(start_menu_shortcut_path()), setup_copy_path());

        test::expect_uninstall_entry(version, executable.size(), site_.url());
    }

    // Nothing of steps 9 to 12 happened.
    void expect_no_registration() {
        EXPECT_FALSE(win::path_exists(version_file_path()));
        EXPECT_FALSE(win::path_exists(setup_copy_path()));
        EXPECT_FALSE(win::path_exists(start_menu_shortcut_path()));
        EXPECT_FALSE(win::path_exists(desktop_shortcut_path()));
        EXPECT_FALSE(test::key_exists(uninstall_key()));
    }

    test::TestFolder folder_{"pipeline"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    const std::string record_ = folder_.file("starts.txt");
    // Every stand-in started during the test inherits it, through the shell too.
    test::ScopedVariable record_variable_{L"VIRELO_STANDIN_RECORD", win::to_wide(record_)};
    StatusRecorder status_;
    test::ReleaseSite site_;
    const Bytes v1_ = file_bytes(test::standin_exe());
    const Bytes v2_ = file_bytes(test::standin_next_exe());
};

TEST_F(PipelineTest, FirstInstall) {
    site_.publish(v1_, "1.0.0");
    const Result result = run(site_.url());
    ASSERT_TRUE(result.ok()) << result.error();

    expect_install_statuses(status_.take(), "1.0.0", v1_.size());
    expect_installation(v1_, "1.0.0");
    EXPECT_EQ(link_target(desktop_shortcut_path()), setup_copy_path());
    EXPECT_EQ(in_check_order(site_.targets()), (std::vector<std::string>{api_manifest, api_sig, api_exe}));
    expect_started_by_the_pipeline(1);
    EXPECT_NE(test::wait_for_window(dev_class, 10000), nullptr);
}

TEST_F(PipelineTest, CurrentInstallationIsRefreshedAndStartedWithoutAStop) {
    site_.publish(v1_, "1.0.0");
    ASSERT_TRUE(run(site_.url()).ok());
    (void)status_.take();
    // The first run's start quits by itself; a copy without time limit shows
    // whether anything asks it to close.
    end_processes_by_image_path(installed_exe_path());
    auto app = start_installed();
    ASSERT_TRUE(app);
    const HWND app_window = app->wait_for_window(dev_class, 1000);
    ASSERT_NE(app_window, nullptr);
    const std::size_t starts_before = starts().size();

    // What the next run must restore, and the desktop shortcut it must not.
    ASSERT_TRUE(win::delete_file(version_file_path()).ok());
    ASSERT_TRUE(win::delete_file(desktop_shortcut_path()).ok());
    test::delete_key_tree(uninstall_key());
    test::delete_key_tree(launcher_key());
    test::backdate(start_menu_shortcut_path());
    const std::uint64_t shortcut_written = test::last_write(start_menu_shortcut_path());
    const std::size_t requests_before = site_.targets().size();

    const Result result = run(site_.url());
    ASSERT_TRUE(result.ok()) << result.error();

    EXPECT_EQ(status_.take(), (std::vector<Posted>{{checking, -1}, {starting, 1000}}));
    const auto targets = site_.targets();
    EXPECT_EQ(in_check_order({targets.begin() + static_cast<std::ptrdiff_t>(requests_before), targets.end()}),
              (std::vector<std::string>{api_manifest, api_sig}));
    expect_installation(v1_, "1.0.0");
    EXPECT_NE(test::read_text(folder_.file("setup.log")).value_or("").find(
                  "run: start only (the installed executable is this release)"),
              std::string::npos);
    EXPECT_NE(test::last_write(start_menu_shortcut_path()), shortcut_written);
    EXPECT_FALSE(win::path_exists(desktop_shortcut_path()));
    expect_started_by_the_pipeline(starts_before + 1);
    // A close request would have been handled by now (the pipeline would
    // even have waited for the exit).
    EXPECT_TRUE(app->running());
    EXPECT_TRUE(IsWindow(app_window)) << "the running copy was asked to close";
}

TEST_F(PipelineTest, UpdateClosesTheRunningCopyAndStartsTheNewOne) {
    install(v1_);
    auto old_app = start_installed();
    ASSERT_TRUE(old_app);
    site_.publish(v2_, "1.1.0");

    const Result result = run(site_.url());
    ASSERT_TRUE(result.ok()) << result.error();

    expect_install_statuses(status_.take(), "1.1.0", v2_.size());
    EXPECT_EQ(old_app->wait_for_exit(5000), 0u) << "closed on request, not ended";
    expect_installation(v2_, "1.1.0");
    expect_started_by_the_pipeline(2);
    const std::string log = test::read_text(folder_.file("setup.log")).value_or("");
    for (const char* line : {"run: start of the installed Virelo", "run: update of the installed executable to 1.1.0",
                             "closed the running Virelo (asked its window 1 time)"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    // The copy that runs now is the new release.
    const HWND window = test::wait_for_window(dev_class, 10000);
    ASSERT_NE(window, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(win::from_wide_buffer(title, 64), "Virelo 1.1.0");
}

// Placement failures end the run with the installed executable untouched; the
// site recorded before them stays. A copy that refused to close is still
// running and nothing else is started; after a failed swap the old copy is.
TEST_F(PipelineTest, CopyThatRefusesToCloseKeepsItsExecutable) {
    install(v1_);
    auto app = start_installed({{"VIRELO_STANDIN_IGNORE_CLOSE", "1"}});
    ASSERT_TRUE(app);
    site_.publish(v2_, "1.1.0");

    const Result result = run(site_.url(), short_close);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), refused_error);

    const auto posted = status_.take();
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back(), (Posted{installing, 1000}));
    EXPECT_TRUE(app->running());
    EXPECT_EQ(test::list_files(install_dir()), std::vector<std::string>{"Virelo.exe"}) << "staged file deleted";
    EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
    expect_no_registration();
    EXPECT_EQ(test::read_string(launcher_key(), "Site"), site_.url());
    expect_nothing_started({app->id()});
}

TEST_F(PipelineTest, ExecutableHeldOpenIsNotReplaced) {
    install(v1_);
    // Held by this process, as another program would: a replacing rename and a
    // delete both fail while it is open. (A stand-in holding its own file lets
    // go of it when it is closed before the swap.)
    const win::unique_file held{CreateFileW(win::to_wide(installed_exe_path()).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(held);
    site_.publish(v2_, "1.1.0");

    const Result result = run(site_.url());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), not_replaced_error);

    const auto posted = status_.take();
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back(), (Posted{installing, 1000}));
    EXPECT_EQ(test::list_files(install_dir()), (std::vector<std::string>{"Virelo.exe", "Virelo.exe.new"}));
    EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
    EXPECT_EQ(file_bytes(staged_exe_path()), v2_);
    expect_no_registration();
    // The old executable is still in place, so the user still gets Virelo.
    expect_started_by_the_pipeline(1);
}

// Runs that end before anything is placed: the release phase and the
// download. An installed copy starts whenever the failure left it usable.
TEST_F(PipelineTest, FailuresBeforePlacementLeaveTheInstallationAsItWas) {
    const std::string damaged = "{\"app\": \"virelo\", \"version\": \"1.1.0\", \"file\": \"Virelo.exe\", \"size\": 3, "
                                "\"sha256\": \"" + std::string(64, 'a') + "\"}";
    Bytes same_size_other_bytes = v2_;
    same_size_other_bytes[same_size_other_bytes.size() / 2] ^= 0x5A;

    struct Case {
        const char* name;
        bool installed;
        std::function<std::string(test::ReleaseSite&)> arrange;  // gives the site to run against
        std::optional<std::string> error;                  // nothing: success
        bool downloads;
        bool starts_installed_copy;
        bool records_site;
    };
    const auto unreachable = [](test::ReleaseSite&) { return std::string{unreachable_site}; };
    const auto bad_signature = [&](test::ReleaseSite& s) {
        s.publish(v2_, "1.1.0");
        s.serve(api_sig, test::demo_signature("another manifest"));
        return s.url();
    };
    const auto damaged_manifest = [&](test::ReleaseSite& s) {
        s.serve(api_manifest, damaged);
        s.serve(api_sig, test::demo_signature(damaged));
        return s.url();
    };
    const auto other_bytes = [&](test::ReleaseSite& s) {
        s.publish(v2_, "1.1.0");
        s.serve(api_exe, {same_size_other_bytes.begin(), same_size_other_bytes.end()});
        return s.url();
    };
    const Case cases[] = {
        {"unreachable, installed", true, unreachable, std::nullopt, false, true, false},
        {"unreachable, not installed", false, unreachable, unreachable_error, false, false, false},
        {"signature fails, installed", true, bad_signature, signature_error, false, true, false},
        {"signature fails, not installed", false, bad_signature, signature_error, false, false, false},
        {"damaged manifest, installed", true, damaged_manifest, damaged_error, false, true, false},
        {"damaged manifest, not installed", false, damaged_manifest, damaged_error, false, false, false},
        {"download mismatch, installed", true, other_bytes, mismatch_error, true, true, true},
        {"download mismatch, not installed", false, other_bytes, mismatch_error, true, false, true},
    };
    constexpr char earlier_site[] = "https://earlier.example/";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        test::write_string(launcher_key(), "Site", earlier_site);
        if (c.installed) install(v1_);
        test::ReleaseSite site;
        const std::string url = c.arrange(site);
        (void)status_.take();

        const Result result = run(url);
        if (c.error) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error(), *c.error);
        } else {
            EXPECT_TRUE(result.ok()) << result.error();
        }

        const StatusSummary summary = summarise(status_.take(), "1.1.0", v2_.size());
        std::vector<Posted> steps{{checking, -1}};
        if (c.downloads) steps.push_back({"Downloading Virelo 1.1.0\u2026", 0});
        EXPECT_EQ(summary.steps, steps);
        if (c.downloads) {
            EXPECT_EQ(summary.last_progress, 1000);
            EXPECT_EQ(in_check_order(site.targets()), (std::vector<std::string>{api_manifest, api_sig, api_exe}));
        }

        if (c.installed) {
            EXPECT_EQ(test::list_files(install_dir()), std::vector<std::string>{"Virelo.exe"});
            EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
        } else {
            EXPECT_FALSE(win::path_exists(install_dir()));
        }
        expect_no_registration();
        EXPECT_EQ(test::read_string(launcher_key(), "Site"), c.records_site ? url : earlier_site);
        if (c.starts_installed_copy) {
            expect_started_by_the_pipeline(1);
        } else {
            expect_nothing_started();
        }
    }
}

// A release site that misbehaves on purpose: it may answer nothing after the
// connection, drip its answer a byte at a time, or stall halfway through the
// executable. Whatever it does, the installed copy starts soon, and without
// one the run ends with its error instead of waiting for ever.
class MisbehavingSite {
public:
    enum class Behaviour { hang, drip, stall_download };

    MisbehavingSite(Behaviour behaviour, const Bytes& executable)
        : behaviour_{behaviour},
          executable_{executable},
          manifest_{test::manifest_for(executable, "1.1.0")},
          server_{[this](const HttpRequest& r, HttpConnection& c) { answer(r, c); }} {}
    MisbehavingSite(const MisbehavingSite&) = delete;
    MisbehavingSite& operator=(const MisbehavingSite&) = delete;
    // Lets every held answer go, so the server can stop.
    ~MisbehavingSite() { SetEvent(stop_.get()); }

    std::string url() const { return server_.url(); }

private:
    // False once the site is being stopped.
    bool wait(DWORD ms) const { return WaitForSingleObject(stop_.get(), ms) == WAIT_TIMEOUT; }

    void answer(const HttpRequest& request, HttpConnection& connection) {
        const bool exe = request.target == api_exe;
        const bool manifest = request.target == api_manifest || request.target == "/manifest.json";
        const std::string body = exe ? std::string{executable_.begin(), executable_.end()}
                               : manifest ? manifest_
                                          : test::demo_signature(manifest_);
        switch (behaviour_) {
        case Behaviour::hang:
            while (wait(1000)) {
            }
            return;
        case Behaviour::drip:
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
            for (const char byte : body) {
                if (!wait(2000) || !connection.send(std::string(1, byte))) return;
            }
            return;
        case Behaviour::stall_download:
            if (!exe) {
                connection.send(test::http_response(200, body));
                return;
            }
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
            connection.send(std::string_view{body}.substr(0, body.size() / 2));
            while (wait(1000)) {
            }
            return;
        }
    }

    const Behaviour behaviour_;
    const Bytes executable_;
    const std::string manifest_;
    // Declared before the server, so it outlives the server's handlers.
    const win::unique_handle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    test::HttpServer server_;
};

TEST_F(PipelineTest, MisbehavingSiteNeverHoldsTheInstalledCopyHostage) {
    using Behaviour = MisbehavingSite::Behaviour;
    const std::string interrupted = "Could not download Virelo (download interrupted).";
    struct Case {
        const char* name;
        std::optional<Behaviour> behaviour;  // nothing: a port where nobody listens
        bool installed;
        std::optional<std::string> error;  // nothing: success
        double within_seconds;             // generous bounds, not a benchmark
    };
    const Case cases[] = {
        {"hang, installed", Behaviour::hang, true, std::nullopt, 10},
        {"hang, not installed", Behaviour::hang, false, unreachable_error, 15},
        {"drip, installed", Behaviour::drip, true, std::nullopt, 10},
        {"drip, not installed", Behaviour::drip, false, unreachable_error, 15},
        {"stall mid-download, installed", Behaviour::stall_download, true, interrupted, 20},
        {"stall mid-download, not installed", Behaviour::stall_download, false, interrupted, 20},
        {"refused, installed", std::nullopt, true, std::nullopt, 10},
        {"refused, not installed", std::nullopt, false, unreachable_error, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        if (c.installed) install(v1_);
        std::optional<MisbehavingSite> site;
        if (c.behaviour) site.emplace(*c.behaviour, v2_);
        (void)status_.take();

        PipelineOptions options;
        options.args = {own_path(), "--site", site ? site->url() : unreachable_site};
        // The installed case keeps the program's own budget; the others are
        // shortened so the table stays quick.
        options.check_budget_first_install = std::chrono::seconds{4};
        options.receive_timeout = std::chrono::seconds{3};
        const DWORD start = GetTickCount();
        const Result result = run_install(options);
        const double seconds = (GetTickCount() - start) / 1000.0;

        if (c.error) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error(), *c.error);
        } else {
            EXPECT_TRUE(result.ok()) << result.error();
        }
        EXPECT_LT(seconds, c.within_seconds);
        if (c.installed) {
            expect_started_by_the_pipeline(1);
            EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
            EXPECT_EQ(test::list_files(install_dir()), std::vector<std::string>{"Virelo.exe"});
        } else {
            expect_nothing_started();
            EXPECT_FALSE(win::path_exists(install_dir()));
        }
    }
}

// The real program, with its own budget: with Virelo installed, a site that
// answers nothing delays the start by a few seconds, never more.
TEST_F(PipelineTest, RealProgramStartsTheInstalledCopySoonWhenTheSiteHangs) {
    install(v1_);
    MisbehavingSite site{MisbehavingSite::Behaviour::hang, v2_};
    test::RunOptions options;
    options.args = {"--site", site.url()};
    options.timeout_ms = 30000;
    const DWORD start = GetTickCount();
    const test::RunResult result = test::run_program(test::setup_exe(), options);
    const double seconds = (GetTickCount() - start) / 1000.0;
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timed_out);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(test::read_text(folder_.file("setup-error.txt")), std::nullopt);
    expect_started_by_the_pipeline(1);
}

// The diagnostic log says which site was used and why, each request with its
// answer, what was decided and what was started.
TEST_F(PipelineTest, DiagnosticLogTellsWhatTheRunDid) {
    site_.publish(v1_, "1.0.0");
    PipelineOptions options;
    // A refused --site falls back to the built-in site: here the test's own.
    options.args = {own_path(), "--site", "http://192.168.1.20:8080/"};
    options.default_site = site_.url();
    options.close_timing = patient_close;
    options.swap_timing = quick_swap;
    ASSERT_TRUE(run_install(options).ok());

    const auto log = test::read_text(folder_.file("setup.log"));
    ASSERT_TRUE(log.has_value());
    const std::string expected[] = {
        "site " + site_.url() + " (the built-in site: --site http://192.168.1.20:8080/ was refused (plain http is "
                                "accepted only for 127.0.0.1 and localhost)); Virelo not installed",
        "GET " + site_.url() + "api/release?f=manifest: 200, ",
        "GET " + site_.url() + "api/release?f=sig: 200, ",
        "release 1.0.0: ",
        "GET " + site_.url() + "api/release?f=exe: 200, " + std::to_string(v1_.size()) + " bytes, ",
        "started the installed copy",
        "run: first install",
    };
    for (const std::string& line : expected) EXPECT_NE(log->find(line), std::string::npos) << line << "\n" << *log;
}

// What the run goes on without (the version file, a shortcut) still leaves a
// line that says what failed and the system's reason.
TEST_F(PipelineTest, FailuresTheRunGoesOnWithoutAreLogged) {
    site_.publish(v1_, "1.0.0");
    // Folders where the temporary files must go: neither can be written.
    ASSERT_TRUE(win::create_folder_chain(win::temporary_path(version_file_path())).ok());
    ASSERT_TRUE(win::create_folder_chain(win::temporary_path(start_menu_shortcut_path())).ok());
    const Result result = run(site_.url());
    ASSERT_TRUE(result.ok()) << result.error();

    const std::string log = test::read_text(folder_.file("setup.log")).value_or("");
    for (const std::string& line : std::vector<std::string>{"writing the version file failed (ignored): ",
                                   "removing " + win::temporary_path(start_menu_shortcut_path()) + " failed (ignored): ",
                                   "writing the shortcut " + start_menu_shortcut_path() + " failed (ignored): "}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_NE(log.find("(os error "), std::string::npos) << log;
}

// A request the site answers with an error status is named in the log with
// its URL, and so is the one that ended the release check or the download.
TEST_F(PipelineTest, DiagnosticLogNamesTheUrlOfAFailedRequest) {
    const auto log_text = [&] { return test::read_text(folder_.file("setup.log")).value_or(""); };
    {
        SCOPED_TRACE("nothing published");
        test::ReleaseSite site;
        test::remove_if_present(folder_.file("setup.log"));
        const Result result = run(site.url());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), "Cannot reach the Virelo site (server replied 404). Check your internet connection "
                                  "and run the installer again.");
        const std::string log = log_text();
        for (const std::string& line : {"GET " + site.url() + "api/release?f=manifest: server replied 404",
                                        "GET " + site.url() + "manifest.json: server replied 404",
                                        "release check: " + site.url() + "manifest.json: server replied 404"}) {
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
    }
    {
        SCOPED_TRACE("the executable is missing");
        start_afresh();
        test::ReleaseSite site;
        site.publish(v2_, "1.1.0");
        site.withdraw(api_exe);
        test::remove_if_present(folder_.file("setup.log"));
        const Result result = run(site.url());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), "Could not download Virelo (server replied 404).");
        const std::string log = log_text();
        for (const std::string& line : {"GET " + site.url() + "api/release?f=exe: server replied 404",
                                        std::string{"download: the whole executable (api/release?f=exe) failed "
                                                    "(server replied 404)"}}) {
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
    }
}

// A failed signature check reads the same in the window whatever its cause;
// the log says which key the manifest names and which this program trusts,
// so a release signed by another key and one changed after signing differ.
TEST_F(PipelineTest, DiagnosticLogTellsAnotherKeyFromAChangeAfterSigning) {
    const std::string demo = test::key_fingerprint(test::demo_public_key());
    ASSERT_EQ(demo.size(), 16u);
    const test::KeyPair other = test::generate_key_pair();
    const std::string other_fp = test::key_fingerprint(other.public_blob);
    const auto naming = [&](const std::string& fingerprint) {
        std::string manifest = test::manifest_for(v2_, "1.1.0");
        manifest.insert(manifest.rfind('}'), ",\n  \"key\": \"" + fingerprint + "\"\n");
        return manifest;
    };
    struct Case {
        const char* name;
        std::function<void(test::ReleaseSite&)> arrange;
        std::string line;
    };
    const Case cases[] = {
        {"signed by another key",
         [&](test::ReleaseSite& s) {
             const std::string manifest = naming(other_fp);
             s.publish_manifest(v2_, manifest);
             s.serve(api_sig, encode_base64(test::sign_raw(other.private_blob, test::bytes_of(manifest))));
         },
         "signature check failed (the release API): signed by another key " + other_fp + "; this program trusts " +
             demo},
        {"changed after signing",
         [&](test::ReleaseSite& s) {
             std::string manifest = naming(demo);
             s.publish_manifest(v2_, manifest);
             manifest.replace(manifest.find("1.1.0"), 5, "1.1.9");
             s.serve(api_manifest, manifest);
         },
         "signature check failed (the release API): changed after signing, or paired with another manifest's "
         "signature (it names key " + demo + ", which this program trusts)"},
        {"names no key",
         [&](test::ReleaseSite& s) {
             s.publish(v2_, "1.1.0");
             s.serve(api_sig, test::demo_signature("another manifest"));
         },
         "signature check failed (the release API): signed by another key, or changed after signing (the manifest "
         "names no key); this program trusts " + demo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        install(v1_);
        test::remove_if_present(folder_.file("setup.log"));
        test::ReleaseSite site;
        c.arrange(site);
        const Result result = run(site.url());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), signature_error);
        const std::string log = test::read_text(folder_.file("setup.log")).value_or("");
        EXPECT_NE(log.find(c.line), std::string::npos) << c.line << "\n" << log;
        expect_started_by_the_pipeline(1);
    }
}

// A second start while a run holds the single-instance guard ends at once
// and says so in an existing log, without ever making one.
TEST_F(PipelineTest, SecondStartEndsAndSaysSo) {
    const win::unique_handle guard{CreateMutexW(nullptr, TRUE, instance_guard_name)};
    ASSERT_TRUE(guard);
    site_.publish(v1_, "1.0.0");
    const std::string log_path = folder_.file("setup.log");
    for (const bool log_exists : {true, false}) {
        SCOPED_TRACE(log_exists ? "with a log" : "without a log");
        test::remove_if_present(log_path);
        if (log_exists) {
            ASSERT_TRUE(test::write_text(log_path, "earlier line\r\n"));
        }
        test::RunOptions options;
        options.args = {"--site", site_.url()};
        const test::RunResult result = test::run_program(test::setup_exe(), options);
        ASSERT_TRUE(result.started);
        ASSERT_FALSE(result.timed_out);
        const auto log = test::read_text(log_path);
        if (log_exists) {
            ASSERT_TRUE(log.has_value());
            EXPECT_NE(log->find(" run: another setup run is under way, so this start ends at once\r\n"),
                      std::string::npos)
                << *log;
        } else {
            EXPECT_EQ(log, std::nullopt);
        }
    }
    EXPECT_EQ(site_.targets(), std::vector<std::string>{});
    ReleaseMutex(guard.get());
}

// Each run of the program appends to the log; a log past its bound is moved
// aside first, so the two files stay small however often Virelo starts.
TEST_F(PipelineTest, DiagnosticLogIsAppendedAndKeptSmall) {
    site_.publish(v1_, "1.0.0");
    const std::string log_path = folder_.file("setup.log");
    const auto run_program = [&] {
        test::RunOptions options;
        options.args = {"--site", site_.url()};
        const test::RunResult result = test::run_program(test::setup_exe(), options);
        ASSERT_TRUE(result.started);
        ASSERT_FALSE(result.timed_out);
    };
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };

    ASSERT_TRUE(win::write_file(log_path, std::span{reinterpret_cast<const std::uint8_t*>("earlier line\r\n"), 14}).ok());
    run_program();
    run_program();
    auto log = test::read_text(log_path).value_or("");
    EXPECT_EQ(log.rfind("earlier line\r\n", 0), 0u) << "appended, not replaced";
    // Each run says what kind it is: the first installs, the second starts
    // the installed copy, which is current.
    EXPECT_EQ(count(log, " run: first install\r\n"), 1u);
    EXPECT_EQ(count(log, " run: start of the installed Virelo"), 1u);
    EXPECT_EQ(count(log, " run: start only (the installed executable is this release)\r\n"), 1u);
    EXPECT_EQ(count(log, "result: success"), 2u);

    const std::string big(70 * 1024, 'x');
    ASSERT_TRUE(win::write_file(log_path, std::span{reinterpret_cast<const std::uint8_t*>(big.data()), big.size()}).ok());
    run_program();
    EXPECT_EQ(test::read_text(log_path + ".1"), big);
    log = test::read_text(log_path).value_or("");
    EXPECT_LT(log.size(), 4096u);
    EXPECT_EQ(count(log, "result: success"), 1u);

    // A folder in the previous part's place cannot be replaced: the log starts
    // over instead of growing, and the folder stays as it was.
    ASSERT_TRUE(win::delete_file(log_path + ".1").ok());
    ASSERT_TRUE(win::create_folder_chain(log_path + ".1\\kept").ok());
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        ASSERT_TRUE(win::write_file(log_path, std::span{reinterpret_cast<const std::uint8_t*>(big.data()), big.size()}).ok());
        run_program();
        log = test::read_text(log_path).value_or("");
        EXPECT_LT(log.size(), 4096u);
        EXPECT_EQ(count(log, "result: success"), 1u);
        EXPECT_TRUE(win::path_exists(log_path + ".1\\kept"));
    }
}

// Signed freshness: a serial that never goes back and an expiry. Each row
// starts from Virelo 1.0.0 installed and a site offering 1.1.0.
TEST_F(PipelineTest, SerialAndExpiryRefuseReplaysAndFrozenReleases) {
    const std::string expired_error =
        "The release on the site has expired, so it will not be installed. Please report this to the Virelo "
        "developer.";
    const std::string older_error =
        "The release on the site is older than one already installed, so it will not be installed. Please report "
        "this to the Virelo developer.";
    struct Case {
        const char* name;
        std::optional<std::uint64_t> recorded;  // Serial before the run
        std::string fields;                     // added to the manifest
        std::optional<std::string> error;       // nothing: success
        bool starts_installed_copy;             // before the error (a success always starts the new one)
        bool downloads;
        std::optional<std::uint64_t> recorded_after;
        // The recorded value's size when it is not the eight bytes of a
        // QWORD: a value no release can carry is ignored, and the log says so.
        std::size_t recorded_bytes = 8;
        bool ignored = false;
    };
    const Case cases[] = {
        {"nothing recorded, no fields", std::nullopt, "", std::nullopt, false, true, std::nullopt},
        {"higher serial", 5, "\"serial\": 6", std::nullopt, false, true, 6},
        {"equal serial", 5, "\"serial\": 5", std::nullopt, false, true, 5},
        {"first serial", std::nullopt, "\"serial\": 1", std::nullopt, false, true, 1},
        {"lower serial", 5, "\"serial\": 4", older_error, true, false, 5},
        {"no serial after one was recorded", 5, "", older_error, true, false, 5},
        {"expiry ahead", std::nullopt, "\"expires\": \"2999-01-01T00:00:00Z\"", std::nullopt, false, true,
         std::nullopt},
        {"expiry passed", 5, "\"serial\": 9, \"expires\": \"2001-01-01T00:00:00Z\"", expired_error, true, false,
         5},
        {"malformed serial", 5, "\"serial\": \"six\"", damaged_error, true, false, 5},
        {"malformed expiry", std::nullopt, "\"expires\": \"tomorrow\"", damaged_error, true, false, std::nullopt},
        {"recorded 2^64 - 1, beyond any release", ~0ull, "\"serial\": 6", std::nullopt, false, true, 6, 8, true},
        {"recorded 2^53 + 1", (1ull << 53) + 1, "\"serial\": 6", std::nullopt, false, true, 6, 8, true},
        {"recorded as 16 bytes", 7, "\"serial\": 6", std::nullopt, false, true, 6, 16, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        if (c.recorded) {
            std::vector<std::uint8_t> data(c.recorded_bytes);
            for (std::size_t i = 0; i < 8 && i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(*c.recorded >> (8 * i));
            test::write_raw(launcher_key(), "Serial", REG_QWORD, data);
        }
        test::remove_if_present(folder_.file("setup.log"));
        install(v1_);
        std::string manifest = test::manifest_for(v2_, "1.1.0");
        if (!c.fields.empty()) manifest.insert(manifest.rfind('}'), ",\n  " + c.fields + "\n");
        test::ReleaseSite site;
        site.publish_manifest(v2_, manifest);
        (void)status_.take();

        PipelineOptions options;
        options.args = {own_path(), "--site", site.url()};
        options.close_timing = patient_close;
        options.swap_timing = quick_swap;
        const Result result = run_install(options);
        if (c.error) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error(), *c.error);
            EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
        } else {
            ASSERT_TRUE(result.ok()) << result.error();
            EXPECT_EQ(file_bytes(installed_exe_path()), v2_);
        }
        const auto targets = site.targets();
        EXPECT_EQ(std::count(targets.begin(), targets.end(), std::string{api_exe}), c.downloads ? 1 : 0);
        if (!c.error || c.starts_installed_copy) {
            expect_started_by_the_pipeline(1);
        } else {
            expect_nothing_started();
        }
        EXPECT_EQ(test::read_qword(launcher_key(), "Serial"), c.recorded_after);
        const std::string log = test::read_text(folder_.file("setup.log")).value_or("");
        EXPECT_EQ(log.find("the recorded serial is ignored") != std::string::npos, c.ignored) << log;
    }
}

// A refresh signs the same release again with a higher serial and a later
// expiry: the installed copy stays current and nothing is downloaded.
TEST_F(PipelineTest, RefreshedReleaseIsCurrentWithoutADownload) {
    const auto with_fields = [&](const std::string& fields) {
        std::string manifest = test::manifest_for(v1_, "1.0.0");
        manifest.insert(manifest.rfind('}'), ",\n  " + fields + "\n");
        return manifest;
    };
    site_.publish_manifest(v1_, with_fields("\"serial\": 1, \"expires\": \"2998-01-01T00:00:00Z\""));
    ASSERT_TRUE(run(site_.url()).ok());
    EXPECT_EQ(test::read_qword(launcher_key(), "Serial"), 1u);
    const std::size_t requests_before = site_.targets().size();

    site_.publish_manifest(v1_, with_fields("\"serial\": 2, \"expires\": \"2999-01-01T00:00:00Z\""));
    const Result result = run(site_.url());
    ASSERT_TRUE(result.ok()) << result.error();
    const auto targets = site_.targets();
    EXPECT_EQ(in_check_order({targets.begin() + static_cast<std::ptrdiff_t>(requests_before), targets.end()}),
              (std::vector<std::string>{api_manifest, api_sig}));
    EXPECT_EQ(test::read_qword(launcher_key(), "Serial"), 2u);
    EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
}

// A release whose executable the shell cannot start: every file and value is
// in place, and the run still fails.
TEST_F(PipelineTest, ReleaseThatDoesNotStartIsReported) {
    const std::string text = "This is a text file, not a program.\r\n";
    const Bytes not_a_program(text.begin(), text.end());
    site_.publish(not_a_program, "1.1.0");

    const Result result = run(site_.url());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), not_started_error);

    expect_install_statuses(status_.take(), "1.1.0", not_a_program.size());
    expect_installation(not_a_program, "1.1.0");
    expect_nothing_started();
}

// ---- isolation -------------------------------------------------------------

// Every folder and file below `folder`, each file with its size and last-write
// time, except the subtree `skip`. Links are listed, never followed.
void list_tree(const std::wstring& folder, const std::wstring& skip, std::vector<std::string>& out) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (_wcsicmp(path.c_str(), skip.c_str()) == 0) continue;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            out.push_back(win::from_wide(path) + "\\");
            list_tree(path, skip, out);
        } else {
            const std::uint64_t size = (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
            const std::uint64_t written =
                (std::uint64_t{entry.ftLastWriteTime.dwHighDateTime} << 32) | entry.ftLastWriteTime.dwLowDateTime;
            out.push_back(win::from_wide(path) + " " + std::to_string(size) + " " + std::to_string(written));
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// The names of the subkeys of a key.
std::vector<std::string> subkeys(HKEY root, const std::string& key) {
    std::vector<std::string> names;
    win::unique_hkey handle;
    if (RegOpenKeyExW(root, win::to_wide(key).c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(handle.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(win::from_wide({name, length}));
    }
    return names;
}

// What a run could change in the prefix, one line per key, value, folder and
// file: all of HKEY_CURRENT_USER but the test key; HKEY_LOCAL_MACHINE, where
// a per-user program must never write, but for its class registrations
// (half of the hive and most of the time, and no name of this program); and
// drive C: without the test folder.
std::vector<std::string> prefix_state(const std::string& test_folder) {
    std::vector<std::string> lines;
    const auto add = [&lines](const char* hive, std::vector<std::string> dump) {
        for (auto& line : dump) lines.push_back(hive + line);
    };
    for (const auto& key : subkeys(HKEY_CURRENT_USER, "")) {
        if (key == "Software") continue;
        add("HKCU\\", test::dump_tree(HKEY_CURRENT_USER, key));
    }
    for (const auto& key : subkeys(HKEY_CURRENT_USER, "Software")) {
        if (key == "VireloSetupTest") continue;
        add("HKCU\\", test::dump_tree(HKEY_CURRENT_USER, "Software\\" + key));
    }
    for (const auto& key : subkeys(HKEY_LOCAL_MACHINE, "")) {
        if (key == "Software") continue;
        add("HKLM\\", test::dump_tree(HKEY_LOCAL_MACHINE, key));
    }
    for (const auto& key : subkeys(HKEY_LOCAL_MACHINE, "Software")) {
        if (key == "Classes") continue;
        add("HKLM\\", test::dump_tree(HKEY_LOCAL_MACHINE, "Software\\" + key));
    }
    list_tree(L"C:", win::to_wide(test_folder), lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Lines only in `a`.
std::vector<std::string> missing_from(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> result;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(result));
    return result;
}

// The real setup program in test mode, run as a process: a first install and
// an update of the running application by the downloaded program, then a run
// of the setup copy from the install folder, as a shortcut starts it, that
// finds the installation current.
class IsolationTest : public ::testing::Test {
protected:
    void SetUp() override { test::delete_key_tree(test_root); }
    void TearDown() override {
        end_processes_by_image_path(installed_exe_path());
        test::delete_key_tree(test_root);
    }

    test::TestFolder folder_{"isolation"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(folder_.path())};
    const std::string record_ = folder_.file("starts.txt");
    test::ScopedVariable record_variable_{L"VIRELO_STANDIN_RECORD", win::to_wide(record_)};
};

TEST_F(IsolationTest, TestModeRunsChangeNothingOutsideTheirNames) {
    // Wine sets up its display (the video device's keys, the session's
    // system parameters) for the first program of a session that uses the
    // window system. That is done here, before the first snapshot.
    DestroyWindow(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr));
    const Bytes v1 = file_bytes(test::standin_exe());
    const Bytes v2 = file_bytes(test::standin_next_exe());
    test::ReleaseSite site;
    const auto before = prefix_state(folder_.path());

    struct Stage {
        const char* name;
        const Bytes* published;
        const char* version;
        bool from_setup_copy;
    };
    const Stage stages[] = {
        {"first install", &v1, "1.0.0", false},
        {"update", &v2, "1.1.0", false},
        {"current, through the setup copy", &v2, "1.1.0", true},
    };
    std::size_t starts = 0;
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        site.publish(*stage.published, stage.version);
        test::RunOptions options;
        options.args = {"--site", site.url()};
        if (stage.from_setup_copy) options.working_folder = install_dir();
        const test::RunResult result =
            test::run_program(stage.from_setup_copy ? setup_copy_path() : test::setup_exe(), options);
        ASSERT_TRUE(result.started);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(test::read_text(folder_.file("setup-error.txt")), std::nullopt);
        EXPECT_EQ(file_bytes(installed_exe_path()), *stage.published);
        EXPECT_EQ(test::wait_for_start_records(record_, ++starts, 10000).size(), starts);
        // Up, so that the next stage finds it running.
        EXPECT_NE(test::wait_for_window(dev_class, 10000), nullptr);
    }
    EXPECT_EQ(file_bytes(setup_copy_path()), file_bytes(test::setup_exe()));
    end_processes_by_image_path(installed_exe_path());

    const auto after = prefix_state(folder_.path());
    EXPECT_EQ(missing_from(after, before), std::vector<std::string>{}) << "added or changed";
    EXPECT_EQ(missing_from(before, after), std::vector<std::string>{}) << "removed or changed";
}

}  // namespace
}  // namespace virelo
