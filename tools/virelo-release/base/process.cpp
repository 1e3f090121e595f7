#include "base/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/file_io.h"

extern char** environ;

namespace virelo::tool {
namespace {

constexpr std::size_t output_limit = 1 << 20;

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Owns a posix_spawn_file_actions_t.
class SpawnActions {
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

}  // namespace

std::optional<std::string> find_program(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    std::string_view folders{path};
    while (true) {
        const auto colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        if (!folder.empty()) {
            const std::string candidate = join_path(folder, name);
            if (is_executable_file(candidate)) return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        folders.remove_prefix(colon + 1);
    }
}

Expected<ProgramRun> run_program(const std::string& program, const std::vector<std::string>& args) {
    using Out = Expected<ProgramRun>;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return Out::failure("cannot start " + errno_text(program));
    unique_fd read_end{pipe_fds[0]};
    unique_fd write_end{pipe_fds[1]};

    SpawnActions actions;
    ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDERR_FILENO);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    write_end.reset();  // the child holds the only write end now
    if (spawned != 0) return Out::failure("cannot start " + program + ": " + std::strerror(spawned));

    ProgramRun run;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (run.output.size() < output_limit) run.output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return Out::failure("cannot wait for " + errno_text(program));
    }
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace virelo::tool
