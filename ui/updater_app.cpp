#include "ui/updater_app.h"

#include "ui/main_dialog.h"

bool CUpdaterApp::InitInstance() {
    CMainDialog dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    // The main window has closed: end the application without entering the event loop.
    return false;
}
