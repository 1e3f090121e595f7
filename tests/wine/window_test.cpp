// The progress window in-process: size, visibility rules, and the pixels of a
// paint against the layout.

#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include "foundation/status_channel.h"
#include "support/canvas.h"
#include "window/gdi.h"
#include "window/progress_window.h"

namespace virelo {
namespace {

using test::Canvas;

// Handles the thread's messages for a while (the window's timers included).
void pump_for(DWORD ms) {
    const DWORD start = GetTickCount();
    MSG msg;
    do {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;  // a destroyed window's quit message
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = create_progress_window();
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        pump_for(0);
    }
    const WindowState& state() const { return *progress_window_state(window_); }

    HWND window_ = nullptr;
};

TEST_F(ProgressWindowTest, ClientAreaIs500By160At96Dpi) {
    ASSERT_EQ(GetDpiForSystem(), 96u);
    RECT client{};
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right, 500);
    EXPECT_EQ(client.bottom, 160);
    EXPECT_EQ(main_window, window_);
    EXPECT_EQ(state().status_text, "Preparing\u2026");
    EXPECT_EQ(state().progress, -1);
    EXPECT_FALSE(state().failed);
}

TEST_F(ProgressWindowTest, HiddenUntilTheFirstTimerTick) {
    EXPECT_FALSE(IsWindowVisible(window_));
    pump_for(200);
    EXPECT_FALSE(IsWindowVisible(window_));
    pump_for(600);
    EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(ProgressWindowTest, FailureShowsTheErrorLookAtOnce) {
    post_status("Installing\u2026", 1000);
    post_done(window_, Result::failure("Virelo is installed but did not start."));
    pump_for(50);
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_TRUE(state().failed);
    EXPECT_EQ(state().status_text, "Virelo is installed but did not start.");
    EXPECT_EQ(state().progress, 1000);
}

TEST_F(ProgressWindowTest, SuccessDestroysTheWindowEvenIfNeverShown) {
    post_done(window_, Result::success());
    pump_for(50);
    EXPECT_FALSE(IsWindow(window_));
}

TEST_F(ProgressWindowTest, OnlyTheLatestUpdateIsKept) {
    for (int i = 0; i <= 1000; i += 100) post_status("step " + std::to_string(i), i);
    pump_for(50);
    EXPECT_EQ(state().status_text, "step 1000");
    EXPECT_EQ(state().progress, 1000);
    post_status("Checking for updates\u2026", -1);
    pump_for(50);
    EXPECT_EQ(state().progress, -1);
}

// The process's commit charge (Wine leaves PrivateUsage at 0; PagefileUsage
// is the same figure on Windows).
SIZE_T committed_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

// Updates posted after the user closed the window are lost, and so must be
// their texts: 64 MiB of them may not stay behind.
TEST(StatusChannel, PostsToAClosedWindowLeaveNoText) {
    HWND window = create_progress_window();
    ASSERT_NE(window, nullptr);
    DestroyWindow(window);
    pump_for(0);
    ASSERT_FALSE(IsWindow(main_window));

    const std::string text(64 * 1024, 'x');
    const SIZE_T before = committed_bytes();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 1024; ++i) post_status(text, i);
    post_done(main_window, Result::failure(text));
    EXPECT_LT(committed_bytes() - before, 16u * 1024 * 1024);
}

constexpr COLORREF background = RGB(14, 14, 18);
constexpr COLORREF track = RGB(36, 36, 43);
constexpr COLORREF fill = RGB(232, 50, 79);
constexpr COLORREF error = RGB(255, 120, 110);

TEST(ProgressPaint, NormalLookMatchesTheLayout) {
    struct Case { std::int32_t progress; int fill_right; };
    // Track 104..476 (T = 372): right = 104 + 372 * progress / 1000.
    const Case cases[] = {{0, 104}, {500, 290}, {1000, 476}};
    for (const auto& c : cases) {
        Canvas canvas{500, 160};
        WindowState state{"Downloading Virelo 1.0\u2026", c.progress, false};
        draw_progress_content(canvas.dc(), state, 500, 160, 0);
        SCOPED_TRACE(c.progress);
        EXPECT_EQ(canvas.at(0, 0), background);
        EXPECT_EQ(canvas.at(499, 159), background);
        EXPECT_EQ(canvas.at(20, 120), background);
        EXPECT_EQ(canvas.at(103, 115), background);  // left of the track
        EXPECT_EQ(canvas.at(476, 115), background);  // right of the track
        EXPECT_EQ(canvas.at(300, 111), background);  // above it
        EXPECT_EQ(canvas.at(300, 118), background);  // below it
        if (c.fill_right > 104) {
            EXPECT_EQ(canvas.at(104, 112), fill);
            EXPECT_EQ(canvas.at(c.fill_right - 1, 117), fill);
        }
        if (c.fill_right < 476) {
            EXPECT_EQ(canvas.at(c.fill_right, 112), track);
        }
        EXPECT_EQ(canvas.at(475, 117), c.fill_right == 476 ? fill : track);
        // The title and the status line draw text in their rectangles.
        EXPECT_TRUE(canvas.any_other_than({104, 28, 476, 62}, background));
        EXPECT_TRUE(canvas.any_other_than({104, 64, 476, 104}, background));
        // The icon (resource 1 of this test program, if any) stays in its square.
        EXPECT_FALSE(canvas.any_other_than({0, 0, 28, 160}, background));
    }
}

// What a paint shows comes from the posted updates: the latest text and value.
TEST_F(ProgressWindowTest, PaintShowsTheLatestPostedProgress) {
    post_status("Downloading Virelo 2.0\u2026 0 of 5 MB", 0);
    post_status("Downloading Virelo 2.0\u2026 2 of 5 MB", 500);
    pump_for(50);
    Canvas canvas{500, 160};
    draw_progress_content(canvas.dc(), state(), 500, 160, 0);
    EXPECT_EQ(canvas.at(289, 115), fill);
    EXPECT_EQ(canvas.at(290, 115), track);
}

TEST(ProgressPaint, SweepMovesWithTheTickCount) {
    // s = (tick / 4) mod (W - 8) = 492; at s = 200 the fill spans 104+80 .. 104+200.
    Canvas canvas{500, 160};
    WindowState state{"Checking for updates\u2026", -1, false};
    draw_progress_content(canvas.dc(), state, 500, 160, 800);
    EXPECT_EQ(canvas.at(183, 115), track);
    EXPECT_EQ(canvas.at(184, 115), fill);
    EXPECT_EQ(canvas.at(303, 115), fill);
    EXPECT_EQ(canvas.at(304, 115), track);
}

TEST(ProgressPaint, ErrorLookHasNoBarAndTheErrorColour) {
    Canvas canvas{500, 160};
    WindowState state{"Cannot reach the Virelo site (cannot reach the site). Check your internet connection "
                      "and run the installer again.",
                      1000, true};
    draw_progress_content(canvas.dc(), state, 500, 160, 0);
    bool error_pixels = false, fill_pixels = false, track_pixels = false;
    for (int y = 64; y < 144; ++y)
        for (int x = 104; x < 476; ++x) {
            error_pixels |= canvas.at(x, y) == error;
            fill_pixels |= canvas.at(x, y) == fill;
            track_pixels |= canvas.at(x, y) == track;
        }
    EXPECT_TRUE(error_pixels);
    EXPECT_FALSE(fill_pixels);
    EXPECT_FALSE(track_pixels);
    EXPECT_FALSE(canvas.any_other_than({0, 144, 500, 160}, background)) << "text clipped at H - 16";
}

TEST(ProgressPaint, EightPixelWideClientDoesNotFail) {
    Canvas canvas{8, 160};
    WindowState state{"", -1, false};
    draw_progress_content(canvas.dc(), state, 8, 160, 12345);
    EXPECT_EQ(canvas.at(0, 0), background);
}

}  // namespace
}  // namespace virelo
