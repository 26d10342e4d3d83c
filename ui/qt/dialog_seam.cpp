#include "ui/qt/dialog_seam.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

namespace {

class QtDialogSeam final : public DialogSeam {
  public:
    int MessageBox(QWidget* owner, const char* text, const char* caption, uint32_t type) override {
        const QMessageBox::Icon icon =
            (type & 0x00F0) == kMbIconExclamation ? QMessageBox::Warning : QMessageBox::NoIcon;
        QMessageBox box(icon, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok,
                        owner);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return kIdMessageOk;
    }

    bool OpenFile(QWidget* owner, const OpenFileRequest& request, std::string* path) override {
        QFileDialog dialog(owner);
        ConfigureOpenFileDialog(dialog, request);
        if (dialog.exec() != QDialog::Accepted) return false;
        const QStringList chosen = dialog.selectedFiles();
        if (chosen.isEmpty()) return false;
        *path = chosen.first().toUtf8().toStdString();
        return true;
    }
};

QtDialogSeam qtSeam;
DialogSeam* currentSeam = &qtSeam;

}  // namespace

DialogSeam& CurrentDialogSeam() {
    return *currentSeam;
}

void SetDialogSeam(DialogSeam* seam) {
    currentSeam = seam != nullptr ? seam : &qtSeam;
}

QStringList QtNameFilters(const char* filter) {
    const QStringList parts = QString::fromUtf8(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& name = parts[i];
        if (name.isEmpty()) break;  // the closing "||"
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        if (patterns.isEmpty()) break;
        for (QString& pattern : patterns) {
            pattern = pattern.trimmed();
            if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
        }
        filters.append(name + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')'));
    }
    return filters;
}

void ConfigureOpenFileDialog(QFileDialog& dialog, const OpenFileRequest& request) {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode((request.flags & kOfnFileMustExist) ? QFileDialog::ExistingFile
                                                           : QFileDialog::AnyFile);
    // Qt's own dialog everywhere, so the filter reads and matches the same on every desktop;
    // the pattern part of each entry stays out of sight, the display name shows as written.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilters(QtNameFilters(request.filter));
    if (request.defaultExtension != nullptr) {
        dialog.setDefaultSuffix(QString::fromUtf8(request.defaultExtension));
    }
    if (!request.initialName.empty()) {
        dialog.selectFile(QString::fromUtf8(request.initialName.c_str()));
    }
}
