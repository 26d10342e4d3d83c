// quorvane-screenshot-tour: walks the desktop windows through the states the README shows and
// saves a picture of each, frame included: the main window, the About box, the progress window
// in the middle of a transfer and the progress window after a failed transfer. Run by
// scripts/screenshots under Xvfb, against simulated devices on COM1 (healthy) and another port
// (one that gives up during the transfer).
//
// usage: quorvane-screenshot-tour OUT_DIR IMAGE FAILING_PORT_INDEX

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/update_job.h"
#include "ui/main_dialog.h"
#include "ui/qt/qt_layer.h"

namespace {

constexpr int kTransferTimeoutMs = 120000;
bool failed = false;

void Fail(const char* what) {
    std::fprintf(stderr, "quorvane-screenshot-tour: %s\n", what);
    failed = true;
}

// Saves the window with the frame the window manager gave it (none without one).
void Shoot(QWidget* window, const QString& path) {
    if (!QTest::qWaitForWindowExposed(window)) Fail("a window never appeared");
    // A window manager frames the window and then activates it; without one neither happens,
    // and the waits below just run out.
    // The platform window's own idea of its frame: the widget's copy can lag behind.
    auto frameOf = [&] { return window->windowHandle()->frameGeometry(); };
    const bool framed = QTest::qWaitFor([&] { return frameOf() != window->geometry(); }, 3000);
    const bool active = QTest::qWaitForWindowActive(window, 3000);
    if (!framed || !active) {
        std::fprintf(stderr, "%s: framed %d active %d frame %d,%d %dx%d\n", qPrintable(path),
                     framed, active, frameOf().x(), frameOf().y(), frameOf().width(),
                     frameOf().height());
    }
    // Time for the frame to be drawn active and for Qt to paint the last texts.
    QTest::qWait(400);
    const QRect frame = frameOf();
    const QPixmap shot =
        window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || !shot.save(path)) Fail(qPrintable("could not save " + path));
    std::printf("%s: %dx%d, client %dx%d\n", qPrintable(path), frame.width(), frame.height(),
                window->width(), window->height());
}

QProgressBar* Bar(CDialog& progress) {
    return qobject_cast<QProgressBar*>(QtDlgItem(progress, kIdcProgressBar));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT_DIR IMAGE FAILING_PORT_INDEX\n", argv[0]);
        return 64;
    }
    QApplication application(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString image = QString::fromLocal8Bit(argv[2]);
    const int failingPort = std::atoi(argv[3]);

    CWinApp app;
    CMainDialog main;
    app.m_pMainWnd = &main;
    if (!main.Create()) return 1;
    auto* fileBox = qobject_cast<QLineEdit*>(QtDlgItem(main, kIdcFileName));
    auto* ports = qobject_cast<QComboBox*>(QtDlgItem(main, kIdcPortList));
    auto* start = qobject_cast<QPushButton*>(QtDlgItem(main, kIdOk));
    fileBox->setText(image);
    fileBox->setFocus();
    Shoot(QtWindow(main), out + "/main-window.png");

    CDialog::SetModalObserver([&](CDialog& about) {
        Shoot(QtWindow(about), out + "/about-box.png");
        about.EndDialog(IDOK);
    });
    main.OnSysCommand(IDM_ABOUTBOX, 0);

    // Into the healthy device: shot at about a third of the image, then Cancel.
    CDialog::SetModalObserver([&](CDialog& progress) {
        const bool midway = QTest::qWaitFor(
            [&] {
                return Bar(progress)->value() * 3 >= Bar(progress)->maximum() &&
                       Bar(progress)->maximum() > 100;
            },
            kTransferTimeoutMs);
        if (!midway) Fail("the transfer never got a third of the way");
        Shoot(QtWindow(progress), out + "/progress-window.png");
        QTest::keyClick(QtWindow(progress)->focusWidget(), Qt::Key_Escape);
        if (!QTest::qWaitFor([&] { return !QtWindow(progress)->isVisible(); }, 10000)) {
            Fail("the progress window did not close after Cancel");
            progress.EndDialog(IDCANCEL);
        }
    });
    ports->setCurrentIndex(0);
    start->click();

    // Into the device that gives up during the transfer: shot of the error, then Close.
    CDialog::SetModalObserver([&](CDialog& progress) {
        if (!QTest::qWaitFor([&] { return progress.GetDlgItemText(kIdCancel) == "Close"; },
                             kTransferTimeoutMs)) {
            Fail("the failing transfer never ended");
            updateJob.cancelRequested.store(true);
        }
        Shoot(QtWindow(progress), out + "/progress-error.png");
        QTest::keyClick(QtWindow(progress)->focusWidget(), Qt::Key_Return);
        if (QtWindow(progress)->isVisible()) progress.EndDialog(IDCANCEL);
    });
    ports->setCurrentIndex(failingPort);
    start->click();

    CDialog::SetModalObserver(nullptr);
    app.m_pMainWnd = nullptr;
    return failed ? 1 : 0;
}
