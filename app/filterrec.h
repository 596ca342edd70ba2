// The filter dialog: builds a one-condition filter expression and applies it to the record
// set.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "db_types.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class TNorvaneDataSet;

// The operators of the dialog's list, in its order.
enum TFilterOperator { foEqual, foNotEqual, foLessThan, foGreaterThan, foNone };

// The expression "NAME op value" for a field of the given type. Text values are delimited
// with the first of ", ' and [ ] that does not occur in them (with a "*" before the closing
// delimiter when `wildcards`); dates go in braces; logicals become .T. or .F.; other values
// stand as typed. Empty when a text holds all three closing delimiters.
std::optional<std::string> BuildFilterExpression(const std::string& fieldName, TFieldType type, TFilterOperator op,
                                                 const std::string& value, bool wildcards);

class TFilterForm : public QDialog {
    Q_OBJECT
public:
    // `table` may be null or closed: the dialog then ends at once with a cancel result.
    TFilterForm(QWidget* parent, TNorvaneDataSet* table);

    int exec() override;
    // "&Cancel" and Escape also switch any filter off.
    void reject() override;

    // The expression the last "Ok" built (empty before).
    const std::string& Expression() const { return expression_; }

    QComboBox* cmbFields() const { return cmbFields_; }
    QComboBox* cmbOperator() const { return cmbOperator_; }
    QLineEdit* edtValue() const { return edtValue_; }
    QCheckBox* chkCaseInsensitive() const { return chkCaseInsensitive_; }
    QCheckBox* chkWildCards() const { return chkWildCards_; }
    QPushButton* btnOk() const { return btnOk_; }
    QPushButton* btnCancel() const { return btnCancel_; }

private:
    void Ok();
    bool HasTable() const;

    TNorvaneDataSet* table_;
    std::string expression_;
    QComboBox* cmbFields_;
    QComboBox* cmbOperator_;
    QLineEdit* edtValue_;
    QCheckBox* chkCaseInsensitive_;
    QCheckBox* chkWildCards_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
};
