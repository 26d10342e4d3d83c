#include "ui/win32/dialog_template.h"

#include <string>

#include "ui/win32/win32.h"

namespace {

// Predefined control classes, named in a template by ordinal.
constexpr uint16_t kClassButton = 0x0080;
constexpr uint16_t kClassEdit = 0x0081;
constexpr uint16_t kClassStatic = 0x0082;
constexpr uint16_t kClassComboBox = 0x0085;

class TemplateWriter {
  public:
    void Word(uint16_t value) { m_words.push_back(value); }
    void Dword(uint32_t value) {
        Word(uint16_t(value & 0xFFFF));
        Word(uint16_t(value >> 16));
    }
    void Short(int16_t value) { Word(uint16_t(value)); }
    void Text(const char* utf8) {
        const std::wstring wide = Widen(utf8);
        for (wchar_t c : wide)
            Word(uint16_t(c));
        Word(0);
    }
    void Ordinal(uint16_t value) {
        Word(0xFFFF);
        Word(value);
    }
    // Items start on a 32-bit boundary.
    void AlignDword() {
        if (m_words.size() % 2 != 0) Word(0);
    }
    // The word at `index`, to fill in a count once it is known.
    void Set(size_t index, uint16_t value) { m_words[index] = value; }
    size_t Size() const { return m_words.size(); }
    std::vector<uint16_t> Take() { return std::move(m_words); }

  private:
    std::vector<uint16_t> m_words;
};

}  // namespace

uint32_t WindowStyleOf(const DialogTemplate& dialog) {
    uint32_t style = DS_SETFONT | DS_3DLOOK;
    if (dialog.style & kWindowPopup) style |= WS_POPUP;
    if (dialog.style & kWindowVisible) style |= WS_VISIBLE;
    if (dialog.style & kWindowCaption) style |= WS_CAPTION;
    if (dialog.style & kWindowSysMenu) style |= WS_SYSMENU;
    if (dialog.style & kWindowModalFrame) style |= DS_MODALFRAME;
    if (dialog.style & kWindowMinimizeBox) style |= WS_MINIMIZEBOX;
    if (dialog.style & kWindowMaximizeBox) style |= WS_MAXIMIZEBOX;
    return style;
}

uint32_t WindowExStyleOf(const DialogTemplate& dialog) {
    uint32_t exStyle = 0;
    if (dialog.style & kWindowClientEdge) exStyle |= WS_EX_CLIENTEDGE;
    if (dialog.style & kWindowAppWindow) exStyle |= WS_EX_APPWINDOW;
    return exStyle;
}

uint32_t ElementStyleOf(const DialogElement& element) {
    const uint32_t bits = element.style;
    uint32_t style = WS_CHILD | WS_VISIBLE;
    if (bits & kStyleTabStop) style |= WS_TABSTOP;
    if (bits & kStyleGroup) style |= WS_GROUP;
    if (bits & kStyleBorder) style |= WS_BORDER;
    if (bits & kStyleVScroll) style |= WS_VSCROLL;
    switch (element.kind) {
        case ElementKind::PushButton:
            style |= (bits & kStyleDefaultButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
            break;
        case ElementKind::EditBox:
            style |= ES_LEFT;
            if (bits & kStyleAutoHScroll) style |= ES_AUTOHSCROLL;
            break;
        case ElementKind::StaticText:
            if (bits & kStyleAlignCenter) {
                style |= SS_CENTER;
            } else if (bits & kStyleAlignRight) {
                style |= SS_RIGHT;
            } else {
                style |= SS_LEFT;
            }
            // On a text static this centres one line vertically.
            if (bits & kStyleCenterVertically) style |= SS_CENTERIMAGE;
            if (bits & kStyleNoPrefix) style |= SS_NOPREFIX;
            break;
        case ElementKind::Icon:
            style |= SS_ICON;
            break;
        case ElementKind::ComboBox:
            style |= (bits & kStyleDropDownList) ? CBS_DROPDOWNLIST : CBS_DROPDOWN;
            if (bits & kStyleNoIntegralHeight) style |= CBS_NOINTEGRALHEIGHT;
            break;
        case ElementKind::ProgressBar:
            if (bits & kStyleSmooth) style |= PBS_SMOOTH;
            break;
    }
    return style;
}

std::vector<uint16_t> BuildDialogTemplate(const DialogTemplate& dialog) {
    TemplateWriter out;
    out.Word(1);       // dlgVer
    out.Word(0xFFFF);  // signature: the extended form
    out.Dword(0);      // helpID
    out.Dword(WindowExStyleOf(dialog));
    out.Dword(WindowStyleOf(dialog));
    const size_t countAt = out.Size();
    out.Word(0);  // cDlgItems, below
    // At 0, 0: the layer centres the window once it exists.
    out.Short(0);
    out.Short(0);
    out.Short(dialog.cx);
    out.Short(dialog.cy);
    out.Word(0);  // no menu
    out.Word(0);  // the dialog class
    out.Text(dialog.caption);
    out.Word(dialog.pointSize);
    out.Word(FW_NORMAL);
    out.Word(DEFAULT_CHARSET << 8);  // italic 0, then the character set
    out.Text(dialog.fontFace);

    uint16_t count = 0;
    for (const DialogElement& element : dialog.elements) {
        out.AlignDword();
        out.Dword(0);  // helpID
        out.Dword(0);  // exStyle
        out.Dword(ElementStyleOf(element));
        out.Short(element.x);
        out.Short(element.y);
        out.Short(element.cx);
        out.Short(element.cy);
        out.Dword(uint32_t(element.id));  // kIdNone is -1, the usual id of a static
        switch (element.kind) {
            case ElementKind::PushButton:
                out.Ordinal(kClassButton);
                break;
            case ElementKind::EditBox:
                out.Ordinal(kClassEdit);
                break;
            case ElementKind::StaticText:
            case ElementKind::Icon:
                out.Ordinal(kClassStatic);
                break;
            case ElementKind::ComboBox:
                out.Ordinal(kClassComboBox);
                break;
            case ElementKind::ProgressBar:
                out.Text(PROGRESS_CLASSA);
                break;
        }
        if (element.kind == ElementKind::Icon) {
            out.Ordinal(uint16_t(element.icon));  // the icon resource, loaded by the static
        } else {
            out.Text(element.text);
        }
        out.Word(0);  // no creation data
        ++count;
    }
    out.Set(countAt, count);
    return out.Take();
}
