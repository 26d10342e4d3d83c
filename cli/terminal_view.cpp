#include "cli/terminal_view.h"

#include "engine/update_job.h"
#include "res/strings.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr unsigned kBarWidth = 40;
constexpr unsigned kNarrowestBar = 10;
constexpr unsigned kBarDecoration = 8;  // "[", "] ", " 42%" and a column to spare

constexpr char kHideCursor[] = "\033[?25l";
constexpr char kShowCursor[] = "\033[?25h";
constexpr char kClearLine[] = "\033[2K";
constexpr char kClearBelow[] = "\033[J";

}  // namespace

TerminalView::TerminalView(TextOutput& out)
    : out_(out),
      stage_(kProgressViewInitial.stageLine),
      result_(kProgressViewInitial.resultLine),
      size_(kProgressViewInitial.sizeLine),
      time_(kProgressViewInitial.timeLine),
      caption_(kProgressViewInitial.buttonCaption),
      barMax_(kProgressViewInitial.barMax),
      barPosition_(kProgressViewInitial.barPosition) {}

std::string TerminalView::BarText(uint32_t position, uint32_t max, unsigned width) {
    const uint64_t shown = std::min<uint64_t>(position, max);
    const unsigned filled = max == 0 ? 0 : unsigned(shown * width / max);
    const unsigned percent = max == 0 ? 0 : unsigned(shown * 100 / max);
    std::string bar = "[";
    bar.append(filled, '#');
    bar.append(width - filled, '.');
    char figure[16];
    std::snprintf(figure, sizeof figure, "] %3u%%", percent);
    return bar + figure;
}

std::vector<std::string> TerminalView::FrameLines() const {
    unsigned width = kBarWidth;
    if (columns_ > 0) {
        width = columns_ > kBarDecoration ? columns_ - kBarDecoration : 0;
        width = std::clamp(width, kNarrowestBar, kBarWidth);
    }
    std::vector<std::string> lines = {stage_};
    if (!result_.empty()) lines.push_back(result_);
    lines.push_back(size_);
    lines.push_back(BarText(barPosition_, barMax_, width));
    lines.push_back(time_);
    if (showButton_) lines.push_back("[ " + caption_ + " ]  " + hint_);
    return lines;
}

void TerminalView::Draw() {
    if (!finished_) Render(FrameLines(), false);
}

void TerminalView::CancelPressed(int /*presses*/, std::string_view notice) {
    if (notice.empty()) return;
    hint_ = notice;
    Draw();
}

void TerminalView::Finish(uint32_t exitCode, std::string_view /*detail*/) {
    // The window says "done" by closing; a terminal keeps its last frame, which would still read
    // "Transferring Image File..." after the device has answered "Done".
    if (exitCode == ResultSuccess) stage_ = StageText(LastStage());
    Abandon();
    // Below the frame, which is not redrawn any more.
    if (const std::string device = DeviceLine(Facts()); !device.empty()) {
        out_.Write(device.substr(0, device.size() - 1) + "\r\n");
    }
}

void TerminalView::Abandon() {
    if (finished_) return;
    showButton_ = false;
    Render(FrameLines(), true);
    finished_ = true;
}

void TerminalView::Render(const std::vector<std::string>& lines, bool last) {
    std::string text;
    for (const std::string& line : lines) {
        // One column is left free: a line that fills the width would wrap on some terminals.
        const size_t room = columns_ > 1 ? columns_ - 1 : std::string::npos;
        text.append(line, 0, room);
        text.push_back('\n');
    }
    if (!last && linesOnScreen_ > 0 && text == lastFrame_) return;

    std::string frame;
    if (!cursorHidden_ && !last) {
        frame += kHideCursor;
        cursorHidden_ = true;
    }
    // Back to the block's first line. The cursor may not be in column 0: the terminal echoes
    // ^C where it stands.
    if (linesOnScreen_ > 0) {
        char up[24];
        std::snprintf(up, sizeof up, "\r\033[%zuA", linesOnScreen_);
        frame += up;
    }
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        frame += kClearLine;
        frame.append(text, start, end - start);
        // An explicit carriage return: the terminal may not be adding one to each line feed.
        frame += "\r\n";
        start = end + 1;
    }
    // Whatever stood below a longer block, or an echoed ^C, goes.
    frame += kClearBelow;
    if (last && cursorHidden_) {
        frame += kShowCursor;
        cursorHidden_ = false;
    }
    out_.Write(frame);
    linesOnScreen_ = lines.size();
    lastFrame_ = std::move(text);
}
