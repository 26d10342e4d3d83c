// quorvane-target, the simulated device's program, run as a child: serving on a new
// pseudo-terminal, and linked as a COMn name when asked.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child.h"

class TargetProgram {
  public:
    using Environment = std::vector<std::pair<std::string, std::string>>;

    TargetProgram() = default;
    TargetProgram(const TargetProgram&) = delete;
    TargetProgram& operator=(const TargetProgram&) = delete;
    // One still serving is told to stop, so that it removes its link as a person's Ctrl-C
    // would; one that does not stop is killed.
    ~TargetProgram();

    // Starts the program with `arguments`, its stdout on a pipe and its stderr on a pipe, or in
    // the file `stderrPath` when one is given.
    bool Spawn(const std::vector<std::string>& arguments, const Environment& environment = {},
               const std::string& stderrPath = "");
    // Spawns and reads the "serving on" line: the port's path, or "" when it did not come.
    std::string Serve(const std::vector<std::string>& arguments,
                      const Environment& environment = {});
    // Starts the device with `knobs`, linked as `port` under `configHome`, writing what it
    // receives to `received` and its log to `logPath`; waits until it serves. Unthrottled unless
    // `knobs` set a rate.
    bool Link(const std::string& configHome, const std::string& port, const std::string& received,
              std::vector<std::string> knobs, const std::string& logPath);

    // The next line of stdout without its line end; empty on timeout or end of file.
    std::string ReadLine(uint32_t timeoutMs = 3000);
    // Its exit code, or -1 when it is still running after `timeoutMs`.
    int Wait(uint32_t timeoutMs = 8000) { return child_.Wait(timeoutMs); }
    bool Signal(int signal) const { return child_.Signal(signal); }
    std::string Stdout() const { return std::string(child_.Out().Unread()); }
    std::string Stderr() const { return std::string(child_.Err().Unread()); }

    // Whether this build of the program takes `flag` (its --help names it).
    static bool Takes(const std::string& flag);

  private:
    Child child_;
    size_t lineStart_ = 0;
};

extern const std::string kServing;  // "quorvane-target: serving on "
