// DLL planting: the setup program is run from a folder where anyone could
// have dropped files (a Downloads folder), with a DLL planted beside it under
// the name of every DLL it loads. Each planted DLL writes "<its path>.loaded"
// when it is loaded (tools/planted_dll.c). Wine is told to prefer native DLLs
// to its own for those names, which imitates Windows' search order, where a
// DLL beside the program comes first.
//
// The names are those a run of the same kind loads, taken from the debug
// events of that run (the test runs the program as its debugger), together
// with the DLLs the program loads up front.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/ascii.h"
#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "install/stop_app.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/release_site.h"
#include "support/signing.h"
#include "support/standin.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The https case's server shows a certificate the prefix does not trust.
constexpr char untrusted_error[] =
    "Cannot reach the Virelo site (the site's certificate was not accepted). Check your internet connection and "
    "run the installer again.";

// Loaded before the program's first line runs, by every process: Windows maps
// them from its KnownDLLs and never looks beside the program, while Wine takes
// a planted one when told to prefer native DLLs (docs/wine.md).
const std::set<std::string> loaded_before_the_program = {"ntdll.dll", "kernel32.dll", "kernelbase.dll",
                                                         "msvcrt.dll"};

// Always planted as well: the DLLs named in the report that started this test,
// and those the program loads up front from the system folder.
const std::set<std::string> always_planted = {
    "bcrypt.dll",   "comctl32.dll", "crypt32.dll", "dhcpcsvc.dll", "dwmapi.dll",  "imm32.dll",   "iphlpapi.dll",
    "oleaut32.dll", "secur32.dll",  "shcore.dll",  "uxtheme.dll",  "version.dll", "winhttp.dll",
};

// Wine's per-program DLL overrides (HKCU\Software\Wine\AppDefaults\<exe>
// \DllOverrides) for as long as the object lives. The registry form of
// WINEDLLOVERRIDES: Wine reads that variable only from the environment the
// first Wine process started with, never from a child's.
class NativeFirst {
public:
    NativeFirst(std::string_view program, const std::set<std::string>& modules)
        : key_{"Software\\Wine\\AppDefaults\\" + std::string{program}} {
        test::delete_key_tree(key_);
        for (const std::string& module : modules) {
            // Wine names a .dll without its extension and any other module with it.
            const std::string name = module.ends_with(".dll") ? module.substr(0, module.size() - 4) : module;
            test::write_string(key_ + "\\DllOverrides", name, "native,builtin");
        }
    }
    NativeFirst(const NativeFirst&) = delete;
    NativeFirst& operator=(const NativeFirst&) = delete;
    ~NativeFirst() { test::delete_key_tree(key_); }

private:
    std::string key_;
};

std::string file_path_of(HANDLE file) {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= MAX_PATH * 2) return {};
    std::wstring text{path, length};
    if (text.starts_with(L"\\\\?\\")) text.erase(0, 4);
    return win::from_wide(text);
}

struct Traced {
    bool finished = false;
    std::vector<std::string> modules;  // the path of every module the process loaded
};

// Runs a program as its debugger, which is told of every module it loads
// (LOAD_DLL_DEBUG_EVENT). A failed setup run keeps its window open: once
// `failure_file` exists the window is closed. A run still going after 40 s is
// ended and not finished.
Traced run_traced(const std::string& exe, const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env, const std::string& failure_file = {}) {
    Traced traced;
    std::string command = test::quote_argument(exe);
    for (const auto& arg : args) command += " " + test::quote_argument(arg);
    std::wstring command_line = win::to_wide(command);
    // The child inherits the environment; the changes are made around its start.
    std::vector<std::pair<std::wstring, std::wstring>> saved;
    for (const auto& [name, value] : env) {
        wchar_t old[4096];
        const DWORD length = GetEnvironmentVariableW(win::to_wide(name).c_str(), old, 4096);
        saved.emplace_back(win::to_wide(name), length ? std::wstring{old, length} : std::wstring{});
        SetEnvironmentVariableW(win::to_wide(name).c_str(), win::to_wide(value).c_str());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(win::to_wide(exe).c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                   DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &started);
    for (const auto& [name, value] : saved) {
        SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    if (!ok) return traced;
    win::unique_handle process{started.hProcess};
    win::unique_handle thread{started.hThread};

    const DWORD start = GetTickCount();
    for (;;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 200)) {
            if (!failure_file.empty() && test::file_exists(failure_file)) test::close_setup_window(0);
            if (GetTickCount() - start > 40000) {
                TerminateProcess(process.get(), 1);
                DebugActiveProcessStop(started.dwProcessId);
                return traced;
            }
            continue;
        }
        DWORD continuation = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) {
                    traced.modules.push_back(file_path_of(event.u.LoadDll.hFile));
                    CloseHandle(event.u.LoadDll.hFile);
                }
                break;
            case EXCEPTION_DEBUG_EVENT:
                // The initial breakpoint is the debugger's; anything else is
                // the program's own to handle.
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    continuation = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            default:
                break;
        }
        const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
        if (exited) break;
    }
    traced.finished = true;
    return traced;
}

std::set<std::string> file_names(const std::vector<std::string>& paths) {
    std::set<std::string> names;
    for (const auto& path : paths) names.insert(ascii_lower(last_path_component(path)));
    return names;
}

class PlantedDlls : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& folder : test_folders_) end_processes_by_image_path(installed_exe(folder));
    }

    static std::string installed_exe(const std::string& test_folder) {
        return path_join(test_folder, "Programs\\Virelo\\Virelo.exe");
    }

    // The setup copy in the download folder, in test mode with a folder of
    // its own (named `name`).
    struct SetupRun {
        Traced traced;
        std::string test_folder;
    };
    SetupRun run_setup(const std::vector<std::string>& args, const std::string& name) {
        const std::string test_folder = folder_.file(name);
        test_folders_.push_back(test_folder);
        return {run_traced(setup_copy_, args,
                           {{"DK_SETUP_TEST", test_folder},
                            {"VIRELO_STANDIN_RECORD", path_join(test_folder, "starts.txt")}},
                           path_join(test_folder, "setup-error.txt")),
                test_folder};
    }

    // Plants a copy of the marker DLL under each name beside the program.
    void plant(const std::set<std::string>& names) {
        for (const std::string& name : names) {
            EXPECT_TRUE(test::copy_file_to(test::build_file("tests/planted.dll"), path_join(downloads_, name))) << name;
        }
    }

    // What a run loaded, but the program itself and what no program can keep
    // away, with the names that are always planted.
    static std::set<std::string> names_to_plant(const Traced& traced) {
        std::set<std::string> names = always_planted;
        for (const std::string& name : file_names(traced.modules)) {
            if (!loaded_before_the_program.contains(name) && !name.ends_with(".exe")) names.insert(name);
        }
        return names;
    }

    // The planted DLLs that were loaded, by their markers.
    std::vector<std::string> markers() const {
        std::vector<std::string> found;
        for (const std::string& file : test::list_files(downloads_)) {
            if (file.ends_with(".loaded")) found.push_back(file);
        }
        return found;
    }

    // The modules a run loaded from the download folder, the program aside.
    std::vector<std::string> taken_from_downloads(const Traced& traced) const {
        std::vector<std::string> taken;
        for (const std::string& path : traced.modules) {
            if (equals_ascii_nocase(parent_folder(path), downloads_)) taken.push_back(path);
        }
        return taken;
    }

    test::TestFolder folder_{"planted-dlls"};
    const std::string downloads_ = folder_.file("Downloads");
    const std::string setup_copy_ = path_join(downloads_, "VireloSetup.exe");
    std::vector<std::string> test_folders_;
};

TEST_F(PlantedDlls, InstallTakesNoDllFromTheProgramsFolder) {
    const Bytes release = win::read_file(test::standin_exe()).value_or(Bytes{});
    ASSERT_FALSE(release.empty());
    test::ReleaseSite site;
    site.publish(release, "1.0.0");
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), setup_copy_));

    // What an install loads when nothing is planted.
    const SetupRun plain = run_setup({"--site", site.url()}, "t-plain");
    ASSERT_TRUE(plain.traced.finished);
    ASSERT_TRUE(win::read_file(installed_exe(plain.test_folder)) == release) << "the plain install failed";
    const std::set<std::string> loaded = file_names(plain.traced.modules);
    // The trace is complete enough: a program with a window and a download loads these.
    for (const char* name : {"user32.dll", "gdi32.dll", "winhttp.dll", "bcrypt.dll", "ole32.dll", "shell32.dll"}) {
        EXPECT_TRUE(loaded.contains(name)) << name << " is missing from the modules the install loaded";
    }

    const std::set<std::string> names = names_to_plant(plain.traced);
    plant(names);
    const NativeFirst native_first{"VireloSetup.exe", names};
    const SetupRun attacked = run_setup({"--site", site.url()}, "t-planted");
    ASSERT_TRUE(attacked.traced.finished);
    EXPECT_EQ(markers(), std::vector<std::string>{}) << "planted DLLs were loaded";
    EXPECT_EQ(taken_from_downloads(attacked.traced), std::vector<std::string>{});
    EXPECT_EQ(test::read_text(path_join(attacked.test_folder, "setup-error.txt")), std::nullopt);
    EXPECT_TRUE(win::read_file(installed_exe(attacked.test_folder)) == release) << "Virelo was not installed";
    EXPECT_EQ(test::wait_for_start_records(path_join(attacked.test_folder, "starts.txt"), 1, 10000).size(), 1u)
        << "Virelo was not started";

    std::string list;
    for (const auto& name : names) list += " " + name;
    std::printf("planted %zu names:%s\n", names.size(), list.c_str());
}

// An https site brings in the TLS DLLs. The certificate of the script's server
// (dll-planting-test) is not trusted here, so the run ends as if the site
// could not be reached; what matters is what it loaded on the way.
TEST_F(PlantedDlls, HttpsSiteTakesNoDllFromTheProgramsFolder) {
    const char* tls_url = std::getenv("VIRELO_UNTRUSTED_TLS_URL");
    if (!tls_url) GTEST_SKIP() << "needs VIRELO_UNTRUSTED_TLS_URL (run through dll-planting-test)";
    ASSERT_TRUE(test::copy_file_to(test::setup_exe(), setup_copy_));

    const SetupRun plain = run_setup({"--site", tls_url}, "t-tls-plain");
    ASSERT_TRUE(plain.traced.finished);
    EXPECT_TRUE(file_names(plain.traced.modules).contains("secur32.dll")) << "the run did not reach the TLS handshake";

    const std::set<std::string> names = names_to_plant(plain.traced);
    plant(names);
    const NativeFirst native_first{"VireloSetup.exe", names};
    const SetupRun attacked = run_setup({"--site", tls_url}, "t-tls-planted");
    ASSERT_TRUE(attacked.traced.finished);
    EXPECT_EQ(markers(), std::vector<std::string>{}) << "planted DLLs were loaded";
    EXPECT_EQ(taken_from_downloads(attacked.traced), std::vector<std::string>{});
    EXPECT_EQ(test::read_text(path_join(attacked.test_folder, "setup-error.txt")), untrusted_error);
}

// The test sees a planted DLL that is taken: the stand-in application, which
// imports user32.dll at start and restricts nothing, takes the planted one.
TEST_F(PlantedDlls, MarkerShowsAPlantedDllThatIsTaken) {
    const std::string standin_copy = path_join(downloads_, "Virelo.exe");
    ASSERT_TRUE(test::copy_file_to(test::standin_exe(), standin_copy));
    plant({"user32.dll"});
    const NativeFirst native_first{"Virelo.exe", {"user32.dll"}};
    const Traced traced = run_traced(standin_copy, {"--dev", "--offscreen", "--quit-after", "1"}, {});
    EXPECT_EQ(markers(), std::vector<std::string>{"user32.dll.loaded"});
    EXPECT_EQ(taken_from_downloads(traced), std::vector<std::string>{path_join(downloads_, "user32.dll")});
}

}  // namespace
}  // namespace virelo
