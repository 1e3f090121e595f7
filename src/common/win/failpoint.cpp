// Compiled into the failpoint build only (see failpoint.h).
#include "common/win/failpoint.h"

#include <windows.h>

#include <string>

#include "common/decimal.h"
#include "common/win/environment.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::failpoints {
namespace {

bool is_chosen(std::string_view name) { return win::env_text("VIRELO_FAILPOINT") == name; }

// Appended and closed at once, so a line is complete on disk before anything
// that follows it can end the process.
void trace(std::string_view name) {
    const std::string file = win::env_text("VIRELO_FAILPOINT_TRACE");
    if (file.empty()) return;
    const win::unique_file out{CreateFileW(win::to_wide(file).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
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
    if (const std::string pause = win::env_text("VIRELO_FAILPOINT_PAUSE_MS"); !pause.empty()) {
        Sleep(parse_decimal<DWORD>(pause).value_or(0));
    }
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
