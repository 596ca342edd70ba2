// The field grid of the structure editor (setupfrm.h).
#pragma once

#include <QTableView>
#include <functional>

class QPainter;
class TFieldGridModel;

// A string grid of five columns (Field, Name, Type, Len, Dec) addressed as cells (column,
// row): row 0 is the header row and column Field the fixed first column, shown as the row
// headers, by which rows are dragged. Every cell is drawn by OnDrawCell. A move of the
// current cell by mouse or keyboard first asks OnSelectCell, which may refuse it, because Qt
// itself cannot veto a change of the current cell.
class TFieldGrid : public QTableView {
    Q_OBJECT
public:
    enum Column { colField, colName, colType, colLen, colDec, kColumns };

    explicit TFieldGrid(QWidget* parent = nullptr);

    QString Cell(int col, int row) const;
    void SetCell(int col, int row, const QString& text);
    // Rows including the header row; rows added are empty.
    int RowCount() const;
    void SetRowCount(int rows);
    // The field of the table being edited that a row stands for (0: an added row); it
    // travels with the row.
    int Source(int row) const;
    void SetSource(int row, int field);
    // Moves row `from` (its Field number and source included) to position `to`.
    void MoveRow(int from, int to);

    // The current cell; row 0 when the grid has no rows.
    int Col() const;
    int Row() const;
    void SetCurrent(int col, int row);

    // In-place editing with an always-visible editor on the current cell.
    void SetEditing(bool on);
    bool Editing() const { return editing_; }
    // Puts the text of an open editor into its cell.
    void CommitEditor();
    // The focus to the current cell's editor (to the grid without one).
    void FocusEditor();

    std::function<bool(int col, int row)> OnSelectCell;
    std::function<void(int col, int row)> OnCurrentChanged;
    std::function<void(QPainter& painter, const QRect& cell, int col, int row)> OnDrawCell;
    // A row dragged by its row header from `from` to `to` (rows from 1); the grid has not
    // moved it: MoveRow does.
    std::function<void(int from, int to)> OnRowMoved;

    // Paints a header cell (row 0 or column Field) through OnDrawCell.
    void DrawHeaderCell(QPainter& painter, const QRect& cell, int col, int row) const;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void mousePressEvent(QMouseEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool MayMoveTo(const QModelIndex& target);
    void SectionMoved(int logical, int oldVisual, int newVisual);

    TFieldGridModel* model_;
    QWidget* corner_ = nullptr;
    bool editing_ = false;
    bool undoingMove_ = false;
};
