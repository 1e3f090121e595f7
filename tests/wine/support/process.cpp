#include "support/process.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "common/win/wide.h"

namespace virelo::test {

std::string windows_path(std::string_view unix_path) {
    std::string path = "Z:";
    for (char c : unix_path) path += c == '/' ? '\\' : c;
    return path;
}

std::string build_file(std::string_view relative) {
    const char* build = std::getenv("VIRELO_BUILD_DIR");
    std::string unix_path = build ? build : ".";
    unix_path += '/';
    unix_path += relative;
    return windows_path(unix_path);
}

std::string quote_argument(std::string_view arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) return std::string{arg};
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') backslashes = backslashes * 2 + 1;
        quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

namespace {

// The current environment with the requested changes, as a sorted block.
std::wstring environment_block(const RunOptions& options) {
    struct Caseless {
        bool operator()(const std::wstring& a, const std::wstring& b) const {
            return _wcsicmp(a.c_str(), b.c_str()) < 0;
        }
    };
    std::map<std::wstring, std::wstring, Caseless> vars;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
            std::wstring_view entry{p};
            const auto eq = entry.find(L'=', 1);  // "=C:=C:\x" entries start with '='
            if (eq == std::wstring_view::npos) continue;
            vars[std::wstring{entry.substr(0, eq)}] = std::wstring{entry.substr(eq + 1)};
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : options.env) {
        if (value) {
            vars[win::to_wide(name)] = win::to_wide(*value);
        } else {
            vars.erase(win::to_wide(name));
        }
    }
    std::wstring result;
    for (const auto& [name, value] : vars) result += name + L"=" + value + L'\0';
    result += L'\0';
    return result;
}

}  // namespace

std::optional<Child> start_program(const std::string& exe, const RunOptions& options) {
    std::string command = quote_argument(exe);
    for (const auto& arg : options.args) command += " " + quote_argument(arg);
    std::wstring command_line = win::to_wide(command);
    std::wstring env = environment_block(options);
    const std::wstring folder = win::to_wide(options.working_folder);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(win::to_wide(exe).c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, env.data(), folder.empty() ? nullptr : folder.c_str(), &si,
                        &pi)) {
        return std::nullopt;
    }
    CloseHandle(pi.hThread);
    Child child;
    child.process.reset(pi.hProcess);
    child.id = pi.dwProcessId;
    return child;
}

bool wait_for_exit(const Child& child, DWORD timeout_ms, DWORD* exit_code) {
    if (WaitForSingleObject(child.process.get(), timeout_ms) != WAIT_OBJECT_0) return false;
    if (exit_code) GetExitCodeProcess(child.process.get(), exit_code);
    return true;
}

RunResult run_program(const std::string& exe, const RunOptions& options) {
    RunResult result;
    auto child = start_program(exe, options);
    if (!child) return result;
    result.started = true;
    if (!wait_for_exit(*child, options.timeout_ms, &result.exit_code)) {
        result.timed_out = true;
        result.exit_code = STILL_ACTIVE;
        TerminateProcess(child->process.get(), 1);
        WaitForSingleObject(child->process.get(), 5000);
    }
    return result;
}

HWND wait_for_window(const wchar_t* class_name, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindWindowW(class_name, nullptr)) return window;
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(20);
    }
}

bool close_setup_window(DWORD timeout_ms) {
    HWND window = wait_for_window(L"VireloSetupWnd", timeout_ms);
    if (!window) return false;
    PostMessageW(window, WM_CLOSE, 0, 0);
    return true;
}

}  // namespace virelo::test
