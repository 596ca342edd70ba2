#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMdiArea>

#include "mainform.h"

namespace {

QApplication& App() {
    // Tests never need a display, also when started outside the test script.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

TEST(MainForm, OpensAndClosesThroughItsExitCommand) {
    App();
    TMainForm form;
    form.show();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), "Pelmora");
    ASSERT_NE(form.Workspace(), nullptr);
    auto* exit = form.findChild<QAction*>("muExit");
    ASSERT_NE(exit, nullptr);
    exit->trigger();
    EXPECT_FALSE(form.isVisible());
}

}  // namespace
