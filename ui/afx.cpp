// The parts of the framework that are the same whatever draws the windows: the application
// object, the message map, the elements by id and the combo boxes' template entries. The rest of
// each class is the layer's (ui/qt/, ui/win32/).
#include "ui/afx.h"

#include <algorithm>

namespace {

CWinApp* theApplication = nullptr;

}  // namespace

// ---- CWinApp ----------------------------------------------------------------------------------

CWinApp::CWinApp() {
    theApplication = this;
}

CWinApp::~CWinApp() {
    if (theApplication == this) theApplication = nullptr;
}

bool CWinApp::InitInstance() {
    return true;
}

int CWinApp::ExitInstance() {
    return 0;
}

CWinApp* AfxGetApp() {
    return theApplication;
}

// ---- CDialog ----------------------------------------------------------------------------------

CDialog* CDialog::Owner() const {
    if (m_pParentWnd != nullptr) return m_pParentWnd;
    const CWinApp* app = AfxGetApp();
    if (app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this) {
        return app->m_pMainWnd;
    }
    return nullptr;
}

void CDialog::AttachItems(const std::vector<HWND>& windows) {
    DetachItems();
    if (m_pTemplate == nullptr) return;
    const size_t count = std::min(windows.size(), m_pTemplate->elements.size());
    m_wnds.reserve(count);
    m_items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const DialogElement& element = m_pTemplate->elements[i];
        std::unique_ptr<CWnd> wnd;
        switch (element.kind) {
            case ElementKind::ComboBox:
                wnd = std::make_unique<CComboBox>();
                break;
            case ElementKind::ProgressBar:
                wnd = std::make_unique<CProgressCtrl>();
                break;
            default:
                wnd = std::make_unique<CWnd>();
                break;
        }
        wnd->m_hWnd = windows[i];
        m_items.push_back(DialogItem{&element, wnd.get()});
        m_wnds.push_back(std::move(wnd));
    }
}

void CDialog::DetachItems() {
    m_items.clear();
    m_wnds.clear();
}

CWnd* CDialog::GetDlgItem(int nID) const {
    if (nID == kIdNone) return nullptr;
    for (const DialogItem& item : m_items) {
        if (item.element->id == nID) return item.pWnd;
    }
    return nullptr;
}

std::string CDialog::GetDlgItemText(int nID) const {
    const CWnd* item = GetDlgItem(nID);
    return item != nullptr ? item->GetWindowText() : std::string();
}

void CDialog::SetDlgItemText(int nID, const char* text) {
    if (CWnd* item = GetDlgItem(nID)) item->SetWindowText(text);
}

bool CDialog::OnInitDialog() {
    for (const DialogItem& item : m_items) {
        if (item.element->kind != ElementKind::ComboBox) continue;
        auto* combo = static_cast<CComboBox*>(item.pWnd);
        for (const char* entry : item.element->items)
            combo->AddString(entry);
    }
    return true;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnTimer(uint32_t) {}

void CDialog::MapCommand(int nID, std::function<void()> handler) {
    m_commands.emplace_back(nID, std::move(handler));
}

void CDialog::OnCommand(int nID) {
    for (const auto& command : m_commands) {
        if (command.first == nID) {
            command.second();
            return;
        }
    }
    if (nID == IDOK) OnOK();
    if (nID == IDCANCEL) OnCancel();
}

// ---- CFileDialog ------------------------------------------------------------------------------

CFileDialog::CFileDialog(const char* lpszDefExt, const char* lpszFileName, uint32_t dwFlags,
                         const char* lpszFilter, CDialog* pParentWnd)
    : m_pParentWnd(pParentWnd) {
    m_request.defaultExtension = lpszDefExt;
    m_request.initialName = lpszFileName != nullptr ? lpszFileName : "";
    m_request.flags = dwFlags;
    m_request.filter = lpszFilter != nullptr ? lpszFilter : "";
}

CDialog* CFileDialog::Owner() const {
    if (m_pParentWnd != nullptr) return m_pParentWnd;
    return AfxGetApp() != nullptr ? AfxGetApp()->m_pMainWnd : nullptr;
}
