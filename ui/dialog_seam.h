// The modal questions a window asks the person, behind one small interface: the message box and
// the open-file dialog. The program uses the Qt one; tests put in one that answers at once.
#pragma once

#include <QStringList>
#include <cstdint>
#include <string>

class QFileDialog;
class QWidget;

// Message-box types and answers.
constexpr uint32_t kMbOk = 0x0000;               // one OK button
constexpr uint32_t kMbIconExclamation = 0x0030;  // the warning icon
constexpr int kIdMessageOk = 1;

// Open-file dialog flags.
constexpr uint32_t kOfnReadOnly = 0x0001;       // "open read-only" ticked (when shown)
constexpr uint32_t kOfnHideReadOnly = 0x0004;   // no "open read-only" box
constexpr uint32_t kOfnFileMustExist = 0x1000;  // only an existing file is accepted

struct OpenFileRequest {
    const char* defaultExtension = nullptr;  // null: none
    std::string initialName;                 // 8-bit, as the file box held it
    uint32_t flags = 0;
    // Display names and patterns in pairs, each followed by '|', the list closed by another '|':
    // "Text(*.txt)|*.txt|All(*.*)|*.*||". Several patterns of one entry are separated by ';'.
    const char* filter = "";
};

class DialogSeam {
  public:
    virtual ~DialogSeam() = default;
    // Shows `text` under `caption` (both 8-bit) over `owner` until it is dismissed; returns the
    // button that dismissed it.
    virtual int MessageBox(QWidget* owner, const char* text, const char* caption,
                           uint32_t type) = 0;
    // True with *path (8-bit, absolute) when the person chose a file; false when cancelled.
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
