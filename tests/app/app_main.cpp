// The window tests' own main: the application object lives on main's stack, so that Qt is
// torn down before the process's exit handlers run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "mainform.h"

int main(int argc, char** argv) {
    // Tests never need a display, also when started outside the test script.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    SetUpProgram();
    // The windows keep recent tables in settings: the tests keep theirs out of the user's.
    QTemporaryDir settings;
    TMainForm::SetSettingsFile(settings.filePath("pelmora.ini"));
    return RUN_ALL_TESTS();
}
