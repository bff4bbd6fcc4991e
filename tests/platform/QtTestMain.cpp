// Test main for tests on a real Qt event loop without widgets (the wake-up channel and the
// UI-thread messaging): the main thread plays the UI thread. The application object is made
// only when tests run, so that listing them needs nothing.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
