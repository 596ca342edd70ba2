#include "nv6_dbex.h"

#include <typeinfo>

#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sqld.h"
#include "nv6_sqln.h"
#include "nv6_tool.h"

namespace {

// The width and decimals a field's value takes as a number or date in an expression or a
// key: the descriptor's for text-stored fields; for the binary fields of a Visual FoxPro
// table the room their values need written out, not the bytes they are stored in.
void ValueWidth(NVO_dBHandler& cursor, int field, int& length, int& decimals) {
    length = cursor.FieldLength(field);
    decimals = cursor.FieldDecimals(field);
    if (cursor.Version() != nvdbf::kVerVfp) return;
    switch (cursor.FieldType(field)) {
        case 'I':
            length = 11;
            decimals = 0;
            break;
        case 'Y':
            length = 20;
            decimals = 4;
            break;
        case 'B':
            // A double has no decimals of its own; four, as a currency has, unless the
            // descriptor asks for others.
            length = 20;
            if (decimals == 0) decimals = 4;
            break;
        case 'T':
            length = 8;
            decimals = 0;
            break;
        default:
            break;
    }
}

}  // namespace

// ---- fields for expressions ----

std::string NVO_dBExpTable::TableAlias() const { return BaseName(cursor_.FileName()); }

std::string NVO_dBExpTable::TableName() const { return cursor_.FileName(); }

int NVO_dBExpTable::FieldCount() const { return cursor_.FieldCount(); }

std::string NVO_dBExpTable::FieldName(int field) const { return cursor_.FieldName(field); }

char NVO_dBExpTable::FieldType(int field) const { return cursor_.FieldType(field); }

int NVO_dBExpTable::FieldLength(int field) const {
    int length = 0, decimals = 0;
    ValueWidth(cursor_, field, length, decimals);
    return length;
}

int NVO_dBExpTable::FieldDecimals(int field) const {
    int length = 0, decimals = 0;
    ValueWidth(cursor_, field, length, decimals);
    return decimals;
}

bool NVO_dBExpTable::BinaryNumbers() const { return cursor_.Version() == nvdbf::kVerVfp; }

std::string NVO_dBExpTable::FieldText(int field) { return cursor_.GetRaw(field); }

bool NVO_dBExpTable::FieldBytes(int field, std::string_view& bytes) {
    bytes = cursor_.RawView(field);
    return true;
}

int32_t NVO_dBExpTable::FieldDate(int field) {
    if (cursor_.FieldType(field) == 'T' && cursor_.Version() == nvdbf::kVerVfp) return cursor_.DateTimeDay(field);
    return cursor_.GetDate(field);
}

double NVO_dBExpTable::FieldNumber(int field) { return static_cast<double>(cursor_.GetNumber(field)); }

bool NVO_dBExpTable::FieldLogical(int field) { return cursor_.GetLogical(field); }

std::string NVO_dBExpTable::FieldMemo(int field) {
    if (!cursor_.IsMemoField(field) || !cursor_.MemoFor(field)) return std::string();
    int32_t size = cursor_.MemoSize(field);
    if (size <= 0) return std::string();
    std::string text(static_cast<std::size_t>(size), '\0');
    int32_t got = cursor_.ReadMemo(field, reinterpret_cast<uint8_t*>(text.data()), size);
    text.resize(static_cast<std::size_t>(got < 0 ? 0 : got));
    return text;
}

int32_t NVO_dBExpTable::RecordNumber() { return cursor_.CurrentRecord(); }

// Any flag but a blank counts, as it does when the cursor passes over deleted records.
bool NVO_dBExpTable::RecordDeleted() { return cursor_.RecordPointer()[0] != ' '; }

bool NVO_dBExpTable::AtBOF() { return cursor_.Bof(); }

bool NVO_dBExpTable::AtEOF() { return cursor_.Eof(); }

int32_t NVO_dBExpTable::RecordCount() { return cursor_.RecordCount(); }

// ---- compiled index expressions ----

NVO_dBIndexExpression::NVO_dBIndexExpression(TnvExpUserLink& link, std::string_view text, int16_t options,
                                             NVO_dBaseFld* cursor)
    : link_(link), handler_(&link, text), text_(text), numericWidth_(options), cursor_(cursor) {
    const TnvExpBaseObject* root = handler_.Root();
    if (!cursor_ || !root || typeid(*root) != typeid(TnvExpFieldvar)) return;
    const auto* field = dynamic_cast<const TnvlDBFFieldVars*>(static_cast<const TnvExpFieldvar*>(root)->Variable());
    if (!field) return;
    const char type = cursor_->FieldType(field->Field());
    if (type == 'N' || type == 'F') numberField_ = field->Field();
}

bool NVO_dBIndexExpression::NumberValue(double& value) {
    if (numberField_ == 0) return false;
    // The value the field's key evaluation gives, without the tree and the key variant.
    value = static_cast<double>(cursor_->GetNumber(numberField_));
    return true;
}

void NVO_dBIndexExpression::Evaluate(TnvVariant& result) {
    struct WidthScope {
        TnvExpUserLink& link;
        int32_t saved;
        ~WidthScope() { link.defaultNumericWidth = saved; }
    } scope{link_, link_.defaultNumericWidth};
    link_.defaultNumericWidth = numericWidth_;
    handler_.EvaluateKey(result);
}

namespace {

// The value of a number literal argument, or -1 when the argument is anything else.
int32_t LiteralWidth(const TnvExpBaseObject* node) {
    while (node && node->kind == nvkOther && !node->left && node->right) node = node->right.get();  // (group)
    if (!node || node->kind != nvkNumLit) return -1;
    const double v = static_cast<const TnvExpNumLit*>(node)->Value();
    return v < 0 ? 0 : (v > 65535 ? 65535 : static_cast<int32_t>(v));
}

// Room a text result of `node` needs; 0 when the tree cannot tell. `numericWidth` is STR's
// width without an argument (below 0: the argument's own width).
int32_t TextLength(const TnvExpBaseObject* node, int32_t numericWidth) {
    if (!node) return 0;
    switch (node->kind) {
        case nvkFieldVar:
        case nvkTextLit:
            return node->length;
        case nvkBlnLit:
            return 1;
        case nvkOperator: {
            const auto op = static_cast<const TnvExpOperator*>(node)->Op();
            if (op != TnvExpOp::Add && op != TnvExpOp::Subtract) return 0;
            const int32_t a = TextLength(node->left.get(), numericWidth);
            const int32_t b = TextLength(node->right.get(), numericWidth);
            return a > 0 && b > 0 ? a + b : 0;
        }
        case nvkFunction:
            break;
        default:
            // A parenthesised group.
            return node->left ? 0 : TextLength(node->right.get(), numericWidth);
    }
    const auto* call = static_cast<const TnvExpFunction*>(node);
    const std::string name = call->Function() ? call->Function()->Name() : std::string();
    auto arg = [&](int i) { return TextLength(call->Argument(i), numericWidth); };
    auto width = [&](int i) { return LiteralWidth(call->Argument(i)); };
    if (name == "UPPER" || name == "LOWER" || name == "TRIM" || name == "RTRIM" || name == "LTRIM" ||
        name == "ALLTRIM" || name == "PROPER" || name == "DESCEND")
        return arg(0);
    if (name == "LEFT" || name == "RIGHT" || name == "PADL" || name == "PADR" || name == "PADC")
        return width(1) >= 0 ? width(1) : arg(0);
    if (name == "SUBSTR") {
        if (width(2) >= 0) return width(2);
        const int32_t whole = arg(0);
        return whole > 0 && width(1) >= 1 ? std::max(whole - width(1) + 1, 0) : whole;
    }
    if (name == "SPACE") return std::max(width(0), 0);
    if (name == "STR" || name == "STRZERO") {
        if (width(1) >= 0) return width(1);
        if (numericWidth >= 0) return numericWidth;
        return call->ArgumentLength(0);
    }
    if (name == "DTOS") return 8;
    if (name == "DTOC") return width(1) == 1 ? 8 : static_cast<int32_t>(nvexpdate::DayToText(2451545).size());
    if (name == "CHR") return 1;
    if (name == "SOUNDEX") return 4;
    if (name == "IIF") return std::max(arg(1), arg(2));
    return 0;
}

}  // namespace

int32_t NVO_dBIndexExpression::ResultLength() const {
    const int32_t length = TextLength(handler_.Root(), numericWidth_);
    return length > 0 ? length : handler_.MaxLength();
}

// ---- the table for index files ----

std::unique_ptr<TnvIndexExpression> NVO_dBIndexTable::CompileExpression(std::string_view text, int16_t options) {
    return cursor_.CompileExpression(text, options);
}

int32_t NVO_dBIndexTable::RecordNumber() const { return cursor_.CurrentRecord(); }

int32_t NVO_dBIndexTable::RecordCount() const { return cursor_.RecordCount(); }

bool NVO_dBIndexTable::ExactMatch() const { return cursor_.ExactMatch(); }

bool NVO_dBIndexTable::RecordModified() const { return cursor_.RecordModified(); }

void NVO_dBIndexTable::UseOldRecord(bool old) {
    if (old) {
        if (savedPointer_) return;
        savedPointer_ = cursor_.RecordPointer();
        // Expressions only read through the pointer; the old image is never written.
        cursor_.SetRecordPointer(const_cast<uint8_t*>(cursor_.OldRecord()));
    } else if (savedPointer_) {
        cursor_.SetRecordPointer(savedPointer_);
        savedPointer_ = nullptr;
    }
}

bool NVO_dBIndexTable::FieldSize(std::string_view name, int& length, int& decimals) const {
    length = decimals = 0;
    const std::string wanted = nvlocale::AnsiUpperCase(name);
    for (int field = 1; field <= cursor_.FieldCount(); ++field) {
        if (nvlocale::AnsiUpperCase(cursor_.FieldName(field)) != wanted) continue;
        ValueWidth(cursor_, field, length, decimals);
        return true;
    }
    return false;
}

std::string NVO_dBIndexTable::Directory() const {
    const std::string& path = cursor_.FileName();
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool NVO_dBIndexTable::Enciphered() const { return cursor_.Enciphered(); }

std::string NVO_dBIndexTable::ReadPassword() const {
    return cursor_.Enciphered() ? cursor_.ReadPassword() : std::string();
}

std::string NVO_dBIndexTable::WritePassword() const {
    return cursor_.Enciphered() ? cursor_.WritePassword() : std::string();
}

std::string NVO_dBIndexTable::TableFileName() const { return cursor_.FileName(); }

bool NVO_dBIndexTable::HasProductionIndex() const { return cursor_.ProductionIndex(); }

bool NVO_dBIndexTable::ReadWrite() const { return cursor_.ReadWrite(); }

void NVO_dBIndexTable::MarkProductionIndex() {
    if (cursor_.ProductionIndex() || !cursor_.ReadWrite()) return;
    cursor_.SetProductionIndex(true);
    cursor_.WriteHeader();
}

void NVO_dBIndexTable::BeginBuild() {
    if (buildDepth_++ > 0) return;
    buildRemembered_ = cursor_.CurrentRecord();
    // The pass reads every record in natural order: through the read-ahead window that is
    // one read per 32 KB instead of one per record.
    buildReadAhead_ = cursor_.ReadAheadOn();
    cursor_.SetReadAhead(true);
    cursor_.SetState(TnvDBFState::IndexBuild);
}

bool NVO_dBIndexTable::ReadRecordForBuild(int32_t record) {
    if (record < 1 || record > cursor_.RecordCount()) return false;
    if (!cursor_.Enciphered()) {
        // What a read of the record leaves behind, without the read notifications: in a
        // build they have nothing to do, and cost more than the copy out of the window.
        const int length = cursor_.RecordLength();
        const int64_t offset = cursor_.HeaderLength() + static_cast<int64_t>(record - 1) * length;
        if (cursor_.NVO_dBHandler::ReadAt(offset, cursor_.RecordPointer(), length) < length)
            NvRaise(TnvMsg::ReadError, {cursor_.FileName()});
        cursor_.SetCurrentRecord(record);
        cursor_.SetEof(false);
        cursor_.SetBof(false);
        cursor_.SetRecordModified(false);
        cursor_.SetOldRecord(cursor_.RecordPointer());
        cursor_.ClearChanged();
        return true;
    }
    cursor_.NVO_dBaseFld::Go(record);
    // The read notification puts the table back to normal; the build state must last for
    // the whole pass.
    cursor_.SetState(TnvDBFState::IndexBuild);
    return cursor_.CurrentRecord() == record;
}

void NVO_dBIndexTable::EndBuild() {
    if (buildDepth_ == 0 || --buildDepth_ > 0) return;
    cursor_.SetState(TnvDBFState::Normal);
    cursor_.SetReadAhead(buildReadAhead_);
    int32_t back = buildRemembered_;
    if (back > 0 && back <= cursor_.RecordCount())
        cursor_.NVO_dBaseFld::Go(back);
}

void NVO_dBIndexTable::BuildProgress(int32_t stat1, int32_t stat2, int32_t stat3) {
    cursor_.StatusUpdate(stat1, stat2, stat3);
}
