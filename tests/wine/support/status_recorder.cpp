#include "support/status_recorder.h"

#include <utility>

#include "foundation/status_channel.h"

namespace virelo::test {

void PrintTo(const Posted& posted, std::ostream* out) { *out << '"' << posted.text << "\" " << posted.progress; }

StatusRecorder::StatusRecorder() {
    static const ATOM window_class = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VireloTestStatusRecorder";
        return RegisterClassW(&wc);
    }();
    window_ = CreateWindowExW(0, MAKEINTATOM(window_class), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    main_window = window_;
}

StatusRecorder::~StatusRecorder() {
    deliver();  // frees the texts still queued
    main_window = nullptr;
    DestroyWindow(window_);
}

std::vector<Posted> StatusRecorder::take() {
    deliver();
    return std::exchange(posted_, {});
}

// The code under test ran on this thread, so its posts wait in this queue
// (unless a modal loop inside a shell call already delivered them).
void StatusRecorder::deliver() {
    MSG msg;
    while (PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

LRESULT CALLBACK StatusRecorder::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SETUP_STATUS) {
        auto* self = reinterpret_cast<StatusRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        std::string text = take_posted_text(lparam);
        if (self) self->posted_.push_back({std::move(text), static_cast<std::int32_t>(static_cast<INT_PTR>(wparam))});
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace virelo::test
