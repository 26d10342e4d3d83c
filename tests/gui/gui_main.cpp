// The window tests run on Qt's offscreen platform: no display is needed, and none is disturbed.

#include <stdlib.h>

#include <gtest/gtest.h>
#include <QApplication>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
