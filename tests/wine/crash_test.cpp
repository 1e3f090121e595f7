// The crash-consistency suite. The setup program built with failpoints
// (VireloSetupFailpoints.exe, see src/common/win/failpoint.h) is ended at each
// failpoint in turn, as a power cut or a task manager would end it, and then
// run again to its end. The end state must be the complete, correct
// installation (or removal): files byte for byte, shortcuts readable through
// IShellLinkW, the nine values of the uninstall entry and `Site`, no stray
// file, and every Dockling setting under the old key or the new one. The
// migration works in normal mode only, on the user's real names, so this runs
// in a throwaway clone of the pristine prefix (tests/wine/clone-run); the
// other scenarios run in test mode there.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_processes.h"
#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "migration/legacy_names.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/release_site.h"
#include "support/scoped_variable.h"
#include "support/shell_link.h"
#include "support/standin.h"
#include "support/test_folder.h"
#include "support/uninstall_entry.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ScopedVariable;

constexpr const char* test_root = "Software\\VireloSetupTest";
constexpr const char* legacy_key = "Software\\Dockling";
constexpr const char* legacy_uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dockling";
constexpr const char* staging_key = "Software\\Virelo.migrating";
// Nothing listens on port 1 of the loopback address.
constexpr const char* unreachable_site = "http://127.0.0.1:1/";
constexpr DWORD run_timeout_ms = 30000;

enum class Scenario {
    first_install,    // test mode: nothing installed, 1.0.0 published
    update,           // test mode: 1.0.0 installed and running, its desktop shortcut deleted by the user,
                      // 1.1.0 published
    held_update,      // the update while a reader holds Virelo.exe with delete sharing
    blocked_update,   // the update while a reader holds Virelo.exe without delete sharing
    newer_setup,      // test mode: 1.0.0 installed by an older setup program, whose copy the newer one
                      // (the failpoint build) refreshes; the next start runs the setup copy, as a
                      // shortcut does
    migration,        // normal mode: a Dockling installation, and an earlier run's Launcher key below
                      // Software\Virelo
    large_migration,  // normal mode: a Dockling settings key of 20,000 values, its autostart choice and
                      // notes, but no program folder: the key alone marks the installation. No
                      // Software\Virelo.
    uninstall,        // test mode: 1.0.0 installed; the uninstall is ended, then started again
};

const char* name_of(Scenario scenario) {
    switch (scenario) {
        case Scenario::first_install: return "first install";
        case Scenario::update: return "update";
        case Scenario::held_update: return "update, executable held with delete sharing";
        case Scenario::blocked_update: return "update, executable held without delete sharing";
        case Scenario::newer_setup: return "a newer setup program over an older one";
        case Scenario::migration: return "migration";
        case Scenario::large_migration: return "migration of a large settings key";
        case Scenario::uninstall: return "uninstall";
    }
    return "?";
}

bool in_normal_mode(Scenario scenario) {
    return scenario == Scenario::migration || scenario == Scenario::large_migration;
}

bool is_update(Scenario scenario) {
    return scenario == Scenario::update || scenario == Scenario::held_update || scenario == Scenario::blocked_update;
}

// Every failpoint of the program, each with a scenario that reaches it
// (tests/wine/check-failpoints holds the sources to this table).
struct Row {
    const char* failpoint;
    Scenario scenario;
};
const Row failpoint_table[] = {
    {"install.site_recorded", Scenario::first_install},
    {"install.mid_download", Scenario::first_install},
    {"install.staged", Scenario::first_install},
    {"install.swap_begins", Scenario::first_install},
    {"install.swapped", Scenario::first_install},
    {"install.setup_copy_staged", Scenario::first_install},
    {"install.setup_copy_placed", Scenario::first_install},
    {"install.version_staged", Scenario::first_install},
    {"install.version_written", Scenario::first_install},
    {"install.desktop_shortcut_staged", Scenario::first_install},
    {"install.desktop_shortcut_written", Scenario::first_install},
    {"install.start_menu_shortcut_staged", Scenario::first_install},
    {"install.shortcuts_written", Scenario::first_install},
    {"install.entry_half_written", Scenario::first_install},
    {"install.entry_written", Scenario::first_install},
    {"install.mid_download", Scenario::update},
    {"install.staged", Scenario::update},
    {"install.swap_begins", Scenario::update},
    {"install.swapped", Scenario::update},
    {"install.version_staged", Scenario::update},
    {"install.start_menu_shortcut_staged", Scenario::update},
    {"install.old_moved_aside", Scenario::held_update},
    {"install.swapped", Scenario::held_update},
    {"install.swap_retry", Scenario::blocked_update},
    {"install.setup_copy_staged", Scenario::newer_setup},
    {"install.setup_copy_placed", Scenario::newer_setup},
    {"migration.detected", Scenario::migration},
    {"migration.legacy_app_ended", Scenario::migration},
    {"migration.settings_staged", Scenario::migration},
    {"migration.settings_placed", Scenario::migration},
    {"migration.roaming_data_moved", Scenario::migration},
    {"migration.autostart_written", Scenario::migration},
    {"migration.autostart_moved", Scenario::migration},
    {"migration.legacy_entry_removed", Scenario::migration},
    {"migration.legacy_shortcuts_removed", Scenario::migration},
    {"migration.legacy_folders_removed", Scenario::migration},
    {"migration.mid_copy", Scenario::large_migration},
    {"migration.settings_placed", Scenario::large_migration},
    {"migration.roaming_data_moved", Scenario::large_migration},
    {"uninstall.app_closed", Scenario::uninstall},
    {"uninstall.launcher_removed", Scenario::uninstall},
    {"uninstall.shortcuts_removed", Scenario::uninstall},
    {"uninstall.files_removed", Scenario::uninstall},
    {"uninstall.removal_started", Scenario::uninstall},
};

Bytes file_bytes(const std::string& path) { return win::read_file(path).value_or(Bytes{}); }

// The lines of a file the program may be appending to: read with write
// sharing, so that the program's next line is never refused.
std::vector<std::string> read_lines(const std::string& file) {
    std::vector<std::string> lines;
    const win::unique_file in{CreateFileW(win::to_wide(file).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!in) return lines;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(in.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

void delete_run_value(const char* name) {
    win::unique_hkey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(run_key).c_str(), 0, KEY_SET_VALUE, run.put()) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(run.get(), win::to_wide(name).c_str());
    }
}

// The settings below a key, named relative to it, without the key itself and
// without the setup program's own Launcher subkey.
std::vector<std::string> settings_below(std::string_view key) {
    std::vector<std::string> lines;
    for (auto& line : test::dump_tree(key)) {
        std::string relative = line.substr(key.size());
        if (relative == "\\" || relative.starts_with("\\Launcher")) continue;
        lines.push_back(std::move(relative));
    }
    return lines;
}

// A Dockling installation's names in the clone's profile, formed independently
// of the code.
struct LegacyProfile {
    std::string local = win::env_text("LOCALAPPDATA");
    std::string roaming = win::env_text("APPDATA");
    std::string programs = special_folder(CSIDL_PROGRAMS);
    std::string desktop = special_folder(CSIDL_DESKTOPDIRECTORY);

    std::string folder() const { return local + "\\Programs\\Dockling"; }
    std::string local_data() const { return local + "\\Dockling"; }
    std::string legacy_notes() const { return roaming + "\\Dockling\\notes\\n1.txt"; }
    std::string moved_notes() const { return roaming + "\\Virelo\\notes\\n1.txt"; }
    std::vector<std::string> links() const { return {programs + "\\Dockling.lnk", desktop + "\\Dockling.lnk"}; }
};

// Opens the key once for all its values: tens of thousands of them are
// written in a fraction of a second.
void write_many_values(const std::string& key, int count) {
    win::unique_hkey handle;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              handle.put(), nullptr),
              ERROR_SUCCESS);
    for (int i = 0; i < count; ++i) {
        const std::wstring name = L"entry" + std::to_wstring(i);
        const std::wstring data = L"setting " + std::to_wstring(i) + L" of " + win::to_wide(key);
        RegSetValueExW(handle.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    }
}

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(win::path_exists(program_)) << program_ << " is not built";
        ASSERT_FALSE(v1_.empty());
        ASSERT_FALSE(v2_.empty());
        ASSERT_NE(v1_, v2_);
        ASSERT_TRUE(win::is_absolute_path(profile_.local)) << "needs the clone's LOCALAPPDATA";
        ASSERT_TRUE(win::is_absolute_path(profile_.programs));
    }
    void TearDown() override {
        clear_everything();
        CoUninitialize();
    }

    // The mode of the test process follows the scenario, so that the names
    // below are the ones the program uses; its children inherit it.
    void enter_mode(bool normal) {
        mode_.reset();
        mode_.emplace(L"DK_SETUP_TEST",
                      normal ? std::nullopt : std::optional<std::wstring>{win::to_wide(folder_.path())});
    }

    void clear_everything() {
        for (const bool normal : {false, true}) {
            enter_mode(normal);
            end_processes_by_image_path(installed_exe_path());
            win::delete_tree(install_dir());
            for (const std::string& link : {start_menu_shortcut_path(), desktop_shortcut_path()}) {
                test::remove_if_present(link);
                test::remove_if_present(win::temporary_path(link));
            }
        }
        win::delete_tree(folder_.path());
        EXPECT_TRUE(win::create_folder_chain(folder_.path()).ok());
        for (const char* key : {test_root, application_key.data(), staging_key, legacy_key, legacy_uninstall_key,
                                "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo"}) {
            test::delete_key_tree(key);
        }
        delete_run_value("Virelo");
        delete_run_value("Dockling");
        for (const std::string& folder : {profile_.folder(), profile_.local_data(), profile_.roaming + "\\Dockling",
                                          profile_.roaming + "\\Virelo", profile_.local + "\\Virelo"}) {
            win::delete_tree(folder);
        }
        for (const std::string& link : profile_.links()) test::remove_if_present(link);
        test::remove_if_present(record_);
        test::remove_if_present(trace_);
    }

    // ---- running the program ------------------------------------------------

    struct Outcome {
        test::RunResult result;
        std::vector<std::string> trace;  // the failpoints passed, in order
    };

    test::RunOptions options_for(const std::vector<std::string>& args, test::EnvChanges env,
                                 std::string working_folder = {}) const {
        test::RunOptions options;
        options.args = args;
        options.working_folder = std::move(working_folder);
        options.env = std::move(env);
        options.env.emplace_back("VIRELO_FAILPOINT_TRACE", trace_);
        options.timeout_ms = run_timeout_ms;
        return options;
    }

    // A run to its exit; a run still going after the timeout is ended.
    Outcome run(const std::string& exe, const std::vector<std::string>& args, test::EnvChanges env = {},
                std::string working_folder = {}) {
        test::remove_if_present(trace_);
        Outcome outcome;
        outcome.result = test::run_program(exe, options_for(args, std::move(env), std::move(working_folder)));
        outcome.trace = read_lines(trace_);
        return outcome;
    }

    std::vector<std::string> install_args() const { return {"--site", site_.url()}; }

    // A program started by the test; still running when the object goes (a
    // failed check left it), it is ended, so that it cannot hold the
    // single-instance mutex against the next run.
    struct Started {
        test::Child child;
        Started(const Started&) = delete;
        Started& operator=(const Started&) = delete;
        explicit Started(test::Child c) : child{std::move(c)} {}
        ~Started() {
            if (WaitForSingleObject(child.process.get(), 0) == WAIT_TIMEOUT) {
                TerminateProcess(child.process.get(), 1);
                WaitForSingleObject(child.process.get(), 5000);
            }
        }
    };

    std::optional<Started> launch(const std::string& exe, const std::vector<std::string>& args,
                                 test::EnvChanges env = {}) {
        test::remove_if_present(trace_);
        const test::RunOptions options = options_for(args, std::move(env));
        auto child = test::start_program(exe, options);
        // Once in about a thousand starts under Wine, CreateProcessW failed
        // here right after a killed run; a second try is shown, not hidden.
        for (int retry = 0; !child && retry < 2; ++retry) {
            std::printf("starting %s failed (error %lu); trying again\n", exe.c_str(), GetLastError());
            Sleep(200);
            child = test::start_program(exe, options);
        }
        if (!child) {
            ADD_FAILURE() << "could not start " << exe << ": error " << GetLastError();
            return std::nullopt;
        }
        return std::optional<Started>{std::in_place, std::move(*child)};
    }

    // Waits until the running program has passed `failpoint` `count` times.
    bool wait_for_trace(std::string_view failpoint, std::size_t count, DWORD timeout_ms) const {
        const ULONGLONG deadline = GetTickCount64() + timeout_ms;
        do {
            const auto trace = read_lines(trace_);
            if (static_cast<std::size_t>(std::count(trace.begin(), trace.end(), failpoint)) >= count) return true;
            Sleep(5);
        } while (GetTickCount64() < deadline);
        return false;
    }

    // A run to its end, as the next start after a crash.
    void run_to_the_end(Scenario scenario) {
        const std::size_t starts_before = test::read_start_records(record_).size();
        if (scenario == Scenario::uninstall) {
            // Started again from the system's list while the setup copy is
            // there; otherwise (its folder already went) with the downloaded
            // setup program.
            const std::string exe = win::path_exists(setup_copy_path()) ? setup_copy_path() : program_;
            const auto started = launch(exe, {"--uninstall"});
            ASSERT_TRUE(started);
            ASSERT_TRUE(test::wait_for_exit(started->child, run_timeout_ms));
            // Its folder removal, too: still pending, it would remove the
            // folder of the next test's installation.
            wait_for_folder_removal_of(started->child.id);
            (void)test::wait_until_gone(install_dir(), 15000);
            return;
        }
        // The older setup program's copy is what the shortcuts start.
        const Outcome outcome = scenario == Scenario::newer_setup
                                    ? run(setup_copy_path(), install_args(), {}, install_dir())
                                    : run(program_, install_args());
        ASSERT_TRUE(outcome.result.started);
        ASSERT_FALSE(outcome.result.timed_out)
            << "the run failed: " << test::read_text(folder_.file("setup-error.txt")).value_or("(no error file)");
        EXPECT_EQ(outcome.result.exit_code, 0u);
        EXPECT_EQ(test::read_text(folder_.file("setup-error.txt")), std::nullopt);
        // It started Virelo, from the install folder.
        const auto records = test::wait_for_start_records(record_, starts_before + 1, 10000);
        ASSERT_EQ(records.size(), starts_before + 1)
            << "Virelo was not started; the run passed " << testing::PrintToString(outcome.trace);
        EXPECT_NE(records.back().command_line.find(installed_exe_path()), std::string::npos)
            << records.back().command_line;
    }

    // ---- arranging a scenario --------------------------------------------------

    void arrange(Scenario scenario) {
        clear_everything();
        enter_mode(in_normal_mode(scenario));
        site_.publish(v1_, "1.0.0");
        expected_setup_copy_ = program_bytes_;
        switch (scenario) {
            case Scenario::first_install:
                break;
            case Scenario::update:
            case Scenario::held_update:
            case Scenario::blocked_update:
                install_first_release();
                // The user removed the desktop shortcut; no update brings it back.
                ASSERT_TRUE(win::delete_file(desktop_shortcut_path()).ok());
                if (auto app = test::start_standin(installed_exe_path(),
                                                   test::standin_options({"--dev", "--offscreen"}), L"VireloDevWnd")) {
                    standin_.emplace(std::move(*app));
                }
                ASSERT_TRUE(standin_);
                site_.publish(v2_, "1.1.0");
                break;
            case Scenario::migration:
                arrange_legacy_installation(false);
                test::write_string(launcher_key(), "Site", "https://earlier.example/");
                break;
            case Scenario::large_migration:
                arrange_legacy_installation(true);
                break;
            case Scenario::newer_setup:
                install_first_release();
                ASSERT_TRUE(CopyFileW(win::to_wide(test::setup_exe()).c_str(),
                                      win::to_wide(setup_copy_path()).c_str(), FALSE));
                break;
            case Scenario::uninstall:
                install_first_release();
                break;
        }
    }

    void install_first_release() {
        ASSERT_NO_FATAL_FAILURE(run_to_the_end(Scenario::first_install));
        end_processes_by_image_path(installed_exe_path());
    }

    void arrange_legacy_installation(bool large) {
        test::write_string(legacy_key, "Theme", "dark");
        test::write_dword(legacy_key, "Width", 640);
        test::write_string(std::string{legacy_key} + "\\Notes\\Recent", "1", "C:\\notes\\a.txt");
        if (large) {
            // The tree copy takes the root's values first, then one subkey
            // after another: enough of them that a kill lands inside it.
            for (int i = 0; i < 200; ++i) {
                ASSERT_NO_FATAL_FAILURE(write_many_values(std::string{legacy_key} + "\\History\\Day" +
                                                              std::to_string(i),
                                                          100));
            }
        }
        legacy_settings_ = settings_below(legacy_key);
        std::vector<std::pair<std::string, std::string>> files = {
            {profile_.legacy_notes(), "note"},
            {profile_.local_data() + "\\cache.bin", "cache"},
            {profile_.links()[0], "link"},
            {profile_.links()[1], "link"}};
        if (!large) files.emplace_back(profile_.folder() + "\\Dockling.exe", "Dockling");
        for (const auto& [path, text] : files) {
            EXPECT_TRUE(win::create_folder_chain(parent_folder(path)).ok());
            ASSERT_TRUE(test::write_text(path, text)) << path;
        }
        test::write_string(run_key, "Dockling", "\"" + profile_.folder() + "\\Dockling.exe\" --tray");
        test::write_string(legacy_uninstall_key, "DisplayName", "Dockling");
    }

    // ---- what must hold -------------------------------------------------------

    // The complete installation of `executable` as `version`.
    void expect_installation(const Bytes& executable, std::string_view version, bool desktop_shortcut) {
        EXPECT_EQ(test::list_files(install_dir()),
                  (std::vector<std::string>{"Virelo.exe", "VireloSetup.exe", "version.txt"}));
        EXPECT_EQ(file_bytes(installed_exe_path()), executable);
        EXPECT_EQ(file_bytes(setup_copy_path()), expected_setup_copy_);
        EXPECT_EQ(test::read_text(version_file_path()), version);

        test::expect_link_to_setup_copy(start_menu_shortcut_path());
        if (desktop_shortcut) {
            test::expect_link_to_setup_copy(desktop_shortcut_path());
        } else {
            EXPECT_FALSE(win::path_exists(desktop_shortcut_path())) << "a desktop shortcut the user deleted came back";
        }
        for (const std::string& link : {start_menu_shortcut_path(), desktop_shortcut_path()}) {
            EXPECT_FALSE(win::path_exists(win::temporary_path(link))) << link;
        }

        test::expect_uninstall_entry(version, executable.size(), site_.url());
    }

    // The files in the test folder but the diagnostic log (setup.log and its
    // predecessor), which the program keeps there in test mode.
    std::vector<std::string> files_in_test_folder() const {
        auto files = test::list_files(folder_.path());
        std::erase_if(files, [](const std::string& file) { return file.starts_with("setup.log"); });
        return files;
    }

    // In test mode every name lies in the test folder: nothing else may be there.
    void expect_nothing_stray_in_the_test_folder(bool desktop_shortcut) {
        std::vector<std::string> expected = {"Programs\\Virelo\\Virelo.exe", "Programs\\Virelo\\VireloSetup.exe",
                                             "Programs\\Virelo\\version.txt", "StartMenu-Virelo.lnk"};
        if (desktop_shortcut) expected.insert(expected.begin(), "Desktop-Virelo.lnk");
        EXPECT_EQ(files_in_test_folder(), expected);
    }

    // Every legacy setting, the autostart choice and the notes exist under the
    // old names or the new ones.
    void expect_nothing_of_dockling_lost() {
        std::vector<std::string> present = settings_below(legacy_key);
        for (auto& line : settings_below(application_key)) present.push_back(std::move(line));
        std::sort(present.begin(), present.end());
        std::vector<std::string> lost;
        std::set_difference(legacy_settings_.begin(), legacy_settings_.end(), present.begin(), present.end(),
                            std::back_inserter(lost));
        EXPECT_EQ(lost.size(), 0u) << "settings lost, the first: " << (lost.empty() ? "" : lost.front());
        EXPECT_TRUE(test::read_string(run_key, "Dockling") || test::read_string(run_key, "Virelo"))
            << "the autostart choice was lost";
        EXPECT_TRUE(win::path_exists(profile_.legacy_notes()) || win::path_exists(profile_.moved_notes()));
    }

    void expect_dockling_moved_over() {
        EXPECT_EQ(settings_below(application_key), legacy_settings_);
        EXPECT_FALSE(test::key_exists(legacy_key));
        EXPECT_FALSE(test::key_exists(staging_key));
        EXPECT_EQ(test::read_string(run_key, "Virelo"), legacy::autostart_command(installed_exe_path()));
        EXPECT_FALSE(test::read_string(run_key, "Dockling"));
        EXPECT_EQ(test::read_text(profile_.moved_notes()), "note");
        EXPECT_FALSE(test::key_exists(legacy_uninstall_key));
        for (const std::string& gone : {profile_.folder(), profile_.local_data(), profile_.roaming + "\\Dockling",
                                        profile_.links()[0], profile_.links()[1]}) {
            EXPECT_FALSE(win::path_exists(gone)) << gone;
        }
    }

    void expect_removal() {
        EXPECT_FALSE(win::path_exists(install_dir()));
        EXPECT_EQ(files_in_test_folder(), std::vector<std::string>{});
        EXPECT_FALSE(test::key_exists(uninstall_key()));
        EXPECT_FALSE(test::key_exists(launcher_key()));
    }

    // Right after the kill, before any repair: what must already hold then.
    void expect_right_after_the_kill(Scenario scenario, std::string_view failpoint) {
        if (is_update(scenario)) {
            // A whole executable under its name, or, between the two renames
            // of a swap, under the backup name.
            if (failpoint == "install.old_moved_aside") {
                EXPECT_FALSE(win::path_exists(installed_exe_path()));
                EXPECT_EQ(file_bytes(backup_exe_path()), v1_);
            } else {
                const Bytes installed = file_bytes(installed_exe_path());
                EXPECT_TRUE(installed == v1_ || installed == v2_) << "Virelo.exe is not a whole release";
            }
        }
        if (in_normal_mode(scenario)) expect_nothing_of_dockling_lost();
        if (failpoint == "migration.mid_copy") {
            // The kill fell inside the copy: some settings had arrived, not all.
            const std::size_t copied = settings_below(staging_key).size();
            EXPECT_GT(copied, 0u);
            EXPECT_LT(copied, legacy_settings_.size());
        }
        if (scenario == Scenario::uninstall) {
            // The entry goes last, so the uninstall can be started again.
            EXPECT_TRUE(test::key_exists(uninstall_key()));
        }
        if (scenario == Scenario::newer_setup) {
            // Old or new, but whole; the next start, from the setup copy,
            // does not look at its own bytes and leaves it so.
            expected_setup_copy_ = file_bytes(setup_copy_path());
            EXPECT_TRUE(expected_setup_copy_ == shipped_bytes_ || expected_setup_copy_ == program_bytes_)
                << "the setup copy is not a whole program";
        }
    }

    void expect_end_state(Scenario scenario) {
        switch (scenario) {
            case Scenario::first_install:
            case Scenario::newer_setup:
                expect_installation(v1_, "1.0.0", true);
                expect_nothing_stray_in_the_test_folder(true);
                break;
            case Scenario::update:
            case Scenario::held_update:
            case Scenario::blocked_update:
                expect_installation(v2_, "1.1.0", false);
                expect_nothing_stray_in_the_test_folder(false);
                break;
            case Scenario::migration:
            case Scenario::large_migration:
                expect_installation(v1_, "1.0.0", true);
                expect_dockling_moved_over();
                break;
            case Scenario::uninstall:
                expect_removal();
                break;
        }
    }

    // A holder of Virelo.exe for the held scenarios, as long as the killed run.
    std::optional<win::unique_file> holder_for(Scenario scenario) {
        if (scenario != Scenario::held_update && scenario != Scenario::blocked_update) return std::nullopt;
        const DWORD sharing = FILE_SHARE_READ | (scenario == Scenario::held_update ? FILE_SHARE_DELETE : 0);
        return win::unique_file{CreateFileW(win::to_wide(installed_exe_path()).c_str(), GENERIC_READ, sharing,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    }

    // Waits for the folder removal a killed uninstall had started, so that the
    // next run begins from a settled state. (Wine's desktop process may be a
    // child too, and never ends.)
    static void wait_for_folder_removal_of(DWORD process_id) {
        for (const auto& child : test::child_processes(process_id)) {
            if (_stricmp(child.exe_name.c_str(), "cmd.exe") != 0) continue;
            const win::unique_handle process{OpenProcess(SYNCHRONIZE, FALSE, child.id)};
            if (process) WaitForSingleObject(process.get(), 15000);
        }
    }

    test::TestFolder folder_{"crash"};
    test::TestFolder work_{"crash-work"};
    const std::string record_ = work_.file("starts.txt");
    const std::string trace_ = work_.file("trace.txt");
    // Every stand-in started meanwhile inherits it, through the shell too.
    ScopedVariable record_variable_{L"VIRELO_STANDIN_RECORD", win::to_wide(record_)};
    std::optional<ScopedVariable> mode_;
    const std::string program_ = test::build_file("tests/VireloSetupFailpoints.exe");
    const Bytes program_bytes_ = file_bytes(program_);
    const Bytes shipped_bytes_ = file_bytes(test::setup_exe());
    Bytes expected_setup_copy_;
    const Bytes v1_ = file_bytes(test::standin_exe());
    const Bytes v2_ = file_bytes(test::standin_next_exe());
    LegacyProfile profile_;
    std::vector<std::string> legacy_settings_;
    std::optional<test::RunningStandIn> standin_;
    test::ReleaseSite site_;
};

TEST_F(CrashTest, EveryFailpointIsRepairedByTheNextRun) {
    std::map<std::string, ULONGLONG> time_per_scenario;
    for (const Row& row : failpoint_table) {
        SCOPED_TRACE(std::string{row.failpoint} + " during the " + name_of(row.scenario));
        const ULONGLONG start = GetTickCount64();
        ASSERT_NO_FATAL_FAILURE(arrange(row.scenario));

        Outcome killed;
        {
            const auto holder = holder_for(row.scenario);
            if (holder) {
                ASSERT_TRUE(*holder);
            }
            const std::string exe = row.scenario == Scenario::uninstall ? setup_copy_path() : program_;
            const std::vector<std::string> args =
                row.scenario == Scenario::uninstall ? std::vector<std::string>{"--uninstall"} : install_args();
            const auto started = launch(exe, args, {{"VIRELO_FAILPOINT", row.failpoint}});
            ASSERT_TRUE(started);
            const test::Child& child = started->child;
            DWORD exit_code = 0;
            ASSERT_TRUE(test::wait_for_exit(child, run_timeout_ms, &exit_code)) << "still running";
            killed.trace = read_lines(trace_);
            ASSERT_EQ(exit_code, failpoints::exit_code)
                << "the failpoint was not reached; passed: " << testing::PrintToString(killed.trace);
            ASSERT_FALSE(killed.trace.empty());
            EXPECT_EQ(killed.trace.back(), row.failpoint);
            wait_for_folder_removal_of(child.id);
        }
        standin_.reset();
        expect_right_after_the_kill(row.scenario, row.failpoint);

        ASSERT_NO_FATAL_FAILURE(run_to_the_end(row.scenario));
        expect_end_state(row.scenario);
        time_per_scenario[name_of(row.scenario)] += GetTickCount64() - start;
        if (HasFailure()) break;  // the state is unknown from here on
    }
    for (const auto& [scenario, ms] : time_per_scenario) std::printf("%-50s %6llu ms\n", scenario.c_str(), ms);
}

// A reader holds Virelo.exe with delete sharing during an update (a scanner, a
// backup program): the old file is moved aside and the new one takes its
// name. With a second reader on the new file as well, every attempt fails
// and the run is killed during the retries: the old Virelo.exe stays whole,
// and the next start without the site starts it.
TEST_F(CrashTest, ExecutableHeldDuringAnUpdate) {
    struct Case {
        const char* name;
        bool staged_file_held;
    };
    const Case cases[] = {
        {"the old file held", false},
        {"the new file held too, killed during the retries", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(arrange(Scenario::update));
        win::unique_file old_holder{CreateFileW(win::to_wide(installed_exe_path()).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)};
        ASSERT_TRUE(old_holder);
        // Slowed at every failpoint, so the test can step in between them.
        const auto started = launch(program_, install_args(), {{"VIRELO_FAILPOINT_PAUSE_MS", "150"}});
        ASSERT_TRUE(started);
        const test::Child& child = started->child;
        win::unique_file new_holder;
        if (c.staged_file_held) {
            ASSERT_TRUE(wait_for_trace("install.staged", 1, 20000));
            new_holder.reset(CreateFileW(win::to_wide(staged_exe_path()).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(new_holder);
            // Each retry pauses after its failpoint: the kill lands in a pause.
            ASSERT_TRUE(wait_for_trace("install.swap_retry", 2, 20000)) << testing::PrintToString(read_lines(trace_));
            TerminateProcess(child.process.get(), 1);
            ASSERT_TRUE(test::wait_for_exit(child, 5000));
            EXPECT_EQ(file_bytes(installed_exe_path()), v1_) << "no whole Virelo.exe after the kill";
        } else {
            DWORD exit_code = 1;
            ASSERT_TRUE(test::wait_for_exit(child, run_timeout_ms, &exit_code))
                << "still running after " << testing::PrintToString(read_lines(trace_)) << "; "
                << test::read_text(folder_.file("setup-error.txt")).value_or("(no error file)");
            EXPECT_EQ(exit_code, 0u);
            EXPECT_EQ(file_bytes(installed_exe_path()), v2_);
            // The reader still reads the old file, whole.
            Bytes read_back(v1_.size());
            DWORD read = 0;
            ASSERT_TRUE(ReadFile(old_holder.get(), read_back.data(), static_cast<DWORD>(read_back.size()), &read,
                                 nullptr));
            EXPECT_EQ(read_back, v1_);
        }
        new_holder.reset();
        old_holder.reset();
        standin_.reset();
        end_processes_by_image_path(installed_exe_path());

        // The next start cannot reach the site: it starts what is installed.
        const std::size_t starts_before = test::read_start_records(record_).size();
        const Outcome offline = run(program_, {"--site", unreachable_site});
        ASSERT_TRUE(offline.result.started);
        ASSERT_FALSE(offline.result.timed_out);
        const auto records = test::wait_for_start_records(record_, starts_before + 1, 10000);
        ASSERT_EQ(records.size(), starts_before + 1) << "Virelo was not started";
        EXPECT_NE(records.back().command_line.find(installed_exe_path()), std::string::npos);
        EXPECT_EQ(file_bytes(installed_exe_path()), c.staged_file_held ? v1_ : v2_);
        end_processes_by_image_path(installed_exe_path());

        ASSERT_NO_FATAL_FAILURE(run_to_the_end(Scenario::update));
        expect_end_state(Scenario::update);
    }
}

// An install and an uninstall started together, in both orders, the first
// slowed at every failpoint so that the second starts while it is mid-way.
// They never interleave: an uninstall waits for the install and then removes
// everything (or, had the install outlasted its wait, says it is busy and
// changes nothing); an install that finds an uninstall under way ends at once
// without touching anything. The end is one whole installation or none.
TEST_F(CrashTest, InstallAndUninstallNeverInterleave) {
    const std::string busy_text =
        "Virelo is being installed or updated right now, so it was not removed. Run the uninstall again when that "
        "has finished.";
    // The second program, without the first one's trace.
    const auto start_second = [&](const std::string& exe, std::vector<std::string> args) {
        test::RunOptions options;
        options.args = std::move(args);
        options.timeout_ms = run_timeout_ms;
        return test::start_program(exe, options);
    };

    SCOPED_TRACE("an update held mid-way, then an uninstall");
    ASSERT_NO_FATAL_FAILURE(arrange(Scenario::update));
    {
        const auto install = launch(program_, install_args(), {{"VIRELO_FAILPOINT_PAUSE_MS", "150"}});
        ASSERT_TRUE(install);
        ASSERT_TRUE(wait_for_trace("install.site_recorded", 1, 20000));
        auto uninstall = start_second(setup_copy_path(), {"--uninstall"});
        ASSERT_TRUE(uninstall);
        DWORD install_exit = 1, uninstall_exit = 1;
        ASSERT_TRUE(test::wait_for_exit(install->child, run_timeout_ms, &install_exit));
        ASSERT_TRUE(test::wait_for_exit(*uninstall, run_timeout_ms, &uninstall_exit));
        EXPECT_EQ(install_exit, 0u);
        EXPECT_EQ(uninstall_exit, 0u);
        wait_for_folder_removal_of(uninstall->id);
        (void)test::wait_until_gone(install_dir(), 15000);
        standin_.reset();
        const auto said = test::read_text(folder_.file("setup-error.txt"));
        if (said) {
            EXPECT_EQ(*said, busy_text);
            std::printf("the update outlasted the uninstall's wait: the uninstall changed nothing\n");
            end_processes_by_image_path(installed_exe_path());
            ASSERT_TRUE(win::delete_file(folder_.file("setup-error.txt")).ok());
            expect_installation(v2_, "1.1.0", false);
            expect_nothing_stray_in_the_test_folder(false);
        } else {
            expect_removal();
        }
    }

    SCOPED_TRACE("an uninstall held mid-way, then an install");
    ASSERT_NO_FATAL_FAILURE(arrange(Scenario::uninstall));
    {
        const std::size_t starts_before = test::read_start_records(record_).size();
        const auto uninstall = launch(setup_copy_path(), {"--uninstall"}, {{"VIRELO_FAILPOINT_PAUSE_MS", "1000"}});
        ASSERT_TRUE(uninstall);
        ASSERT_TRUE(wait_for_trace("uninstall.app_closed", 1, 20000));
        const ULONGLONG start = GetTickCount64();
        const test::RunResult install = test::run_program(program_, [&] {
            test::RunOptions options;
            options.args = install_args();
            options.timeout_ms = run_timeout_ms;
            return options;
        }());
        EXPECT_TRUE(install.started);
        EXPECT_FALSE(install.timed_out);
        EXPECT_EQ(install.exit_code, 0u);
        EXPECT_LT(GetTickCount64() - start, 5000u) << "the install ended at once";
        DWORD uninstall_exit = 1;
        ASSERT_TRUE(test::wait_for_exit(uninstall->child, run_timeout_ms, &uninstall_exit));
        EXPECT_EQ(uninstall_exit, 0u);
        wait_for_folder_removal_of(uninstall->child.id);
        EXPECT_TRUE(test::wait_until_gone(install_dir(), 15000));
        expect_removal();
        EXPECT_EQ(test::read_start_records(record_).size(), starts_before) << "the install started Virelo";
    }
}

// A legacy key with a subkey the user cannot read: the copy fails on every
// start, and every start keeps the legacy key whole, although the first one
// created Software\Virelo for its Launcher value. Once the subkey is
// readable, the next start moves everything.
TEST_F(CrashTest, LegacySettingsThatCannotBeCopiedOutliveEveryStart) {
    ASSERT_NO_FATAL_FAILURE(arrange(Scenario::large_migration));
    {
        test::LockedKey locked{std::string{legacy_key} + "\\Locked"};
        ASSERT_TRUE(locked.locked());
        const auto legacy_before = test::dump_tree(legacy_key);
        for (const char* start : {"first start", "second start"}) {
            SCOPED_TRACE(start);
            ASSERT_NO_FATAL_FAILURE(run_to_the_end(Scenario::large_migration));
            EXPECT_EQ(test::dump_tree(legacy_key), legacy_before);
            EXPECT_EQ(settings_below(application_key), std::vector<std::string>{});
            EXPECT_TRUE(test::read_string(launcher_key(), "Site"));
            EXPECT_FALSE(test::key_exists(staging_key));
            end_processes_by_image_path(installed_exe_path());
        }
    }
    legacy_settings_ = settings_below(legacy_key);
    ASSERT_NO_FATAL_FAILURE(run_to_the_end(Scenario::large_migration));
    expect_end_state(Scenario::large_migration);
}

// Kills from outside at random moments of runs slowed down at every failpoint,
// each followed by a run to the end and the same checks as the table. Bounded
// in rounds and in time; VIRELO_CRASH_SEED repeats a sequence.
TEST_F(CrashTest, RandomKillsDuringSlowedRuns) {
    constexpr int rounds = 20;
    constexpr ULONGLONG budget_ms = 150000;
    const test::EnvChanges slowed = {{"VIRELO_FAILPOINT_PAUSE_MS", "60"}};
    const Scenario scenarios[] = {Scenario::first_install, Scenario::update, Scenario::migration,
                                  Scenario::uninstall};
    const char* seed_text = std::getenv("VIRELO_CRASH_SEED");
    const unsigned seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                                    : static_cast<unsigned>(GetTickCount64());
    std::printf("seed %u (VIRELO_CRASH_SEED repeats it)\n", seed);
    std::mt19937 random{seed};
    const ULONGLONG started = GetTickCount64();

    const auto start_killed_run = [&](Scenario scenario) {
        const bool uninstall = scenario == Scenario::uninstall;
        return launch(uninstall ? setup_copy_path() : program_,
                      uninstall ? std::vector<std::string>{"--uninstall"} : install_args(), slowed);
    };

    // How long each slowed run takes when nothing ends it.
    std::map<Scenario, DWORD> length_ms;
    for (const Scenario scenario : scenarios) {
        ASSERT_NO_FATAL_FAILURE(arrange(scenario));
        const ULONGLONG start = GetTickCount64();
        const auto started = start_killed_run(scenario);
        ASSERT_TRUE(started);
        ASSERT_TRUE(test::wait_for_exit(started->child, run_timeout_ms));
        length_ms[scenario] = static_cast<DWORD>(GetTickCount64() - start);
        wait_for_folder_removal_of(started->child.id);
    }

    std::map<std::string, int> landed;  // where the kills fell: after which failpoint
    int round = 0;
    for (; round < rounds && GetTickCount64() - started < budget_ms; ++round) {
        const Scenario scenario = scenarios[static_cast<std::size_t>(round) % std::size(scenarios)];
        const DWORD delay = std::uniform_int_distribution<DWORD>{0, length_ms[scenario]}(random);
        SCOPED_TRACE(testing::Message() << "round " << round << ", " << name_of(scenario) << ", killed after "
                                        << delay << " ms");
        ASSERT_NO_FATAL_FAILURE(arrange(scenario));
        const auto started = start_killed_run(scenario);
        ASSERT_TRUE(started);
        const test::Child& child = started->child;
        const bool ended_by_itself = WaitForSingleObject(child.process.get(), delay) == WAIT_OBJECT_0;
        if (!ended_by_itself) TerminateProcess(child.process.get(), 1);
        ASSERT_TRUE(test::wait_for_exit(child, 5000));
        wait_for_folder_removal_of(child.id);
        standin_.reset();
        const auto trace = read_lines(trace_);
        const std::string after = ended_by_itself ? "(ran to its end)"
                                  : trace.empty() ? "(before the first failpoint)"
                                                  : trace.back();
        ++landed[std::string{name_of(scenario)} + ": " + after];
        std::printf("round %2d  %-18s %5lu of %5lu ms  after %s\n", round, name_of(scenario),
                    static_cast<unsigned long>(delay), static_cast<unsigned long>(length_ms[scenario]),
                    after.c_str());
        // The uninstall entry may already be gone once the removal started.
        if (scenario != Scenario::uninstall || after != "uninstall.removal_started") {
            if (!ended_by_itself) expect_right_after_the_kill(scenario, after);
        }

        ASSERT_NO_FATAL_FAILURE(run_to_the_end(scenario));
        expect_end_state(scenario);
        if (HasFailure()) break;
    }
    std::printf("%d kills in %llu ms; where they fell:\n", round, GetTickCount64() - started);
    for (const auto& [where, count] : landed) std::printf("  %2d  %s\n", count, where.c_str());
    EXPECT_GE(round, 4) << "the time budget allowed too few rounds to mean anything";
}

}  // namespace
}  // namespace virelo
