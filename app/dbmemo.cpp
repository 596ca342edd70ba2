#include "dbmemo.h"

#include <algorithm>

#include "asker.h"
#include "db_dataset.h"
#include "db_links.h"
#include "qtext.h"

class TDBMemo::TLink : public TDataLink {
public:
    explicit TLink(TDBMemo& memo) : memo_(memo) {}

protected:
    void ActiveChanged() override { memo_.LoadFromField(); }
    void RecordChanged(TField* field) override {
        if (!field || field == memo_.field_) memo_.LoadFromField();
    }
    void UpdateData() override { memo_.StoreIntoField(); }

private:
    TDBMemo& memo_;
};

TDBMemo::TDBMemo(QWidget* parent) : QPlainTextEdit(parent), link_(std::make_unique<TLink>(*this)) {
    connect(this, &QPlainTextEdit::textChanged, this, &TDBMemo::TextEdited);
}

TDBMemo::~TDBMemo() { link_->SetDataSource(nullptr); }

void TDBMemo::SetDataSource(TDataSource* source) { link_->SetDataSource(source); }

void TDBMemo::SetField(TField* field) {
    field_ = field;
    LoadFromField();
}

void TDBMemo::LoadFromField() {
    QString text;
    // Called from the record set's notifications: a failed read shows an empty memo
    // rather than throwing into the record set.
    try {
        if (field_ && link_->Active() && field_->DataSet() == link_->DataSet()) {
            text = FromAnsi(field_->AsString());
            text.replace("\r\n", "\n");
        }
    } catch (...) {
        text.clear();
    }
    loading_ = true;
    setPlainText(text);
    loading_ = false;
    modified_ = false;
}

void TDBMemo::StoreIntoField() {
    if (!modified_ || !field_) return;
    QString text = toPlainText();
    // Memo text keeps the line ends the other programs of the family write.
    text.replace("\n", "\r\n");
    field_->SetAsString(ToAnsi(text));
    modified_ = false;
}

void TDBMemo::TextEdited() {
    if (loading_) return;
    if (!field_ || !link_->Active()) return;
    if (!link_->Editing()) {
        // Starting the edit reads the record again, which shows the stored text: the
        // person's change is put back over it.
        const QString typed = toPlainText();
        const int position = textCursor().position();
        bool editing = false;
        Guarded(this, [&] { editing = link_->Edit(); });
        if (!editing) {
            LoadFromField();
            return;
        }
        if (toPlainText() != typed) {
            loading_ = true;
            setPlainText(typed);
            QTextCursor cursor = textCursor();
            cursor.setPosition(std::min(position, static_cast<int>(typed.size())));
            setTextCursor(cursor);
            loading_ = false;
        }
    }
    modified_ = true;
}
