// The windows with other code pages, progress of long operations, ordering by a column's
// title, recent tables, shortcuts, drag and drop, and the desktop's palette.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressDialog>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app_support.h"
#include "browser.h"
#include "dbgrid.h"
#include "nv6_bytes.h"
#include "nv_iconv.h"
#include "progress.h"
#include "qtext.h"

namespace {

using apptest::Action;
using apptest::Choose;

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A table of character fields, the language driver byte `mark` and records given as stored
// bytes, field by field (blank-padded here).
std::string MakeTable(const nvtest::ScratchDir& dir, const std::string& name, uint8_t mark,
                      const std::vector<std::pair<const char*, int>>& fields,
                      const std::vector<std::vector<std::string>>& rows) {
    const std::string path = dir.File(name);
    {
        NVO_DBFBuild build(path);
        for (const auto& [field, length] : fields) build.AddField(field, "C", length, 0);
        build.SetLanguageDriver(mark);
        build.Build();
    }
    std::string bytes = ReadBytes(path);
    bytes.pop_back();
    for (const auto& row : rows) {
        bytes += ' ';
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::string value = i < row.size() ? row[i] : std::string();
            value.resize(static_cast<std::size_t>(fields[i].second), ' ');
            bytes += value;
        }
    }
    bytes += '\x1A';
    nvbytes::StoreLE32(bytes.data() + 4, static_cast<uint32_t>(rows.size()));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

void Key(QWidget* target, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
}

void SaveScreenshot(QWidget& window, const char* name) {
    const QDir folder(QString(PELMORA_BINARY_DIR) + "/screenshots");
    folder.mkpath(".");
    EXPECT_TRUE(window.grab().save(folder.filePath(name)));
}

std::string Cp866(const char* utf8) { return nvtest::Encode("CP866", utf8); }

struct UsabilityFixture : apptest::MainFixture {
    void Open(const std::string& file) {
        form->OpenPath(QString::fromStdString(file));
        ASSERT_TRUE(Table().Active()) << asker.errors.join("; ").toStdString();
    }
    TBrowseForm* Browse() {
        EXPECT_TRUE(Choose(*form, "muBrowse"));
        return form->BrowseForm();
    }
    QString Shown(const char* field) { return BrowseCellText(Table().FieldByName(field)); }
};

TEST_F(UsabilityFixture, CyrillicTablesShowTheirTextInEveryWayTheirPageIsChosen) {
    const std::vector<std::pair<const char*, int>> fields = {{"NAME", 12}, {"CITY", 10}};
    const std::string marked = MakeTable(dir, "marked.dbf", 0x65, fields, {{Cp866("Иванов"), Cp866("Москва")}});
    Open(marked);
    EXPECT_EQ(form->pnlCodePage()->text(), "Code page 866/1251");
    ASSERT_NE(Browse(), nullptr);
    EXPECT_EQ(Shown("NAME"), QString("Иванов"));
    EXPECT_TRUE(Action(*form, "muCodePage0")->isChecked());
    SaveScreenshot(*form, "cyrillic.png");

    // Unmarked: the default pair shows something else until the user picks 866.
    const std::string plain = MakeTable(dir, "plain.dbf", 0, fields, {{Cp866("Иванов"), Cp866("Москва")}});
    Open(plain);
    EXPECT_EQ(form->pnlCodePage()->text(), "Code page 437/1252");
    EXPECT_NE(Shown("NAME"), QString("Иванов"));
    ASSERT_TRUE(Choose(*form, "muCodePage866"));
    EXPECT_TRUE(Action(*form, "muCodePage866")->isChecked());
    EXPECT_EQ(form->pnlCodePage()->text(), "Code page 866/1251");
    TBrowseForm* browse = Browse();
    ASSERT_NE(browse, nullptr);
    EXPECT_EQ(Shown("NAME"), QString("Иванов"));

    // Typing in the grid writes 866 bytes.
    TDBGrid* grid = browse->grdDBF();
    grid->SetSelectedIndex(1);
    Key(grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(grid->InplaceEditor());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), QString("Москва"));
    editor->selectAll();
    for (QChar c : QString("Тверь")) Key(editor, 0, QString(c));
    Key(editor, Qt::Key_Return);
    Table().CheckBrowseMode();
    EXPECT_NE(ReadBytes(plain).find(Cp866("Тверь")), std::string::npos);
    EXPECT_EQ(asker.errors, QStringList());

    // A table marked as Windows-1252 is shown as it stands; closing forgets the choice.
    const std::string western = MakeTable(dir, "western.dbf", 0x03, fields, {{"caf\xE9", "\xC0 la"}});
    Open(western);
    EXPECT_EQ(form->pnlCodePage()->text(), "Code page 1252");
    EXPECT_TRUE(Action(*form, "muCodePage0")->isChecked());
    ASSERT_NE(Browse(), nullptr);
    EXPECT_EQ(Shown("NAME"), QString("café"));
    EXPECT_EQ(Shown("CITY"), QString("À la"));

    const std::string hebrew = MakeTable(dir, "hebrew.dbf", 0x7D, fields, {{"x"}});
    Open(hebrew);
    EXPECT_EQ(form->pnlCodePage()->text(),
              "Code page 437/1252 (the table's mark 0x7D names a page not read here)");
}

TEST_F(UsabilityFixture, EveryByteOfAnUneditedFieldSurvivesTheGrid) {
    std::string low, high;
    for (int b = 1; b < 0x80; ++b) low.push_back(static_cast<char>(b));
    for (int b = 0x80; b < 0x100; ++b) high.push_back(static_cast<char>(b));
    const std::string path = MakeTable(dir, "bytes.dbf", 0, {{"LOW", 127}, {"HIGH", 128}, {"NOTE", 8}}, {{low, high, "note"}});
    Open(path);
    TBrowseForm* browse = Browse();
    ASSERT_NE(browse, nullptr);
    // Box drawing and the rest of 437 show as themselves.
    EXPECT_EQ(Shown("HIGH"), QString::fromStdString(nvtest::Decode("IBM437", high)));
    TDBGrid* grid = browse->grdDBF();
    for (int column : {0, 1}) {
        grid->SetSelectedIndex(column);
        Key(grid, Qt::Key_F2);
        ASSERT_NE(grid->InplaceEditor(), nullptr);
        Key(grid->InplaceEditor(), Qt::Key_Return);
    }
    grid->SetSelectedIndex(2);
    Key(grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(grid->InplaceEditor());
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    for (QChar c : QString("edited")) Key(editor, 0, QString(c));
    Key(editor, Qt::Key_Return);
    Table().CheckBrowseMode();
    EXPECT_NE(ReadBytes(path).find(low + high + "edited  "), std::string::npos);
    // Text taken from the screen goes back to the same bytes.
    const std::string ansi = Table().FieldByName("HIGH").AsString();
    EXPECT_EQ(ToAnsi(FromAnsi(ansi)), ansi);
}

TEST_F(UsabilityFixture, ProgressOfALargeIndexBuildReachesTheDialog) {
    constexpr int kRecords = 100000;
    std::vector<std::vector<std::string>> rows;
    rows.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) rows.push_back({"N" + std::to_string((i * 7919) % kRecords)});
    const std::string path = MakeTable(dir, "large.dbf", 0, {{"NAME", 8}}, rows);
    Open(path);
    TProgressReporter& progress = form->Progress();
    // A clock that moves 1 ms at every look, so the half second passes during the build.
    int64_t now = 0;
    bool shownDuringBuild = false;
    progress.SetClock([&] {
        shownDuringBuild = shownDuringBuild || (progress.Dialog() && progress.Dialog()->isVisible());
        return now += 1;
    });
    Table().IndexOn(dir.File("large.cdx"), "NAME", "NAME", "", true, false);
    EXPECT_TRUE(shownDuringBuild);
    EXPECT_TRUE(EngineBusy());

    const auto& history = progress.History();
    ASSERT_FALSE(history.empty());
    EXPECT_GE(history.front().at, 500);
    bool reading = false, writing = false;
    for (std::size_t i = 0; i < history.size(); ++i) {
        const auto& shown = history[i];
        reading = reading || (shown.phase == "Reading records" && shown.maximum == kRecords && shown.value > 0);
        writing = writing || (shown.phase == "Writing keys" && shown.maximum == kRecords && shown.value > 0);
        EXPECT_LE(shown.value, shown.maximum);
        // Updates come at most every 50 ms, except where a phase begins.
        if (i > 0 && history[i].phase == history[i - 1].phase && history[i].value > 0) {
            EXPECT_GE(history[i].at - history[i - 1].at, 50) << i;
        }
    }
    EXPECT_TRUE(reading);
    EXPECT_TRUE(writing);
    EXPECT_LT(history.size(), 10000u);
    // Back in the event loop the operation is over and the dialog goes.
    ASSERT_TRUE(apptest::Eventually([&] { return progress.Dialog() == nullptr && !EngineBusy(); }));
}

TEST_F(UsabilityFixture, ATitleClickOrdersByTheFieldsTagAndASecondOneGoesBack) {
    OpenPeople();
    Table().IndexOn(dir.File("people.cdx"), "NAMEFOR", "NAME", "AGE > 22", true, false);
    Table().IndexOn(dir.File("people.cdx"), "AGEONE", "AGE", "", false, false);
    Table().IndexOn(dir.File("people.cdx"), "UNAME", "upper( people->name )", "", true, true);
    Table().IndexFiles().Add("people.cdx");
    TBrowseForm* browse = Browse();
    ASSERT_NE(browse, nullptr);
    TDBGrid* grid = browse->grdDBF();
    ASSERT_TRUE(apptest::Eventually([&] { return browse->isMaximized(); }));
    Table().SetRecNo(5);
    auto clickTitle = [&](const char* field) {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->CellRect(-1, Table().FieldByName(field).Index()).center());
    };

    clickTitle("NAME");
    EXPECT_EQ(Table().IndexName(), "UNAME");
    EXPECT_EQ(Table().RecNo(), 5);
    SaveScreenshot(*form, "title-order.png");
    EXPECT_EQ(grid->OrderColumn(), Table().FieldByName("NAME").Index());
    EXPECT_EQ(form->pnlIndex()->text(), "Index is UNAME");
    Table().First();
    EXPECT_EQ(Table().FieldByName("NAME").AsString(), "Person 10");  // descending

    // Only a unique tag orders by AGE: it would hide records, so nothing changes.
    clickTitle("AGE");
    EXPECT_EQ(Table().IndexName(), "UNAME");

    Table().SetRecNo(7);
    clickTitle("NAME");
    EXPECT_EQ(Table().IndexName(), "");
    EXPECT_EQ(Table().RecNo(), 7);
    EXPECT_EQ(grid->OrderColumn(), -1);
    EXPECT_EQ(form->pnlIndex()->text(), "Natural Order");
    EXPECT_EQ(asker.errors, QStringList());
}

TEST_F(UsabilityFixture, ExportsTakeTheOrderTheFilterAndTheCodePageOfTheOpenTable) {
    OpenPeople();
    EXPECT_TRUE(Action(*form, "muExportCsv")->isEnabled());
    Table().IndexOn(dir.File("people.cdx"), "DNAME", "NAME", "", true, true);
    Table().IndexFiles().Add("people.cdx");
    Table().SetIndexName("DNAME");
    Table().SetFilter("AGE > 26");
    Table().SetFiltered(true);
    asker.AnswerFile(QString::fromStdString(dir.File("people.csv")));
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Choose(*form, "muExportCsv"));
    EXPECT_EQ(asker.errors, QStringList());
    EXPECT_TRUE(asker.asked.contains("message: exported 4 records to " + QString::fromStdString(dir.File("people.csv"))))
        << asker.asked.join("; ").toStdString();
    const std::string csv = ReadBytes(dir.File("people.csv"));
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "NAME,AGE,BORN,MEMBER,NOTES");
    EXPECT_LT(csv.find("Person 10"), csv.find("Person 07"));
    EXPECT_EQ(csv.find("Person 06"), std::string::npos);

    const std::string cyr = MakeTable(dir, "marked.dbf", 0x65, {{"NAME", 12}}, {{Cp866("Иванов")}});
    Open(cyr);
    asker.AnswerFile(QString::fromStdString(dir.File("marked.csv")));
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Choose(*form, "muExportCsv"));
    EXPECT_EQ(ReadBytes(dir.File("marked.csv")), "NAME\r\nИванов\r\n");
    asker.AnswerFile(QString::fromStdString(dir.File("marked.db")));
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Choose(*form, "muExportSqlite"));
    EXPECT_TRUE(asker.asked.contains("message: exported 1 record to table marked of " +
                                     QString::fromStdString(dir.File("marked.db"))))
        << asker.asked.join("; ").toStdString();
    // A failure is the tool's message.
    asker.AnswerFile(QString::fromStdString(cyr));
    ASSERT_TRUE(Choose(*form, "muExportSqlite"));
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_TRUE(asker.errors.front().startsWith("will not write the database over")) << asker.errors.front().toStdString();
}

TEST_F(UsabilityFixture, RecentTablesShortcutsAndDroppedFiles) {
    const std::string other = MakeTable(dir, "other.dbf", 0, {{"A", 4}}, {{"x"}});
    OpenPeople();
    Open(other);
    const QString people = QFileInfo(QString::fromStdString(path)).absoluteFilePath();
    const QString second = QFileInfo(QString::fromStdString(other)).absoluteFilePath();
    EXPECT_EQ(form->RecentFiles().mid(0, 2), (QStringList{second, people}));
    EXPECT_EQ(Action(*form, "muRecent2")->text(), "&2 " + people);
    ASSERT_TRUE(Choose(*form, "muRecent2"));
    EXPECT_EQ(form->TableFileName(), "people.dbf");
    EXPECT_EQ(form->RecentFiles().mid(0, 2), (QStringList{people, second}));
    for (int i = 0; i < 6; ++i) Open(MakeTable(dir, "t" + std::to_string(i) + ".dbf", 0, {{"A", 4}}, {}));
    EXPECT_EQ(form->RecentFiles().size(), 5);
    EXPECT_EQ(form->findChild<QAction*>("muRecent6"), nullptr);

    auto has = [&](QWidget& window, const char* action, QKeySequence keys) {
        return Action(window, action)->shortcuts().contains(keys);
    };
    EXPECT_TRUE(has(*form, "muOpenDBF", QKeySequence(Qt::CTRL | Qt::Key_O)));
    EXPECT_TRUE(has(*form, "muCloseDBF", QKeySequence(Qt::CTRL | Qt::Key_W)));
    EXPECT_TRUE(has(*form, "muRefresh", QKeySequence(Qt::Key_F5)));
    TBrowseForm* browse = Browse();
    ASSERT_NE(browse, nullptr);
    EXPECT_TRUE(has(*browse, "muFind", QKeySequence(Qt::CTRL | Qt::Key_F)));

    // A table dropped from a file manager opens; anything else is refused.
    QMimeData notTable;
    notTable.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.File("notes.txt")))});
    QDragEnterEvent refused(QPoint(20, 40), Qt::CopyAction, &notTable, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    QMimeData table;
    table.setUrls({QUrl::fromLocalFile(QString::fromStdString(other))});
    QDragEnterEvent enter(QPoint(20, 40), Qt::CopyAction, &table, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 40), Qt::CopyAction, &table, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &drop);
    EXPECT_EQ(form->TableFileName(), "other.dbf");
    EXPECT_TRUE(Table().Active());
    EXPECT_EQ(form->BrowseForm(), nullptr);
    EXPECT_EQ(asker.errors, QStringList());
}

TEST_F(UsabilityFixture, TheGridTakesTheDesktopsDarkPaletteButDeletedRowsStayYellow) {
    BrowsePeople();
    TBrowseForm* browse = form->BrowseForm();
    ASSERT_TRUE(apptest::Eventually([&] { return browse->isMaximized(); }));
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 34));
    dark.setColor(QPalette::Text, QColor(220, 220, 220));
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::Button, QColor(50, 50, 55));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    QApplication::setPalette(dark);
    QTest::qWait(20);
    TDBGrid* grid = browse->grdDBF();
    const QImage image = grid->viewport()->grab().toImage();
    QApplication::setPalette(QPalette());
    image.save(QString(PELMORA_BINARY_DIR) + "/screenshots/dark-grid.png");
    // A live row's cell (record 2, not the current one) and the deleted record 3.
    const QRect live = grid->CellRect(1, 1), deleted = grid->CellRect(2, 1);
    EXPECT_LT(image.pixelColor(live.right() - 3, live.center().y()).lightness(), 60);
    EXPECT_EQ(image.pixelColor(deleted.right() - 3, deleted.center().y()), QColor(Qt::yellow));
}

}  // namespace
