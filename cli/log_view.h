// The progress window as a log, for output that is not a terminal: a plain line per change, or
// one JSON object per line for scripts. Neither uses a control character.
//
// Unlike the window, a log names every stage the job passed, even one that began and ended
// between two ticks (stages only move forward within a job), so it reads the same however fast
// the device is; a job that succeeded always ends its log with "Update End".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/console_view.h"
#include "cli/output.h"

class LogView : public ConsoleView {
  public:
    void SetStageLine(const char* text) override;
    void SetResultLine(const char* text) override { result_ = text; }
    void SetSizeLine(const char* text) override { size_ = text; }
    // The presenter writes the time line last of each set of figures.
    void SetTimeLine(const char* text) override;
    void SetBarRange(uint32_t) override {}
    void SetBarPosition(uint32_t) override {}
    void SetButtonCaption(const char*) override {}
    void Abandon() override { FlushFigures(); }

  protected:
    // `stage` is 1..5, or 0 for a text that names no stage.
    virtual void WriteStage(int32_t stage, std::string_view text) = 0;
    virtual void FiguresChanged() = 0;
    // Writes figures held back, if any.
    virtual void FlushFigures() {}
    // Names the stages the window skipped up to `stage` (through StageEnd after a success).
    void CatchUpTo(int32_t stage);

    std::string result_;
    std::string size_;
    std::string time_;

  private:
    int32_t logged_ = 0;  // the last stage named
};

// "stage: Connecting to Target...", "size: Transfer Size 1024 / 262144 Bytes",
// "time: Elapse  1 sec / Remain 30 sec", "result: Image File Transfer Fail". Figures are
// written at most once a second, except that the last figures shown before a stage change or
// the end are always written.
class PlainLogView final : public LogView {
  public:
    PlainLogView(TextOutput& out, MillisecondClock& clock) : out_(out), clock_(clock) {}

    void CancelPressed(int, std::string_view) override {}
    void Finish(uint32_t exitCode, std::string_view detail) override;

  private:
    void WriteStage(int32_t stage, std::string_view text) override;
    void FiguresChanged() override;
    void FlushFigures() override;
    void WriteFigures();

    TextOutput& out_;
    MillisecondClock& clock_;
    std::string writtenSize_;
    std::string writtenTime_;
    bool anyWritten_ = false;
    bool held_ = false;
    uint32_t writtenAtMs_ = 0;
};

// {"event":"start","image":"x.img","port":"COM1","device":"/dev/ttyS0"}
// {"event":"stage","stage":2,"text":"Connecting to Target..."}
// {"event":"progress","sent":1024,"size":262144,"elapsed":1,"remaining":30}   (seconds)
// {"event":"cancel","presses":1,"text":"Cancelling..."}
// {"event":"result","code":6,"text":"Image File Transfer Fail","detail":"..."}
class JsonLogView final : public LogView {
  public:
    explicit JsonLogView(TextOutput& out) : out_(out) {}

    void Start(std::string_view image, std::string_view port, std::string_view device);
    void CancelPressed(int presses, std::string_view notice) override;
    void Finish(uint32_t exitCode, std::string_view detail) override;
    // {"event":"quit"}: the program ends before the job, with no result to report.
    void Abandon() override;

  private:
    void WriteStage(int32_t stage, std::string_view text) override;
    void FiguresChanged() override;

    TextOutput& out_;
    uint32_t figures_[4] = {};
    bool anyFigures_ = false;
};

// The first two unsigned numbers in `text` ("Transfer Size 1024 / 262144 Bytes" gives 1024 and
// 262144); a number not found reads 0.
void ReadTwoNumbers(std::string_view text, uint32_t* first, uint32_t* second);
