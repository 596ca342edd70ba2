// TDBGrid: the data-aware grid of the browse window. It shows the window of record buffers
// that its data link asks the record set for (as many as it has visible rows) and scrolls by
// moving the record set (MoveBy, First, Last, SetRelativePosition), the classic buffered
// design: however large the table, the grid only ever reads the rows it shows. One column per
// field of the dataset, a title row with the fields' display names, an indicator column
// marking the current row, an in-place editor that writes through the field objects.
//
// Every call into the record set from an event handler runs through Guarded, so an engine
// error becomes a message (Asker().ShowError) and never crosses Qt; painting never calls
// anything that moves the record set and draws a failed read as an empty cell.
#pragma once

#include <QAbstractScrollArea>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QLineEdit;
class QMenu;
class QPainter;
class QRect;
class TDataSet;
class TDataSource;
class TField;
class TGridDataLink;

class TDBGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    // The vertical scroll bar's range: a place in the order times this.
    static constexpr int kScrollRange = 10000;

    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    // Binds the grid to a data source (null unbinds). The grid asks the dataset, through its
    // data link, for as many record buffers as it has visible rows, and shows that window.
    void SetDataSource(TDataSource* source);
    TDataSource* DataSource() const;
    // Custom cell drawing. When DefaultDrawing() is false and the hook is set, the grid calls it
    // for every data cell with the row's record made the dataset's active record (so the hook may
    // ask the dataset about that record, e.g. IsDeleted()); `selected` is the current cell.
    // The hook fills the rectangle and draws the text itself.
    std::function<void(QPainter& painter, const QRect& cell, TField& field, bool selected)> OnDrawColumnCell;
    bool DefaultDrawing() const { return defaultDrawing_; }
    void SetDefaultDrawing(bool value);
    // In-place editing allowed (the Delphi grid's dgEditing option); default true. Switching
    // it off closes an open editor, keeping what was typed in the field.
    bool EditingAllowed() const { return editingAllowed_; }
    void SetEditingAllowed(bool value);
    // The current column (0-based among the grid's columns, one per field) and its field.
    int SelectedIndex() const { return selectedIndex_; }
    void SetSelectedIndex(int index);
    TField* SelectedField() const;
    // The in-place editor while a cell is being edited, else null (for clipboard commands).
    QWidget* InplaceEditor() const;
    // The menu shown on a right click (not owned).
    void SetPopupMenu(QMenu* menu);
    // The column whose field gives the records' order (its title shows a mark); -1: none.
    int OrderColumn() const { return orderColumn_; }
    void SetOrderColumn(int column);

    // --- geometry, for the window around the grid and for tests ---
    int ColumnCount() const { return static_cast<int>(columns_.size()); }
    int ColumnWidth(int index) const;
    // At least kMinColumnWidth pixels; the width stays with the field's name while the
    // dataset is reopened.
    void SetColumnWidth(int index, int width);
    // Whole data rows that fit below the title row (at least 1): the buffers the grid asks for.
    int VisibleRowCount() const;
    int RowHeight() const;
    int TitleHeight() const { return RowHeight(); }
    int IndicatorWidth() const { return kIndicatorWidth; }
    // A data cell (row 0 = first row of the window) or, with row -1, a title cell, in
    // viewport coordinates; the current horizontal scroll is applied.
    QRect CellRect(int row, int column) const;

    static constexpr int kMinColumnWidth = 8;
    static constexpr int kIndicatorWidth = 12;

signals:
    // The current column changed (keyboard, mouse or SetSelectedIndex).
    void ColEnter();
    // A data cell was clicked (after the grid moved to it).
    void CellClick(TField* field);
    // A column title was clicked (not its border, which resizes the column).
    void TitleClick(TField* field);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TGridDataLink;

    struct Column {
        TField* field = nullptr;
        int width = 0;
    };

    // --- what the data link reports ---
    void LinkActiveChanged();
    void LinkLayoutChanged();
    void LinkDataChanged();
    void LinkEditingChanged();
    void LinkRecordChanged(TField* field);
    // The dataset asks for pending values (before a post or a move): the editor's text.
    void LinkUpdateData();
    void LinkFocusControl(TField** field);

    TDataSet* DataSet() const;
    // One column per field of an open dataset, widths kept by field name.
    void BuildColumns();
    int DefaultColumnWidth(TField& field) const;
    int ColumnLeft(int column) const;  // viewport x, horizontal scroll applied
    int TotalColumnsWidth() const;
    // The column whose title border lies under `x` (for resizing), -1 when none.
    int BorderAt(int x) const;
    // Row and column under a viewport point; -1 where there is none.
    int RowAt(int y) const;
    int ColumnAt(int x) const;
    void UpdateHorizontalRange();
    void MakeColumnVisible(int column);
    // Buffers for the visible rows (runs the dataset: guarded).
    void UpdateBufferCount();
    // The scroll bar follows the record set once the current event is done (never from inside
    // a dataset notification, where moving the cursor could disturb the operation running).
    void ScheduleScrollBar();
    void SyncScrollBar();
    // The scroll bar's place for the active record; -1 when it cannot be had.
    int ScrollValue();
    void ScrollAction(int action);

    void PaintTitles(QPainter& painter);
    void PaintIndicator(QPainter& painter, const QRect& cell, bool current);
    void DefaultDrawCell(QPainter& painter, const QRect& cell, TField& field, bool selected);

    // Moves the record set by `distance` rows, guarded; whether it ran without error.
    bool Move(const std::function<void()>& move);
    // Opens the in-place editor on the current cell; `typed` replaces the field's text.
    bool ShowEditor(const QString* typed);
    // Writes the editor's text into its field when it was changed; false on error (shown).
    bool CommitEditor();
    void HideEditor();
    void PlaceEditor();
    // Escape in the grid or its editor: the cell's typing goes first, then the record edit.
    void CancelEdit();
    // Keys shared by the grid and its editor; true when handled.
    bool NavigationKey(QKeyEvent* event);
    // Column moves; Tab and Shift+Tab wrap to the next or prior row.
    void StepColumn(int delta, bool wrapRows);
    // Whether the current cell may get an editor.
    bool CellEditable() const;

    std::unique_ptr<TGridDataLink> link_;
    std::vector<Column> columns_;
    std::map<std::string, int> widthsByName_;
    int selectedIndex_ = 0;
    bool defaultDrawing_ = true;
    bool editingAllowed_ = true;
    QPointer<QMenu> popupMenu_;
    QLineEdit* editor_ = nullptr;
    TField* editorField_ = nullptr;
    bool editorModified_ = false;
    bool scrollBarPending_ = false;
    int resizingColumn_ = -1;
    int pressedTitle_ = -1;
    int orderColumn_ = -1;
    int wheelRemainder_ = 0;
};
