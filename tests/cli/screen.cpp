#include "tests/cli/screen.h"

#include <cctype>
#include <cstdlib>

void Screen::Feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (!pending_.empty()) {
            pending_.push_back(c);
            // ESC [ parameters... final byte in @..~
            if (pending_.size() == 2 && c != '[') {
                unknown_.push_back(pending_);
                pending_.clear();
            } else if (pending_.size() > 2 && c >= '@' && c <= '~') {
                Apply(pending_);
                pending_.clear();
            }
            continue;
        }
        switch (c) {
            case '\033':
                pending_.push_back(c);
                break;
            case '\r':
                column_ = 0;
                break;
            case '\n':
                ++row_;
                if (row_ >= rows_.size()) rows_.resize(row_ + 1);
                break;
            case '\b':
                if (column_ > 0) --column_;
                break;
            default:
                Put(c);
                break;
        }
    }
}

void Screen::Put(char c) {
    std::string& line = rows_[row_];
    if (line.size() <= column_) line.resize(column_ + 1, ' ');
    line[column_++] = c;
}

void Screen::Apply(std::string_view sequence) {
    const std::string_view body = sequence.substr(2, sequence.size() - 3);
    const char final = sequence.back();
    if (body == "?25" && (final == 'l' || final == 'h')) {
        cursorVisible_ = final == 'h';
        return;
    }
    const bool numeric = body.find_first_not_of("0123456789") == std::string_view::npos;
    const int n = body.empty() || !numeric ? 0 : std::atoi(std::string(body).c_str());
    if (numeric && final == 'A') {
        const size_t up = size_t(n == 0 ? 1 : n);
        row_ = up > row_ ? 0 : row_ - up;
        return;
    }
    if (final == 'K' && (body.empty() || body == "0")) {
        if (rows_[row_].size() > column_) rows_[row_].resize(column_);
        return;
    }
    if (final == 'K' && body == "2") {
        rows_[row_].clear();
        return;
    }
    if (final == 'J' && (body.empty() || body == "0")) {
        if (rows_[row_].size() > column_) rows_[row_].resize(column_);
        rows_.resize(row_ + 1);
        return;
    }
    unknown_.emplace_back(sequence);
}

std::vector<std::string> Screen::Lines() const {
    std::vector<std::string> lines;
    for (std::string line : rows_) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::string Screen::Text() const {
    std::string text;
    for (const std::string& line : Lines())
        text += line + "\n";
    return text;
}
