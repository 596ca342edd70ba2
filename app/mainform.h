// The program's main window: the multiple-document frame that owns the open table.
// Keeps to wiring; everything a window does goes through the record set.
#pragma once

#include <QMainWindow>

class QMdiArea;
class QLabel;

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);

    // The table named on the command line, opened by the start timer once it exists.
    void SetStartTable(const QString& path) { startTable_ = path; }
    QString StartTable() const { return startTable_; }

    QMdiArea* Workspace() const { return mdi_; }
    QLabel* StatusPanel() const { return pnlStatus_; }

private:
    QMdiArea* mdi_ = nullptr;
    QLabel* pnlStatus_ = nullptr;
    QString startTable_;
};
