#include "setupfrm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <memory>
#include <vector>

#include "asker.h"
#include "formtools.h"
#include "mainform.h"
#include "nv6_bld.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_tool.h"
#include "nv_dataset.h"
#include "progress.h"
#include "qtext.h"
#include "restructure.h"

namespace {

// Widths in the source layout were made for an 8-point font; they grow with the font the
// desktop gives us, so that the texts still fit.
int Scaled(const QWidget* w, int pixels) {
    const int average = w->fontMetrics().averageCharWidth();
    return average > 5 ? pixels * average / 5 : pixels;
}

// Paths cross to the engine in the file system's encoding, not the table's code page.
std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The table the editor built for a restructure copy still to come (a property of the main
// window, which outlives the editor).
constexpr const char* kBuiltTable = "pelmoraBuiltTable";

// A table file and the memo files a builder may have made beside it.
void RemoveTableFiles(const std::string& path) {
    for (const char* ext : {"dbt", "fpt"}) QFile::remove(QFile::decodeName(NvCompanionName(path, ext).c_str()));
    QFile::remove(QFile::decodeName(path.c_str()));
}

bool IsInteger(const QString& text, int* value = nullptr) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok, 10);
    if (ok && value) *value = n;
    return ok;
}

int IntegerOf(const QString& text) {
    int n = 0;
    return IsInteger(text, &n) ? n : 0;
}

}  // namespace

// ---------------------------------------------------------------------------- the window

TSetupForm::TSetupForm(TMainForm& mainForm) : QMdiSubWindow(nullptr), main_(mainForm) {
    setObjectName("SetupForm");
    setWindowTitle("Setup " + main_.TableFileName());
    BuildPanel();
    TNorvaneDataSet& table = main_.ActiveTable();
    if (table.Active()) {
        LoadTable();
        main_.pnlRecord()->setText(QString::number(table.RecordCount()) + " Records");
    } else {
        main_.pnlRecord()->setText("Creating");
        NewStructure();
    }
    focusWatch_ = connect(qApp, &QApplication::focusChanged, this, &TSetupForm::FocusChanged);
    // Maximised once the workspace has taken the window in.
    QTimer::singleShot(0, this, [this] { showMaximized(); });
}

TSetupForm::~TSetupForm() {
    // The grid and the focus go on living a little while the window's widgets are torn
    // down; by then this object must no longer be called.
    disconnect(focusWatch_);
    grid_->OnSelectCell = nullptr;
    grid_->OnCurrentChanged = nullptr;
    grid_->OnDrawCell = nullptr;
    grid_->OnRowMoved = nullptr;
}

void TSetupForm::BuildPanel() {
    auto* client = new QWidget(this);
    client->setObjectName("SetupClient");
    panel_ = new QWidget(client);
    panel_->setObjectName("pnlSetup");
    // The panel stays in the middle of the window, whatever its size.
    auto* centring = new QGridLayout(client);
    centring->addWidget(panel_, 0, 0, Qt::AlignCenter);

    label1_ = new QLabel(panel_);
    label1_->setObjectName("Label1");
    grid_ = new TFieldGrid(panel_);
    grid_->setObjectName("StringGrid1");
    grid_->setAutoFillBackground(true);
    QPalette white = grid_->palette();
    white.setColor(QPalette::Base, Qt::white);
    grid_->setPalette(white);
    const int widths[TFieldGrid::kColumns] = {34, 104, 36, 35, 24};
    grid_->verticalHeader()->setFixedWidth(Scaled(grid_, widths[0]));
    for (int c = 1; c < TFieldGrid::kColumns; ++c) grid_->setColumnWidth(c - 1, Scaled(grid_, widths[c]));
    grid_->verticalHeader()->setMinimumSectionSize(std::min(20, grid_->fontMetrics().height()));
    grid_->verticalHeader()->setDefaultSectionSize(std::max(20, grid_->fontMetrics().height() + 4));
    grid_->horizontalHeader()->setFixedHeight(std::max(20, grid_->fontMetrics().height() + 4));
    const QStringList headers{"Field", "Name", "Type", "Len", "Dec"};
    for (int c = 0; c < TFieldGrid::kColumns; ++c) grid_->SetCell(c, 0, headers[c]);
    int width = 2 * grid_->frameWidth() + grid_->verticalHeader()->width() +
                grid_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (int c = 1; c < TFieldGrid::kColumns; ++c) width += grid_->columnWidth(c - 1);
    grid_->setFixedWidth(width);
    grid_->setMinimumHeight(12 * grid_->verticalHeader()->defaultSectionSize());
    grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid_->verticalHeader()->setToolTip("Drag field to another position");
    grid_->OnDrawCell = [this](QPainter& painter, const QRect& cell, int col, int row) {
        DrawCell(painter, cell, col, row);
    };
    grid_->OnSelectCell = [this](int col, int row) {
        if (editRow_ < 0) return true;
        bool allowed = false;
        Guarded(this, [&] { allowed = ValidateRow(col, row); });
        return allowed;
    };
    grid_->OnCurrentChanged = [this](int, int row) {
        if (editRow_ < 0) selectedRow_ = row;
    };
    grid_->OnRowMoved = [this](int from, int to) { Guarded(this, [&] { RowMoved(from, to); }); };

    auto button = [this](const char* name, const QString& text, void (TSetupForm::*command)()) {
        auto* b = new QPushButton(text, panel_);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, [this, command] { Guarded(this, [this, command] { (this->*command)(); }); });
        return b;
    };
    QPushButton* save = button("btnSave", "Save Changes", &TSetupForm::SaveChanges);
    QPushButton* edit = button("btnEdit", "Edit Field", &TSetupForm::EditField);
    QPushButton* add = button("btnAdd", "Add Field", &TSetupForm::AddField);
    QPushButton* remove = button("btnDelete", "Delete Field", &TSetupForm::DeleteField);
    QPushButton* list = button("btnList", "List Structure", &TSetupForm::ListStructure);
    list->setToolTip("Save structure to text file");

    rgDBFType_ = new QGroupBox("DBF Type", panel_);
    rgDBFType_->setObjectName("rgDBFType");
    dbfTypes_ = new QButtonGroup(rgDBFType_);
    auto* types = new QVBoxLayout(rgDBFType_);
    const QStringList items{"Clipper", "DBase III", "DBase IV", "FoxPro"};
    for (int i = 0; i < items.size(); ++i) {
        auto* radio = new QRadioButton(items[i], rgDBFType_);
        dbfTypes_->addButton(radio, i);
        types->addWidget(radio);
    }
    SetDBFTypeIndex(dtFoxPro);

    auto* left = new QVBoxLayout;
    left->addWidget(label1_);
    left->addWidget(grid_, 1);
    auto* right = new QVBoxLayout;
    for (QPushButton* b : {save, edit, add, remove, list}) right->addWidget(b);
    right->addSpacing(8);
    right->addWidget(rgDBFType_);
    right->addStretch(1);
    auto* layout = new QHBoxLayout(panel_);
    layout->addLayout(left);
    layout->addLayout(right);
    setWidget(client);
}

int TSetupForm::DBFTypeIndex() const { return dbfTypes_->checkedId(); }

void TSetupForm::SetDBFTypeIndex(int index) {
    if (QAbstractButton* b = dbfTypes_->button(index)) b->setChecked(true);
}

void TSetupForm::LoadTable() {
    DBFObject* cursor = main_.ActiveTable().Cursor();
    if (!cursor) return;
    switch (cursor->Version()) {
        case 3:
        case 131: SetDBFTypeIndex(dtDBase3); break;
        case 139: SetDBFTypeIndex(dtDBase4); break;
        case 48:
        case 245: SetDBFTypeIndex(dtFoxPro); break;
        default: break;
    }
    const int fields = cursor->FieldCount();
    grid_->SetRowCount(1);
    grid_->SetRowCount(fields + 1);
    for (int i = 1; i <= fields; ++i) {
        grid_->SetCell(TFieldGrid::colField, i, QString::number(i));
        grid_->SetCell(TFieldGrid::colName, i, FromAnsi(cursor->FieldName(i)));
        grid_->SetCell(TFieldGrid::colType, i, FromAnsi(std::string(1, cursor->FieldType(i))));
        grid_->SetCell(TFieldGrid::colLen, i, QString::number(cursor->FieldLength(i)));
        grid_->SetCell(TFieldGrid::colDec, i, QString::number(cursor->FieldDecimals(i)));
        grid_->SetSource(i, i);
    }
    ShowLength();
    editRow_ = -1;
    selectedRow_ = fields > 0 ? 1 : 0;
    if (fields > 0) grid_->SetCurrent(TFieldGrid::colName, 1);
}

void TSetupForm::NewStructure() {
    grid_->SetRowCount(2);
    const QStringList cells{"1", "NEWFIELD", "C", "1", "0"};
    for (int c = 0; c < TFieldGrid::kColumns; ++c) grid_->SetCell(c, 1, cells[c]);
    grid_->SetSource(1, 0);
    ShowLength();
    selectedRow_ = 1;
    editRow_ = -1;
    EditField();
}

void TSetupForm::ShowLength() {
    int length = 1;
    for (int r = 1; r < grid_->RowCount(); ++r) length += IntegerOf(grid_->Cell(TFieldGrid::colLen, r));
    label1_->setText("Length is " + QString::number(length));
}

void TSetupForm::DrawCell(QPainter& painter, const QRect& cell, int col, int row) const {
    QColor background = Qt::white;
    QColor foreground = Qt::black;
    if (row == 0 || col == TFieldGrid::colField) {
        background = grid_->palette().color(QPalette::Button);
        foreground = grid_->palette().color(QPalette::ButtonText);
    } else if (row == selectedRow_) {
        background = QColor(0, 0, 128);
        foreground = Qt::white;
    }
    if (row > 0 && row == editRow_) {
        background = Qt::red;
        foreground = Qt::white;
    }
    painter.save();
    painter.setClipRect(cell);
    painter.setFont(grid_->font());
    painter.fillRect(cell, background);
    painter.setPen(foreground);
    painter.drawText(cell.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     grid_->Cell(col, row));
    painter.restore();
}

// ----------------------------------------------------------------------- row editing

void TSetupForm::EditField() {
    if (selectedRow_ < 1 || selectedRow_ >= grid_->RowCount()) return;
    editRow_ = selectedRow_;
    grid_->SetCurrent(TFieldGrid::colName, editRow_);
    grid_->setFocus();
    grid_->SetEditing(true);
    grid_->FocusEditor();
    grid_->viewport()->update();
}

void TSetupForm::EndEditing() {
    grid_->SetEditing(false);
    editRow_ = -1;
}

bool TSetupForm::Warn(const QString& text) {
    Asker().Message(this, QMessageBox::Warning, "Warning", text, QMessageBox::Ok);
    return false;
}

QString TSetupForm::CheckNameAndType(int row) {
    const QString name = grid_->Cell(TFieldGrid::colName, row).trimmed().toUpper();
    grid_->SetCell(TFieldGrid::colName, row, name);
    if (name.isEmpty() || name.size() > 10) return "Field name is invalid.";
    for (int r = 1; r < grid_->RowCount(); ++r)
        if (r != row && grid_->Cell(TFieldGrid::colName, r).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return "Field name is duplicated.";
    const QString typeText = grid_->Cell(TFieldGrid::colType, row);
    const QChar type = typeText.isEmpty() ? QChar(' ') : typeText.front().toUpper();
    if (!QStringLiteral("BCDFLMN").contains(type)) return "Field type is invalid.";
    grid_->SetCell(TFieldGrid::colType, row, QString(type));
    if (type == 'B' || type == 'M') grid_->SetCell(TFieldGrid::colLen, row, "10");
    if (type == 'D') grid_->SetCell(TFieldGrid::colLen, row, "8");
    if (type == 'L') grid_->SetCell(TFieldGrid::colLen, row, "1");
    if (type != 'F' && type != 'N') grid_->SetCell(TFieldGrid::colDec, row, "0");
    return {};
}

QString TSetupForm::CheckNumbers(int row) {
    if (!IsInteger(grid_->Cell(TFieldGrid::colLen, row))) return "Field length is invalid.";
    if (!IsInteger(grid_->Cell(TFieldGrid::colDec, row))) return "Field decimal length is invalid.";
    return {};
}

// The limits the table formats set, checked only before a save: a builder writes whatever
// it is given.
QString TSetupForm::CheckLimits(int row) {
    const QChar type = grid_->Cell(TFieldGrid::colType, row).front();
    const int length = IntegerOf(grid_->Cell(TFieldGrid::colLen, row));
    const int decimals = IntegerOf(grid_->Cell(TFieldGrid::colDec, row));
    if (type == 'C' && (length < 1 || length > 65535)) return "Field length is invalid.";
    if ((type == 'N' || type == 'F') && (length < 1 || length > 255 || decimals < 0 || decimals >= length))
        return "Field length is invalid.";
    return {};
}

bool TSetupForm::ValidateRow(int col, int row) {
    if (editRow_ < 1 || validating_) return editRow_ < 1;
    validating_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{validating_};
    grid_->CommitEditor();
    const int r = editRow_;
    QString problem = CheckNameAndType(r);
    if (!problem.isEmpty()) return Warn(problem);
    const QChar type = grid_->Cell(TFieldGrid::colType, r).front();
    // Lengths and decimals fixed by the type are not for editing.
    if (col == TFieldGrid::colDec && QStringLiteral("BCDLM").contains(type)) return false;
    if (col == TFieldGrid::colLen && QStringLiteral("BDLM").contains(type)) return false;
    problem = CheckNumbers(r);
    if (!problem.isEmpty()) return Warn(problem);
    if (row == r) return true;
    EndEditing();
    if (row != 0) selectedRow_ = row;
    ShowLength();
    grid_->viewport()->update();
    grid_->verticalHeader()->viewport()->update();
    return true;
}

bool TSetupForm::ValidateAll() {
    grid_->CommitEditor();
    int length = 1;
    for (int r = 1; r < grid_->RowCount(); ++r) {
        QString problem = CheckNameAndType(r);
        if (problem.isEmpty()) problem = CheckNumbers(r);
        if (problem.isEmpty()) problem = CheckLimits(r);
        if (!problem.isEmpty()) {
            EndEditing();
            selectedRow_ = r;
            Warn(problem);
            EditField();
            return false;
        }
        length += IntegerOf(grid_->Cell(TFieldGrid::colLen, r));
    }
    ShowLength();
    if (grid_->RowCount() < 2 || length > 65535) return Warn("Field length is invalid.");
    return true;
}

bool TSetupForm::InGrid(const QWidget* widget) const {
    return widget && (widget == grid_ || grid_->isAncestorOf(widget));
}

void TSetupForm::FocusChanged(QWidget* old, QWidget* now) {
    // Leaving the grid for another control of the same window checks the row in edit; a
    // warning box, another window, or the grid's own editor are not a leaving.
    if (editRow_ < 0 || validating_ || !InGrid(old) || !now || InGrid(now)) return;
    if (now->window() != grid_->window()) return;
    bool valid = true;
    Guarded(this, [&] { valid = ValidateRow(TFieldGrid::colName, 0); });
    if (!valid) grid_->FocusEditor();
}

void TSetupForm::RowMoved(int from, int to) {
    if (editRow_ > 0 && !ValidateRow(TFieldGrid::colName, 0)) return;
    EndEditing();
    grid_->MoveRow(from, to);
    selectedRow_ = to;
    EditField();
}

// -------------------------------------------------------------------------- commands

void TSetupForm::AddField() {
    grid_->CommitEditor();
    EndEditing();
    const int row = grid_->RowCount();
    grid_->SetRowCount(row + 1);
    const QStringList cells{QString::number(row), "NEWFIELD", "C", "1", "0"};
    for (int c = 0; c < TFieldGrid::kColumns; ++c) grid_->SetCell(c, row, cells[c]);
    grid_->SetSource(row, 0);
    selectedRow_ = row;
    ShowLength();
    EditField();
}

void TSetupForm::DeleteField() {
    const int last = grid_->RowCount() - 1;
    if (selectedRow_ < 1 || selectedRow_ > last) return;
    grid_->CommitEditor();
    EndEditing();
    grid_->MoveRow(selectedRow_, last);
    grid_->SetRowCount(last);
    if (selectedRow_ == last) selectedRow_ = last - 1;
    if (selectedRow_ > 0) grid_->SetCurrent(TFieldGrid::colName, selectedRow_);
    ShowLength();
    grid_->viewport()->update();
}

void TSetupForm::ListStructure() {
    grid_->CommitEditor();
    TFileQuestion question;
    question.title = "Save As";
    question.directory = main_.TableDirectory();
    question.fileName = QFileInfo(main_.TableFileName()).completeBaseName() + ".TXT";
    question.filter = "Text Files (*.TXT *.txt);;All Files (*)";
    question.defaultSuffix = "TXT";
    const QString chosen = Asker().SaveFile(this, question);
    if (chosen.isEmpty()) return;
    std::string text;
    for (int r = 1; r < grid_->RowCount(); ++r) {
        const QStringList parts{grid_->Cell(TFieldGrid::colName, r).trimmed().toUpper(),
                                grid_->Cell(TFieldGrid::colType, r).trimmed().toUpper(),
                                grid_->Cell(TFieldGrid::colLen, r).trimmed(), grid_->Cell(TFieldGrid::colDec, r).trimmed()};
        text += ToAnsi(parts.join(';')) + "\n";
    }
    QFile file(chosen);
    const std::string path = PathBytes(chosen);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) NvRaise(TnvMsg::CouldNotCreate, {path});
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) || !file.flush())
        NvRaise(TnvMsg::WriteError, {path});
}

void TSetupForm::Build(const std::string& path, uint8_t languageDriver) {
    std::unique_ptr<NVO_DBFBuild> build;
    switch (DBFTypeIndex()) {
        case dtDBase4: build = std::make_unique<NVO_DB4Build>(path); break;
        case dtFoxPro: build = std::make_unique<NVO_DBFoxBuild>(path); break;
        default: build = std::make_unique<NVO_DBFBuild>(path); break;
    }
    // Nothing is created unless every field went in.
    build->SetCreateEnabled(false);
    main_.FieldMap.clear();
    for (int r = 1; r < grid_->RowCount(); ++r) {
        build->AddField(ToAnsi(grid_->Cell(TFieldGrid::colName, r)), ToAnsi(grid_->Cell(TFieldGrid::colType, r)),
                        IntegerOf(grid_->Cell(TFieldGrid::colLen, r)), IntegerOf(grid_->Cell(TFieldGrid::colDec, r)));
        main_.FieldMap.push_back(grid_->Source(r));
    }
    build->SetLanguageDriver(languageDriver);
    build->SetCreateEnabled(true);
    try {
        build->Build();
    } catch (...) {
        build->SetCreateEnabled(false);
        build.reset();
        RemoveTableFiles(path);
        throw;
    }
    build->SetCreateEnabled(false);
}

void TSetupForm::SaveChanges() {
    // A save already waiting for its copy has the table; a second one would orphan it.
    if (main_.Timer1()->isActive()) return;
    if (editRow_ > 0) grid_->CommitEditor();
    if (!ValidateAll()) return;
    TNorvaneDataSet& table = main_.ActiveTable();
    const QString directory = main_.TableDirectory();
    if (!table.Active()) {
        main_.NewTableFileName = main_.TableFileName();
        // A new table is marked with the page it will be read in, so that every program
        // reads its text alike.
        Build(PathBytes(directory + main_.TableFileName()), table.CodePages().Stored().LanguageDriver());
        main_.Timer1()->start();
        return;
    }
    // The table stays exclusive from here until the restructure copy has exchanged its files.
    try {
        main_.ReopenActiveTable(true);
        QString name;
        do {
            name = QString::fromStdString(UniqueName()).toLower() + ".dbf";
        } while (QFileInfo::exists(directory + name));
        main_.NewTableFileName = name;
        Build(PathBytes(directory + name), table.Cursor()->Header().bytes[29]);
        main_.setProperty(kBuiltTable, directory + name);
    } catch (...) {
        try {
            main_.ReopenActiveTable(false);
        } catch (...) {
            // The first failure is the one to show.
        }
        throw;
    }
    main_.Timer1()->start();
}

void TSetupForm::closeEvent(QCloseEvent* event) {
    main_.EnableSetup();
    event->accept();
    QMdiSubWindow::closeEvent(event);
}

// ------------------------------------------------------------- the restructure copy

namespace {

// The index files of a list as the record set opens them: extension ".ndx" when none, the
// table's directory when no directory is given.
std::string IndexFilePath(const std::string& entry, const std::string& directory) {
    std::string name = entry;
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty()) return {};
    name = DefaultExt(name, ".ndx");
    if (name.find_first_of("/\\") == std::string::npos) name = directory + name;
    return NvFindFileNoCase(NvExpandFileName(name));
}

void ReopenEditor(TMainForm& mainForm) {
    mainForm.EnableSetup();
    if (auto* setup = mainForm.findChild<QAction*>("muSetup")) setup->trigger();
}

}  // namespace

void RunRestructureCopy(TMainForm& mainForm) {
    mainForm.Timer1()->stop();
    TNorvaneDataSet& table = mainForm.ActiveTable();
    // The editor goes; the table is not reopened shared in between.
    const QList<QMdiSubWindow*> children = mainForm.Workspace()->subWindowList(QMdiArea::CreationOrder);
    for (auto it = children.rbegin(); it != children.rend(); ++it) delete *it;

    const QString built = mainForm.property(kBuiltTable).toString();
    mainForm.setProperty(kBuiltTable, QVariant());
    if (!table.Active() && !built.isEmpty()) {
        // The table was closed while the copy waited: the table built for it is not wanted.
        RemoveTableFiles(PathBytes(built));
        return;
    }
    std::vector<std::string> listed = table.IndexFiles().Items();
    const std::string order = table.IndexName();
    std::exception_ptr failure;
    TRestructureResult result;
    std::vector<std::string> kept;
    if (table.Active()) {
        TWaitCursor wait;
        TRestructureJob job;
        job.oldPath = table.Cursor()->FileName();
        job.newPath = PathBytes(mainForm.TableDirectory() + mainForm.NewTableFileName);
        job.fieldMap = mainForm.FieldMap;
        job.password = table.EncryptionKey();
        const std::string directory = table.Directory();
        for (const std::string& entry : listed)
            if (std::string file = IndexFilePath(entry, directory); !file.empty()) job.indexFiles.push_back(file);
        // A filter left from browsing may name fields that are gone.
        table.SetFiltered(false);
        mainForm.pnlFiltered()->clear();
        table.Close();
        try {
            job.status = [&mainForm](int32_t s1, int32_t s2, int32_t s3) { mainForm.Progress().Report(s1, s2, s3); };
            result = RestructureTable(job);
            for (const std::string& entry : listed)
                for (const std::string& rebuilt : result.rebuiltIndexFiles)
                    if (IndexFilePath(entry, directory) == rebuilt) kept.push_back(entry);
        } catch (...) {
            failure = std::current_exception();
            kept = listed;
        }
        mainForm.Progress().Finish();
    }
    // The table comes back shared: the new one, or the old one when the copy failed.
    try {
        table.Close();
        table.SetDatabaseName(PathBytes(mainForm.TableDirectory()));
        table.SetTableName(PathBytes(mainForm.TableFileName()));
        table.SetIndexName("");
        table.IndexFiles().Assign(kept);
        table.SetExclusive(false);
        table.Open();
        if (!order.empty() && !kept.empty()) {
            try {
                table.SetIndexName(order);
            } catch (const Exception&) {
                // The tag went with an index file that could not be rebuilt: natural order.
            }
        }
        mainForm.ShowTableStatus();
    } catch (...) {
        mainForm.ResetChildWindows();
        mainForm.Panel1()->setText("Inactive");
        mainForm.pnlRecord()->clear();
        mainForm.pnlIndex()->setText("No Index");
        if (failure) std::rethrow_exception(failure);
        throw;
    }
    ReopenEditor(mainForm);
    if (failure) std::rethrow_exception(failure);
    if (!result.problems.empty()) {
        QStringList lines;
        for (const std::string& problem : result.problems) lines << FromAnsi(problem);
        Asker().Message(&mainForm, QMessageBox::Warning, "Warning",
                        "The table was restructured, but these index files were not rebuilt:\n" + lines.join('\n'),
                        QMessageBox::Ok);
    }
}
