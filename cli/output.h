// Where the front end's text goes: a file descriptor for the real program, a string for tests.
// Each Write is one piece of text that should reach its reader whole (a redrawn frame, a line).
#pragma once

#include <string>
#include <string_view>

class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void Write(std::string_view text) = 0;
};

// Writes to a descriptor, retrying interrupted and partial writes. A reader that has gone away
// (a closed pipe, a hung-up terminal) only loses the text: the update goes on regardless.
class FdOutput final : public TextOutput {
  public:
    explicit FdOutput(int fd) : fd_(fd) {}
    void Write(std::string_view text) override;

  private:
    int fd_;
};

class StringOutput final : public TextOutput {
  public:
    void Write(std::string_view text) override { text_.append(text); }
    const std::string& Text() const { return text_; }
    void Clear() { text_.clear(); }

  private:
    std::string text_;
};
