#include "filterrec.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "asker.h"
#include "formtools.h"
#include "nv_dataset.h"
#include "qtext.h"

namespace {

// A logical value as a person types it: T, Y, .T., true, yes ... are true; anything else false.
bool TypedTrue(const std::string& value) {
    for (const char c : value) {
        if (c == ' ' || c == '.') continue;
        return c == 'T' || c == 't' || c == 'Y' || c == 'y';
    }
    return false;
}

}  // namespace

std::optional<std::string> BuildFilterExpression(const std::string& fieldName, TFieldType type, TFilterOperator op,
                                                 const std::string& value, bool wildcards) {
    static const char* const kOperators[] = {"= ", "<> ", "< ", "> ", ""};
    std::string expression = fieldName + " " + kOperators[op];
    switch (type) {
        case ftString: {
            // The expression language has no escape inside a text, so the delimiter must be
            // one the value does not hold.
            std::string open, close;
            if (value.find('"') == std::string::npos)
                open = close = "\"";
            else if (value.find('\'') == std::string::npos)
                open = close = "'";
            else if (value.find(']') == std::string::npos)
                open = "[", close = "]";
            else
                return std::nullopt;
            expression += open + value + (wildcards ? "*" : "") + close;
            break;
        }
        case ftDate: expression += "{" + value + "}"; break;
        case ftBoolean: expression += TypedTrue(value) ? ".T." : ".F."; break;
        default: expression += value; break;
    }
    return expression;
}

TFilterForm::TFilterForm(QWidget* parent, TNorvaneDataSet* table) : QDialog(parent), table_(table) {
    setObjectName("FilterForm");
    setWindowTitle("Select Filter Options");

    auto* fields = new QLabel("Fields", this);
    cmbFields_ = new QComboBox(this);
    cmbFields_->setObjectName("cmbFields");
    cmbFields_->setEditable(false);
    fields->setBuddy(cmbFields_);
    cmbOperator_ = new QComboBox(this);
    cmbOperator_->setObjectName("cmbOperator");
    cmbOperator_->addItems({"equal", "not equal", "less than", "greater than"});
    cmbOperator_->setCurrentIndex(foEqual);
    edtValue_ = new QLineEdit(this);
    edtValue_->setObjectName("edtValue");
    chkCaseInsensitive_ = new QCheckBox("Case Insensitive", this);
    chkCaseInsensitive_->setObjectName("chkCaseInsensitive");
    chkCaseInsensitive_->setChecked(true);
    chkWildCards_ = new QCheckBox("Allow WildCards", this);
    chkWildCards_->setObjectName("chkWildCards");
    chkWildCards_->setChecked(false);
    btnOk_ = new QPushButton("Ok", this);
    btnOk_->setObjectName("btnOk");
    btnOk_->setDefault(true);
    btnCancel_ = new QPushButton("&Cancel", this);
    btnCancel_->setObjectName("btnCancel");

    auto* grid = new QGridLayout(this);
    grid->addWidget(fields, 0, 0);
    grid->addWidget(cmbFields_, 1, 0);
    grid->addWidget(cmbOperator_, 1, 1);
    grid->addWidget(edtValue_, 1, 2);
    grid->addWidget(chkCaseInsensitive_, 2, 0);
    grid->addWidget(chkWildCards_, 2, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk_);
    buttons->addWidget(btnCancel_);
    grid->addLayout(buttons, 3, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    connect(btnOk_, &QPushButton::clicked, this, [this] { Guarded(this, [this] { Ok(); }); });
    connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

    if (HasTable()) FillFieldList(cmbFields_, *table_);
}

bool TFilterForm::HasTable() const { return table_ && table_->Active(); }

int TFilterForm::exec() {
    if (!HasTable()) {
        setResult(Rejected);
        return Rejected;
    }
    return QDialog::exec();
}

void TFilterForm::reject() {
    if (HasTable()) Guarded(this, [this] { table_->SetFiltered(false); });
    QDialog::reject();
}

void TFilterForm::Ok() {
    expression_.clear();
    TField* field = ChosenField(cmbFields_, *table_);
    if (!field) return;
    const int op = cmbOperator_->currentIndex();
    const std::optional<std::string> built =
        BuildFilterExpression(field->FieldName(), field->DataType(), op < 0 ? foNone : static_cast<TFilterOperator>(op),
                              ToAnsi(edtValue_->text()), chkWildCards_->isChecked());
    if (!built) {
        Asker().Message(this, QMessageBox::Information, "Pelmora",
                        "The value holds \", ' and ], so it cannot be written as a text.", QMessageBox::Ok);
        return;
    }
    expression_ = *built;

    TFilterOptions options;
    if (chkCaseInsensitive_->isChecked()) options.Include(foCaseInsensitive);
    if (!chkWildCards_->isChecked()) options.Include(foNoPartialCompare);
    table_->SetFilterOptions(options);
    try {
        TWaitCursor wait;
        table_->SetFiltered(false);
        if (!expression_.empty()) {
            table_->SetFilter(expression_);
            table_->SetFiltered(true);
        }
    } catch (...) {
        // A filter that failed to build must not stay half on.
        try {
            table_->SetFiltered(false);
        } catch (...) {
        }
        throw;
    }
    accept();
}
