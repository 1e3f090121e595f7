#pragma once
// What the event loops tell each other. When the server is full, a new
// connection should take the place of the connection that has waited longest
// for a request, which may belong to another loop: each loop publishes since
// when its longest-waiting connection waits, and a loop without room hands
// the new connection to the loop with the oldest one, which makes room.

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "base/file_io.h"

namespace virelo::tool {

struct HandedConnection {
    unique_fd socket;
    sockaddr_storage address{};
    unsigned hops = 0;  // how often it was handed on
};

class LoopMailbox {
public:
    using Clock = std::chrono::steady_clock;

    LoopMailbox();
    bool valid() const { return static_cast<bool>(wake_); }
    // Readable while connections wait in the inbox.
    int wake_fd() const { return wake_.get(); }

    void post(HandedConnection connection);
    std::vector<HandedConnection> take();

    void publish_oldest_waiting(std::optional<Clock::time_point> since);
    std::optional<Clock::time_point> oldest_waiting() const;

private:
    static constexpr Clock::rep nobody_waits = Clock::duration::max().count();
    unique_fd wake_;
    std::mutex mutex_;
    std::vector<HandedConnection> inbox_;
    std::atomic<Clock::rep> oldest_waiting_{nobody_waits};
};

}  // namespace virelo::tool
