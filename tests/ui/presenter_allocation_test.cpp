// A tick runs ten times a second for as long as a transfer lasts: it formats into the
// presenter's own buffers and must never reach the heap.
#include <gtest/gtest.h>

#include "tests/support/allocation_counter.h"
#include "ui/presenter.h"

namespace {

// Keeps only what a window keeps: the last text of each element, in fixed storage.
class CountingView : public ProgressView {
  public:
    void SetStageLine(const char*) override { ++writes; }
    void SetResultLine(const char*) override { ++writes; }
    void SetSizeLine(const char*) override { ++writes; }
    void SetTimeLine(const char*) override { ++writes; }
    void SetBarRange(uint32_t) override { ++writes; }
    void SetBarPosition(uint32_t) override { ++writes; }
    void SetButtonCaption(const char*) override { ++writes; }
    void EndDialog(int) override { ++writes; }
    int writes = 0;
};

class ScriptedWorker : public WorkerStatus {
  public:
    uint32_t exitCode = kStillActive;
    bool Start() override { return true; }
    bool GetExitCode(uint32_t* code) override {
        *code = exitCode;
        return true;
    }
    void Close() override {}
};

class SteppingClock : public MillisecondClock {
  public:
    uint32_t now = 0xFFFFFF00u;
    uint32_t NowMs() override { return now += 100; }
};

TEST(PresenterAllocation, NoneWhileTicking) {
    CountingView view;
    ScriptedWorker worker;
    SteppingClock clock;
    UpdateJob job;
    ProgressPresenter presenter(view, worker, clock, job);
    ASSERT_TRUE(presenter.OnInitDialog());

    ResetAllocationCount();
    CountAllocationsOnThisThread(true);
    job.stage = StageCheckImage;
    presenter.OnTimer();
    job.stage = StageConnect;
    presenter.OnTimer();
    job.imageSize = 4294967295u;
    job.transferStartMs = clock.now;
    job.stage = StageTransfer;
    for (uint32_t sent = 0; sent < 400000; sent += 1024) {
        job.bytesSent = sent;
        presenter.OnTimer();
    }
    presenter.OnCancel();
    job.transferEndMs = clock.now;
    job.stage = StageUpdate;
    presenter.OnTimer();
    worker.exitCode = ResultUpdateFail;
    presenter.OnTimer();
    presenter.OnCancel();
    CountAllocationsOnThisThread(false);

    EXPECT_EQ(AllocationCount(), 0);
    EXPECT_GT(view.writes, 1000);  // the ticks did render
}

}  // namespace
