#pragma once
// The stand-in application (tools/standin) as tests use it: copies of the
// built executables placed where a test needs them, running copies that are
// ended when the test lets go of them, and the start records they write.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/process.h"

namespace virelo::test {

// The built stand-ins: Virelo 1.0.0, Virelo 1.1.0 and the predecessor Dockling.
inline std::string standin_exe() { return build_file("Virelo.exe"); }
inline std::string standin_next_exe() { return build_file("standin/Virelo-1.1.0.exe"); }
inline std::string dockling_exe() { return build_file("standin/Dockling.exe"); }

// Copies a file, creating the destination's folder chain first.
bool copy_file_to(const std::string& from, const std::string& to);

// A running stand-in; a copy still running when the object goes is ended.
class RunningStandIn {
public:
    explicit RunningStandIn(Child child) : child_{std::move(child)} {}
    RunningStandIn(RunningStandIn&&) = default;
    RunningStandIn& operator=(RunningStandIn&&) = delete;
    ~RunningStandIn();

    DWORD id() const { return child_.id; }
    bool running() const;
    // The exit code once the process has ended within the timeout.
    std::optional<DWORD> wait_for_exit(DWORD timeout_ms) const;
    // A top-level window of `class_name` owned by this process.
    HWND wait_for_window(const wchar_t* class_name, DWORD timeout_ms) const;

private:
    Child child_;
};

using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;
RunOptions standin_options(std::vector<std::string> args, EnvChanges env = {});

// Starts `exe` and, when `window_class` is given, waits until its window is up.
std::optional<RunningStandIn> start_standin(const std::string& exe, const RunOptions& options,
                                            const wchar_t* window_class);

// One line of VIRELO_STANDIN_RECORD.
struct StartRecord {
    std::string command_line;
    std::string working_folder;
};
std::vector<StartRecord> read_start_records(const std::string& file);

// Waits until the record file holds at least `count` lines.
std::vector<StartRecord> wait_for_start_records(const std::string& file, std::size_t count, DWORD timeout_ms);

}  // namespace virelo::test
