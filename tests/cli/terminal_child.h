// Runs a program with a new pseudo-terminal as its controlling terminal and its stdin, stdout and
// stderr, the way a person runs it in a terminal window: it sees isatty(), Ctrl-C typed into the
// terminal becomes SIGINT, and everything it writes is kept as it came and as a screen.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/cli/screen.h"

class TerminalChild {
  public:
    TerminalChild() = default;
    TerminalChild(const TerminalChild&) = delete;
    TerminalChild& operator=(const TerminalChild&) = delete;
    ~TerminalChild();  // a child still running is killed and reaped

    bool Start(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd,
               unsigned columns = 100, unsigned rows = 30);

    // Reads what the program writes until `done` holds for the screen, the program has closed
    // the terminal, or the timeout passes. Returns whether `done` held.
    bool ReadUntil(const std::function<bool(const Screen&)>& done, uint32_t timeoutMs);
    // Types into the terminal ("\x03" is Ctrl-C).
    bool Type(const std::string& keys);
    // The exit code (128 + signal for a signal), or -1 when it has not ended in time. Reads the
    // rest of its output first.
    int Wait(uint32_t timeoutMs);

    const std::string& Transcript() const { return transcript_; }
    const Screen& GetScreen() const { return screen_; }

  private:
    bool ReadSome(int timeoutMs);

    pid_t pid_ = -1;
    int master_ = -1;
    std::string transcript_;
    Screen screen_;
};
