#include "ui/main_dialog.h"

#include <QComboBox>
#include <QWidget>
#include <string>

#include "res/strings.h"
#include "ui/about_dialog.h"
#include "ui/progress_dialog.h"
#include "update_job.h"

CMainDialog::CMainDialog(CDialog* pParent)
    : CDialog(kIddMain, pParent), m_hIcon(LoadIconResource(kIdrMainFrame)) {}

void CMainDialog::BindMessages() {
    MapCommand(kIdcBrowse, [this] { OnBrowse(); });
}

bool CMainDialog::OnInitDialog() {
    CDialog::OnInitDialog();

    if (CMenu* pSysMenu = GetSystemMenu()) {
        const char* strAboutMenu = LoadString(kIdsAboutMenu);
        if (strAboutMenu[0] != '\0') {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);

    if (auto* ports = qobject_cast<QComboBox*>(GetDlgItem(kIdcPortList))) ports->setCurrentIndex(0);
    return true;
}

void CMainDialog::OnSysCommand(uint32_t nID, intptr_t lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDialog dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

// "Start". The framework's OnOK is not called: the main window stays open after every run.
void CMainDialog::OnOK() {
    CProgressDialog dlgProgress;
    // Held here until the progress window has returned, which is after the worker has ended.
    const std::string strFileName = GetDlgItemText(kIdcFileName);
    if (strFileName.empty()) {
        MessageBox("File name can not be empty!", "Error", kMbOk | kMbIconExclamation);
        return;
    }

    updateJob.imagePath = strFileName.c_str();
    updateJob.portDevice = nullptr;
    auto* ports = qobject_cast<QComboBox*>(GetDlgItem(kIdcPortList));
    updateJob.portIndex = ports != nullptr ? ports->currentIndex() : 0;

    if (dlgProgress.DoModal() == IDOK) {
        if (QWidget* end = GetDlgItem(IDCANCEL)) end->setFocus();
    }
    updateJob.imagePath = nullptr;
}

void CMainDialog::OnBrowse() {
    const std::string strFileName = GetDlgItemText(kIdcFileName);
    CFileDialog dlgFile(nullptr, strFileName.c_str(), kBrowseFlags, kImageFileFilter);
    if (dlgFile.DoModal() == IDOK) SetDlgItemText(kIdcFileName, dlgFile.GetPathName().c_str());
    if (QWidget* fileBox = GetDlgItem(kIdcFileName)) fileBox->setFocus();
}
