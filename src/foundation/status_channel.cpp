#include "foundation/status_channel.h"

#include <memory>
#include <utility>

namespace virelo {

HWND main_window = nullptr;

namespace {

// Hands `text` to the window as lParam. If the post fails (the window is gone)
// nobody will take the holder, so it is reclaimed here instead of leaking.
void post_text(HWND window, UINT message, WPARAM wparam, std::string text) {
    auto holder = std::make_unique<std::string>(std::move(text));
    if (PostMessageW(window, message, wparam, reinterpret_cast<LPARAM>(holder.get()))) {
        (void)holder.release();
    }
}

}  // namespace

void post_status(std::string_view text, std::int32_t progress) {
    // Sign-extended, so -1 travels as all bits set.
    const auto wparam = static_cast<WPARAM>(static_cast<INT_PTR>(progress));
    post_text(main_window, WM_SETUP_STATUS, wparam, std::string{text});
}

void post_done(HWND window, Result result) {
    if (result.ok()) {
        PostMessageW(window, WM_SETUP_DONE, 0, 0);
    } else {
        post_text(window, WM_SETUP_DONE, 1, result.take_error());
    }
}

std::string take_posted_text(LPARAM holder) {
    std::unique_ptr<std::string> owned{reinterpret_cast<std::string*>(holder)};
    return std::move(*owned);
}

}  // namespace virelo
