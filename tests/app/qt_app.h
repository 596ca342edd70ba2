// The one QApplication of the test program. app_main.cpp makes it on main's stack (a static
// one is torn down in the exit handlers, after Qt's own statics, and crashes there).
#pragma once

#include <QApplication>

inline QApplication& TestApp() { return *qApp; }
