// A thin application and dialog framework over Qt Widgets, so each window class reads like a
// dialog: an application object whose InitInstance runs the main window, and CDialog, a modal
// window built from a numbered template, with virtual OnInitDialog, OnOK, OnCancel, OnTimer and
// OnSysCommand. Each class wires its own commands in BindMessages, its message map.
#pragma once

#include <QIcon>
#include <QPoint>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "res/templates.h"
#include "ui/dialog_builder.h"
#include "ui/dialog_seam.h"

class QDialog;
class QMenu;
class CDialog;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// System commands: our own entries use ids below 0xF000; the close request is SC_CLOSE.
constexpr uint32_t SC_CLOSE = 0xF060;

constexpr uint32_t MF_STRING = 0x0000;
constexpr uint32_t MF_SEPARATOR = 0x0800;

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

// The process's main: starts Qt, runs the application object's InitInstance and, if that returns
// true, the event loop. Returns the exit status.
int AfxWinMain(int argc, char** argv);

// The entries a dialog offers in its system menu. Linux has no window-manager menu that an
// application can extend, so the entries are offered as the window's context menu.
class CMenu {
  public:
    struct Entry {
        uint32_t flags;
        uint32_t id;
        std::string text;  // 8-bit; '&' marks the mnemonic
    };

    void AppendMenu(uint32_t flags, uint32_t id = 0, const char* text = "");
    const std::vector<Entry>& Entries() const { return m_entries; }

  private:
    std::vector<Entry> m_entries;
};

class CDialog {
  public:
    // Binds template `nIDTemplate`; nothing is created until DoModal or Create. Without a parent
    // the application's main window owns the dialog.
    explicit CDialog(uint32_t nIDTemplate, CDialog* pParentWnd = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the window, initialises it and runs it modally. Returns the value given to
    // EndDialog, or -1 when the template does not exist or the window is already up.
    int DoModal();
    // Creates, initialises and shows the window without a modal loop; false when the template
    // does not exist or a window is already up. The window lasts until DestroyWindow.
    bool Create();
    void DestroyWindow();

    // Ends the modal loop with `nResult` once the running handler has returned; hides the window.
    void EndDialog(int nResult);

    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnTimer(uint32_t nIDEvent);
    // A system-menu command. The base handles the close request and ignores the rest.
    virtual void OnSysCommand(uint32_t nID, intptr_t lParam);

    uint32_t TemplateId() const { return m_nIDTemplate; }
    // The window while it exists, else null.
    QDialog* Window() const { return m_pWindow.get(); }
    // The element with that id while the window exists, else null.
    QWidget* GetDlgItem(int nID) const;
    // The elements in template order.
    const std::vector<DialogItem>& Items() const { return m_items; }

    // Element texts, 8-bit as the engine takes them.
    std::string GetDlgItemText(int nID) const;
    void SetDlgItemText(int nID, const char* text);

    // Starts (or restarts) timer `nIDEvent`, delivered to OnTimer on the window's thread.
    bool SetTimer(uint32_t nIDEvent, uint32_t elapseMs);
    void KillTimer(uint32_t nIDEvent);

    // The system menu of a template that has one, else null.
    CMenu* GetSystemMenu();
    // Fills `menu` with the system menu's entries; choosing one reaches OnSysCommand.
    void PopulateSystemMenu(QMenu& menu);

    // Sets the window's icon for the big (title, task switcher) or small picture; Qt keeps one
    // icon for both, scaled as needed.
    void SetIcon(const QIcon& icon, bool bBigIcon);

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
    friend class DialogWindow;

    bool CreateWindowFromTemplate();
    void InitialiseWindow();
    void OnCommand(int nID);
    void DeliverTimer(int qtTimerId);
    void ShowSystemMenu(const QPoint& globalPos);
    QWidget* OwnerWidget() const;

    uint32_t m_nIDTemplate;
    CDialog* m_pParentWnd;
    const DialogTemplate* m_pTemplate = nullptr;
    std::unique_ptr<QDialog> m_pWindow;
    std::vector<DialogItem> m_items;
    std::vector<std::pair<int, std::function<void()>>> m_commands;
    std::vector<std::pair<uint32_t, int>> m_timers;  // our id, Qt's id
    CMenu m_systemMenu;
    int m_nModalResult = 0;
    bool m_bEnded = false;  // EndDialog has run since the window was created
};

// The open-file dialog, asked through the dialog seam.
class CFileDialog {
  public:
    CFileDialog(const char* lpszDefExt, const char* lpszFileName, uint32_t dwFlags,
                const char* lpszFilter, CDialog* pParentWnd = nullptr);
    int DoModal();  // IDOK or IDCANCEL
    const std::string& GetPathName() const { return m_strPathName; }

  private:
    OpenFileRequest m_request;
    CDialog* m_pParentWnd;
    std::string m_strPathName;
};
