// The process's entry point on Qt: the application object does the rest.

#include "ui/afx.h"

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
