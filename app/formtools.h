// Small pieces the dialogs and windows share.
#pragma once

#include <QApplication>

class QComboBox;
class TDataSet;
class TField;

// The hourglass for as long as the object lives, so that it returns on every path, errors
// included.
class TWaitCursor {
public:
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// Fills a field list: one entry per field of the dataset that holds a searchable value
// (memo and blob fields are left out), showing its display name, sorted alphabetically,
// with the first entry chosen. Each entry carries the field's position in the dataset.
void FillFieldList(QComboBox* list, TDataSet& dataSet);
// The field an entry of such a list stands for; null when none is chosen.
TField* ChosenField(const QComboBox* list, TDataSet& dataSet);
