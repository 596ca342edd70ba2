// The one QApplication of the test program, made on first use; tests never need a display,
// also when started outside the test script.
#pragma once

#include <QApplication>

inline QApplication& TestApp() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}
