#include "window/window_layout.h"

#include <algorithm>

namespace virelo {

Size client_size_for_dpi(unsigned dpi) {
    return {static_cast<int>(dpi * 500 / 96), static_cast<int>(dpi * 160 / 96)};
}

Point centred_position(Size screen, Size outer) {
    return {(screen.width - outer.width) / 2, (screen.height - outer.height) / 2};
}

int track_width(int client_width) { return client_width - 128; }

Span progress_fill(std::int32_t progress, int client_width, std::uint32_t tick_ms) {
    const int t = track_width(client_width);
    if (progress >= 0) {
        // Signed 32-bit arithmetic, truncated, as the bar has always been drawn;
        // the product is formed in 64 bits so a large value cannot overflow.
        const auto fill = static_cast<std::int64_t>(t) * progress / 1000;
        return {layout::text_left, layout::text_left + static_cast<int>(fill)};
    }
    const int modulus = client_width - 8;
    if (modulus <= 0) return {layout::text_left, layout::text_left};
    const int s = static_cast<int>((tick_ms / layout::sweep_ms_per_pixel) % static_cast<std::uint32_t>(modulus));
    return {layout::text_left + std::max(0, s - layout::sweep_length), layout::text_left + std::min(s, t)};
}

}  // namespace virelo
