// One run of quorvane-target with its stdout and stderr on pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace simtest {

class TargetProgram {
  public:
    TargetProgram() = default;
    ~TargetProgram();  // kills a program that still runs
    TargetProgram(const TargetProgram&) = delete;
    TargetProgram& operator=(const TargetProgram&) = delete;

    // Starts the program with `arguments`; `environment` entries win over the inherited ones.
    bool Spawn(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = {});

    // Spawns and reads the "serving on" line: the port's path, or "" when it did not come.
    std::string Serve(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment = {});

    // The next line of stdout without its line end; empty on timeout or end of file.
    std::string ReadLine(int timeoutMs = 3000);

    // Waits for the program to end; its exit code, or -1 when it did not end in time.
    int Wait(int timeoutMs = 8000);

    void Signal(int number);
    const std::string& Stdout() const { return stdout_; }
    const std::string& Stderr() const { return stderr_; }

  private:
    using Clock = std::chrono::steady_clock;
    // Reads what either pipe has; false at the deadline or, unless `both`, at stdout's end.
    bool Pump(Clock::time_point deadline, bool both);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string stdout_;
    std::string stderr_;
    size_t lineStart_ = 0;
};

extern const std::string kServing;  // "quorvane-target: serving on "

}  // namespace simtest
