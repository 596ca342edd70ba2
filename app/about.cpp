#include "about.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutInfo::TAboutInfo(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutInfo");
    setWindowTitle("About");
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setModal(true);

    auto* name = new QLabel("Pelmora", this);
    name->setObjectName("lblProductName");
    QFont big = name->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    name->setFont(big);
    auto* version = new QLabel("Version 3.1", this);
    version->setObjectName("lblVersion");
    auto* comments = new QLabel("Browse, edit, index and repair dBase, FoxPro and Clipper tables.", this);
    comments->setObjectName("lblComments");
    auto* close = new QPushButton("Close", this);
    close->setObjectName("btnClose");
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    for (QLabel* label : {name, version, comments}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
    }
    layout->addSpacing(8);
    layout->addWidget(close, 0, Qt::AlignCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
