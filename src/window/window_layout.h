#pragma once
// The progress window's geometry and its progress-bar arithmetic, free of any
// system call so it can be checked on its own.

#include <cstdint>

namespace virelo {

struct Size {
    int width;
    int height;
};

struct Span {  // a horizontal extent [left, right)
    int left;
    int right;
};

// Client area: 500 x 160 device-independent units at the system DPI, truncated.
Size client_size_for_dpi(unsigned dpi);

// Top-left corner that centres a window of `outer` on a screen of `screen`,
// truncated toward zero.
struct Point {
    int x;
    int y;
};
Point centred_position(Size screen, Size outer);

// Position of the window in test mode: on no screen at all.
inline constexpr Point test_mode_position{-20000, -20000};

// Fixed layout in device pixels; only the client size follows the DPI.
namespace layout {
inline constexpr int icon_left = 28, icon_top = 30, icon_size = 56;
inline constexpr int text_left = 104, right_margin = 24;
inline constexpr int title_top = 28, title_bottom = 62;
inline constexpr int status_top = 64, status_bottom = 104, error_bottom_margin = 16;
inline constexpr int track_top = 112, track_bottom = 118;
inline constexpr int sweep_length = 120, sweep_ms_per_pixel = 4;
}  // namespace layout

// Track width T for a client width W: W - 128.
int track_width(int client_width);

// The filled part of the track for a progress value, in client coordinates:
// left = 104 + ..., right = 104 + ... . For progress < 0 the sweep position
// is derived from the tick count. A client width of 8 or less (where the sweep's
// modulus would be 0 or negative) draws an empty fill.
Span progress_fill(std::int32_t progress, int client_width, std::uint32_t tick_ms);

}  // namespace virelo
