// The application object: runs the main window and ends with it.
#pragma once

#include "ui/afx.h"

class CUpdaterApp final : public CWinApp {
  public:
    bool InitInstance() override;
};
