#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/interrupts.h"
#include "platform/process.h"
#include "platform/serial_devices.h"

namespace {

bool WriteAll(int fd, const char* text, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n > 0) {
            text += n;
            size -= size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

void CloseEnd(intptr_t* fd) {
    if (*fd >= 0) close(int(*fd));
    *fd = -1;
}

}  // namespace

std::string OwnExecutablePath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    return std::string(path, size_t(n));
}

bool StartChildProcess(const std::vector<std::string>& argv, ChildProcess* child, int* error) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        *error = errno;
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = errno;
        close(in[0]);
        close(in[1]);
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        setpgid(0, 0);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        // The parent may catch or block signals; the child starts from the defaults.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    const int saved = errno;
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        *error = saved;
        return false;
    }
    // Also here, so that no Ctrl-C can reach it between fork and its own setpgid.
    setpgid(pid, pid);
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    child->process = pid;
    child->input = in[1];
    child->output = out[0];
    child->ended = false;
    child->exitCode = -1;
    return true;
}

int ReadChildOutput(ChildProcess* child, char* buffer, size_t size) {
    if (child->output < 0) return -1;
    for (;;) {
        const ssize_t n = read(int(child->output), buffer, size);
        if (n > 0) return int(n);
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -1;
    }
}

bool WriteChildInput(ChildProcess* child, const char* text, size_t size) {
    if (child->input < 0) return false;
    // SIGPIPE is ignored by the front end (see WatchInterrupts): a child gone gives EPIPE.
    return WriteAll(int(child->input), text, size);
}

void WaitForChildren(ChildProcess* const* children, size_t count, uint32_t ms) {
    std::vector<pollfd> fds;
    for (size_t i = 0; i < count; ++i) {
        if (children[i]->output >= 0) fds.push_back({int(children[i]->output), POLLIN, 0});
    }
    // A signal cuts the wait short (EINTR), as SleepUnlessInterrupted's does.
    (void)poll(fds.data(), fds.size(), int(ms));
}

bool ReapChildProcess(ChildProcess* child, uint32_t waitMs) {
    if (child->ended) return true;
    if (child->process <= 0) return false;
    for (uint32_t waited = 0;; waited += 10) {
        int status = 0;
        const pid_t got = waitpid(pid_t(child->process), &status, WNOHANG);
        if (got == pid_t(child->process)) {
            child->ended = true;
            child->exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                              : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                    : -1;
            return true;
        }
        if (got < 0 && errno != EINTR) return false;
        if (waited >= waitMs) return false;
        usleep(10000);
    }
}

void KillChildProcess(ChildProcess* child) {
    if (child->process > 0 && !child->ended) kill(pid_t(child->process), SIGKILL);
}

void CloseChildProcess(ChildProcess* child) {
    CloseEnd(&child->input);
    CloseEnd(&child->output);
    ReapChildProcess(child, 0);
}

namespace {

void* ReadInputLines(void*) {
    char buffer[256];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            RaiseInterrupt();
            return nullptr;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') RaiseInterrupt();
        }
    }
}

}  // namespace

bool CountInputLinesAsInterrupts(int* error) {
    // The reader never takes a signal: every one lands on the main loop.
    pthread_t thread;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const int failed = pthread_create(&thread, nullptr, ReadInputLines, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != 0) {
        *error = failed;
        return false;
    }
    pthread_detach(thread);
    return true;
}

std::vector<std::string> MatchDeviceNames(const char* pattern) {
    std::vector<std::string> names;
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            names.emplace_back(found.gl_pathv[i]);
    }
    globfree(&found);
    std::sort(names.begin(), names.end());
    return names;
}

std::string DeviceKey(const char* device) {
    struct stat info {};
    if (stat(device, &info) != 0) return "";
    // A character device is one whatever names it; a file stands for itself.
    if (S_ISCHR(info.st_mode)) return "c" + std::to_string(info.st_rdev);
    return "f" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string StableDeviceName(const char* device) {
    const std::string key = DeviceKey(device);
    if (key.empty()) return "";
    const std::string folder = SerialDeviceFolder() + "/serial/by-id";
    for (const std::string& name : MatchDeviceNames((folder + "/*").c_str())) {
        if (name != device && DeviceKey(name.c_str()) == key) return name;
    }
    return "";
}

bool AppendDurably(const char* path, const std::string& text, int* error) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    // One write: appends of records from other processes never interleave within one.
    bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    if (!ok) *error = errno;
    if (close(fd) != 0 && ok) {
        *error = errno;
        ok = false;
    }
    return ok;
}

bool ReplaceFileAtomically(const char* path, const std::string& text, int* error) {
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *error = errno;
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    if (!ok) *error = errno;
    if (close(fd) != 0 && ok) {
        *error = errno;
        ok = false;
    }
    if (ok && rename(temporary.c_str(), path) != 0) {
        *error = errno;
        ok = false;
    }
    if (!ok) unlink(temporary.c_str());
    return ok;
}

bool ReadWholeFileInto(const char* path, std::string* bytes, int* error) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    bytes->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes->append(buffer, size_t(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            *error = errno;
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

bool IsFolder(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
