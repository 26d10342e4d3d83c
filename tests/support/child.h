// A program run as a child process, the way a person or a script runs it: its own arguments,
// environment and working directory, its standard streams on pipes, files, /dev/null or a new
// terminal of its own, a bounded wait, and nothing left running when a test fails.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/fd_stream.h"

// Where one of the child's standard streams goes.
struct Stdio {
    enum class To { Null, Pipe, File, Fd };
    To to = To::Null;
    std::string path;  // File: read for stdin; created or truncated for stdout and stderr
    int fd = -1;       // Fd: given to the child as it is, and left open here

    static Stdio Pipe() { return {To::Pipe, "", -1}; }
    static Stdio File(std::string path) { return {To::File, std::move(path), -1}; }
    static Stdio Fd(int fd) { return {To::Fd, "", fd}; }
};

struct Launch {
    std::vector<std::string> argv;  // argv[0]: a path, or a name looked up on PATH
    std::vector<std::pair<std::string, std::string>> env;  // set on top of this environment
    std::string cwd;                                       // empty: this process's
    Stdio in, out, err;                                    // each /dev/null unless set
    // A new pseudo-terminal as the child's controlling terminal and all three of its streams
    // (in, out and err are then not used): isatty() holds, and "\x03" typed into it is SIGINT.
    bool terminal = false;
    unsigned columns = 100;
    unsigned rows = 30;
    std::vector<int> ignoredSignals;  // left ignored for the child, as nohup or `cmd &` do
};

class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A child still running is killed and reaped: a failed test leaves no process behind.
    ~Child();

    bool Start(const Launch& launch);
    pid_t Pid() const { return pid_; }
    bool Running() const { return pid_ > 0; }

    // The exit code, 128 + the signal's number for a child a signal ended, or -1 when it has not
    // ended within the timeout (it keeps running). Meanwhile whatever it writes to a pipe or its
    // terminal is read into Out() and Err(), so a full pipe never holds it up. Once it has
    // ended, every later call gives the same code at once; `usage` gets its resource use.
    int Wait(uint32_t timeoutMs, rusage* usage = nullptr);
    bool Signal(int signal) const;

    // The parent's ends of the pipes (or, for a terminal, all three are its master end).
    FdStream& In() { return terminal_ ? out_ : in_; }
    FdStream& Out() { return out_; }
    FdStream& Err() { return terminal_ ? out_ : err_; }
    const FdStream& Out() const { return out_; }
    const FdStream& Err() const { return terminal_ ? out_ : err_; }
    void CloseIn() { in_.Close(); }

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int exitCode_ = -1;
    bool terminal_ = false;
    FdStream in_, out_, err_;
};

// Copies bytes both ways between `line` (a pseudo-terminal's master end) and a child's stdin and
// stdout pipes until the child closes its stdout or ten seconds pass without a byte either way;
// `fromLine` sees every chunk that goes to the child. Returns the child's exit code, as Wait.
int RelayUntilExit(FdStream& line, Child& child,
                   const std::function<void(std::string_view)>& fromLine = nullptr);

// Where a program lives on PATH, or "" when it is not installed.
std::string FindProgram(const std::string& name);

// The whole content of a file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
