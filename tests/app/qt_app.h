// The one QApplication of the test program, made on first use; tests never need a display,
// also when started outside the test script.
#pragma once

#include <QApplication>
#include <QInputDevice>
#include <QPointingDevice>

inline QApplication& TestApp() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* made = new QApplication(argc, argv);
        // Synthetic key and mouse events take these default devices, children of the
        // application that unregister themselves from a registry of Qt's when deleted.
        // Made now, that registry is older than the closer below, so it outlives the
        // application at exit.
        QInputDevice::primaryKeyboard();
        QPointingDevice::primaryPointingDevice();
        return made;
    }();
    static struct Closer {
        ~Closer() { delete app; }
    } closer;
    return *app;
}
