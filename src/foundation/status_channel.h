#pragma once
// The one-way channel from the worker thread to the progress window: status
// updates and one final completion message, posted and never waited for.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace virelo {

inline constexpr UINT WM_SETUP_STATUS = WM_APP + 1;
inline constexpr UINT WM_SETUP_DONE = WM_APP + 2;

// Progress of a status update: -1 for an indeterminate sweep, 0..1000 permille.
inline constexpr std::int32_t progress_indeterminate = -1;
inline constexpr std::int32_t progress_full = 1000;

// The progress window, written once by the main thread before the worker
// starts and only read afterwards.
extern HWND main_window;

// Posts a status update to main_window. The text travels as a heap string
// whose ownership passes to the window; a post that fails frees it again.
void post_status(std::string_view text, std::int32_t progress);

// Posts the worker's last message to `window`: success, or the error text.
void post_done(HWND window, Result result);

// Receiving side: takes ownership of the string a message carries.
std::string take_posted_text(LPARAM holder);

}  // namespace virelo
