#include "ui/afx.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTimerEvent>
#include <cstdio>

namespace {

CWinApp* theApplication = nullptr;
std::function<void(CDialog&)> modalObserver;

Qt::WindowFlags WindowFlagsOf(const DialogTemplate& dialog) {
    // Only what the template asks for: a window without a system menu gets no close box.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (dialog.style & kWindowCaption) flags |= Qt::WindowTitleHint;
    if (dialog.style & kWindowSysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (dialog.style & kWindowMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (dialog.style & kWindowMaximizeBox) flags |= Qt::WindowMaximizeButtonHint;
    return flags;
}

}  // namespace

// The Qt window behind a CDialog: turns Qt's events into the dialog's handlers.
class DialogWindow final : public QDialog {
  public:
    DialogWindow(CDialog& owner, QWidget* parent, Qt::WindowFlags flags)
        : QDialog(parent, flags), m_owner(owner) {}

    // Esc and every close request (close box, Alt+F4, the window manager) arrive here.
    void reject() override { m_owner.OnCancel(); }

  protected:
    void timerEvent(QTimerEvent* event) override { m_owner.DeliverTimer(event->timerId()); }
    void contextMenuEvent(QContextMenuEvent* event) override {
        m_owner.ShowSystemMenu(event->globalPos());
    }

  private:
    CDialog& m_owner;
};

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

int AfxWinMain(int argc, char** argv) {
    QApplication application(argc, argv);
    CWinApp* app = AfxGetApp();
    if (app == nullptr) {
        std::fprintf(stderr, "%s: no application object\n", argc > 0 ? argv[0] : "quorvane");
        return 1;
    }
    if (!app->InitInstance()) return app->ExitInstance();
    QApplication::exec();
    return app->ExitInstance();
}

// ---- CMenu ------------------------------------------------------------------------------------

void CMenu::AppendMenu(uint32_t flags, uint32_t id, const char* text) {
    m_entries.push_back(Entry{flags, id, text != nullptr ? text : ""});
}

// ---- CDialog ----------------------------------------------------------------------------------

CDialog::CDialog(uint32_t nIDTemplate, CDialog* pParentWnd)
    : m_nIDTemplate(nIDTemplate),
      m_pParentWnd(pParentWnd),
      m_pTemplate(FindDialogTemplate(nIDTemplate)) {}

CDialog::~CDialog() {
    DestroyWindow();
}

void CDialog::SetModalObserver(std::function<void(CDialog&)> observer) {
    modalObserver = std::move(observer);
}

QWidget* CDialog::OwnerWidget() const {
    if (m_pParentWnd != nullptr) return m_pParentWnd->Window();
    const CWinApp* app = AfxGetApp();
    if (app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this) {
        return app->m_pMainWnd->Window();
    }
    return nullptr;
}

bool CDialog::CreateWindowFromTemplate() {
    if (m_pWindow != nullptr) {
        std::fprintf(stderr, "quorvane: dialog %u is already open\n", m_nIDTemplate);
        return false;
    }
    if (m_pTemplate == nullptr) {
        std::fprintf(stderr, "quorvane: dialog template %u does not exist\n", m_nIDTemplate);
        return false;
    }
    m_pWindow = std::make_unique<DialogWindow>(*this, OwnerWidget(), WindowFlagsOf(*m_pTemplate));
    m_pWindow->setWindowTitle(TemplateText(m_pTemplate->caption));
    m_items = BuildDialogItems(*m_pTemplate, m_pWindow.get());
    m_systemMenu = CMenu();
    m_commands.clear();
    m_nModalResult = 0;
    m_bEnded = false;

    for (const DialogItem& item : m_items) {
        auto* button = qobject_cast<QPushButton*>(item.widget);
        if (button == nullptr) continue;
        const int id = item.element->id;
        QObject::connect(button, &QPushButton::clicked, m_pWindow.get(),
                         [this, id] { OnCommand(id); });
    }
    BindMessages();
    return true;
}

void CDialog::InitialiseWindow() {
    // As a dialog does: the first tab stop gets the focus unless OnInitDialog placed it.
    if (!OnInitDialog()) return;
    for (const DialogItem& item : m_items) {
        if (item.element->style & kStyleTabStop) {
            item.widget->setFocus();
            break;
        }
    }
}

int CDialog::DoModal() {
    if (!CreateWindowFromTemplate()) return -1;
    InitialiseWindow();
    int result = m_nModalResult;
    if (!m_bEnded) {
        if (modalObserver) {
            QTimer::singleShot(0, m_pWindow.get(), [this] {
                if (modalObserver) modalObserver(*this);
            });
        }
        result = m_pWindow->exec();
    }
    DestroyWindow();
    return result;
}

bool CDialog::Create() {
    if (!CreateWindowFromTemplate()) return false;
    InitialiseWindow();
    if (!m_bEnded) m_pWindow->show();
    return true;
}

void CDialog::DestroyWindow() {
    if (m_pWindow == nullptr) return;
    for (const auto& timer : m_timers)
        m_pWindow->killTimer(timer.second);
    m_timers.clear();
    m_items.clear();
    m_commands.clear();
    m_pWindow.reset();
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEnded = true;
    if (m_pWindow != nullptr) m_pWindow->done(nResult);
}

bool CDialog::OnInitDialog() {
    FillInitialItems(m_items);
    return true;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnTimer(uint32_t) {}

void CDialog::OnSysCommand(uint32_t nID, intptr_t) {
    if ((nID & 0xFFF0) == SC_CLOSE && m_pWindow != nullptr) m_pWindow->close();
}

QWidget* CDialog::GetDlgItem(int nID) const {
    for (const DialogItem& item : m_items) {
        if (item.element->id == nID && nID != kIdNone) return item.widget;
    }
    return nullptr;
}

std::string CDialog::GetDlgItemText(int nID) const {
    QString text;
    QWidget* widget = GetDlgItem(nID);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        text = edit->text();
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        text = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        text = label->text();
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        text = combo->currentText();
    }
    return text.toLocal8Bit().toStdString();
}

void CDialog::SetDlgItemText(int nID, const char* text) {
    const QString value = QString::fromLocal8Bit(text);
    QWidget* widget = GetDlgItem(nID);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(value);
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(value);
    }
}

bool CDialog::SetTimer(uint32_t nIDEvent, uint32_t elapseMs) {
    if (m_pWindow == nullptr) return false;
    KillTimer(nIDEvent);
    const int qtId = m_pWindow->startTimer(static_cast<int>(elapseMs));
    if (qtId == 0) return false;
    m_timers.emplace_back(nIDEvent, qtId);
    return true;
}

void CDialog::KillTimer(uint32_t nIDEvent) {
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->first != nIDEvent) continue;
        if (m_pWindow != nullptr) m_pWindow->killTimer(it->second);
        m_timers.erase(it);
        return;
    }
}

void CDialog::DeliverTimer(int qtTimerId) {
    for (const auto& timer : m_timers) {
        if (timer.second == qtTimerId) {
            OnTimer(timer.first);
            return;
        }
    }
}

CMenu* CDialog::GetSystemMenu() {
    if (m_pTemplate == nullptr || (m_pTemplate->style & kWindowSysMenu) == 0) return nullptr;
    return &m_systemMenu;
}

void CDialog::PopulateSystemMenu(QMenu& menu) {
    CMenu* systemMenu = GetSystemMenu();
    if (systemMenu == nullptr) return;
    for (const CMenu::Entry& entry : systemMenu->Entries()) {
        if (entry.flags & MF_SEPARATOR) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(QString::fromLocal8Bit(entry.text.c_str()));
        action->setData(entry.id);
        const uint32_t id = entry.id;
        QObject::connect(action, &QAction::triggered, &menu, [this, id] { OnSysCommand(id, 0); });
    }
}

void CDialog::ShowSystemMenu(const QPoint& globalPos) {
    CMenu* systemMenu = GetSystemMenu();
    if (systemMenu == nullptr || systemMenu->Entries().empty() || m_pWindow == nullptr) return;
    QMenu menu(m_pWindow.get());
    PopulateSystemMenu(menu);
    menu.exec(globalPos);
}

void CDialog::SetIcon(const QIcon& icon, bool) {
    if (m_pWindow != nullptr) m_pWindow->setWindowIcon(icon);
}

int CDialog::MessageBox(const char* text, const char* caption, uint32_t type) {
    return CurrentDialogSeam().MessageBox(m_pWindow.get(), text, caption, type);
}

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

int CFileDialog::DoModal() {
    QWidget* owner = nullptr;
    if (m_pParentWnd != nullptr) {
        owner = m_pParentWnd->Window();
    } else if (AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != nullptr) {
        owner = AfxGetApp()->m_pMainWnd->Window();
    }
    return CurrentDialogSeam().OpenFile(owner, m_request, &m_strPathName) ? IDOK : IDCANCEL;
}
