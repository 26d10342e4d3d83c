// The main window's handlers: "Start" with an empty name, the "..." browser, the About entry and
// its command ids, and the keys that end the window.

#include <gtest/gtest.h>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <string>

#include "engine/update_job.h"
#include "tests/gui/gui_support.h"
#include "ui/main_dialog.h"

namespace {

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(main.Create());
        app.m_pMainWnd = &main;
        QtWindow(main)->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(QtWindow(main)));
    }
    void TearDown() override { app.m_pMainWnd = nullptr; }

    QLineEdit* FileBox() { return qobject_cast<QLineEdit*>(QtDlgItem(main, kIdcFileName)); }
    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(QtDlgItem(main, id)); }
    QWidget* Focus() { return QtWindow(main)->focusWidget(); }

    CWinApp app;
    CMainDialog main;
    TestSeam seam;
};

TEST_F(MainWindow, StartWithAnEmptyNameOnlyShowsTheMessageBox) {
    ModalScript script;  // no window may open
    updateJob.imagePath = nullptr;
    // Enter in the file box presses the default button, "Start".
    QTest::keyClick(FileBox(), Qt::Key_Return);

    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0].text, "File name can not be empty!");
    EXPECT_EQ(seam.messages[0].caption, "Error");
    EXPECT_EQ(seam.messages[0].type, kMbOk | kMbIconExclamation);
    EXPECT_EQ(seam.messages[0].owner, QtWindow(main));
    EXPECT_TRUE(script.Opened().empty());
    EXPECT_EQ(updateJob.imagePath, nullptr);
    EXPECT_TRUE(QtWindow(main)->isVisible()) << "the main window stays";
}

TEST_F(MainWindow, BrowseAsksForAnExistingImageAndPutsTheChoiceInTheFileBox) {
    FileBox()->setText("old name.img");
    seam.fileAnswers = {std::string("/images/chosen one.img"), std::nullopt};

    struct Case {
        const char* boxBefore;
        const char* boxAfter;
    } const kCases[] = {
        {"old name.img", "/images/chosen one.img"},            // OK: the full path
        {"/images/chosen one.img", "/images/chosen one.img"},  // Cancel: unchanged
    };
    for (const Case& c : kCases) {
        Button(kIdOk)->setFocus();
        Button(kIdcBrowse)->click();
        EXPECT_EQ(Utf8(FileBox()->text()), c.boxAfter);
        EXPECT_EQ(Focus(), FileBox()) << "the focus goes back to the file box";
        ASSERT_FALSE(seam.fileRequests.empty());
        const TestSeam::FileRequest& asked = seam.fileRequests.back();
        EXPECT_EQ(asked.initialName, c.boxBefore);
        EXPECT_EQ(asked.defaultExtension, nullptr);
        EXPECT_EQ(asked.flags, 0x1005u);
        EXPECT_EQ(asked.filter, "Image File(*.img)|*.img|(All Files(*.*)|*.*||");
        EXPECT_EQ(asked.owner, QtWindow(main));
    }
    EXPECT_EQ(seam.fileRequests.size(), 2u);
}

TEST_F(MainWindow, SystemCommands16To31OpenTheAboutBoxAndOthersDoNot) {
    struct Case {
        uint32_t command;
        bool opensAbout;
        Qt::Key closeKey;
    } const kCases[] = {
        {16, true, Qt::Key_Return},   {31, true, Qt::Key_Escape},    {32, false, Qt::Key_unknown},
        {15, false, Qt::Key_unknown}, {0x0019, true, Qt::Key_Enter},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.command);
        ModalScript script;
        int closedWith = 0;
        if (c.opensAbout) {
            script.Then(kIddAbout, [&](CDialog& about) {
                EXPECT_EQ(QtWindow(about)->parentWidget(), QtWindow(main)) << "owned by the main";
                const QPoint offset =
                    QtWindow(about)->geometry().center() - QtWindow(main)->geometry().center();
                EXPECT_LE(offset.manhattanLength(), 2) << "centred over the main window";
                EXPECT_EQ(QtWindow(about)->focusWidget(), QtDlgItem(about, kIdOk));
                QTest::keyClick(QtWindow(about)->focusWidget(), c.closeKey);
                closedWith = QtWindow(about)->result();
                EXPECT_FALSE(QtWindow(about)->isVisible());
            });
        }
        main.OnSysCommand(c.command, 0);
        EXPECT_EQ(script.Opened().size(), c.opensAbout ? 1u : 0u);
        if (c.opensAbout) {
            EXPECT_EQ(closedWith, c.closeKey == Qt::Key_Escape ? IDCANCEL : IDOK);
        }
    }
}

TEST_F(MainWindow, ContextMenuCarriesTheAboutEntryWithCommand16) {
    QMenu menu;
    PopulateSystemMenu(main, menu);
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(Utf8(actions[1]->text()), "&About Tarnelo");
    EXPECT_EQ(actions[1]->data().toUInt(), 16u);

    ModalScript script;
    script.Then(kIddAbout, [](CDialog& about) { about.EndDialog(IDOK); });
    actions[1]->trigger();
    EXPECT_EQ(script.Opened(), std::vector<uint32_t>{kIddAbout});
}

TEST(MainWindowModal, EscAndTheCloseBoxEndTheWindowWithCancel) {
    const struct {
        const char* how;
        std::function<void(CDialog&)> close;
    } kCases[] = {
        {"Esc", [](CDialog& d) { QTest::keyClick(QtWindow(d)->focusWidget(), Qt::Key_Escape); }},
        {"close box", [](CDialog& d) { QtWindow(d)->close(); }},
        {"End", [](CDialog& d) { qobject_cast<QPushButton*>(QtDlgItem(d, kIdCancel))->click(); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.how);
        CWinApp app;
        CMainDialog main;
        app.m_pMainWnd = &main;
        ModalScript script;
        script.Then(kIddMain, [&](CDialog& d) {
            EXPECT_EQ(QtWindow(d)->focusWidget(), QtDlgItem(d, kIdOk)) << "Start has the focus";
            c.close(d);
        });
        EXPECT_EQ(main.DoModal(), IDCANCEL);
        EXPECT_EQ(QtWindow(main), nullptr) << "the window is gone once DoModal returns";
    }
}

}  // namespace
