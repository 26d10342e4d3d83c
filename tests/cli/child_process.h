// Runs a built program as a child process, the way a person would from a shell: its own
// environment and working directory, its output in files or a pipe, and a bounded wait.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ChildSpec {
    std::vector<std::string> argv;                         // argv[0] is the program's path
    std::vector<std::pair<std::string, std::string>> env;  // set on top of this environment
    std::string cwd;                                       // empty: the test's own
    std::string stdoutPath;                                // empty: /dev/null (or the pipe)
    std::string stderrPath;                                // empty: /dev/null
    bool stdoutPipe = false;                               // read it with ReadStdoutUntil
    std::vector<int> ignoredSignals;  // left ignored for the child, as nohup or `cmd &` do
};

class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A child still running is killed and reaped: a failed test leaves no process behind.
    ~Child();

    bool Start(const ChildSpec& launch);
    // The exit code, 128 + signal number for a child killed by a signal, or -1 when it has not
    // ended within the timeout (it then keeps running).
    int Wait(uint32_t timeoutMs);
    bool Signal(int signal) const;
    pid_t Pid() const { return pid_; }

    // Reads the child's stdout pipe until `needle` has arrived, the pipe closes or the timeout
    // passes; returns everything read so far.
    std::string ReadStdoutUntil(const std::string& needle, uint32_t timeoutMs);

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdoutRead_ = -1;
    std::string stdoutSoFar_;
};

// The whole content of a file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
