#include "install/stop_app.h"

#include <tlhelp32.h>

#include <optional>
#include <string>

#include "common/path.h"
#include "common/unicode_lower.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "install/image_match.h"

namespace virelo {
namespace {

constexpr DWORD end_access = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD image_path_capacity = 1024;
constexpr UINT ended_exit_code = 1;

// The process's image as a Win32 path, or nothing when it cannot be queried.
std::optional<std::string> image_path(HANDLE process) {
    wchar_t buffer[image_path_capacity];
    DWORD size = image_path_capacity;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return std::nullopt;
    return win::from_wide({buffer, size});
}

// The uninstall closes Virelo too, and removes the log's folder: these lines
// only ever add to a log that is there (an update has written its own lines
// by then).
void log_closed(int requests, std::size_t ended) {
    if (requests > 0) {
        log_line_if_logging("closed the running Virelo (asked its window " + std::to_string(requests) +
                            (requests == 1 ? " time)" : " times)"));
    }
    if (ended > 0) {
        log_line_if_logging("ended " + std::to_string(ended) +
                            (ended == 1 ? " Virelo process without a window" : " Virelo processes without a window"));
    }
}

}  // namespace

bool close_running_app(const CloseTiming& timing) {
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        const HWND window = find_app_window();
        if (!window) {
            log_closed(attempt, end_installed_app_processes());
            return true;
        }
        DWORD process_id = 0;
        GetWindowThreadProcessId(window, &process_id);
        // Posted, never sent: a hung application cannot block the caller.
        PostMessageW(window, WM_CLOSE, 0, 0);

        const win::unique_handle process{process_id ? OpenProcess(SYNCHRONIZE, FALSE, process_id) : nullptr};
        if (process) {
            WaitForSingleObject(process.get(), timing.wait_ms);
        } else {
            Sleep(timing.pause_ms);
        }
    }
    // A window that outlived every request means the application refused;
    // nothing is ended by force then.
    if (find_app_window()) {
        log_line_if_logging("Virelo did not close (asked its window " + std::to_string(timing.attempts) + " times)");
        return false;
    }
    log_closed(timing.attempts, end_installed_app_processes());
    return true;
}

std::size_t end_processes_by_image_path(std::string_view path, const EndTiming& timing) {
    const std::string target = to_lower_full(path);
    const std::string_view file_name = last_path_component(path);

    std::size_t ended = 0;
    const win::unique_file snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot) return ended;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!exe_names_match(win::from_wide_buffer(entry.szExeFile, MAX_PATH), file_name)) continue;

        const win::unique_handle process{OpenProcess(end_access, FALSE, entry.th32ProcessID)};
        if (!process) continue;
        const auto image = image_path(process.get());
        if (!image || to_lower_full(*image) != target) continue;

        if (TerminateProcess(process.get(), ended_exit_code)) ++ended;
        WaitForSingleObject(process.get(), timing.wait_ms);
    }
    return ended;
}

std::size_t end_installed_app_processes() { return end_processes_by_image_path(installed_exe_path()); }

}  // namespace virelo
