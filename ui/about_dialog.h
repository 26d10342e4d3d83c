// The About box: the icon, the program's name and version, the notice line and one button.
#pragma once

#include "ui/afx.h"

class CAboutDialog final : public CDialog {
  public:
    CAboutDialog() : CDialog(kIddAbout) {}
};
