#include "res/templates.h"

#include <iterator>

#include "res/strings.h"

namespace {

constexpr uint32_t kStaticCentred = kStyleAlignCenter | kStyleCenterVertically;

// Template 100: the About box.
constexpr DialogElement kAboutElements[] = {
    {kIdNone, ElementKind::Icon, "", 0, 11, 17, 20, 20, kIdrMainFrame},
    {kIdNone, ElementKind::StaticText, "Quorvane  2.0", kStyleNoPrefix, 40, 10, 119, 8},
    {kIdNone, ElementKind::StaticText, "Copyright (C) 2026 Quorvane authors", 0, 40, 30, 119, 8},
    {kIdOk, ElementKind::PushButton, "确定", kStyleDefaultButton | kStyleTabStop | kStyleGroup, 178,
     7, 50, 14},
};

// Template 102: the main window. The port list comes last in tab order although it is the
// first field on screen.
constexpr DialogElement kMainElements[] = {
    {kIdOk, ElementKind::PushButton, "Start", kStyleDefaultButton | kStyleTabStop, 34, 75, 47, 14},
    {kIdCancel, ElementKind::PushButton, "End", kStyleTabStop, 110, 75, 47, 14},
    {kIdcFileName, ElementKind::EditBox, "", kStyleBorder | kStyleAutoHScroll | kStyleTabStop, 35,
     44, 118, 12},
    {kIdcBrowse, ElementKind::PushButton, "...", kStyleTabStop, 155, 44, 13, 11},
    {kIdNone, ElementKind::StaticText, " Port :", kStyleCenterVertically, 11, 14, 24, 16},
    // The height includes the open list.
    {kIdcPortList, ElementKind::ComboBox, "",
     kStyleDropDownList | kStyleVScroll | kStyleNoIntegralHeight | kStyleTabStop, 35, 16, 133, 79,
     0, kPortNames},
    {kIdNone, ElementKind::StaticText, " File :", 0, 11, 46, 22, 8},
};

// Template 130: the progress window. Only the button is a tab stop.
constexpr DialogElement kProgressElements[] = {
    {kIdcProgressBar, ElementKind::ProgressBar, "", kStyleSmooth, 9, 45, 156, 11},
    {kIdcTimeLine, ElementKind::StaticText, "Elapsed  0 sec / Remain  0 sec",
     kStyleAlignRight | kStyleCenterVertically, 36, 60, 125, 8},
    {kIdcStageLine, ElementKind::StaticText, "Idle", kStaticCentred, 25, 4, 125, 10},
    {kIdCancel, ElementKind::PushButton, "Cancel", kStyleDefaultButton | kStyleTabStop, 76, 80, 50,
     14},
    {kIdcSizeLine, ElementKind::StaticText, "Transfer Size 0 / 0 Bytes", kStyleCenterVertically, 12,
     33, 125, 9},
    {kIdcResultLine, ElementKind::StaticText, "", kStaticCentred | kStyleGroup, 24, 18, 125, 10},
};

constexpr DialogTemplate kTemplates[] = {
    {kIddAbout, "Abuot Tarnelo", "宋体", 9,
     kWindowPopup | kWindowCaption | kWindowSysMenu | kWindowModalFrame, 235, 55, kAboutElements},
    {kIddMain, "Quorvane", "Arial", 9,
     kWindowPopup | kWindowVisible | kWindowCaption | kWindowSysMenu | kWindowModalFrame |
         kWindowAppWindow | kWindowClientEdge,
     183, 97, kMainElements},
    {kIddProgress, "Updating ...", "Arial", 9,
     kWindowPopup | kWindowCaption | kWindowModalFrame | kWindowClientEdge, 181, 99,
     kProgressElements},
};

}  // namespace

const DialogTemplate* FindDialogTemplate(uint32_t id) {
    for (const DialogTemplate& dialog : kTemplates) {
        if (dialog.id == id) return &dialog;
    }
    return nullptr;
}

const DialogElement* FindDialogElement(const DialogTemplate& dialog, int32_t id) {
    if (id == kIdNone) return nullptr;
    for (const DialogElement& element : dialog.elements) {
        if (element.id == id) return &element;
    }
    return nullptr;
}
