#pragma once
// Owners for the GDI objects of one paint: each is released, and each
// selection undone, before the paint returns.

#include <windows.h>

#include "common/win/unique_resource.h"

namespace virelo::win {

struct memory_dc_traits {
    using type = HDC;
    static type invalid() noexcept { return nullptr; }
    static void close(type dc) noexcept { ::DeleteDC(dc); }
};
struct gdi_object_traits {
    using type = HGDIOBJ;
    static type invalid() noexcept { return nullptr; }
    static void close(type object) noexcept { ::DeleteObject(object); }
};
struct icon_traits {
    using type = HICON;
    static type invalid() noexcept { return nullptr; }
    static void close(type icon) noexcept { ::DestroyIcon(icon); }
};

using unique_memory_dc = unique_resource<memory_dc_traits>;
using unique_gdi_object = unique_resource<gdi_object_traits>;
using unique_icon = unique_resource<icon_traits>;

// Selects an object into a device context and selects the previous one back
// when it leaves scope.
class scoped_select {
public:
    scoped_select(HDC dc, HGDIOBJ object) noexcept : dc_{dc}, previous_{::SelectObject(dc, object)} {}
    scoped_select(const scoped_select&) = delete;
    scoped_select& operator=(const scoped_select&) = delete;
    ~scoped_select() {
        if (previous_) ::SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace virelo::win
