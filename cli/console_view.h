// The three ways quorvane-cli shows a running job: redrawn in place on a terminal, as a plain
// log, or as JSON lines. Each is the progress window's view, driven by the shared presenter,
// plus the few things a terminal program has that a window does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/presenter.h"

// What the job record says once the worker has ended, for the line after the job and for a
// parent process that keeps a record per board.
struct JobFacts {
    std::string device;  // the device path the port resolved to, "" when it did not resolve
    std::string identity;
    std::string version;
    uint32_t imageSize = 0;
    uint32_t bytesSent = 0;
    uint32_t transferMs = 0;  // 0 when the transfer did not end
    int systemError = 0;
    std::string systemErrorText;  // "" when systemError is 0
};

// "device: QRV-0001, Ver01.02 build 7", or "" when the device never answered IDENT.
std::string DeviceLine(const JobFacts& facts);

class ConsoleView : public ProgressView {
  public:
    // Before Finish, once the worker has ended.
    void SetJobFacts(const JobFacts& facts) { facts_ = facts; }
    const JobFacts& Facts() const { return facts_; }
    // The stages a job goes through: StageCheckImage .. StageEnd for an update, only
    // StageConnect for a check. A log names each of them, also those the presenter's ticks
    // missed; nothing outside them.
    void SetStages(int32_t first, int32_t last) {
        firstStage_ = first;
        lastStage_ = last;
    }
    int32_t FirstStage() const { return firstStage_; }
    int32_t LastStage() const { return lastStage_; }

    // Once, after the presenter has started the worker (or failed to).
    virtual void Begin() {}
    // After every presenter tick.
    virtual void AfterTick() {}
    // The user pressed Ctrl-C (or the program got SIGTERM/SIGHUP) for the `presses`-th time
    // while the job runs; `notice` is what to tell a person about it, empty when nothing.
    virtual void CancelPressed(int presses, std::string_view notice) = 0;
    // Once, when the job has ended with `exitCode`; `detail` says what a person can do about
    // a failure (empty when there is nothing to add).
    virtual void Finish(uint32_t exitCode, std::string_view detail) = 0;
    // The program quits before the job has ended: leave the output in a sane state.
    virtual void Abandon() = 0;

    // The end of the modal loop as the presenter asked for it (0 while it has not).
    int ModalResult() const { return modalResult_; }
    void EndDialog(int modalResult) override { modalResult_ = modalResult; }

  private:
    int modalResult_ = 0;
    JobFacts facts_;
    int32_t firstStage_ = StageCheckImage;
    int32_t lastStage_ = StageEnd;
};
