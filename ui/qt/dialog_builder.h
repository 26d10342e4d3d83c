// Lays a dialog template out on Qt widgets at fixed positions. Dialog units become pixels the
// way Windows converts them, from the dialog font's metrics, so a template keeps its proportions
// whatever font size the screen gives.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>
#include <cstdint>
#include <vector>

#include "res/templates.h"

class QWidget;

// The installed face that stands in for a template's: "Arial" is drawn with Liberation Sans (the
// same widths), "宋体" with WenQuanYi Micro Hei; any other face is asked for by its own name.
QString SubstituteFontFamily(const char* templateFace);
QFont DialogFont(const DialogTemplate& dialog);

// Horizontal and vertical dialog base units in pixels: the average width of the 52 Latin
// letters, computed as Windows does ((sum / 26 + 1) / 2), and the font's height.
struct DialogBaseUnits {
    int x;
    int y;
};
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units, in pixels: x * bx / 4 and y * by / 8, rounded to nearest.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy);

// Creates every element of `dialog` as a child of `window`, in template order, at its position,
// and returns them in that order; gives `window` the template's font and client size and chains
// the tab stops in template order. Combo boxes start empty: their entries are the template's
// initialisation data, which the dialog applies when it initialises.
std::vector<QWidget*> BuildDialogItems(const DialogTemplate& dialog, QWidget* window);

// The icon resource as a picture: empty for an unknown id.
QIcon LoadIconResource(uint32_t id);

// Qt's text for a template's UTF-8 text.
inline QString TemplateText(const char* text) {
    return QString::fromUtf8(text);
}
