#include "tests/cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : overrides) {
            replaced = replaced || (text.size() > name.size() && text.starts_with(name) &&
                                    text[name.size()] == '=');
        }
        if (!replaced) merged.emplace_back(text);
    }
    for (const auto& [name, value] : overrides)
        merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int OpenOutput(const std::string& path) {
    return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                0644);
}

}  // namespace

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pidfd_ >= 0) close(pidfd_);
    if (stdoutRead_ >= 0) close(stdoutRead_);
}

bool Child::Start(const ChildSpec& launch) {
    if (pid_ > 0 || launch.argv.empty()) return false;
    std::vector<std::string> args = launch.argv;
    std::vector<std::string> env = MergedEnvironment(launch.env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = OpenOutput(launch.stderrPath);
    int out = -1;
    int pipeEnds[2] = {-1, -1};
    if (launch.stdoutPipe) {
        if (pipe2(pipeEnds, O_CLOEXEC) == 0) out = pipeEnds[1];
    } else {
        out = OpenOutput(launch.stdoutPath);
    }
    const auto closeAll = [&] {
        for (int fd : {in, out, err, pipeEnds[0]}) {
            if (fd >= 0) close(fd);
        }
    };
    if (in < 0 || out < 0 || err < 0) {
        closeAll();
        return false;
    }

    // Between fork and exec only async-signal-safe calls: everything above was prepared first.
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) _exit(126);
        for (const int signal : launch.ignoredSignals) {
            if (::signal(signal, SIG_IGN) == SIG_ERR) _exit(126);
        }
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    for (int fd : {in, out, err})
        close(fd);
    if (pid < 0) {
        if (pipeEnds[0] >= 0) close(pipeEnds[0]);
        return false;
    }
    pid_ = pid;
    stdoutRead_ = pipeEnds[0];
    pidfd_ = int(syscall(SYS_pidfd_open, pid, 0));
    return pidfd_ >= 0;
}

int Child::Wait(uint32_t timeoutMs) {
    if (pid_ <= 0) return -1;
    pollfd ended{pidfd_, POLLIN, 0};
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
        const int ready = poll(&ended, 1, int(deadline.RemainingMs()));
        if (ready > 0) break;
        if (ready == 0 || errno != EINTR) return -1;
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

bool Child::Signal(int signal) const {
    return pid_ > 0 && kill(pid_, signal) == 0;
}

std::string Child::ReadStdoutUntil(const std::string& needle, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    while (stdoutRead_ >= 0 && stdoutSoFar_.find(needle) == std::string::npos &&
           !deadline.Expired()) {
        pollfd wait{stdoutRead_, POLLIN, 0};
        if (poll(&wait, 1, int(deadline.RemainingMs())) <= 0) continue;
        char chunk[1024];
        const ssize_t n = read(stdoutRead_, chunk, sizeof chunk);
        if (n > 0) {
            stdoutSoFar_.append(chunk, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;  // the child closed its end
        }
    }
    return stdoutSoFar_;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
