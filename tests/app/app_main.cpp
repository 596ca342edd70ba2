// The window tests' own main: the application object lives on main's stack, so that Qt is
// torn down before the process's exit handlers run.
#include <gtest/gtest.h>

#include <QApplication>

#include "mainform.h"

int main(int argc, char** argv) {
    // Tests never need a display, also when started outside the test script.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    SetUpProgram();
    return RUN_ALL_TESTS();
}
