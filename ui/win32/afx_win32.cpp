// The framework on Windows' own dialog manager: a CDialog's template becomes an in-memory
// DLGTEMPLATEEX that DialogBoxIndirectParamW runs, so the font, the dialog units, the keyboard
// (Tab, Enter, Esc) and the modal loop are Windows' own. Window handles are real HWNDs.
#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "ui/win32/dialog_template.h"
#include "ui/win32/win32.h"

namespace {

std::function<void(CDialog&)> modalObserver;

// Posted to a modal dialog once it is shown, so the observer runs inside its modal loop. The
// dialog manager shows a modal dialog only once its queue runs empty, after initialisation.
constexpr UINT kObserveMessage = WM_APP + 1;

// The progress bar is a common control: its class exists once this has run.
void InitCommonControlsOnce() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        return InitCommonControlsEx(&controls) != FALSE;
    }();
    (void)done;
}

HINSTANCE ProgramInstance() {
    return GetModuleHandleW(nullptr);
}

// Places a window at the centre of its owner, or of the work area when it has no visible owner,
// kept inside the work area: where a template at 0, 0 opens.
void CenterWindow(HWND window, HWND owner) {
    if (owner != nullptr && (!IsWindowVisible(owner) || IsIconic(owner))) owner = nullptr;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : window, MONITOR_DEFAULTTOPRIMARY),
                    &monitor);
    const RECT work = monitor.rcWork;
    RECT around = work;
    if (owner != nullptr) GetWindowRect(owner, &around);
    RECT own;
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The dialog's child windows in creation order, which is template order.
std::vector<HWND> ChildWindows(HWND dialog) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

}  // namespace

struct CDialog::LayerState {
    bool modal = false;
    bool observePending = false;  // the observer is to hear of this window once it shows
    // Set by the base OnSysCommand: the system's own handling of the message follows.
    bool passOn = false;
};

struct DialogLayer {
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            return InitDialog(*reinterpret_cast<CDialog*>(lParam), window);
        }
        auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
        if (dialog == nullptr) return FALSE;
        switch (message) {
            case WM_COMMAND:
                // Buttons, and Enter and Esc, which the dialog manager turns into the default
                // button's command and IDCANCEL; other elements' notifications are not ours.
                if (HIWORD(wParam) != BN_CLICKED) return FALSE;
                dialog->OnCommand(LOWORD(wParam));
                return TRUE;
            case WM_TIMER:
                dialog->OnTimer(uint32_t(wParam));
                return TRUE;
            case WM_SYSCOMMAND:
                dialog->m_pState->passOn = false;
                dialog->OnSysCommand(uint32_t(wParam), intptr_t(lParam));
                return dialog->m_pState->passOn ? FALSE : TRUE;
            case WM_SHOWWINDOW:
                if (wParam && dialog->m_pState->observePending) {
                    dialog->m_pState->observePending = false;
                    PostMessageW(window, kObserveMessage, 0, 0);
                }
                return FALSE;
            case kObserveMessage:
                if (modalObserver) modalObserver(*dialog);
                return TRUE;
            case WM_NCDESTROY:
                SetWindowLongPtrW(window, DWLP_USER, 0);
                dialog->DetachItems();
                dialog->m_systemMenu.m_hMenu = nullptr;
                dialog->m_hWnd = nullptr;
                return FALSE;
            default:
                return FALSE;
        }
    }

    static INT_PTR InitDialog(CDialog& dialog, HWND window) {
        dialog.m_hWnd = window;
        dialog.AttachItems(ChildWindows(window));
        dialog.m_systemMenu.m_hMenu = ::GetSystemMenu(window, FALSE);
        dialog.m_commands.clear();
        dialog.m_nModalResult = 0;
        dialog.m_bEnded = false;
        dialog.BindMessages();

        const BOOL focusFirstStop = dialog.OnInitDialog() ? TRUE : FALSE;
        const CDialog* owner = dialog.Owner();
        CenterWindow(window, owner != nullptr ? owner->m_hWnd : nullptr);
        dialog.m_pState->observePending =
            dialog.m_pState->modal && !dialog.m_bEnded && modalObserver;
        return focusFirstStop;
    }

    static bool CanCreate(const CDialog& dialog) {
        if (dialog.m_hWnd != nullptr) {
            std::fprintf(stderr, "quorvane: dialog %u is already open\n", dialog.m_nIDTemplate);
            return false;
        }
        if (dialog.m_pTemplate == nullptr) {
            std::fprintf(stderr, "quorvane: dialog template %u does not exist\n",
                         dialog.m_nIDTemplate);
            return false;
        }
        InitCommonControlsOnce();
        return true;
    }

    static HWND OwnerWindow(const CDialog& dialog) {
        const CDialog* owner = dialog.Owner();
        return owner != nullptr ? owner->m_hWnd : nullptr;
    }
};

// ---- Text -------------------------------------------------------------------------------------

std::wstring Widen(const char* text) {
    return Widen(std::string(text != nullptr ? text : ""));
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, int(length), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

// CreateFileA reads names in the ANSI code page. A character outside it would become '?' or a
// look-alike ("best fit"): another name, or none, so such a name is refused, not sent. Where the
// ANSI code page is UTF-8 (a Windows option) every name fits.
bool AfxFileNameForEngine(const std::string& text, std::string* fileName) {
    fileName->clear();
    const std::wstring wide = Widen(text);
    if (wide.empty()) return true;
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lossy = utf8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide.data(), int(wide.size()), nullptr, 0,
                                         nullptr, lossy);
    if (size <= 0 || usedDefault) return false;
    std::string ansi(size_t(size), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide.data(), int(wide.size()), ansi.data(), size, nullptr,
                        lossy);
    // What the file system will see must be what the person typed.
    const int back = MultiByteToWideChar(CP_ACP, 0, ansi.data(), int(ansi.size()), nullptr, 0);
    std::wstring roundTrip(size_t(back), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), int(ansi.size()), roundTrip.data(), back);
    if (usedDefault || roundTrip != wide) return false;
    *fileName = std::move(ansi);
    return true;
}

// ---- The process ------------------------------------------------------------------------------

int AfxWinMain(int, char**) {
    InitCommonControlsOnce();
    CWinApp* app = AfxGetApp();
    if (app == nullptr) {
        MessageBoxW(nullptr, L"No application object.", L"quorvane", MB_OK | MB_ICONERROR);
        return 1;
    }
    if (!app->InitInstance()) return app->ExitInstance();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return app->ExitInstance();
}

HICON LoadIcon(uint32_t nIDResource) {
    // A shared icon: the system keeps it for the life of the process.
    return LoadIconW(ProgramInstance(), MAKEINTRESOURCEW(nIDResource));
}

// ---- CWnd and the elements --------------------------------------------------------------------

void CWnd::SetWindowText(const char* text) {
    if (m_hWnd != nullptr) SetWindowTextW(m_hWnd, Widen(text).c_str());
}

std::string CWnd::GetWindowText() const {
    if (m_hWnd == nullptr) return std::string();
    std::wstring text(size_t(GetWindowTextLengthW(m_hWnd)) + 1, L'\0');
    const int length = GetWindowTextW(m_hWnd, text.data(), int(text.size()));
    return Narrow(text.data(), size_t(length > 0 ? length : 0));
}

void CWnd::SetFocus() {
    if (m_hWnd == nullptr) return;
    // Inside a dialog the dialog manager moves the focus, so the default button follows it.
    const HWND parent = GetParent(m_hWnd);
    if (parent != nullptr && (GetWindowLongW(m_hWnd, GWL_STYLE) & WS_CHILD)) {
        SendMessageW(parent, WM_NEXTDLGCTL, WPARAM(m_hWnd), TRUE);
    } else {
        ::SetFocus(m_hWnd);
    }
}

bool CWnd::IsWindowVisible() const {
    return m_hWnd != nullptr && ::IsWindowVisible(m_hWnd);
}

int CComboBox::GetCount() const {
    return int(SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0));
}

int CComboBox::GetCurSel() const {
    return int(SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0));
}

int CComboBox::SetCurSel(int nSelect) {
    return int(SendMessageW(m_hWnd, CB_SETCURSEL, WPARAM(nSelect), 0));
}

std::string CComboBox::GetLBText(int nIndex) const {
    const LRESULT length = SendMessageW(m_hWnd, CB_GETLBTEXTLEN, WPARAM(nIndex), 0);
    if (length == CB_ERR) return std::string();
    std::wstring text(size_t(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(m_hWnd, CB_GETLBTEXT, WPARAM(nIndex), LPARAM(text.data()));
    return Narrow(text.data(), copied > 0 ? size_t(copied) : 0);
}

int CComboBox::AddString(const char* text) {
    return int(SendMessageW(m_hWnd, CB_ADDSTRING, 0, LPARAM(Widen(text).c_str())));
}

void CProgressCtrl::SetRange32(int nLower, int nUpper) {
    SendMessageW(m_hWnd, PBM_SETRANGE32, WPARAM(nLower), LPARAM(nUpper));
}

void CProgressCtrl::GetRange(int& nLower, int& nUpper) const {
    PBRANGE range{};
    SendMessageW(m_hWnd, PBM_GETRANGE, TRUE, LPARAM(&range));
    nLower = range.iLow;
    nUpper = range.iHigh;
}

int CProgressCtrl::SetPos(int nPos) {
    return int(SendMessageW(m_hWnd, PBM_SETPOS, WPARAM(nPos), 0));
}

int CProgressCtrl::GetPos() const {
    return int(SendMessageW(m_hWnd, PBM_GETPOS, 0, 0));
}

bool CMenu::AppendMenu(uint32_t nFlags, uintptr_t nIDNewItem, const char* lpszNewItem) {
    if (m_hMenu == nullptr) return false;
    const std::wstring text = Widen(lpszNewItem);
    return AppendMenuW(m_hMenu, nFlags, nIDNewItem,
                       (nFlags & MF_SEPARATOR) ? nullptr : text.c_str()) != FALSE;
}

// ---- CDialog ----------------------------------------------------------------------------------

CDialog::CDialog(uint32_t nIDTemplate, CDialog* pParentWnd)
    : m_nIDTemplate(nIDTemplate),
      m_pParentWnd(pParentWnd),
      m_pTemplate(FindDialogTemplate(nIDTemplate)),
      m_pState(std::make_unique<LayerState>()) {}

CDialog::~CDialog() {
    DestroyWindow();
}

void CDialog::SetModalObserver(std::function<void(CDialog&)> observer) {
    modalObserver = std::move(observer);
}

int CDialog::DoModal() {
    if (!DialogLayer::CanCreate(*this)) return -1;
    const std::vector<uint16_t> bytes = BuildDialogTemplate(*m_pTemplate);
    m_pState->modal = true;
    const INT_PTR result = DialogBoxIndirectParamW(
        ProgramInstance(), reinterpret_cast<const DLGTEMPLATE*>(bytes.data()),
        DialogLayer::OwnerWindow(*this), DialogLayer::Procedure, reinterpret_cast<LPARAM>(this));
    m_pState->modal = false;
    return int(result);
}

bool CDialog::Create() {
    if (!DialogLayer::CanCreate(*this)) return false;
    const std::vector<uint16_t> bytes = BuildDialogTemplate(*m_pTemplate);
    m_pState->modal = false;
    const HWND window = CreateDialogIndirectParamW(
        ProgramInstance(), reinterpret_cast<const DLGTEMPLATE*>(bytes.data()),
        DialogLayer::OwnerWindow(*this), DialogLayer::Procedure, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) return false;
    if (!m_bEnded) ShowWindow(window, SW_SHOW);
    return true;
}

void CDialog::DestroyWindow() {
    if (m_hWnd == nullptr) return;
    if (m_pState->modal) {
        // Only the modal loop may take a modal dialog down.
        ::EndDialog(m_hWnd, IDCANCEL);
        return;
    }
    ::DestroyWindow(m_hWnd);  // WM_NCDESTROY lets the elements go
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEnded = true;
    if (m_hWnd == nullptr) return;
    if (m_pState->modal) {
        ::EndDialog(m_hWnd, nResult);
    } else {
        ShowWindow(m_hWnd, SW_HIDE);
    }
}

void CDialog::OnSysCommand(uint32_t, intptr_t) {
    m_pState->passOn = true;
}

bool CDialog::SetTimer(uint32_t nIDEvent, uint32_t elapseMs) {
    return m_hWnd != nullptr && ::SetTimer(m_hWnd, nIDEvent, elapseMs, nullptr) != 0;
}

void CDialog::KillTimer(uint32_t nIDEvent) {
    if (m_hWnd != nullptr) ::KillTimer(m_hWnd, nIDEvent);
}

CMenu* CDialog::GetSystemMenu() {
    if (m_pTemplate == nullptr || (m_pTemplate->style & kWindowSysMenu) == 0) return nullptr;
    if (m_systemMenu.m_hMenu == nullptr) return nullptr;
    return &m_systemMenu;
}

void CDialog::SetIcon(HICON hIcon, bool bBigIcon) {
    if (m_hWnd != nullptr) {
        SendMessageW(m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, LPARAM(hIcon));
    }
}

int CDialog::MessageBox(const char* text, const char* caption, uint32_t type) {
    return MessageBoxW(m_hWnd, Widen(text).c_str(), Widen(caption).c_str(), type);
}

// ---- CFileDialog ------------------------------------------------------------------------------

int CFileDialog::DoModal() {
    // The framework's filter form, pairs closed by '|', is the system's with NULs for the bars.
    std::wstring filter = Widen(m_request.filter);
    for (wchar_t& c : filter) {
        if (c == L'|') c = L'\0';
    }
    filter.append(2, L'\0');
    const std::wstring defaultExtension =
        m_request.defaultExtension != nullptr ? Widen(m_request.defaultExtension) : L"";

    // Room for the longest path the system allows.
    std::wstring file(32768, L'\0');
    const std::wstring initial = Widen(m_request.initialName);
    initial.copy(file.data(), std::min(initial.size(), file.size() - 1));

    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    const CDialog* owner = Owner();
    request.hwndOwner = owner != nullptr ? owner->m_hWnd : nullptr;
    request.lpstrFilter = filter.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = file.data();
    request.nMaxFile = DWORD(file.size());
    request.lpstrDefExt =
        m_request.defaultExtension != nullptr ? defaultExtension.c_str() : nullptr;
    request.Flags = m_request.flags | OFN_EXPLORER;
    BOOL chosen = GetOpenFileNameW(&request);
    if (!chosen && CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
        // The box held something that is no file name: open the dialog without it.
        file.assign(file.size(), L'\0');
        chosen = GetOpenFileNameW(&request);
    }
    if (!chosen) return IDCANCEL;
    m_strPathName = Narrow(file.c_str(), wcslen(file.c_str()));
    return IDOK;
}
