// The window tests run on Qt's offscreen platform: no display is needed, and none is disturbed.

#include <stdlib.h>

#include <gtest/gtest.h>
#include <QApplication>

// Read by ThreadSanitizer, when the build has it, before main. Qt is not built with it, so its own
// threads' accesses are invisible to it and would read as races; our code stays checked.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
