#include "ui/main_dialog.h"

#include <string>

#include "engine/update_job.h"
#include "res/strings.h"
#include "ui/about_dialog.h"
#include "ui/progress_dialog.h"

CMainDialog::CMainDialog(CDialog* pParent)
    : CDialog(kIddMain, pParent), m_hIcon(LoadIcon(kIdrMainFrame)) {}

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

    if (auto* ports = dynamic_cast<CComboBox*>(GetDlgItem(kIdcPortList))) ports->SetCurSel(0);
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
    const std::string strText = GetDlgItemText(kIdcFileName);
    if (strText.empty()) {
        MessageBox("File name can not be empty!", "Error", kMbOk | kMbIconExclamation);
        return;
    }
    // Held here until the progress window has returned, which is after the worker has ended.
    std::string strFileName;
    if (!AfxFileNameForEngine(strText, &strFileName)) {
        MessageBox(kFileNameNotInCodePage, "Error", kMbOk | kMbIconExclamation);
        return;
    }

    updateJob.imagePath = strFileName.c_str();
    updateJob.portDevice = nullptr;
    const auto* ports = dynamic_cast<const CComboBox*>(GetDlgItem(kIdcPortList));
    updateJob.portIndex = ports != nullptr ? ports->GetCurSel() : 0;

    if (dlgProgress.DoModal() == IDOK) {
        if (CWnd* end = GetDlgItem(IDCANCEL)) end->SetFocus();
    }
    updateJob.imagePath = nullptr;
}

void CMainDialog::OnBrowse() {
    const std::string strFileName = GetDlgItemText(kIdcFileName);
    CFileDialog dlgFile(nullptr, strFileName.c_str(), kBrowseFlags, kImageFileFilter);
    if (dlgFile.DoModal() == IDOK) SetDlgItemText(kIdcFileName, dlgFile.GetPathName().c_str());
    if (CWnd* fileBox = GetDlgItem(kIdcFileName)) fileBox->SetFocus();
}
