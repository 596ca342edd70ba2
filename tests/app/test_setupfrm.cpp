// The structure editor driven as a person drives it: the grid of a new and of an open table,
// the row checks and their warnings, dragging rows, listing the structure, saving in each
// table flavour, and the restructure copy with its backups, rebuilt indexes and undone file
// steps.
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>
#include <set>

#include "app_support.h"
#include "nv6_os.h"
#include "setupfrm.h"

namespace {

namespace fs = std::filesystem;
using apptest::Choose;
using Grid = TFieldGrid;

struct SetupFixture : apptest::MainFixture {
    TSetupForm* Editor() {
        const QList<QMdiSubWindow*> children = form->Workspace()->subWindowList();
        return children.size() == 1 ? qobject_cast<TSetupForm*>(children.front()) : nullptr;
    }
    TFieldGrid* TheGrid() { return Editor()->StringGrid1(); }
    QString Cell(int col, int row) { return TheGrid()->Cell(col, row); }
    QStringList Row(int row) {
        QStringList cells;
        for (int c = 0; c < Grid::kColumns; ++c) cells << Cell(c, row);
        return cells;
    }
    // A click on a data cell, as the mouse gives it.
    void Click(int col, int row) {
        TFieldGrid* grid = TheGrid();
        const QModelIndex index = grid->model()->index(row - 1, col - 1);
        grid->scrollTo(index);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
    }
    // Types into the editor of the current cell, replacing its text.
    void Type(const QString& text) {
        auto* editor = qobject_cast<QLineEdit*>(TheGrid()->indexWidget(TheGrid()->currentIndex()));
        ASSERT_NE(editor, nullptr) << "no editor on the current cell";
        editor->selectAll();
        QTest::keyClicks(editor, text);
    }
    void SetRow(int row, const QStringList& cells) {
        for (int c = 1; c < Grid::kColumns; ++c) TheGrid()->SetCell(c, row, cells[c - 1]);
    }
    void Press(const char* button) {
        auto* b = Editor()->findChild<QPushButton*>(button);
        ASSERT_NE(b, nullptr) << button;
        b->click();
    }
    // Saves and waits for Timer1's restructure copy to bring the editor back.
    void SaveAndWait() {
        TSetupForm* before = Editor();
        Press("btnSave");
        ASSERT_TRUE(apptest::Eventually(
            [&] { return !form->Timer1()->isActive() && Editor() && Editor() != before; }, 5000));
    }
    void NewTable(const std::string& name) {
        asker.AnswerFile(QString::fromStdString(dir.File(name)));
        ASSERT_TRUE(Choose(*form, "muNewDBF"));
        ASSERT_NE(Editor(), nullptr);
        asker.asked.clear();
    }
    std::set<std::string> Files() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path())) names.insert(entry.path().filename().string());
        return names;
    }
    static uint8_t Byte(const std::string& path, std::size_t offset) {
        return static_cast<uint8_t>(nvtest::ReadFile(path).at(offset));
    }
};

TEST_F(SetupFixture, ANewTableStartsWithOneFieldInEdit) {
    NewTable("fresh.dbf");
    TSetupForm* editor = Editor();
    EXPECT_EQ(editor->windowTitle(), "Setup fresh.dbf");
    EXPECT_EQ(form->pnlRecord()->text(), "Creating");
    ASSERT_TRUE(apptest::Eventually([&] { return editor->isMaximized(); }, 1000));
    EXPECT_EQ(TheGrid()->RowCount(), 2);
    EXPECT_EQ(Row(0), (QStringList{"Field", "Name", "Type", "Len", "Dec"}));
    EXPECT_EQ(Row(1), (QStringList{"1", "NEWFIELD", "C", "1", "0"}));
    EXPECT_EQ(editor->Label1()->text(), "Length is 2");
    EXPECT_EQ(editor->SelectedRow(), 1);
    EXPECT_EQ(editor->EditRow(), 1);
    EXPECT_EQ(TheGrid()->Col(), Grid::colName);
    EXPECT_TRUE(TheGrid()->Editing());
    EXPECT_EQ(editor->DBFTypeIndex(), TSetupForm::dtFoxPro);
    EXPECT_EQ(editor->DBFTypeGroup()->title(), "DBF Type");
    EXPECT_EQ(TheGrid()->verticalHeader()->toolTip(), "Drag field to another position");
    EXPECT_EQ(editor->findChild<QPushButton*>("btnList")->toolTip(), "Save structure to text file");
    EXPECT_FALSE(form->findChild<QAction*>("muSetup")->isEnabled());

    // Typing "m" as the type makes a memo field; its length and decimals are not for editing.
    Click(Grid::colType, 1);
    Type("m");
    Click(Grid::colLen, 1);
    EXPECT_EQ(Row(1), (QStringList{"1", "NEWFIELD", "M", "10", "0"}));
    EXPECT_EQ(TheGrid()->Col(), Grid::colType);
    EXPECT_EQ(editor->EditRow(), 1);
    EXPECT_TRUE(asker.asked.isEmpty()) << asker.asked.join("; ").toStdString();

    // Closing gives "&Setup" back.
    editor->close();
    EXPECT_TRUE(form->findChild<QAction*>("muSetup")->isEnabled());
}

TEST_F(SetupFixture, EveryRowCheckWarnsAndKeepsTheRowInEdit) {
    OpenPeople();
    TSetupForm* editor = Editor();
    ASSERT_NE(editor, nullptr);
    Press("btnEdit");
    ASSERT_EQ(editor->EditRow(), 1);
    const struct {
        QStringList row;
        const char* warning;
    } cases[] = {
        {{"elevenchars", "C", "20", "0"}, "Field name is invalid."},
        {{"  ", "C", "20", "0"}, "Field name is invalid."},
        {{"age", "C", "20", "0"}, "Field name is duplicated."},
        {{"NAME", "x", "20", "0"}, "Field type is invalid."},
        {{"NAME", "C", "2O", "0"}, "Field length is invalid."},
        {{"NAME", "N", "5", "x"}, "Field decimal length is invalid."},
    };
    for (const auto& c : cases) {
        SetRow(1, c.row);
        asker.asked.clear();
        asker.AnswerButton(QMessageBox::Ok);
        Click(Grid::colName, 3);
        EXPECT_EQ(asker.asked, QStringList{QString("message: ") + c.warning}) << c.warning;
        EXPECT_EQ(editor->EditRow(), 1) << c.warning;
        EXPECT_EQ(TheGrid()->Row(), 1) << c.warning;
    }
    // A valid row: the name is upper-cased, C gets no decimals, editing ends on the new row.
    asker.asked.clear();
    SetRow(1, {"fullname", "c", "30", "4"});
    Click(Grid::colName, 3);
    EXPECT_TRUE(asker.asked.isEmpty());
    EXPECT_EQ(Row(1), (QStringList{"1", "FULLNAME", "C", "30", "0"}));
    EXPECT_EQ(editor->EditRow(), -1);
    EXPECT_EQ(editor->SelectedRow(), 3);
    EXPECT_FALSE(TheGrid()->Editing());
    EXPECT_EQ(editor->Label1()->text(), "Length is 53");

    // Leaving the grid for a button checks the row in edit once, and brings the focus back.
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Click(Grid::colName, 2);
    Press("btnEdit");
    TheGrid()->SetCell(Grid::colName, 2, "");
    asker.asked.clear();
    asker.AnswerButton(QMessageBox::Ok);
    editor->findChild<QPushButton*>("btnAdd")->setFocus();
    EXPECT_EQ(asker.asked, QStringList{"message: Field name is invalid."});
    EXPECT_TRUE(TheGrid()->hasFocus() || TheGrid()->isAncestorOf(QApplication::focusWidget()));
    EXPECT_TRUE(asker.AllAnswered());
}

TEST_F(SetupFixture, SaveChecksEveryRowAndBuildsNothingOnAnError) {
    NewTable("fresh.dbf");
    Press("btnAdd");
    SetRow(2, {"PRICE", "N", "5", "5"});  // never validated: decimals must stay below the length
    asker.AnswerButton(QMessageBox::Ok);
    Press("btnSave");
    EXPECT_EQ(asker.asked.last(), "message: Field length is invalid.");
    EXPECT_EQ(Editor()->EditRow(), 2);
    EXPECT_FALSE(fs::exists(dir.File("fresh.dbf")));
    EXPECT_FALSE(form->Timer1()->isActive());

    SetRow(2, {"PRICE", "N", "5", "2"});
    SetRow(1, {"BIG", "C", "65535", "0"});  // the record would be longer than 65,535
    asker.AnswerButton(QMessageBox::Ok);
    Press("btnSave");
    EXPECT_EQ(asker.asked.last(), "message: Field length is invalid.");
    EXPECT_FALSE(fs::exists(dir.File("fresh.dbf")));
    EXPECT_TRUE(asker.AllAnswered());
}

TEST_F(SetupFixture, ASaveThatCannotHaveTheTableAloneBuildsNothingAndLeavesItShared) {
    OpenPeople();
    NVO_dBHandler other(path, true, false, "");
    Press("btnSave");
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_TRUE(Table().Active());
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_FALSE(form->Timer1()->isActive());
    EXPECT_EQ(Files(), (std::set<std::string>{"people.dbf", "people.fpt"}));
}

TEST_F(SetupFixture, ATableClosedWhileTheCopyWaitsGetsNoCopy) {
    OpenPeople();
    Press("btnSave");
    Press("btnSave");  // a second save while the first waits changes nothing
    EXPECT_EQ(Files().size(), 4u);
    ASSERT_TRUE(Choose(*form, "muCloseDBF"));
    ASSERT_TRUE(apptest::Eventually([&] { return !form->Timer1()->isActive(); }, 5000));
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    EXPECT_FALSE(Table().Active());
    EXPECT_EQ(Files(), (std::set<std::string>{"people.dbf", "people.fpt"}));
}

TEST_F(SetupFixture, SaveCreatesTheNewTableInTheChosenFlavour) {
    const struct {
        int item;
        uint8_t version;
        const char* memo;
        uintmax_t memoSize;
    } flavours[] = {{TSetupForm::dtClipper, 0x83, "t0.dbt", 513},
                    {TSetupForm::dtDBase3, 0x83, "t1.dbt", 513},
                    {TSetupForm::dtDBase4, 0x8B, "t2.dbt", 24},
                    {TSetupForm::dtFoxPro, 0xF5, "t3.fpt", 512}};
    for (const auto& f : flavours) {
        const std::string name = "t" + std::to_string(f.item) + ".dbf";
        NewTable(name);
        Editor()->SetDBFTypeIndex(f.item);
        SetRow(1, {"NAME", "C", "12", "0"});
        Press("btnAdd");
        SetRow(2, {"NOTES", "M", "10", "0"});
        SaveAndWait();
        EXPECT_EQ(Byte(dir.File(name), 0), f.version) << name;
        EXPECT_EQ(fs::file_size(dir.File(f.memo)), f.memoSize) << name;
        ASSERT_TRUE(Table().Active());
        EXPECT_EQ(Table().FieldCount(), 2);
        EXPECT_EQ(form->pnlRecord()->text(), "0 Records");
        // The editor comes back on the new table, showing its flavour.
        EXPECT_EQ(Editor()->windowTitle(), QString::fromStdString("Setup " + name));
        EXPECT_EQ(Editor()->DBFTypeIndex(), f.item == TSetupForm::dtClipper ? TSetupForm::dtDBase3 : f.item);
        EXPECT_EQ(Row(2), (QStringList{"2", "NOTES", "M", "10", "0"}));
    }
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
}

TEST_F(SetupFixture, RowsAreDraggedByTheirFieldColumnAndListedAsEdited) {
    OpenPeople();
    TSetupForm* editor = Editor();
    EXPECT_EQ(editor->windowTitle(), "Setup people.dbf");
    EXPECT_EQ(form->pnlRecord()->text(), "10 Records");
    EXPECT_EQ(editor->Label1()->text(), "Length is 43");
    EXPECT_EQ(Row(5), (QStringList{"5", "NOTES", "M", "10", "0"}));
    EXPECT_EQ(editor->EditRow(), -1);

    TheGrid()->verticalHeader()->moveSection(4, 1);
    EXPECT_EQ(Row(2), (QStringList{"5", "NOTES", "M", "10", "0"}));
    EXPECT_EQ(Row(3), (QStringList{"2", "AGE", "N", "3", "0"}));
    EXPECT_EQ(Row(5), (QStringList{"4", "MEMBER", "L", "1", "0"}));
    EXPECT_EQ(TheGrid()->verticalHeader()->logicalIndex(1), 1);  // the header itself did not move
    EXPECT_EQ(editor->SelectedRow(), 2);
    EXPECT_EQ(editor->EditRow(), 2);

    Press("btnDelete");
    EXPECT_EQ(TheGrid()->RowCount(), 5);
    EXPECT_EQ(Row(2), (QStringList{"2", "AGE", "N", "3", "0"}));
    EXPECT_EQ(editor->Label1()->text(), "Length is 33");

    const std::string listing = dir.File("people.txt");
    asker.AnswerFile(QString::fromStdString(listing));
    Press("btnList");
    EXPECT_EQ(asker.lastFileQuestion.title, "Save As");
    EXPECT_EQ(asker.lastFileQuestion.defaultSuffix, "TXT");
    EXPECT_EQ(asker.lastFileQuestion.fileName, "people.TXT");
    EXPECT_EQ(asker.lastFileQuestion.directory, QString::fromStdString(dir.Path() + "/"));
    EXPECT_EQ(nvtest::ReadFile(listing), "NAME;C;20;0\nAGE;N;3;0\nBORN;D;8;0\nMEMBER;L;1;0\n");
}

TEST_F(SetupFixture, CellsAreDrawnInTheRowColours) {
    OpenPeople();
    TSetupForm* editor = Editor();
    auto colour = [&](int col, int row) {
        QImage image(40, 20, QImage::Format_RGB32);
        QPainter painter(&image);
        editor->DrawCell(painter, image.rect(), col, row);
        painter.end();
        return image.pixelColor(1, 1);
    };
    const QColor face = TheGrid()->palette().color(QPalette::Button);
    EXPECT_EQ(colour(Grid::colName, 0), face);
    EXPECT_EQ(colour(Grid::colField, 1), face);
    EXPECT_EQ(colour(Grid::colName, 1), QColor(0, 0, 128));
    EXPECT_EQ(colour(Grid::colName, 2), QColor(Qt::white));
    Press("btnEdit");
    EXPECT_EQ(colour(Grid::colName, 1), QColor(Qt::red));
    EXPECT_EQ(colour(Grid::colField, 1), QColor(Qt::red));
}

// people.dbf with notes on several records, a CDX holding a tag on NAME, and an NDX on the
// MEMBER field, which the restructure below removes.
struct RestructureFixture : SetupFixture {
    void SetUp() override {
        SetupFixture::SetUp();
        {
            NVO_dBHandler t(path, false, true, "");
            for (int n : {5, 7}) {
                t.Go(n);
                const std::string note = "note of " + std::to_string(n) + std::string(300, '.');
                const int field = t.FieldNumber("NOTES");
                t.SetNumber(field, t.WriteMemo(field, reinterpret_cast<const uint8_t*>(note.data()),
                                               static_cast<int32_t>(note.size())));
                t.WriteRecord(n);
            }
        }
        // Code page 850 named in the header.
        std::string bytes = nvtest::ReadFile(path);
        bytes[29] = 0x02;
        nvtest::WriteFile(path, bytes);
        OpenPeople();
        Table().IndexOn(dir.File("people.cdx"), "NAME", "UPPER(NAME)", "", true, false);
        Table().IndexOn(dir.File("member.ndx"), "MEMBER", "IIF(MEMBER, 'Y', 'N')", "", true, false);
        Table().IndexFiles().Add("people.cdx");
        Table().IndexFiles().Add("member.ndx");
        Table().SetIndexName("NAME");
        Table().SetFilter("AGE > 25");
        Table().SetFiltered(true);
        form->ResetChildWindows();
        ASSERT_TRUE(Choose(*form, "muSetup"));
        oldTable = nvtest::ReadFile(path);
        oldMemo = nvtest::ReadFile(dir.File("people.fpt"));
    }
    // Delete MEMBER, drag NOTES to the top, shorten NAME, add CODE.
    void EditStructure() {
        Click(Grid::colName, 4);
        Press("btnDelete");
        TheGrid()->verticalHeader()->moveSection(3, 0);
        Click(Grid::colName, 2);
        Press("btnEdit");
        Click(Grid::colLen, 2);
        Type("12");
        Press("btnAdd");
        Type("code");
        Click(Grid::colName, 1);
        ASSERT_EQ(Row(5), (QStringList{"5", "CODE", "C", "1", "0"}));
        ASSERT_EQ(Row(1), (QStringList{"5", "NOTES", "M", "10", "0"}));
        ASSERT_EQ(Editor()->EditRow(), -1);
    }
    std::string oldTable, oldMemo;
};

TEST_F(RestructureFixture, CarriesEveryRecordIntoTheNewFieldsAndKeepsBackups) {
    EditStructure();
    // Another program shows up between saving and the copy: the table is not to be had.
    asker.AnswerButton(QMessageBox::Ok);
    Press("btnSave");
    EXPECT_TRUE(Table().Exclusive());
    EXPECT_THROW({ NVO_dBHandler other(path, true, false, ""); }, ENorvaneError);
    ASSERT_TRUE(apptest::Eventually([&] { return !form->Timer1()->isActive() && Editor(); }, 5000));
    ASSERT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    // The NDX keyed on the removed field is named, left alone and not reopened.
    ASSERT_EQ(asker.asked.size(), 1);
    EXPECT_TRUE(asker.asked.front().contains("member.ndx")) << asker.asked.front().toStdString();
    EXPECT_TRUE(asker.asked.front().contains("index tag MEMBER no longer fits")) << asker.asked.front().toStdString();

    EXPECT_EQ(nvtest::ReadFile(dir.File("people.hbf")), oldTable);
    EXPECT_EQ(nvtest::ReadFile(dir.File("people.hpt")), oldMemo);
    EXPECT_EQ(Files(), (std::set<std::string>{"people.dbf", "people.fpt", "people.cdx", "member.ndx", "people.hbf",
                                              "people.hpt"}));
    EXPECT_EQ(Byte(path, 29), 0x02);
    EXPECT_EQ(Byte(path, 28) & 0x01, 0x01);  // the production index is still marked

    EXPECT_FALSE(Table().Exclusive());
    EXPECT_FALSE(Table().Filtered());
    EXPECT_EQ(Table().IndexFiles().Items(), std::vector<std::string>{"people.cdx"});
    EXPECT_EQ(Table().IndexName(), "NAME");
    EXPECT_EQ(form->pnlIndex()->text(), "Index is NAME");
    EXPECT_EQ(form->pnlRecord()->text(), "10 Records");
    EXPECT_EQ(Row(1), (QStringList{"1", "NOTES", "M", "10", "0"}));
    EXPECT_EQ(Row(2), (QStringList{"2", "NAME", "C", "12", "0"}));

    NVO_dBHandler t(path, true, false, "");
    ASSERT_EQ(t.FieldCount(), 5);
    ASSERT_EQ(t.RecordCount(), 10);
    for (int n = 1; n <= 10; ++n) {
        t.Go(n);
        const std::string number = (n < 10 ? "0" : "") + std::to_string(n);
        EXPECT_EQ(t.GetTextByName("NAME"), "Person " + number);
        EXPECT_EQ(t.GetNumberByName("AGE"), 20 + n);
        EXPECT_EQ(t.GetDateByName("BORN"), TnvDBFDate::YMDToDay(1990, 3, n));
        EXPECT_EQ(t.GetRawByName("CODE"), " ") << n;
        const std::string note = n == 2 ? "first note"
                                 : n == 5 || n == 7 ? "note of " + std::to_string(n) + std::string(300, '.')
                                                    : "";
        EXPECT_EQ(t.GetTextByName("NOTES"), note) << n;
        EXPECT_EQ(t.RecordPointer()[0] == '*', n == 3) << n;
    }
    // The rebuilt tag has the new key length and finds every record.
    EXPECT_EQ(t.OpenIndex(dir.File("people.cdx")), 0);
    t.SetOrder("NAME", false);
    EXPECT_TRUE(t.Find("PERSON 07"));
    EXPECT_EQ(t.CurrentRecord(), 7);
}

TEST_F(RestructureFixture, AFailedFileStepPutsTheOldTableBack) {
    EditStructure();
    // Each rename of the exchange in turn fails, and once a write while copying.
    for (int step = 1; step <= 5; ++step) {
        SCOPED_TRACE(step);
        Press("btnSave");
        NvFaultPlatform faults;
        if (step <= 4)
            faults.Fail(NvOsOp::Rename, step);
        else
            faults.Fail(NvOsOp::Write, 7);
        {
            NvPlatformScope use(faults);
            ASSERT_TRUE(apptest::Eventually([&] { return !form->Timer1()->isActive() && Editor(); }, 5000));
        }
        EXPECT_EQ(faults.Injected(), 1);
        ASSERT_EQ(asker.errors.size(), 1);
        if (step <= 4) {
            EXPECT_TRUE(asker.errors.front().startsWith("Error on Rename of file"));
        }
        asker.errors.clear();
        asker.asked.clear();
        EXPECT_EQ(nvtest::ReadFile(path), oldTable);
        EXPECT_EQ(nvtest::ReadFile(dir.File("people.fpt")), oldMemo);
        EXPECT_EQ(Files(), (std::set<std::string>{"people.dbf", "people.fpt", "people.cdx", "member.ndx"}));
        // The old table is open again as it was, and the editor shows its fields.
        ASSERT_TRUE(Table().Active());
        EXPECT_FALSE(Table().Exclusive());
        EXPECT_EQ(Table().IndexName(), "NAME");
        EXPECT_EQ(Table().FieldCount(), 5);
        EXPECT_EQ(Row(4), (QStringList{"4", "MEMBER", "L", "1", "0"}));
        EditStructure();
    }
}

TEST_F(SetupFixture, Screenshot) {
    OpenPeople();
    ASSERT_TRUE(apptest::Eventually([&] { return Editor()->isMaximized(); }, 1000));
    Press("btnEdit");
    const QString folder = QString(PELMORA_BINARY_DIR) + "/screenshots";
    QDir().mkpath(folder);
    const QString file = folder + "/setup.png";
    ASSERT_TRUE(form->grab().save(file));
    EXPECT_GT(fs::file_size(file.toStdString()), 1000u);
}

}  // namespace
