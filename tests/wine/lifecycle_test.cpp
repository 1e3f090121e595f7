// The stages of the whole life cycle in normal mode: a Dockling installation,
// the first install that moves it over, an update while Virelo runs, and the
// uninstall. tests/wine/lifecycle runs the real programs between the stages,
// each case here with --gtest_filter, in a throwaway prefix of its own; the
// cases arrange a stage or check what the previous run left. They only make
// sense in that order, so this executable is never run on its own.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/shortcuts.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/scoped_variable.h"
#include "support/shell_link.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

constexpr const char* legacy_key = "Software\\Dockling";
constexpr const char* legacy_uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dockling";
constexpr const char* app_key = "Software\\Virelo";
constexpr const char* launcher = "Software\\Virelo\\Launcher";
constexpr const char* uninstall_entry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo";
constexpr const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* settings_text = "theme=dark\r\n";

// The clone's real profile names, formed here independently of the code.
struct Profile {
    std::string local = win::env_text("LOCALAPPDATA");
    std::string roaming = win::env_text("APPDATA");
    std::string programs = special_folder(CSIDL_PROGRAMS);
    std::string desktop = special_folder(CSIDL_DESKTOPDIRECTORY);

    std::string legacy_folder() const { return local + "\\Programs\\Dockling"; }
    std::string legacy_exe() const { return legacy_folder() + "\\Dockling.exe"; }
    std::string legacy_local_data() const { return local + "\\Dockling"; }
    std::string legacy_roaming() const { return roaming + "\\Dockling"; }
    std::string legacy_start_menu_link() const { return programs + "\\Dockling.lnk"; }
    std::string legacy_desktop_link() const { return desktop + "\\Dockling.lnk"; }

    std::string install_folder() const { return local + "\\Programs\\Virelo"; }
    std::string installed_exe() const { return install_folder() + "\\Virelo.exe"; }
    std::string setup_copy() const { return install_folder() + "\\VireloSetup.exe"; }
    std::string local_data() const { return local + "\\Virelo"; }
    std::string roaming_data() const { return roaming + "\\Virelo"; }
    std::string start_menu_link() const { return programs + "\\Virelo.lnk"; }
    std::string desktop_link() const { return desktop + "\\Virelo.lnk"; }
};

// The settings a Dockling user had; the install carries them over as they are.
void write_settings(const std::string& key) {
    test::write_string(key, "Theme", "dark");
    test::write_dword(key, "Width", 640);
    test::write_string(key + "\\Notes\\Recent", "1", "C:\\notes\\a.txt");
}

// The same settings as they should read under Software\Virelo: written under
// a scratch key, read back and renamed.
std::vector<std::string> expected_settings() {
    const std::string scratch = "Software\\VireloLifecycleExpected";
    write_settings(scratch);
    std::vector<std::string> lines = test::dump_tree(scratch);
    test::delete_key_tree(scratch);
    for (auto& line : lines) line.replace(0, scratch.size(), app_key);
    return lines;
}

std::string site() {
    const char* url = std::getenv("VIRELO_LIFECYCLE_SITE");
    return url ? url : "";
}

// Writes a small file, creating its folder first.
bool place_file(const std::string& path, std::string_view text) {
    EXPECT_TRUE(win::create_folder_chain(parent_folder(path)).ok());
    return test::write_text(path, text);
}

std::optional<std::vector<std::uint8_t>> built(const char* relative) {
    return win::read_file(test::build_file(relative));
}

// A top-level window of a class, with its title and the image of its process.
struct AppWindow {
    std::string title;
    std::string image;
};

std::string image_of(DWORD process_id) {
    const win::unique_handle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id)};
    wchar_t path[1024];
    DWORD size = 1024;
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, path, &size)) return "<unknown>";
    return win::from_wide({path, size});
}

std::vector<AppWindow> windows_of_class(const wchar_t* class_name) {
    struct Search {
        const wchar_t* class_name;
        std::vector<AppWindow> found;
    } search{class_name, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(param);
            wchar_t name[256] = {}, title[256] = {};
            GetClassNameW(window, name, 256);
            if (_wcsicmp(name, s.class_name) != 0) return TRUE;
            GetWindowTextW(window, title, 256);
            DWORD process_id = 0;
            GetWindowThreadProcessId(window, &process_id);
            s.found.push_back({win::from_wide(title), image_of(process_id)});
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits until exactly one window of the class shows the title; returns what is there then.
std::vector<AppWindow> wait_for_single_window(const wchar_t* class_name, const std::string& title) {
    const ULONGLONG deadline = GetTickCount64() + 15000;
    for (;;) {
        auto found = windows_of_class(class_name);
        if ((found.size() == 1 && found[0].title == title) || GetTickCount64() >= deadline) return found;
        Sleep(100);
    }
}

// How many processes run the executable (paths compared without regard to case).
int processes_of(const std::string& exe) {
    const win::unique_file snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot) return -1;
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_stricmp(image_of(entry.th32ProcessID).c_str(), exe.c_str()) == 0) ++count;
    }
    return count;
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(win::is_absolute_path(profile_.local)) << "needs the clone's LOCALAPPDATA";
        ASSERT_TRUE(win::is_absolute_path(profile_.programs)) << "needs the clone's Start-menu folder";
        ASSERT_TRUE(win::is_absolute_path(profile_.desktop)) << "needs the clone's desktop folder";
        ASSERT_FALSE(site().empty()) << "VIRELO_LIFECYCLE_SITE must name the release site (tests/wine/lifecycle)";
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override { CoUninitialize(); }

    void expect_no_legacy_names(bool leftover_desktop_link = false) const {
        EXPECT_FALSE(test::key_exists(legacy_key)) << legacy_key;
        EXPECT_FALSE(test::key_exists(legacy_uninstall_key)) << legacy_uninstall_key;
        EXPECT_FALSE(test::read_value(run, "Dockling")) << "the Run value Dockling is still there";
        for (const auto& path : {profile_.legacy_folder(), profile_.legacy_local_data(), profile_.legacy_roaming(),
                                 profile_.legacy_start_menu_link()}) {
            EXPECT_FALSE(win::path_exists(path)) << path << " is still there";
        }
        EXPECT_EQ(win::path_exists(profile_.legacy_desktop_link()), leftover_desktop_link)
            << profile_.legacy_desktop_link();
        EXPECT_EQ(windows_of_class(L"DocklingWnd").size(), 0u) << "a Dockling window is still open";
        EXPECT_EQ(processes_of(profile_.legacy_exe()), 0) << "Dockling is still running";
    }

    // What the migration carried over, and what the install added to it:
    // the site and the serial of the release installed (publish counts from 1).
    void expect_settings_moved_over(std::uint64_t serial) const {
        std::vector<std::string> settings = expected_settings();
        for (auto& line : test::dump_tree(launcher)) settings.push_back(std::move(line));
        std::sort(settings.begin(), settings.end());
        EXPECT_EQ(test::dump_tree(app_key), settings);
        EXPECT_EQ(test::dump_tree(launcher).size(), 3u) << "the Launcher key holds Site and Serial only";
        EXPECT_EQ(test::read_string(launcher, "Site"), site());
        EXPECT_EQ(test::read_qword(launcher, "Serial"), serial);
        EXPECT_EQ(test::read_text(profile_.roaming_data() + "\\settings.txt"), settings_text);
        EXPECT_EQ(test::read_string(run, "Virelo"), "\"" + profile_.installed_exe() + "\" --autostart");
    }

    // The install folder holds the release, the setup program and the version, nothing else.
    void expect_installed_files(const char* version, const char* release_exe) const {
        EXPECT_EQ(test::list_files(profile_.install_folder()),
                  (std::vector<std::string>{"Virelo.exe", "VireloSetup.exe", "version.txt"}));
        const auto release = built(release_exe);
        ASSERT_TRUE(release) << release_exe;
        EXPECT_TRUE(win::read_file(profile_.installed_exe()) == release)
            << "Virelo.exe is not the published " << version << " file";
        EXPECT_TRUE(win::read_file(profile_.setup_copy()) == built("VireloSetup.exe"))
            << "VireloSetup.exe is not the built setup program";
        EXPECT_EQ(test::read_text(profile_.install_folder() + "\\version.txt"), version);
    }

    void expect_uninstall_entry(const char* version, const char* release_exe) const {
        const auto release = built(release_exe);
        ASSERT_TRUE(release) << release_exe;
        EXPECT_EQ(test::read_string(uninstall_entry, "DisplayName"), "Virelo");
        EXPECT_EQ(test::read_string(uninstall_entry, "DisplayVersion"), version);
        EXPECT_EQ(test::read_string(uninstall_entry, "Publisher"), "Halvik");
        EXPECT_EQ(test::read_string(uninstall_entry, "DisplayIcon"), profile_.installed_exe());
        EXPECT_EQ(test::read_string(uninstall_entry, "InstallLocation"), profile_.install_folder());
        EXPECT_EQ(test::read_string(uninstall_entry, "UninstallString"),
                  "\"" + profile_.setup_copy() + "\" --uninstall");
        EXPECT_EQ(test::read_dword(uninstall_entry, "NoModify"), 1u);
        EXPECT_EQ(test::read_dword(uninstall_entry, "NoRepair"), 1u);
        EXPECT_EQ(test::read_dword(uninstall_entry, "EstimatedSize"), (release->size() >> 10) + 400);
        EXPECT_EQ(test::dump_tree(uninstall_entry).size(), 10u) << "the entry holds nine values, nothing else";
    }

    void expect_link_to_setup_copy(const std::string& file) const {
        SCOPED_TRACE(file);
        const auto link = test::read_shell_link(file);
        ASSERT_TRUE(link) << "no readable shortcut";
        EXPECT_EQ(link->target, profile_.setup_copy());
        EXPECT_EQ(link->arguments, "");
        EXPECT_EQ(link->working_folder, profile_.install_folder());
        EXPECT_EQ(link->description, "Virelo");
        EXPECT_EQ(link->icon, profile_.installed_exe());
        EXPECT_EQ(link->icon_index, 0);
    }

    // Exactly one Virelo runs, the given version, from the install folder.
    void expect_running(const char* version) const {
        const auto windows = wait_for_single_window(L"VireloWnd", std::string{"Virelo "} + version);
        ASSERT_EQ(windows.size(), 1u) << "not exactly one Virelo window";
        EXPECT_EQ(windows[0].title, std::string{"Virelo "} + version);
        EXPECT_EQ(_stricmp(windows[0].image.c_str(), profile_.installed_exe().c_str()), 0)
            << "Virelo runs from " << windows[0].image;
        EXPECT_EQ(processes_of(profile_.installed_exe()), 1) << "not exactly one process of the installed Virelo";
    }

    Profile profile_;
    test::ScopedVariable normal_mode_{L"DK_SETUP_TEST", std::nullopt};
};

// Dockling as its users have it: running, with settings, data, autostart,
// uninstall entry and shortcuts.
TEST_F(Lifecycle, ArrangeLegacyInstallation) {
    ASSERT_FALSE(win::path_exists(profile_.install_folder())) << "the clone is not pristine";
    ASSERT_FALSE(test::key_exists(app_key)) << "the clone is not pristine";

    write_settings(legacy_key);
    ASSERT_TRUE(place_file(profile_.legacy_roaming() + "\\settings.txt", settings_text));
    ASSERT_TRUE(place_file(profile_.legacy_local_data() + "\\cache.txt", "cache"));
    ASSERT_TRUE(test::copy_file_to(test::dockling_exe(), profile_.legacy_exe()));
    test::write_string(run, "Dockling", "\"" + profile_.legacy_exe() + "\" --tray");
    test::write_string(legacy_uninstall_key, "DisplayName", "Dockling");
    test::write_string(legacy_uninstall_key, "UninstallString", "\"" + profile_.legacy_exe() + "\" --uninstall");
    for (const auto& link : {profile_.legacy_start_menu_link(), profile_.legacy_desktop_link()}) {
        create_shortcut(link, profile_.legacy_exe(), profile_.legacy_exe());
        ASSERT_TRUE(test::read_shell_link(link)) << link;
    }

    // Started as its own shortcut would; it keeps running after this test ends.
    test::RunOptions options;
    options.working_folder = profile_.legacy_folder();
    ASSERT_TRUE(test::start_program(profile_.legacy_exe(), options));
    const auto windows = wait_for_single_window(L"DocklingWnd", "Dockling 3.12.0");
    ASSERT_EQ(windows.size(), 1u) << "Dockling did not start";
    EXPECT_EQ(_stricmp(windows[0].image.c_str(), profile_.legacy_exe().c_str()), 0) << windows[0].image;
}

TEST_F(Lifecycle, InstallMovedDocklingOver) {
    expect_no_legacy_names();
    expect_settings_moved_over(1);
    expect_installed_files("1.0.0", "Virelo.exe");
    expect_uninstall_entry("1.0.0", "Virelo.exe");
    expect_link_to_setup_copy(profile_.start_menu_link());
    expect_link_to_setup_copy(profile_.desktop_link());
    expect_running("1.0.0");
}

// The user deletes the desktop shortcut; a stray Dockling shortcut is no
// installation and must not make the next run migrate again. Both releases
// are the same size, so a stale size shows that the update rewrites it.
TEST_F(Lifecycle, PrepareUpdate) {
    ASSERT_TRUE(win::delete_file(profile_.desktop_link()).ok());
    ASSERT_TRUE(test::write_text(profile_.legacy_desktop_link(), "leftover"));
    test::write_dword(uninstall_entry, "EstimatedSize", 1);
}

TEST_F(Lifecycle, UpdateReplacedTheRunningVersion) {
    expect_no_legacy_names(/*leftover_desktop_link=*/true);
    expect_settings_moved_over(2);
    expect_installed_files("1.1.0", "standin/Virelo-1.1.0.exe");
    expect_uninstall_entry("1.1.0", "standin/Virelo-1.1.0.exe");
    expect_link_to_setup_copy(profile_.start_menu_link());
    EXPECT_FALSE(win::path_exists(profile_.desktop_link())) << "the deleted desktop shortcut came back";
    expect_running("1.1.0");
}

// The user puts a desktop shortcut back, and the application has local data.
TEST_F(Lifecycle, PrepareUninstall) {
    ASSERT_TRUE(win::delete_file(profile_.legacy_desktop_link()).ok());
    ASSERT_TRUE(CopyFileW(win::to_wide(profile_.start_menu_link()).c_str(),
                          win::to_wide(profile_.desktop_link()).c_str(), TRUE));
    ASSERT_TRUE(place_file(profile_.local_data() + "\\cache.txt", "cache"));
}

TEST_F(Lifecycle, UninstallRemovedTheInstallation) {
    // The folder goes by a delayed command after the setup program has ended.
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (win::path_exists(profile_.install_folder()) && GetTickCount64() < deadline) Sleep(100);
    EXPECT_FALSE(win::path_exists(profile_.install_folder())) << "the install folder is still there";

    for (const auto& path : {profile_.start_menu_link(), profile_.desktop_link(), profile_.local_data()}) {
        EXPECT_FALSE(win::path_exists(path)) << path << " is still there";
    }
    EXPECT_FALSE(test::key_exists(uninstall_entry)) << uninstall_entry;
    EXPECT_FALSE(test::key_exists(launcher)) << launcher;
    EXPECT_FALSE(test::read_value(run, "Virelo")) << "the Run value Virelo is still there";
    EXPECT_EQ(windows_of_class(L"VireloWnd").size(), 0u) << "a Virelo window is still open";
    EXPECT_EQ(processes_of(profile_.installed_exe()), 0) << "Virelo is still running";

    // The user's settings stay for a reinstall.
    EXPECT_EQ(test::dump_tree(app_key), expected_settings());
    EXPECT_EQ(test::read_text(profile_.roaming_data() + "\\settings.txt"), settings_text);
    expect_no_legacy_names();
}

}  // namespace
}  // namespace virelo
