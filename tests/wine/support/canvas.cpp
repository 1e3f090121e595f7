#include "support/canvas.h"

namespace virelo::test {

Canvas::Canvas(int w, int h) : w_{w}, h_{h} {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_.reset(CreateCompatibleDC(nullptr));
    void* bits = nullptr;
    bitmap_.reset(CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dc_ || !bitmap_) return;
    bits_ = static_cast<std::uint32_t*>(bits);
    previous_ = SelectObject(dc_.get(), bitmap_.get());
}

Canvas::~Canvas() {
    if (previous_) SelectObject(dc_.get(), previous_);
}

void Canvas::fill(COLORREF colour) {
    const std::uint32_t pixel = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    for (int i = 0; i < w_ * h_; ++i) bits_[i] = pixel;
}

COLORREF Canvas::at(int x, int y) const {
    GdiFlush();
    const std::uint32_t p = bits_[y * w_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

bool Canvas::any_other_than(RECT r, COLORREF colour) const {
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            if (at(x, y) != colour) return true;
        }
    }
    return false;
}

}  // namespace virelo::test
