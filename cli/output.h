// Where the front end's text goes: the console for the real program, a string for tests. Each
// Write is one piece of text that should reach its reader whole (a redrawn frame, a line).
#pragma once

#include <string>
#include <string_view>

#include "platform/console.h"

class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void Write(std::string_view text) = 0;
};

// Standard output or error. A reader that has gone away (a closed pipe, a hung-up terminal) only
// loses the text: the update goes on regardless.
class ConsoleOutput final : public TextOutput {
  public:
    explicit ConsoleOutput(ConsoleStream stream) : stream_(stream) {}
    void Write(std::string_view text) override { ConsoleWrite(stream_, text.data(), text.size()); }

  private:
    ConsoleStream stream_;
};

class StringOutput final : public TextOutput {
  public:
    void Write(std::string_view text) override { text_.append(text); }
    const std::string& Text() const { return text_; }
    void Clear() { text_.clear(); }

  private:
    std::string text_;
};
