#pragma once

#include <windows.h>

namespace virelo {

// Body of the worker thread: runs the install pipeline once, records a
// failure in test mode, and posts the completion message to `window`.
void worker_main(HWND window);

// Starts worker_main on a detached thread with a 2 MiB stack reservation.
// False when the thread cannot be created.
bool start_worker(HWND window);

}  // namespace virelo
