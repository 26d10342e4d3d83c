// quorvane: the desktop front end. Pick a port and an image, press "Start". The process's entry
// point is the framework layer's (ui/qt/entry.cpp, ui/win32/entry.cpp); it runs this object.

#include "ui/updater_app.h"

CUpdaterApp theApp;
