// What the window tests share: a small FoxPro table of people made by the engine in a scratch
// folder, a main window on it, and a way to act on a modal dialog while the program waits in
// it. The application object is made by app_main.cpp.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "mainform.h"
#include "nv6_bld.h"
#include "nv6_date.h"
#include "nv6_dbsy.h"
#include "scratch_dir.h"
#include "scripted_asker.h"

// Texts in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace apptest {

// people.dbf (FoxPro, with people.fpt): NAME C(20), AGE N(3), BORN D, MEMBER L, NOTES M and
// ten records "Person 01" .. "Person 10" aged 21 .. 30, born 1 March 1990 + n days, members
// when the number is even. Record 2 has the note "first note"; record 3 is deleted.
inline std::string MakePeople(const nvtest::ScratchDir& dir, int records = 10) {
    const std::string path = dir.File("people.dbf");
    {
        NVO_DBFoxBuild build(path);
        build.AddField("NAME", "C", 20, 0);
        build.AddField("AGE", "N", 3, 0);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("MEMBER", "L", 1, 0);
        build.AddField("NOTES", "M", 10, 0);
        build.Build();
    }
    NVO_dBHandler table(path, false, true, "");
    for (int i = 1; i <= records; ++i) {
        table.BlankRecord();
        table.PutTextByName("NAME", "Person " + std::string(i < 10 ? "0" : "") + std::to_string(i));
        table.SetNumberByName("AGE", 20 + i);
        table.SetDateByName("BORN", TnvDBFDate::YMDToDay(1990, 3, i));
        table.SetLogicalByName("MEMBER", i % 2 == 0);
        if (i == 2) {
            const std::string note = "first note";
            const int notes = table.FieldNumber("NOTES");
            table.SetNumber(notes, table.WriteMemo(notes, reinterpret_cast<const uint8_t*>(note.data()),
                                                   static_cast<int32_t>(note.size())));
        }
        table.Append();
        if (i == 3) table.DeleteRecord();
    }
    table.Close();
    return path;
}

// Lets the event loop run until `done` holds or `timeoutMs` has passed; whether it held.
// Use it as ASSERT_TRUE(Eventually(...)): Qt's QTRY_ macros report a time-out to QTest's
// own log, which a GoogleTest run never reads, so a test using them could not fail.
inline bool Eventually(const std::function<bool()>& done, int timeoutMs = 1000) {
    for (int waited = 0; !done() && waited < timeoutMs; waited += 10) QTest::qWait(10);
    return done();
}

// A person's action on the modal dialog of type D the program is about to show: `act` runs
// once the dialog is up. A dialog still open a moment after `act` (or one that never gets
// an action) is closed with a failure, so a test never waits for a person.
template <class D>
void WhenModal(std::function<void(D&)> act) {
    auto* poll = new QTimer(qApp);
    auto done = std::make_shared<bool>(false);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act, done, ticks] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!*done) {
            if (auto* dialog = qobject_cast<D*>(modal)) {
                *done = true;
                *ticks = 0;
                act(*dialog);
                return;
            }
        } else if (!modal || *ticks > 50) {
            if (modal) {
                ADD_FAILURE() << "a dialog stayed open: " << modal->windowTitle().toStdString();
                modal->close();
            }
            poll->deleteLater();
            return;
        }
        if (++*ticks > 500) {
            ADD_FAILURE() << "the expected dialog never came";
            if (modal) modal->close();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

inline QAction* Action(QWidget& window, const char* name) {
    auto* action = window.findChild<QAction*>(name);
    EXPECT_NE(action, nullptr) << name;
    return action;
}

// Chooses a menu item as a person would; false when the item is missing or disabled.
inline bool Choose(QWidget& window, const char* name) {
    QAction* action = Action(window, name);
    if (!action || !action->isEnabled()) return false;
    action->trigger();
    return true;
}

// The top-level menu titles of a window's menu bar, left to right.
inline QStringList MenuTitles(QMainWindow& window) {
    QStringList titles;
    for (QAction* a : window.menuBar()->actions()) titles << a->text();
    return titles;
}

// A main window with the people table opened by dialog, as a person opens it.
struct MainFixture : ::testing::Test {
    nvtest::ScratchDir dir;
    std::string path;
    TScriptedAsker asker;
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        path = MakePeople(dir);
        form = std::make_unique<TMainForm>();
        form->show();
    }
    void TearDown() override { form.reset(); }

    void OpenPeople() {
        asker.AnswerFile(QString::fromStdString(path));
        ASSERT_TRUE(Choose(*form, "muOpenDBF"));
        ASSERT_TRUE(form->ActiveTable().Active());
        asker.asked.clear();
    }
    // Opens the people table and browses it, as a person does after the structure editor.
    void BrowsePeople() {
        OpenPeople();
        ASSERT_TRUE(Choose(*form, "muBrowse"));
        ASSERT_NE(form->BrowseForm(), nullptr);
    }
    TNorvaneDataSet& Table() { return form->ActiveTable(); }
    QString Status(QLabel* panel) const { return panel->text(); }
};

}  // namespace apptest
