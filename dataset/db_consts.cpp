#include "db_consts.h"

#include "db_types.h"

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const char* format, std::initializer_list<TnvFmtArg> args) {
    throw EDatabaseError(NvFormat(format, args));
}

void Abort() { throw EAbort(); }

const char* FieldTypeName(TFieldType t) {
    switch (t) {
        case ftString: return "String";
        case ftSmallint: return "Smallint";
        case ftInteger: return "Integer";
        case ftWord: return "Word";
        case ftBoolean: return "Boolean";
        case ftFloat: return "Float";
        case ftCurrency: return "Currency";
        case ftBCD: return "BCD";
        case ftDate: return "Date";
        case ftTime: return "Time";
        case ftDateTime: return "DateTime";
        case ftBytes: return "Bytes";
        case ftVarBytes: return "VarBytes";
        case ftAutoInc: return "AutoInc";
        case ftBlob: return "Blob";
        case ftMemo: return "Memo";
        case ftGraphic: return "Graphic";
        case ftFmtMemo: return "FmtMemo";
        case ftParadoxOle: return "ParadoxOle";
        case ftDBaseOle: return "DBaseOle";
        case ftTypedBinary: return "TypedBinary";
        case ftCursor: return "Cursor";
        case ftFixedChar: return "FixedChar";
        case ftWideString: return "WideString";
        case ftLargeint: return "Largeint";
        case ftUnknown: break;
    }
    return "Unknown";
}
