// The progress window's logic without a toolkit: it starts one update job, polls it on the
// caller's tick (ProgressPresenter::kTickMs) and renders the job record into a view of six
// elements. The desktop window and the terminal front end each provide the view, the tick and the
// modal loop.
#pragma once

#include <cstdint>

#include "engine/update_job.h"
#include "platform/platform.h"
#include "res/strings.h"

// What the window shows before the first tick changes it. A view starts in this state; the
// presenter never writes these texts itself. The time line reads "Elapsed" where row 161 reads
// "Elapse": the window's layout carries its own text, shown as it stands until the transfer.
struct ProgressViewState {
    const char* stageLine;
    const char* resultLine;
    const char* sizeLine;
    const char* timeLine;
    const char* buttonCaption;
    uint32_t barMax;  // the bar's range is 0 .. barMax
    uint32_t barPosition;
};
inline constexpr ProgressViewState kProgressViewInitial = {
    "Idle", "", "Transfer Size 0 / 0 Bytes", "Elapsed  0 sec / Remain  0 sec", "Cancel", 100, 0,
};

// The six elements of the progress window, plus the end of its modal loop.
class ProgressView {
  public:
    virtual ~ProgressView() = default;
    virtual void SetStageLine(const char* text) = 0;
    virtual void SetResultLine(const char* text) = 0;
    virtual void SetSizeLine(const char* text) = 0;
    virtual void SetTimeLine(const char* text) = 0;
    virtual void SetBarRange(uint32_t max) = 0;  // range 0 .. max
    virtual void SetBarPosition(uint32_t position) = 0;
    virtual void SetButtonCaption(const char* text) = 0;
    // Ends the modal loop once the current handler has returned: 1 is OK, 2 is Cancel.
    virtual void EndDialog(int modalResult) = 0;
};

constexpr int kModalOk = 1;
constexpr int kModalCancel = 2;

// The worker as the window sees it: start once, ask without blocking, release once ended.
class WorkerStatus {
  public:
    virtual ~WorkerStatus() = default;
    virtual bool Start() = 0;
    // False when the query fails or the worker was never started or already closed; otherwise
    // *code is kStillActive while it runs, then its UpdateResult.
    virtual bool GetExitCode(uint32_t* code) = 0;
    virtual void Close() = 0;
};

// The handle of the thread that runs the update, process-wide like the job record it works on:
// one update runs at a time.
extern WorkerThread workerThread;

// The real worker: RunUpdateJob on workerThread, over the process-wide updateJob. Releasing it
// releases the handle (waiting for a thread that still runs).
class UpdateWorker final : public WorkerStatus {
  public:
    UpdateWorker() = default;
    UpdateWorker(const UpdateWorker&) = delete;
    UpdateWorker& operator=(const UpdateWorker&) = delete;
    ~UpdateWorker() override { workerThread.Close(); }

    bool Start() override;
    bool GetExitCode(uint32_t* code) override { return workerThread.GetExitCode(code); }
    void Close() override { workerThread.Close(); }
};

// The millisecond counter the worker stamps transferStartMs and transferEndMs with.
class MillisecondClock {
  public:
    virtual ~MillisecondClock() = default;
    virtual uint32_t NowMs() = 0;
};

class TickClock final : public MillisecondClock {
  public:
    uint32_t NowMs() override { return TickMs(); }
};

// Estimated milliseconds left if the rate so far holds: 0 below 10240 bytes sent, else
// (imageSize - bytesSent) * elapsedMs / bytesSent with a 32-bit difference, a 64-bit product
// and quotient, truncated to 32 bits.
uint32_t RemainingMs(uint32_t imageSize, uint32_t bytesSent, uint32_t elapsedMs);

// The stage the progress window rendered last, process-wide; touched by the window's thread
// alone. StageNone from each OnInitDialog on.
extern UpdateStage shownStage;

class ProgressPresenter {
  public:
    // The period of the caller's timer: one OnTimer every tick.
    static constexpr uint32_t kTickMs = 100;

    // `identityText` decides the job's identity check (16 characters switch it on with the
    // first 8; anything else, null included, switches it off). Every referenced object must
    // outlive the presenter.
    ProgressPresenter(ProgressView& view, WorkerStatus& worker, MillisecondClock& clock,
                      UpdateJob& job = updateJob,
                      const char* identityText = LoadString(kIdsIdentity));
    ProgressPresenter(const ProgressPresenter&) = delete;
    ProgressPresenter& operator=(const ProgressPresenter&) = delete;

    // Prepares the job's inputs and starts the worker. Returns whether it started; the caller
    // then starts its kTickMs timer unless TimerStopped().
    bool OnInitDialog();

    // One timer tick: polls the worker and renders the record. Never allocates or blocks.
    void OnTimer();

    // The button, Esc, Enter and a close request: closes the window with Cancel once the
    // worker has ended, otherwise only asks the job to stop.
    void OnCancel();

    // True once the caller's timer must stop (the worker has ended, or never started).
    bool TimerStopped() const { return m_bTimerStopped; }
    bool Finished() const { return m_bFinished; }
    UpdateStage ShownStage() const { return shownStage; }

  private:
    void HandleEnd(uint32_t exitCode);
    // Formats both lines, then sets the bar, then replaces the size line and the time line.
    void WriteTransferFigures(uint32_t bytesSent, uint32_t imageSize, uint32_t elapsedMs,
                              uint32_t remainingMs);

    ProgressView& m_view;
    WorkerStatus& m_worker;
    MillisecondClock& m_clock;
    UpdateJob& m_job;
    const char* m_pszIdentity;

    bool m_bFinished = false;
    bool m_bTimerStopped = false;
    // Both lines are rebuilt here on every tick, so a tick never touches the heap.
    char m_szSizeLine[96] = {};
    char m_szTimeLine[96] = {};
};
