// The wizard's tests run in one QApplication, offscreen unless told otherwise.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QPG_SOURCE_DIR", QPG_TEST_SOURCE_DIR, 0);
    ::setenv("QPG_BINARY_DIR", QPG_TEST_BINARY_DIR, 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
