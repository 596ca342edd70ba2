#include "fieldgrid.h"

#include <QAbstractButton>
#include <QAbstractTableModel>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>
#include <array>
#include <vector>

class TFieldGridModel : public QAbstractTableModel {
public:
    struct Row {
        std::array<QString, TFieldGrid::kColumns> cells;
        int source = 0;
    };
    // rows[0] is the header row; model row r is grid row r + 1, model column c grid column
    // c + 1 (column Field is the vertical header).
    std::vector<Row> rows{1};

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows.size()) - 1;
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : TFieldGrid::kColumns - 1; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
        return At(index.column() + 1, index.row() + 1);
    }
    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (!index.isValid() || role != Qt::EditRole) return false;
        Set(index.column() + 1, index.row() + 1, value.toString());
        return true;
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable : Qt::NoItemFlags;
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (role != Qt::DisplayRole) return {};
        return orientation == Qt::Horizontal ? At(section + 1, 0) : At(0, section + 1);
    }

    bool Valid(int col, int row) const {
        return col >= 0 && col < TFieldGrid::kColumns && row >= 0 && row < static_cast<int>(rows.size());
    }
    QString At(int col, int row) const { return Valid(col, row) ? rows[static_cast<std::size_t>(row)].cells[col] : QString(); }
    void Set(int col, int row, const QString& text) {
        if (!Valid(col, row)) return;
        QString& cell = rows[static_cast<std::size_t>(row)].cells[col];
        if (cell == text) return;
        cell = text;
        if (row == 0) {
            if (col > 0) emit headerDataChanged(Qt::Horizontal, col - 1, col - 1);
        } else if (col == 0) {
            emit headerDataChanged(Qt::Vertical, row - 1, row - 1);
        } else {
            const QModelIndex i = index(row - 1, col - 1);
            emit dataChanged(i, i);
        }
    }
    void Resize(int count) {
        count = std::max(count, 1);
        const int old = static_cast<int>(rows.size());
        if (count > old) {
            beginInsertRows({}, old - 1, count - 2);
            rows.resize(static_cast<std::size_t>(count));
            endInsertRows();
        } else if (count < old) {
            beginRemoveRows({}, count - 1, old - 2);
            rows.resize(static_cast<std::size_t>(count));
            endRemoveRows();
        }
    }
    void Move(int from, int to) {
        const int count = static_cast<int>(rows.size());
        if (from < 1 || to < 1 || from >= count || to >= count || from == to) return;
        Row moving = rows[static_cast<std::size_t>(from)];
        rows.erase(rows.begin() + from);
        rows.insert(rows.begin() + to, moving);
        const int low = std::min(from, to) - 1;
        const int high = std::max(from, to) - 1;
        emit dataChanged(index(low, 0), index(high, columnCount({}) - 1));
        emit headerDataChanged(Qt::Vertical, low, high);
    }
};


namespace {

class TFieldGridDelegate : public QStyledItemDelegate {
public:
    explicit TFieldGridDelegate(TFieldGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (!grid_->OnDrawCell) return QStyledItemDelegate::paint(painter, option, index);
        grid_->OnDrawCell(*painter, option.rect, index.column() + 1, index.row() + 1);
    }

private:
    TFieldGrid* grid_;
};

class TFieldGridHeader : public QHeaderView {
public:
    TFieldGridHeader(Qt::Orientation orientation, TFieldGrid* grid) : QHeaderView(orientation, grid), grid_(grid) {}

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        if (orientation() == Qt::Horizontal)
            grid_->DrawHeaderCell(*painter, rect, logicalIndex + 1, 0);
        else
            grid_->DrawHeaderCell(*painter, rect, 0, logicalIndex + 1);
    }

private:
    TFieldGrid* grid_;
};

}  // namespace

TFieldGrid::TFieldGrid(QWidget* parent) : QTableView(parent), model_(new TFieldGridModel) {
    model_->setParent(this);
    setHorizontalHeader(new TFieldGridHeader(Qt::Horizontal, this));
    setVerticalHeader(new TFieldGridHeader(Qt::Vertical, this));
    setModel(model_);
    setItemDelegate(new TFieldGridDelegate(this));
    // Whole-row highlighting is drawn by the owner; Qt's own selection stays out of it.
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setHighlightSections(false);
    verticalHeader()->setSectionsClickable(false);
    verticalHeader()->setSectionsMovable(true);
    connect(verticalHeader(), &QHeaderView::sectionMoved, this, &TFieldGrid::SectionMoved);
    // The corner is the header cell of column Field.
    corner_ = findChild<QAbstractButton*>();
    if (corner_) corner_->installEventFilter(this);
}

QString TFieldGrid::Cell(int col, int row) const { return model_->At(col, row); }
void TFieldGrid::SetCell(int col, int row, const QString& text) { model_->Set(col, row, text); }
int TFieldGrid::RowCount() const { return static_cast<int>(model_->rows.size()); }
void TFieldGrid::SetRowCount(int rows) { model_->Resize(rows); }

int TFieldGrid::Source(int row) const {
    return row >= 1 && row < RowCount() ? model_->rows[static_cast<std::size_t>(row)].source : 0;
}

void TFieldGrid::SetSource(int row, int field) {
    if (row >= 1 && row < RowCount()) model_->rows[static_cast<std::size_t>(row)].source = field;
}

void TFieldGrid::MoveRow(int from, int to) { model_->Move(from, to); }

int TFieldGrid::Col() const { return currentIndex().isValid() ? currentIndex().column() + 1 : colName; }
int TFieldGrid::Row() const { return currentIndex().isValid() ? currentIndex().row() + 1 : 0; }

void TFieldGrid::SetCurrent(int col, int row) {
    const QModelIndex target = model_->index(row - 1, col - 1);
    if (target.isValid()) setCurrentIndex(target);
}

void TFieldGrid::SetEditing(bool on) {
    if (on == editing_) return;
    editing_ = on;
    const QModelIndex current = currentIndex();
    if (!current.isValid()) return;
    if (on) {
        const bool focused = hasFocus();
        openPersistentEditor(current);
        if (focused) FocusEditor();
    } else {
        CommitEditor();
        closePersistentEditor(current);
    }
}

void TFieldGrid::CommitEditor() {
    if (QWidget* editor = indexWidget(currentIndex())) commitData(editor);
}

void TFieldGrid::FocusEditor() {
    if (QWidget* editor = indexWidget(currentIndex()))
        editor->setFocus();
    else
        setFocus();
}

bool TFieldGrid::MayMoveTo(const QModelIndex& target) {
    if (!target.isValid() || target == currentIndex() || !OnSelectCell) return true;
    return OnSelectCell(target.column() + 1, target.row() + 1);
}

QModelIndex TFieldGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex next = QTableView::moveCursor(action, modifiers);
    return MayMoveTo(next) ? next : currentIndex();
}

void TFieldGrid::mousePressEvent(QMouseEvent* event) {
    if (!MayMoveTo(indexAt(event->position().toPoint()))) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void TFieldGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // The editor stays on the current cell while editing, also when the focus leaves the
    // grid (a persistent editor): it moves with the current cell.
    bool focused = false;
    if (editing_ && previous.isValid()) {
        if (QWidget* editor = indexWidget(previous)) {
            focused = editor->hasFocus();
            commitData(editor);
        }
        closePersistentEditor(previous);
    }
    QTableView::currentChanged(current, previous);
    if (editing_ && current.isValid()) {
        openPersistentEditor(current);
        if (focused || hasFocus()) FocusEditor();
    }
    if (OnCurrentChanged && current.isValid()) OnCurrentChanged(current.column() + 1, current.row() + 1);
    viewport()->update();
    verticalHeader()->viewport()->update();
}

bool TFieldGrid::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint && watched == corner_) {
        QPainter painter(corner_);
        DrawHeaderCell(painter, corner_->rect(), colField, 0);
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

void TFieldGrid::DrawHeaderCell(QPainter& painter, const QRect& cell, int col, int row) const {
    if (OnDrawCell) OnDrawCell(painter, cell, col, row);
}

void TFieldGrid::SectionMoved(int, int oldVisual, int newVisual) {
    if (undoingMove_) return;
    // The header only shows the rows: they move in the model, so that visual and logical
    // order stay the same and every row keeps its cells.
    undoingMove_ = true;
    verticalHeader()->moveSection(newVisual, oldVisual);
    undoingMove_ = false;
    if (OnRowMoved) OnRowMoved(oldVisual + 1, newVisual + 1);
}
