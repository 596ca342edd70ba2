#include "dbgrid.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "asker.h"
#include "db_dataset.h"
#include "db_fields.h"
#include "db_links.h"
#include "nv_dataset.h"
#include "qtext.h"

// ------------------------------------------------------------------------ the data link

class TGridDataLink : public TDataLink {
public:
    explicit TGridDataLink(TDBGrid& grid) : grid_(grid) {}

protected:
    void ActiveChanged() override { grid_.LinkActiveChanged(); }
    void DataSetChanged() override { grid_.LinkDataChanged(); }
    void DataSetScrolled(int) override { grid_.LinkDataChanged(); }
    void LayoutChanged() override { grid_.LinkLayoutChanged(); }
    void EditingChanged() override { grid_.LinkEditingChanged(); }
    void RecordChanged(TField* field) override { grid_.LinkRecordChanged(field); }
    void UpdateData() override { grid_.LinkUpdateData(); }
    void FocusControl(TField** field) override { grid_.LinkFocusControl(field); }

private:
    TDBGrid& grid_;
};

namespace {

// Makes a row of the link's window the dataset's active record for as long as it lives.
class RowScope {
public:
    RowScope(TDataLink& link, int row) : link_(link), saved_(link.ActiveRecord()) { link_.SetActiveRecord(row); }
    ~RowScope() { link_.SetActiveRecord(saved_); }
    RowScope(const RowScope&) = delete;
    RowScope& operator=(const RowScope&) = delete;

private:
    TDataLink& link_;
    int saved_;
};

constexpr int kBorderGrip = 3;  // pixels either side of a title border that start a resize
constexpr int kMaxDefaultChars = 40;

}  // namespace

// ------------------------------------------------------------------------ construction

TDBGrid::TDBGrid(QWidget* parent) : QAbstractScrollArea(parent), link_(std::make_unique<TGridDataLink>(*this)) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    viewport()->setBackgroundRole(QPalette::Base);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, 0);
    bar->setSingleStep(1);
    connect(bar, &QAbstractSlider::actionTriggered, this, &TDBGrid::ScrollAction);
    connect(bar, &QAbstractSlider::sliderReleased, this, &TDBGrid::ScheduleScrollBar);
    horizontalScrollBar()->setSingleStep(16);
    link_->SetBufferCount(VisibleRowCount());
}

TDBGrid::~TDBGrid() {
    // The link goes first, without calling back: the widget's parts are going too.
    link_.reset();
}

void TDBGrid::SetDataSource(TDataSource* source) {
    if (source == link_->DataSource()) return;
    HideEditor();
    link_->SetBufferCount(VisibleRowCount());
    link_->SetDataSource(source);
    BuildColumns();
    ScheduleScrollBar();
    viewport()->update();
}

TDataSource* TDBGrid::DataSource() const { return link_ ? link_->DataSource() : nullptr; }

TDataSet* TDBGrid::DataSet() const { return link_ ? link_->DataSet() : nullptr; }

void TDBGrid::SetDefaultDrawing(bool value) {
    defaultDrawing_ = value;
    viewport()->update();
}

void TDBGrid::SetEditingAllowed(bool value) {
    if (editingAllowed_ == value) return;
    if (!value && editor_ && editor_->isVisible()) {
        CommitEditor();
        HideEditor();
    }
    editingAllowed_ = value;
}

TField* TDBGrid::SelectedField() const {
    if (selectedIndex_ < 0 || selectedIndex_ >= ColumnCount()) return nullptr;
    return columns_[static_cast<size_t>(selectedIndex_)].field;
}

void TDBGrid::SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }

QWidget* TDBGrid::InplaceEditor() const { return editor_ && editor_->isVisible() ? editor_ : nullptr; }

void TDBGrid::SetSelectedIndex(int index) {
    if (ColumnCount() == 0) return;
    index = std::clamp(index, 0, ColumnCount() - 1);
    if (index == selectedIndex_) return;
    if (InplaceEditor()) {
        if (!CommitEditor()) return;
        HideEditor();
    }
    selectedIndex_ = index;
    MakeColumnVisible(index);
    viewport()->update();
    emit ColEnter();
}

// ------------------------------------------------------------------------ columns

void TDBGrid::BuildColumns() {
    columns_.clear();
    TDataSet* ds = DataSet();
    if (ds && link_->Active()) {
        for (int i = 0; i < ds->FieldCount(); ++i) {
            TField& field = ds->Fields(i);
            auto kept = widthsByName_.find(field.FieldName());
            columns_.push_back({&field, kept != widthsByName_.end() ? kept->second : DefaultColumnWidth(field)});
        }
    }
    if (selectedIndex_ >= ColumnCount()) selectedIndex_ = std::max(0, ColumnCount() - 1);
    UpdateHorizontalRange();
}

int TDBGrid::DefaultColumnWidth(TField& field) const {
    const QFontMetrics fm(font());
    const int chars = std::min(field.DisplayWidth(), kMaxDefaultChars);
    // Digits are wider than the average character in most fonts, and numbers and dates are
    // all digits: size by the wider so a date or an amount is not cut.
    const int data = chars * std::max(fm.averageCharWidth(), fm.horizontalAdvance(QLatin1Char('0')));
    const int title = fm.horizontalAdvance(FromAnsi(field.DisplayName()));
    return std::max(data, title) + 8;
}

int TDBGrid::ColumnWidth(int index) const {
    if (index < 0 || index >= ColumnCount()) return 0;
    return columns_[static_cast<size_t>(index)].width;
}

void TDBGrid::SetColumnWidth(int index, int width) {
    if (index < 0 || index >= ColumnCount()) return;
    Column& column = columns_[static_cast<size_t>(index)];
    column.width = std::max(kMinColumnWidth, width);
    widthsByName_[column.field->FieldName()] = column.width;
    UpdateHorizontalRange();
    PlaceEditor();
    viewport()->update();
}

int TDBGrid::TotalColumnsWidth() const {
    int total = 0;
    for (const Column& c : columns_) total += c.width;
    return total;
}

int TDBGrid::ColumnLeft(int column) const {
    int x = kIndicatorWidth - horizontalScrollBar()->value();
    for (int i = 0; i < column && i < ColumnCount(); ++i) x += columns_[static_cast<size_t>(i)].width;
    return x;
}

int TDBGrid::RowHeight() const { return QFontMetrics(font()).height() + 4; }

int TDBGrid::VisibleRowCount() const {
    return std::max(1, (viewport()->height() - TitleHeight()) / RowHeight());
}

QRect TDBGrid::CellRect(int row, int column) const {
    if (column < 0 || column >= ColumnCount()) return {};
    const int top = row < 0 ? 0 : TitleHeight() + row * RowHeight();
    return QRect(ColumnLeft(column), top, columns_[static_cast<size_t>(column)].width, RowHeight());
}

int TDBGrid::RowAt(int y) const {
    if (y < TitleHeight()) return -1;
    return (y - TitleHeight()) / RowHeight();
}

int TDBGrid::ColumnAt(int x) const {
    if (x < kIndicatorWidth) return -1;
    for (int i = 0; i < ColumnCount(); ++i) {
        const int left = ColumnLeft(i);
        if (x >= left && x < left + columns_[static_cast<size_t>(i)].width) return i;
    }
    return -1;
}

int TDBGrid::BorderAt(int x) const {
    for (int i = 0; i < ColumnCount(); ++i) {
        const int right = ColumnLeft(i) + columns_[static_cast<size_t>(i)].width;
        if (right > kIndicatorWidth && std::abs(x - right) <= kBorderGrip) return i;
    }
    return -1;
}

void TDBGrid::UpdateHorizontalRange() {
    QScrollBar* bar = horizontalScrollBar();
    const int room = std::max(0, viewport()->width() - kIndicatorWidth);
    bar->setRange(0, std::max(0, TotalColumnsWidth() - room));
    bar->setPageStep(std::max(1, room));
}

void TDBGrid::MakeColumnVisible(int column) {
    if (column < 0 || column >= ColumnCount()) return;
    QScrollBar* bar = horizontalScrollBar();
    const int room = viewport()->width() - kIndicatorWidth;
    int start = 0;
    for (int i = 0; i < column; ++i) start += columns_[static_cast<size_t>(i)].width;
    const int end = start + columns_[static_cast<size_t>(column)].width;
    if (start < bar->value())
        bar->setValue(start);
    else if (end > bar->value() + room)
        bar->setValue(std::min(start, end - room));
}

// ------------------------------------------------------------------------ the link's reports

void TDBGrid::LinkActiveChanged() {
    if (!link_->Active()) HideEditor();
    BuildColumns();
    ScheduleScrollBar();
    viewport()->update();
}

void TDBGrid::LinkLayoutChanged() {
    BuildColumns();
    LinkDataChanged();
}

void TDBGrid::LinkDataChanged() {
    PlaceEditor();
    ScheduleScrollBar();
    viewport()->update();
}

void TDBGrid::LinkEditingChanged() {
    if (!link_->Editing()) HideEditor();
    viewport()->update();
}

void TDBGrid::LinkRecordChanged(TField* field) {
    if (editor_ && editor_->isVisible() && !editorModified_ && editorField_ && (!field || field == editorField_)) {
        try {
            editor_->setText(FromAnsi(editorField_->Text()));
        } catch (...) {
            // An unreadable value leaves the editor as it was.
        }
    }
    viewport()->update();
}

void TDBGrid::LinkUpdateData() {
    // Called inside the dataset's own post or move: an error belongs to that operation.
    if (editor_ && editor_->isVisible() && editorModified_ && editorField_) {
        editorField_->SetAsString(ToAnsi(editor_->text()));
        editorModified_ = false;
    }
}

void TDBGrid::LinkFocusControl(TField** field) {
    if (!field || !*field) return;
    for (int i = 0; i < ColumnCount(); ++i) {
        if (columns_[static_cast<size_t>(i)].field != *field) continue;
        SetSelectedIndex(i);
        setFocus();
        *field = nullptr;
        return;
    }
}

// ------------------------------------------------------------------------ vertical scrolling

void TDBGrid::ScheduleScrollBar() {
    if (scrollBarPending_) return;
    scrollBarPending_ = true;
    QTimer::singleShot(0, this, &TDBGrid::SyncScrollBar);
}

int TDBGrid::ScrollValue() {
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active() || ds->IsEmpty()) return -1;
    try {
        if (ds->Bof()) return 0;
        if (ds->Eof()) return kScrollRange;
        if (auto* table = dynamic_cast<TNorvaneDataSet*>(ds))
            return static_cast<int>(std::lround(table->RelativePosition() * kScrollRange));
        const int count = ds->IsSequenced() ? ds->RecordCount() : 0;
        if (count > 1) return static_cast<int>(std::lround(double(ds->RecNo() - 1) / (count - 1) * kScrollRange));
        return kScrollRange / 2;
    } catch (...) {
        // The bar stays where it was; the next move tries again.
        return -1;
    }
}

void TDBGrid::SyncScrollBar() {
    scrollBarPending_ = false;
    QScrollBar* bar = verticalScrollBar();
    // While the user drags, the thumb is theirs.
    if (bar->isSliderDown()) return;
    TDataSet* ds = DataSet();
    bool scrolls = ds && link_->Active() && !ds->IsEmpty();
    if (scrolls) {
        // With everything in view there is nothing to scroll to. Only a table's header count
        // is asked for: an exact count would walk the table.
        auto* table = dynamic_cast<TNorvaneDataSet*>(ds);
        if (table && !table->ExactCount()) {
            try {
                const int count = table->RecordCount();
                scrolls = count > link_->RecordCount() || count > VisibleRowCount();
                if (scrolls)
                    bar->setPageStep(std::max(1, static_cast<int>(int64_t(kScrollRange) * VisibleRowCount() /
                                                                  std::max(1, count))));
            } catch (...) {
            }
        } else {
            bar->setPageStep(kScrollRange / 10);
        }
    }
    if (!scrolls) {
        bar->setRange(0, 0);
        return;
    }
    bar->setRange(0, kScrollRange);
    const int value = ScrollValue();
    if (value >= 0) bar->setValue(value);
}

void TDBGrid::ScrollAction(int action) {
    TDataSet* ds = DataSet();
    QScrollBar* bar = verticalScrollBar();
    if (!ds || !link_->Active()) return;
    const int rows = VisibleRowCount();
    switch (action) {
        case QAbstractSlider::SliderSingleStepAdd: Move([ds] { ds->MoveBy(1); }); break;
        case QAbstractSlider::SliderSingleStepSub: Move([ds] { ds->MoveBy(-1); }); break;
        case QAbstractSlider::SliderPageStepAdd: Move([ds, rows] { ds->MoveBy(rows); }); break;
        case QAbstractSlider::SliderPageStepSub: Move([ds, rows] { ds->MoveBy(-rows); }); break;
        case QAbstractSlider::SliderToMinimum: Move([ds] { ds->First(); }); break;
        case QAbstractSlider::SliderToMaximum: Move([ds] { ds->Last(); }); break;
        case QAbstractSlider::SliderMove: {
            // Dragging (or a click that puts the thumb where it lands): the record set goes to
            // that place of the order; the thumb stays under the mouse.
            const double fraction = double(bar->sliderPosition()) / kScrollRange;
            Move([ds, fraction] {
                if (auto* table = dynamic_cast<TNorvaneDataSet*>(ds)) {
                    table->SetRelativePosition(fraction);
                } else if (fraction <= 0) {
                    ds->First();
                } else if (fraction >= 1) {
                    ds->Last();
                }
            });
            if (bar->isSliderDown()) return;
            break;
        }
        default: return;
    }
    // Qt moves the thumb by its own step after this; the record set says where it belongs.
    const int value = ScrollValue();
    bar->setSliderPosition(value >= 0 ? value : bar->value());
}

void TDBGrid::scrollContentsBy(int dx, int) {
    // Only the horizontal bar scrolls pixels; the vertical one moves the record set.
    if (dx != 0) {
        PlaceEditor();
        viewport()->update();
    }
}

bool TDBGrid::Move(const std::function<void()>& move) {
    if (InplaceEditor() && !editorModified_) HideEditor();
    return Guarded(this, move);
}

void TDBGrid::UpdateBufferCount() {
    const int rows = VisibleRowCount();
    if (link_->BufferCount() == rows) return;
    Guarded(this, [this, rows] { link_->SetBufferCount(rows); });
}

// ------------------------------------------------------------------------ painting

void TDBGrid::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    PaintTitles(painter);
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active()) return;
    const int rows = link_->RecordCount();
    const int active = link_->ActiveRecord();
    const QColor lines = palette().color(QPalette::Mid);
    for (int row = 0; row < rows; ++row) {
        const QRect indicator(0, TitleHeight() + row * RowHeight(), kIndicatorWidth, RowHeight());
        if (indicator.top() > viewport()->height()) break;
        PaintIndicator(painter, indicator, row == active);
        // The row's record becomes the active one while its cells are drawn, so that fields
        // and the hook read that row; the active row is put back at once.
        RowScope scope(*link_, row);
        for (int column = 0; column < ColumnCount(); ++column) {
            const QRect cell = CellRect(row, column);
            if (cell.right() < kIndicatorWidth || cell.left() > viewport()->width()) continue;
            const QRect inner = cell.adjusted(0, 0, -1, -1);
            TField& field = *columns_[static_cast<size_t>(column)].field;
            const bool selected = row == active && column == selectedIndex_;
            painter.save();
            painter.setClipRect(inner.intersected(QRect(kIndicatorWidth, 0, viewport()->width(), viewport()->height())));
            try {
                if (!defaultDrawing_ && OnDrawColumnCell)
                    OnDrawColumnCell(painter, inner, field, selected);
                else
                    DefaultDrawCell(painter, inner, field, selected);
            } catch (...) {
                // A value that cannot be read is an empty cell; painting goes on.
                painter.fillRect(inner, palette().color(QPalette::Base));
            }
            painter.restore();
            painter.setPen(lines);
            painter.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
            painter.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
        }
    }
}

void TDBGrid::PaintTitles(QPainter& painter) {
    QStyleOptionHeader corner;
    corner.initFrom(this);
    corner.rect = QRect(0, 0, kIndicatorWidth, TitleHeight());
    style()->drawControl(QStyle::CE_HeaderSection, &corner, &painter, this);
    painter.save();
    painter.setClipRect(QRect(kIndicatorWidth, 0, viewport()->width(), TitleHeight()));
    for (int column = 0; column < ColumnCount(); ++column) {
        const QRect cell = CellRect(-1, column);
        if (cell.right() < kIndicatorWidth || cell.left() > viewport()->width()) continue;
        QStyleOptionHeader option;
        option.initFrom(this);
        option.rect = cell;
        option.section = column;
        option.text = FromAnsi(columns_[static_cast<size_t>(column)].field->DisplayName());
        // The mark of the column giving the order (a style's own sort arrow may take the
        // place of a narrow title's text).
        if (column == orderColumn_) option.text += QString::fromUtf8(" \u25B4");
        option.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
        style()->drawControl(QStyle::CE_Header, &option, &painter, this);
    }
    painter.restore();
}

void TDBGrid::SetOrderColumn(int column) {
    if (column < -1 || column >= ColumnCount()) column = -1;
    if (column == orderColumn_) return;
    orderColumn_ = column;
    viewport()->update();
}

void TDBGrid::PaintIndicator(QPainter& painter, const QRect& cell, bool current) {
    painter.fillRect(cell, palette().color(QPalette::Button));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
    painter.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
    if (!current) return;
    TDataSet* ds = DataSet();
    const QColor ink = palette().color(QPalette::ButtonText);
    const QPoint c = cell.center();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    if (ds && (ds->State() == dsEdit || ds->State() == dsInsert)) {
        // An I-beam: the row is being edited.
        painter.setPen(ink);
        painter.drawLine(c.x(), c.y() - 5, c.x(), c.y() + 5);
        painter.drawLine(c.x() - 2, c.y() - 5, c.x() + 2, c.y() - 5);
        painter.drawLine(c.x() - 2, c.y() + 5, c.x() + 2, c.y() + 5);
    } else {
        const QPoint arrow[3] = {{c.x() - 2, c.y() - 4}, {c.x() + 2, c.y()}, {c.x() - 2, c.y() + 4}};
        painter.setPen(ink);
        painter.setBrush(ink);
        painter.drawPolygon(arrow, 3);
    }
    painter.restore();
}

void TDBGrid::DefaultDrawCell(QPainter& painter, const QRect& cell, TField& field, bool selected) {
    const QPalette::ColorGroup group = hasFocus() || InplaceEditor() ? QPalette::Active : QPalette::Inactive;
    painter.fillRect(cell, palette().color(group, selected ? QPalette::Highlight : QPalette::Base));
    painter.setPen(palette().color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    const QString text = FromAnsi(field.DisplayText());
    painter.drawText(cell.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
}

// ------------------------------------------------------------------------ geometry events

void TDBGrid::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateHorizontalRange();
    UpdateBufferCount();
    PlaceEditor();
    ScheduleScrollBar();
}

void TDBGrid::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TDBGrid::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// ------------------------------------------------------------------------ the in-place editor

bool TDBGrid::CellEditable() const {
    TField* field = SelectedField();
    TDataSet* ds = DataSet();
    // Memo and blob columns are read-only here; the browse window edits memos in its panel.
    return editingAllowed_ && ds && link_->Active() && field && !field->IsBlob() && !field->ReadOnly() &&
           !link_->ReadOnly();
}

bool TDBGrid::ShowEditor(const QString* typed) {
    if (!CellEditable()) return false;
    // The data link asks the source to edit, which honours AutoEdit and takes the record lock.
    if (!Guarded(this, [this] { link_->Edit(); }) || !link_->Editing()) return false;
    TField* field = SelectedField();
    if (!field) return false;
    QString text;
    if (typed) {
        text = *typed;
    } else if (!Guarded(this, [&] { text = FromAnsi(field->Text()); })) {
        return false;
    }
    if (!editor_) {
        editor_ = new QLineEdit(viewport());
        editor_->setFrame(false);
        editor_->installEventFilter(this);
        connect(editor_, &QLineEdit::textEdited, this, [this] { editorModified_ = true; });
    }
    editorField_ = field;
    editor_->setFont(font());
    editor_->setMaxLength(field->DataType() == ftString && field->Size() > 0 ? field->Size() : 32767);
    editor_->setText(text);
    editorModified_ = typed != nullptr;
    if (typed)
        editor_->end(false);
    else
        editor_->selectAll();
    PlaceEditor();
    editor_->show();
    editor_->setFocus();
    viewport()->update();
    return true;
}

void TDBGrid::PlaceEditor() {
    if (!editor_ || !editor_->isVisible() || !link_->Active()) return;
    QRect cell = CellRect(link_->ActiveRecord(), selectedIndex_).adjusted(0, 0, -1, -1);
    cell.setLeft(std::max(cell.left(), kIndicatorWidth));
    editor_->setGeometry(cell);
}

bool TDBGrid::CommitEditor() {
    if (!InplaceEditor() || !editorModified_ || !editorField_) return true;
    TField* field = editorField_;
    const std::string value = ToAnsi(editor_->text());
    if (!Guarded(this, [field, &value] { field->SetAsString(value); })) return false;
    editorModified_ = false;
    return true;
}

void TDBGrid::HideEditor() {
    if (!editor_ || !editor_->isVisible()) return;
    const bool hadFocus = editor_->hasFocus();
    editor_->hide();
    editorField_ = nullptr;
    editorModified_ = false;
    if (hadFocus) setFocus();
    viewport()->update();
}

void TDBGrid::CancelEdit() {
    TDataSet* ds = DataSet();
    if (InplaceEditor() && editorModified_) {
        // The cell's typing is dropped; the record stays in edit with its other changes.
        HideEditor();
        return;
    }
    HideEditor();
    if (ds && (ds->State() == dsEdit || ds->State() == dsInsert)) Guarded(this, [ds] { ds->Cancel(); });
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched != editor_ || event->type() != QEvent::KeyPress) return QAbstractScrollArea::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (CommitEditor()) HideEditor();
            return true;
        case Qt::Key_Escape:
            CancelEdit();
            return true;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return NavigationKey(key);
        case Qt::Key_Home:
        case Qt::Key_End:
            // Inside the editor these move the text cursor; with Ctrl they move the record set.
            return (key->modifiers() & Qt::ControlModifier) ? NavigationKey(key) : false;
        default:
            return false;
    }
}

// ------------------------------------------------------------------------ keyboard

bool TDBGrid::event(QEvent* event) {
    // Tab and Shift+Tab move between columns instead of leaving the grid.
    if (event->type() == QEvent::KeyPress && link_ && link_->Active()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
            !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            keyPressEvent(key);
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TDBGrid::StepColumn(int delta, bool wrapRows) {
    if (ColumnCount() == 0) return;
    int target = selectedIndex_ + delta;
    if (wrapRows && (target < 0 || target >= ColumnCount())) {
        TDataSet* ds = DataSet();
        if (!ds) return;
        const int rowMove = target < 0 ? -1 : 1;
        if (InplaceEditor() && !CommitEditor()) return;
        HideEditor();
        int moved = 0;
        if (!Guarded(this, [&] { moved = ds->MoveBy(rowMove); }) || moved == 0) return;
        target = target < 0 ? ColumnCount() - 1 : 0;
    }
    SetSelectedIndex(std::clamp(target, 0, ColumnCount() - 1));
}

bool TDBGrid::NavigationKey(QKeyEvent* event) {
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active()) return false;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const int rows = VisibleRowCount();
    switch (event->key()) {
        // A move posts the record (the dataset asks for the editor's text first); the editor
        // closes when editing ends, or stays with an error shown when the value was refused.
        case Qt::Key_Up: Move([ds] { ds->MoveBy(-1); }); return true;
        case Qt::Key_Down: Move([ds] { ds->MoveBy(1); }); return true;
        case Qt::Key_PageUp: Move([ds, rows] { ds->MoveBy(-rows); }); return true;
        case Qt::Key_PageDown: Move([ds, rows] { ds->MoveBy(rows); }); return true;
        case Qt::Key_Home:
            if (ctrl)
                Move([ds] { ds->First(); });
            else
                SetSelectedIndex(0);
            return true;
        case Qt::Key_End:
            if (ctrl)
                Move([ds] { ds->Last(); });
            else
                SetSelectedIndex(ColumnCount() - 1);
            return true;
        case Qt::Key_Left: StepColumn(-1, false); return true;
        case Qt::Key_Right: StepColumn(1, false); return true;
        case Qt::Key_Tab: StepColumn(1, true); return true;
        case Qt::Key_Backtab: StepColumn(-1, true); return true;
        default: return false;
    }
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active()) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (NavigationKey(event)) return;
    switch (event->key()) {
        case Qt::Key_F2: ShowEditor(nullptr); return;
        case Qt::Key_Escape: CancelEdit(); return;
        case Qt::Key_Insert:
            if (event->modifiers() == Qt::NoModifier && editingAllowed_) {
                // A new record always goes to the end of a table: at the end (or in an empty
                // table) it is appended there, elsewhere it is shown where the user stands.
                Guarded(this, [ds] {
                    if (ds->IsEmpty() || ds->Eof())
                        ds->Append();
                    else
                        ds->Insert();
                });
                return;
            }
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter: return;
        default: break;
    }
    const QString text = event->text();
    if (!text.isEmpty() && text.at(0).isPrint() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        ShowEditor(&text);
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

// ------------------------------------------------------------------------ mouse

void TDBGrid::mousePressEvent(QMouseEvent* event) {
    setFocus();
    const QPoint at = event->position().toPoint();
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    if (at.y() < TitleHeight()) {
        resizingColumn_ = BorderAt(at.x());
        pressedTitle_ = resizingColumn_ < 0 ? ColumnAt(at.x()) : -1;
        return;
    }
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active()) return;
    const int row = RowAt(at.y());
    if (row < 0 || row >= link_->RecordCount()) return;
    const int column = ColumnAt(at.x());
    const int active = link_->ActiveRecord();
    const bool onCurrent = row == active && column == selectedIndex_;
    if (row != active && !Move([ds, row, active] { ds->MoveBy(row - active); })) return;
    if (column < 0) return;
    SetSelectedIndex(column);
    if (selectedIndex_ != column) return;
    emit CellClick(columns_[static_cast<size_t>(column)].field);
    // A second click on the current cell opens its editor, as in the Delphi grid.
    if (onCurrent && !InplaceEditor()) ShowEditor(nullptr);
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void TDBGrid::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (resizingColumn_ >= 0) {
        SetColumnWidth(resizingColumn_, at.x() - ColumnLeft(resizingColumn_));
        return;
    }
    const bool onBorder = at.y() < TitleHeight() && BorderAt(at.x()) >= 0;
    viewport()->setCursor(onBorder ? Qt::SplitHCursor : Qt::ArrowCursor);
}

void TDBGrid::mouseReleaseEvent(QMouseEvent* event) {
    if (resizingColumn_ >= 0) {
        SetColumnWidth(resizingColumn_, event->position().toPoint().x() - ColumnLeft(resizingColumn_));
        resizingColumn_ = -1;
        return;
    }
    const int pressed = pressedTitle_;
    pressedTitle_ = -1;
    const QPoint at = event->position().toPoint();
    if (pressed >= 0 && event->button() == Qt::LeftButton && at.y() < TitleHeight() && ColumnAt(at.x()) == pressed &&
        pressed < ColumnCount()) {
        emit TitleClick(columns_[static_cast<size_t>(pressed)].field);
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void TDBGrid::wheelEvent(QWheelEvent* event) {
    TDataSet* ds = DataSet();
    if (!ds || !link_->Active()) return;
    // Notches of 120; touchpads send smaller steps, which add up.
    wheelRemainder_ += event->angleDelta().y();
    const int notches = wheelRemainder_ / 120;
    wheelRemainder_ %= 120;
    if (notches != 0) {
        const int rows = notches * QApplication::wheelScrollLines();
        Move([ds, rows] { ds->MoveBy(-rows); });
    }
    event->accept();
}

void TDBGrid::contextMenuEvent(QContextMenuEvent* event) {
    if (popupMenu_) popupMenu_->popup(event->globalPos());
    event->accept();
}
