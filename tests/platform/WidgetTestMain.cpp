// GoogleTest entry point for tests of widgets: one QApplication for the whole run. The
// platform plug-in comes from QT_QPA_PLATFORM, set by CTest (offscreen).
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs without a display and needs no application object.
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
