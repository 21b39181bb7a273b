#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdlib>

// The window tests need an application object; they run headless unless told otherwise.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
