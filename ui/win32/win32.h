// Windows' headers for the Win32 layer, then the framework's own header. The headers' macros that
// would rename the framework's members in this layer and not in the window classes (MessageBox
// becomes MessageBoxW, ...) or clash with its constants (IDOK, ...) are removed: the layer calls
// the wide functions by their own names, and the constants have the same values.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#undef AppendMenu
#undef GetDlgItemText
#undef GetWindowText
#undef IDCANCEL
#undef IDOK
#undef LoadIcon
#undef LoadString
#undef MF_SEPARATOR
#undef MF_STRING
#undef MessageBox
#undef SC_CLOSE
#undef SetDlgItemText
#undef SetWindowText

#include <string>

#include "ui/afx.h"

// UTF-8 to UTF-16 and back; a malformed sequence becomes U+FFFD.
std::wstring Widen(const char* text);
std::wstring Widen(const std::string& text);
std::string Narrow(const wchar_t* text, size_t length);
