#include "ui/presenter.h"

#include <cstring>

#include "res/format.h"

namespace {

// Below this many bytes the rate so far says too little to extrapolate from.
constexpr uint32_t kEstimateThreshold = 10240;

constexpr size_t kIdentityTextLength = 16;

}  // namespace

WorkerThread workerThread;
UpdateStage shownStage = StageNone;

bool UpdateWorker::Start() {
    return workerThread.Start([](void* parameter) { return int32_t(RunUpdateJob(parameter)); },
                              nullptr);
}

uint32_t RemainingMs(uint32_t imageSize, uint32_t bytesSent, uint32_t elapsedMs) {
    if (bytesSent < kEstimateThreshold) return 0;
    const uint32_t left = imageSize - bytesSent;
    return uint32_t(uint64_t(left) * elapsedMs / bytesSent);
}

ProgressPresenter::ProgressPresenter(ProgressView& view, WorkerStatus& worker,
                                     MillisecondClock& clock, UpdateJob& job,
                                     const char* identityText)
    : m_view(view), m_worker(worker), m_clock(clock), m_job(job), m_pszIdentity(identityText) {}

bool ProgressPresenter::OnInitDialog() {
    shownStage = StageNone;
    m_job.cancelRequested.store(false, std::memory_order_relaxed);
    m_bFinished = false;
    m_bTimerStopped = false;

    // Only a 16-character setting turns the check on; its second half is not used.
    if (m_pszIdentity != nullptr && std::strlen(m_pszIdentity) == kIdentityTextLength) {
        std::memcpy(m_job.expectedIdentity, m_pszIdentity, sizeof m_job.expectedIdentity);
        m_job.identityCheck = true;
    } else {
        std::memset(m_job.expectedIdentity, 0, sizeof m_job.expectedIdentity);
        m_job.identityCheck = false;
    }

    // The record still holds the previous job's stage and count until the new worker resets
    // them; a first tick that beat the worker would otherwise draw the last job's transfer.
    m_job.bytesSent.store(0, std::memory_order_relaxed);
    m_job.stage.store(StageNone, std::memory_order_release);

    if (m_worker.Start()) return true;

    // No worker will ever end, so no tick would ever offer "Close": the window would be stuck
    // open with a button that only sets a cancel flag nobody reads. Treat it as a job that
    // ended without a text, which leaves the window closable with Cancel.
    m_bFinished = true;
    m_bTimerStopped = true;
    m_view.SetButtonCaption(LoadString(kIdsClose));
    return false;
}

void ProgressPresenter::OnTimer() {
    // Once the end has been handled the worker's handle is closed, and a late tick finds
    // nothing to ask; a query that fails is waited out the same way.
    if (m_bFinished) return;
    uint32_t exitCode = kStillActive;
    if (!m_worker.GetExitCode(&exitCode)) return;
    if (exitCode != kStillActive) HandleEnd(exitCode);

    // The stage is read first: a stage seen new comes with the figures stored before it.
    const UpdateStage stage = m_job.stage.load(std::memory_order_acquire);
    if (stage != shownStage) {
        if (shownStage == StageTransfer) {
            const uint32_t durationMs = m_job.transferEndMs.load(std::memory_order_relaxed) -
                                        m_job.transferStartMs.load(std::memory_order_relaxed);
            WriteTransferFigures(m_job.bytesSent.load(std::memory_order_relaxed),
                                 m_job.imageSize.load(std::memory_order_relaxed), durationMs, 0);
        }
        shownStage = stage;
        if (stage >= StageCheckImage && stage <= StageEnd) m_view.SetStageLine(StageText(stage));
        if (stage == StageTransfer) {
            m_view.SetBarRange(m_job.imageSize.load(std::memory_order_relaxed));
        }
    }

    if (shownStage == StageTransfer) {
        const uint32_t elapsedMs =
            m_clock.NowMs() - m_job.transferStartMs.load(std::memory_order_relaxed);
        // One reading of each counter, so the estimate and both lines agree.
        const uint32_t bytesSent = m_job.bytesSent.load(std::memory_order_relaxed);
        const uint32_t imageSize = m_job.imageSize.load(std::memory_order_relaxed);
        WriteTransferFigures(bytesSent, imageSize, elapsedMs,
                             RemainingMs(imageSize, bytesSent, elapsedMs));
    }
}

void ProgressPresenter::OnCancel() {
    if (m_bFinished) {
        m_view.EndDialog(kModalCancel);
        return;
    }
    // The worker sees the request in its next wait loop and ends; the tick after that closes
    // the window, or shows why the job ended otherwise.
    m_job.cancelRequested.store(true, std::memory_order_relaxed);
}

void ProgressPresenter::HandleEnd(uint32_t exitCode) {
    m_bFinished = true;
    m_worker.Close();
    m_bTimerStopped = true;
    switch (exitCode) {
        case ResultSuccess:
            m_view.EndDialog(kModalOk);
            m_view.SetResultLine("");
            break;
        case ResultCancelled:
            m_view.EndDialog(kModalCancel);
            m_view.SetResultLine("");
            break;
        default:
            // Codes beyond the enumeration come from a worker that ended abnormally; they have
            // no row, so the line is emptied.
            m_view.SetResultLine(ResultText(int32_t(exitCode)));
            break;
    }
    m_view.SetButtonCaption(LoadString(kIdsClose));
}

void ProgressPresenter::WriteTransferFigures(uint32_t bytesSent, uint32_t imageSize,
                                             uint32_t elapsedMs, uint32_t remainingMs) {
    FormatMessagePair(m_szSizeLine, sizeof m_szSizeLine, LoadString(kIdsTransferSize), bytesSent,
                      imageSize);
    FormatMessagePair(m_szTimeLine, sizeof m_szTimeLine, LoadString(kIdsTransferTime),
                      elapsedMs / 1000, remainingMs / 1000);
    m_view.SetBarPosition(bytesSent);
    m_view.SetSizeLine(m_szSizeLine);
    m_view.SetTimeLine(m_szTimeLine);
}
