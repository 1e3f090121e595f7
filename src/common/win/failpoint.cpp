// Compiled into the failpoint build only (see failpoint.h).
#include "common/win/failpoint.h"

#include <windows.h>

#include <optional>
#include <string>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::failpoints {
namespace {

std::optional<std::wstring> variable(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

bool is_chosen(std::string_view name) {
    const auto chosen = variable(L"VIRELO_FAILPOINT");
    return chosen && *chosen == win::to_wide(name);
}

// Appended and closed at once, so a line is complete on disk before anything
// that follows it can end the process.
void trace(std::string_view name) {
    const auto file = variable(L"VIRELO_FAILPOINT_TRACE");
    if (!file) return;
    const win::unique_file out{CreateFileW(file->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!out) return;
    const std::string line = std::string{name} + "\n";
    DWORD written = 0;
    WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

[[noreturn]] void end_process() {
    TerminateProcess(GetCurrentProcess(), exit_code);
    ExitProcess(exit_code);  // not reached: TerminateProcess of the own process does not return
}

}  // namespace

void reach(std::string_view name) {
    trace(name);
    if (is_chosen(name)) end_process();
    if (const auto pause = variable(L"VIRELO_FAILPOINT_PAUSE_MS")) Sleep(static_cast<DWORD>(_wtoi(pause->c_str())));
}

Watch::Watch(std::string_view name, std::function<bool()> reached) {
    if (!is_chosen(name)) return;
    watcher_ = std::jthread{[name = std::string{name}, reached = std::move(reached)](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (reached()) {
                trace(name);
                end_process();
            }
            Sleep(1);
        }
    }};
}

}  // namespace virelo::failpoints
