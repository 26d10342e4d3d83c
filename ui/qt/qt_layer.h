// What the Qt layer puts behind the framework's handles, for the few callers that need Qt's own
// objects: the tests, which drive the windows through Qt, and the screenshot tour.
#pragma once

#include <QIcon>
#include <cstdint>
#include <string>

#include "ui/afx.h"

class QDialog;
class QMenu;
class QWidget;

// The widget behind a window or element; null for null.
QWidget* QtWidget(const CWnd* wnd);
// The widget of the dialog's element with that id while the window exists, else null.
inline QWidget* QtDlgItem(const CDialog& dialog, int nID) {
    return QtWidget(dialog.GetDlgItem(nID));
}
// The dialog's window while it exists, else null.
QDialog* QtWindow(const CDialog& dialog);
// The picture behind an icon handle; empty for null.
QIcon QtIcon(HICON icon);

// Linux has no window-manager menu that an application can extend, so a dialog's system-menu
// entries are offered as its context menu. Fills `menu` with them; choosing one reaches
// OnSysCommand.
void PopulateSystemMenu(CDialog& dialog, QMenu& menu);
