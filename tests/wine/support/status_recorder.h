#pragma once
// Stands in for the progress window: a message-only window on the test
// thread that keeps every status update, in the order the code under test
// posted them.

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace virelo::test {

struct Posted {
    std::string text;
    std::int32_t progress;
    bool operator==(const Posted&) const = default;
};

void PrintTo(const Posted& posted, std::ostream* out);

class StatusRecorder {
public:
    StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;
    ~StatusRecorder();

    bool ok() const { return window_ != nullptr; }

    // Everything posted since the last call.
    std::vector<Posted> take();

private:
    void deliver();
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HWND window_ = nullptr;
    std::vector<Posted> posted_;
};

}  // namespace virelo::test
