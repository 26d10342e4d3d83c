#include "ui/qt/dialog_builder.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <algorithm>
#include <cstring>

namespace {

struct FontSubstitute {
    const char* templateFace;
    const char* installedFace;
};

constexpr FontSubstitute kFontSubstitutes[] = {
    {"Arial", "Liberation Sans"},
    {"宋体", "WenQuanYi Micro Hei"},
};

constexpr char kLatinLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Windows' MulDiv: a * b / c, rounded half away from zero.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : -((-product + half) / c));
}

Qt::Alignment StaticAlignment(uint32_t style) {
    Qt::Alignment alignment = Qt::AlignLeft;
    if (style & kStyleAlignCenter) alignment = Qt::AlignHCenter;
    if (style & kStyleAlignRight) alignment = Qt::AlignRight;
    return alignment | ((style & kStyleCenterVertically) ? Qt::AlignVCenter : Qt::AlignTop);
}

QWidget* CreateElement(const DialogElement& element, const DialogBaseUnits& units,
                       QWidget* window) {
    const QRect rect = MapDialogRect(units, element.x, element.y, element.cx, element.cy);
    const QString text = TemplateText(element.text);
    QWidget* widget = nullptr;
    switch (element.kind) {
        case ElementKind::PushButton: {
            auto* button = new QPushButton(text, window);
            button->setAutoDefault(true);  // a button with the focus takes Enter, as it should
            button->setDefault((element.style & kStyleDefaultButton) != 0);
            button->setFocusPolicy((element.style & kStyleTabStop) ? Qt::StrongFocus
                                                                   : Qt::ClickFocus);
            button->setGeometry(rect);
            widget = button;
            break;
        }
        case ElementKind::EditBox: {
            auto* edit = new QLineEdit(text, window);
            edit->setFrame((element.style & kStyleBorder) != 0);
            edit->setFocusPolicy((element.style & kStyleTabStop) ? Qt::StrongFocus
                                                                 : Qt::ClickFocus);
            edit->setGeometry(rect);
            widget = edit;
            break;
        }
        case ElementKind::StaticText: {
            auto* label = new QLabel(text, window);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(StaticAlignment(element.style));
            // A vertically centred static is a single line; the others wrap their words.
            label->setWordWrap((element.style & kStyleCenterVertically) == 0);
            label->setGeometry(rect);
            widget = label;
            break;
        }
        case ElementKind::Icon: {
            // An icon element takes the picture's own size; the template's only places it.
            auto* label = new QLabel(window);
            const QPixmap picture = LoadIconResource(element.icon).pixmap(32, 32);
            label->setPixmap(picture);
            label->setGeometry(
                QRect(rect.topLeft(), picture.isNull() ? QSize(32, 32) : picture.size()));
            widget = label;
            break;
        }
        case ElementKind::ComboBox: {
            auto* combo = new QComboBox(window);
            combo->setEditable((element.style & kStyleDropDownList) == 0);
            combo->setFocusPolicy((element.style & kStyleTabStop) ? Qt::StrongFocus
                                                                  : Qt::ClickFocus);
            // The template's height covers the closed box and its open list; the closed box is
            // as tall as its font needs, and the list gets the rest.
            const int closedHeight = combo->sizeHint().height();
            const int itemHeight = std::max(1, QFontMetrics(window->font()).height() + 2);
            combo->setMaxVisibleItems(std::max(1, (rect.height() - closedHeight) / itemHeight));
            // A list that drops below the box and honours that height, not a menu over it.
            combo->setStyleSheet("QComboBox { combobox-popup: 0; }");
            combo->setGeometry(QRect(rect.topLeft(), QSize(rect.width(), closedHeight)));
            widget = combo;
            break;
        }
        case ElementKind::ProgressBar: {
            auto* bar = new QProgressBar(window);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            bar->setGeometry(rect);
            widget = bar;
            break;
        }
    }
    return widget;
}

}  // namespace

QString SubstituteFontFamily(const char* templateFace) {
    for (const FontSubstitute& substitute : kFontSubstitutes) {
        if (std::strcmp(substitute.templateFace, templateFace) == 0) {
            return QString::fromUtf8(substitute.installedFace);
        }
    }
    return QString::fromUtf8(templateFace);
}

QFont DialogFont(const DialogTemplate& dialog) {
    QFont font;
    // The template's own face stays second choice, for a machine that has it.
    font.setFamilies({SubstituteFontFamily(dialog.fontFace), QString::fromUtf8(dialog.fontFace)});
    font.setPointSize(dialog.pointSize);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(QString::fromLatin1(kLatinLetters));
    return DialogBaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
    return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4),
                 MulDiv(cy, units.y, 8));
}

std::vector<QWidget*> BuildDialogItems(const DialogTemplate& dialog, QWidget* window) {
    window->setFont(DialogFont(dialog));
    const DialogBaseUnits units = BaseUnitsOf(window->font());
    window->setFixedSize(MapDialogRect(units, 0, 0, dialog.cx, dialog.cy).size());

    std::vector<QWidget*> items;
    items.reserve(dialog.elements.size());
    QWidget* previousStop = nullptr;
    for (const DialogElement& element : dialog.elements) {
        QWidget* widget = CreateElement(element, units, window);
        items.push_back(widget);
        if (element.style & kStyleTabStop) {
            if (previousStop != nullptr) QWidget::setTabOrder(previousStop, widget);
            previousStop = widget;
        }
    }
    return items;
}

QIcon LoadIconResource(uint32_t id) {
    const char* const* xpm = FindIconXpm(id);
    if (xpm == nullptr) return QIcon();
    return QIcon(QPixmap(xpm));
}
