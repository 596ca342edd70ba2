#include "indexer.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <initializer_list>
#include <memory>

#include "asker.h"
#include "formtools.h"
#include "mainform.h"
#include "qtext.h"

namespace {

// The file names the editor lists: what the directory holds with these extensions.
const QStringList kIndexExtensions{"cdx", "mdx", "ndx", "ntx"};

// The dialog's filters in the order of their filter indexes 1 to 4, and the extension each
// gives a name typed without one.
const char* const kNewFileFilter =
    "FoxPro 2.x Index (*.cdx *.CDX);;dBase IV Index (*.mdx *.MDX);;dBase III Index (*.ndx *.NDX);;"
    "Clipper Index (*.ntx *.NTX)";
const char* const kFilterExtensions[] = {".cdx", ".mdx", ".ndx", ".ntx"};

// File names cross to the record set in the file system's encoding.
std::string FileBytes(const QString& name) { return QFile::encodeName(name).toStdString(); }
QString FromFileBytes(const std::string& name) { return QFile::decodeName(QByteArray::fromStdString(name)); }

int RowOf(const QListWidget* list, const QString& text) {
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->text() == text) return row;
    return -1;
}

QLabel* Caption(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

}  // namespace

TIndexerForm::TIndexerForm(TMainForm& mainForm) : QMdiSubWindow(nullptr), main_(mainForm) {
    setObjectName("IndexerForm");
    setWindowTitle("Index " + main_.TableFileName());
    BuildLayout();
    // Maximised once the frame has taken it in and shown it.
    QTimer::singleShot(0, this, [this] { showMaximized(); });

    Guarded(&main_, [this] { OpenTable(); });
    Guarded(&main_, [this] { FillLists(); });
    UpdateArrows();
    Guarded(&main_, [this] { ClearTagPanel(); });
}

TNorvaneDataSet& TIndexerForm::Table() { return main_.ActiveTable(); }

// ------------------------------------------------------------------------------ layout

QPushButton* TIndexerForm::AddButton(const char* name, const QString& text, void (TIndexerForm::*command)()) {
    auto* button = new QPushButton(text);
    button->setObjectName(name);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, command] { Guarded(this, [this, command] { (this->*command)(); }); });
    return button;
}

void TIndexerForm::BuildLayout() {
    auto makeList = [](const char* name) {
        auto* list = new QListWidget;
        list->setObjectName(name);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        return list;
    };
    srcList_ = makeList("SrcList");
    dstList_ = makeList("DstList");
    tagList_ = makeList("TagList");
    auto makeEdit = [](const char* name) {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        return edit;
    };
    edit1_ = makeEdit("Edit1");
    edit2_ = makeEdit("Edit2");
    edit3_ = makeEdit("Edit3");
    edit4_ = makeEdit("Edit4");
    chkUnique_ = new QCheckBox("Unique");
    chkUnique_->setObjectName("chkUnique");
    chkDescending_ = new QCheckBox("Descending");
    chkDescending_->setObjectName("chkDescending");

    btnInclude_ = AddButton("btnInclude", ">", &TIndexerForm::IncludeOne);
    btnIncludeAll_ = AddButton("btnIncludeAll", ">>", &TIndexerForm::IncludeAll);
    btnExclude_ = AddButton("btnExclude", "<", &TIndexerForm::ExcludeOne);
    btnExcludeAll_ = AddButton("btnExcludeAll", "<<", &TIndexerForm::ExcludeAll);
    btnTagModify_ = AddButton("btnTagModify", "Modify", &TIndexerForm::ModifyTag);
    btnTagDelete_ = AddButton("btnTagDelete", "Delete", &TIndexerForm::DeleteTag);
    btnTagNew_ = AddButton("btnTagNew", "New", &TIndexerForm::NewTag);
    btnFileNew_ = AddButton("btnFileNew", "New", &TIndexerForm::NewIndexFile);
    btnFileNew_->setToolTip("New index file");
    btnSave_ = AddButton("btnSave", "Save Changes", &TIndexerForm::SaveChanges);
    btnCancel_ = AddButton("btnCancel", "Cancel Changes", &TIndexerForm::CancelChanges);
    btnExclude_->setEnabled(false);
    btnExcludeAll_->setEnabled(false);

    pmTags_ = new QMenu(this);
    pmTags_->setObjectName("pmTags");
    pmTagModify_ = pmTags_->addAction("Modify");
    pmTagModify_->setObjectName("pmTagModify");
    connect(pmTagModify_, &QAction::triggered, this, [this] { Guarded(this, [this] { ModifyTag(); }); });
    pmTagDelete_ = pmTags_->addAction("Delete");
    pmTagDelete_->setObjectName("pmTagDelete");
    connect(pmTagDelete_, &QAction::triggered, this, [this] { Guarded(this, [this] { DeleteTag(); }); });
    tagList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tagList_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pmTags_->exec(tagList_->viewport()->mapToGlobal(at)); });

    connect(srcList_, &QListWidget::itemDoubleClicked, this, [this] { Guarded(this, [this] { IncludeOne(); }); });
    connect(dstList_, &QListWidget::currentRowChanged, this, [this] { Guarded(this, [this] { IndexFileChosen(); }); });
    connect(tagList_, &QListWidget::currentRowChanged, this, [this] { Guarded(this, [this] { TagChosen(); }); });
    connect(edit1_, &QLineEdit::textEdited, this, [this] { FollowIndexFile(); });

    const int em = fontMetrics().averageCharWidth();
    const int line = fontMetrics().height();

    // The two lists with the arrows between them and the new-file button beside them.
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(2);
    arrows->addStretch();
    for (QPushButton* b : {btnInclude_, btnIncludeAll_, btnExclude_, btnExcludeAll_}) {
        b->setFixedWidth(em * 6);
        arrows->addWidget(b);
    }
    arrows->addStretch();
    for (QListWidget* list : {srcList_, dstList_}) list->setFixedSize(em * 26, line * 7);
    auto* fileButtons = new QVBoxLayout;
    fileButtons->addWidget(btnFileNew_);
    fileButtons->addStretch();
    auto* files = new QGridLayout;
    files->addWidget(Caption("Indexes Available", srcList_), 0, 0);
    files->addWidget(Caption("Indexes Used", dstList_), 0, 2);
    files->addWidget(srcList_, 1, 0);
    files->addLayout(arrows, 1, 1);
    files->addWidget(dstList_, 1, 2);
    files->addLayout(fileButtons, 1, 3);

    // The tags of the highlighted file with their buttons.
    tagList_->setFixedHeight(line * 5);
    auto* tagButtons = new QVBoxLayout;
    tagButtons->setSpacing(2);
    for (QPushButton* b : {btnTagModify_, btnTagDelete_, btnTagNew_}) tagButtons->addWidget(b);
    tagButtons->addStretch();
    auto* tags = new QGridLayout;
    tags->addWidget(Caption("Tags in Highlighted Index:", tagList_), 0, 0);
    tags->addWidget(tagList_, 1, 0);
    tags->addLayout(tagButtons, 1, 1);

    // The definition of one tag.
    auto* definition = new QGridLayout;
    definition->addWidget(Caption("Index File:", edit1_), 0, 0);
    definition->addWidget(edit1_, 0, 1);
    definition->addWidget(Caption("Index Tag:", edit2_), 0, 2);
    definition->addWidget(edit2_, 0, 3);
    definition->addWidget(Caption("Expression:", edit3_), 1, 0);
    definition->addWidget(edit3_, 1, 1, 1, 3);
    definition->addWidget(Caption("Filter:", edit4_), 2, 0);
    definition->addWidget(edit4_, 2, 1, 1, 3);
    auto* change = new QHBoxLayout;
    change->addWidget(chkUnique_);
    change->addWidget(chkDescending_);
    change->addStretch();
    change->addWidget(btnSave_);
    change->addWidget(btnCancel_);
    definition->addLayout(change, 3, 0, 1, 4);

    auto* panel = new QFrame;
    panel->setObjectName("pnlIndexer");
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* column = new QVBoxLayout(panel);
    column->setSpacing(4);
    column->addLayout(files);
    column->addLayout(tags);
    column->addLayout(definition);
    panel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    // The panel stays in the middle of the window, whatever its size.
    auto* client = new QWidget(this);
    auto* centre = new QGridLayout(client);
    centre->addWidget(panel, 1, 1);
    centre->setRowStretch(0, 1);
    centre->setRowStretch(2, 1);
    centre->setColumnStretch(0, 1);
    centre->setColumnStretch(2, 1);
    setWidget(client);
}

// ----------------------------------------------------------------------------- opening

void TIndexerForm::OpenTable() {
    try {
        main_.ReopenActiveTable(true);
        mayModify_ = true;
    } catch (const Exception&) {
        // Another program has the table open: the editor still shows tags and orders.
        mayModify_ = false;
        main_.ReopenActiveTable(false);
    }
    btnFileNew_->setEnabled(mayModify_);
}

void TIndexerForm::FillLists() {
    const QString directory = main_.TableDirectory();
    {
        // The files open with the table from an earlier visit stay in use.
        const QSignalBlocker block(dstList_);
        dstList_->clear();
        for (const std::string& entry : Table().IndexFiles().Items()) {
            QString name = FromFileBytes(entry);
            if (!directory.isEmpty() && name.startsWith(directory)) name = name.mid(directory.size());
            dstList_->addItem(name);
        }
        dstList_->setCurrentRow(-1);
    }
    const QSignalBlocker block(srcList_);
    srcList_->clear();
    const QDir folder(directory.isEmpty() ? QStringLiteral(".") : directory);
    for (const QFileInfo& info : folder.entryInfoList(QDir::Files, QDir::Name))
        if (kIndexExtensions.contains(info.suffix().toLower())) srcList_->addItem(info.fileName());

    // The table's own index files are used at once.
    const QString table = QFileInfo(main_.TableFileName()).completeBaseName();
    for (int row = srcList_->count() - 1; row >= 0; --row) {
        QListWidgetItem* item = srcList_->item(row);
        if (QFileInfo(item->text()).completeBaseName().compare(table, Qt::CaseInsensitive) == 0 &&
            RowOf(dstList_, item->text()) < 0)
            Include(item);
    }
    for (int row = srcList_->count() - 1; row >= 0; --row)
        if (RowOf(dstList_, srcList_->item(row)->text()) >= 0) delete srcList_->takeItem(row);
}

// -------------------------------------------------------------------------- file lists

QStringList TIndexerForm::DstEntries() const {
    QStringList entries;
    for (int row = 0; row < dstList_->count(); ++row) entries << dstList_->item(row)->text();
    return entries;
}

void TIndexerForm::ApplyIndexFiles(const QStringList& entries) {
    auto apply = [this](const QStringList& names) {
        // An empty assignment would leave the files open; emptying the list closes them.
        if (names.isEmpty()) {
            Table().IndexFiles().Clear();
            return;
        }
        TStringList files;
        for (const QString& name : names) files.Add(FileBytes(name));
        Table().SetIndexFiles(files);
    };
    try {
        apply(entries);
    } catch (...) {
        try {
            apply(DstEntries());
        } catch (...) {
            // The first failure is the one to tell.
        }
        throw;
    }
}

void TIndexerForm::NotValidMessage(const QString& entry) {
    Asker().Message(this, QMessageBox::Information, "Pelmora", "Index file " + entry + " is not valid for this DBF.",
                    QMessageBox::Ok);
}

bool TIndexerForm::Include(QListWidgetItem* item) {
    const QString entry = item->text();
    try {
        ApplyIndexFiles(DstEntries() << entry);
    } catch (const Exception&) {
        NotValidMessage(entry);
        return false;
    }
    const QSignalBlocker blockSource(srcList_);
    const QSignalBlocker blockUsed(dstList_);
    delete srcList_->takeItem(srcList_->row(item));
    dstList_->addItem(entry);
    return true;
}

void TIndexerForm::UpdateArrows() {
    btnInclude_->setEnabled(srcList_->count() > 0);
    btnIncludeAll_->setEnabled(srcList_->count() > 0);
    btnExclude_->setEnabled(dstList_->count() > 0);
    btnExcludeAll_->setEnabled(dstList_->count() > 0);
}

void TIndexerForm::IncludeOne() {
    QListWidgetItem* item = srcList_->currentItem();
    if (item && item->isSelected()) Include(item);
    UpdateArrows();
}

void TIndexerForm::IncludeAll() {
    for (int row = srcList_->count() - 1; row >= 0; --row) Include(srcList_->item(row));
    UpdateArrows();
}

void TIndexerForm::ExcludeOne() {
    ClearTagPanel();
    QListWidgetItem* item = dstList_->currentItem();
    if (item && item->isSelected()) {
        const QString entry = item->text();
        QStringList rest = DstEntries();
        rest.removeAt(dstList_->row(item));
        try {
            ApplyIndexFiles(rest);
            const QSignalBlocker blockUsed(dstList_);
            delete dstList_->takeItem(dstList_->row(item));
            dstList_->setCurrentRow(-1);
            srcList_->addItem(entry);
            srcList_->sortItems();
        } catch (const Exception&) {
            NotValidMessage(entry);
        }
    }
    UpdateArrows();
    ShowOrder();
}

void TIndexerForm::ExcludeAll() {
    ClearTagPanel();
    {
        const QSignalBlocker blockSource(srcList_);
        const QSignalBlocker blockUsed(dstList_);
        while (dstList_->count() > 0) {
            std::unique_ptr<QListWidgetItem> item(dstList_->takeItem(dstList_->count() - 1));
            srcList_->addItem(item->text());
        }
        srcList_->sortItems();
    }
    Table().IndexFiles().Clear();
    UpdateArrows();
    ShowOrder();
}

// ------------------------------------------------------------------------- tag panel

void TIndexerForm::ShowOrder() {
    if (Table().Active()) main_.ShowTableStatus();
}

void TIndexerForm::ClearTagPanel() {
    {
        const QSignalBlocker block(tagList_);
        tagList_->clear();
    }
    tags_.clear();
    pmTagModify_->setEnabled(false);
    pmTagDelete_->setEnabled(false);
    for (QPushButton* b : {btnTagModify_, btnTagDelete_, btnTagNew_}) b->setEnabled(false);
    for (QLineEdit* e : {edit1_, edit2_, edit3_, edit4_}) e->clear();
    chkUnique_->setChecked(false);
    chkDescending_->setChecked(false);
    SetEditing(false, false);
    Table().SetIndexName("");
    ShowOrder();
}

void TIndexerForm::SetEditing(bool on, bool fileToo) {
    edit1_->setEnabled(on && fileToo);
    for (QWidget* w : std::initializer_list<QWidget*>{edit2_, edit3_, edit4_, chkUnique_, chkDescending_, btnSave_,
                                                      btnCancel_})
        w->setEnabled(on);
    FollowIndexFile();
}

void TIndexerForm::FollowIndexFile() {
    const QString file = edit1_->text().trimmed();
    const bool named = TNorvaneDataSet::HoldsNamedTags(FileBytes(file));
    edit2_->setReadOnly(!named);
    if (!named && btnSave_->isEnabled()) edit2_->setText(QFileInfo(file).completeBaseName());
}

void TIndexerForm::IndexFileChosen() {
    ClearTagPanel();
    main_.pnlIndex()->setText("Natural Order");
    QListWidgetItem* item = dstList_->currentItem();
    if (!item) return;
    edit1_->setText(item->text());
    btnTagNew_->setEnabled(mayModify_);
    tags_ = Table().FileTags(FileBytes(item->text()));
    const QSignalBlocker block(tagList_);
    for (const auto& tag : tags_) tagList_->addItem(FromAnsi(tag.name));
}

void TIndexerForm::TagChosen() {
    SetEditing(false, false);
    const int row = tagList_->currentRow();
    if (row < 0 || row >= static_cast<int>(tags_.size())) return;
    const TNorvaneDataSet::TagDefinition& tag = tags_[static_cast<std::size_t>(row)];
    if (QListWidgetItem* file = dstList_->currentItem()) edit1_->setText(file->text());
    edit2_->setText(FromAnsi(tag.name));
    edit3_->setText(FromAnsi(tag.expression));
    edit4_->setText(FromAnsi(tag.forExpression));
    chkUnique_->setChecked(tag.unique);
    chkDescending_->setChecked(tag.descending);
    Table().SetIndexName(tag.name);
    main_.pnlIndex()->setText("Index is " + FromAnsi(Table().IndexName()));
    pmTagModify_->setEnabled(mayModify_);
    pmTagDelete_->setEnabled(mayModify_);
    for (QPushButton* b : {btnTagModify_, btnTagDelete_, btnTagNew_}) b->setEnabled(mayModify_);
}

void TIndexerForm::ModifyTag() {
    if (!mayModify_ || tagList_->currentRow() < 0) return;
    SetEditing(true, false);
}

void TIndexerForm::NewTag() {
    if (!mayModify_) return;
    for (QLineEdit* e : {edit2_, edit3_, edit4_}) e->clear();
    chkUnique_->setChecked(false);
    chkDescending_->setChecked(false);
    SetEditing(true, true);
}

void TIndexerForm::NewIndexFile() {
    if (!mayModify_) return;
    TFileQuestion question;
    question.title = "Open";
    question.directory = main_.TableDirectory();
    question.filter = kNewFileFilter;
    int filterIndex = 1;
    const QString chosen = Asker().OpenNewFile(this, question, filterIndex);
    if (chosen.isEmpty()) return;
    QString name = QFileInfo(chosen).fileName();
    if (QFileInfo(name).suffix().isEmpty() && filterIndex >= 1 && filterIndex <= 4)
        name += kFilterExtensions[filterIndex - 1];
    // The file joins "Indexes Used" when its first tag is saved, not before.
    edit1_->setText(name);
    UpdateArrows();
    NewTag();
}

void TIndexerForm::CancelChanges() {
    QListWidgetItem* file = dstList_->currentItem();
    edit1_->setText(file ? file->text() : QString());
    TagChosen();
}

void TIndexerForm::ShowError(const QString& message) { Asker().ShowError(this, message); }

void TIndexerForm::SaveChanges() {
    const QString tag = edit2_->text().trimmed();
    if (tag.isEmpty()) return;
    const QString file = edit1_->text().trimmed();
    const QString key = edit3_->text();
    const QString condition = edit4_->text();
    QString failure;
    try {
        const TWaitCursor wait;
        Table().IndexOn(FileBytes(main_.TableDirectory() + file), ToAnsi(tag), ToAnsi(key), ToAnsi(condition),
                        !chkUnique_->isChecked(), chkDescending_->isChecked());
    } catch (const Exception& e) {
        failure = FromAnsi(e.Message());
    }
    if (!failure.isEmpty()) {
        // The build closed every index file: they are all maintained again before the
        // person hears of the failure.
        Guarded(this, [this] { ApplyIndexFiles(DstEntries()); });
        QString what = "Index tag " + tag + " could not be built from the expression \"" + key.trimmed() + "\"";
        if (!condition.trimmed().isEmpty()) what += " for \"" + condition.trimmed() + "\"";
        ShowError(what + ": " + failure);
        return;
    }
    if (RowOf(dstList_, file) < 0) {
        const QSignalBlocker blockSource(srcList_);
        const QSignalBlocker blockUsed(dstList_);
        const int source = RowOf(srcList_, file);
        if (source >= 0) delete srcList_->takeItem(source);
        dstList_->addItem(file);
    }
    ApplyIndexFiles(DstEntries());
    UpdateArrows();
    {
        const QSignalBlocker block(dstList_);
        dstList_->setCurrentRow(RowOf(dstList_, file));
    }
    IndexFileChosen();
    int row = -1;
    for (std::size_t i = 0; i < tags_.size() && row < 0; ++i)
        if (FromAnsi(tags_[i].name).compare(tag, Qt::CaseInsensitive) == 0) row = static_cast<int>(i);
    // A file with one tag named after it has that tag, whatever the name field said.
    if (row < 0 && tags_.size() == 1 && !TNorvaneDataSet::HoldsNamedTags(FileBytes(file))) row = 0;
    {
        const QSignalBlocker block(tagList_);
        tagList_->setCurrentRow(row);
    }
    TagChosen();
}

void TIndexerForm::DeleteTag() {
    const int row = tagList_->currentRow();
    if (!mayModify_ || row < 0 || row >= static_cast<int>(tags_.size())) return;
    const QString file = edit1_->text().trimmed();
    const std::string tag = tags_[static_cast<std::size_t>(row)].name;
    if (Table().FileTags(FileBytes(file)).size() == 1) {
        // A file without tags is no index: the file goes with its last tag.
        if (Asker().Message(this, QMessageBox::Question, "Pelmora",
                            FromAnsi(tag) + " is the only tag of index file " + file + ".  Delete the file?",
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        ClearTagPanel();
        QStringList rest = DstEntries();
        rest.removeAll(file);
        ApplyIndexFiles(rest);
        {
            const QSignalBlocker blockSource(srcList_);
            const QSignalBlocker blockUsed(dstList_);
            for (QListWidget* list : {srcList_, dstList_})
                if (const int at = RowOf(list, file); at >= 0) delete list->takeItem(at);
            dstList_->setCurrentRow(-1);
        }
        UpdateArrows();
        Table().DeleteIndexFile(FileBytes(file));
        ShowOrder();
        return;
    }
    const int result = Table().DeleteTag(FileBytes(file), tag);
    IndexFileChosen();
    if (result < 0) ShowError("Index file " + file + " refused to delete the tag " + FromAnsi(tag) + ".");
    if (result > 0) ShowError("Index file " + file + " has no tag " + FromAnsi(tag) + ".");
}

// ------------------------------------------------------------------------------ closing

void TIndexerForm::closeEvent(QCloseEvent* event) {
    Guarded(&main_, [this] {
        if (Table().Active() && Table().Exclusive()) main_.ReopenActiveTable(false);
    });
    main_.EnableIndex();
    event->accept();
    QMdiSubWindow::closeEvent(event);
}
