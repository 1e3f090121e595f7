#pragma once
// Work done on a thread of its own while the caller goes on, with a result
// the caller waits for, or stops waiting for at a deadline. The thread is
// never joined: state it shares lives as long as either side needs it, so a
// caller that walks away leaves nothing dangling.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace virelo {

// Runs `work` on a detached thread; when no thread can be made it runs on
// the caller's, which only costs the concurrency.
void run_detached(std::function<void()> work);

template <typename T>
class Background {
public:
    explicit Background(std::function<T()> work) {
        run_detached([shared = shared_, work = std::move(work)] {
            T result = work();
            const std::lock_guard lock{shared->mutex};
            shared->result = std::move(result);
            shared->arrived.notify_all();
        });
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The result once it is there; nothing when `deadline` came first.
    template <typename Clock, typename Duration>
    std::optional<T> wait_until(std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock{shared_->mutex};
        if (!shared_->arrived.wait_until(lock, deadline, [this] { return shared_->result.has_value(); })) {
            return std::nullopt;
        }
        return std::move(shared_->result);
    }

    T wait() {
        std::unique_lock lock{shared_->mutex};
        shared_->arrived.wait(lock, [this] { return shared_->result.has_value(); });
        return std::move(*shared_->result);
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<T> result;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace virelo
