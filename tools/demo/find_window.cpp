// find-window CLASS [TIMEOUT_MS] [--absent | --close]
//
// Waits for a top-level window of the window class and prints its title, its
// process id, the image path of that process and whether it is visible; exit
// code 0 when one was found in time, 1 when not.
//   --absent  waits instead until no such window exists, and prints nothing;
//   --close   asks the window found to close, as a user closing it would, and
//             waits until it is gone.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace {

using virelo::win::from_wide;
using virelo::win::unique_handle;

std::string window_title(HWND window) {
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    return from_wide(title);
}

std::string image_path(DWORD process_id) {
    unique_handle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id)};
    if (!process) return {};
    wchar_t path[1024] = {};
    DWORD size = 1024;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
    return from_wide({path, size});
}

void describe(HWND window) {
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    std::printf("title: %s\npid: %lu\nimage: %s\nvisible: %s\n", window_title(window).c_str(),
                static_cast<unsigned long>(process_id), image_path(process_id).c_str(),
                IsWindowVisible(window) ? "yes" : "no");
    std::fflush(stdout);
}

// Polls until the predicate holds or the deadline passes.
template <typename Predicate>
bool wait_until(ULONGLONG deadline, Predicate done) {
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: find-window CLASS [TIMEOUT_MS] [--absent | --close]\n", stderr);
        return 2;
    }
    const wchar_t* class_name = argv[1];
    const DWORD timeout_ms = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 10000;
    const std::wstring mode = argc > 3 ? argv[3] : L"";
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;

    if (mode == L"--absent") {
        return wait_until(deadline, [&] { return FindWindowW(class_name, nullptr) == nullptr; }) ? 0 : 1;
    }

    HWND window = nullptr;
    if (!wait_until(deadline, [&] { return (window = FindWindowW(class_name, nullptr)) != nullptr; })) return 1;
    describe(window);
    if (mode != L"--close") return 0;

    PostMessageW(window, WM_CLOSE, 0, 0);
    return wait_until(deadline + 5000, [&] { return !IsWindow(window); }) ? 0 : 1;
}
