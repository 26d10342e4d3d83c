// quorvane-target as a child: the simulated device on a pseudo-terminal, reached through the
// COMn alias it makes in a private config folder.
#pragma once

#include <string>
#include <vector>

#include "tests/cli/child_process.h"

class DeviceProgram {
  public:
    DeviceProgram() = default;
    DeviceProgram(const DeviceProgram&) = delete;
    DeviceProgram& operator=(const DeviceProgram&) = delete;
    // A device still serving is told to stop, so that it removes its link as a person's Ctrl-C
    // would; one that does not is killed.
    ~DeviceProgram();

    // Starts the device with `knobs`, linked as `port` under `configHome`, writing what it
    // receives to `received`; waits until it serves. Unthrottled unless `knobs` set a rate.
    bool Start(const std::string& configHome, const std::string& port, const std::string& received,
               std::vector<std::string> knobs, const std::string& logPath);
    // Its exit code, or -1 when it is still running after `timeoutMs`.
    int Wait(uint32_t timeoutMs) { return child_.Wait(timeoutMs); }
    bool Signal(int signal) const { return child_.Signal(signal); }

    // Whether this build of the device takes `flag` (its --help names it).
    static bool Takes(const std::string& flag);

  private:
    Child child_;
};
