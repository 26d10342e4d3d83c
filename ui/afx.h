// A thin application and dialog framework, so each window class reads like a dialog: an
// application object whose InitInstance runs the main window, and CDialog, a modal window built
// from a numbered template, with virtual OnInitDialog, OnOK, OnCancel, OnTimer and OnSysCommand.
// Each class wires its own commands in BindMessages, its message map.
//
// The window classes see only this header. What draws the windows is chosen by the build:
// ui/qt/ lays the templates out on Qt Widgets, ui/win32/ hands them to Windows' own dialog
// manager. Texts cross this interface as UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "res/templates.h"

// Handles of windows, menus and icons. Under Windows they are the system's own; elsewhere the
// layer gives them its own meaning. Only the layer looks behind them.
struct HWND__;
using HWND = HWND__*;
struct HMENU__;
using HMENU = HMENU__*;
struct HICON__;
using HICON = HICON__*;

class CDialog;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// System commands: our own entries use ids below 0xF000; the close request is SC_CLOSE.
constexpr uint32_t SC_CLOSE = 0xF060;

constexpr uint32_t MF_STRING = 0x0000;
constexpr uint32_t MF_SEPARATOR = 0x0800;

// Message-box types and answers.
constexpr uint32_t kMbOk = 0x0000;               // one OK button
constexpr uint32_t kMbIconExclamation = 0x0030;  // the warning icon
constexpr int kIdMessageOk = 1;

// Open-file dialog flags.
constexpr uint32_t kOfnReadOnly = 0x0001;       // "open read-only" ticked (when shown)
constexpr uint32_t kOfnHideReadOnly = 0x0004;   // no "open read-only" box
constexpr uint32_t kOfnFileMustExist = 0x1000;  // only an existing file is accepted

// The application object. Exactly one exists, constructed before AfxWinMain runs.
class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Returns false to end the application without entering the event loop.
    virtual bool InitInstance();
    // The process's exit status.
    virtual int ExitInstance();

    // Owner of every window opened without a parent.
    CDialog* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();

// The process's main: starts the toolkit, runs the application object's InitInstance and, if
// that returns true, the event loop. Returns the exit status.
int AfxWinMain(int argc, char** argv);

// Icon resource `nIDResource` (res/icon.h), or null when there is none. Icons live as long as
// the process.
HICON LoadIcon(uint32_t nIDResource);

// The name of a file as the engine opens it: 8-bit text in the system's code page (under Windows
// the ANSI code page of CreateFileA; elsewhere UTF-8, as file names are). False, with *fileName
// empty, when `text` has characters that code page lacks: such a name cannot reach the file.
bool AfxFileNameForEngine(const std::string& text, std::string* fileName);

// A window: a dialog or one of its elements. It wraps the toolkit's window, which it neither
// creates nor destroys.
class CWnd {
  public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }

    void SetWindowText(const char* text);
    std::string GetWindowText() const;
    void SetFocus();
    bool IsWindowVisible() const;

    HWND m_hWnd = nullptr;
};

// A drop-down list element. Indexes count from 0; -1 means none.
class CComboBox final : public CWnd {
  public:
    int GetCount() const;
    int GetCurSel() const;
    // Selects entry nSelect (-1 clears the selection); returns -1 for an index out of range.
    int SetCurSel(int nSelect);
    std::string GetLBText(int nIndex) const;
    // Appends an entry; returns its index.
    int AddString(const char* text);
};

// A progress-bar element. A position outside the range is pinned to its nearer end.
class CProgressCtrl final : public CWnd {
  public:
    void SetRange32(int nLower, int nUpper);
    void GetRange(int& nLower, int& nUpper) const;
    // Returns the previous position.
    int SetPos(int nPos);
    int GetPos() const;
};

// A dialog's system menu (the window's own menu, under its icon, where the system has one).
class CMenu {
  public:
    bool AppendMenu(uint32_t nFlags, uintptr_t nIDNewItem = 0, const char* lpszNewItem = nullptr);

    HMENU m_hMenu = nullptr;
};

// An element of a dialog, in template order: its template row and its window. Combo boxes are
// CComboBox, progress bars CProgressCtrl, every other element a plain CWnd.
struct DialogItem {
    const DialogElement* element;
    CWnd* pWnd;
};

class CDialog : public CWnd {
  public:
    // Binds template `nIDTemplate`; nothing is created until DoModal or Create. Without a parent
    // the application's main window owns the dialog.
    explicit CDialog(uint32_t nIDTemplate, CDialog* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the window, initialises it and runs it modally. Returns the value given to
    // EndDialog, or -1 when the template does not exist or the window is already up.
    int DoModal();
    // Creates, initialises and shows the window without a modal loop; false when the template
    // does not exist or a window is already up. The window lasts until DestroyWindow.
    bool Create();
    void DestroyWindow();

    // Ends the modal loop with `nResult` once the running handler has returned; hides the window.
    void EndDialog(int nResult);

    // Base initialisation: fills each combo box with its template entries. Returns true: the
    // first tab stop gets the focus.
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnTimer(uint32_t nIDEvent);
    // A system-menu command. The base gives it to the system (move, close, ...).
    virtual void OnSysCommand(uint32_t nID, intptr_t lParam);

    uint32_t TemplateId() const { return m_nIDTemplate; }
    // The element with that id while the window exists, else null.
    CWnd* GetDlgItem(int nID) const;
    // The elements in template order while the window exists.
    const std::vector<DialogItem>& Items() const { return m_items; }
    // The modal result EndDialog was given (0 before).
    int ModalResult() const { return m_nModalResult; }

    std::string GetDlgItemText(int nID) const;
    void SetDlgItemText(int nID, const char* text);

    // Starts (or restarts) timer `nIDEvent`, delivered to OnTimer on the window's thread.
    bool SetTimer(uint32_t nIDEvent, uint32_t elapseMs);
    void KillTimer(uint32_t nIDEvent);

    // The system menu of a window whose template has one, else null.
    CMenu* GetSystemMenu();

    // Sets the window's big (title bar, task switcher) or small icon.
    void SetIcon(HICON hIcon, bool bBigIcon);

    // A message box owned by this window; returns the button that dismissed it.
    int MessageBox(const char* text, const char* caption, uint32_t type);

    // Called, from inside each modal loop, once the window is up: lets tests look at and drive
    // a window that a handler opened. Null switches it off.
    static void SetModalObserver(std::function<void(CDialog&)> observer);

  protected:
    // The class's message map: route element commands here with MapCommand. Ids 1 and 2 go to
    // OnOK and OnCancel unless mapped.
    virtual void BindMessages() {}
    void MapCommand(int nID, std::function<void()> handler);

  private:
    // The toolkit's side of a dialog (ui/qt/ or ui/win32/), which reaches the members below.
    friend struct DialogLayer;
    struct LayerState;

    // A command from an element, a key or the system: the mapped handler, else OnOK or OnCancel.
    void OnCommand(int nID);
    // Wraps each element of the new window, in template order.
    void AttachItems(const std::vector<HWND>& windows);
    void DetachItems();
    // The owner: the parent, else the application's main window (unless that is this one).
    CDialog* Owner() const;

    uint32_t m_nIDTemplate;
    CDialog* m_pParentWnd;
    const DialogTemplate* m_pTemplate = nullptr;
    std::vector<std::unique_ptr<CWnd>> m_wnds;
    std::vector<DialogItem> m_items;
    std::vector<std::pair<int, std::function<void()>>> m_commands;
    CMenu m_systemMenu;
    int m_nModalResult = 0;
    bool m_bEnded = false;  // EndDialog has run since the window was created
    std::unique_ptr<LayerState> m_pState;
};

// Describes what the open-file dialog asks for.
struct OpenFileRequest {
    const char* defaultExtension = nullptr;  // null: none
    std::string initialName;                 // UTF-8, as the file box held it
    uint32_t flags = 0;
    // Display names and patterns in pairs, each followed by '|', the list closed by another '|':
    // "Text(*.txt)|*.txt|All(*.*)|*.*||". Several patterns of one entry are separated by ';'.
    const char* filter = "";
};

// The system's open-file dialog.
class CFileDialog {
  public:
    CFileDialog(const char* lpszDefExt, const char* lpszFileName, uint32_t dwFlags,
                const char* lpszFilter, CDialog* pParentWnd = nullptr);
    int DoModal();  // IDOK or IDCANCEL
    // The chosen file's full path, UTF-8.
    const std::string& GetPathName() const { return m_strPathName; }

  private:
    // The parent, else the application's main window.
    CDialog* Owner() const;

    OpenFileRequest m_request;
    CDialog* m_pParentWnd;
    std::string m_strPathName;
};
