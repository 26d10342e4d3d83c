// Whole updates from the main window, as a person runs them: the simulated device on a real
// pseudo-terminal, reached through the COM1 alias in a private config folder; then failures that
// leave the progress window open with its error, and a cancel in the middle of the transfer.

#include <unistd.h>

#include <gtest/gtest.h>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_job.h"
#include "platform/platform.h"
#include "sim/sim_device.h"
#include "tests/gui/gui_support.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"
#include "ui/main_dialog.h"

namespace {

namespace fs = std::filesystem;

constexpr char kTransferring[] = "Transferring Image File...";
constexpr char kUpdating[] = "Updating Image File...";

// Holds the device's thread until the test opens it (or ten seconds pass), so a transfer that a
// fast machine would finish between two ticks is seen by the window.
class Gate {
  public:
    void Hold() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_open; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

// What the progress window showed over its life, sampled as fast as events allow.
struct ProgressLog {
    struct Snapshot {
        std::string stage, result, size, time, button;
        int barMax = 0, barValue = 0;
    };

    static Snapshot Take(CDialog& progress) {
        Snapshot shot{progress.GetDlgItemText(kIdcStageLine),
                      progress.GetDlgItemText(kIdcResultLine),
                      progress.GetDlgItemText(kIdcSizeLine), progress.GetDlgItemText(kIdcTimeLine),
                      progress.GetDlgItemText(kIdCancel)};
        if (auto* bar = qobject_cast<QProgressBar*>(QtDlgItem(progress, kIdcProgressBar))) {
            shot.barMax = bar->maximum();
            shot.barValue = bar->value();
        }
        return shot;
    }

    // Records the window from the moment it is up until it closes by itself; `onTransfer` runs
    // once the window shows the transfer.
    void Follow(CDialog& progress, const std::function<void()>& onTransfer = {}) {
        first = Take(progress);
        focusOnButton = QtWindow(progress)->focusWidget() == QtDlgItem(progress, kIdCancel);
        owner = QtWindow(progress)->parentWidget();
        closeBox = QtWindow(progress)->windowFlags() & Qt::WindowCloseButtonHint;
        closedByItself = WaitUntil([&] {
            const Snapshot shot = Take(progress);
            if (stages.empty() || stages.back() != shot.stage) stages.push_back(shot.stage);
            if (shot.stage == kTransferring && !sawTransfer) {
                sawTransfer = true;
                atTransfer = shot;
                if (onTransfer) onTransfer();
            }
            if (shot.stage == kUpdating && !sawUpdating) {
                sawUpdating = true;
                atUpdating = shot;
            }
            last = shot;
            return !QtWindow(progress)->isVisible();
        });
        if (!closedByItself) progress.EndDialog(IDCANCEL);
        result = QtWindow(progress)->result();
    }

    Snapshot first, atTransfer, atUpdating, last;
    std::vector<std::string> stages;
    bool sawTransfer = false;
    bool sawUpdating = false;
    bool focusOnButton = false;
    bool closeBox = true;
    bool closedByItself = false;
    QWidget* owner = nullptr;
    int result = 0;
};

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        ASSERT_TRUE(main.Create());
        app.m_pMainWnd = &main;
        QtWindow(main)->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(QtWindow(main)));
    }
    void TearDown() override { app.m_pMainWnd = nullptr; }

    void StartDevice(sim::DeviceConfig config, const char* port) {
        device = std::make_unique<sim::Device>(std::move(config));
        std::string error;
        ASSERT_TRUE(device->Start(&error)) << error;
        ASSERT_TRUE(device->LinkAs(port, &error)) << error;
    }

    QLineEdit* FileBox() { return qobject_cast<QLineEdit*>(QtDlgItem(main, kIdcFileName)); }
    QComboBox* Ports() { return qobject_cast<QComboBox*>(QtDlgItem(main, kIdcPortList)); }
    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(QtDlgItem(main, id)); }
    QWidget* Focus() { return QtWindow(main)->focusWidget(); }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.File("config")};
    CWinApp app;
    CMainDialog main;
    std::unique_ptr<sim::Device> device;
};

TEST_F(UpdateRun, TwoUpdatesInARowThroughCom1EachCloseWithOkAndLeaveTheFocusOnEnd) {
    // The device answers the announcement only once the window shows the transfer, and takes
    // its time writing the image, so every stage is seen.
    auto gate = std::make_shared<Gate>();
    sim::DeviceConfig device_config;
    device_config.verdictDelayMs = 300;
    device_config.onEvent = [gate](const sim::Event& event) {
        if (event.kind == sim::EventKind::UpdateAnnounced) gate->Hold();
    };
    StartDevice(device_config, "COM1");
    const std::string bytes = PatternBytes(24000, 5);
    const std::string image = dir.Write("board image.img", bytes);
    FileBox()->setText(QString::fromLocal8Bit(image.c_str()));

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Button(kIdOk)->setFocus();
        ModalScript script;
        ProgressLog log;
        gate->Close();
        script.Then(kIddProgress,
                    [&](CDialog& progress) { log.Follow(progress, [&] { gate->Open(); }); });
        // Enter presses the default button the first time, a click the second.
        if (run == 1) {
            QTest::keyClick(FileBox(), Qt::Key_Return);
        } else {
            QTest::mouseClick(Button(kIdOk), Qt::LeftButton);
        }

        ASSERT_TRUE(log.closedByItself);
        EXPECT_EQ(log.result, IDOK);
        EXPECT_EQ(Focus(), Button(kIdCancel)) << "after success the focus is on End";
        EXPECT_EQ(log.owner, QtWindow(main));
        EXPECT_FALSE(log.closeBox);
        EXPECT_TRUE(log.focusOnButton);

        // Before the first tick: the template's texts.
        EXPECT_EQ(log.first.stage, "Idle");
        EXPECT_EQ(log.first.result, "");
        EXPECT_EQ(log.first.size, "Transfer Size 0 / 0 Bytes");
        EXPECT_EQ(log.first.time, "Elapsed  0 sec / Remain  0 sec");
        EXPECT_EQ(log.first.button, "Cancel");
        EXPECT_EQ(log.first.barMax, 100);
        EXPECT_EQ(log.first.barValue, 0);

        // The stages come in order; the transfer's final figures are up once it has ended.
        const std::vector<std::string> order = {"Idle",
                                                "Checking Image File...",
                                                "Connecting to Target...",
                                                kTransferring,
                                                kUpdating,
                                                "Update End"};
        size_t at = 0;
        for (const std::string& stage : log.stages) {
            while (at < order.size() && order[at] != stage)
                ++at;
            ASSERT_LT(at, order.size()) << "out of order: " << stage;
        }
        ASSERT_TRUE(log.sawTransfer);
        EXPECT_EQ(log.atTransfer.barMax, 24000) << "the bar's range is the image size";
        ASSERT_TRUE(log.sawUpdating);
        EXPECT_EQ(log.atUpdating.size, "Transfer Size 24000 / 24000 Bytes");
        EXPECT_TRUE(QRegularExpression("^Elapse +[0-9]+ sec / Remain  0 sec$")
                        .match(QString::fromStdString(log.atUpdating.time))
                        .hasMatch())
            << log.atUpdating.time;
        EXPECT_EQ(log.atUpdating.barMax, 24000);
        EXPECT_EQ(log.atUpdating.barValue, 24000);
        EXPECT_EQ(log.last.result, "");

        ASSERT_TRUE(device->WaitForUpdates(run, 5000));
        const std::vector<uint8_t> received = device->Received();
        EXPECT_TRUE(std::string(received.begin(), received.end()) == bytes)
            << "the device holds " << received.size() << " bytes, not the image";
        // The window keeps what the person entered.
        EXPECT_EQ(Utf8(FileBox()->text()), image);
        EXPECT_EQ(Ports()->currentIndex(), 0);
        EXPECT_EQ(updateJob.portIndex, 0);
    }
}

enum class CloseBy { Button, Esc, Enter };

struct FailedCase {
    const char* name;
    const char* fileName;  // null: a real image
    int portIndex;
    CloseBy closeBy;
    const char* resultLine;
    const char* stageLine;
};

void PrintTo(const FailedCase& c, std::ostream* out) {
    *out << c.name;
}

class FailedRun : public UpdateRun, public ::testing::WithParamInterface<FailedCase> {};

TEST_P(FailedRun, ShowsTheErrorWithCloseUntilThePersonClosesIt) {
    const FailedCase& c = GetParam();
    // COM12 leads to a plain file, which is no terminal.
    char alias[4096];
    ASSERT_TRUE(PortAliasPath("COM12", alias, sizeof alias));
    fs::create_directories(fs::path(alias).parent_path());
    fs::create_symlink(dir.Write("not-a-port", "x"), alias);
    const std::string image = dir.Write("board.img", PatternBytes(4096, 7));
    FileBox()->setText(QString::fromLocal8Bit(c.fileName != nullptr ? c.fileName : image.c_str()));
    Ports()->setCurrentIndex(c.portIndex);
    Button(kIdOk)->setFocus();

    ModalScript script;
    ProgressLog::Snapshot shown;
    bool stayedOpen = false;
    int result = 0;
    script.Then(kIddProgress, [&](CDialog& progress) {
        QDialog* window = QtWindow(progress);
        stayedOpen = WaitUntil([&] { return progress.GetDlgItemText(kIdCancel) == "Close"; }) &&
                     window->isVisible();
        shown = ProgressLog::Take(progress);
        switch (c.closeBy) {
            case CloseBy::Button:
                QTest::mouseClick(qobject_cast<QPushButton*>(QtDlgItem(progress, kIdCancel)),
                                  Qt::LeftButton);
                break;
            case CloseBy::Esc:
                QTest::keyClick(window->focusWidget(), Qt::Key_Escape);
                break;
            case CloseBy::Enter:
                QTest::keyClick(window->focusWidget(), Qt::Key_Return);
                break;
        }
        EXPECT_FALSE(window->isVisible());
        if (window->isVisible()) progress.EndDialog(IDCANCEL);
        result = window->result();
    });
    Button(kIdOk)->click();

    EXPECT_EQ(script.Opened(), std::vector<uint32_t>{kIddProgress}) << "the job ran";
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(shown.result, c.resultLine);
    EXPECT_EQ(shown.stage, c.stageLine);
    EXPECT_EQ(shown.button, "Close");
    EXPECT_EQ(shown.size, "Transfer Size 0 / 0 Bytes") << "no transfer was shown";
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(updateJob.portIndex, c.portIndex);
    EXPECT_NE(Focus(), Button(kIdCancel)) << "only a success moves the focus to End";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedRun,
    ::testing::Values(FailedCase{"SpacesOnlyClosedByTheButton", "   ", 0, CloseBy::Button,
                                 "Image File Is Invalid", "Checking Image File..."},
                      FailedCase{"SpacesOnlyClosedByEsc", "   ", 0, CloseBy::Esc,
                                 "Image File Is Invalid", "Checking Image File..."},
                      FailedCase{"SpacesOnlyClosedByEnter", "   ", 0, CloseBy::Enter,
                                 "Image File Is Invalid", "Checking Image File..."},
                      FailedCase{"Com12IsNoTerminal", nullptr, 11, CloseBy::Esc,
                                 "Serial Port I/O Error", "Connecting to Target..."}),
    [](const auto& info) { return std::string(info.param.name); });

// A device whose line goes dead mid-transfer (an adapter pulled out) ends the job by itself about
// a second later, and the window shows the port error until it is closed.
TEST_F(UpdateRun, UnpluggedDeviceShowsAPortErrorUntilClosed) {
    sim::DeviceConfig device_config;
    device_config.vanishAfterBlocks = 2;
    StartDevice(device_config, "COM1");
    FileBox()->setText(QString::fromStdString(dir.Write("big.img", PatternBytes(65536, 4))));
    Button(kIdOk)->setFocus();

    ModalScript script;
    ProgressLog::Snapshot shown;
    bool stayedOpen = false;
    int result = 0;
    script.Then(kIddProgress, [&](CDialog& progress) {
        QDialog* window = QtWindow(progress);
        stayedOpen = WaitUntil([&] { return progress.GetDlgItemText(kIdCancel) == "Close"; }) &&
                     window->isVisible();
        shown = ProgressLog::Take(progress);
        QTest::mouseClick(qobject_cast<QPushButton*>(QtDlgItem(progress, kIdCancel)),
                          Qt::LeftButton);
        if (window->isVisible()) progress.EndDialog(IDCANCEL);
        result = window->result();
    });
    Button(kIdOk)->click();

    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(shown.result, "Serial Port I/O Error");
    EXPECT_EQ(shown.stage, kTransferring);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(device->BlocksAccepted(), 2);
}

enum class CancelBy { Button, Esc, CloseRequest };

const char* NameOf(CancelBy way) {
    switch (way) {
        case CancelBy::Button:
            return "Button";
        case CancelBy::Esc:
            return "Esc";
        case CancelBy::CloseRequest:
            return "CloseRequest";
    }
    return "";
}

void PrintTo(CancelBy way, std::ostream* out) {
    *out << NameOf(way);
}

class CancelledRun : public UpdateRun, public ::testing::WithParamInterface<CancelBy> {};

TEST_P(CancelledRun, OnlyAsksTheJobToStopAndClosesOnceItHas) {
    sim::DeviceConfig device_config;
    device_config.stallAfterBlocks = 2;  // the transfer hangs with 2 KiB acknowledged
    StartDevice(device_config, "COM1");
    FileBox()->setText(QString::fromStdString(dir.Write("big.img", PatternBytes(65536, 9))));
    Button(kIdOk)->setFocus();

    ModalScript script;
    ProgressLog::Snapshot afterCancel;
    bool openAfterCancel = false;
    bool closedByItself = false;
    int result = 0;
    script.Then(kIddProgress, [&](CDialog& progress) {
        QDialog* window = QtWindow(progress);
        auto* bar = qobject_cast<QProgressBar*>(QtDlgItem(progress, kIdcProgressBar));
        ASSERT_TRUE(WaitUntil([&] {
            return progress.GetDlgItemText(kIdcStageLine) == kTransferring && bar->value() >= 2048;
        }));
        for (int press = 0; press < 2; ++press) {  // a second press changes nothing
            switch (GetParam()) {
                case CancelBy::Button:
                    QTest::mouseClick(qobject_cast<QPushButton*>(QtDlgItem(progress, kIdCancel)),
                                      Qt::LeftButton);
                    break;
                case CancelBy::Esc:
                    QTest::keyClick(window->focusWidget(), Qt::Key_Escape);
                    break;
                case CancelBy::CloseRequest:
                    window->close();
                    break;
            }
            openAfterCancel = window->isVisible();
            afterCancel = ProgressLog::Take(progress);
        }
        closedByItself = WaitUntil([&] { return !window->isVisible(); });
        if (!closedByItself) progress.EndDialog(IDCANCEL);
        result = window->result();
    });
    Button(kIdOk)->click();

    EXPECT_TRUE(openAfterCancel) << "the window cannot close while the job runs";
    EXPECT_EQ(afterCancel.button, "Cancel");
    EXPECT_EQ(afterCancel.result, "");
    EXPECT_TRUE(closedByItself);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_NE(Focus(), Button(kIdCancel));
    // The job has written its CAN CAN before it ended; the device may still be reading them.
    std::string sent;
    const auto lastTwo = [&] {
        sent = device->HostBytes();
        return sent.substr(sent.size() >= 2 ? sent.size() - 2 : 0);
    };
    WaitUntil([&] { return lastTwo() == wire::Bytes(wire::kCan, 2); });
    EXPECT_EQ(lastTwo(), wire::Bytes(wire::kCan, 2)) << "the job tells the device it gave up";
    EXPECT_EQ(device->UpdatesCompleted(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, CancelledRun,
                         ::testing::Values(CancelBy::Button, CancelBy::Esc, CancelBy::CloseRequest),
                         [](const auto& info) { return std::string(NameOf(info.param)); });

}  // namespace
