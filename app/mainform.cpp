#include "mainform.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <sstream>

#include "about.h"
#include "asker.h"
#include "browser.h"
#include "indexer.h"
#include "nv6_cpag.h"
#include "nv6_lcal.h"
#include "nvt_tool.h"
#include "progress.h"
#include "qtext.h"
#include "setupfrm.h"

namespace {

// Widths in the source layout were made for an 8-point font; they grow with the font the
// desktop gives us, so that the texts still fit.
int Scaled(const QWidget* w, int pixels) {
    const int average = w->fontMetrics().averageCharWidth();
    return average > 5 ? pixels * average / 5 : pixels;
}

QLabel* StatusPanel(QWidget* parent, const char* name, const QString& text) {
    auto* panel = new QLabel(text, parent);
    panel->setObjectName(name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return panel;
}

// Paths cross to the engine in the file system's encoding, not the table's code page.
std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The platform's keys for a command, and the usual one where the platform has none.
void SetShortcuts(QAction* action, QKeySequence::StandardKey key, const QKeySequence& usual) {
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (!keys.contains(usual)) keys.append(usual);
    action->setShortcuts(keys);
}

constexpr int kRecentCount = 5;
const char* const kRecentKey = "RecentFiles";

QString& SettingsFile() {
    static QString path;
    return path;
}

QString PageCaption(int page) {
    switch (page) {
        case 437: return "437 DOS United States";
        case 737: return "737 DOS Greek";
        case 850: return "850 DOS Western Europe";
        case 852: return "852 DOS Central Europe";
        case 857: return "857 DOS Turkish";
        case 860: return "860 DOS Portuguese";
        case 861: return "861 DOS Icelandic";
        case 863: return "863 DOS French Canadian";
        case 865: return "865 DOS Nordic";
        case 866: return "866 DOS Cyrillic";
        case 1250: return "1250 Windows Central Europe";
        case 1251: return "1251 Windows Cyrillic";
        case 1252: return "1252 Windows Western";
        case 1253: return "1253 Windows Greek";
        case 1254: return "1254 Windows Turkish";
        default: return QString::number(page);
    }
}

// The local table file a drag carries, or an empty text.
QString DraggedTable(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString path = urls.front().toLocalFile();
    return path.endsWith(".dbf", Qt::CaseInsensitive) ? path : QString();
}

}  // namespace

void SetUpProgram() {
    nvlocale::SetShortDatePattern("mm/dd/yyyy");
    QApplication::setApplicationName("Pelmora");
}

TMainForm::TMainForm(const QStringList& arguments, QWidget* parent) : QMainWindow(parent) {
    setObjectName("MainForm");
    setWindowTitle("Pelmora");

    activeTable_.SetAutoFlush(false);
    activeTable_.SetExclusive(false);
    activeTable_.SetLargeIntegerAs(asInteger);
    activeTable_.SetLockProtocol(TnvLokProtocol::Default);
    activeTable_.SetTableName("faq.dbf");
    activeTable_.SetTranslateASCII(true);
    activeTable_.SetUseDeleted(false);
    activeTable_.SetUserID(0);

    progress_ = std::make_unique<TProgressReporter>(this);
    activeTable_.OnStatus = [this](TNorvaneDataSet&, int32_t s1, int32_t s2, int32_t s3) { progress_->Report(s1, s2, s3); };

    mdi_ = new QMdiArea(this);
    mdi_->setObjectName("Workspace");
    setCentralWidget(mdi_);
    setAcceptDrops(true);
    BuildMenus();
    BuildStatusBar();

    timer1_ = new QTimer(this);
    timer1_->setObjectName("Timer1");
    timer1_->setInterval(100);
    timer2_ = new QTimer(this);
    timer2_->setObjectName("Timer2");
    timer2_->setInterval(1000);
    // While an engine operation paints its progress, the timers wait for their next turn.
    connect(timer2_, &QTimer::timeout, this, [this] {
        if (!EngineBusy()) Run(&TMainForm::OpenFromCommandLine);
    });
    connect(timer1_, &QTimer::timeout, this, [this] {
        if (!EngineBusy()) Guarded(this, [this] { RunRestructureCopy(*this); });
    });

    resize(632, 456);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    muClose_->setEnabled(false);
    muExportCsv_->setEnabled(false);
    muExportSqlite_->setEnabled(false);
    mnuDatabase_->menuAction()->setEnabled(false);
    muIndex_->setEnabled(false);
    if (!arguments.isEmpty()) {
        tableFileName_ = arguments.front();
        if (!tableFileName_.isEmpty()) timer2_->start();
    }
}

TMainForm::~TMainForm() {
    // Child windows hold data sources on ActiveTable: they go before it does.
    activeTable_.OnStatus = nullptr;
    timer1_->stop();
    timer2_->stop();
    const QList<QMdiSubWindow*> children = mdi_->subWindowList(QMdiArea::CreationOrder);
    for (auto it = children.rbegin(); it != children.rend(); ++it) delete *it;
    try {
        activeTable_.Close();
    } catch (...) {
        // Nobody is left to tell; the record set's own destructor releases the files.
    }
}

// ------------------------------------------------------------------------------ layout

QAction* TMainForm::AddCommand(QMenu* menu, const char* name, const QString& text, void (TMainForm::*command)()) {
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, [this, command] { Run(command); });
    return action;
}

void TMainForm::BuildMenus() {
    mnuFile_ = menuBar()->addMenu("&File");
    mnuFile_->setObjectName("mnuFile");
    AddCommand(mnuFile_, "muNewDBF", "&New", &TMainForm::NewTable);
    SetShortcuts(AddCommand(mnuFile_, "muOpenDBF", "&Open", &TMainForm::OpenTable), QKeySequence::Open,
                 QKeySequence(Qt::CTRL | Qt::Key_O));
    muClose_ = AddCommand(mnuFile_, "muCloseDBF", "&Close", &TMainForm::CloseTable);
    SetShortcuts(muClose_, QKeySequence::Close, QKeySequence(Qt::CTRL | Qt::Key_W));
    muExportCsv_ = AddCommand(mnuFile_, "muExportCsv", "Export to &CSV...", &TMainForm::ExportCsv);
    muExportSqlite_ = AddCommand(mnuFile_, "muExportSqlite", "Export to S&QLite...", &TMainForm::ExportSqlite);
    mnuFile_->addSeparator();
    recentSeparator_ = mnuFile_->addSeparator();
    QAction* exit = mnuFile_->addAction("E&xit");
    exit->setObjectName("muExit");
    connect(exit, &QAction::triggered, this, &QWidget::close);
    BuildRecentMenu();

    mnuDatabase_ = menuBar()->addMenu("&Database");
    mnuDatabase_->setObjectName("mnuDatabase");
    muBrowse_ = AddCommand(mnuDatabase_, "muBrowse", "&Browse", &TMainForm::Browse);
    muSetup_ = AddCommand(mnuDatabase_, "muSetup", "&Setup", &TMainForm::Setup);
    AddCommand(mnuDatabase_, "muPack", "&Pack", &TMainForm::Pack);
    AddCommand(mnuDatabase_, "muReindex", "&Reindex", &TMainForm::Reindex);
    AddCommand(mnuDatabase_, "muZap", "&Zap", &TMainForm::Zap);
    mnuDatabase_->addSeparator();
    SetShortcuts(AddCommand(mnuDatabase_, "muRefresh", "Re&fresh", &TMainForm::Refresh), QKeySequence::Refresh,
                 QKeySequence(Qt::Key_F5));
    BuildCodePageMenu();

    muIndex_ = menuBar()->addAction("&Index");
    muIndex_->setObjectName("muIndex");
    connect(muIndex_, &QAction::triggered, this, [this] { Run(&TMainForm::IndexEditor); });

    mnuWindow_ = menuBar()->addMenu("&Window");
    mnuWindow_->setObjectName("mnuWindow");
    QAction* cascade = mnuWindow_->addAction("Cascade");
    cascade->setObjectName("muCascade");
    connect(cascade, &QAction::triggered, mdi_, &QMdiArea::cascadeSubWindows);
    QAction* tile = mnuWindow_->addAction("Tile");
    tile->setObjectName("muTile");
    connect(tile, &QAction::triggered, mdi_, &QMdiArea::tileSubWindows);
    // Minimised children are not kept as icons here, so there is nothing to arrange.
    mnuWindow_->addAction("Arrange Icons")->setObjectName("muArrangeIcons");

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("mnuHelp");
    AddCommand(help, "muAbout", "&About", &TMainForm::About);
}

void TMainForm::BuildStatusBar() {
    pnlRecord_ = StatusPanel(this, "pnlRecord", QString());
    // The filter mark starts empty: no filter is active yet.
    pnlFiltered_ = StatusPanel(this, "pnlFiltered", QString());
    pnlIndex_ = StatusPanel(this, "pnlIndex", QString());
    panel1_ = StatusPanel(this, "Panel1", "Inactive");
    panel1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pnlCodePage_ = StatusPanel(this, "pnlCodePage", QString());
    pnlRecord_->setFixedWidth(Scaled(this, 125));
    pnlFiltered_->setFixedWidth(std::max(Scaled(this, 28), fontMetrics().horizontalAdvance("Filter") + 8));
    pnlIndex_->setFixedWidth(Scaled(this, 114));
    statusBar()->setSizeGripEnabled(false);
    statusBar()->setMinimumHeight(std::max(18, fontMetrics().height() + 4));
    statusBar()->addPermanentWidget(pnlRecord_);
    statusBar()->addPermanentWidget(pnlFiltered_);
    statusBar()->addPermanentWidget(pnlIndex_);
    statusBar()->addPermanentWidget(pnlCodePage_);
    statusBar()->addPermanentWidget(panel1_, 1);
}

// ------------------------------------------------------------------- shared operations

void TMainForm::Run(void (TMainForm::*command)()) {
    Guarded(this, [this, command] { (this->*command)(); });
}

void TMainForm::ReopenActiveTable(bool exclusive) {
    activeTable_.Close();
    activeTable_.SetExclusive(exclusive);
    activeTable_.Open();
}

void TMainForm::ResetChildWindows() {
    if (activeTable_.Active()) ReopenActiveTable(false);
    const QList<QMdiSubWindow*> children = mdi_->subWindowList(QMdiArea::CreationOrder);
    for (auto it = children.rbegin(); it != children.rend(); ++it) delete *it;
    EnableTableMenus();
    muSetup_->setEnabled(true);
    muBrowse_->setEnabled(true);
}

void TMainForm::EnableTableMenus() {
    const bool open = activeTable_.Active();
    muClose_->setEnabled(open);
    muExportCsv_->setEnabled(open);
    muExportSqlite_->setEnabled(open);
    mnuDatabase_->menuAction()->setEnabled(open);
    muIndex_->setEnabled(open);
}

void TMainForm::ShowTableStatus() {
    panel1_->setText(tableDirectory_ + tableFileName_);
    ShowRecordCount();
    if (activeTable_.IndexFiles().Empty())
        pnlIndex_->setText("No Index");
    else if (activeTable_.IndexName().empty())
        pnlIndex_->setText("Natural Order");
    else
        pnlIndex_->setText("Index is " + FromAnsi(activeTable_.IndexName()));
    ShowCodePage();
}

void TMainForm::ShowCodePage() {
    const nvlocale::TnvPageChoice pages = activeTable_.CodePages();
    SetTextPages(pages);
    QString text = "Code page " + QString::fromStdString(pages.Label());
    if (pages.unsupportedMark)
        text += " (the table's mark 0x" + QString::number(pages.mark, 16).toUpper().rightJustified(2, '0') +
                " names a page not read here)";
    pnlCodePage_->setText(text);
    // Its own width, so that a long path beside it does not squeeze it out of sight.
    pnlCodePage_->setMinimumWidth(pnlCodePage_->sizeHint().width());
    const int chosen = activeTable_.CodePage();
    for (QAction* action : codePageGroup_->actions()) action->setChecked(action->data().toInt() == chosen);
}

void TMainForm::ShowInactive() {
    panel1_->setText("Inactive");
    pnlRecord_->clear();
    pnlIndex_->setText("No Index");
    pnlCodePage_->clear();
    pnlCodePage_->setMinimumWidth(0);
    SetTextPages(nvlocale::DefaultPages());
}

bool TMainForm::SettlePendingEdit() {
    if (!IsEditMode(activeTable_.State()) || activeTable_.State() == dsSetKey) return true;
    const auto answer = Asker().Message(this, QMessageBox::Question, "Pelmora", "Save changes to the current record?",
                                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer == QMessageBox::Yes) {
        activeTable_.Post();
        return true;
    }
    if (answer == QMessageBox::No) {
        activeTable_.Cancel();
        return true;
    }
    return false;
}

void TMainForm::MergeMenu(QMenu* menu) { menuBar()->insertMenu(mnuWindow_->menuAction(), menu); }

TBrowseForm* TMainForm::BrowseForm() const { return browseForm_; }

void TMainForm::EnableSetup() { muSetup_->setEnabled(true); }
void TMainForm::EnableIndex() { muIndex_->setEnabled(activeTable_.Active()); }

void TMainForm::AddChild(QMdiSubWindow* child) {
    child->setAttribute(Qt::WA_DeleteOnClose);
    mdi_->addSubWindow(child);
    child->show();
}

void TMainForm::SetTablePath(const QString& path) {
    const QFileInfo info(path);
    tableFileName_ = info.fileName();
    tableDirectory_ = info.absolutePath();
    if (!tableDirectory_.endsWith('/')) tableDirectory_ += '/';
}

// ---------------------------------------------------------------------------- commands

void TMainForm::OpenTable() {
    if (!SettlePendingEdit()) return;
    TFileQuestion question;
    question.title = "Open";
    question.directory = tableDirectory_;
    question.fileName = "*.dbf";
    question.filter = "xBase File (*.dbf *.DBF)";
    question.defaultSuffix = "DBF";
    const QString chosen = Asker().OpenFile(this, question);
    if (chosen.isEmpty()) return;
    CloseTable();
    SetTablePath(chosen);
    OpenNamedTable();
}

void TMainForm::OpenPath(const QString& path) {
    if (!SettlePendingEdit()) return;
    CloseTable();
    SetTablePath(path);
    OpenNamedTable();
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!DraggedTable(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
    const QString path = DraggedTable(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    Guarded(this, [&] { OpenPath(path); });
}

void TMainForm::OpenFromCommandLine() {
    timer2_->stop();
    SetTablePath(tableFileName_);
    OpenNamedTable();
}

void TMainForm::OpenNamedTable() {
    try {
        activeTable_.SetDatabaseName(PathBytes(tableDirectory_));
        activeTable_.SetTableName(PathBytes(tableFileName_));
        activeTable_.IndexFiles().Clear();
        ReopenActiveTable(false);
        ShowTableStatus();
        RememberRecent(tableDirectory_ + tableFileName_);
    } catch (...) {
        // The child windows are reset also when the open failed; the error is shown after.
        ResetChildWindows();
        throw;
    }
    ResetChildWindows();
    Setup();
}

void TMainForm::NewTable() {
    if (!SettlePendingEdit()) return;
    TFileQuestion question;
    question.title = "Create DBF File";
    question.directory = tableDirectory_;
    question.fileName = saveDialogFileName_;
    question.filter = "xBase Type (*.dbf *.DBF)";
    question.defaultSuffix = "DBF";
    const QString chosen = Asker().SaveFile(this, question);
    if (chosen.isEmpty()) return;
    if (QFileInfo::exists(chosen) &&
        Asker().Message(this, QMessageBox::Information, "Pelmora", "File already exists.  Overwrite?",
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    CloseTable();
    SetTablePath(chosen);
    panel1_->setText(tableDirectory_ + tableFileName_);
    pnlRecord_->setText("Creating");
    pnlIndex_->setText("No Index");
    saveDialogFileName_ = tableDirectory_ + "*.DBF";
    Setup();
}

void TMainForm::CloseTable() {
    if (!SettlePendingEdit()) return;
    if (activeTable_.Active()) activeTable_.Close();
    // A page chosen for this table is not the next one's, nor is its filter (whose fields
    // the next table may not have).
    activeTable_.SetCodePage(0);
    activeTable_.SetFiltered(false);
    activeTable_.SetFilter("");
    activeTable_.SetIndexName("");
    pnlFiltered_->clear();
    ResetChildWindows();
    tableFileName_.clear();
    tableDirectory_.clear();
    EnableTableMenus();
    ShowInactive();
}

void TMainForm::Browse() {
    ResetChildWindows();
    muBrowse_->setEnabled(false);
    auto* browse = new TBrowseForm(*this);
    browseForm_ = browse;
    AddChild(browse);
}

void TMainForm::Setup() {
    if (!SettlePendingEdit()) return;
    ResetChildWindows();
    muSetup_->setEnabled(false);
    AddChild(new TSetupForm(*this));
}

void TMainForm::IndexEditor() {
    if (!SettlePendingEdit()) return;
    ResetChildWindows();
    muIndex_->setEnabled(false);
    AddChild(new TIndexerForm(*this));
}

void TMainForm::WithExclusiveTable(const std::function<void()>& work) {
    try {
        ReopenActiveTable(true);
        work();
    } catch (...) {
        try {
            ReopenActiveTable(false);
        } catch (...) {
            // The first failure is the one to show; the menus follow what is open.
        }
        EnableTableMenus();
        if (!activeTable_.Active()) ShowInactive();
        throw;
    }
    ReopenActiveTable(false);
}

void TMainForm::ShowRecordCount() {
    pnlRecord_->setText(QString::number(activeTable_.RecordCount()) + " Records");
}

void TMainForm::Pack() {
    if (!SettlePendingEdit()) return;
    ResetChildWindows();
    WithExclusiveTable([this] { activeTable_.Pack(); });
    ShowRecordCount();
}

void TMainForm::Reindex() {
    if (!SettlePendingEdit()) return;
    ResetChildWindows();
    WithExclusiveTable([this] { activeTable_.Reindex(); });
}

void TMainForm::Zap() {
    if (!SettlePendingEdit()) return;
    ResetChildWindows();
    if (Asker().Message(this, QMessageBox::Information, "Pelmora", "Are you sure you want to ZAP this file?",
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    WithExclusiveTable([this] { activeTable_.Zap(); });
    ShowRecordCount();
}

void TMainForm::About() {
    TAboutInfo about(this);
    about.exec();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool settled = false;
    Guarded(this, [&] { settled = SettlePendingEdit(); });
    if (!settled) {
        event->ignore();
        return;
    }
    Run(&TMainForm::CloseTable);
    event->accept();
}

void TMainForm::Refresh() {
    if (!activeTable_.Active()) return;
    if (!SettlePendingEdit()) return;
    activeTable_.Refresh();
    ShowRecordCount();
}

// ------------------------------------------------------------------------- code pages

void TMainForm::BuildCodePageMenu() {
    mnuCodePage_ = mnuDatabase_->addMenu("Code &Page");
    mnuCodePage_->setObjectName("mnuCodePage");
    codePageGroup_ = new QActionGroup(this);
    codePageGroup_->setExclusive(true);
    auto add = [this](const QString& caption, int page) {
        QAction* action = mnuCodePage_->addAction(caption);
        action->setObjectName(QString("muCodePage%1").arg(page));
        action->setCheckable(true);
        action->setData(page);
        codePageGroup_->addAction(action);
        connect(action, &QAction::triggered, this, [this, page] { Guarded(this, [&] { ChooseCodePage(page); }); });
    };
    add("&Automatic", 0);
    mnuCodePage_->addSeparator();
    for (int page : nvlocale::OemCodePages()) add(PageCaption(page), page);
    mnuCodePage_->addSeparator();
    for (int page : nvlocale::AnsiCodePages()) add(PageCaption(page), page);
    codePageGroup_->actions().front()->setChecked(true);
}

void TMainForm::ChooseCodePage(int page) {
    if (!activeTable_.Active() || !SettlePendingEdit()) {
        ShowCodePage();
        return;
    }
    // The crossing follows before the grid paints the records again.
    nvlocale::TnvPageChoice pages = nvlocale::DefaultPages();
    if (page == 0 || nvlocale::ChoiceForPage(page, pages)) SetTextPages(pages);
    try {
        activeTable_.SetCodePage(page);
    } catch (...) {
        ShowCodePage();
        throw;
    }
    ShowCodePage();
    for (QMdiSubWindow* child : mdi_->subWindowList()) child->update();
    if (browseForm_) browseForm_->update();
}

// ---------------------------------------------------------------------- recent tables

void TMainForm::SetSettingsFile(const QString& path) { SettingsFile() = path; }

std::unique_ptr<QSettings> TMainForm::Settings() const {
    if (!SettingsFile().isEmpty()) return std::make_unique<QSettings>(SettingsFile(), QSettings::IniFormat);
    return std::make_unique<QSettings>("Pelmora", "Pelmora");
}

QStringList TMainForm::RecentFiles() const {
    QStringList list = Settings()->value(kRecentKey).toStringList();
    while (list.size() > kRecentCount) list.removeLast();
    return list;
}

void TMainForm::RememberRecent(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    QStringList list = RecentFiles();
    list.removeAll(full);
    list.prepend(full);
    while (list.size() > kRecentCount) list.removeLast();
    Settings()->setValue(kRecentKey, list);
    BuildRecentMenu();
}

void TMainForm::BuildRecentMenu() {
    for (QAction* action : recentActions_) {
        // Gone at once as far as anyone looking for it knows; deleted once its own
        // trigger (which may be what rebuilds the list) has returned.
        action->setObjectName(QString());
        mnuFile_->removeAction(action);
        action->deleteLater();
    }
    recentActions_.clear();
    const QStringList list = RecentFiles();
    int n = 0;
    for (const QString& path : list) {
        ++n;
        auto* action = new QAction(QString("&%1 %2").arg(n).arg(path), mnuFile_);
        action->setObjectName(QString("muRecent%1").arg(n));
        connect(action, &QAction::triggered, this, [this, path] { Guarded(this, [&] { OpenPath(path); }); });
        mnuFile_->insertAction(recentSeparator_, action);
        recentActions_.append(action);
    }
    recentSeparator_->setVisible(!list.isEmpty());
}

// --------------------------------------------------------------------------------- export

void TMainForm::ExportCsv() { ExportTable(false); }
void TMainForm::ExportSqlite() { ExportTable(true); }

void TMainForm::ExportTable(bool sqlite) {
    if (!activeTable_.Active() || !SettlePendingEdit()) return;
    TFileQuestion question;
    question.title = sqlite ? "Export to SQLite" : "Export to CSV";
    question.directory = tableDirectory_;
    question.fileName = QFileInfo(tableFileName_).completeBaseName() + (sqlite ? ".db" : ".csv");
    question.filter = sqlite ? "SQLite Database (*.db *.sqlite)" : "CSV File (*.csv *.CSV)";
    question.defaultSuffix = sqlite ? "db" : "csv";
    const QString chosen = Asker().SaveFile(this, question);
    if (chosen.isEmpty()) return;
    // A database keeps its other tables; a CSV file is replaced whole.
    if (!sqlite && QFileInfo::exists(chosen) &&
        Asker().Message(this, QMessageBox::Information, "Pelmora", "File already exists.  Overwrite?",
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;

    std::vector<std::string> words = {"export", PathBytes(tableDirectory_ + tableFileName_), sqlite ? "--sqlite" : "--csv",
                                      PathBytes(chosen)};
    if (!activeTable_.IndexName().empty()) {
        words.insert(words.end(), {"--order", activeTable_.IndexName()});
        for (int i = 0; i < activeTable_.IndexFiles().Count(); ++i) {
            std::string entry = activeTable_.IndexFiles()[i];
            if (entry.find_first_not_of(' ') == std::string::npos) continue;
            if (entry.front() != '/') entry = activeTable_.Directory() + entry;
            words.insert(words.end(), {"--index", entry});
        }
    }
    // The tool reads expressions in UTF-8 and puts them in the table's page itself.
    if (activeTable_.Filtered() && !activeTable_.Filter().empty())
        words.insert(words.end(), {"--filter", FromAnsi(activeTable_.Filter()).toStdString()});
    words.insert(words.end(), {"--codepage", std::to_string(activeTable_.CodePages().StoredPage())});
    if (!activeTable_.EncryptionKey().empty()) words.insert(words.end(), {"--password", activeTable_.EncryptionKey()});

    std::ostringstream out, err;
    const int status = NvtRun(words, out, err, false, nullptr);
    if (status != 0) {
        QString message = QString::fromStdString(err.str()).trimmed();
        if (message.startsWith("norvane: ")) message = message.mid(9);
        Asker().ShowError(this, message);
        return;
    }
    Asker().Message(this, QMessageBox::Information, "Pelmora", QString::fromStdString(out.str()).trimmed(),
                    QMessageBox::Ok);
}
