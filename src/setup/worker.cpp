#include "setup/worker.h"

#include <objbase.h>

#include "common/path.h"
#include "common/win/com_apartment.h"
#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/os_error.h"
#include "setup/pipeline.h"
#include "foundation/diagnostic_log.h"
#include "foundation/status_channel.h"

namespace virelo {
namespace {

constexpr SIZE_T worker_stack_reservation = 2 * 1024 * 1024;

// Test mode's only record of a failure; written before the window hears of it.
void write_error_report(const std::string& test_folder, const std::string& text) {
    log_ignored("making the test folder", win::create_folder_chain(test_folder));
    log_ignored("writing the error report",
                win::write_file(path_join(test_folder, "setup-error.txt"),
                                {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
}

DWORD WINAPI worker_entry(void* window) {
    worker_main(static_cast<HWND>(window));
    return 0;
}

}  // namespace

void worker_main(HWND window) {
    const win::com_apartment com;
    rotate_diagnostic_log();
    if (!com.ok()) {
        log_line("COM did not start on the worker thread, so no shortcut can be written: " +
                 os_error_detail(static_cast<DWORD>(com.result())));
    }
    Result result = run_install();
    log_line(result ? std::string{"result: success"} : "result: " + result.error());
    if (!result.ok()) {
        if (const auto folder = win::test_folder()) write_error_report(*folder, result.error());
    }
    post_done(window, std::move(result));
}

bool start_worker(HWND window) {
    HANDLE thread = CreateThread(nullptr, worker_stack_reservation, worker_entry, window,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return false;
    CloseHandle(thread);  // detached: nobody waits for it
    return true;
}

}  // namespace virelo
