// The process's entry point on Windows, a GUI-subsystem program: the application object does the
// rest. The C runtime has parsed the command line into __argc and __argv already.

#include <cstdlib>

#include "ui/win32/win32.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return AfxWinMain(__argc, __argv);
}
