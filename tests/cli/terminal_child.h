// A program on a new pseudo-terminal of its own, as a person runs it in a terminal window: it
// sees isatty(), Ctrl-C typed into the terminal becomes SIGINT, and everything it writes is kept
// as it came and as a screen.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/cli/screen.h"
#include "tests/support/child.h"

class TerminalChild {
  public:
    bool Start(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd,
               unsigned columns = 100, unsigned rows = 30);

    // Reads what the program writes until `done` holds for the screen, the program has closed
    // the terminal, or the timeout passes. Returns whether `done` held.
    bool ReadUntil(const std::function<bool(const Screen&)>& done, uint32_t timeoutMs);
    // Types into the terminal ("\x03" is Ctrl-C).
    bool Type(const std::string& keys) { return child_.In().Write(keys); }
    // The exit code (128 + signal for a signal), or -1 when it has not ended in time. Reads the
    // rest of its output first.
    int Wait(uint32_t timeoutMs);

    // Everything the program wrote, as it came.
    std::string_view Transcript() const { return child_.Out().Unread(); }
    const Screen& GetScreen() const { return screen_; }

  private:
    // Shows the screen what has come since it last looked.
    void Catch();

    Child child_;
    size_t shown_ = 0;  // how much of the transcript the screen has been fed
    Screen screen_;
};
