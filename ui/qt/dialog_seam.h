// The modal questions a window asks the person, behind one small interface: the message box and
// the open-file dialog. The program uses the Qt one; tests put in one that answers at once.
#pragma once

#include <QStringList>
#include <cstdint>
#include <string>

#include "ui/afx.h"

class QFileDialog;
class QWidget;

class DialogSeam {
  public:
    virtual ~DialogSeam() = default;
    // Shows `text` under `caption` (both UTF-8) over `owner` until it is dismissed; returns the
    // button that dismissed it.
    virtual int MessageBox(QWidget* owner, const char* text, const char* caption,
                           uint32_t type) = 0;
    // True with *path (UTF-8, absolute) when the person chose a file; false when cancelled.
    virtual bool OpenFile(QWidget* owner, const OpenFileRequest& request, std::string* path) = 0;
};

// The seam in use: the Qt one unless a test has put another in.
DialogSeam& CurrentDialogSeam();
// Puts `seam` in place (null puts the Qt one back). The caller keeps it alive meanwhile.
void SetDialogSeam(DialogSeam* seam);

// The filter as Qt name filters, display names kept as they stand: "Image File(*.img)|*.img||"
// becomes "Image File(*.img) (*.img)". "*.*" becomes "*", since on this system a name needs no
// dot to be a file. A malformed tail (a name without its pattern) is dropped.
QStringList QtNameFilters(const char* filter);

// Sets up Qt's own open-file dialog for `request`.
void ConfigureOpenFileDialog(QFileDialog& dialog, const OpenFileRequest& request);
