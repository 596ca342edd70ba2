#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMdiArea>

#include "mainform.h"
#include "qt_app.h"

namespace {

QApplication& App() { return TestApp(); }

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
