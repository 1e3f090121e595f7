// The move from Dockling to Virelo, in-process and in normal mode. It changes
// the user's real names, so this runs only in a throwaway prefix of its own
// (tests/wine/clone-run), never in the shared test prefix.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "migration/migration.h"
#include "foundation/status_channel.h"
#include "support/registry.h"
#include "support/scoped_variable.h"
#include "support/standin.h"
#include "support/test_folder.h"
#include "unresolvable_shell_folders.h"

namespace virelo {
namespace {

using test::ScopedVariable;

constexpr const char* legacy_key = "Software\\Dockling";
constexpr const char* app_key = "Software\\Virelo";
constexpr const char* staging_key = "Software\\Virelo.migrating";
constexpr const char* legacy_uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dockling";
constexpr const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* moving_text = "Moving Dockling to Virelo\u2026";

// What a Dockling installation can leave behind; each case picks its parts.
enum Part : unsigned {
    settings = 1,      // Software\Dockling with values and a subkey
    program = 2,       // %LOCALAPPDATA%\Programs\Dockling\Dockling.exe
    roaming = 4,       // %APPDATA%\Dockling
    autostart = 8,     // "Dockling" in the Run key
    shortcuts = 16,    // Dockling.lnk in the Start menu and on the desktop
    local_data = 32,   // %LOCALAPPDATA%\Dockling
    uninstall = 64,    // the legacy uninstall entry
    everything = 127,
};

// The clone's real profile names, formed here independently of the code.
struct Profile {
    std::string local = win::env_text("LOCALAPPDATA");
    std::string roaming_base = win::env_text("APPDATA");
    std::string programs = special_folder(CSIDL_PROGRAMS);
    std::string desktop = special_folder(CSIDL_DESKTOPDIRECTORY);

    std::string legacy_folder() const { return local + "\\Programs\\Dockling"; }
    std::string legacy_exe() const { return legacy_folder() + "\\Dockling.exe"; }
    std::string legacy_local_data() const { return local + "\\Dockling"; }
    std::string legacy_roaming() const { return roaming_base + "\\Dockling"; }
    std::string app_roaming() const { return roaming_base + "\\Virelo"; }
    std::string start_menu_link() const { return programs + "\\Dockling.lnk"; }
    std::string desktop_link() const { return desktop + "\\Dockling.lnk"; }
    std::vector<std::string> files() const {
        return {legacy_folder(), legacy_local_data(), legacy_roaming(), app_roaming(), start_menu_link(),
                desktop_link()};
    }
};

void make_file(const std::string& path, std::string_view text = "x") {
    EXPECT_TRUE(win::create_folder_chain(parent_folder(path)).ok());
    ASSERT_TRUE(test::write_text(path, text)) << path;
}

void delete_value(std::string_view key, std::string_view name) {
    win::unique_hkey handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, KEY_SET_VALUE, handle.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(handle.get(), win::to_wide(name).c_str());
    }
}

// Every registry entry and file the migration may touch, one line each.
std::vector<std::string> observed_state(const Profile& profile) {
    std::vector<std::string> state;
    for (const char* key : {legacy_key, app_key, legacy_uninstall_key}) {
        for (auto& line : test::dump_tree(key)) state.push_back(std::move(line));
    }
    for (const char* value : {"Dockling", "Virelo"}) {
        state.push_back(std::string{value} + "=" + test::read_string(run, value).value_or("<none>"));
    }
    for (const auto& path : profile.files()) {
        state.push_back(path + (win::path_exists(path) ? " exists" : " absent"));
        for (const auto& file : test::list_files(path)) state.push_back(path + " : " + file);
    }
    return state;
}

// A message-only window standing in for the progress window.
class StatusSink {
public:
    StatusSink() {
        window_ = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        main_window = window_;
    }
    ~StatusSink() {
        taken();
        main_window = nullptr;
        DestroyWindow(window_);
    }
    // The status updates posted so far, as "text|progress".
    std::vector<std::string> taken() {
        std::vector<std::string> updates;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_SETUP_STATUS, WM_SETUP_STATUS, PM_REMOVE)) {
            updates.push_back(take_posted_text(msg.lParam) + "|" +
                              std::to_string(static_cast<std::int32_t>(msg.wParam)));
        }
        return updates;
    }

private:
    HWND window_ = nullptr;
};

class MigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(win::is_absolute_path(profile_.local)) << "needs the clone's LOCALAPPDATA";
        ASSERT_TRUE(win::is_absolute_path(profile_.programs));
        clear();
    }
    void TearDown() override { clear(); }

    void clear() {
        for (const char* key : {legacy_key, app_key, staging_key, legacy_uninstall_key}) test::delete_key_tree(key);
        for (const char* value : {"Dockling", "Virelo"}) delete_value(run, value);
        for (const auto& path : profile_.files()) {
            win::delete_tree(path);
            test::remove_if_present(path);
        }
    }

    void arrange(unsigned parts) {
        if (parts & settings) {
            test::write_string(legacy_key, "Theme", "dark");
            test::write_dword(legacy_key, "Width", 640);
            test::write_string(std::string{legacy_key} + "\\Notes\\Recent", "1", "C:\\notes\\a.txt");
        }
        if (parts & program) make_file(profile_.legacy_exe(), "Dockling");
        if (parts & roaming) make_file(profile_.legacy_roaming() + "\\notes\\n1.txt", "note");
        if (parts & autostart) test::write_string(run, "Dockling", "\"" + profile_.legacy_exe() + "\" --tray");
        if (parts & shortcuts) {
            make_file(profile_.start_menu_link());
            make_file(profile_.desktop_link());
        }
        if (parts & local_data) make_file(profile_.legacy_local_data() + "\\cache.bin");
        if (parts & uninstall) test::write_string(legacy_uninstall_key, "DisplayName", "Dockling");
    }

    // The settings below a key, named relative to it, without the key itself
    // and without the setup program's own Launcher subkey.
    static std::vector<std::string> settings_below(std::string_view key) {
        std::vector<std::string> lines;
        for (auto& line : test::dump_tree(key)) {
            std::string relative = line.substr(key.size());
            if (relative == "\\" || relative.starts_with("\\Launcher")) continue;
            lines.push_back(std::move(relative));
        }
        return lines;
    }

    // The legacy settings as they would read under the application key.
    static std::vector<std::string> settings_as_virelo() {
        std::vector<std::string> lines = test::dump_tree(legacy_key);
        for (auto& line : lines) line.replace(0, std::string_view{legacy_key}.size(), app_key);
        return lines;
    }

    Profile profile_;
    StatusSink status_;
    ScopedVariable normal_mode_{L"DK_SETUP_TEST", std::nullopt};
};

TEST_F(MigrationTest, NothingHappensWithoutALegacyInstallationOrInTestMode) {
    struct Case {
        const char* name;
        unsigned parts;
        bool test_mode;
    };
    const Case cases[] = {
        // A roaming folder, an autostart value and shortcuts alone are no installation.
        {"leftovers only", roaming | autostart | shortcuts | local_data | uninstall, false},
        {"test mode", everything, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        arrange(c.parts);
        const auto before = observed_state(profile_);
        test::TestFolder folder{"migration-test-mode"};
        std::optional<ScopedVariable> test_mode;
        if (c.test_mode) test_mode.emplace(L"DK_SETUP_TEST", win::to_wide(folder.path()));

        migrate_legacy();

        EXPECT_EQ(observed_state(profile_), before);
        EXPECT_TRUE(status_.taken().empty());
        EXPECT_FALSE(test::key_exists(app_key));
    }
}

TEST_F(MigrationTest, FullInstallationMovesOverAndGoes) {
    arrange(everything);
    const auto expected_settings = settings_as_virelo();
    ASSERT_GT(expected_settings.size(), 3u);

    const ULONGLONG start = GetTickCount64();
    migrate_legacy();
    const ULONGLONG elapsed = GetTickCount64() - start;

    EXPECT_EQ(status_.taken(), std::vector<std::string>{std::string{moving_text} + "|-1"});
    EXPECT_EQ(test::dump_tree(app_key), expected_settings);
    EXPECT_FALSE(test::key_exists(legacy_key));
    EXPECT_FALSE(test::key_exists(legacy_uninstall_key));
    EXPECT_EQ(test::read_text(profile_.app_roaming() + "\\notes\\n1.txt"), "note");
    EXPECT_FALSE(test::read_string(run, "Dockling"));
    EXPECT_EQ(test::read_string(run, "Virelo"), "\"" + profile_.local + "\\Programs\\Virelo\\Virelo.exe\" --autostart");
    for (const auto& gone : {profile_.legacy_folder(), profile_.legacy_local_data(), profile_.legacy_roaming(),
                             profile_.start_menu_link(), profile_.desktop_link()}) {
        EXPECT_FALSE(win::path_exists(gone)) << gone;
    }
    // No Dockling window was there, so there was nothing to wait for.
    EXPECT_LT(elapsed, 1000u);
}

// The setup program writes its own Launcher subkey below the application key,
// so that key's existence alone says nothing about Virelo's settings.
TEST_F(MigrationTest, SettingsKeyIsCopiedOnlyWhenVireloHasNone) {
    enum class Before { nothing, launcher_only, own_settings };
    struct Case {
        const char* name;
        unsigned parts;
        Before app_key_before;
    };
    const Case cases[] = {
        {"legacy key only", settings, Before::nothing},
        {"application key with nothing but the Launcher", settings, Before::launcher_only},
        {"both keys", settings, Before::own_settings},
        {"folder without key", program, Before::nothing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        arrange(c.parts | roaming);
        if (c.app_key_before == Before::launcher_only) {
            test::write_string(std::string{app_key} + "\\Launcher", "Site", "https://site.example/");
        }
        if (c.app_key_before == Before::own_settings) test::write_string(app_key, "Theme", "light");
        const auto app_before = test::dump_tree(app_key);
        std::vector<std::string> expected = app_before;
        if ((c.parts & settings) && c.app_key_before != Before::own_settings) {
            // The legacy settings beside what was there (the key's own line once).
            for (auto& line : settings_as_virelo()) {
                if (std::find(expected.begin(), expected.end(), line) == expected.end()) expected.push_back(line);
            }
            std::sort(expected.begin(), expected.end());
        }

        migrate_legacy();

        EXPECT_EQ(status_.taken().size(), 1u);
        EXPECT_EQ(test::dump_tree(app_key), expected);
        EXPECT_EQ(test::key_exists(app_key), c.app_key_before != Before::nothing || (c.parts & settings));
        EXPECT_FALSE(test::key_exists(legacy_key));
        EXPECT_FALSE(test::key_exists(staging_key));
        // The other steps ran either way.
        EXPECT_TRUE(win::path_exists(profile_.app_roaming()));
        EXPECT_FALSE(win::path_exists(profile_.legacy_folder()));
    }
}

// A run killed during the copy left the staging key and part of the settings
// merged into the application key: the next run must not take that part for
// Virelo's own settings, and copies everything again.
TEST_F(MigrationTest, CopyCutShortIsDoneAgain) {
    arrange(settings | program);
    const auto expected = settings_as_virelo();
    test::write_string(app_key, "Theme", "dark");  // merged before the kill
    test::write_string(std::string{app_key} + "\\Launcher", "Site", "https://site.example/");
    test::write_string(staging_key, "Theme", "dark");

    migrate_legacy();

    auto without_launcher = test::dump_tree(app_key);
    std::erase_if(without_launcher, [](const std::string& line) { return line.find("\\Launcher") != line.npos; });
    EXPECT_EQ(without_launcher, expected);
    EXPECT_EQ(test::read_string(std::string{app_key} + "\\Launcher", "Site"), "https://site.example/");
    EXPECT_FALSE(test::key_exists(staging_key));
    EXPECT_FALSE(test::key_exists(legacy_key));
}

// The roaming data moves, or merges into a Virelo folder without overwriting
// anything. Until it has, the migration stays pending: the legacy key stays,
// and the next start shows the text and tries again.
TEST_F(MigrationTest, RoamingDataMovesOrMergesAndStaysPendingUntilItHas) {
    struct Case {
        const char* name;
        bool virelo_folder;         // %APPDATA%\Virelo with files of its own
        bool name_taken_by_a_file;  // %APPDATA%\Virelo is a file
        bool legacy_file_in_use;    // notes\n1.txt held without delete sharing during the first start
    };
    const Case cases[] = {
        {"no Virelo folder", false, false, false},
        {"Virelo folder with files of its own", true, false, false},
        {"a legacy file in use during the first start", true, false, true},
        {"Virelo's name taken by a file during the first start", false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        arrange(settings | program | roaming);
        make_file(profile_.legacy_roaming() + "\\shared.txt", "dockling");
        if (c.virelo_folder) {
            make_file(profile_.app_roaming() + "\\mine.txt", "virelo");
            make_file(profile_.app_roaming() + "\\shared.txt", "virelo");
            make_file(profile_.app_roaming() + "\\notes\\n0.txt", "virelo");
        }
        if (c.name_taken_by_a_file) ASSERT_TRUE(test::write_text(profile_.app_roaming(), "file"));
        const auto expected_settings = settings_as_virelo();
        const bool fails_once = c.legacy_file_in_use || c.name_taken_by_a_file;
        {
            win::unique_file holder;
            if (c.legacy_file_in_use) {
                holder.reset(CreateFileW(win::to_wide(profile_.legacy_roaming() + "\\notes\\n1.txt").c_str(),
                                         GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_TRUE(holder);
            }
            migrate_legacy();
        }
        EXPECT_EQ(status_.taken(), std::vector<std::string>{std::string{moving_text} + "|-1"});
        EXPECT_EQ(test::key_exists(legacy_key), fails_once) << "pending exactly while the data has not moved";
        if (fails_once) {
            EXPECT_EQ(test::read_text(profile_.legacy_roaming() + "\\notes\\n1.txt"), "note") << "nothing lost";
            if (c.name_taken_by_a_file) ASSERT_TRUE(win::delete_file(profile_.app_roaming()).ok());
            migrate_legacy();
            EXPECT_EQ(status_.taken(), std::vector<std::string>{std::string{moving_text} + "|-1"})
                << "the next start shows the move again";
            EXPECT_FALSE(test::key_exists(legacy_key));
        }
        // Everything arrived; what both had stays Virelo's, and the legacy one
        // is kept beside it under the old name.
        std::vector<std::string> expected = {"notes\\n1.txt", "shared.txt"};
        if (c.virelo_folder) expected = {"mine.txt", "notes\\n0.txt", "notes\\n1.txt", "shared.txt"};
        EXPECT_EQ(test::list_files(profile_.app_roaming()), expected);
        EXPECT_EQ(test::read_text(profile_.app_roaming() + "\\notes\\n1.txt"), "note");
        EXPECT_EQ(test::read_text(profile_.app_roaming() + "\\shared.txt"), c.virelo_folder ? "virelo" : "dockling");
        if (c.virelo_folder) {
            EXPECT_EQ(test::list_files(profile_.legacy_roaming()), std::vector<std::string>{"shared.txt"});
        } else {
            EXPECT_FALSE(win::path_exists(profile_.legacy_roaming()));
        }
        EXPECT_EQ(test::dump_tree(app_key), expected_settings);
    }
}

// A Launcher subkey under the legacy key is not the setup program's record:
// a serial there would refuse every release below it.
TEST_F(MigrationTest, LegacyLauncherSerialNeverComesAlong) {
    const std::string legacy_launcher = std::string{legacy_key} + "\\Launcher";
    const std::string launcher = std::string{app_key} + "\\Launcher";
    for (const bool launcher_before : {false, true}) {
        SCOPED_TRACE(launcher_before ? "merged into an existing Launcher key" : "no application key before");
        clear();
        arrange(settings);
        test::write_qword(legacy_launcher, "Serial", ~0ull);
        test::write_string(legacy_launcher, "Note", "kept");
        if (launcher_before) test::write_string(launcher, "Site", "https://site.example/");

        migrate_legacy();

        EXPECT_FALSE(test::key_exists(legacy_key));
        EXPECT_FALSE(test::read_value(launcher, "Serial").has_value());
        EXPECT_EQ(test::read_string(launcher, "Note"), "kept");
        EXPECT_EQ(test::read_string(app_key, "Theme"), "dark");
    }
}

TEST_F(MigrationTest, AutostartValueNamesTheInstalledExecutable) {
    ScopedVariable local{L"LOCALAPPDATA", L"C:\\Users\\a\\AppData\\Local"};
    arrange(settings | autostart);
    test::write_string(run, "Other", "other.exe");

    migrate_legacy();

    const auto value = test::read_value(run, "Virelo");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    const std::wstring expected = L"\"C:\\Users\\a\\AppData\\Local\\Programs\\Virelo\\Virelo.exe\" --autostart";
    // UTF-16 with its terminating NUL counted.
    const std::wstring data(reinterpret_cast<const wchar_t*>(value->data.data()), value->data.size() / 2);
    EXPECT_EQ(data, expected + L'\0');
    EXPECT_FALSE(test::read_value(run, "Dockling"));
    EXPECT_EQ(test::read_string(run, "Other"), "other.exe");
    delete_value(run, "Other");
}

TEST_F(MigrationTest, WithoutLegacyAutostartTheRunKeyStaysAsItWas) {
    arrange(settings);
    test::write_string(run, "Other", "other.exe");
    const auto before = test::dump_tree(run);

    migrate_legacy();

    EXPECT_EQ(test::dump_tree(run), before);
    EXPECT_FALSE(test::read_value(run, "Virelo"));
    delete_value(run, "Other");
}

// A window of the legacy class on this thread: the close request lands in
// this thread's queue, where the test can see it.
TEST_F(MigrationTest, DocklingWindowIsAskedToCloseOnceAndGivenTime) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = L"DocklingWnd";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"DocklingWnd", L"Dockling", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(window);
    arrange(settings);

    const ULONGLONG start = GetTickCount64();
    migrate_legacy();
    const ULONGLONG elapsed = GetTickCount64() - start;

    int close_requests = 0;
    MSG msg;
    while (PeekMessageW(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE)) ++close_requests;
    EXPECT_EQ(close_requests, 1);
    EXPECT_GE(elapsed, 1450u);
    DestroyWindow(window);
    UnregisterClassW(L"DocklingWnd", nullptr);
}

// Dockling from the legacy folder with a hidden window, idle once it is up.
// Hidden, because under Wine without a window manager a visible top-level
// window takes 2 s to unmap, longer than the pause it is given.
std::optional<test::RunningStandIn> start_hidden(const std::string& exe, bool ignores_close) {
    ScopedVariable behaviour{L"VIRELO_STANDIN_IGNORE_CLOSE", ignores_close ? std::optional<std::wstring>{L"1"}
                                                                            : std::nullopt};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    std::wstring command = L"\"" + win::to_wide(exe) + L"\"";
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return std::nullopt;
    }
    CloseHandle(started.hThread);
    WaitForInputIdle(started.hProcess, 10000);
    test::Child child;
    child.process.reset(started.hProcess);
    child.id = started.dwProcessId;
    test::RunningStandIn dockling{std::move(child)};
    if (!dockling.wait_for_window(L"DocklingWnd", 10000)) return std::nullopt;
    return dockling;
}

TEST_F(MigrationTest, RunningDocklingIsClosedOrEndedAndItsFolderRemoved) {
    struct Case {
        const char* name;
        bool ignores_close;
        DWORD exit_code;
    };
    const Case cases[] = {
        {"closes on request", false, 0},
        {"refuses to close", true, 1},  // ended by force
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        arrange(settings);
        ASSERT_TRUE(test::copy_file_to(test::dockling_exe(), profile_.legacy_exe()));
        auto dockling = start_hidden(profile_.legacy_exe(), c.ignores_close);
        ASSERT_TRUE(dockling);

        const ULONGLONG start = GetTickCount64();
        migrate_legacy();
        const ULONGLONG elapsed = GetTickCount64() - start;

        // Its window was found and given the pause to close.
        EXPECT_GE(elapsed, 1450u);
        EXPECT_EQ(dockling->wait_for_exit(5000), c.exit_code);
        EXPECT_FALSE(win::path_exists(profile_.legacy_folder()));
    }
}

TEST_F(MigrationTest, LegacyKeyStaysWhenItsSettingsCouldNotBeCopied) {
    struct Case {
        const char* name;
        std::string locked_key;
    };
    const Case cases[] = {
        // Neither opened as existing settings nor created: access denied.
        {"application key cannot be created", app_key},
        // The tree copy fails half-way through.
        {"legacy key cannot be read completely", std::string{legacy_key} + "\\Locked"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        arrange(settings | program);
        {
            test::LockedKey locked{c.locked_key};
            ASSERT_TRUE(locked.locked());
            const auto legacy_before = test::dump_tree(legacy_key);

            // The second start finds the legacy key still there, and the
            // application key that the first run created for its Launcher
            // value: it must take neither for a finished copy.
            for (const char* start : {"first start", "second start"}) {
                SCOPED_TRACE(start);
                migrate_legacy();

                EXPECT_EQ(status_.taken().size(), 1u);
                EXPECT_EQ(test::dump_tree(legacy_key), legacy_before);
                // Not left half-copied under the new name either.
                EXPECT_EQ(settings_below(app_key), std::vector<std::string>{});
                // The other steps still ran.
                EXPECT_FALSE(win::path_exists(profile_.legacy_folder()));
                // What the rest of the install run does.
                test::write_string(std::string{app_key} + "\\Launcher", "Site", "https://site.example/");
            }
            // A copy that failed is taken back; one that could not be moved
            // into place stays, marking the copy unfinished.
            EXPECT_EQ(test::key_exists(staging_key), c.locked_key == app_key);
        }
        if (c.locked_key != app_key) {
            // Once the key can be read, the next run finishes the move.
            const auto expected = settings_below(legacy_key);
            migrate_legacy();
            EXPECT_EQ(settings_below(app_key), expected);
            EXPECT_FALSE(test::key_exists(legacy_key));
        }
    }
}

TEST_F(MigrationTest, RelativeNamesInTheCurrentFolderAreLeftAlone) {
    struct Case {
        const char* name;
        bool app_data_set;
    };
    const Case cases[] = {{"LOCALAPPDATA and APPDATA unset", false}, {"LOCALAPPDATA unset", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        test::TestFolder current{"migration-relative"};
        const std::vector<std::string> planted = {"Programs\\Dockling\\Dockling.exe", "Dockling\\notes.txt",
                                                  "Dockling.lnk"};
        for (const auto& file : planted) make_file(current.file(file));
        arrange(settings | autostart | roaming);

        wchar_t saved_folder[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, saved_folder);
        SetCurrentDirectoryW(win::to_wide(current.path()).c_str());
        {
            ScopedVariable local{L"LOCALAPPDATA", std::nullopt};
            std::optional<ScopedVariable> roaming_unset;
            if (!c.app_data_set) roaming_unset.emplace(L"APPDATA", std::nullopt);
            test::UnresolvableShellFolders no_shell_folders;
            ASSERT_EQ(special_folder(CSIDL_PROGRAMS), "");

            migrate_legacy();
        }
        SetCurrentDirectoryW(saved_folder);

        EXPECT_EQ(test::list_files(current.path()),
                  (std::vector<std::string>{"Dockling.lnk", "Dockling\\notes.txt", "Programs\\Dockling\\Dockling.exe"}));
        // Detected by its settings key, the rest of the move went ahead.
        EXPECT_EQ(status_.taken().size(), 1u);
        EXPECT_TRUE(test::key_exists(app_key));
        EXPECT_FALSE(test::key_exists(legacy_key));
        EXPECT_EQ(win::path_exists(profile_.app_roaming()), c.app_data_set);
    }
}

}  // namespace
}  // namespace virelo
