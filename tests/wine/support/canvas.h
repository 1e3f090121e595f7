#pragma once
// A 32-bit memory bitmap to paint into and read back pixel by pixel.

#include <windows.h>

#include <cstdint>

#include "window/gdi.h"

namespace virelo::test {

class Canvas {
public:
    Canvas(int w, int h);
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas();

    explicit operator bool() const { return bits_ != nullptr; }
    HDC dc() const { return dc_.get(); }

    void fill(COLORREF colour);
    COLORREF at(int x, int y) const;
    // True when some pixel of the rectangle differs from `colour`.
    bool any_other_than(RECT r, COLORREF colour) const;

private:
    int w_, h_;
    win::unique_memory_dc dc_;
    win::unique_gdi_object bitmap_;
    std::uint32_t* bits_ = nullptr;  // 0x00RRGGBB, top row first
    HGDIOBJ previous_ = nullptr;
};

}  // namespace virelo::test
