#include "nv6_fld.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_tool.h"

namespace {

constexpr int32_t kJulianOfDayOne = 1721425;  // day 1 of year 1 counts as day 1
constexpr long double kMsPerDay = 86400000.0L;

// The Julian day of a datetime held as milliseconds since day 1. A damaged field can hold a
// day number next to the ends of the 32-bit range, where the day plus the milliseconds
// reaches beyond them: such days stop at the ends.
int32_t JulianDayOf(long double ms) {
    const long double day = std::floor(ms / kMsPerDay) + kJulianOfDayOne;
    return static_cast<int32_t>(std::clamp<long double>(day, INT32_MIN, INT32_MAX));
}

bool IsLogicalTrue(char c) { return c != 0 && std::strchr("TtYyJj", c) != nullptr; }
bool IsLogicalFalse(char c) { return c != 0 && std::strchr("FfNn", c) != nullptr; }

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}
std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}
std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

bool AllBlank(const uint8_t* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i] != ' ') return false;
    return true;
}

// Width of the binary form of a Visual FoxPro field type; 0 for text types.
int VfpBinaryWidth(char type) {
    switch (type) {
        case 'G':
        case 'I':
        case 'M':
            return 4;
        case 'B':
        case 'T':
        case 'Y':
            return 8;
        default:
            return 0;
    }
}

std::string ValueText(const TnvValue& v) {
    switch (v.GetKind()) {
        case TnvValue::Kind::Text:
            return v.AsText();
        case TnvValue::Kind::Number:
            return nvlocale::FormatShortest(v.AsNumber(), nvlocale::DecimalSeparator());
        case TnvValue::Kind::Boolean:
            return v.AsBoolean() ? "T" : "F";
        case TnvValue::Kind::Null:
            break;
    }
    return std::string();
}

}  // namespace

NVO_dBaseFld::NVO_dBaseFld(const std::string& fileName, bool shared, bool readWrite,
                           const std::string& password)
    : NVO_dBaseDBF(fileName, shared, readWrite, password) {
    if (Enciphered()) {
        int64_t sum = 1;
        for (int i = 0; i < FieldCount(); ++i) sum += Descriptor(i).Length();
        if (sum != RecordLength()) NvRaise(TnvMsg::WrongPassword, {FileName()});
    }
    // The expression link (record number, deleted, bof, eof, type, length, field number and
    // one field variable per field) is registered here once the expression unit exists.
    int offset = 1;
    fields_.reserve(static_cast<std::size_t>(FieldCount()));
    for (int i = 0; i < FieldCount(); ++i) {
        TnvFieldDescriptor& d = MutableDescriptor(i);
        d.SetNumber(i + 1);
        d.SetOffset(offset);
        fields_.push_back(std::make_unique<TnvDBFFields>(this, d.Name(), d.LengthByte(),
                                                         d.Decimals(), d.Type(), i + 1, offset));
        offset += d.Length();
    }
    changed_.assign(static_cast<std::size_t>(FieldCount()) + 1, 0);
    fieldsReady_ = true;
}

NVO_dBaseFld::~NVO_dBaseFld() = default;

// ---- lookup ----

const TnvFieldDescriptor* NVO_dBaseFld::ByNumber(int number) const {
    if (number < 1 || number > FieldCount()) return nullptr;
    return &Descriptor(number - 1);
}

int NVO_dBaseFld::FieldNumber(std::string_view name) const {
    std::string_view wanted = TrimRight(name);
    if (wanted.empty() && !name.empty()) wanted = name.substr(0, 1);
    if (wanted.size() > 10) return 0;
    for (int i = 0; i < FieldCount(); ++i)
        if (nvlocale::AnsiCompare(wanted, Descriptor(i).Name(), true) == 0) return i + 1;
    return 0;
}

const TnvFieldDescriptor& NVO_dBaseFld::FieldDescriptor(std::string_view name) {
    int n = FieldNumber(name);
    if (n == 0) NvRaise(TnvMsg::NoFieldName, {FileName() + "->" + std::string(name)});
    lastDescriptor_ = &Descriptor(n - 1);
    return *lastDescriptor_;
}

const TnvFieldDescriptor& NVO_dBaseFld::CheckedDescriptor(std::string_view name, char type) {
    const TnvFieldDescriptor& d = FieldDescriptor(name);
    char t = d.Type();
    bool ok = t == type || (type == 'N' && t != 0 && std::strchr("BFGIM", t)) ||
              (type == 'G' && t != 0 && std::strchr("BM", t));
    if (!ok) NvRaise(TnvMsg::FieldIncorrectType, {name});
    return d;
}

bool NVO_dBaseFld::IsVfpBinary(const TnvFieldDescriptor& d) const {
    return Version() == nvdbf::kVerVfp && VfpBinaryWidth(d.Type()) > 0;
}

bool NVO_dBaseFld::IsMemoField(int number) const {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return false;
    char t = d->Type();
    return t == 'M' || t == 'G' || (t == 'B' && Version() != nvdbf::kVerVfp);
}

std::string NVO_dBaseFld::FieldArgument(const TnvFieldDescriptor& d, std::string_view text) const {
    return BaseName(FileName()) + "->" + d.Name() + " (" + std::string(text) + ")";
}

// ---- storing ----

void NVO_dBaseFld::MarkChanged(const TnvFieldDescriptor& d) {
    changed_[static_cast<std::size_t>(d.Number())] = 1;
    SetRecordModified(true);
}

void NVO_dBaseFld::Store(const TnvFieldDescriptor& d, std::string_view text, bool leftJustify) {
    uint8_t* p = RecordPointer() + d.Offset();
    int len = d.Length();
    std::memset(p, ' ', static_cast<std::size_t>(len));
    int n = std::min<int>(len, static_cast<int>(text.size()));
    std::memcpy(p + (leftJustify ? 0 : len - n), text.data(), static_cast<std::size_t>(n));
    MarkChanged(d);
}

void NVO_dBaseFld::StoreBytes(const TnvFieldDescriptor& d, const uint8_t* bytes, int count) {
    std::memcpy(RecordPointer() + d.Offset(), bytes, static_cast<std::size_t>(count));
    MarkChanged(d);
}

std::string NVO_dBaseFld::FieldText(const TnvFieldDescriptor& d) const {
    return std::string(reinterpret_cast<const char*>(RecordPointer() + d.Offset()),
                       static_cast<std::size_t>(d.Length()));
}

void NVO_dBaseFld::ClearChanged() { std::fill(changed_.begin(), changed_.end(), 0); }

bool NVO_dBaseFld::FieldChanged(int index) const {
    return index >= 0 && index < static_cast<int>(changed_.size()) &&
           changed_[static_cast<std::size_t>(index)] != 0;
}

void NVO_dBaseFld::Go(int32_t target) {
    NVO_dBaseDBF::Go(target);
    ClearChanged();
}

void NVO_dBaseFld::BlankRecord() {
    std::memset(RecordPointer(), ' ', static_cast<std::size_t>(RecordLength()));
    for (int i = 1; i <= FieldCount(); ++i) {
        const TnvFieldDescriptor& d = Descriptor(i - 1);
        if (IsVfpBinary(d)) {
            SetNumber(i, 0);
        } else if (d.Type() == 'N' || d.Type() == 'F') {
            // A field whose decimals leave no room for the formatted zero still takes new
            // records: it holds a plain zero.
            std::string zero = nvlocale::FormatFixed(0.0, d.Decimals());
            if (static_cast<int>(zero.size()) > d.Length()) zero.assign(1, '0');
            Store(d, zero, false);
        }
    }
    std::fill(changed_.begin(), changed_.end(), 1);
    SetRecordModified(true);
    Notify(nvnotify::kBlanked, 0);
}

// ---- raw ----

std::string NVO_dBaseFld::GetRawByName(std::string_view name) {
    return GetRaw(FieldDescriptor(name).Number());
}

std::string NVO_dBaseFld::GetRaw(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? FieldText(*d) : std::string();
}

std::string_view NVO_dBaseFld::RawView(int number) const {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return {};
    return {reinterpret_cast<const char*>(RecordPointer() + d->Offset()), static_cast<std::size_t>(d->Length())};
}

bool NVO_dBaseFld::PutRawByName(std::string_view name, std::string_view text) {
    return PutRaw(FieldDescriptor(name).Number(), text);
}

bool NVO_dBaseFld::PutRaw(int number, std::string_view text) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return false;
    char t = d->Type();
    Store(*d, text, t == 'C' || t == 'D' || t == 'L');
    return true;
}

// ---- descriptor facts ----

int NVO_dBaseFld::FieldDecimals(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? d->Decimals() : 0;
}
int NVO_dBaseFld::FieldLength(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? d->Length() : 0;
}
int NVO_dBaseFld::FieldOffset(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? d->Offset() : 0;
}
std::string NVO_dBaseFld::FieldName(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? d->Name() : std::string();
}
char NVO_dBaseFld::FieldType(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    return d ? d->Type() : '\0';
}

// ---- dates ----

int32_t NVO_dBaseFld::GetDateByName(std::string_view name) {
    return GetDate(CheckedDescriptor(name, 'D').Number());
}

int32_t NVO_dBaseFld::GetDate(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return 0;
    std::string text = FieldText(*d);
    try {
        return DBFDate.TextToDay(text);
    } catch (const EConvertError&) {
        NvRaise(TnvMsg::InvalidDate, {FieldArgument(*d, TrimRight(text))});
    }
}

bool NVO_dBaseFld::SetDateByName(std::string_view name, int32_t day) {
    return SetDate(CheckedDescriptor(name, 'D').Number(), day);
}

bool NVO_dBaseFld::SetDate(int number, int32_t day) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d || d->Type() != 'D') return false;
    if (day == -1) NvRaise(TnvMsg::InvalidValueForField, {"Date", d->Name()});
    Store(*d, DBFDate.DayToStor(day), true);
    return true;
}

// ---- logicals ----

bool NVO_dBaseFld::GetLogicalByName(std::string_view name) {
    return GetLogical(CheckedDescriptor(name, 'L').Number());
}

bool NVO_dBaseFld::GetLogical(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d || d->Length() < 1) return false;
    return IsLogicalTrue(static_cast<char>(RecordPointer()[d->Offset()]));
}

bool NVO_dBaseFld::SetLogicalByName(std::string_view name, bool value) {
    return SetLogical(CheckedDescriptor(name, 'L').Number(), value);
}

bool NVO_dBaseFld::SetLogical(int number, bool value) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return false;
    if (d->Type() != 'L') NvRaise(TnvMsg::InvalidValueForField, {"Logical", d->Name()});
    Store(*d, value ? "T" : "F", true);
    return true;
}

// ---- numbers ----

long double NVO_dBaseFld::GetNumberByName(std::string_view name) {
    return GetNumber(CheckedDescriptor(name, 'N').Number());
}

long double NVO_dBaseFld::GetNumber(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return 0;
    const uint8_t* p = RecordPointer() + d->Offset();
    if (IsVfpBinary(*d)) {
        int width = VfpBinaryWidth(d->Type());
        if (d->Length() < width)
            NvRaise(TnvMsg::InvalidNumeric, {FieldArgument(*d, TrimRight(FieldText(*d)))});
        if (AllBlank(p, width)) return 0;
        switch (d->Type()) {
            case 'B':
                return nvbytes::LoadLEDouble(p);
            case 'T': {
                if (nvbytes::LoadLE64(p) == 0) return 0;
                auto day = static_cast<int32_t>(nvbytes::LoadLE32(p));
                auto ms = static_cast<int32_t>(nvbytes::LoadLE32(p + 4));
                return (static_cast<long double>(day) - kJulianOfDayOne) * kMsPerDay + ms;
            }
            case 'Y':
                return static_cast<long double>(static_cast<int64_t>(nvbytes::LoadLE64(p))) /
                       10000.0L;
            default:  // G, I, M
                return static_cast<int32_t>(nvbytes::LoadLE32(p));
        }
    }
    // The parse skips the blanks of a right-justified field (and trailing ones some writers
    // leave) itself; the field is trimmed only when it fails, to tell an empty field from a
    // bad one. This runs once per record in a tag build.
    const std::string_view raw(reinterpret_cast<const char*>(p), static_cast<std::size_t>(d->Length()));
    double value = 0;
    if (nvlocale::TryParseNumber(raw, value, '.')) return value;
    std::string_view text = Trim(raw);
    if (text.empty()) return 0;
    if (!nvlocale::TryParseNumber(text, value, '.'))
        NvRaise(TnvMsg::InvalidNumeric, {FieldArgument(*d, text)});
    return value;
}

int32_t NVO_dBaseFld::DateTimeDay(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d || d->Type() != 'T' || !IsVfpBinary(*d)) return 0;
    const long double ms = GetNumber(number);
    if (ms == 0) return 0;
    return JulianDayOf(ms);
}

bool NVO_dBaseFld::SetNumberByName(std::string_view name, long double value) {
    return SetNumber(CheckedDescriptor(name, 'N').Number(), value);
}

bool NVO_dBaseFld::SetNumber(int number, long double value) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return false;
    char t = d->Type();
    bool vfp = Version() == nvdbf::kVerVfp;
    bool allowed = (t != 0 && std::strchr("BFGMN", t)) || (vfp && t != 0 && std::strchr("ITY", t));
    if (!allowed) NvRaise(TnvMsg::FieldIncorrectType, {d->Name()});

    auto tooBig = [&](const std::string& text) {
        NvRaise(TnvMsg::NumericTooBig, {d->Name() + " - " + text});
    };
    auto shortest = [&] { return nvlocale::FormatShortest(static_cast<double>(value)); };

    if (IsVfpBinary(*d)) {
        int width = VfpBinaryWidth(t);
        if (d->Length() < width) tooBig(shortest());
        uint8_t bytes[8] = {};
        switch (t) {
            case 'B':
                nvbytes::StoreLEDouble(bytes, static_cast<double>(value));
                break;
            case 'T': {
                if (value == 0) break;
                long double days = std::trunc(value / kMsPerDay);
                long double day = days + kJulianOfDayOne;
                long double ms = std::trunc(value - days * kMsPerDay);
                if (!(day >= INT32_MIN && day <= INT32_MAX && ms >= INT32_MIN && ms <= INT32_MAX))
                    tooBig(shortest());
                nvbytes::StoreLE32(bytes, static_cast<uint32_t>(static_cast<int32_t>(day)));
                nvbytes::StoreLE32(bytes + 4, static_cast<uint32_t>(static_cast<int32_t>(ms)));
                break;
            }
            case 'Y': {
                long double scaled = std::nearbyint(value * 10000.0L);  // halves to even
                if (!(scaled >= -9223372036854775808.0L && scaled < 9223372036854775808.0L))
                    tooBig(shortest());
                nvbytes::StoreLE64(bytes, static_cast<uint64_t>(static_cast<int64_t>(scaled)));
                break;
            }
            default: {  // G, I, M
                long double whole = std::trunc(value);
                if (!(whole >= INT32_MIN && whole <= INT32_MAX)) tooBig(shortest());
                nvbytes::StoreLE32(bytes, static_cast<uint32_t>(static_cast<int32_t>(whole)));
                break;
            }
        }
        StoreBytes(*d, bytes, width);
        return true;
    }
    if (!std::isfinite(value)) tooBig(shortest());
    std::string text = nvlocale::FormatFixed(static_cast<double>(value), d->Decimals());
    if (static_cast<int>(text.size()) > d->Length()) tooBig(text);
    Store(*d, text, false);
    return true;
}

// ---- display text ----

std::string NVO_dBaseFld::GetTextByName(std::string_view name) {
    return GetText(FieldDescriptor(name).Number());
}

std::string NVO_dBaseFld::VfpBinaryText(int number, const TnvFieldDescriptor& d) {
    long double v = GetNumber(number);
    switch (d.Type()) {
        case 'B':
            return nvlocale::FormatShortest(static_cast<double>(v));
        case 'I':
            return nvlocale::FormatFixed(static_cast<double>(v), 0);
        case 'Y':
            return nvlocale::FormatFixed(static_cast<double>(v), 4);
        case 'G':
            return v != 0 ? "-GENERAL--" : "-general--";
        case 'T': {
            if (v == 0) return std::string();
            long double days = std::floor(v / kMsPerDay);
            auto ms = static_cast<int64_t>(v - days * kMsPerDay);
            std::string date(TrimRight(DBFDate.DayToText(JulianDayOf(v))));
            char time[16];
            std::snprintf(time, sizeof time, " %02d:%02d:%02d", static_cast<int>(ms / 3600000),
                          static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
            return date + time;
        }
        default:
            return std::string();
    }
}

std::string NVO_dBaseFld::GetText(int number) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return std::string();
    char t = d->Type();
    if (IsVfpBinary(*d) && t != 'M') return VfpBinaryText(number, *d);
    std::string raw = FieldText(*d);
    std::string_view text = TrimRight(raw);
    switch (t) {
        case 'B':
        case 'G': {
            bool hasValue = std::string_view(TrimLeft(text)).compare("0") > 0;
            if (t == 'B') return hasValue ? "--BINARY--" : "--binary--";
            return hasValue ? "-GENERAL--" : "-general--";
        }
        case 'D':
            return std::string(TrimRight(DBFDate.DayToText(DBFDate.TextToDay(text))));
        case 'F':
        case 'N': {
            std::string_view s = TrimLeft(text);
            if (!s.empty()) return std::string(s);
            return std::string(TrimLeft(nvlocale::FormatFixed(0.0, d->Decimals())));
        }
        case 'L':
            return IsLogicalTrue(text.empty() ? 0 : text[0]) ? "T" : "F";
        case 'M': {
            int32_t size = MemoSize(number);
            if (size <= 0) return std::string();
            std::vector<uint8_t> buffer(static_cast<std::size_t>(size) + 1, 0);
            int32_t got = ReadMemo(number, buffer.data(), size + 1);
            got = std::max(0, std::min(got, size));
            return std::string(reinterpret_cast<const char*>(buffer.data()),
                               static_cast<std::size_t>(got));
        }
        default:
            return std::string(text);
    }
}

// ---- storing display text ----

bool NVO_dBaseFld::PutTextByName(std::string_view name, std::string_view text) {
    return PutText(FieldDescriptor(name).Number(), text);
}

bool NVO_dBaseFld::PutDisplayNumber(int number, const TnvFieldDescriptor& d, std::string_view text) {
    std::string_view s = Trim(text);
    if (s.empty()) return SetNumber(number, 0);
    double value = 0;
    if (!nvlocale::TryParseNumber(s, value, nvlocale::DecimalSeparator()))
        NvRaise(TnvMsg::InvalidValueForField, {"Number", d.Name()});
    return SetNumber(number, value);
}

bool NVO_dBaseFld::PutVfpBinaryText(int number, const TnvFieldDescriptor& d, std::string_view text) {
    if (d.Type() != 'T') return PutDisplayNumber(number, d, text);
    // A date in display form, optionally followed by a time of day hh:mm[:ss].
    std::string_view s = Trim(text);
    if (s.empty()) return SetNumber(number, 0);
    std::size_t blank = s.find(' ');
    std::string_view datePart = s.substr(0, blank);
    std::string_view timePart = blank == std::string_view::npos ? std::string_view() : Trim(s.substr(blank));
    int32_t day = DBFDate.TextToDay(datePart);
    int parts[3] = {0, 0, 0};
    int count = 0;
    for (std::size_t i = 0; i < timePart.size();) {
        if (count == 3) NvRaise(TnvMsg::InvalidValueForField, {"Date", d.Name()});
        std::size_t colon = timePart.find(':', i);
        std::string_view piece = timePart.substr(i, colon == std::string_view::npos ? colon : colon - i);
        double v = 0;
        if (piece.empty() || !nvlocale::TryParseNumber(piece, v, '.') || v < 0 || v != std::floor(v))
            NvRaise(TnvMsg::InvalidValueForField, {"Date", d.Name()});
        parts[count++] = static_cast<int>(v);
        if (colon == std::string_view::npos) break;
        i = colon + 1;
    }
    if (day <= 0) return SetNumber(number, 0);
    long double ms = (parts[0] * 3600.0L + parts[1] * 60.0L + parts[2]) * 1000.0L;
    return SetNumber(number, (static_cast<long double>(day) - kJulianOfDayOne) * kMsPerDay + ms);
}

bool NVO_dBaseFld::PutText(int number, std::string_view text) {
    const TnvFieldDescriptor* d = ByNumber(number);
    if (!d) return false;
    char t = d->Type();
    if (IsVfpBinary(*d) && (t == 'B' || t == 'I' || t == 'T' || t == 'Y'))
        return PutVfpBinaryText(number, *d, text);
    switch (t) {
        case 'D':
            return SetDate(number, DBFDate.TextToDay(text));
        case 'F':
        case 'N':
            return PutDisplayNumber(number, *d, text);
        case 'L': {
            char c = text.empty() ? 'F' : text[0];
            bool value;
            if (IsLogicalTrue(c)) {
                value = true;
            } else if (IsLogicalFalse(c)) {
                value = false;
            } else {
                double v = 0;
                if (!nvlocale::TryParseNumber(Trim(text), v, nvlocale::DecimalSeparator()))
                    NvRaise(TnvMsg::InvalidValueForField, {"Logical", d->Name()});
                value = std::trunc(v) != 0;
            }
            return SetLogical(number, value);
        }
        case 'M': {
            int32_t block = WriteMemo(number, reinterpret_cast<const uint8_t*>(text.data()),
                                      static_cast<int32_t>(text.size()));
            return SetNumber(number, block);
        }
        default:
            return PutRaw(number, text);
    }
}

// ---- deletion flag ----

void NVO_dBaseFld::DeleteRecord() {
    if (CurrentRecord() == 0 || RecordPointer()[0] == '*') return;
    RecordPointer()[0] = '*';
    changed_[0] = 1;
    SetRecordModified(true);
    WriteRecord(CurrentRecord());
}

void NVO_dBaseFld::RecallRecord() {
    if (CurrentRecord() == 0 || RecordPointer()[0] == ' ') return;
    RecordPointer()[0] = ' ';
    changed_[0] = 1;
    SetRecordModified(true);
    WriteRecord(CurrentRecord());
}

// ---- memo fields ----

NVobjMemoBase* NVO_dBaseFld::MemoFor(int number) {
    if (!IsMemoField(number)) return nullptr;
    return MemoFile();
}

// The field's block number; anything unusable as one (negative, fractional garbage) is 0.
uint32_t NVO_dBaseFld::MemoBlock(int number, bool writing) {
    long double v = 0;
    try {
        v = GetNumber(number);
    } catch (const ENorvaneError&) {
        // Garbage where the block number belongs breaks the record's link to its memo: a
        // read reports the memo as bad, a write gives the field a new block, which mends it.
        NVobjMemoBase* memo = MemoFor(number);
        if (writing || !memo) return 0;
        NvRaise(TnvMsg::MemoRecordBad, {memo->FileName()});
    }
    if (!(v > 0) || v > 4294967295.0L) return 0;
    return static_cast<uint32_t>(v);
}

// A field without a block needs no memo file: it reads as an empty text.
int32_t NVO_dBaseFld::MemoSize(int number) {
    if (!IsMemoField(number) || MemoBlock(number) == 0) return 0;
    NVobjMemoBase* memo = MemoFor(number);
    if (!memo) return 0;
    return static_cast<int32_t>(memo->MemoSize(MemoBlock(number)));
}

int32_t NVO_dBaseFld::ReadMemo(int number, uint8_t* buffer, int32_t length) {
    if (length > 0 && buffer) buffer[0] = 0;
    if (length <= 0 || !IsMemoField(number) || MemoBlock(number) == 0) return 0;
    NVobjMemoBase* memo = MemoFor(number);
    if (!memo) return 0;
    uint32_t got = static_cast<uint32_t>(length);
    memo->MemoRead(buffer, MemoBlock(number), got);
    return static_cast<int32_t>(got);
}

int32_t NVO_dBaseFld::WriteMemo(int number, const uint8_t* buffer, int32_t length) {
    if (!IsMemoField(number)) return 0;
    if (length <= 0 && MemoBlock(number, true) == 0) return 0;
    NVobjMemoBase* memo = MemoFor(number);
    if (!memo) {
        if (length <= 0) return 0;
        // A memo field of a table without memo file: the text has nowhere to go.
        NvRaise(TnvMsg::NoMemoFile, {FileName(), FieldName(number)});
    }
    uint32_t block = MemoBlock(number, true);
    uint32_t count = static_cast<uint32_t>(std::max(length, 0));
    return static_cast<int32_t>(memo->MemoWrite(buffer, block, count));
}

// ---- search records ----

void NVO_dBaseFld::FillFromValues(uint8_t* buffer, std::string_view names,
                                  const std::vector<TnvValue>& values) {
    struct Restore {
        NVO_dBaseFld& t;
        uint8_t* pointer;
        std::vector<uint8_t> changed;
        bool modified;
        ~Restore() {
            t.changed_ = std::move(changed);
            t.SetRecordModified(modified);
            t.SetRecordPointer(pointer);
        }
    } restore{*this, RecordPointer(), changed_, RecordModified()};

    SetRecordPointer(buffer);
    BlankRecord();
    std::size_t i = 0;
    std::size_t start = 0;
    while (i < values.size() && start <= names.size()) {
        std::size_t semi = names.find(';', start);
        std::string_view name = names.substr(start, semi == std::string_view::npos ? semi : semi - start);
        PutTextByName(name, ValueText(values[i]));
        ++i;
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
}

void NVO_dBaseFld::FillFromValues(uint8_t* buffer, std::string_view names, const TnvValue& value) {
    FillFromValues(buffer, names, std::vector<TnvValue>{value});
}
