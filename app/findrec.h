// The find dialog: moves the record set to the first record whose chosen field holds a
// value.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class TNorvaneDataSet;

class TFindForm : public QDialog {
    Q_OBJECT
public:
    // `table` may be null or closed: the dialog then ends at once with a cancel result.
    TFindForm(QWidget* parent, TNorvaneDataSet* table);

    int exec() override;

    QComboBox* cmbFields() const { return cmbFields_; }
    QLineEdit* edtValue() const { return edtValue_; }
    QCheckBox* chkCaseInsensitive() const { return chkCaseInsensitive_; }
    QCheckBox* chkPartialKey() const { return chkPartialKey_; }
    QPushButton* btnOk() const { return btnOk_; }
    QPushButton* btnCancel() const { return btnCancel_; }

private:
    void Ok();
    bool HasTable() const;

    TNorvaneDataSet* table_;
    QComboBox* cmbFields_;
    QLineEdit* edtValue_;
    QCheckBox* chkCaseInsensitive_;
    QCheckBox* chkPartialKey_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
};
