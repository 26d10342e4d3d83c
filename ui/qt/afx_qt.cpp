// The framework on Qt Widgets: a CDialog is a QDialog laid out from its template by the dialog
// builder, a window handle is the QWidget itself, and the system menu becomes the window's
// context menu.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTimerEvent>
#include <algorithm>
#include <cstdio>
#include <map>

#include "ui/afx.h"
#include "ui/qt/dialog_builder.h"
#include "ui/qt/dialog_seam.h"
#include "ui/qt/qt_layer.h"

// An icon handle points at one of these.
struct HICON__ {
    QIcon icon;
};

namespace {

std::function<void(CDialog&)> modalObserver;

struct MenuEntry {
    uint32_t flags;
    uintptr_t id;
    std::string text;  // UTF-8; '&' marks the mnemonic
};

// A menu handle points at a dialog's list of system-menu entries.
std::vector<MenuEntry>* EntriesOf(HMENU menu) {
    return reinterpret_cast<std::vector<MenuEntry>*>(menu);
}

HWND ToHwnd(QWidget* widget) {
    return reinterpret_cast<HWND>(widget);
}

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

struct CDialog::LayerState {
    std::unique_ptr<QDialog> window;
    std::vector<std::pair<uint32_t, int>> timers;  // our id, Qt's id
    std::vector<MenuEntry> systemMenu;
};

// The Qt window behind a CDialog: turns Qt's events into the dialog's handlers.
class DialogWindow final : public QDialog {
  public:
    DialogWindow(CDialog& owner, QWidget* parent, Qt::WindowFlags flags)
        : QDialog(parent, flags), m_owner(owner) {}

    // Esc and every close request (close box, Alt+F4, the window manager) arrive here.
    void reject() override { m_owner.OnCancel(); }

  protected:
    void timerEvent(QTimerEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    CDialog& m_owner;
};

struct DialogLayer {
    static bool CreateWindowFromTemplate(CDialog& dialog) {
        CDialog::LayerState& state = *dialog.m_pState;
        if (state.window != nullptr) {
            std::fprintf(stderr, "quorvane: dialog %u is already open\n", dialog.m_nIDTemplate);
            return false;
        }
        if (dialog.m_pTemplate == nullptr) {
            std::fprintf(stderr, "quorvane: dialog template %u does not exist\n",
                         dialog.m_nIDTemplate);
            return false;
        }
        const CDialog* owner = dialog.Owner();
        state.window =
            std::make_unique<DialogWindow>(dialog, owner != nullptr ? QtWindow(*owner) : nullptr,
                                           WindowFlagsOf(*dialog.m_pTemplate));
        QDialog* window = state.window.get();
        window->setWindowTitle(TemplateText(dialog.m_pTemplate->caption));
        dialog.m_hWnd = ToHwnd(window);

        const std::vector<QWidget*> widgets = BuildDialogItems(*dialog.m_pTemplate, window);
        std::vector<HWND> handles;
        for (QWidget* widget : widgets)
            handles.push_back(ToHwnd(widget));
        dialog.AttachItems(handles);

        state.systemMenu.clear();
        dialog.m_systemMenu.m_hMenu = reinterpret_cast<HMENU>(&state.systemMenu);
        dialog.m_commands.clear();
        dialog.m_nModalResult = 0;
        dialog.m_bEnded = false;

        for (const DialogItem& item : dialog.m_items) {
            auto* button = qobject_cast<QPushButton*>(QtWidget(item.pWnd));
            if (button == nullptr) continue;
            const int id = item.element->id;
            QObject::connect(button, &QPushButton::clicked, window,
                             [&dialog, id] { dialog.OnCommand(id); });
        }
        dialog.BindMessages();
        return true;
    }

    static void InitialiseWindow(CDialog& dialog) {
        // As a dialog does: the first tab stop gets the focus unless OnInitDialog placed it.
        if (!dialog.OnInitDialog()) return;
        for (const DialogItem& item : dialog.m_items) {
            if (item.element->style & kStyleTabStop) {
                QtWidget(item.pWnd)->setFocus();
                break;
            }
        }
    }

    static void DeliverTimer(CDialog& dialog, int qtTimerId) {
        for (const auto& timer : dialog.m_pState->timers) {
            if (timer.second == qtTimerId) {
                dialog.OnTimer(timer.first);
                return;
            }
        }
    }

    static std::vector<MenuEntry>* SystemMenuEntries(CDialog& dialog) {
        CMenu* menu = dialog.GetSystemMenu();
        return menu != nullptr ? EntriesOf(menu->m_hMenu) : nullptr;
    }
};

void DialogWindow::timerEvent(QTimerEvent* event) {
    DialogLayer::DeliverTimer(m_owner, event->timerId());
}

void DialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    const std::vector<MenuEntry>* entries = DialogLayer::SystemMenuEntries(m_owner);
    if (entries == nullptr || entries->empty()) return;
    QMenu menu(this);
    PopulateSystemMenu(m_owner, menu);
    menu.exec(event->globalPos());
}

// ---- Handles ----------------------------------------------------------------------------------

QWidget* QtWidget(const CWnd* wnd) {
    return wnd != nullptr ? reinterpret_cast<QWidget*>(wnd->m_hWnd) : nullptr;
}

QDialog* QtWindow(const CDialog& dialog) {
    return qobject_cast<QDialog*>(QtWidget(&dialog));
}

QIcon QtIcon(HICON icon) {
    return icon != nullptr ? icon->icon : QIcon();
}

HICON LoadIcon(uint32_t nIDResource) {
    static std::map<uint32_t, HICON__> loaded;
    auto found = loaded.find(nIDResource);
    if (found == loaded.end()) {
        QIcon icon = LoadIconResource(nIDResource);
        if (icon.isNull()) return nullptr;
        found = loaded.emplace(nIDResource, HICON__{icon}).first;
    }
    return &found->second;
}

// Qt keeps file names in the locale's encoding, which for Qt 6 on Linux is UTF-8 throughout:
// every text the file box can hold is a name the engine can open.
bool AfxFileNameForEngine(const std::string& text, std::string* fileName) {
    *fileName = QFile::encodeName(QString::fromUtf8(text)).toStdString();
    return true;
}

// ---- The process ------------------------------------------------------------------------------

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

// ---- CWnd and the elements --------------------------------------------------------------------

void CWnd::SetWindowText(const char* text) {
    const QString value = QString::fromUtf8(text);
    QWidget* widget = QtWidget(this);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(value);
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(value);
    } else if (widget != nullptr && widget->isWindow()) {
        widget->setWindowTitle(value);
    }
}

std::string CWnd::GetWindowText() const {
    QString text;
    QWidget* widget = QtWidget(this);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        text = edit->text();
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        text = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        text = label->text();
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        text = combo->currentText();
    } else if (widget != nullptr && widget->isWindow()) {
        text = widget->windowTitle();
    }
    return text.toUtf8().toStdString();
}

void CWnd::SetFocus() {
    if (QWidget* widget = QtWidget(this)) widget->setFocus();
}

bool CWnd::IsWindowVisible() const {
    const QWidget* widget = QtWidget(this);
    return widget != nullptr && widget->isVisible();
}

int CComboBox::GetCount() const {
    const auto* combo = qobject_cast<QComboBox*>(QtWidget(this));
    return combo != nullptr ? combo->count() : 0;
}

int CComboBox::GetCurSel() const {
    const auto* combo = qobject_cast<QComboBox*>(QtWidget(this));
    return combo != nullptr ? combo->currentIndex() : -1;
}

int CComboBox::SetCurSel(int nSelect) {
    auto* combo = qobject_cast<QComboBox*>(QtWidget(this));
    if (combo == nullptr) return -1;
    if (nSelect < -1 || nSelect >= combo->count()) {
        combo->setCurrentIndex(-1);
        return -1;
    }
    combo->setCurrentIndex(nSelect);
    return nSelect;
}

std::string CComboBox::GetLBText(int nIndex) const {
    const auto* combo = qobject_cast<QComboBox*>(QtWidget(this));
    if (combo == nullptr || nIndex < 0 || nIndex >= combo->count()) return std::string();
    return combo->itemText(nIndex).toUtf8().toStdString();
}

int CComboBox::AddString(const char* text) {
    auto* combo = qobject_cast<QComboBox*>(QtWidget(this));
    if (combo == nullptr) return -1;
    combo->addItem(TemplateText(text));
    return combo->count() - 1;
}

void CProgressCtrl::SetRange32(int nLower, int nUpper) {
    if (auto* bar = qobject_cast<QProgressBar*>(QtWidget(this))) bar->setRange(nLower, nUpper);
}

void CProgressCtrl::GetRange(int& nLower, int& nUpper) const {
    const auto* bar = qobject_cast<QProgressBar*>(QtWidget(this));
    nLower = bar != nullptr ? bar->minimum() : 0;
    nUpper = bar != nullptr ? bar->maximum() : 0;
}

int CProgressCtrl::SetPos(int nPos) {
    auto* bar = qobject_cast<QProgressBar*>(QtWidget(this));
    if (bar == nullptr) return 0;
    const int previous = bar->value();
    // Qt ignores a value outside the range where Windows pins it to the end.
    bar->setValue(std::clamp(nPos, bar->minimum(), bar->maximum()));
    return previous;
}

int CProgressCtrl::GetPos() const {
    const auto* bar = qobject_cast<QProgressBar*>(QtWidget(this));
    return bar != nullptr ? bar->value() : 0;
}

bool CMenu::AppendMenu(uint32_t nFlags, uintptr_t nIDNewItem, const char* lpszNewItem) {
    std::vector<MenuEntry>* entries = EntriesOf(m_hMenu);
    if (entries == nullptr) return false;
    entries->push_back(
        MenuEntry{nFlags, nIDNewItem, lpszNewItem != nullptr ? lpszNewItem : std::string()});
    return true;
}

void PopulateSystemMenu(CDialog& dialog, QMenu& menu) {
    const std::vector<MenuEntry>* entries = DialogLayer::SystemMenuEntries(dialog);
    if (entries == nullptr) return;
    for (const MenuEntry& entry : *entries) {
        if (entry.flags & MF_SEPARATOR) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(QString::fromUtf8(entry.text.c_str()));
        action->setData(QVariant::fromValue<qulonglong>(entry.id));
        const uint32_t id = uint32_t(entry.id);
        QObject::connect(action, &QAction::triggered, &menu,
                         [&dialog, id] { dialog.OnSysCommand(id, 0); });
    }
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
    if (!DialogLayer::CreateWindowFromTemplate(*this)) return -1;
    DialogLayer::InitialiseWindow(*this);
    int result = m_nModalResult;
    if (!m_bEnded) {
        QDialog* window = m_pState->window.get();
        if (modalObserver) {
            QTimer::singleShot(0, window, [this] {
                if (modalObserver) modalObserver(*this);
            });
        }
        result = window->exec();
    }
    DestroyWindow();
    return result;
}

bool CDialog::Create() {
    if (!DialogLayer::CreateWindowFromTemplate(*this)) return false;
    DialogLayer::InitialiseWindow(*this);
    if (!m_bEnded) m_pState->window->show();
    return true;
}

void CDialog::DestroyWindow() {
    QDialog* window = m_pState->window.get();
    if (window == nullptr) return;
    for (const auto& timer : m_pState->timers)
        window->killTimer(timer.second);
    m_pState->timers.clear();
    DetachItems();
    m_commands.clear();
    m_systemMenu.m_hMenu = nullptr;
    m_hWnd = nullptr;
    m_pState->window.reset();
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEnded = true;
    if (QDialog* window = m_pState->window.get()) window->done(nResult);
}

void CDialog::OnSysCommand(uint32_t nID, intptr_t) {
    // No other system command reaches a window here: the window manager keeps its own menu.
    if ((nID & 0xFFF0) == SC_CLOSE && m_pState->window != nullptr) m_pState->window->close();
}

bool CDialog::SetTimer(uint32_t nIDEvent, uint32_t elapseMs) {
    QDialog* window = m_pState->window.get();
    if (window == nullptr) return false;
    KillTimer(nIDEvent);
    const int qtId = window->startTimer(static_cast<int>(elapseMs));
    if (qtId == 0) return false;
    m_pState->timers.emplace_back(nIDEvent, qtId);
    return true;
}

void CDialog::KillTimer(uint32_t nIDEvent) {
    auto& timers = m_pState->timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->first != nIDEvent) continue;
        if (m_pState->window != nullptr) m_pState->window->killTimer(it->second);
        timers.erase(it);
        return;
    }
}

CMenu* CDialog::GetSystemMenu() {
    if (m_pTemplate == nullptr || (m_pTemplate->style & kWindowSysMenu) == 0) return nullptr;
    if (m_systemMenu.m_hMenu == nullptr) return nullptr;
    return &m_systemMenu;
}

void CDialog::SetIcon(HICON hIcon, bool) {
    // Qt keeps one icon for both sizes and scales it as needed.
    if (m_pState->window != nullptr) m_pState->window->setWindowIcon(QtIcon(hIcon));
}

int CDialog::MessageBox(const char* text, const char* caption, uint32_t type) {
    return CurrentDialogSeam().MessageBox(m_pState->window.get(), text, caption, type);
}

// ---- CFileDialog ------------------------------------------------------------------------------

int CFileDialog::DoModal() {
    const CDialog* owner = Owner();
    return CurrentDialogSeam().OpenFile(owner != nullptr ? QtWindow(*owner) : nullptr, m_request,
                                        &m_strPathName)
               ? IDOK
               : IDCANCEL;
}
