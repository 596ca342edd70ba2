// The browse window driven as a person drives it: the record commands and their menu, deleted
// rows drawn yellow and red, showing and hiding deleted records, the memo panel, the column
// rule for memo columns, another program's writes showing up, and closing.
#include <QClipboard>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <filesystem>

#include "app_support.h"
#include "browser.h"
#include "dbgrid.h"
#include "dbmemo.h"

namespace {

using apptest::Action;
using apptest::Choose;

struct BrowseFixture : apptest::MainFixture {
    TBrowseForm* browse = nullptr;
    void SetUp() override {
        MainFixture::SetUp();
        // Opening a table browses it.
        BrowsePeople();
        browse = form->BrowseForm();
        ASSERT_NE(browse, nullptr);
        // The window maximises itself right after it opens.
        ASSERT_TRUE(apptest::Eventually([&] { return browse->isMaximized(); }, 1000));
    }
    std::string Name() { return Table().FieldByName("NAME").AsString(); }
    bool Enabled(const char* name) { return Action(*browse, name)->isEnabled(); }
    // Append, Edit, Post, Cancel enabled, as one text.
    std::string RecordMenu() {
        std::string out;
        for (const char* n : {"muAppend", "muEdit", "muPost", "muCancel"}) out += Enabled(n) ? '1' : '0';
        return out;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (Table().First(); !Table().Eof(); Table().Next()) out.push_back(Name());
        return out;
    }
    // The cell as the browse window draws it for the current record.
    QImage Cell(const char* field, bool selected = false) {
        QImage image(120, 20, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        browse->DrawCell(painter, image.rect(), Table().FieldByName(field), selected);
        return image;
    }
    static int Pixels(const QImage& image, QColor colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) n += image.pixelColor(x, y) == colour;
        return n;
    }
    bool MemoShown() { return browse->pnlMemo()->isVisible() && !browse->grdDBF()->isVisible(); }
    // Clicks the memo cell of a row of the grid's window.
    void ClickMemoCell(int row) {
        TDBGrid* grid = browse->grdDBF();
        const QRect cell = grid->CellRect(row, Table().FieldByName("NOTES").Index());
        ASSERT_TRUE(grid->viewport()->rect().contains(cell.center()));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }
};

TEST_F(BrowseFixture, OpensOnTheFirstRecordShowingDeletedRecordsAndMaximises) {
    EXPECT_EQ(browse->windowTitle(), "Browse people.dbf");
    EXPECT_EQ(apptest::MenuTitles(*form),
              (QStringList{"&File", "&Database", "&Index", "&Record", "&Window", "&Help"}));
    QStringList items;
    for (QAction* a : browse->RecordMenu()->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"&Append", "&Edit", "&Post", "&Cancel", "-", "&Delete", "&Undelete", "-",
                                  "Show Deleted Records", "-", "&Find", "Filter"}));
    items.clear();
    for (QAction* a : browse->GridMenu()->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"Delete", "UnDelete", "-", "Show Deleted ", "-", "&Copy", "Cu&t", "&Paste"}));
    EXPECT_EQ(RecordMenu(), "1100");
    EXPECT_TRUE(Action(*browse, "muShowDeleted")->isChecked());
    EXPECT_TRUE(Action(*browse, "pmShowDeleted")->isChecked());
    EXPECT_FALSE(form->findChild<QAction*>("muBrowse")->isEnabled());
    EXPECT_TRUE(Table().UseDeleted());
    EXPECT_EQ(Name(), "Person 01");
    EXPECT_EQ(form->pnlRecord()->text(), "Record 1 of 10");
    EXPECT_EQ(form->pnlFiltered()->text(), "");
    EXPECT_FALSE(browse->pnlMemo()->isVisible());
    EXPECT_TRUE(Action(*browse, "pmWordWrap")->isChecked());
    EXPECT_EQ(browse->mmoMemo()->lineWrapMode(), QPlainTextEdit::WidgetWidth);

    EXPECT_TRUE(browse->isMaximized());
    EXPECT_TRUE(browse->Timer2()->isActive());
    EXPECT_EQ(form->windowTitle(), "Pelmora - [Browse people.dbf]");
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(BrowseFixture, RecordCommandsSwitchTheMenuBetweenBrowsingAndEditing) {
    ASSERT_TRUE(Choose(*browse, "muAppend"));
    EXPECT_EQ(Table().State(), dsInsert);
    EXPECT_EQ(RecordMenu(), "0011");
    Table().FieldByName("NAME").SetAsString("Person 11");
    ASSERT_TRUE(Choose(*browse, "muPost"));
    EXPECT_EQ(RecordMenu(), "1100");
    EXPECT_EQ(Table().RecordCount(), 11);
    EXPECT_EQ(form->pnlRecord()->text(), "Record 11 of 11");

    Table().First();
    EXPECT_EQ(form->pnlRecord()->text(), "Record 1 of 11");
    ASSERT_TRUE(Choose(*browse, "muEdit"));
    EXPECT_EQ(Table().State(), dsEdit);
    EXPECT_EQ(RecordMenu(), "0011");
    Table().FieldByName("NAME").SetAsString("Changed");
    ASSERT_TRUE(Choose(*browse, "muCancel"));
    EXPECT_EQ(RecordMenu(), "1100");
    EXPECT_EQ(Name(), "Person 01");

    ASSERT_TRUE(Choose(*browse, "muAppend"));
    ASSERT_TRUE(Choose(*browse, "muCancel"));
    EXPECT_EQ(Table().RecordCount(), 11);
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(BrowseFixture, ARecordLockedByAnotherProgramShowsTheErrorAndLeavesTheMenu) {
    NVO_dBHandler other(path, true, true, "");
    other.Go(1);
    ASSERT_TRUE(other.LockRecord());
    ASSERT_TRUE(Choose(*browse, "muEdit"));
    EXPECT_EQ(asker.errors, (QStringList{"Record is locked by another user"}));
    EXPECT_EQ(Table().State(), dsBrowse);
    EXPECT_EQ(RecordMenu(), "1100");
    ASSERT_TRUE(Choose(*browse, "muDelete"));
    EXPECT_EQ(asker.errors.size(), 2);
    EXPECT_FALSE(Table().IsDeleted());
}

TEST_F(BrowseFixture, DeletedRowsAreYellowWithRedTextAndCanBeHidden) {
    const QColor base = browse->grdDBF()->palette().color(QPalette::Base);
    const QColor highlight = browse->grdDBF()->palette().color(QPalette::Highlight);
    QImage live = Cell("NAME");
    EXPECT_EQ(live.pixelColor(0, 0), base);
    EXPECT_EQ(Pixels(live, Qt::red), 0);
    EXPECT_EQ(Cell("NAME", true).pixelColor(0, 0), highlight);
    // The text starts 4 pixels right of and 2 below the corner.
    int outside = 0;
    for (int y = 0; y < live.height(); ++y)
        for (int x = 0; x < live.width(); ++x) outside += (x < 4 || y < 2) && live.pixelColor(x, y) != base;
    EXPECT_EQ(outside, 0);
    EXPECT_LT(Pixels(live, base), live.width() * live.height());

    ASSERT_TRUE(Choose(*browse, "muDelete"));
    EXPECT_TRUE(Table().IsDeleted());
    for (bool selected : {false, true}) {
        QImage deleted = Cell("NAME", selected);
        EXPECT_EQ(deleted.pixelColor(0, 0), QColor(Qt::yellow));
        EXPECT_GT(Pixels(deleted, Qt::red), 5);
    }
    ASSERT_TRUE(Choose(*browse, "pmUndelete"));
    EXPECT_FALSE(Table().IsDeleted());
    EXPECT_EQ(Cell("NAME").pixelColor(0, 0), base);

    // Record 3 came deleted; hiding deleted records leaves it out, from either menu.
    EXPECT_EQ(Names().size(), 10u);
    ASSERT_TRUE(Choose(*browse, "muShowDeleted"));
    EXPECT_FALSE(Action(*browse, "muShowDeleted")->isChecked());
    EXPECT_FALSE(Action(*browse, "pmShowDeleted")->isChecked());
    EXPECT_FALSE(Table().UseDeleted());
    const std::vector<std::string> shown = Names();
    EXPECT_EQ(shown.size(), 9u);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "Person 03"), 0);
    ASSERT_TRUE(Choose(*browse, "pmShowDeleted"));
    EXPECT_TRUE(Action(*browse, "muShowDeleted")->isChecked());
    EXPECT_TRUE(Table().UseDeleted());
    EXPECT_EQ(Names().size(), 10u);
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(BrowseFixture, MemoCellsShowWhetherTheyHoldAMemo) {
    Table().First();
    EXPECT_EQ(BrowseCellText(Table().FieldByName("NOTES")), "(memo)");
    EXPECT_EQ(BrowseCellText(Table().FieldByName("NAME")), "Person 01");
    Table().Next();
    EXPECT_EQ(BrowseCellText(Table().FieldByName("NOTES")), "(MEMO)");
    EXPECT_EQ(BrowseCellText(Table().FieldByName("BORN")), "03/02/1990");
}

TEST_F(BrowseFixture, AMemoIsEditedInItsPanelAndClosePostsIt) {
    ClickMemoCell(0);
    EXPECT_TRUE(MemoShown());
    EXPECT_EQ(browse->lblMemo()->text(), "Memo NOTES");
    EXPECT_EQ(browse->mmoMemo()->toPlainText(), "");
    EXPECT_TRUE(browse->mmoMemo()->hasFocus() || !QApplication::focusWindow());

    QTest::keyClicks(browse->mmoMemo(), "new note");
    EXPECT_EQ(Table().State(), dsEdit);
    QTest::mouseClick(browse->findChild<QPushButton*>("btnMemoClose"), Qt::LeftButton);
    EXPECT_FALSE(MemoShown());
    EXPECT_EQ(Table().State(), dsBrowse);
    EXPECT_EQ(Table().FieldByName("NOTES").AsString(), "new note");
    EXPECT_EQ(BrowseCellText(Table().FieldByName("NOTES")), "(MEMO)");

    // Cancel drops what was typed.
    ClickMemoCell(1);
    EXPECT_EQ(Name(), "Person 02");
    EXPECT_EQ(browse->mmoMemo()->toPlainText(), "first note");
    QTest::keyClicks(browse->mmoMemo(), "more ");
    QTest::mouseClick(browse->findChild<QPushButton*>("btnMemoCancel"), Qt::LeftButton);
    EXPECT_FALSE(MemoShown());
    EXPECT_EQ(Table().State(), dsBrowse);
    EXPECT_EQ(Table().FieldByName("NOTES").AsString(), "first note");

    // Close without a change posts nothing and raises nothing.
    ClickMemoCell(1);
    QTest::mouseClick(browse->findChild<QPushButton*>("btnMemoClose"), Qt::LeftButton);
    EXPECT_FALSE(MemoShown());
    EXPECT_TRUE(asker.asked.isEmpty()) << asker.asked.join("; ").toStdString();

    // Another program reads what was stored.
    NVO_dBHandler other(path, true, false, "");
    other.Go(1);
    std::string stored(static_cast<size_t>(other.MemoSize(other.FieldNumber("NOTES"))), '\0');
    other.ReadMemo(other.FieldNumber("NOTES"), reinterpret_cast<uint8_t*>(stored.data()),
                   static_cast<int32_t>(stored.size()));
    EXPECT_EQ(stored, "new note");
}

TEST_F(BrowseFixture, TypingInALockedMemoShowsTheErrorAndKeepsTheStoredText) {
    NVO_dBHandler other(path, true, true, "");
    other.Go(2);
    ASSERT_TRUE(other.LockRecord());
    ClickMemoCell(1);
    QTest::keyClicks(browse->mmoMemo(), "x");
    EXPECT_EQ(asker.errors, (QStringList{"Record is locked by another user"}));
    EXPECT_EQ(browse->mmoMemo()->toPlainText(), "first note");
    EXPECT_EQ(Table().State(), dsBrowse);
}

TEST_F(BrowseFixture, TheMemoMenuWrapsAndFollowsTheSelection) {
    ClickMemoCell(1);
    ASSERT_TRUE(Choose(*browse, "pmWordWrap"));
    EXPECT_EQ(browse->mmoMemo()->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(browse->mmoMemo()->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    ASSERT_TRUE(Choose(*browse, "pmWordWrap"));
    EXPECT_EQ(browse->mmoMemo()->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(browse->mmoMemo()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    emit browse->MemoMenu()->aboutToShow();
    EXPECT_FALSE(Action(*browse, "pmMemoCopy")->isEnabled());
    ASSERT_TRUE(Choose(*browse, "pmSelectAll"));
    emit browse->MemoMenu()->aboutToShow();
    EXPECT_TRUE(Action(*browse, "pmMemoCopy")->isEnabled());
    EXPECT_TRUE(Action(*browse, "pmMemoCut")->isEnabled());
}

TEST_F(BrowseFixture, EnteringAMemoColumnPostsThePendingRecordAndEditsOn) {
    TDBGrid* grid = browse->grdDBF();
    const int member = Table().FieldByName("MEMBER").Index();
    const int notes = Table().FieldByName("NOTES").Index();
    ASSERT_EQ(notes, member + 1);
    grid->SetSelectedIndex(member);
    EXPECT_TRUE(grid->EditingAllowed());
    ASSERT_TRUE(Choose(*browse, "muEdit"));
    Table().FieldByName("NAME").SetAsString("Renamed");
    QTest::keyClick(grid, Qt::Key_Tab);
    ASSERT_EQ(grid->SelectedIndex(), notes);
    EXPECT_FALSE(grid->EditingAllowed());
    EXPECT_EQ(Table().State(), dsEdit);
    {
        NVO_dBHandler other(path, true, false, "");
        other.Go(1);
        EXPECT_EQ(other.GetTextByName("NAME").substr(0, 7), "Renamed");
    }
    QTest::keyClick(grid, Qt::Key_Backtab);
    EXPECT_EQ(grid->SelectedIndex(), member);
    EXPECT_TRUE(grid->EditingAllowed());
    EXPECT_EQ(Table().State(), dsEdit);
    ASSERT_TRUE(Choose(*browse, "muCancel"));
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(BrowseFixture, TheGridMenuCopiesFromTheCellBeingEdited) {
    TDBGrid* grid = browse->grdDBF();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    grid->SetSelectedIndex(Table().FieldByName("NAME").Index());
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(grid->InplaceEditor());
    ASSERT_NE(editor, nullptr);
    editor->setFocus();
    editor->selectAll();
    QApplication::clipboard()->clear();
    ASSERT_TRUE(Choose(*browse, "pmCopy"));
    EXPECT_EQ(QApplication::clipboard()->text().trimmed(), "Person 01");
}

TEST_F(BrowseFixture, AnotherProgramsAppendShowsWithinASecondButNotDuringAnEdit) {
    ASSERT_TRUE(apptest::Eventually([&] { return browse->Timer2()->isActive(); }, 1000));
    auto appendOne = [&](const char* name) {
        NVO_dBHandler other(path, true, true, "");
        other.BlankRecord();
        other.PutTextByName("NAME", name);
        other.Append();
    };
    appendOne("Visitor");
    ASSERT_TRUE(apptest::Eventually([&] { return form->pnlRecord()->text() == "Record 1 of 11"; }, 2500))
        << form->pnlRecord()->text().toStdString();
    Table().Last();
    EXPECT_EQ(Name(), "Visitor");

    Table().First();
    ASSERT_TRUE(Choose(*browse, "muEdit"));
    Table().FieldByName("NAME").SetAsString("Mine");
    appendOne("Second visitor");
    QTest::qWait(1500);
    EXPECT_EQ(Table().State(), dsEdit);
    EXPECT_EQ(Name(), "Mine");
    ASSERT_TRUE(Choose(*browse, "muPost"));
    ASSERT_TRUE(apptest::Eventually([&] { return form->pnlRecord()->text() == "Record 1 of 12"; }, 2500))
        << form->pnlRecord()->text().toStdString();
    Table().Last();
    EXPECT_EQ(Name(), "Second visitor");
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(BrowseFixture, ClosingTheWindowLiftsTheFilterButTheFramesResetDoesNot) {
    Table().SetFilter("AGE > 25");
    Table().SetFiltered(true);
    form->pnlFiltered()->setText("Filter");
    ASSERT_TRUE(Choose(*browse, "muShowDeleted"));
    browse->close();
    ASSERT_TRUE(apptest::Eventually([&] { return form->BrowseForm() == nullptr; }));
    EXPECT_FALSE(Table().Filtered());
    EXPECT_TRUE(Table().UseDeleted());
    EXPECT_EQ(form->pnlFiltered()->text(), "");
    EXPECT_FALSE(apptest::MenuTitles(*form).contains("&Record"));
    // The frame's Browse item comes back only with the next reset.
    EXPECT_FALSE(form->findChild<QAction*>("muBrowse")->isEnabled());

    form->ResetChildWindows();
    ASSERT_TRUE(Choose(*form, "muBrowse"));
    Table().SetFilter("AGE > 25");
    Table().SetFiltered(true);
    form->pnlFiltered()->setText("Filter");
    form->ResetChildWindows();
    EXPECT_EQ(form->BrowseForm(), nullptr);
    EXPECT_TRUE(Table().Filtered());
    EXPECT_EQ(form->pnlFiltered()->text(), "Filter");
}

TEST_F(BrowseFixture, Screenshot) {
    const QString folder = QString(PELMORA_BINARY_DIR) + "/screenshots";
    QDir().mkpath(folder);
    const QString file = folder + "/browse.png";
    ASSERT_TRUE(form->grab().save(file));
    EXPECT_GT(std::filesystem::file_size(file.toStdString()), 1000u);
}

}  // namespace
