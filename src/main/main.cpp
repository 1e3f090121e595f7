// Process entry: chooses the mode, guards against a second install-mode
// instance, and runs the progress window's message loop while the worker
// thread runs the install pipeline.

#include <windows.h>
#include <objbase.h>

#include "common/win/com_apartment.h"
#include "common/win/command_line.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "main/mode_choice.h"
#include "main/system_dlls.h"
#include "setup/worker.h"
#include "uninstall/uninstall.h"
#include "window/progress_window.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace virelo;

    // Before anything loads a DLL: every DLL but kernel32 and msvcrt is
    // delay-loaded, so none has been taken from the program's folder yet.
    if (!restrict_dll_search_to_system_folder()) return 0;

    // For the shell calls made on this thread; paired with its uninitialise.
    const win::com_apartment com;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

    if (selects_uninstall_mode(win::command_line_arguments())) {
        // The uninstall tells the user itself, in its own box.
        if (const Result uninstalled = run_uninstall(); !uninstalled) {
            log_line_if_logging("uninstall: " + uninstalled.error());
        }
        return 0;
    }

    // Held, never closed, until the process ends: also while a failed run's
    // window waits to be closed. An uninstall holds it too, so an install
    // started during one ends here, having touched nothing.
    CreateMutexW(nullptr, TRUE, instance_guard_name);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Only into a log that exists: beside an uninstall, a new one would
        // bring back the folder it removes.
        log_line_if_logging("run: another setup run is under way, so this start ends at once");
        return 0;
    }

    HWND window = create_progress_window();
    if (!window || !start_worker(window)) return 0;

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
