// Field objects: one TField per column of a dataset, converting between the native buffer
// format of its type (see TFieldType) and strings, numbers, booleans, date-times and
// variants.
//
// A field belongs to exactly one dataset, which creates it (TDataSet::CreateField or from the
// field definitions) and owns it; a field only points back at its dataset. Values are read
// and written through the dataset's GetFieldData / SetFieldData, so which record buffer a
// field sees is the dataset's decision (by its state). Conversion failures raise
// EDatabaseError (a text that is not a value of the type, an out-of-range number, an
// access the type does not have).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db_types.h"
#include "db_variant.h"

class TDataSet;
class TStream;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

class TField {
public:
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;
    virtual ~TField() = default;

    // --- identity and layout ---------------------------------------------------------
    const std::string& FieldName() const { return fieldName_; }
    void SetFieldName(std::string name) { fieldName_ = std::move(name); }
    const std::string& DisplayLabel() const { return displayLabel_; }
    void SetDisplayLabel(std::string label) { displayLabel_ = std::move(label); }
    // The label, or the field name when there is no label.
    const std::string& DisplayName() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }
    // The descendant's number for a data field (bound at open); 0 for the other kinds.
    int FieldNo() const { return fieldNo_; }
    TFieldKind FieldKind() const { return fieldKind_; }
    // REQUIRES: the dataset is closed.
    void SetFieldKind(TFieldKind kind);
    bool Calculated() const { return fieldKind_ == fkCalculated; }
    bool Lookup() const { return fieldKind_ == fkLookup; }
    TFieldType DataType() const { return dataType_; }
    // Characters of a string field; 0 for most other types.
    int Size() const { return size_; }
    void SetSize(int size) { size_ = size; }
    // Bytes of the native buffer (GetData/SetData).
    virtual int DataSize() const = 0;
    virtual bool IsBlob() const { return false; }
    // Offset of this field's has-value byte in the calculated-field area (calculated and
    // lookup fields; set when the dataset binds its fields).
    int Offset() const { return offset_; }
    // Position in the dataset's field list.
    int Index() const;
    TDataSet* DataSet() const { return dataSet_; }

    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool v) { readOnly_ = v; }
    bool Required() const { return required_; }
    void SetRequired(bool v) { required_ = v; }
    bool Visible() const { return visible_; }
    void SetVisible(bool v) { visible_ = v; }
    // Characters a grid column shows.
    int DisplayWidth() const { return displayWidth_ > 0 ? displayWidth_ : DefaultWidth(); }
    void SetDisplayWidth(int w) { displayWidth_ = w; }
    virtual TAlignment Alignment() const { return taLeftJustify; }
    // Not read-only, a dataset that can modify, and a data field or (while the dataset is in
    // a temporary calculation state) a calculated one.
    bool CanModify() const;

    // --- values ----------------------------------------------------------------------
    // True when the current record has no value in the field.
    virtual bool IsNull();
    virtual std::string AsString();
    virtual void SetAsString(const std::string& value);
    virtual int64_t AsInteger();
    virtual void SetAsInteger(int64_t value);
    virtual double AsFloat();
    virtual void SetAsFloat(double value);
    double AsCurrency() { return AsFloat(); }
    void SetAsCurrency(double value) { SetAsFloat(value); }
    virtual bool AsBoolean();
    virtual void SetAsBoolean(bool value);
    virtual TDateTime AsDateTime();
    virtual void SetAsDateTime(TDateTime value);
    // The value as a variant: Null when IsNull, else of the field's natural kind.
    virtual TVariant Value();
    // Null or unassigned clears the field; otherwise by the variant's kind.
    virtual void SetValue(const TVariant& value);
    // Text for editing (OnGetText with displayText false, else AsString) and for display
    // (OnGetText with displayText true, else the type's display form).
    std::string Text();
    std::string DisplayText();
    // Through OnSetText when assigned, else SetAsString.
    void SetText(const std::string& text);
    // Stores "no value".
    virtual void Clear() { SetData(nullptr); }

    // --- native buffer access (the dataset's GetFieldData / SetFieldData) -------------
    // Copies the native value into `buffer` (may be null to test for a value); false when
    // the field has no value. While OnValidate runs, it reads the value being validated.
    bool GetData(void* buffer);
    // Writes the native value (null: no value). Raises "Field '%s' has no dataset" for a
    // field without one.
    void SetData(const void* buffer);
    // Runs OnValidate with `buffer` as the field's value; the handler raises to refuse it.
    // Descendants call it from SetFieldData before they store the value.
    void Validate(const void* buffer);
    // Runs OnChange (the dataset calls it on deFieldChange).
    void Change();
    // Asks the controls to put the focus on this field (deFocusControl).
    void FocusControl();

    // --- lookup fields ---------------------------------------------------------------
    TDataSet* LookupDataSet() const { return lookupDataSet_; }
    void SetLookupDataSet(TDataSet* ds) { lookupDataSet_ = ds; }
    const std::string& KeyFields() const { return keyFields_; }
    void SetKeyFields(std::string v) { keyFields_ = std::move(v); }
    const std::string& LookupKeyFields() const { return lookupKeyFields_; }
    void SetLookupKeyFields(std::string v) { lookupKeyFields_ = std::move(v); }
    const std::string& LookupResultField() const { return lookupResultField_; }
    void SetLookupResultField(std::string v) { lookupResultField_ = std::move(v); }

    // --- events ----------------------------------------------------------------------
    std::function<void(TField&)> OnChange;
    std::function<void(TField&)> OnValidate;
    std::function<void(TField&, std::string& text, bool displayText)> OnGetText;
    std::function<void(TField&, const std::string& text)> OnSetText;

protected:
    TField(TFieldType type, int size) : dataType_(type), size_(size) {}
    // The text a grid shows when OnGetText is not assigned.
    virtual std::string GetDisplayText() { return AsString(); }
    virtual int DefaultWidth() const { return 10; }
    [[noreturn]] void AccessError(const char* typeName) const;
    [[noreturn]] void RangeError(const std::string& value, const std::string& min,
                                 const std::string& max) const;

private:
    friend class TDataSet;
    TDataSet* dataSet_ = nullptr;
    std::string fieldName_;
    std::string displayLabel_;
    TFieldKind fieldKind_ = fkData;
    TFieldType dataType_;
    int size_;
    int fieldNo_ = 0;
    int offset_ = 0;
    int displayWidth_ = 0;
    bool readOnly_ = false;
    bool required_ = false;
    bool visible_ = true;
    bool validating_ = false;
    const void* valueBuffer_ = nullptr;
    TDataSet* lookupDataSet_ = nullptr;
    std::string keyFields_, lookupKeyFields_, lookupResultField_;
};

// ftString: zero-terminated text of at most Size characters. With Transliterate (the
// default) the dataset's Translate converts between its storage code page and the field's.
class TStringField : public TField {
public:
    explicit TStringField(int size = 20) : TField(ftString, size) {}
    int DataSize() const override { return Size() + 1; }
    bool Transliterate() const { return transliterate_; }
    void SetTransliterate(bool v) { transliterate_ = v; }
    std::string AsString() override;
    void SetAsString(const std::string& value) override;
    int64_t AsInteger() override;
    void SetAsInteger(int64_t value) override;
    double AsFloat() override;
    void SetAsFloat(double value) override;
    // True when the text starts with T, t, Y or y.
    bool AsBoolean() override;
    void SetAsBoolean(bool value) override;
    TDateTime AsDateTime() override;
    void SetAsDateTime(TDateTime value) override;
    TVariant Value() override;

protected:
    int DefaultWidth() const override { return Size() > 0 ? Size() : 10; }

private:
    bool transliterate_ = true;
};

// Whole-number fields of 2, 4 or 8 bytes. MinValue/MaxValue narrow the type's range when
// they differ (both 0: the type's whole range).
class TIntegerField : public TField {
public:
    TIntegerField() : TIntegerField(ftInteger) {}
    int DataSize() const override { return 4; }
    TAlignment Alignment() const override { return taRightJustify; }
    std::string AsString() override;
    void SetAsString(const std::string& value) override;
    int64_t AsInteger() override;
    void SetAsInteger(int64_t value) override;
    double AsFloat() override;
    // Rounds to the nearest whole number.
    void SetAsFloat(double value) override;
    TVariant Value() override;
    int64_t MinValue() const { return minValue_; }
    int64_t MaxValue() const { return maxValue_; }
    void SetMinValue(int64_t v) { minValue_ = v; }
    void SetMaxValue(int64_t v) { maxValue_ = v; }

protected:
    explicit TIntegerField(TFieldType type) : TField(type, 0) {}
    virtual int64_t TypeMin() const { return INT32_MIN; }
    virtual int64_t TypeMax() const { return INT32_MAX; }
    int DefaultWidth() const override { return 11; }
    bool GetValue(int64_t& value);

private:
    int64_t minValue_ = 0, maxValue_ = 0;
};

class TSmallintField : public TIntegerField {
public:
    TSmallintField() : TIntegerField(ftSmallint) {}
    int DataSize() const override { return 2; }

protected:
    int64_t TypeMin() const override { return INT16_MIN; }
    int64_t TypeMax() const override { return INT16_MAX; }
    int DefaultWidth() const override { return 6; }
};

class TLargeintField : public TIntegerField {
public:
    TLargeintField() : TIntegerField(ftLargeint) {}
    int DataSize() const override { return 8; }

protected:
    int64_t TypeMin() const override { return INT64_MIN; }
    int64_t TypeMax() const override { return INT64_MAX; }
    int DefaultWidth() const override { return 20; }
};

// ftFloat: a double shown with Precision significant digits (15 by default).
class TFloatField : public TField {
public:
    TFloatField() : TFloatField(ftFloat) {}
    int DataSize() const override { return 8; }
    TAlignment Alignment() const override { return taRightJustify; }
    std::string AsString() override;
    void SetAsString(const std::string& value) override;
    int64_t AsInteger() override;
    void SetAsInteger(int64_t value) override { SetAsFloat(static_cast<double>(value)); }
    double AsFloat() override;
    void SetAsFloat(double value) override;
    TVariant Value() override;
    int Precision() const { return precision_; }
    void SetPrecision(int p) { precision_ = p < 2 ? 2 : p > 15 ? 15 : p; }
    double MinValue() const { return minValue_; }
    double MaxValue() const { return maxValue_; }
    void SetMinValue(double v) { minValue_ = v; }
    void SetMaxValue(double v) { maxValue_ = v; }

protected:
    explicit TFloatField(TFieldType type) : TField(type, 0) {}
    bool GetValue(double& value);
    int DefaultWidth() const override { return 10; }

private:
    int precision_ = 15;
    double minValue_ = 0, maxValue_ = 0;
};

// ftCurrency: a double shown with two decimals.
class TCurrencyField : public TFloatField {
public:
    TCurrencyField() : TFloatField(ftCurrency) {}

protected:
    std::string GetDisplayText() override;
};

// ftBoolean: one byte. Its texts are DisplayValues "True;False" (settable).
class TBooleanField : public TField {
public:
    TBooleanField() : TField(ftBoolean, 0) {}
    int DataSize() const override { return 1; }
    std::string AsString() override;
    // Empty text clears; otherwise a case-insensitive prefix of the true or the false text.
    void SetAsString(const std::string& value) override;
    bool AsBoolean() override;
    void SetAsBoolean(bool value) override;
    TVariant Value() override;
    const std::string& DisplayValues() const { return displayValues_; }
    void SetDisplayValues(std::string v);

protected:
    int DefaultWidth() const override { return 5; }

private:
    bool GetValue(bool& value);
    std::string displayValues_ = "True;False";
    std::string trueText_ = "True", falseText_ = "False";
};

// ftDateTime: milliseconds since 1 January of year 1 plus one day, as a double.
class TDateTimeField : public TField {
public:
    TDateTimeField() : TDateTimeField(ftDateTime) {}
    int DataSize() const override { return 8; }
    std::string AsString() override;
    void SetAsString(const std::string& value) override;
    double AsFloat() override { return AsDateTime(); }
    void SetAsFloat(double value) override { SetAsDateTime(value); }
    TDateTime AsDateTime() override;
    void SetAsDateTime(TDateTime value) override;
    TVariant Value() override;

protected:
    explicit TDateTimeField(TFieldType type) : TField(type, 0) {}
    // Reads the native value as a TDateTime; false when null.
    virtual bool GetValue(TDateTime& value);
    virtual void PutValue(TDateTime value);
    int DefaultWidth() const override { return 18; }
};

// ftDate: the day count of a time stamp (days since 1 January of year 1, plus one) as int32.
class TDateField : public TDateTimeField {
public:
    TDateField() : TDateTimeField(ftDate) {}
    int DataSize() const override { return 4; }
    std::string AsString() override;
    void SetAsString(const std::string& value) override;

protected:
    bool GetValue(TDateTime& value) override;
    void PutValue(TDateTime value) override;
    int DefaultWidth() const override { return 10; }
};

// ftBlob: bytes reached through the dataset's blob stream. Transliterate asks the stream to
// convert code pages (on for memo fields).
class TBlobField : public TField {
public:
    TBlobField() : TBlobField(ftBlob) {}
    int DataSize() const override { return 0; }
    bool IsBlob() const override { return true; }
    bool Transliterate() const { return transliterate_; }
    void SetTransliterate(bool v) { transliterate_ = v; }
    // Set by a descendant's stream when it wrote new bytes for the field.
    bool Modified() const { return modified_; }
    void SetModified(bool v) { modified_ = v; }
    // The whole content.
    std::string AsString() override;
    // Replaces the content (an empty text empties the field).
    void SetAsString(const std::string& value) override;
    TVariant Value() override;
    // Empties the field through a write-only stream.
    void Clear() override;
    // Bytes of the content.
    int64_t BlobSize();
    void LoadFromStream(TStream& source);
    void SaveToStream(TStream& dest);

protected:
    explicit TBlobField(TFieldType type) : TField(type, 0) {}
    // "(BLOB)", or "(blob)" when empty.
    std::string GetDisplayText() override;

private:
    bool transliterate_ = false;
    bool modified_ = false;
};

// ftMemo: text in a blob; transliterated by default.
class TMemoField : public TBlobField {
public:
    TMemoField() : TBlobField(ftMemo) { SetTransliterate(true); }

protected:
    // "(MEMO)", or "(memo)" when empty.
    std::string GetDisplayText() override;
};

// The field class the framework makes for a definition of that type; raises "Field '%s' is
// of an unknown type" for a type it has no class for.
std::unique_ptr<TField> NewDefaultField(TFieldType type, int size, const std::string& name);
