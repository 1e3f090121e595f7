#include "server/log_writer.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace virelo::tool {
namespace {

using namespace std::chrono_literals;

// How long the reader may take for the last lines once the server stops.
constexpr auto drain_time = 1s;
constexpr int poll_interval_ms = 100;
// Lines wait this long, or until this much has gathered, and go out
// together: a line costs a loop no system call and no thread switch.
constexpr auto gather_time = 10ms;
constexpr std::size_t gather_bytes = 32 * 1024;

std::uint64_t line_count(std::string_view text) {
    return static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

LogWriter::LogWriter(int fd, std::size_t capacity, DropNotice notice)
    : fd_{fd}, capacity_{capacity}, notice_{notice}, thread_{[this] { run(); }} {}

LogWriter::~LogWriter() {
    {
        const std::lock_guard lock{mutex_};
        stopping_ = true;
        drain_until_ = std::chrono::steady_clock::now() + drain_time;
    }
    ready_.notify_one();
    thread_.join();
}

void LogWriter::add(std::string_view line) {
    bool gathered = false;
    {
        const std::lock_guard lock{mutex_};
        if (pending_.size() + line.size() > capacity_) {
            ++unreported_drops_;
            return;
        }
        // The writer sleeps until the first line and then gathers.
        gathered = pending_.empty() ||
                   (pending_.size() < gather_bytes && pending_.size() + line.size() >= gather_bytes);
        pending_.append(line);
    }
    if (gathered) ready_.notify_one();
}

void LogWriter::run() {
    std::string batch;
    std::uint64_t unlogged = 0;  // dropped lines the log has not been told about
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock lock{mutex_};
            ready_.wait(lock, [this] { return !pending_.empty() || unreported_drops_ > 0 || stopping_; });
            ready_.wait_for(lock, gather_time, [this] { return pending_.size() >= gather_bytes || stopping_; });
            batch.clear();
            batch.swap(pending_);
            // Dropped after every line of this batch, before any later one.
            unlogged += std::exchange(unreported_drops_, 0);
            stopping = stopping_;
        }
        if (stopping && batch.empty() && unlogged == 0) break;
        if (broken_) {
            unlogged += line_count(batch);
        } else if (std::size_t written = 0; !write_out(batch, written)) {
            broken_ = true;
            unlogged += line_count(std::string_view{batch}.substr(written));
        }
        if (unlogged > 0 && !broken_) {
            std::size_t written = 0;
            if (write_out(notice_(unlogged), written)) unlogged = 0;
            else broken_ = true;
        }
        if (stopping && broken_) {
            // Whatever else arrives now is lost as well.
            const std::lock_guard lock{mutex_};
            unlogged += line_count(pending_) + std::exchange(unreported_drops_, 0);
            pending_.clear();
            break;
        }
    }
    if (unlogged > 0) {
        // The log never took them: say so where the operator may still look.
        const std::string text = "virelo-release: " + std::to_string(unlogged) +
                                 " access log lines were dropped because the log's reader did not keep up\n";
        pollfd wait{STDERR_FILENO, POLLOUT, 0};
        if (::poll(&wait, 1, poll_interval_ms) == 1 && !(wait.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, text.data(), text.size());
        }
    }
}

bool LogWriter::past_drain_time() {
    const std::lock_guard lock{mutex_};
    return stopping_ && std::chrono::steady_clock::now() >= drain_until_;
}

// A blocking descriptor shared with other processes (a pipe, a terminal)
// must not be switched to non-blocking mode, so readiness is polled first
// and at most PIPE_BUF bytes go per write, which a writable pipe takes at once.
bool LogWriter::write_out(std::string_view text, std::size_t& written) {
    written = 0;
    while (written < text.size()) {
        pollfd wait{fd_, POLLOUT, 0};
        const int ready = ::poll(&wait, 1, poll_interval_ms);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) {
            if (past_drain_time()) return false;
            continue;
        }
        if (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        const std::size_t piece = std::min<std::size_t>(text.size() - written, PIPE_BUF);
        const ssize_t n = ::write(fd_, text.data() + written, piece);
        if (n > 0) written += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    }
    return true;
}

}  // namespace virelo::tool
