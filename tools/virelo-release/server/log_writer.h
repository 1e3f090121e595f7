#pragma once
// The access log on its way out, written by a thread of its own: the event
// loops only append lines to a bounded buffer, so a log reader that stops
// reading (a full stdout pipe) never stalls a client. While the buffer is
// full, lines are dropped and counted; the count goes into the log as soon as
// it takes lines again, or to stderr at the end if it never does.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace virelo::tool {

class LogWriter {
public:
    // The line that reports `count` dropped lines, newline included.
    using DropNotice = std::string (*)(std::uint64_t count);

    LogWriter(int fd, std::size_t capacity, DropNotice notice);
    // Gives the reader a short while to take what is left, then reports
    // whatever was lost.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Never waits for the log's reader.
    void add(std::string_view line);

private:
    void run();
    // False when the reader did not take `text` (the log was closed, or it
    // stayed full past the drain time while stopping); `written` says how far it got.
    bool write_out(std::string_view text, std::size_t& written);
    bool past_drain_time();

    const int fd_;
    const std::size_t capacity_;
    const DropNotice notice_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::string pending_;
    std::uint64_t unreported_drops_ = 0;
    bool stopping_ = false;
    bool broken_ = false;  // the reader is gone: every later line is dropped
    std::chrono::steady_clock::time_point drain_until_{};
    std::thread thread_;
};

}  // namespace virelo::tool
