#include "release/background.h"

#include <windows.h>

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

}  // namespace

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

}  // namespace virelo
