// The browse window: the open table in a grid, with the record commands, a memo panel over
// the grid, and the find and filter dialogs. A child window of the main frame working on
// its ActiveTable; it adds its "&Record" menu to the frame's menu bar while it exists.
#pragma once

#include <QMdiSubWindow>

#include "db_links.h"

class QAction;
class QLabel;
class QMenu;
class QPainter;
class QPushButton;
class QStackedLayout;
class QTimer;
class TDBGrid;
class TDBMemo;
class TField;
class TMainForm;
class TNorvaneDataSet;

// The text a cell of the browse grid shows: "(memo)" for a memo or blob field without a
// value, "(MEMO)" for one with a value, else the field's text.
QString BrowseCellText(TField& field);

class TBrowseForm : public QMdiSubWindow {
    Q_OBJECT
public:
    explicit TBrowseForm(TMainForm& mainForm);
    ~TBrowseForm() override;

    TDBGrid* grdDBF() const { return grdDBF_; }
    QWidget* pnlMemo() const { return pnlMemo_; }
    TDBMemo* mmoMemo() const { return mmoMemo_; }
    QLabel* lblMemo() const { return lblMemo_; }
    QMenu* RecordMenu() const { return mnuRecord_; }
    QMenu* GridMenu() const { return pmGrid_; }
    QMenu* MemoMenu() const { return pmMemo_; }
    TDataSource& DataSource() { return dsDBF_; }
    QTimer* Timer1() const { return timer1_; }
    QTimer* Timer2() const { return timer2_; }

    // Draws one data cell: deleted records yellow with red text, memo fields as "(memo)" or
    // "(MEMO)", the text 4 pixels right of and 2 below the corner. Never throws.
    void DrawCell(QPainter& painter, const QRect& cell, TField& field, bool selected);

protected:
    // Closing by the person (not by the frame's reset) leaves the table unfiltered and
    // showing deleted records.
    void closeEvent(QCloseEvent* event) override;

private:
    TNorvaneDataSet& Table();
    void BuildGrid();
    void BuildMemoPanel();
    void BuildMenus();
    QAction* AddCommand(QMenu* menu, const char* name, const QString& text, void (TBrowseForm::*command)());

    void Append();
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void Undelete();
    void ShowDeleted(bool show);
    void Find();
    void Filter();
    void ColumnEntered();
    void CellClicked(TField* field);
    // A title click orders by the tag of that field alone; a second one goes back to
    // natural order.
    void TitleClicked(TField* field);
    // Marks the column whose field alone gives the current order.
    void ShowOrderColumn();
    void MemoClose();
    void MemoCancel();
    void MemoFont();
    void MemoWordWrap(bool wrap);
    void MemoMenuShowing();
    void Maximise();
    void CheckForChanges();
    // Browsing: Append and Edit enabled; editing: Post and Cancel.
    void SetEditingMenu(bool editing);
    void ShowRecordPosition();

    TMainForm& main_;
    TDataSource dsDBF_;
    QStackedLayout* pages_ = nullptr;
    TDBGrid* grdDBF_ = nullptr;
    QWidget* pnlMemo_ = nullptr;
    QLabel* lblMemo_ = nullptr;
    TDBMemo* mmoMemo_ = nullptr;
    QMenu* mnuRecord_ = nullptr;
    QMenu* pmGrid_ = nullptr;
    QMenu* pmMemo_ = nullptr;
    QAction* muAppend_ = nullptr;
    QAction* muEdit_ = nullptr;
    QAction* muPost_ = nullptr;
    QAction* muCancel_ = nullptr;
    QAction* muShowDeleted_ = nullptr;
    QAction* muFilter_ = nullptr;
    QAction* pmShowDeleted_ = nullptr;
    QAction* pmWordWrap_ = nullptr;
    QAction* pmMemoCopy_ = nullptr;
    QAction* pmMemoCut_ = nullptr;
    QAction* pmMemoPaste_ = nullptr;
    QTimer* timer1_ = nullptr;
    QTimer* timer2_ = nullptr;
};
