// The windows as built from their templates, against the design's element tables written out
// here: ids, kinds, texts, order, positions in dialog units converted from the window's own font,
// tab order, captions, fonts and frames.

#include <gtest/gtest.h>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <string>
#include <vector>

#include "tests/gui/gui_support.h"
#include "ui/about_dialog.h"
#include "ui/main_dialog.h"
#include "ui/presenter.h"

namespace {

enum class Kind { Button, DefaultButton, Edit, Label, Icon, Combo, Bar };

struct Element {
    int id;
    Kind kind;
    const char* text;
    int x, y, cx, cy;
};

struct Window {
    const char* name;
    uint32_t templateId;
    const char* caption;
    const char* family;  // the installed face the template's font must resolve to
    int cx, cy;
    bool closeBox;
    std::vector<Element> elements;  // in template order
    std::vector<int> tabOrder;      // ids, from the first tab stop
};

const Window kWindows[] = {
    {"main",
     102,
     "Quorvane",
     "Liberation Sans",
     183,
     97,
     true,
     {
         {1, Kind::DefaultButton, "Start", 34, 75, 47, 14},
         {2, Kind::Button, "End", 110, 75, 47, 14},
         {1002, Kind::Edit, "", 35, 44, 118, 12},
         {1003, Kind::Button, "...", 155, 44, 13, 11},
         {-1, Kind::Label, " Port :", 11, 14, 24, 16},
         {1000, Kind::Combo, "COM1", 35, 16, 133, 79},
         {-1, Kind::Label, " File :", 11, 46, 22, 8},
     },
     {1, 2, 1002, 1003, 1000}},
    {"about",
     100,
     "Abuot Tarnelo",
     "WenQuanYi Micro Hei",
     235,
     55,
     true,
     {
         {-1, Kind::Icon, "", 11, 17, 20, 20},
         {-1, Kind::Label, "Quorvane  2.0", 40, 10, 119, 8},
         {-1, Kind::Label, nullptr, 40, 30, 119, 8},  // our own notice line
         {1, Kind::DefaultButton, "确定", 178, 7, 50, 14},
     },
     {1}},
    {"progress",
     130,
     "Updating ...",
     "Liberation Sans",
     181,
     99,
     false,
     {
         {1006, Kind::Bar, "", 9, 45, 156, 11},
         {1007, Kind::Label, "Elapsed  0 sec / Remain  0 sec", 36, 60, 125, 8},
         {1008, Kind::Label, "Idle", 25, 4, 125, 10},
         {2, Kind::DefaultButton, "Cancel", 76, 80, 50, 14},
         {1010, Kind::Label, "Transfer Size 0 / 0 Bytes", 12, 33, 125, 9},
         {1011, Kind::Label, "", 24, 18, 125, 10},
     },
     {2}},
};

// Dialog units to pixels, worked out here from the font as Windows does, independently of the
// builder: the average of the 52 letters and the font height, then x * bx / 4 and y * by / 8.
struct Units {
    int bx, by;
    explicit Units(const QFont& font) {
        const QFontMetrics metrics(font);
        const int letters = metrics.horizontalAdvance(
            QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
        bx = (letters / 26 + 1) / 2;
        by = metrics.height();
    }
    int X(int units) const { return (units * bx + 2) / 4; }
    int Y(int units) const { return (units * by + 4) / 8; }
};

void PrintTo(const Window& window, std::ostream* out) {
    *out << window.name;
}

bool IsKind(QWidget* widget, Kind kind) {
    switch (kind) {
        case Kind::Button:
        case Kind::DefaultButton: {
            auto* button = qobject_cast<QPushButton*>(widget);
            return button != nullptr && button->isDefault() == (kind == Kind::DefaultButton);
        }
        case Kind::Edit:
            return qobject_cast<QLineEdit*>(widget) != nullptr;
        case Kind::Label:
            return qobject_cast<QLabel*>(widget) != nullptr &&
                   qobject_cast<QLabel*>(widget)->pixmap().isNull();
        case Kind::Icon:
            return qobject_cast<QLabel*>(widget) != nullptr &&
                   !qobject_cast<QLabel*>(widget)->pixmap().isNull();
        case Kind::Combo:
            return qobject_cast<QComboBox*>(widget) != nullptr;
        case Kind::Bar:
            return qobject_cast<QProgressBar*>(widget) != nullptr;
    }
    return false;
}

class TemplateWindows : public ::testing::TestWithParam<Window> {
  protected:
    // The real window classes for the main window and the About box; the progress window's
    // class would start a job, so its template is built by the plain dialog.
    std::unique_ptr<CDialog> MakeDialog(uint32_t templateId) {
        if (templateId == 102) return std::make_unique<CMainDialog>();
        if (templateId == 100) return std::make_unique<CAboutDialog>();
        return std::make_unique<CDialog>(templateId);
    }
};

TEST_P(TemplateWindows, ElementsTextsPositionsAndTabOrderAreTheTemplates) {
    const Window& expected = GetParam();
    std::unique_ptr<CDialog> dialog = MakeDialog(expected.templateId);
    ASSERT_TRUE(dialog->Create());
    QDialog* window = QtWindow(*dialog);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    EXPECT_EQ(Utf8(window->windowTitle()), expected.caption);
    EXPECT_EQ(Utf8(QFontInfo(window->font()).family()), expected.family);
    EXPECT_EQ(QFontInfo(window->font()).pointSize(), 9);
    const Units units(window->font());
    EXPECT_EQ(window->size(), QSize(units.X(expected.cx), units.Y(expected.cy)));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "a modal frame does not resize";
    EXPECT_TRUE(window->windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(bool(window->windowFlags() & Qt::WindowCloseButtonHint), expected.closeBox);

    // Template order is the order of the window's children.
    const QList<QWidget*> children = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(size_t(children.size()), expected.elements.size());
    for (size_t i = 0; i < expected.elements.size(); ++i) {
        const Element& element = expected.elements[i];
        QWidget* widget = children[qsizetype(i)];
        SCOPED_TRACE(std::string(expected.name) + " element " + std::to_string(i));
        EXPECT_TRUE(IsKind(widget, element.kind)) << widget->metaObject()->className();
        if (element.id != -1) {
            EXPECT_EQ(QtDlgItem(*dialog, element.id), widget);
        }
        if (element.text != nullptr) {
            EXPECT_EQ(Utf8(TextOf(widget)), element.text);
        } else {
            EXPECT_FALSE(TextOf(widget).isEmpty());
        }
        EXPECT_EQ(widget->pos(), QPoint(units.X(element.x), units.Y(element.y)));
        if (element.kind == Kind::Icon) {
            EXPECT_EQ(widget->size(), QSize(32, 32)) << "an icon keeps its own size";
        } else if (element.kind == Kind::Combo) {
            // The template's height includes the open list.
            EXPECT_EQ(widget->width(), units.X(element.cx));
            EXPECT_LT(widget->height(), units.Y(element.cy));
        } else {
            EXPECT_EQ(widget->size(), QSize(units.X(element.cx), units.Y(element.cy)));
        }
        // Every text fits the width it was given.
        if (element.kind == Kind::Label || element.kind == Kind::Button ||
            element.kind == Kind::DefaultButton) {
            EXPECT_LE(QFontMetrics(widget->font()).horizontalAdvance(TextOf(widget)),
                      widget->width())
                << Utf8(TextOf(widget));
        }
    }

    // The first tab stop has the focus; Tab walks the stops in template order and wraps.
    std::vector<int> walked;
    for (size_t i = 0; i <= expected.tabOrder.size(); ++i) {
        QWidget* focus = window->focusWidget();
        int id = 0;
        for (const DialogItem& item : dialog->Items()) {
            if (QtWidget(item.pWnd) == focus) id = item.element->id;
        }
        walked.push_back(id);
        QTest::keyClick(focus != nullptr ? focus : window, Qt::Key_Tab);
    }
    std::vector<int> expectedWalk = expected.tabOrder;
    expectedWalk.push_back(expected.tabOrder.front());
    EXPECT_EQ(walked, expectedWalk);
}

INSTANTIATE_TEST_SUITE_P(Windows, TemplateWindows, ::testing::ValuesIn(kWindows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MainWindowElements, PortListOffersTwelvePortsToPickFromWithCom1Selected) {
    CMainDialog dialog;
    ASSERT_TRUE(dialog.Create());
    auto* ports = qobject_cast<QComboBox*>(QtDlgItem(dialog, kIdcPortList));
    ASSERT_NE(ports, nullptr);
    QStringList names;
    for (int i = 0; i < ports->count(); ++i)
        names << ports->itemText(i);
    EXPECT_EQ(names, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8",
                                  "COM9", "COM10", "COM11", "COM12"}));
    EXPECT_EQ(ports->currentIndex(), 0);
    EXPECT_FALSE(ports->isEditable()) << "no free text";

    // Our own icon, 32 x 32, on the window.
    const QIcon icon = QtWindow(dialog)->windowIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));
}

TEST(ProgressWindowElements, TemplateTextsAreWhatThePresenterTakesForTheStartingState) {
    CDialog dialog(kIddProgress);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.GetDlgItemText(kIdcStageLine), kProgressViewInitial.stageLine);
    EXPECT_EQ(dialog.GetDlgItemText(kIdcResultLine), kProgressViewInitial.resultLine);
    EXPECT_EQ(dialog.GetDlgItemText(kIdcSizeLine), kProgressViewInitial.sizeLine);
    EXPECT_EQ(dialog.GetDlgItemText(kIdcTimeLine), kProgressViewInitial.timeLine);
    EXPECT_EQ(dialog.GetDlgItemText(kIdCancel), kProgressViewInitial.buttonCaption);
    auto* bar = qobject_cast<QProgressBar*>(QtDlgItem(dialog, kIdcProgressBar));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(uint32_t(bar->maximum()), kProgressViewInitial.barMax);
    EXPECT_EQ(uint32_t(bar->value()), kProgressViewInitial.barPosition);
    EXPECT_FALSE(bar->isTextVisible());

    // Alignments: time line right, stage and result lines centred, size line left; all centred
    // vertically on one line.
    const struct {
        int id;
        Qt::Alignment alignment;
    } kAlignments[] = {
        {kIdcTimeLine, Qt::AlignRight | Qt::AlignVCenter},
        {kIdcStageLine, Qt::AlignHCenter | Qt::AlignVCenter},
        {kIdcSizeLine, Qt::AlignLeft | Qt::AlignVCenter},
        {kIdcResultLine, Qt::AlignHCenter | Qt::AlignVCenter},
    };
    for (const auto& row : kAlignments) {
        auto* label = qobject_cast<QLabel*>(QtDlgItem(dialog, row.id));
        ASSERT_NE(label, nullptr) << row.id;
        EXPECT_EQ(label->alignment(), row.alignment) << row.id;
        EXPECT_FALSE(label->wordWrap()) << row.id;
    }
}

TEST(MissingTemplate, OpensNothing) {
    CDialog dialog(999);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_FALSE(dialog.Create());
    EXPECT_EQ(QtWindow(dialog), nullptr);
    EXPECT_EQ(QtDlgItem(dialog, kIdOk), nullptr);
}

}  // namespace
