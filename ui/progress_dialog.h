// The progress window: runs one update job on the worker thread and shows it, polling on the
// presenter's tick (ProgressPresenter::kTickMs). Its logic is the presenter's; this class binds the
// presenter's view to the template's elements and its tick to timer 1. Closes itself with IDOK
// after success, IDCANCEL after a cancel; after an error it stays until its button ("Close"), Esc
// or Enter.
#pragma once

#include <cstdint>

#include "ui/afx.h"
#include "ui/presenter.h"

class CProgressDialog final : public CDialog, private ProgressView {
  public:
    explicit CProgressDialog(CDialog* pParent = nullptr);
    ~CProgressDialog() override;

  protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnTimer(uint32_t nIDEvent) override;

  private:
    void SetStageLine(const char* text) override;
    void SetResultLine(const char* text) override;
    void SetSizeLine(const char* text) override;
    void SetTimeLine(const char* text) override;
    void SetBarRange(uint32_t max) override;
    void SetBarPosition(uint32_t position) override;
    void SetButtonCaption(const char* text) override;
    void EndDialog(int modalResult) override { CDialog::EndDialog(modalResult); }

    UpdateWorker m_worker;
    TickClock m_clock;
    ProgressPresenter m_presenter;
    // The bar counts in int: an image of 2 GiB or more is shown in units of 2^m_nBarShift bytes.
    int m_nBarShift = 0;
};
