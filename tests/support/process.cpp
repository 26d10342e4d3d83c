#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

PipedChild::PipedChild(const std::vector<std::string>& argv, const std::string& workDir) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) return;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        // The peers chat on stderr ("ready to receive"); a test's output stays readable without it.
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, 2);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (pid_ < 0) {
        CloseIn();
        close(out_);
        out_ = -1;
    }
}

PipedChild::~PipedChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait();
    }
    CloseIn();
    if (out_ >= 0) close(out_);
}

void PipedChild::CloseIn() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int PipedChild::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
    }
    pid_ = -1;
    return status;
}

int RelayUntilExit(int ptyMaster, PipedChild& child) {
    char chunk[4096];
    for (;;) {
        pollfd fds[2] = {{ptyMaster, POLLIN, 0}, {child.Out(), POLLIN, 0}};
        if (poll(fds, 2, 10000) <= 0) break;  // ten seconds of silence: the peer is stuck
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(ptyMaster, chunk, sizeof chunk);
            if (n > 0 && write(child.In(), chunk, size_t(n)) != n) break;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = read(child.Out(), chunk, sizeof chunk);
            if (n <= 0) break;
            if (write(ptyMaster, chunk, size_t(n)) != n) break;
        }
    }
    child.CloseIn();
    return child.Wait();
}

std::string FindProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}
