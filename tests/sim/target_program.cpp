#include "tests/sim/target_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace simtest {

const std::string kServing = "quorvane-target: serving on ";

TargetProgram::~TargetProgram() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

bool TargetProgram::Spawn(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment) {
    int out[2];
    int err[2];
    if (pipe(out) != 0) return false;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    for (const int fd : {out[0], out[1], err[0], err[1]})
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> args{QUORVANE_TARGET_PROGRAM};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.emplace_back(*entry);
    std::vector<char*> envp;  // the first entry of a name wins
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) pid_ = -1;
    return spawned == 0;
}

std::string TargetProgram::Serve(const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& environment) {
    if (!Spawn(arguments, environment)) return {};
    const std::string line = ReadLine();
    return line.starts_with(kServing) ? line.substr(kServing.size()) : std::string();
}

std::string TargetProgram::ReadLine(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = stdout_.find('\n', lineStart_);
        if (end != std::string::npos) {
            std::string line = stdout_.substr(lineStart_, end - lineStart_);
            lineStart_ = end + 1;
            return line;
        }
        if (!Pump(deadline, false)) return {};
    }
}

int TargetProgram::Wait(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_ >= 0 || err_ >= 0) {
        if (!Pump(deadline, true)) break;
    }
    if (out_ >= 0 || err_ >= 0) return -1;  // still running; the destructor kills it
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TargetProgram::Signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

bool TargetProgram::Pump(Clock::time_point deadline, bool both) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, int(left)) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        int& fd = i == 0 ? out_ : err_;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? stdout_ : stderr_).append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
            if (i == 0 && !both) return false;
        }
    }
    return true;
}

}  // namespace simtest
