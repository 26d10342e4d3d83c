// The main window: the port list, the image's file box with its "..." browser, "Start" and
// "End". "Start" runs one update in the progress window; updates can follow one another, and
// the port and the file name stay as they were. The About box is in the system menu.
#pragma once

#include <cstdint>

#include "ui/afx.h"

// The About entry's system command; ids 16 to 31 all reach it (the low four bits are free).
constexpr uint32_t IDM_ABOUTBOX = 0x0010;

// The open-file dialog's filter, its display names as they stand.
inline constexpr char kImageFileFilter[] = "Image File(*.img)|*.img|(All Files(*.*)|*.*||";
inline constexpr uint32_t kBrowseFlags = kOfnReadOnly | kOfnHideReadOnly | kOfnFileMustExist;

// "Start" refuses a name that cannot reach the file: where the engine's file names are 8-bit in a
// code page (Windows' ANSI one), a character outside it would be sent as a different name.
inline constexpr char kFileNameNotInCodePage[] =
    "File name has characters outside the system code page!";

class CMainDialog final : public CDialog {
  public:
    explicit CMainDialog(CDialog* pParent = nullptr);

    void OnSysCommand(uint32_t nID, intptr_t lParam) override;

  protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void BindMessages() override;

  private:
    void OnBrowse();

    HICON m_hIcon;
};
