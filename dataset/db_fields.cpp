#include "db_fields.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "db_consts.h"
#include "db_conv.h"
#include "db_dataset.h"
#include "db_stream.h"

namespace {

template <class T>
T LoadNative(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string IntText(int64_t v) { return std::to_string(v); }

}  // namespace

// ---------------------------------------------------------------------------- TField

void TField::SetFieldKind(TFieldKind kind) {
    if (dataSet_) dataSet_->CheckInactive();
    fieldKind_ = kind;
}

int TField::Index() const {
    if (!dataSet_) return -1;
    for (int i = 0; i < dataSet_->FieldCount(); ++i)
        if (&dataSet_->Fields(i) == this) return i;
    return -1;
}

bool TField::CanModify() const {
    if (readOnly_ || !dataSet_) return false;
    if (fieldKind_ == fkData || fieldKind_ == fkInternalCalc) return dataSet_->CanModify();
    return dataSet_->State() == dsCalcFields || dataSet_->State() == dsInternalCalc;
}

bool TField::IsNull() { return !GetData(nullptr); }

void TField::AccessError(const char* typeName) const {
    DatabaseErrorFmt(dbmsg::SFieldAccessError, {DisplayName(), typeName});
}

void TField::RangeError(const std::string& value, const std::string& min,
                        const std::string& max) const {
    DatabaseErrorFmt(dbmsg::SFieldRangeError, {value, DisplayName(), min, max});
}

std::string TField::AsString() { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
int64_t TField::AsInteger() { AccessError("Integer"); }
void TField::SetAsInteger(int64_t) { AccessError("Integer"); }
double TField::AsFloat() { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
bool TField::AsBoolean() { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::AsDateTime() { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }
TVariant TField::Value() { AccessError("Variant"); }

void TField::SetValue(const TVariant& value) {
    switch (value.GetKind()) {
        case TVariant::Kind::Empty:
        case TVariant::Kind::Null: Clear(); break;
        case TVariant::Kind::Boolean: SetAsBoolean(value.AsBoolean()); break;
        case TVariant::Kind::Integer: SetAsInteger(value.AsInteger()); break;
        case TVariant::Kind::Float: SetAsFloat(value.AsFloat()); break;
        case TVariant::Kind::DateTime: SetAsDateTime(value.AsDateTime()); break;
        case TVariant::Kind::String: SetAsString(value.AsString()); break;
        case TVariant::Kind::Array:
            DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    }
}

std::string TField::Text() {
    std::string text;
    if (OnGetText) {
        OnGetText(*this, text, false);
        return text;
    }
    return AsString();
}

std::string TField::DisplayText() {
    std::string text;
    if (OnGetText) {
        OnGetText(*this, text, true);
        return text;
    }
    return GetDisplayText();
}

void TField::SetText(const std::string& text) {
    if (OnSetText)
        OnSetText(*this, text);
    else
        SetAsString(text);
}

bool TField::GetData(void* buffer) {
    if (validating_) {
        if (!valueBuffer_) return false;
        if (buffer) std::memcpy(buffer, valueBuffer_, static_cast<size_t>(DataSize()));
        return true;
    }
    if (!dataSet_) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
    return dataSet_->GetFieldData(this, buffer);
}

void TField::SetData(const void* buffer) {
    if (!dataSet_) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
    dataSet_->SetFieldData(this, buffer);
}

void TField::Validate(const void* buffer) {
    if (!OnValidate) return;
    // A handler reading the field sees the value being validated, not the stored one.
    validating_ = true;
    valueBuffer_ = buffer;
    try {
        OnValidate(*this);
    } catch (...) {
        validating_ = false;
        valueBuffer_ = nullptr;
        throw;
    }
    validating_ = false;
    valueBuffer_ = nullptr;
}

void TField::Change() {
    if (OnChange) OnChange(*this);
}

void TField::FocusControl() {
    if (!dataSet_) return;
    TField* self = this;
    dataSet_->DataEvent(deFocusControl, reinterpret_cast<intptr_t>(&self));
}

// ---------------------------------------------------------------------- TStringField

std::string TStringField::AsString() {
    std::vector<char> buf(static_cast<size_t>(DataSize()) + 1, '\0');
    if (!GetData(buf.data())) return "";
    buf.back() = '\0';
    if (transliterate_ && DataSet()) DataSet()->Translate(buf.data(), buf.data(), false);
    return std::string(buf.data());
}

void TStringField::SetAsString(const std::string& value) {
    std::vector<char> buf(static_cast<size_t>(DataSize()) + 1, '\0');
    // The text ends at its first zero byte and at Size characters.
    size_t n = std::min(std::strlen(value.c_str()), static_cast<size_t>(Size()));
    std::memcpy(buf.data(), value.data(), n);
    if (transliterate_ && DataSet()) DataSet()->Translate(buf.data(), buf.data(), true);
    SetData(buf.data());
}

int64_t TStringField::AsInteger() {
    std::string s = AsString();
    int64_t v;
    if (!TryStrToInt64(s, v)) DatabaseErrorFmt(dbmsg::SInvalidIntegerValue, {s, DisplayName()});
    return v;
}

void TStringField::SetAsInteger(int64_t value) { SetAsString(IntText(value)); }

double TStringField::AsFloat() {
    std::string s = AsString();
    double v;
    if (!TryStrToFloat(s, v)) DatabaseErrorFmt(dbmsg::SInvalidFloatValue, {s, DisplayName()});
    return v;
}

void TStringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }

bool TStringField::AsBoolean() {
    std::string s = AsString();
    return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

TDateTime TStringField::AsDateTime() { return StrToDateTime(AsString()); }

void TStringField::SetAsDateTime(TDateTime value) { SetAsString(DateTimeToStr(value)); }

TVariant TStringField::Value() {
    if (IsNull()) return TVariant::Null();
    return TVariant(AsString());
}

// --------------------------------------------------------------------- TIntegerField

bool TIntegerField::GetValue(int64_t& value) {
    uint8_t buf[8] = {};
    if (!GetData(buf)) return false;
    switch (DataSize()) {
        case 2: value = LoadNative<int16_t>(buf); break;
        case 4: value = LoadNative<int32_t>(buf); break;
        default: value = LoadNative<int64_t>(buf); break;
    }
    return true;
}

std::string TIntegerField::AsString() {
    int64_t v;
    return GetValue(v) ? IntText(v) : std::string();
}

void TIntegerField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    int64_t v;
    if (!TryStrToInt64(value, v)) DatabaseErrorFmt(dbmsg::SInvalidIntegerValue, {value, DisplayName()});
    SetAsInteger(v);
}

int64_t TIntegerField::AsInteger() {
    int64_t v;
    return GetValue(v) ? v : 0;
}

void TIntegerField::SetAsInteger(int64_t value) {
    int64_t lo = TypeMin(), hi = TypeMax();
    if (minValue_ != 0 || maxValue_ != 0) {
        lo = std::max(lo, minValue_);
        hi = std::min(hi, maxValue_);
    }
    if (value < lo || value > hi) RangeError(IntText(value), IntText(lo), IntText(hi));
    uint8_t buf[8];
    switch (DataSize()) {
        case 2: { int16_t v = static_cast<int16_t>(value); std::memcpy(buf, &v, 2); break; }
        case 4: { int32_t v = static_cast<int32_t>(value); std::memcpy(buf, &v, 4); break; }
        default: std::memcpy(buf, &value, 8); break;
    }
    SetData(buf);
}

double TIntegerField::AsFloat() { return static_cast<double>(AsInteger()); }

void TIntegerField::SetAsFloat(double value) {
    double r = std::round(value);
    if (!(std::fabs(r) < 9.2e18))
        RangeError(FloatToStr(value), IntText(TypeMin()), IntText(TypeMax()));
    SetAsInteger(static_cast<int64_t>(r));
}

TVariant TIntegerField::Value() {
    int64_t v;
    return GetValue(v) ? TVariant(v) : TVariant::Null();
}

// ----------------------------------------------------------------------- TFloatField

bool TFloatField::GetValue(double& value) {
    uint8_t buf[8] = {};
    if (!GetData(buf)) return false;
    value = LoadNative<double>(buf);
    return true;
}

std::string TFloatField::AsString() {
    double v;
    return GetValue(v) ? FloatToStr(v, precision_) : std::string();
}

void TFloatField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    double v;
    if (!TryStrToFloat(value, v)) DatabaseErrorFmt(dbmsg::SInvalidFloatValue, {value, DisplayName()});
    SetAsFloat(v);
}

int64_t TFloatField::AsInteger() {
    double v = AsFloat();
    if (!(std::fabs(v) < 9.2e18)) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    return std::llround(v);
}

double TFloatField::AsFloat() {
    double v;
    return GetValue(v) ? v : 0;
}

void TFloatField::SetAsFloat(double value) {
    if (!std::isfinite(value)) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    if ((minValue_ != 0 || maxValue_ != 0) && (value < minValue_ || value > maxValue_))
        RangeError(FloatToStr(value), FloatToStr(minValue_), FloatToStr(maxValue_));
    SetData(&value);
}

TVariant TFloatField::Value() {
    double v;
    return GetValue(v) ? TVariant(v) : TVariant::Null();
}

std::string TCurrencyField::GetDisplayText() {
    return IsNull() ? std::string() : FloatToStrFixed(AsFloat(), 2);
}

// --------------------------------------------------------------------- TBooleanField

bool TBooleanField::GetValue(bool& value) {
    uint8_t b = 0;
    if (!GetData(&b)) return false;
    value = b != 0;
    return true;
}

std::string TBooleanField::AsString() {
    bool v;
    if (!GetValue(v)) return "";
    return v ? trueText_ : falseText_;
}

void TBooleanField::SetAsString(const std::string& value) {
    std::string t = Trim(value);
    if (t.empty()) {
        Clear();
        return;
    }
    auto prefixOf = [&](const std::string& whole) {
        return t.size() <= whole.size() && SameText(t, std::string_view(whole).substr(0, t.size()));
    };
    if (prefixOf(trueText_))
        SetAsBoolean(true);
    else if (prefixOf(falseText_))
        SetAsBoolean(false);
    else
        DatabaseErrorFmt(dbmsg::SInvalidBoolValue, {value, DisplayName()});
}

bool TBooleanField::AsBoolean() {
    bool v;
    return GetValue(v) && v;
}

void TBooleanField::SetAsBoolean(bool value) {
    uint8_t b = value ? 1 : 0;
    SetData(&b);
}

TVariant TBooleanField::Value() {
    bool v;
    return GetValue(v) ? TVariant(v) : TVariant::Null();
}

void TBooleanField::SetDisplayValues(std::string v) {
    size_t semi = v.find(';');
    std::string t = v.substr(0, semi);
    std::string f = semi == std::string::npos ? std::string() : v.substr(semi + 1);
    if (t.empty() && f.empty()) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    displayValues_ = std::move(v);
    trueText_ = t;
    falseText_ = f;
}

// -------------------------------------------------------------------- TDateTimeField

bool TDateTimeField::GetValue(TDateTime& value) {
    double ms = 0;
    if (!GetData(&ms)) return false;
    value = TimeStampToDateTime(MSecsToTimeStamp(ms));
    return true;
}

void TDateTimeField::PutValue(TDateTime value) {
    double ms = TimeStampToMSecs(DateTimeToTimeStamp(value));
    SetData(&ms);
}

std::string TDateTimeField::AsString() {
    TDateTime v;
    return GetValue(v) ? DateTimeToStr(v) : std::string();
}

void TDateTimeField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    TDateTime v;
    if (!TryStrToDateTime(value, v)) DatabaseErrorFmt(dbmsg::SInvalidDateTime, {value});
    SetAsDateTime(v);
}

TDateTime TDateTimeField::AsDateTime() {
    TDateTime v;
    return GetValue(v) ? v : 0;
}

void TDateTimeField::SetAsDateTime(TDateTime value) {
    if (!std::isfinite(value) || DateTimeToTimeStamp(value).Date < 1 ||
        value > 2958465.999999)  // 31 December 9999
        DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    PutValue(value);
}

TVariant TDateTimeField::Value() {
    TDateTime v;
    return GetValue(v) ? TVariant::FromDateTime(v) : TVariant::Null();
}

bool TDateField::GetValue(TDateTime& value) {
    int32_t days = 0;
    if (!GetData(&days)) return false;
    TTimeStamp s;
    s.Date = days;
    value = TimeStampToDateTime(s);
    return true;
}

void TDateField::PutValue(TDateTime value) {
    int32_t days = DateTimeToTimeStamp(value).Date;
    SetData(&days);
}

std::string TDateField::AsString() {
    TDateTime v;
    return GetValue(v) ? DateToStr(v) : std::string();
}

void TDateField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    TDateTime v;
    if (!TryStrToDate(value, v)) DatabaseErrorFmt(dbmsg::SInvalidDate, {value});
    SetAsDateTime(v);
}

// ------------------------------------------------------------------------ TBlobField

std::string TBlobField::AsString() {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmRead) : nullptr;
    if (!s) return "";
    int64_t size = s->Size();
    std::string out(static_cast<size_t>(size), '\0');
    s->ReadBuffer(out.data(), size);
    return out;
}

void TBlobField::SetAsString(const std::string& value) {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmWrite) : nullptr;
    if (!s) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {DisplayName()});
    s->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

TVariant TBlobField::Value() {
    if (IsNull()) return TVariant::Null();
    return TVariant(AsString());
}

void TBlobField::Clear() {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmWrite) : nullptr;
    if (!s) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {DisplayName()});
}

int64_t TBlobField::BlobSize() {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmRead) : nullptr;
    return s ? s->Size() : 0;
}

void TBlobField::LoadFromStream(TStream& source) {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmWrite) : nullptr;
    if (!s) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {DisplayName()});
    s->CopyFrom(source, 0);
}

void TBlobField::SaveToStream(TStream& dest) {
    std::unique_ptr<TStream> s = DataSet() ? DataSet()->CreateBlobStream(this, bmRead) : nullptr;
    if (!s) return;
    int64_t size = s->Size();
    if (size > 0) dest.CopyFrom(*s, size);
}

std::string TBlobField::GetDisplayText() { return IsNull() ? "(blob)" : "(BLOB)"; }

std::string TMemoField::GetDisplayText() { return IsNull() ? "(memo)" : "(MEMO)"; }

// ----------------------------------------------------------------------------------

std::unique_ptr<TField> NewDefaultField(TFieldType type, int size, const std::string& name) {
    std::unique_ptr<TField> f;
    switch (type) {
        case ftString: f = std::make_unique<TStringField>(size); break;
        case ftSmallint: f = std::make_unique<TSmallintField>(); break;
        case ftInteger: f = std::make_unique<TIntegerField>(); break;
        case ftLargeint: f = std::make_unique<TLargeintField>(); break;
        case ftFloat: f = std::make_unique<TFloatField>(); break;
        case ftCurrency: f = std::make_unique<TCurrencyField>(); break;
        case ftBoolean: f = std::make_unique<TBooleanField>(); break;
        case ftDate: f = std::make_unique<TDateField>(); break;
        case ftDateTime: f = std::make_unique<TDateTimeField>(); break;
        case ftBlob: f = std::make_unique<TBlobField>(); break;
        case ftMemo: f = std::make_unique<TMemoField>(); break;
        default: DatabaseErrorFmt(dbmsg::SUnknownFieldType, {name});
    }
    return f;
}
