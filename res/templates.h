// Dialog templates as built-in tables: every window's caption, font and size and every element
// with its id, kind, text, style and position, in dialog units and in template order (which is
// also the tab order). Texts are UTF-8 and shown as they stand; the About box's are Chinese.
// Include it as "res/templates.h".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "res/icon.h"

enum DialogTemplateId : uint32_t {
    kIddAbout = 100,
    kIddMain = 102,
    kIddProgress = 130,
};

// Element ids. 1 and 2 are the OK and Cancel commands; elements nobody addresses have none.
enum ElementId : int32_t {
    kIdNone = -1,
    kIdOk = 1,
    kIdCancel = 2,
    kIdcPortList = 1000,
    kIdcFileName = 1002,
    kIdcBrowse = 1003,
    kIdcProgressBar = 1006,
    kIdcTimeLine = 1007,
    kIdcStageLine = 1008,
    kIdcSizeLine = 1010,
    kIdcResultLine = 1011,
};

enum class ElementKind : uint8_t {
    PushButton,
    EditBox,
    StaticText,
    Icon,
    ComboBox,
    ProgressBar,
};

// Element style bits. A static text without an alignment bit is left-aligned and wraps its
// words; one centred vertically stays on one line.
enum ElementStyle : uint32_t {
    kStyleTabStop = 1u << 0,
    kStyleGroup = 1u << 1,  // starts a group of elements for the arrow keys
    kStyleBorder = 1u << 2,
    kStyleVScroll = 1u << 3,
    kStyleDefaultButton = 1u << 4,
    kStyleAlignCenter = 1u << 5,
    kStyleAlignRight = 1u << 6,
    kStyleCenterVertically = 1u << 7,
    kStyleNoPrefix = 1u << 8,  // '&' is shown, not taken for a mnemonic
    kStyleAutoHScroll = 1u << 9,
    kStyleDropDownList = 1u << 10,  // a list to pick from, no free text
    kStyleNoIntegralHeight = 1u << 11,
    kStyleSmooth = 1u << 12,  // a bar without blocks
};

// Window style bits of a template.
enum WindowStyle : uint32_t {
    kWindowPopup = 1u << 0,
    kWindowVisible = 1u << 1,
    kWindowCaption = 1u << 2,
    kWindowSysMenu = 1u << 3,  // has a system menu, and so a close box
    kWindowModalFrame = 1u << 4,
    kWindowMinimizeBox = 1u << 5,
    kWindowMaximizeBox = 1u << 6,
    kWindowClientEdge = 1u << 7,
    kWindowAppWindow = 1u << 8,  // shown on the taskbar
};

struct DialogElement {
    int32_t id;
    ElementKind kind;
    const char* text;  // UTF-8; empty for an icon
    uint32_t style;    // ElementStyle bits
    int16_t x, y, cx, cy;
    uint32_t icon = 0;                     // an Icon's resource id
    std::span<const char* const> items{};  // a ComboBox's entries, in order
};

struct DialogTemplate {
    uint32_t id;
    const char* caption;   // UTF-8
    const char* fontFace;  // UTF-8, as the template names it
    uint16_t pointSize;
    uint32_t style;  // WindowStyle bits
    int16_t cx, cy;  // client size in dialog units
    std::span<const DialogElement> elements;
};

// The template with that id, or null.
const DialogTemplate* FindDialogTemplate(uint32_t id);

// The element with that id in a template, or null (kIdNone finds nothing).
const DialogElement* FindDialogElement(const DialogTemplate& dialog, int32_t id);
