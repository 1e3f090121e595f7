#include "release/background_fetch.h"

#include <windows.h>

#include <functional>
#include <utility>

namespace virelo {
namespace {

struct Task {
    std::function<void()> run;
};

DWORD WINAPI run_task(void* parameter) {
    const std::unique_ptr<Task> task{static_cast<Task*>(parameter)};
    task->run();
    return 0;
}

// A thread nobody joins; when none can be made the work runs here instead,
// which only costs the concurrency.
void run_detached(std::function<void()> work) {
    auto task = std::make_unique<Task>(Task{std::move(work)});
    HANDLE thread = CreateThread(nullptr, 0, run_task, task.get(), 0, nullptr);
    if (!thread) {
        task->run();
        return;
    }
    (void)task.release();  // the thread owns it now
    CloseHandle(thread);
}

}  // namespace

BackgroundFetch::BackgroundFetch(std::shared_ptr<const HttpSession> session, std::string url, TransferLimits limits) {
    run_detached([shared = shared_, session = std::move(session), url = std::move(url), limits] {
        auto answer = http_get(*session, url, limits);
        const std::lock_guard lock{shared->mutex};
        shared->answer = std::move(answer);
        shared->arrived.notify_all();
    });
}

std::optional<Expected<BackgroundFetch::Body>> BackgroundFetch::wait_until(SteadyClock::time_point deadline) {
    std::unique_lock lock{shared_->mutex};
    if (!shared_->arrived.wait_until(lock, deadline, [this] { return shared_->answer.has_value(); })) {
        return std::nullopt;
    }
    return std::move(shared_->answer);
}

}  // namespace virelo
