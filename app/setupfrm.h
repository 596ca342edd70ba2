// The structure editor: the field list of the open table, or of a table about to be created,
// in an editable grid. It checks each edited row, adds, deletes and reorders fields, chooses
// the table flavour, writes the field list to a text file, and on "Save Changes" builds the
// new table; for an open table the main window's Timer1 then runs the restructure copy
// (restructure.h) and opens the editor again. A maximised child window of the main frame.
#pragma once

#include <QMdiSubWindow>
#include <cstdint>
#include <string>

#include "fieldgrid.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QPainter;
class QPushButton;
class TMainForm;

class TSetupForm : public QMdiSubWindow {
    Q_OBJECT
public:
    // The radio items of "DBF Type".
    enum DBFType { dtClipper, dtDBase3, dtDBase4, dtFoxPro };

    explicit TSetupForm(TMainForm& mainForm);
    ~TSetupForm() override;

    TFieldGrid* StringGrid1() const { return grid_; }
    QLabel* Label1() const { return label1_; }
    QWidget* Panel() const { return panel_; }
    QGroupBox* DBFTypeGroup() const { return rgDBFType_; }
    int DBFTypeIndex() const;
    void SetDBFTypeIndex(int index);
    // The highlighted row (from 1; 0 without rows) and the row in edit (-1: none).
    int SelectedRow() const { return selectedRow_; }
    int EditRow() const { return editRow_; }

    // The commands of the five buttons.
    void SaveChanges();
    void EditField();
    void AddField();
    void DeleteField();
    void ListStructure();

    // The check of the row in edit before the current cell moves to (col, row); row 0 when
    // the grid is being left. Shows the warning and returns false when the move may not
    // happen; otherwise ends the editing when the move leaves the row.
    bool ValidateRow(int col, int row);
    // Draws one cell: header cells in the button face, the selected row navy with white
    // text, others white, the edit row red with white text; the text 4 pixels right of and
    // 2 below the corner. Never throws.
    void DrawCell(QPainter& painter, const QRect& cell, int col, int row) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildPanel();
    void LoadTable();
    void NewStructure();
    void ShowLength();
    void EndEditing();
    void RowMoved(int from, int to);
    void FocusChanged(QWidget* old, QWidget* now);
    bool InGrid(const QWidget* widget) const;
    bool Warn(const QString& text);
    // The row checks in the order of the validation; each returns the warning or empty.
    QString CheckNameAndType(int row);
    QString CheckNumbers(int row);
    QString CheckLimits(int row);
    // Every row, before anything is built.
    bool ValidateAll();
    void Build(const std::string& path, uint8_t languageDriver);

    TMainForm& main_;
    QWidget* panel_ = nullptr;
    QLabel* label1_ = nullptr;
    TFieldGrid* grid_ = nullptr;
    QGroupBox* rgDBFType_ = nullptr;
    QButtonGroup* dbfTypes_ = nullptr;
    int selectedRow_ = 0;
    int editRow_ = -1;
    // The warning of a failed check moves the focus; that move must not check again.
    bool validating_ = false;
    QMetaObject::Connection focusWatch_;
};

// The restructure copy, run by Timer1 after the editor saved: the editor goes (the table
// stays exclusive), the records are copied into the new table, the files exchanged and the
// index files rebuilt; then the table is opened shared again with its index files and order,
// and the editor comes back. A failure puts the old table back, reopens it as it was and
// shows the error.
void RunRestructureCopy(TMainForm& mainForm);
