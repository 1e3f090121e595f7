#pragma once
// The progress window: fixed size, dark, custom painted, created hidden and
// shown after half a second; destroyed on success, error look on failure.

#include <windows.h>

#include <cstdint>
#include <string>

namespace virelo {

inline constexpr wchar_t setup_window_class[] = L"VireloSetupWnd";
inline constexpr UINT_PTR show_timer_id = 1;      // shows the window after 500 ms
inline constexpr UINT_PTR animate_timer_id = 2;   // repaints the track every 30 ms while it sweeps

// What the window shows; changed only by the status channel's messages.
struct WindowState {
    std::string status_text;
    std::int32_t progress = -1;
    bool failed = false;
};

// Registers the class and creates the window hidden, sets main_window, the
// dark title bar, "Preparing…" and both timers. Returns null on failure.
HWND create_progress_window();

// The state of a progress window, or null for any other window.
const WindowState* progress_window_state(HWND window);

// Draws the whole client area (w x h) for `state` into `dc`; `tick_ms` places
// the indeterminate sweep.
void draw_progress_content(HDC dc, const WindowState& state, int w, int h, DWORD tick_ms);

// The parts of the client area a change redraws, in client coordinates.
RECT status_area(int client_width, bool failed, int client_height);
RECT track_area(int client_width);

}  // namespace virelo
