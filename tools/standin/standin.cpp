// A small stand-in for the Virelo application (and, built with other names,
// for its predecessor Dockling), for the tests and the demo. It does what the
// setup program relies on: a top-level window of the application's class that
// closes on WM_CLOSE, and the start parameters --dev, --offscreen,
// --quit-after N and --autostart. Its version is built in, so two versions are
// different files.
//
// Behaviours the tests need are chosen through the environment, so that the
// file's bytes stay the same:
//   VIRELO_STANDIN_IGNORE_CLOSE  (non-empty)  WM_CLOSE is ignored
//   VIRELO_STANDIN_LINGER=N                   the process stays N seconds after its window closed
//   VIRELO_STANDIN_HOLD_EXE      (non-empty)  the own executable is held open without delete sharing
//   VIRELO_STANDIN_RECORD=FILE                one UTF-8 line per start: command line, tab, working folder

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <optional>
#include <string>

#include "common/win/unique_resource.h"
#include "window/gdi.h"

#define STANDIN_WIDEN2(x) L##x
#define STANDIN_WIDEN(x) STANDIN_WIDEN2(x)

namespace {

using virelo::win::scoped_select;
using virelo::win::unique_file;
using virelo::win::unique_gdi_object;

constexpr const wchar_t* product = STANDIN_WIDEN(STANDIN_PRODUCT);
constexpr const wchar_t* version = STANDIN_WIDEN(STANDIN_VERSION);
constexpr UINT_PTR quit_timer = 1;

struct Options {
    bool dev = false;
    bool offscreen = false;
    bool autostart = false;
    unsigned quit_after_seconds = 0;
};

struct Behaviour {
    bool ignore_close = false;
    unsigned linger_seconds = 0;
    bool hold_exe = false;
    std::optional<std::wstring> record_file;
};

// Set by wWinMain before the window exists; read by the window procedure.
Options options;
Behaviour behaviour;

std::optional<std::wstring> environment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

bool environment_flag(const wchar_t* name) {
    const auto value = environment(name);
    return value && !value->empty();
}

unsigned to_seconds(const std::wstring& text) { return static_cast<unsigned>(std::wcstoul(text.c_str(), nullptr, 10)); }

Options read_options() {
    Options result;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args) return result;
    for (int i = 1; i < count; ++i) {
        const std::wstring_view arg = args[i];
        if (arg == L"--dev") {
            result.dev = true;
        } else if (arg == L"--offscreen") {
            result.offscreen = true;
        } else if (arg == L"--autostart") {
            result.autostart = true;
        } else if (arg == L"--quit-after" && i + 1 < count) {
            result.quit_after_seconds = to_seconds(args[++i]);
        }
    }
    LocalFree(args);
    return result;
}

Behaviour read_behaviour() {
    Behaviour result;
    result.ignore_close = environment_flag(L"VIRELO_STANDIN_IGNORE_CLOSE");
    if (const auto linger = environment(L"VIRELO_STANDIN_LINGER")) result.linger_seconds = to_seconds(*linger);
    result.hold_exe = environment_flag(L"VIRELO_STANDIN_HOLD_EXE");
    result.record_file = environment(L"VIRELO_STANDIN_RECORD");
    return result;
}

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

std::wstring current_folder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return folder;
}

// Appends "<command line>\t<working folder>\n"; appends from several
// processes land whole because each is one write at the end of the file.
void record_start(const std::wstring& file) {
    const unique_file out{CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!out) return;
    const std::string line = to_utf8(GetCommandLineW()) + '\t' + to_utf8(current_folder()) + '\n';
    DWORD written = 0;
    WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Readers may share it; a rename over it or a delete is refused while it runs.
unique_file hold_own_executable() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) return unique_file{};
    return unique_file{
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

std::wstring window_title() {
    std::wstring title = std::wstring{product} + L" " + version;
    if (options.autostart) title += L" (autostart)";
    return title;
}

void paint(HWND window) {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);

    const unique_gdi_object background{CreateSolidBrush(RGB(0x20, 0x24, 0x2c))};
    FillRect(dc, &client, static_cast<HBRUSH>(background.get()));

    const unique_gdi_object heading{CreateFontW(-30, 0, 0, 0, FW_SEMIBOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                                DEFAULT_PITCH, L"Segoe UI")};
    const unique_gdi_object detail{CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                               DEFAULT_PITCH, L"Segoe UI")};
    SetBkMode(dc, TRANSPARENT);

    {
        const scoped_select font{dc, heading.get()};
        SetTextColor(dc, RGB(0xf0, 0xf2, 0xf5));
        RECT line{24, 28, client.right - 24, 72};
        const std::wstring text = std::wstring{product} + L" " + version;
        DrawTextW(dc, text.c_str(), -1, &line, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    }
    {
        const scoped_select font{dc, detail.get()};
        SetTextColor(dc, RGB(0x9a, 0xa3, 0xb0));
        std::wstring note = std::wstring{L"Version "} + version;
        if (options.dev) note += L" \u00b7 development mode";
        if (options.autostart) note += L" \u00b7 started at sign-in";
        RECT line{24, 82, client.right - 24, 110};
        DrawTextW(dc, note.c_str(), -1, &line, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    EndPaint(window, &ps);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the paint fills everything
    case WM_CLOSE:
        if (!behaviour.ignore_close) DestroyWindow(window);
        return 0;
    case WM_TIMER:
        if (wparam == quit_timer) DestroyWindow(window);  // also when close requests are ignored
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    options = read_options();
    behaviour = read_behaviour();
    if (behaviour.record_file) record_start(*behaviour.record_file);
    const unique_file held = behaviour.hold_exe ? hold_own_executable() : unique_file{};

    const wchar_t* class_name = options.dev ? STANDIN_WIDEN(STANDIN_DEV_WINDOW_CLASS)
                                            : STANDIN_WIDEN(STANDIN_WINDOW_CLASS);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = class_name;
    RegisterClassExW(&window_class);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, 420, 140};
    AdjustWindowRect(&frame, style, FALSE);
    const int x = options.offscreen ? -20000 : CW_USEDEFAULT;
    const int y = options.offscreen ? -20000 : CW_USEDEFAULT;
    const std::wstring title = window_title();
    const HWND window = CreateWindowExW(0, class_name, title.c_str(), style, x, y, frame.right - frame.left,
                                       frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    if (options.quit_after_seconds > 0) SetTimer(window, quit_timer, options.quit_after_seconds * 1000, nullptr);
    ShowWindow(window, options.offscreen ? SW_SHOWNOACTIVATE : show);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // A copy that hangs at exit: alive, but without its window.
    if (behaviour.linger_seconds > 0) Sleep(behaviour.linger_seconds * 1000);
    return 0;
}
