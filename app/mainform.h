// The program's main window: the multiple-document frame that owns the one open table
// (ActiveTable), its status bar and the table commands. Child windows (the browse window,
// and the structure and index editors where they are installed) work on ActiveTable and use
// the accessors below.
//
// Every command runs through Guarded, so an engine or record-set error shows its message and
// leaves the program running. One thread: the user-interface thread.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "nv_dataset.h"

class QAction;
class QActionGroup;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QSettings;
class TProgressReporter;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTimer;
class TBrowseForm;
class TMainForm;

// The program-wide settings made once at start, before the main window: the short date
// format "mm/dd/yyyy" and the application title.
void SetUpProgram();

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // `arguments` are the program's arguments after its own name; the first names a table
    // that Timer2 opens one second after start.
    explicit TMainForm(const QStringList& arguments = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    TNorvaneDataSet& ActiveTable() { return activeTable_; }
    QMdiArea* Workspace() const { return mdi_; }

    // The current table: file name with extension, and its directory with a trailing "/".
    const QString& TableFileName() const { return tableFileName_; }
    const QString& TableDirectory() const { return tableDirectory_; }
    // What the structure editor hands over to the restructure copy.
    QString NewTableFileName;
    std::vector<int> FieldMap;

    // The status panels, left to right.
    QLabel* pnlRecord() const { return pnlRecord_; }
    QLabel* pnlFiltered() const { return pnlFiltered_; }
    QLabel* pnlIndex() const { return pnlIndex_; }
    QLabel* Panel1() const { return panel1_; }
    // The code pages the table is read with ("866/1251"), and a notice when its header
    // names a page that is not read.
    QLabel* pnlCodePage() const { return pnlCodePage_; }

    // The progress of long engine operations on ActiveTable.
    TProgressReporter& Progress() { return *progress_; }

    // The last five tables opened, latest first (kept in the user's settings).
    QStringList RecentFiles() const;
    // Where the settings are kept: an INI file of that path for tests; empty for the
    // user's own settings.
    static void SetSettingsFile(const QString& path);
    // Opens a table as "&Open" does after its dialog: the open table is closed first.
    void OpenPath(const QString& path);
    // The page chosen in "Code &Page" (0: automatic), applied to the open table.
    void ChooseCodePage(int page);

    // Timer1 (100 ms, stopped) runs the structure editor's restructure copy; Timer2 (1000 ms)
    // opens the table named on the command line.
    QTimer* Timer1() const { return timer1_; }
    QTimer* Timer2() const { return timer2_; }

    // Closes ActiveTable and opens it again with the given access.
    void ReopenActiveTable(bool exclusive);
    // Reopens an open table shared and destroys every child window, last first, without
    // running their close steps. Enables the table menus only while ActiveTable is open.
    void ResetChildWindows();
    // Panel1, pnlRecord and pnlIndex for the table just opened.
    void ShowTableStatus();

    // The "&Record" menu of the browse window stands before "&Window" while it exists.
    void MergeMenu(QMenu* menu);
    TBrowseForm* BrowseForm() const;

    // Re-enables "&Setup" / "&Index" (the editors do so when they close).
    void EnableSetup();
    void EnableIndex();

    // While ActiveTable holds an unposted record, asks "Save changes to the current
    // record?": Yes posts, No cancels; false when the person chose Cancel.
    bool SettlePendingEdit();

protected:
    void closeEvent(QCloseEvent* event) override;
    // A table dropped from a file manager opens as "&Open" would open it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildMenus();
    void BuildStatusBar();
    QAction* AddCommand(QMenu* menu, const char* name, const QString& text, void (TMainForm::*command)());
    // Runs a command through Guarded.
    void Run(void (TMainForm::*command)());

    void NewTable();
    void OpenTable();
    void CloseTable();
    void Browse();
    void Setup();
    void IndexEditor();
    void Pack();
    void Reindex();
    void Zap();
    void About();
    void OpenFromCommandLine();
    void Refresh();
    void ExportCsv();
    void ExportSqlite();
    // Runs the command-line tool's exporter on the open table with its order, filter and
    // code page, into a file the person chooses.
    void ExportTable(bool sqlite);

    std::unique_ptr<QSettings> Settings() const;
    void RememberRecent(const QString& path);
    void BuildRecentMenu();
    void BuildCodePageMenu();
    void ShowCodePage();

    // Steps 3-6 of Open, for the table in TableDirectory + TableFileName.
    void OpenNamedTable();
    // Takes TableFileName and TableDirectory from a full path.
    void SetTablePath(const QString& path);
    // Pack, Reindex and Zap: the table exclusive while `work` runs, shared again afterwards
    // whatever happened.
    void WithExclusiveTable(const std::function<void()>& work);
    // "&Close", "&Database" and "&Index" follow whether ActiveTable is open.
    void EnableTableMenus();
    void ShowInactive();
    // pnlRecord: the record count followed by " Records".
    void ShowRecordCount();
    void AddChild(QMdiSubWindow* child);

    TNorvaneDataSet activeTable_;
    QString tableFileName_;
    QString tableDirectory_;
    QString saveDialogFileName_;

    QMdiArea* mdi_ = nullptr;
    QLabel* pnlRecord_ = nullptr;
    QLabel* pnlFiltered_ = nullptr;
    QLabel* pnlIndex_ = nullptr;
    QLabel* panel1_ = nullptr;
    QLabel* pnlCodePage_ = nullptr;
    std::unique_ptr<TProgressReporter> progress_;
    QTimer* timer1_ = nullptr;
    QTimer* timer2_ = nullptr;

    QMenu* mnuFile_ = nullptr;
    QMenu* mnuDatabase_ = nullptr;
    QMenu* mnuWindow_ = nullptr;
    QAction* muClose_ = nullptr;
    QAction* muExportCsv_ = nullptr;
    QAction* muExportSqlite_ = nullptr;
    QAction* muBrowse_ = nullptr;
    QAction* muSetup_ = nullptr;
    QAction* muIndex_ = nullptr;
    QMenu* mnuCodePage_ = nullptr;
    QActionGroup* codePageGroup_ = nullptr;
    QAction* recentSeparator_ = nullptr;
    QList<QAction*> recentActions_;

    QPointer<TBrowseForm> browseForm_;
};
