#include "mainform.h"

#include <QApplication>
#include <QLabel>
#include <QMdiArea>
#include <QMenuBar>
#include <QStatusBar>

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    setObjectName("MainForm");
    setWindowTitle("Pelmora");
    mdi_ = new QMdiArea(this);
    setCentralWidget(mdi_);

    QMenu* file = menuBar()->addMenu("&File");
    QAction* exit = file->addAction("E&xit");
    exit->setObjectName("muExit");
    connect(exit, &QAction::triggered, this, &QWidget::close);

    pnlStatus_ = new QLabel(this);
    pnlStatus_->setObjectName("pnlStatus");
    statusBar()->addWidget(pnlStatus_, 1);
    resize(900, 600);
}
