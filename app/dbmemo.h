// A data-aware memo editor: shows one memo field of the data source's current record and
// writes the person's text back into it when the record is posted. Typing puts the record
// set into edit state (through the data source, which respects AutoEdit); when that fails
// (the record is locked by someone else) the error is shown and the text goes back.
#pragma once

#include <QPlainTextEdit>
#include <memory>

class TDataSource;
class TField;

class TDBMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TDBMemo(QWidget* parent = nullptr);
    ~TDBMemo() override;

    void SetDataSource(TDataSource* source);
    // The memo field shown; null shows nothing.
    void SetField(TField* field);
    TField* Field() const { return field_; }
    // The text differs from the field's since it was last loaded.
    bool Modified() const { return modified_; }

    // Shows the field's value again (dropping the person's unposted text).
    void LoadFromField();
    // Writes the text into the field when it was changed.
    void StoreIntoField();

private:
    class TLink;
    void TextEdited();

    std::unique_ptr<TLink> link_;
    TField* field_ = nullptr;
    bool loading_ = false;
    bool modified_ = false;
};
