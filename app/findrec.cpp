#include "findrec.h"

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

TFindForm::TFindForm(QWidget* parent, TNorvaneDataSet* table) : QDialog(parent), table_(table) {
    setObjectName("FindForm");
    setWindowTitle("Find a Record");

    auto* fields = new QLabel("Fields", this);
    cmbFields_ = new QComboBox(this);
    cmbFields_->setObjectName("cmbFields");
    cmbFields_->setEditable(false);
    fields->setBuddy(cmbFields_);
    auto* equals = new QLabel("=", this);
    edtValue_ = new QLineEdit(this);
    edtValue_->setObjectName("edtValue");
    chkCaseInsensitive_ = new QCheckBox("Case Insensitive", this);
    chkCaseInsensitive_->setObjectName("chkCaseInsensitive");
    chkCaseInsensitive_->setChecked(true);
    chkPartialKey_ = new QCheckBox("Partial Key", this);
    chkPartialKey_->setObjectName("chkPartialKey");
    chkPartialKey_->setChecked(true);
    btnOk_ = new QPushButton("Ok", this);
    btnOk_->setObjectName("btnOk");
    btnOk_->setDefault(true);
    btnCancel_ = new QPushButton("&Cancel", this);
    btnCancel_->setObjectName("btnCancel");

    auto* grid = new QGridLayout(this);
    grid->addWidget(fields, 0, 0);
    grid->addWidget(cmbFields_, 1, 0);
    grid->addWidget(equals, 1, 1);
    grid->addWidget(edtValue_, 1, 2);
    grid->addWidget(chkCaseInsensitive_, 2, 0);
    grid->addWidget(chkPartialKey_, 2, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk_);
    buttons->addWidget(btnCancel_);
    grid->addLayout(buttons, 3, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    connect(btnOk_, &QPushButton::clicked, this, [this] { Guarded(this, [this] { Ok(); }); });
    // Escape reaches reject() too.
    connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

    if (HasTable()) FillFieldList(cmbFields_, *table_);
}

bool TFindForm::HasTable() const { return table_ && table_->Active(); }

int TFindForm::exec() {
    if (!HasTable()) {
        setResult(Rejected);
        return Rejected;
    }
    return QDialog::exec();
}

void TFindForm::Ok() {
    TField* field = ChosenField(cmbFields_, *table_);
    if (!field) return;
    TLocateOptions options;
    if (chkCaseInsensitive_->isChecked()) options.Include(loCaseInsensitive);
    if (chkPartialKey_->isChecked()) options.Include(loPartialKey);
    bool found = false;
    {
        TWaitCursor wait;
        found = table_->Locate(field->FieldName(), TVariant(ToAnsi(edtValue_->text())), options);
    }
    if (found) {
        accept();
        return;
    }
    Asker().Message(this, QMessageBox::Information, "Pelmora", "Could not find a match.", QMessageBox::Ok);
}
