// quorvane: the desktop front end. Pick a port and an image, press "Start".

#include "ui/updater_app.h"

CUpdaterApp theApp;

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
