#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "TestEnv.h"

int main(int argc, char** argv) {
    testenv::isolate();
    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
