#include "window/progress_window.h"

#include <dwmapi.h>

#include <memory>
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

WindowState* state_of(HWND window) {
    return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void fill(HDC dc, RECT r, COLORREF colour) {
    win::unique_gdi_object brush{CreateSolidBrush(colour)};
    FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
}

win::unique_gdi_object make_font(int height, int weight, const wchar_t* face) {
    return win::unique_gdi_object{CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, face)};
}

void paint(HWND window) {
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right, h = client.bottom;
    {
        // Off-screen first, then one copy: no flicker.
        win::unique_memory_dc memory{CreateCompatibleDC(target)};
        win::unique_gdi_object bitmap{CreateCompatibleBitmap(target, w, h)};
        if (memory && bitmap) {
            win::scoped_select keep_bitmap{memory.get(), bitmap.get()};
            if (const WindowState* state = state_of(window)) {
                draw_progress_content(memory.get(), *state, w, h, GetTickCount());
            }
            BitBlt(target, 0, 0, w, h, memory.get(), 0, 0, SRCCOPY);
        }
    }
    EndPaint(window, &ps);
}

void apply_done(HWND window, WindowState& state, WPARAM wparam, LPARAM lparam) {
    if (wparam == 0) {
        DestroyWindow(window);
        return;
    }
    state.failed = true;
    state.status_text = take_posted_text(lparam);
    KillTimer(window, show_timer_id);
    ShowWindow(window, SW_SHOWNORMAL);
    InvalidateRect(window, nullptr, FALSE);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowState* state = state_of(window);
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the paint covers the whole client area
    case WM_TIMER:
        if (wparam == show_timer_id && !IsWindowVisible(window)) ShowWindow(window, SW_SHOWNORMAL);
        if (wparam == animate_timer_id) InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_SETUP_STATUS:
        if (state) {
            state->status_text = take_posted_text(lparam);
            state->progress = static_cast<std::int32_t>(static_cast<std::uint32_t>(wparam));
        } else {
            (void)take_posted_text(lparam);
        }
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_SETUP_DONE:
        if (state) {
            apply_done(window, *state, wparam, lparam);
        } else if (wparam != 0) {
            (void)take_posted_text(lparam);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        // The window owns its state; it goes with the window.
        delete state;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wparam, lparam);
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

void draw_progress_content(HDC dc, const WindowState& state, int w, int h, DWORD tick_ms) {
    using namespace layout;
    fill(dc, {0, 0, w, h}, background_colour);

    HMODULE module = GetModuleHandleW(nullptr);
    win::unique_icon icon{static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(icon_resource), IMAGE_ICON, icon_size, icon_size, LR_DEFAULTCOLOR))};
    if (icon) DrawIconEx(dc, icon_left, icon_top, icon.get(), icon_size, icon_size, 0, nullptr, DI_NORMAL);

    SetBkMode(dc, TRANSPARENT);
    win::unique_gdi_object title_font = make_font(-24, 600, L"Segoe UI Semibold");
    win::unique_gdi_object status_font = make_font(-15, 400, L"Segoe UI");
    {
        win::scoped_select keep_font{dc, title_font.get()};
        SetTextColor(dc, title_colour);
        RECT title{text_left, title_top, w - right_margin, title_bottom};
        DrawTextW(dc, L"Virelo", -1, &title, DT_SINGLELINE | DT_VCENTER | DT_LEFT);

        SelectObject(dc, status_font.get());
        SetTextColor(dc, state.failed ? error_colour : status_colour);
        RECT status{text_left, status_top, w - right_margin,
                    state.failed ? h - error_bottom_margin : status_bottom};
        const std::wstring text = win::to_wide(state.status_text);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &status, DT_WORDBREAK | DT_LEFT | DT_TOP);
    }

    if (!state.failed) {
        fill(dc, {text_left, track_top, w - right_margin, track_bottom}, track_colour);
        const Span span = progress_fill(state.progress, w, tick_ms);
        if (span.right > span.left) fill(dc, {span.left, track_top, span.right, track_bottom}, fill_colour);
    }
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

    auto state = std::make_unique<WindowState>();
    state->status_text = "Preparing\u2026";
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));

    SetTimer(window, show_timer_id, 500, nullptr);
    SetTimer(window, animate_timer_id, 30, nullptr);
    return window;
}

const WindowState* progress_window_state(HWND window) {
    wchar_t class_name[32] = {};
    GetClassNameW(window, class_name, 32);
    if (std::wstring_view{class_name} != setup_window_class) return nullptr;
    return state_of(window);
}

}  // namespace virelo
