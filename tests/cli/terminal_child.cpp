#include "tests/cli/terminal_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/platform.h"

extern char** environ;

TerminalChild::~TerminalChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
}

bool TerminalChild::Start(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          const std::string& cwd, unsigned columns, unsigned rows) {
    if (pid_ > 0 || argv.empty()) return false;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const char* name = ptsname(master_);
    if (name == nullptr) return false;
    const std::string slavePath = name;
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ioctl(master_, TIOCSWINSZ, &size);

    // Everything exec needs is built before the fork.
    std::vector<std::string> args = argv;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        bool replaced = false;
        for (const auto& [key, value] : env) {
            replaced = replaced || (text.starts_with(key) && text.size() > key.size() &&
                                    text[key.size()] == '=');
        }
        if (!replaced) environment.emplace_back(text);
    }
    for (const auto& [key, value] : env)
        environment.push_back(key + "=" + value);
    std::vector<char*> argp;
    for (std::string& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, with the terminal as its controlling terminal.
        if (setsid() < 0) _exit(126);
        const int slave = open(slavePath.c_str(), O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
        if (dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) _exit(126);
        if (slave > 2) close(slave);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) return false;
    pid_ = pid;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool TerminalChild::ReadSome(int timeoutMs) {
    pollfd wait{master_, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) <= 0) return true;
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n > 0) {
        transcript_.append(chunk, size_t(n));
        screen_.Feed(std::string_view(chunk, size_t(n)));
        return true;
    }
    // EIO: every descriptor of the terminal's program side is closed.
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

bool TerminalChild::ReadUntil(const std::function<bool(const Screen&)>& done, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    while (!done(screen_)) {
        if (deadline.Expired() || !ReadSome(int(deadline.RemainingMs()))) return done(screen_);
    }
    return true;
}

bool TerminalChild::Type(const std::string& keys) {
    return write(master_, keys.data(), keys.size()) == ssize_t(keys.size());
}

int TerminalChild::Wait(uint32_t timeoutMs) {
    if (pid_ <= 0) return -1;
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            while (ReadSome(0)) {
                pollfd more{master_, POLLIN, 0};
                if (poll(&more, 1, 0) <= 0) break;
            }
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if (deadline.Expired()) return -1;
        // Reading also keeps the program from blocking on a full terminal.
        ReadSome(int(std::min<uint32_t>(deadline.RemainingMs(), 20)));
    }
}
