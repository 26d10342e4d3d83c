// A small terminal for tests: applies what a program wrote to a terminal (text, CR, LF, and the
// few escape sequences quorvane-cli uses) and shows the resulting screen as lines of text.
// Anything else that starts with ESC is an error, so a test notices a sequence it did not
// expect instead of reading it as text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class Screen {
  public:
    void Feed(std::string_view bytes);

    // The screen's lines without trailing blanks, and without blank lines at the end.
    std::vector<std::string> Lines() const;
    // Lines() joined with '\n'.
    std::string Text() const;
    bool CursorVisible() const { return cursorVisible_; }
    size_t CursorRow() const { return row_; }
    // Escape sequences it did not know, as they came.
    const std::vector<std::string>& Unknown() const { return unknown_; }

  private:
    void Put(char c);
    void Apply(std::string_view sequence);

    std::vector<std::string> rows_{1};
    size_t row_ = 0;
    size_t column_ = 0;
    bool cursorVisible_ = true;
    std::string pending_;  // an escape sequence cut short by the end of a Feed
    std::vector<std::string> unknown_;
};
