#include "server/loop_mailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace virelo::tool {

LoopMailbox::LoopMailbox() : wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)} {}

void LoopMailbox::post(HandedConnection connection) {
    {
        const std::lock_guard lock{mutex_};
        inbox_.push_back(std::move(connection));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
}

std::vector<HandedConnection> LoopMailbox::take() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(wake_.get(), &count, sizeof count);
    std::vector<HandedConnection> taken;
    const std::lock_guard lock{mutex_};
    taken.swap(inbox_);
    return taken;
}

void LoopMailbox::publish_oldest_waiting(std::optional<Clock::time_point> since) {
    oldest_waiting_.store(since ? since->time_since_epoch().count() : nobody_waits, std::memory_order_relaxed);
}

std::optional<LoopMailbox::Clock::time_point> LoopMailbox::oldest_waiting() const {
    const Clock::rep since = oldest_waiting_.load(std::memory_order_relaxed);
    if (since == nobody_waits) return std::nullopt;
    return Clock::time_point{Clock::duration{since}};
}

}  // namespace virelo::tool
