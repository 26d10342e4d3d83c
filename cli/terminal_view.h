// The progress window on a terminal: its elements as a block of lines, redrawn in place with
// cursor-up and clear-line escapes, the cursor hidden while the block is live.
//
//   Transferring Image File...
//   Transfer Size 110592 / 262144 Bytes
//   [################........................]  42%
//   Elapse 10 sec / Remain 13 sec
//   [ Cancel ]  Ctrl-C
//
// The lines follow the window's layout from top to bottom; the result line sits under the stage
// line once it has text. The last line is the button with a hint of how to press it. The final
// frame drops the button: the program ends with the window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/console_view.h"
#include "cli/output.h"

class TerminalView final : public ConsoleView {
  public:
    explicit TerminalView(TextOutput& out);

    void SetStageLine(const char* text) override { stage_ = text; }
    void SetResultLine(const char* text) override { result_ = text; }
    void SetSizeLine(const char* text) override { size_ = text; }
    void SetTimeLine(const char* text) override { time_ = text; }
    void SetBarRange(uint32_t max) override { barMax_ = max; }
    void SetBarPosition(uint32_t position) override { barPosition_ = position; }
    void SetButtonCaption(const char* text) override { caption_ = text; }

    void Begin() override { Draw(); }
    void AfterTick() override { Draw(); }
    void CancelPressed(int presses, std::string_view notice) override;
    void Finish(uint32_t exitCode, std::string_view detail) override;
    void Abandon() override;

    // The terminal's width; lines are cut short of it so that none wraps and throws the
    // cursor-up count off. 0 means unknown: nothing is cut.
    void SetColumns(unsigned columns) { columns_ = columns; }
    // The block's old lines are gone from view (the program was suspended and resumed, and the
    // shell wrote below them): the next frame starts where the cursor is.
    void StartAfresh() { linesOnScreen_ = 0; }
    // Writes the frame when it differs from the one on screen.
    void Draw();

    std::vector<std::string> FrameLines() const;
    static std::string BarText(uint32_t position, uint32_t max, unsigned width);

  private:
    void Render(const std::vector<std::string>& lines, bool last);

    TextOutput& out_;
    std::string stage_;
    std::string result_;
    std::string size_;
    std::string time_;
    std::string caption_;
    uint32_t barMax_;
    uint32_t barPosition_;
    std::string hint_ = "Ctrl-C";
    bool showButton_ = true;

    unsigned columns_ = 0;
    bool cursorHidden_ = false;
    size_t linesOnScreen_ = 0;
    std::string lastFrame_;
    bool finished_ = false;
};
