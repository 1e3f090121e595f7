#include "install/stop_app.h"

#include <tlhelp32.h>

#include <optional>
#include <string>

#include "common/path.h"
#include "common/unicode_lower.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "install/image_match.h"
#include "foundation/names.h"

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

}  // namespace

bool close_running_app(const CloseTiming& timing) {
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        const HWND window = find_app_window();
        if (!window) {
            end_installed_app_processes();
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
    if (find_app_window()) return false;
    end_installed_app_processes();
    return true;
}

void end_processes_by_image_path(std::string_view path, const EndTiming& timing) {
    const std::string target = to_lower_full(path);
    const std::string_view file_name = last_path_component(path);

    const win::unique_file snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot) return;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!exe_names_match(win::from_wide_buffer(entry.szExeFile, MAX_PATH), file_name)) continue;

        const win::unique_handle process{OpenProcess(end_access, FALSE, entry.th32ProcessID)};
        if (!process) continue;
        const auto image = image_path(process.get());
        if (!image || to_lower_full(*image) != target) continue;

        TerminateProcess(process.get(), ended_exit_code);
        WaitForSingleObject(process.get(), timing.wait_ms);
    }
}

void end_installed_app_processes() { end_processes_by_image_path(installed_exe_path()); }

}  // namespace virelo
