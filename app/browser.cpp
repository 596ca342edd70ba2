#include "browser.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>

#include "asker.h"
#include "dbgrid.h"
#include "dbmemo.h"
#include "filterrec.h"
#include "findrec.h"
#include "mainform.h"
#include "db_conv.h"
#include "nv_dataset.h"
#include "progress.h"
#include "qtext.h"

namespace {

bool IsMemoOrBlob(const TField* field) {
    return field && (field->DataType() == ftMemo || field->IsBlob());
}

// Copy, cut and paste go to whichever control has the keyboard focus (the grid's in-place
// editor while a cell is edited); every text control Qt has takes them as slots.
void SendToFocus(const char* request) {
    if (QWidget* focus = QApplication::focusWidget()) QMetaObject::invokeMethod(focus, request);
}

}  // namespace

QString BrowseCellText(TField& field) {
    if (IsMemoOrBlob(&field)) return field.IsNull() ? "(memo)" : "(MEMO)";
    return FromAnsi(field.AsString());
}

TBrowseForm::TBrowseForm(TMainForm& mainForm) : QMdiSubWindow(nullptr), main_(mainForm) {
    setObjectName("BrowseForm");
    // No minimise or maximise box; the close box stays so that a person can close it.
    setWindowFlags(Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    dsDBF_.SetDataSet(&main_.ActiveTable());
    dsDBF_.OnDataChange = [this](TDataSource&, TField*) { ShowRecordPosition(); };

    auto* client = new QWidget(this);
    pages_ = new QStackedLayout(client);
    BuildGrid();
    BuildMemoPanel();
    pages_->addWidget(grdDBF_);
    pages_->addWidget(pnlMemo_);
    pages_->setCurrentWidget(grdDBF_);
    setWidget(client);
    BuildMenus();
    main_.MergeMenu(mnuRecord_);

    timer1_ = new QTimer(this);
    timer1_->setObjectName("Timer1");
    timer1_->setInterval(10);
    connect(timer1_, &QTimer::timeout, this, &TBrowseForm::Maximise);
    timer2_ = new QTimer(this);
    timer2_->setObjectName("Timer2");
    timer2_->setInterval(1000);
    connect(timer2_, &QTimer::timeout, this, &TBrowseForm::CheckForChanges);

    SetEditingMenu(false);
    setWindowTitle("Browse " + main_.TableFileName());
    Guarded(&main_, [this] {
        TNorvaneDataSet& table = Table();
        table.SetUseDeleted(muShowDeleted_->isChecked());
        pmShowDeleted_->setChecked(muShowDeleted_->isChecked());
        table.First();
        table.SetFiltered(false);
        main_.pnlFiltered()->clear();
        ShowRecordPosition();
        ShowOrderColumn();
    });
    MemoWordWrap(true);
    timer1_->start();
}

TBrowseForm::~TBrowseForm() {
    // The grid and the memo are destroyed after this object's members: they let go of the
    // data source first.
    grdDBF_->SetDataSource(nullptr);
    mmoMemo_->SetDataSource(nullptr);
}

TNorvaneDataSet& TBrowseForm::Table() { return main_.ActiveTable(); }

// ------------------------------------------------------------------------------ layout

void TBrowseForm::BuildGrid() {
    grdDBF_ = new TDBGrid;
    grdDBF_->setObjectName("grdDBF");
    grdDBF_->SetDefaultDrawing(false);
    grdDBF_->OnDrawColumnCell = [this](QPainter& painter, const QRect& cell, TField& field, bool selected) {
        DrawCell(painter, cell, field, selected);
    };
    grdDBF_->SetDataSource(&dsDBF_);
    connect(grdDBF_, &TDBGrid::ColEnter, this, [this] { Guarded(this, [this] { ColumnEntered(); }); });
    connect(grdDBF_, &TDBGrid::CellClick, this,
            [this](TField* field) { Guarded(this, [this, field] { CellClicked(field); }); });
    connect(grdDBF_, &TDBGrid::TitleClick, this,
            [this](TField* field) { Guarded(this, [this, field] { TitleClicked(field); }); });
}

void TBrowseForm::BuildMemoPanel() {
    pnlMemo_ = new QWidget;
    pnlMemo_->setObjectName("pnlMemo");
    auto* close = new QPushButton("Close", pnlMemo_);
    close->setObjectName("btnMemoClose");
    auto* cancel = new QPushButton("Cancel", pnlMemo_);
    cancel->setObjectName("btnMemoCancel");
    lblMemo_ = new QLabel(pnlMemo_);
    lblMemo_->setObjectName("lblMemo");
    mmoMemo_ = new TDBMemo(pnlMemo_);
    mmoMemo_->setObjectName("mmoMemo");
    mmoMemo_->SetDataSource(&dsDBF_);
    mmoMemo_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(mmoMemo_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pmMemo_->exec(mmoMemo_->mapToGlobal(at)); });
    connect(close, &QPushButton::clicked, this, [this] { Guarded(this, [this] { MemoClose(); }); });
    connect(cancel, &QPushButton::clicked, this, [this] { Guarded(this, [this] { MemoCancel(); }); });

    auto* title = new QHBoxLayout;
    title->addWidget(close);
    title->addWidget(cancel);
    title->addWidget(lblMemo_, 1);
    auto* layout = new QVBoxLayout(pnlMemo_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(title);
    layout->addWidget(mmoMemo_, 1);
}

QAction* TBrowseForm::AddCommand(QMenu* menu, const char* name, const QString& text,
                                 void (TBrowseForm::*command)()) {
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, [this, command] { Guarded(this, [this, command] { (this->*command)(); }); });
    return action;
}

void TBrowseForm::BuildMenus() {
    mnuRecord_ = new QMenu("&Record", this);
    mnuRecord_->setObjectName("mnuRecord");
    muAppend_ = AddCommand(mnuRecord_, "muAppend", "&Append", &TBrowseForm::Append);
    muEdit_ = AddCommand(mnuRecord_, "muEdit", "&Edit", &TBrowseForm::Edit);
    muPost_ = AddCommand(mnuRecord_, "muPost", "&Post", &TBrowseForm::Post);
    muCancel_ = AddCommand(mnuRecord_, "muCancel", "&Cancel", &TBrowseForm::Cancel);
    mnuRecord_->addSeparator();
    AddCommand(mnuRecord_, "muDelete", "&Delete", &TBrowseForm::Delete);
    AddCommand(mnuRecord_, "muUndelete", "&Undelete", &TBrowseForm::Undelete);
    mnuRecord_->addSeparator();
    muShowDeleted_ = mnuRecord_->addAction("Show Deleted Records");
    muShowDeleted_->setObjectName("muShowDeleted");
    muShowDeleted_->setCheckable(true);
    muShowDeleted_->setChecked(true);
    mnuRecord_->addSeparator();
    QAction* find = AddCommand(mnuRecord_, "muFind", "&Find", &TBrowseForm::Find);
    QList<QKeySequence> findKeys = QKeySequence::keyBindings(QKeySequence::Find);
    if (!findKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_F))) findKeys.append(QKeySequence(Qt::CTRL | Qt::Key_F));
    find->setShortcuts(findKeys);
    muFilter_ = AddCommand(mnuRecord_, "muFilter", "Filter", &TBrowseForm::Filter);
    muFilter_->setCheckable(true);

    pmGrid_ = new QMenu(this);
    pmGrid_->setObjectName("pmGrid");
    AddCommand(pmGrid_, "pmDelete", "Delete", &TBrowseForm::Delete);
    AddCommand(pmGrid_, "pmUndelete", "UnDelete", &TBrowseForm::Undelete);
    pmGrid_->addSeparator();
    pmShowDeleted_ = pmGrid_->addAction("Show Deleted ");
    pmShowDeleted_->setObjectName("pmShowDeleted");
    pmShowDeleted_->setCheckable(true);
    pmGrid_->addSeparator();
    pmGrid_->addAction("&Copy", [] { SendToFocus("copy"); })->setObjectName("pmCopy");
    pmGrid_->addAction("Cu&t", [] { SendToFocus("cut"); })->setObjectName("pmCut");
    pmGrid_->addAction("&Paste", [] { SendToFocus("paste"); })->setObjectName("pmPaste");
    grdDBF_->SetPopupMenu(pmGrid_);

    // Either item flips the one setting; both show it.
    for (QAction* item : {muShowDeleted_, pmShowDeleted_})
        connect(item, &QAction::triggered, this,
                [this](bool checked) { Guarded(this, [this, checked] { ShowDeleted(checked); }); });

    pmMemo_ = new QMenu(this);
    pmMemo_->setObjectName("pmMemo");
    AddCommand(pmMemo_, "pmFont", "Font", &TBrowseForm::MemoFont);
    pmMemo_->addAction("Select All", mmoMemo_, &QPlainTextEdit::selectAll)->setObjectName("pmSelectAll");
    pmWordWrap_ = pmMemo_->addAction("&Word Wrap");
    pmWordWrap_->setObjectName("pmWordWrap");
    pmWordWrap_->setCheckable(true);
    connect(pmWordWrap_, &QAction::triggered, this, &TBrowseForm::MemoWordWrap);
    pmMemo_->addSeparator();
    pmMemoCopy_ = pmMemo_->addAction("&Copy", mmoMemo_, &QPlainTextEdit::copy);
    pmMemoCopy_->setObjectName("pmMemoCopy");
    pmMemoCut_ = pmMemo_->addAction("Cu&t", mmoMemo_, &QPlainTextEdit::cut);
    pmMemoCut_->setObjectName("pmMemoCut");
    pmMemoPaste_ = pmMemo_->addAction("&Paste", mmoMemo_, &QPlainTextEdit::paste);
    pmMemoPaste_->setObjectName("pmMemoPaste");
    connect(pmMemo_, &QMenu::aboutToShow, this, &TBrowseForm::MemoMenuShowing);
}

// ------------------------------------------------------------------------ cell drawing

void TBrowseForm::DrawCell(QPainter& painter, const QRect& cell, TField& field, bool selected) {
    bool deleted = false;
    QString text;
    try {
        deleted = Table().IsDeleted();
        text = BrowseCellText(field);
    } catch (...) {
        // A record that cannot be read draws as an empty cell.
        text.clear();
    }
    const QPalette& palette = grdDBF_->palette();
    QColor background = selected ? palette.color(QPalette::Highlight) : palette.color(QPalette::Base);
    QColor foreground = selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Text);
    if (deleted) {
        background = Qt::yellow;
        foreground = Qt::red;
    }
    painter.save();
    painter.setClipRect(cell);
    painter.fillRect(cell, background);
    painter.setPen(foreground);
    painter.drawText(cell.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter.restore();
}

// --------------------------------------------------------------------- record commands

void TBrowseForm::SetEditingMenu(bool editing) {
    muAppend_->setEnabled(!editing);
    muEdit_->setEnabled(!editing);
    muPost_->setEnabled(editing);
    muCancel_->setEnabled(editing);
}

void TBrowseForm::Append() {
    Table().Append();
    SetEditingMenu(true);
}

void TBrowseForm::Edit() {
    Table().Edit();
    SetEditingMenu(true);
}

void TBrowseForm::Post() {
    Table().Post();
    SetEditingMenu(false);
}

void TBrowseForm::Cancel() {
    Table().Cancel();
    SetEditingMenu(false);
}

void TBrowseForm::Delete() { Table().Delete(); }

void TBrowseForm::Undelete() { Table().Undelete(); }

void TBrowseForm::ShowDeleted(bool show) {
    muShowDeleted_->setChecked(show);
    pmShowDeleted_->setChecked(show);
    Table().SetUseDeleted(show);
    Table().Refresh();
}

void TBrowseForm::Find() {
    TFindForm form(&main_, &Table());
    form.exec();
}

void TBrowseForm::Filter() {
    // Whatever happens, the item and the status panel end up telling the truth.
    struct Sync {
        TBrowseForm& form;
        ~Sync() {
            const bool on = form.Table().Filtered();
            form.muFilter_->setChecked(on);
            form.main_.pnlFiltered()->setText(on ? "Filter" : "");
        }
    } sync{*this};
    // The item's check flipped when it was chosen: it was checked before when it is not now.
    if (!muFilter_->isChecked()) {
        Table().SetFiltered(false);
        return;
    }
    TFilterForm form(&main_, &Table());
    form.exec();
}

void TBrowseForm::ColumnEntered() {
    const bool editable = !IsMemoOrBlob(grdDBF_->SelectedField());
    if (editable == grdDBF_->EditingAllowed()) return;
    grdDBF_->SetEditingAllowed(editable);
    TNorvaneDataSet& table = Table();
    if (table.State() == dsEdit || table.State() == dsInsert) {
        table.Post();
        table.Edit();
    }
}

// -------------------------------------------------------------------------- memo panel

void TBrowseForm::CellClicked(TField* field) {
    if (!field || field->DataType() != ftMemo) return;
    mmoMemo_->SetField(field);
    lblMemo_->setText("Memo " + FromAnsi(field->FieldName()));
    pages_->setCurrentWidget(pnlMemo_);
    mmoMemo_->setFocus();
}

void TBrowseForm::MemoClose() {
    // Posting when nothing is being edited would only be refused.
    if (IsEditMode(Table().State())) Table().Post();
    pages_->setCurrentWidget(grdDBF_);
    grdDBF_->setFocus();
}

void TBrowseForm::MemoCancel() {
    Table().Cancel();
    mmoMemo_->LoadFromField();
    pages_->setCurrentWidget(grdDBF_);
    grdDBF_->setFocus();
}

void TBrowseForm::MemoFont() {
    QFont font = mmoMemo_->font();
    if (Asker().ChooseFont(this, font)) mmoMemo_->setFont(font);
}

void TBrowseForm::MemoWordWrap(bool wrap) {
    pmWordWrap_->setChecked(wrap);
    mmoMemo_->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    mmoMemo_->setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    mmoMemo_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void TBrowseForm::MemoMenuShowing() {
    pmWordWrap_->setChecked(mmoMemo_->lineWrapMode() != QPlainTextEdit::NoWrap);
    const QMimeData* clip = QApplication::clipboard()->mimeData();
    pmMemoPaste_->setEnabled(clip && clip->hasText());
    const bool selection = mmoMemo_->textCursor().hasSelection();
    pmMemoCopy_->setEnabled(selection);
    pmMemoCut_->setEnabled(selection);
}

// ------------------------------------------------------------------- timers and status

void TBrowseForm::Maximise() {
    timer1_->stop();
    showMaximized();
    timer2_->start();
}

void TBrowseForm::TitleClicked(TField* field) {
    TNorvaneDataSet& table = Table();
    if (!field || !table.Active() || !main_.SettlePendingEdit()) return;
    const int column = field->Index();
    if (column == grdDBF_->OrderColumn()) {
        table.SetIndexName("");
    } else {
        const std::string tag = table.TagOrderingBy(field->FieldName());
        if (tag.empty()) return;
        table.SetIndexName(tag);
    }
    ShowOrderColumn();
    main_.ShowTableStatus();
    ShowRecordPosition();
}

void TBrowseForm::ShowOrderColumn() {
    TNorvaneDataSet& table = Table();
    int column = -1;
    if (table.Active() && !table.IndexName().empty()) {
        for (int i = 0; i < table.FieldCount() && column < 0; ++i)
            if (SameText(table.TagOrderingBy(table.Fields(i).FieldName()), table.IndexName())) column = i;
    }
    grdDBF_->SetOrderColumn(column);
}

void TBrowseForm::CheckForChanges() {
    timer2_->stop();
    TNorvaneDataSet& table = Table();
    // The engine is not re-entrant: while an operation shows its progress, wait.
    if (EngineBusy()) {
        timer2_->start();
        return;
    }
    // A refresh would post or cancel the record being edited behind the person's back;
    // the change is seen at the first check after it.
    if (!table.Active() || IsEditMode(table.State())) {
        timer2_->start();
        return;
    }
    // After a failure the check stays off, so that one broken file does not bring up a
    // message every second.
    if (Guarded(this, [&table] {
            if (table.HasChanged() > 1) table.Refresh();
        }))
        timer2_->start();
}

void TBrowseForm::ShowRecordPosition() {
    TNorvaneDataSet& table = Table();
    if (!table.Active()) return;
    // Runs inside the record set's notifications, where nothing may be thrown.
    try {
        main_.pnlRecord()->setText("Record " + QString::number(table.RecNo()) + " of " +
                                   QString::number(table.RecordCount()));
    } catch (...) {
        main_.pnlRecord()->clear();
    }
}

void TBrowseForm::closeEvent(QCloseEvent* event) {
    main_.pnlFiltered()->clear();
    Guarded(this, [this] {
        TNorvaneDataSet& table = Table();
        table.SetFiltered(false);
        table.SetUseDeleted(true);
    });
    event->accept();
    QMdiSubWindow::closeEvent(event);
}
