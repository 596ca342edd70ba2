// The main window driven as a person drives it: opening tables from the command line and by
// dialog, the status bar, closing, creating, packing, reindexing and zapping, and the
// questions it asks before it drops an unposted record.
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <filesystem>

#include "about.h"
#include "app_support.h"
#include "browser.h"
#include "setupfrm.h"

namespace {

using apptest::Choose;
using apptest::MainFixture;
using apptest::MenuTitles;

bool TableMenusEnabled(TMainForm& form) {
    return form.findChild<QAction*>("muCloseDBF")->isEnabled() &&
           form.findChild<QMenu*>("mnuDatabase")->menuAction()->isEnabled() &&
           form.findChild<QAction*>("muIndex")->isEnabled();
}
bool TableMenusDisabled(TMainForm& form) {
    return !form.findChild<QAction*>("muCloseDBF")->isEnabled() &&
           !form.findChild<QMenu*>("mnuDatabase")->menuAction()->isEnabled() &&
           !form.findChild<QAction*>("muIndex")->isEnabled();
}

TEST_F(MainFixture, StartsAsAnEmptyFrameWithItsMenusAndStatusBar) {
    EXPECT_EQ(form->windowTitle(), "Pelmora");
    EXPECT_EQ(form->size(), QSize(632, 456));
    EXPECT_EQ(QApplication::applicationName(), "Pelmora");
    EXPECT_EQ(MenuTitles(*form), (QStringList{"&File", "&Database", "&Index", "&Window", "&Help"}));
    EXPECT_EQ(form->pnlRecord()->text(), "");
    EXPECT_EQ(form->pnlFiltered()->text(), "");
    EXPECT_EQ(form->pnlIndex()->text(), "");
    EXPECT_EQ(form->Panel1()->text(), "Inactive");
    EXPECT_TRUE(TableMenusDisabled(*form));
    EXPECT_FALSE(form->Timer2()->isActive());
    EXPECT_EQ(form->Timer2()->interval(), 1000);
    EXPECT_EQ(form->Timer1()->interval(), 100);
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(Table().TableName(), "faq.dbf");
}

TEST_F(MainFixture, OpensTheTableNamedOnTheCommandLineAfterASecond) {
    TMainForm started(QStringList{QString::fromStdString(path)});
    started.show();
    EXPECT_TRUE(started.Timer2()->isActive());
    EXPECT_FALSE(started.ActiveTable().Active());
    ASSERT_TRUE(apptest::Eventually([&] { return started.ActiveTable().Active(); }, 3000));
    EXPECT_FALSE(started.Timer2()->isActive());
    EXPECT_EQ(started.TableFileName(), "people.dbf");
    EXPECT_EQ(started.TableDirectory(), QString::fromStdString(dir.Path()) + "/");
    EXPECT_EQ(started.Panel1()->text(), QString::fromStdString(path));
    EXPECT_EQ(started.pnlRecord()->text(), "10 Records");
    ASSERT_EQ(started.Workspace()->subWindowList().size(), 1);
    EXPECT_NE(qobject_cast<TSetupForm*>(started.Workspace()->subWindowList().front()), nullptr);
    EXPECT_EQ(started.pnlIndex()->text(), "No Index");
    EXPECT_TRUE(TableMenusEnabled(started));
}

TEST_F(MainFixture, OpensByDialogAndACancelledDialogChangesNothing) {
    asker.CancelFile();
    ASSERT_TRUE(Choose(*form, "muOpenDBF"));
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(asker.lastFileQuestion.title, "Open");
    EXPECT_EQ(asker.lastFileQuestion.fileName, "*.dbf");
    EXPECT_EQ(asker.lastFileQuestion.filter, "xBase File (*.dbf *.DBF)");
    EXPECT_EQ(asker.lastFileQuestion.defaultSuffix, "DBF");

    OpenPeople();
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_EQ(form->Panel1()->text(), QString::fromStdString(path));
    EXPECT_EQ(form->pnlRecord()->text(), "10 Records");
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    EXPECT_TRUE(TableMenusEnabled(*form));
    EXPECT_TRUE(asker.errors.isEmpty());
}

TEST_F(MainFixture, OpeningShowsTheStructureEditorAndBrowseReplacesIt) {
    OpenPeople();
    EXPECT_EQ(form->pnlRecord()->text(), "10 Records");
    EXPECT_EQ(form->BrowseForm(), nullptr);
    ASSERT_EQ(form->Workspace()->subWindowList().size(), 1);
    EXPECT_NE(qobject_cast<TSetupForm*>(form->Workspace()->subWindowList().front()), nullptr);
    EXPECT_FALSE(form->findChild<QAction*>("muSetup")->isEnabled());
    EXPECT_TRUE(form->findChild<QAction*>("muBrowse")->isEnabled());

    ASSERT_TRUE(Choose(*form, "muBrowse"));
    EXPECT_TRUE(form->Workspace()->subWindowList().size() == 1 && form->BrowseForm());
    EXPECT_FALSE(form->findChild<QAction*>("muBrowse")->isEnabled());
    EXPECT_TRUE(form->findChild<QAction*>("muSetup")->isEnabled());
}

TEST_F(MainFixture, AFailedOpenShowsTheErrorAndLeavesTheTableMenusOff) {
    const std::string bad = dir.File("bad.dbf");
    nvtest::WriteFile(bad, "this is not a table");
    asker.AnswerFile(QString::fromStdString(bad));
    ASSERT_TRUE(Choose(*form, "muOpenDBF"));
    EXPECT_FALSE(Table().Active());
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_FALSE(asker.errors.front().isEmpty());
    EXPECT_TRUE(TableMenusDisabled(*form));
    EXPECT_EQ(form->Panel1()->text(), "Inactive");

    // An open table is closed first: after a failed open nothing is open.
    OpenPeople();
    asker.AnswerFile(QString::fromStdString(dir.File("missing.dbf")));
    ASSERT_TRUE(Choose(*form, "muOpenDBF"));
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(asker.errors.size(), 2);
    EXPECT_TRUE(TableMenusDisabled(*form));
}

TEST_F(MainFixture, TheIndexPanelNamesTheOrder) {
    OpenPeople();
    Table().IndexOn(dir.File("people.cdx"), "NAME", "NAME", "", true, false);
    Table().IndexFiles().Add(dir.File("people.cdx"));
    form->ShowTableStatus();
    EXPECT_EQ(form->pnlIndex()->text(), "Natural Order");
    Table().SetIndexName("NAME");
    form->ShowTableStatus();
    EXPECT_EQ(form->pnlIndex()->text(), "Index is NAME");
    // Every open starts without index files.
    ASSERT_TRUE(Choose(*form, "muCloseDBF"));
    OpenPeople();
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    EXPECT_EQ(Table().IndexFiles().Count(), 0);
}

TEST_F(MainFixture, CloseEmptiesTheStatusBarAndTurnsTheTableMenusOff) {
    BrowsePeople();
    ASSERT_TRUE(Choose(*form, "muCloseDBF"));
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(form->BrowseForm(), nullptr);
    EXPECT_TRUE(form->Workspace()->subWindowList().isEmpty());
    EXPECT_EQ(form->TableFileName(), "");
    EXPECT_EQ(form->TableDirectory(), "");
    EXPECT_EQ(form->Panel1()->text(), "Inactive");
    EXPECT_EQ(form->pnlRecord()->text(), "");
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    EXPECT_TRUE(TableMenusDisabled(*form));
    EXPECT_FALSE(MenuTitles(*form).contains("&Record"));
}

TEST_F(MainFixture, NewAsksBeforeItOverwritesAndStartsCreating) {
    OpenPeople();
    asker.AnswerFile(QString::fromStdString(path));
    asker.AnswerButton(QMessageBox::No);
    ASSERT_TRUE(Choose(*form, "muNewDBF"));
    EXPECT_TRUE(asker.asked.contains("message: File already exists.  Overwrite?"));
    EXPECT_EQ(asker.lastFileQuestion.title, "Create DBF File");
    EXPECT_EQ(asker.lastFileQuestion.filter, "xBase Type (*.dbf *.DBF)");
    EXPECT_TRUE(Table().Active());
    EXPECT_EQ(form->pnlRecord()->text(), "10 Records");

    const QString fresh = QString::fromStdString(dir.File("fresh.dbf"));
    asker.AnswerFile(fresh);
    ASSERT_TRUE(Choose(*form, "muNewDBF"));
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(form->TableFileName(), "fresh.dbf");
    EXPECT_EQ(form->Panel1()->text(), fresh);
    EXPECT_EQ(form->pnlRecord()->text(), "Creating");
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    // The next save dialog starts in the new table's folder.
    asker.CancelFile();
    ASSERT_TRUE(Choose(*form, "muNewDBF"));
    EXPECT_EQ(asker.lastFileQuestion.fileName, QString::fromStdString(dir.Path()) + "/*.DBF");
    EXPECT_TRUE(asker.AllAnswered());
}

TEST_F(MainFixture, ZapAsksFirstAndLeavesTheTableOpenShared) {
    OpenPeople();
    asker.AnswerButton(QMessageBox::No);
    ASSERT_TRUE(Choose(*form, "muZap"));
    EXPECT_TRUE(asker.asked.contains("message: Are you sure you want to ZAP this file?"));
    EXPECT_EQ(Table().RecordCount(), 10);

    asker.AnswerButton(QMessageBox::Yes);
    ASSERT_TRUE(Choose(*form, "muZap"));
    EXPECT_TRUE(Table().Active());
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_EQ(Table().RecordCount(), 0);
    EXPECT_EQ(form->pnlRecord()->text(), "0 Records");
    EXPECT_TRUE(asker.errors.isEmpty());
}

TEST_F(MainFixture, PackRemovesDeletedRecordsAndShowsTheNewCount) {
    OpenPeople();
    ASSERT_TRUE(Choose(*form, "muPack"));
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    EXPECT_EQ(form->BrowseForm(), nullptr);
    EXPECT_TRUE(Table().Active());
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_EQ(Table().RecordCount(), 9);
    EXPECT_EQ(form->pnlRecord()->text(), "9 Records");
}

TEST_F(MainFixture, ReindexRebuildsTheTagsOfTheOpenIndexFiles) {
    OpenPeople();
    Table().IndexOn(dir.File("people.cdx"), "NAME", "NAME", "", true, false);
    // Another program that does not know the index appends a record behind its back.
    {
        NVO_dBHandler other(path, true, true, "");
        other.BlankRecord();
        other.PutTextByName("NAME", "Aaron");
        other.Append();
    }
    Table().IndexFiles().Add(dir.File("people.cdx"));
    Table().SetIndexName("NAME");
    Table().First();
    EXPECT_NE(Table().FieldByName("NAME").AsString(), "Aaron");

    ASSERT_TRUE(Choose(*form, "muReindex"));
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    EXPECT_FALSE(Table().Exclusive());
    Table().First();
    EXPECT_EQ(Table().FieldByName("NAME").AsString(), "Aaron");
}

TEST_F(MainFixture, AMaintenanceCommandThatCannotHaveTheTableAloneReopensItShared) {
    OpenPeople();
    NVO_dBHandler other(path, true, true, "");
    ASSERT_TRUE(Choose(*form, "muPack"));
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_TRUE(Table().Active());
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_EQ(Table().RecordCount(), 10);
    EXPECT_TRUE(TableMenusEnabled(*form));
}

TEST_F(MainFixture, UnpostedRecordsAreNeverDroppedSilently) {
    BrowsePeople();
    TBrowseForm* browse = form->BrowseForm();
    ASSERT_TRUE(Choose(*browse, "muAppend"));
    Table().FieldByName("NAME").SetAsString("Unsaved");

    // Cancel: nothing happens.
    asker.AnswerButton(QMessageBox::Cancel);
    ASSERT_TRUE(Choose(*form, "muCloseDBF"));
    EXPECT_TRUE(asker.asked.contains("message: Save changes to the current record?"));
    EXPECT_EQ(Table().State(), dsInsert);
    EXPECT_EQ(form->BrowseForm(), browse);

    // Exit asks too; Cancel keeps the program running.
    asker.AnswerButton(QMessageBox::Cancel);
    form->close();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Table().State(), dsInsert);

    // Yes: the record is posted before the table closes.
    asker.AnswerButton(QMessageBox::Yes);
    ASSERT_TRUE(Choose(*form, "muPack"));
    EXPECT_EQ(Table().RecordCount(), 10);  // 10 + the new one - the deleted one
    ASSERT_TRUE(Table().Locate("NAME", TVariant("Unsaved"), {}));

    // No: the record is dropped.
    ASSERT_TRUE(Choose(*form, "muBrowse"));
    ASSERT_TRUE(Choose(*form->BrowseForm(), "muEdit"));
    Table().FieldByName("NAME").SetAsString("Changed");
    asker.AnswerButton(QMessageBox::No);
    ASSERT_TRUE(Choose(*form, "muCloseDBF"));
    EXPECT_FALSE(Table().Active());
    EXPECT_TRUE(asker.AllAnswered());
    OpenPeople();
    EXPECT_FALSE(Table().Locate("NAME", TVariant("Changed"), {}));
}

TEST_F(MainFixture, TheAboutBoxShowsTheProgramAndCloses) {
    bool seen = false;
    apptest::WhenModal<TAboutInfo>([&](TAboutInfo& about) {
        seen = true;
        EXPECT_EQ(about.windowTitle(), "About");
        EXPECT_TRUE(about.windowFlags() & Qt::WindowStaysOnTopHint);
        QStringList texts;
        for (QLabel* label : about.findChildren<QLabel*>()) texts << label->text();
        EXPECT_TRUE(texts.contains("Pelmora"));
        EXPECT_TRUE(texts.contains("Version 3.1"));
        EXPECT_EQ(texts.size(), 3);
        auto* close = about.findChild<QPushButton*>("btnClose");
        ASSERT_NE(close, nullptr);
        EXPECT_EQ(close->text(), "Close");
        QTest::mouseClick(close, Qt::LeftButton);
    });
    ASSERT_TRUE(Choose(*form, "muAbout"));
    EXPECT_TRUE(seen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
