#include "tests/support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

// The descriptors of one standard stream: the child's end, and the parent's end of a pipe.
struct Ends {
    int child = -1;
    int parent = -1;
    bool ownChild = true;  // false for a descriptor the caller gave and keeps
};

bool Prepare(const Stdio& stdio, bool input, Ends* ends) {
    switch (stdio.to) {
        case Stdio::To::Null:
            ends->child = open("/dev/null", O_RDWR | O_CLOEXEC);
            break;
        case Stdio::To::File:
            ends->child = input ? open(stdio.path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)
                                : open(stdio.path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0644);
            break;
        case Stdio::To::Fd:
            ends->child = stdio.fd;
            ends->ownChild = false;
            break;
        case Stdio::To::Pipe: {
            int pair[2];
            if (pipe2(pair, O_CLOEXEC) != 0) return false;
            ends->child = input ? pair[0] : pair[1];
            ends->parent = input ? pair[1] : pair[0];
            break;
        }
    }
    return ends->child >= 0;
}

void CloseChildEnd(Ends& ends) {
    if (ends.ownChild && ends.child >= 0) close(ends.child);
    ends.child = -1;
}

int ExitCode(int status) {
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pidfd_ >= 0) close(pidfd_);
}

bool Child::Start(const Launch& launch) {
    if (pid_ > 0 || launch.argv.empty()) return false;
    // Everything exec needs is made before the fork: between fork and exec only calls that are
    // safe in a copy of a threaded process.
    std::vector<std::string> args = launch.argv;
    if (args[0].find('/') == std::string::npos) args[0] = FindProgram(args[0]);
    if (args[0].empty()) return false;
    std::vector<std::string> env = MergedEnvironment(launch.env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    Ends ends[3];
    std::string slavePath;
    int master = -1;
    bool ready = true;
    if (launch.terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const char* name = nullptr;
        ready = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                (name = ptsname(master)) != nullptr;
        if (ready) {
            slavePath = name;
            winsize size{};
            size.ws_col = static_cast<unsigned short>(launch.columns);
            size.ws_row = static_cast<unsigned short>(launch.rows);
            ioctl(master, TIOCSWINSZ, &size);
        }
    } else {
        const Stdio* streams[3] = {&launch.in, &launch.out, &launch.err};
        for (int i = 0; i < 3 && ready; ++i)
            ready = Prepare(*streams[i], i == 0, &ends[i]);
    }
    const auto closeAll = [&] {
        for (Ends& e : ends) {
            CloseChildEnd(e);
            if (e.parent >= 0) close(e.parent);
        }
        if (master >= 0) close(master);
    };
    if (!ready) {
        closeAll();
        return false;
    }

    const pid_t pid = fork();
    if (pid == 0) {
        if (launch.terminal) {
            // A session of its own, with the terminal as its controlling terminal.
            if (setsid() < 0) _exit(126);
            const int slave = open(slavePath.c_str(), O_RDWR);
            if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
            for (int fd = 0; fd < 3; ++fd) {
                if (dup2(slave, fd) < 0) _exit(126);
            }
            if (slave > 2) close(slave);
        } else {
            for (int fd = 0; fd < 3; ++fd) {
                if (dup2(ends[fd].child, fd) < 0) _exit(126);
            }
        }
        if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) _exit(126);
        for (const int signal : launch.ignoredSignals) {
            if (::signal(signal, SIG_IGN) == SIG_ERR) _exit(126);
        }
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    for (Ends& e : ends)
        CloseChildEnd(e);
    if (pid < 0) {
        closeAll();
        return false;
    }
    pid_ = pid;
    exitCode_ = -1;
    terminal_ = launch.terminal;
    if (terminal_) {
        out_.Adopt(master);
    } else {
        in_.Adopt(ends[0].parent);
        out_.Adopt(ends[1].parent);
        err_.Adopt(ends[2].parent);
    }
    pidfd_ = int(syscall(SYS_pidfd_open, pid, 0));
    return pidfd_ >= 0;
}

int Child::Wait(uint32_t timeoutMs, rusage* usage) {
    if (pid_ <= 0) return exitCode_;
    FdStream* outputs[2] = {&out_, &err_};
    const int outputCount = terminal_ ? 1 : 2;
    const Deadline deadline = Deadline::After(timeoutMs);
    for (bool ended = false; !ended;) {
        pollfd fds[3] = {{pidfd_, POLLIN, 0}};
        FdStream* polled[3] = {nullptr};
        nfds_t count = 1;
        for (int i = 0; i < outputCount; ++i) {
            if (!outputs[i]->IsOpen() || outputs[i]->Ended()) continue;
            fds[count] = {outputs[i]->Fd(), POLLIN, 0};
            polled[count++] = outputs[i];
        }
        const int ready = poll(fds, count, int(deadline.RemainingMs()));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready == 0) return -1;
        for (nfds_t i = 1; i < count; ++i) {
            if (fds[i].revents != 0) polled[i]->Fill(0);
        }
        ended = (fds[0].revents & POLLIN) != 0;
    }
    int status = 0;
    rusage ignored{};
    if (wait4(pid_, &status, 0, usage != nullptr ? usage : &ignored) != pid_) return -1;
    pid_ = -1;
    close(pidfd_);
    pidfd_ = -1;
    // What it wrote just before it ended.
    for (int i = 0; i < outputCount; ++i)
        outputs[i]->Fill(0);
    exitCode_ = ExitCode(status);
    return exitCode_;
}

bool Child::Signal(int signal) const {
    return pid_ > 0 && kill(pid_, signal) == 0;
}

int RelayUntilExit(FdStream& line, Child& child,
                   const std::function<void(std::string_view)>& fromLine) {
    FdStream& toChild = child.In();
    FdStream& fromChild = child.Out();
    for (;;) {
        if (line.Unread().empty()) {
            pollfd fds[2] = {{line.Fd(), POLLIN, 0}, {fromChild.Fd(), POLLIN, 0}};
            if (poll(fds, 2, 10000) <= 0) break;  // ten seconds of silence: a peer is stuck
            if (fds[1].revents != 0) {
                const std::string chunk = fromChild.ReadFor(0);
                if (fromChild.Ended() && chunk.empty()) break;
                if (!line.Write(chunk)) break;
            }
            if (fds[0].revents == 0) continue;
        }
        const std::string chunk = line.ReadFor(0);
        if (fromLine) fromLine(chunk);
        if (!toChild.Write(chunk)) break;
    }
    child.CloseIn();
    return child.Wait(10000);
}

std::string FindProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
