#pragma once
// Running another program (osslsigncode) without a shell: an argument
// vector, its output collected, its exit status returned.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace virelo::tool {

// The executable `name` found along PATH, or nothing.
std::optional<std::string> find_program(std::string_view name);

struct ProgramRun {
    int exit_code = -1;  // -1 when it ended by a signal
    std::string output;  // standard output and error together, at most 1 MiB
};

// Runs `program` with `args` (argv[1] onwards), standard input from /dev/null.
Expected<ProgramRun> run_program(const std::string& program, const std::vector<std::string>& args);

}  // namespace virelo::tool
