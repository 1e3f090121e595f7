#pragma once
// Named points at which a test build ends the process at once, as a power cut
// or a task manager would, so that the crash-consistency tests can show that
// the next run repairs every state a crash can leave.
//
// Only a build with VIRELO_FAILPOINTS defined (the virelo_setup_failpoints
// library) has them. Elsewhere both macros expand to nothing, so the shipped
// program carries neither a point's name nor the code that reads the
// environment. In a failpoint build:
//
//   VIRELO_FAILPOINT=name         the point at which the process ends itself
//   VIRELO_FAILPOINT_PAUSE_MS=n   a pause at every point: a slowed run that a
//                                 test can kill from outside at random moments
//   VIRELO_FAILPOINT_TRACE=file   one line per point reached, for the tests

namespace virelo::failpoints {
// The exit code of a process that ended at its failpoint.
inline constexpr unsigned exit_code = 0xFA11;
}  // namespace virelo::failpoints

#ifdef VIRELO_FAILPOINTS

#include <functional>
#include <stop_token>
#include <string_view>
#include <thread>

namespace virelo::failpoints {

// Records the point, pauses if asked, and ends the process when it is the
// chosen one.
void reach(std::string_view name);

// For a point inside one long system call (a registry tree copy): while the
// object lives, a watcher thread ends the process as soon as `reached` holds.
class Watch {
public:
    Watch(std::string_view name, std::function<bool()> reached);
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    std::jthread watcher_;
};

}  // namespace virelo::failpoints

#define VIRELO_FAILPOINT(name) ::virelo::failpoints::reach(name)
#define VIRELO_FAILPOINT_WATCH(name, ...) const ::virelo::failpoints::Watch failpoint_watch_{name, __VA_ARGS__}

#else

#define VIRELO_FAILPOINT(name) static_cast<void>(0)
#define VIRELO_FAILPOINT_WATCH(name, ...) static_cast<void>(0)

#endif
