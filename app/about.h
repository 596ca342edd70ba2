// The about box: the program's name, version and what it is for.
#pragma once

#include <QDialog>

class TAboutInfo : public QDialog {
    Q_OBJECT
public:
    // Modal, on top, centred on `parent`.
    explicit TAboutInfo(QWidget* parent = nullptr);
};
