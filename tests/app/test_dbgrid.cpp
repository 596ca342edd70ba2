// The data-aware grid over a record set on a small engine-made table: what it shows, how
// keys, clicks and the scroll bar move the record set, in-place editing through the fields
// (posting, cancelling, memo columns refused, a locked record reported), column resizing
// and the drawing hook.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "db_links.h"
#include "dbgrid.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv_dataset.h"
#include "qt_app.h"
#include "scratch_dir.h"
#include "scripted_asker.h"

namespace {

const char* const kNames[] = {"Adams", "Brown", "Clark", "Davis", "Evans", "Foster", "Green"};
constexpr int kRows = 7;

void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
}

void Type(QWidget* target, const QString& text) {
    for (QChar c : text) Key(target, c.toUpper().unicode(), Qt::NoModifier, QString(c));
}

void Mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

class GridTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        const std::string path = dir.File("club.dbf");
        {
            NVO_DBFoxBuild build(path);
            build.AddField("NAME", "C", 10, 0);
            build.AddField("AGE", "N", 3, 0);
            build.AddField("NOTES", "M", 10, 0);
            build.Build();
        }
        {
            NVO_dBHandler t(path, false, true, "");
            for (int i = 0; i < kRows; ++i) {
                t.BlankRecord();
                t.PutRaw(1, kNames[i]);
                t.SetNumber(2, 20 + i);
                t.Append();
            }
        }
        ds.SetDatabaseName(dir.Path());
        ds.SetTableName("club.dbf");
        ds.Open();
        source.SetDataSet(&ds);
        grid = std::make_unique<TDBGrid>();
        grid->resize(420, 300);
        grid->SetDataSource(&source);
        grid->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        grid.reset();
        if (ds.Active()) ds.Cancel();
    }
    // The record's NAME as the engine has it on disk.
    std::string StoredName(int32_t record) {
        NVO_dBHandler t(dir.File("club.dbf"), true, false, "");
        t.Go(record);
        std::string raw = t.GetRaw(1);
        return raw.substr(0, raw.find_last_not_of(' ') + 1);
    }
    QWidget* Viewport() { return grid->viewport(); }

    TScriptedAsker asker;
    nvtest::ScratchDir dir;
    TNorvaneDataSet ds;
    TDataSource source;
    std::unique_ptr<TDBGrid> grid;
};

TEST_F(GridTest, ShowsTheWindowOfRowsThroughTheDrawingHook) {
    EXPECT_EQ(grid->ColumnCount(), 3);
    ASSERT_GE(grid->VisibleRowCount(), kRows);
    struct Cell {
        int recNo;
        std::string field;
        std::string text;
        bool selected;
    };
    std::vector<Cell> drawn;
    grid->SetDefaultDrawing(false);
    grid->OnDrawColumnCell = [&](QPainter& painter, const QRect& cell, TField& field, bool selected) {
        painter.fillRect(cell, Qt::white);
        drawn.push_back({ds.RecNo(), field.FieldName(), field.IsBlob() ? "" : field.DisplayText(), selected});
    };
    Key(grid.get(), Qt::Key_Down);
    Key(grid.get(), Qt::Key_Down);
    Key(grid.get(), Qt::Key_Right);
    drawn.clear();
    grid->grab();
    ASSERT_EQ(drawn.size(), static_cast<size_t>(kRows * 3));
    for (int row = 0; row < kRows; ++row) {
        const Cell& name = drawn[static_cast<size_t>(row * 3)];
        EXPECT_EQ(name.recNo, row + 1);
        EXPECT_EQ(name.field, "NAME");
        EXPECT_EQ(name.text, kNames[row]);
        EXPECT_EQ(drawn[static_cast<size_t>(row * 3 + 1)].text, std::to_string(20 + row));
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(drawn[static_cast<size_t>(row * 3 + c)].selected, row == 2 && c == 1) << row << "," << c;
    }
    // Drawing puts the active record back.
    EXPECT_EQ(ds.RecNo(), 3);
    // A value that cannot be read is drawn as an empty cell; the rest of the grid is drawn.
    ds.FieldByName("AGE").OnGetText = [&](TField&, std::string&, bool) {
        if (ds.RecNo() == 2) throw EDatabaseError("unreadable");
    };
    drawn.clear();
    grid->grab();
    EXPECT_EQ(drawn.size(), static_cast<size_t>(kRows * 3 - 1));
    ds.FieldByName("AGE").OnGetText = nullptr;
    // The picture of the default drawing, for a person to look at.
    grid->SetDefaultDrawing(true);
    grid->grab().save(QString(PELMORA_BINARY_DIR) + "/dbgrid.png");
}

TEST_F(GridTest, KeysMoveTheRecordSetAndTheColumn) {
    int entered = 0;
    QObject::connect(grid.get(), &TDBGrid::ColEnter, [&] { ++entered; });
    EXPECT_EQ(ds.RecNo(), 1);
    Key(grid.get(), Qt::Key_Down);
    EXPECT_EQ(ds.RecNo(), 2);
    Key(grid.get(), Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(ds.RecNo(), kRows);
    Key(grid.get(), Qt::Key_Up);
    EXPECT_EQ(ds.RecNo(), kRows - 1);
    Key(grid.get(), Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(ds.RecNo(), 1);
    Key(grid.get(), Qt::Key_PageDown);
    EXPECT_EQ(ds.RecNo(), kRows);
    Key(grid.get(), Qt::Key_PageUp);
    EXPECT_EQ(ds.RecNo(), 1);
    Key(grid.get(), Qt::Key_End);
    EXPECT_EQ(grid->SelectedIndex(), 2);
    EXPECT_EQ(grid->SelectedField(), &ds.FieldByName("NOTES"));
    Key(grid.get(), Qt::Key_Home);
    EXPECT_EQ(grid->SelectedIndex(), 0);
    EXPECT_EQ(entered, 2);
    // Tab walks the columns and, past the last one, the next row.
    Key(grid.get(), Qt::Key_Tab);
    Key(grid.get(), Qt::Key_Tab);
    Key(grid.get(), Qt::Key_Tab);
    EXPECT_EQ(grid->SelectedIndex(), 0);
    EXPECT_EQ(ds.RecNo(), 2);
    Key(grid.get(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(grid->SelectedIndex(), 2);
    EXPECT_EQ(ds.RecNo(), 1);
    // Delete belongs to the browse window's menu, not to the grid.
    Key(grid.get(), Qt::Key_Delete);
    EXPECT_FALSE(ds.IsDeleted());
    EXPECT_EQ(ds.State(), dsBrowse);
    // Columns that do not fit scroll into view.
    grid->resize(120, 300);
    Key(grid.get(), Qt::Key_Home);
    Key(grid.get(), Qt::Key_End);
    EXPECT_GT(grid->horizontalScrollBar()->value(), 0);
    EXPECT_LE(grid->CellRect(0, 2).right(), grid->viewport()->width());
    Key(grid.get(), Qt::Key_Home);
    EXPECT_EQ(grid->horizontalScrollBar()->value(), 0);
}

TEST_F(GridTest, InsertAddsARecordThatAMovePosts) {
    Key(grid.get(), Qt::Key_Down);
    Key(grid.get(), Qt::Key_Insert);
    EXPECT_EQ(ds.State(), dsInsert);
    Type(grid.get(), "N");
    Type(grid->InplaceEditor(), "eil");
    Key(grid->InplaceEditor(), Qt::Key_Down);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.RecordCount(), kRows + 1);
    EXPECT_EQ(StoredName(kRows + 1), "Neil");
}

TEST_F(GridTest, TypingEditsAndEnterThenDownPosts) {
    Type(grid.get(), "Z");
    QWidget* editor = grid->InplaceEditor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(ds.State(), dsEdit);
    Type(editor, "oe");
    Key(editor, Qt::Key_Return);
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Zoe");
    Key(grid.get(), Qt::Key_Down);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.RecNo(), 2);
    EXPECT_EQ(StoredName(1), "Zoe");
    // F2 edits the value in place; a move posts what the editor holds without Enter.
    Key(grid.get(), Qt::Key_F2);
    editor = grid->InplaceEditor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(static_cast<QLineEdit*>(editor)->text(), "Brown");
    Key(editor, Qt::Key_End);
    Type(editor, "e");
    Key(editor, Qt::Key_Down);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(StoredName(2), "Browne");
    // A number column takes a number; a bad one is refused with the field's message.
    Key(grid.get(), Qt::Key_Right);
    Type(grid.get(), "x");
    Key(grid.get(), Qt::Key_Down);
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_TRUE(asker.errors[0].contains("x")) << asker.errors[0].toStdString();
    EXPECT_NE(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.RecNo(), 3);
}

TEST_F(GridTest, EscapeDropsTheTypingThenTheRecordEdit) {
    Type(grid.get(), "Q");
    ASSERT_NE(grid->InplaceEditor(), nullptr);
    Key(grid->InplaceEditor(), Qt::Key_Escape);
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Adams");
    Key(grid.get(), Qt::Key_Escape);
    EXPECT_EQ(ds.State(), dsBrowse);
    // A cell committed with Enter is dropped with the record by Escape.
    Type(grid.get(), "Q");
    Key(grid->InplaceEditor(), Qt::Key_Return);
    Key(grid.get(), Qt::Key_F2);
    Key(grid->InplaceEditor(), Qt::Key_Escape);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Adams");
    EXPECT_EQ(StoredName(1), "Adams");
}

TEST_F(GridTest, MemoColumnsAndSwitchedOffEditingGetNoEditor) {
    grid->SetSelectedIndex(2);
    Type(grid.get(), "a");
    Key(grid.get(), Qt::Key_F2);
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsBrowse);
    grid->SetSelectedIndex(0);
    grid->SetEditingAllowed(false);
    Type(grid.get(), "a");
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsBrowse);
    // Without AutoEdit the grid does not put the record set into edit by itself.
    grid->SetEditingAllowed(true);
    source.SetAutoEdit(false);
    Type(grid.get(), "a");
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsBrowse);
}

TEST_F(GridTest, ALockedRecordIsReportedAndNotEdited) {
    NVO_dBHandler other(dir.File("club.dbf"), true, true, "");
    other.Go(1);
    ASSERT_TRUE(other.LockRecord());
    Type(grid.get(), "Q");
    EXPECT_EQ(grid->InplaceEditor(), nullptr);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(asker.errors, QStringList{"Record is locked by another user"});
}

TEST_F(GridTest, ClicksSelectCellsAndTitleBordersResizeColumns) {
    std::vector<TField*> clicked;
    QObject::connect(grid.get(), &TDBGrid::CellClick, [&](TField* f) { clicked.push_back(f); });
    const QRect cell = grid->CellRect(3, 1);
    Mouse(Viewport(), QEvent::MouseButtonPress, cell.center());
    Mouse(Viewport(), QEvent::MouseButtonRelease, cell.center(), Qt::NoButton);
    EXPECT_EQ(ds.RecNo(), 4);
    EXPECT_EQ(grid->SelectedIndex(), 1);
    EXPECT_EQ(clicked, std::vector<TField*>{&ds.FieldByName("AGE")});
    // A click on the current cell opens its editor.
    Mouse(Viewport(), QEvent::MouseButtonPress, cell.center());
    EXPECT_NE(grid->InplaceEditor(), nullptr);
    Key(grid->InplaceEditor(), Qt::Key_Escape);
    Key(grid.get(), Qt::Key_Escape);

    const int before = grid->ColumnWidth(0);
    const QRect title = grid->CellRect(-1, 0);
    const QPoint border(title.right() + 1, title.center().y());
    Mouse(Viewport(), QEvent::MouseButtonPress, border);
    Mouse(Viewport(), QEvent::MouseMove, border + QPoint(30, 0));
    Mouse(Viewport(), QEvent::MouseButtonRelease, border + QPoint(30, 0), Qt::NoButton);
    EXPECT_EQ(grid->ColumnWidth(0), before + 30);
    EXPECT_EQ(grid->CellRect(0, 1).left(), grid->IndicatorWidth() + before + 30);
    // A reopened table keeps the width the user gave the column.
    ds.Close();
    ds.Open();
    EXPECT_EQ(grid->ColumnWidth(0), before + 30);
}

TEST_F(GridTest, TheScrollBarFollowsAndMovesTheRecordSet) {
    grid->resize(420, 4 * grid->RowHeight() + 40);
    QApplication::processEvents();
    ASSERT_LT(grid->VisibleRowCount(), kRows);
    QScrollBar* bar = grid->verticalScrollBar();
    EXPECT_EQ(bar->maximum(), TDBGrid::kScrollRange);
    EXPECT_EQ(bar->value(), 0);
    Key(grid.get(), Qt::Key_End, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), TDBGrid::kScrollRange);
    // The thumb put in the middle (as a drag does) takes the record set to the middle.
    bar->setSliderPosition(TDBGrid::kScrollRange / 2);
    EXPECT_EQ(ds.RecNo(), 4);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(ds.RecNo(), 3);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), std::lround(TDBGrid::kScrollRange * 3.0 / kRows));
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(ds.RecNo(), 1);
}

}  // namespace
