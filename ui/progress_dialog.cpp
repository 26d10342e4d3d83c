#include "ui/progress_dialog.h"

#include <QProgressBar>
#include <climits>

#include "update_job.h"

namespace {

constexpr uint32_t kTickTimer = 1;
constexpr uint32_t kTickMs = 100;

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
    if (m_presenter.OnInitDialog()) SetTimer(kTickTimer, kTickMs);
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
    auto* bar = qobject_cast<QProgressBar*>(GetDlgItem(kIdcProgressBar));
    if (bar == nullptr) return;
    m_nBarShift = 0;
    while ((max >> m_nBarShift) > uint32_t(INT_MAX))
        ++m_nBarShift;
    // Qt draws a range of 0 .. 0 as "busy"; an empty image shows an empty bar instead.
    const int top = int(max >> m_nBarShift);
    bar->setRange(0, top > 0 ? top : 1);
}

void CProgressDialog::SetBarPosition(uint32_t position) {
    auto* bar = qobject_cast<QProgressBar*>(GetDlgItem(kIdcProgressBar));
    if (bar == nullptr) return;
    // Qt ignores a value beyond the range where Windows pins it to the end.
    const int value = int(position >> m_nBarShift);
    bar->setValue(value < bar->maximum() ? value : bar->maximum());
}

void CProgressDialog::SetButtonCaption(const char* text) {
    SetDlgItemText(kIdCancel, text);
}
