#include "release/download_progress.h"

#include <gtest/gtest.h>

#include <limits>

namespace virelo {
namespace {

TEST(DownloadProgress, Arithmetic) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t received, content_length, size;
        std::uint64_t done_mb, total_mb;
        std::int32_t permille;
    };
    const Case cases[] = {
        // Five million bytes, no Content-Length.
        {0, 0, 5'000'000, 0, 5, 0},
        {1'048'575, 0, 5'000'000, 0, 5, 209},
        {1'048'576, 0, 5'000'000, 1, 5, 209},
        {5'000'000, 0, 5'000'000, 4, 5, 1000},
        // Below one megabyte: "0 of 1" to the end while the bar fills.
        {0, 0, 500'000, 0, 1, 0},
        {250'000, 0, 500'000, 0, 1, 500},
        {500'000, 0, 500'000, 0, 1, 1000},
        // Size 0 and no Content-Length: any byte fills the bar.
        {0, 0, 0, 0, 0, 0},
        {1, 0, 0, 0, 0, 1000},
        // Content-Length wins over the manifest's size.
        {1'048'576, 2'097'152, 5'000'000, 1, 2, 500},
        {1'048'576, 2'097'153, 5'000'000, 1, 3, 499},
        {10, 1, 5'000'000, 0, 1, 1000},
        // More than announced never goes past full.
        {3'000'000, 2'000'000, 0, 2, 2, 1000},
        // No wrap-around on huge counts.
        {max / 2 + 1, max, 0, (max / 2 + 1) / 1'048'576, max / 1'048'576 + 1, 500},
        {max, max, 0, max / 1'048'576, max / 1'048'576 + 1, 1000},
        {max, 1, 0, max / 1'048'576, 1, 1000},
    };
    for (const auto& c : cases) {
        const auto p = download_progress(c.received, c.content_length, c.size);
        EXPECT_EQ(p.done_mb, c.done_mb) << c.received << " " << c.content_length << " " << c.size;
        EXPECT_EQ(p.total_mb, c.total_mb) << c.received << " " << c.content_length << " " << c.size;
        EXPECT_EQ(p.permille, c.permille) << c.received << " " << c.content_length << " " << c.size;
    }
}

TEST(DownloadProgress, Texts) {
    EXPECT_EQ(download_start_text("1.4.2"), "Downloading Virelo 1.4.2\u2026");
    EXPECT_EQ(download_start_text(""), "Downloading Virelo \u2026");
    EXPECT_EQ(download_progress_text("1.4.2", download_progress(1'048'576, 0, 5'000'000)),
              "Downloading Virelo 1.4.2\u2026 1 of 5 MB");
    EXPECT_EQ(download_progress_text("2.0", download_progress(0, 0, 1'234'567'890)),
              "Downloading Virelo 2.0\u2026 0 of 1178 MB");
}

}  // namespace
}  // namespace virelo
