#include "window/progress_window.h"

#include <dwmapi.h>

#include <memory>
#include <optional>
#include <utility>

#include "common/win/environment.h"
#include "common/win/wide.h"
#include "foundation/status_channel.h"
#include "window/gdi.h"
#include "window/window_layout.h"

namespace virelo {
namespace {

constexpr DWORD window_style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD dark_mode_attribute = 20;  // DWMWA_USE_IMMERSIVE_DARK_MODE
constexpr int icon_resource = 1;

constexpr COLORREF background_colour = RGB(14, 14, 18);
constexpr COLORREF title_colour = RGB(255, 255, 255);
constexpr COLORREF status_colour = RGB(201, 201, 211);
constexpr COLORREF error_colour = RGB(255, 120, 110);
constexpr COLORREF track_colour = RGB(36, 36, 43);
constexpr COLORREF fill_colour = RGB(232, 50, 79);

// Fonts and the icon, made at the first paint and kept for the window's life
// rather than made on every paint: the sweep repaints thirty times a second,
// and a run that ends before the window shows never loads a font at all.
struct PaintTools {
    win::unique_gdi_object title_font;
    win::unique_gdi_object status_font;
    win::unique_icon icon;
};

// What the window owns; it goes with the window.
struct WindowData {
    WindowState state;
    std::optional<PaintTools> tools;
};

win::unique_gdi_object make_font(int height, int weight, const wchar_t* face) {
    return win::unique_gdi_object{CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, face)};
}

PaintTools make_paint_tools() {
    PaintTools tools;
    tools.title_font = make_font(-24, 600, L"Segoe UI Semibold");
    tools.status_font = make_font(-15, 400, L"Segoe UI");
    tools.icon.reset(static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon_resource),
                                                   IMAGE_ICON, layout::icon_size, layout::icon_size,
                                                   LR_DEFAULTCOLOR)));
    return tools;
}

WindowData* data_of(HWND window) { return reinterpret_cast<WindowData*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void fill(HDC dc, RECT r, COLORREF colour) {
    win::unique_gdi_object brush{CreateSolidBrush(colour)};
    FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
}

bool meets(const RECT& a, const RECT& b) {
    RECT common;
    return IntersectRect(&common, &a, &b) != 0;
}

// Draws the parts of the client area that meet `clip`; the rest is left alone.
void draw_content(HDC dc, const WindowState& state, const PaintTools& tools, int w, int h, DWORD tick_ms,
                  const RECT& clip) {
    using namespace layout;
    fill(dc, clip, background_colour);

    const RECT icon_area{icon_left, icon_top, icon_left + icon_size, icon_top + icon_size};
    if (tools.icon && meets(clip, icon_area)) {
        DrawIconEx(dc, icon_left, icon_top, tools.icon.get(), icon_size, icon_size, 0, nullptr, DI_NORMAL);
    }

    SetBkMode(dc, TRANSPARENT);
    RECT title{text_left, title_top, w - right_margin, title_bottom};
    if (meets(clip, title)) {
        win::scoped_select keep_font{dc, tools.title_font.get()};
        SetTextColor(dc, title_colour);
        DrawTextW(dc, L"Virelo", -1, &title, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    }
    RECT status = status_area(w, state.failed, h);
    if (meets(clip, status)) {
        win::scoped_select keep_font{dc, tools.status_font.get()};
        SetTextColor(dc, state.failed ? error_colour : status_colour);
        const std::wstring text = win::to_wide(state.status_text);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &status, DT_WORDBREAK | DT_LEFT | DT_TOP);
    }

    const RECT track = track_area(w);
    if (!state.failed && meets(clip, track)) {
        fill(dc, track, track_colour);
        const Span span = progress_fill(state.progress, w, tick_ms);
        if (span.right > span.left) fill(dc, {span.left, track_top, span.right, track_bottom}, fill_colour);
    }
}

// Draws only what the system asked for, off-screen first and then in one
// copy: no flicker, and a sweep step costs a few hundred pixels, not the
// whole window.
void paint(HWND window) {
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const RECT& area = ps.rcPaint;
    const int w = area.right - area.left, h = area.bottom - area.top;
    WindowData* data = data_of(window);
    if (data && w > 0 && h > 0) {
        if (!data->tools) data->tools = make_paint_tools();
        win::unique_memory_dc memory{CreateCompatibleDC(target)};
        win::unique_gdi_object bitmap{CreateCompatibleBitmap(target, w, h)};
        if (memory && bitmap) {
            win::scoped_select keep_bitmap{memory.get(), bitmap.get()};
            // Client coordinates inside the small bitmap.
            SetViewportOrgEx(memory.get(), -area.left, -area.top, nullptr);
            draw_content(memory.get(), data->state, *data->tools, client.right, client.bottom, GetTickCount(), area);
            SetViewportOrgEx(memory.get(), 0, 0, nullptr);
            BitBlt(target, area.left, area.top, w, h, memory.get(), 0, 0, SRCCOPY);
        }
    }
    EndPaint(window, &ps);
}

void invalidate(HWND window, const RECT& area) { InvalidateRect(window, &area, FALSE); }

int client_width(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return client.right;
}

// The sweep animates only while it is drawn; otherwise nothing runs.
void keep_sweep_timer(HWND window, const WindowState& state) {
    if (state.progress < 0 && !state.failed) {
        SetTimer(window, animate_timer_id, 30, nullptr);
    } else {
        KillTimer(window, animate_timer_id);
    }
}

void apply_status(HWND window, WindowState& state, WPARAM wparam, LPARAM lparam) {
    std::string text = take_posted_text(lparam);
    const auto progress = static_cast<std::int32_t>(static_cast<std::uint32_t>(wparam));
    RECT client{};
    GetClientRect(window, &client);
    if (text != state.status_text) invalidate(window, status_area(client.right, state.failed, client.bottom));
    if (progress != state.progress) invalidate(window, track_area(client.right));
    state.status_text = std::move(text);
    state.progress = progress;
    keep_sweep_timer(window, state);
}

void apply_done(HWND window, WindowState& state, WPARAM wparam, LPARAM lparam) {
    if (wparam == 0) {
        DestroyWindow(window);
        return;
    }
    state.failed = true;
    state.status_text = take_posted_text(lparam);
    KillTimer(window, show_timer_id);
    keep_sweep_timer(window, state);
    ShowWindow(window, SW_SHOWNORMAL);
    InvalidateRect(window, nullptr, FALSE);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowData* data = data_of(window);
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the paint covers the whole client area
    case WM_TIMER:
        if (wparam == show_timer_id && !IsWindowVisible(window)) ShowWindow(window, SW_SHOWNORMAL);
        if (wparam == animate_timer_id && IsWindowVisible(window)) invalidate(window, track_area(client_width(window)));
        return 0;
    case WM_SETUP_STATUS:
        if (data) {
            apply_status(window, data->state, wparam, lparam);
        } else {
            (void)take_posted_text(lparam);
        }
        return 0;
    case WM_SETUP_DONE:
        if (data) {
            apply_done(window, data->state, wparam, lparam);
        } else if (wparam != 0) {
            (void)take_posted_text(lparam);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        delete data;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wparam, lparam);
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

RECT status_area(int client_width, bool failed, int client_height) {
    using namespace layout;
    return {text_left, status_top, client_width - right_margin,
            failed ? client_height - error_bottom_margin : status_bottom};
}

RECT track_area(int client_width) {
    using namespace layout;
    return {text_left, track_top, client_width - right_margin, track_bottom};
}

void draw_progress_content(HDC dc, const WindowState& state, int w, int h, DWORD tick_ms) {
    const PaintTools tools = make_paint_tools();
    draw_content(dc, state, tools, w, h, tick_ms, {0, 0, w, h});
}

HWND create_progress_window() {
    HINSTANCE module = GetModuleHandleW(nullptr);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = module;
    wc.hIcon = LoadIconW(module, MAKEINTRESOURCEW(icon_resource));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = setup_window_class;
    RegisterClassExW(&wc);

    const Size client = client_size_for_dpi(GetDpiForSystem());
    RECT outer{0, 0, client.width, client.height};
    AdjustWindowRect(&outer, window_style, FALSE);
    const Size outer_size{outer.right - outer.left, outer.bottom - outer.top};
    const Point position = win::in_test_mode()
        ? test_mode_position
        : centred_position({GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}, outer_size);

    HWND window = CreateWindowExW(0, setup_window_class, L"Virelo Setup", window_style, position.x, position.y,
                                  outer_size.width, outer_size.height, nullptr, nullptr, module, nullptr);
    if (!window) return nullptr;
    main_window = window;

    const BOOL dark = TRUE;
    DwmSetWindowAttribute(window, dark_mode_attribute, &dark, sizeof dark);

    auto data = std::make_unique<WindowData>();
    data->state.status_text = "Preparing\u2026";
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data.release()));

    SetTimer(window, show_timer_id, 500, nullptr);
    SetTimer(window, animate_timer_id, 30, nullptr);
    return window;
}

const WindowState* progress_window_state(HWND window) {
    wchar_t class_name[32] = {};
    GetClassNameW(window, class_name, 32);
    if (std::wstring_view{class_name} != setup_window_class) return nullptr;
    const WindowData* data = data_of(window);
    return data ? &data->state : nullptr;
}

}  // namespace virelo
