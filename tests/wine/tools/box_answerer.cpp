// box_answerer RECORD CAPTION STEP...
//
// Answers message boxes of another program the way a user would, one STEP per
// box in order: BUTTON[:HOLD_MS], BUTTON being yes, no or ok, HOLD_MS how long
// the box stays open before the button is clicked (default 300). For every box
// it appends to RECORD what it saw, before it waits and clicks:
//
//   box=<n>
//   pid=<process id of the box>
//   owner=<none|window>
//   text=<message text, line feeds written as \n>
//   buttons=<ids of the push buttons, ascending>
//   icon=<question|information|warning|error|unknown|none>
//
// and, once the box has closed, "pressed=<id>" and an empty line. Exit code 0
// when every box appeared and closed, 1 when one did not (RECORD says which),
// 2 for a usage error.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/win/wide.h"
#include "window/gdi.h"

namespace {

namespace win = virelo::win;
using win::from_wide;

constexpr DWORD box_timeout_ms = 30000;

struct Step {
    int button = 0;
    DWORD hold_ms = 300;
};

int button_id(std::wstring_view name) {
    if (name == L"yes") return IDYES;
    if (name == L"no") return IDNO;
    if (name == L"ok") return IDOK;
    return 0;
}

bool parse_step(const wchar_t* arg, Step& step) {
    std::wstring_view text{arg};
    const auto colon = text.find(L':');
    step.button = button_id(text.substr(0, colon));
    if (colon != std::wstring_view::npos) step.hold_ms = std::wcstoul(arg + colon + 1, nullptr, 10);
    return step.button != 0;
}

struct Controls {
    std::wstring text;  // the longest static text: its control id differs between systems
    std::vector<int> buttons;
    HWND icon = nullptr;
};

BOOL CALLBACK collect_control(HWND child, LPARAM state) {
    auto& controls = *reinterpret_cast<Controls*>(state);
    wchar_t class_name[32] = {};
    GetClassNameW(child, class_name, 32);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(class_name, L"Button") == 0 && IsWindowVisible(child)) {
        controls.buttons.push_back(GetDlgCtrlID(child));
    } else if (_wcsicmp(class_name, L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            controls.icon = child;
        } else {
            wchar_t text[2048] = {};
            GetWindowTextW(child, text, 2048);
            if (std::wcslen(text) > controls.text.size()) controls.text = text;
        }
    }
    return TRUE;
}

// A screen DC, released when it leaves scope.
class ScreenDc {
public:
    ScreenDc() : dc_{GetDC(nullptr)} {}
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    ~ScreenDc() { ReleaseDC(nullptr, dc_); }
    HDC get() const { return dc_; }

private:
    HDC dc_;
};

// The pixels of a rectangle of `source` as 32-bit BGRX values.
std::vector<DWORD> capture(HDC source, int x, int y, int width, int height) {
    const win::unique_memory_dc memory{CreateCompatibleDC(source)};
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    const win::unique_gdi_object bitmap{CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0)};
    if (!bitmap) return {};
    const win::scoped_select selected{memory.get(), bitmap.get()};
    BitBlt(memory.get(), 0, 0, width, height, source, x, y, SRCCOPY);
    GdiFlush();
    const auto* pixels = static_cast<const DWORD*>(bits);
    return {pixels, pixels + width * height};
}

// A system icon drawn at its own size on the given BGRX background colour.
std::vector<DWORD> render(HICON icon, int width, int height, DWORD background) {
    const ScreenDc screen;
    const win::unique_memory_dc memory{CreateCompatibleDC(screen.get())};
    const win::unique_gdi_object bitmap{CreateCompatibleBitmap(screen.get(), width, height)};
    const win::scoped_select selected{memory.get(), bitmap.get()};
    const win::unique_gdi_object brush{
        CreateSolidBrush(RGB((background >> 16) & 0xff, (background >> 8) & 0xff, background & 0xff))};
    const RECT all{0, 0, width, height};
    FillRect(memory.get(), &all, static_cast<HBRUSH>(brush.get()));
    DrawIconEx(memory.get(), 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
    return capture(memory.get(), 0, 0, width, height);
}

std::uint64_t distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::abs(static_cast<int>((a[i] >> shift) & 0xff) - static_cast<int>((b[i] >> shift) & 0xff));
        }
    }
    return sum;
}

// Icons of other processes cannot be read through their handles, so the icon
// is recognised by its pixels on the screen against the four system icons.
const char* recognise_icon(HWND icon_control) {
    if (!icon_control) return "none";
    RECT rect{};
    GetWindowRect(icon_control, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return "unknown";
    const std::vector<DWORD> seen = capture(ScreenDc{}.get(), rect.left, rect.top, width, height);
    if (seen.empty()) return "unknown";
    const DWORD background = seen.front() & 0xffffff;

    struct Candidate {
        const char* name;
        LPCWSTR id;
    };
    const Candidate candidates[] = {{"question", IDI_QUESTION},
                                    {"information", IDI_INFORMATION},
                                    {"warning", IDI_WARNING},
                                    {"error", IDI_ERROR}};
    const char* best = "unknown";
    std::uint64_t best_distance = UINT64_MAX, second = UINT64_MAX;
    for (const auto& c : candidates) {
        const std::uint64_t d = distance(seen, render(LoadIconW(nullptr, c.id), width, height, background));
        if (d < best_distance) {
            second = best_distance;
            best_distance = d;
            best = c.name;
        } else if (d < second) {
            second = d;
        }
    }
    // Only a clear winner counts.
    return best_distance * 3 < second ? best : "unknown";
}

std::string escape(const std::wstring& text) {
    std::string out;
    for (char c : from_wide(text)) {
        if (c == '\n') {
            out += "\\n";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out;
}

void append(const wchar_t* file, const std::string& text) {
    if (FILE* f = _wfopen(file, L"ab")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

HWND wait_for_box(const wchar_t* caption, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        // The dialog class of message boxes; only a box that is on screen counts.
        HWND box = FindWindowW(L"#32770", caption);
        if (box && IsWindowVisible(box)) return box;
        if (GetTickCount64() >= deadline) return nullptr;
        Sleep(50);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<Step> steps;
    bool valid = argc >= 4;
    for (int i = 3; i < argc; ++i) {
        Step step;
        valid = valid && parse_step(argv[i], step);
        steps.push_back(step);
    }
    if (!valid) {
        std::fputs("usage: box_answerer RECORD CAPTION yes|no|ok[:HOLD_MS]...\n", stderr);
        return 2;
    }
    const wchar_t* record = argv[1];
    const wchar_t* caption = argv[2];

    for (std::size_t n = 0; n < steps.size(); ++n) {
        HWND box = wait_for_box(caption, box_timeout_ms);
        if (!box) {
            append(record, "missing=" + std::to_string(n + 1) + "\n");
            return 1;
        }
        // Give the box a moment to finish painting before its icon is read.
        Sleep(200);
        Controls controls;
        EnumChildWindows(box, collect_control, reinterpret_cast<LPARAM>(&controls));
        std::sort(controls.buttons.begin(), controls.buttons.end());
        DWORD pid = 0;
        GetWindowThreadProcessId(box, &pid);

        std::string seen = "box=" + std::to_string(n + 1) + "\npid=" + std::to_string(pid) +
                           "\nowner=" + (GetWindow(box, GW_OWNER) ? "window" : "none") +
                           "\ntext=" + escape(controls.text) + "\nbuttons=";
        for (std::size_t i = 0; i < controls.buttons.size(); ++i) {
            seen += (i ? "," : "") + std::to_string(controls.buttons[i]);
        }
        seen += "\nicon=";
        seen += recognise_icon(controls.icon);
        seen += "\n";
        append(record, seen);

        Sleep(steps[n].hold_ms);
        // Clicked as a user would: the button's own click, which the box
        // turns into its result.
        SendMessageTimeoutW(GetDlgItem(box, steps[n].button), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (IsWindow(box)) {
            if (GetTickCount64() >= deadline) {
                append(record, "stuck=" + std::to_string(n + 1) + "\n");
                return 1;
            }
            Sleep(20);
        }
        append(record, "pressed=" + std::to_string(steps[n].button) + "\n\n");
    }
    return 0;
}
