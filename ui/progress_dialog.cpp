#include "ui/progress_dialog.h"

#include <climits>

#include "engine/update_job.h"

namespace {

constexpr uint32_t kTickTimer = 1;

}  // namespace

CProgressDialog::CProgressDialog(CDialog* pParent)
    : CDialog(kIddProgress, pParent), m_presenter(*this, m_worker, m_clock) {}

// Normally the worker has ended by now: the window cannot close while it runs. Should the window
// go anyway (the application being torn down), the job is asked to stop before the worker's
// release waits for it, so that wait is short.
CProgressDialog::~CProgressDialog() {
    uint32_t exitCode = 0;
    if (m_worker.GetExitCode(&exitCode) && exitCode == kStillActive) {
        updateJob.cancelRequested.store(true, std::memory_order_relaxed);
    }
}

bool CProgressDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    m_nBarShift = 0;
    // When the worker cannot start the presenter has already offered "Close"; no tick is needed.
    if (m_presenter.OnInitDialog()) SetTimer(kTickTimer, ProgressPresenter::kTickMs);
    return true;
}

void CProgressDialog::OnCancel() {
    m_presenter.OnCancel();
}

void CProgressDialog::OnTimer(uint32_t) {
    m_presenter.OnTimer();
    if (m_presenter.TimerStopped()) KillTimer(kTickTimer);
}

void CProgressDialog::SetStageLine(const char* text) {
    SetDlgItemText(kIdcStageLine, text);
}

void CProgressDialog::SetResultLine(const char* text) {
    SetDlgItemText(kIdcResultLine, text);
}

void CProgressDialog::SetSizeLine(const char* text) {
    SetDlgItemText(kIdcSizeLine, text);
}

void CProgressDialog::SetTimeLine(const char* text) {
    SetDlgItemText(kIdcTimeLine, text);
}

void CProgressDialog::SetBarRange(uint32_t max) {
    auto* bar = dynamic_cast<CProgressCtrl*>(GetDlgItem(kIdcProgressBar));
    if (bar == nullptr) return;
    m_nBarShift = 0;
    while ((max >> m_nBarShift) > uint32_t(INT_MAX))
        ++m_nBarShift;
    // A range of 0 .. 0 reads as "busy" to some toolkits; an empty image shows an empty bar.
    const int top = int(max >> m_nBarShift);
    bar->SetRange32(0, top > 0 ? top : 1);
}

void CProgressDialog::SetBarPosition(uint32_t position) {
    if (auto* bar = dynamic_cast<CProgressCtrl*>(GetDlgItem(kIdcProgressBar))) {
        bar->SetPos(int(position >> m_nBarShift));
    }
}

void CProgressDialog::SetButtonCaption(const char* text) {
    SetDlgItemText(kIdCancel, text);
}
