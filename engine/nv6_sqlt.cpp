// Field variables, table functions and the table's user link.
#include "nv6_sqlt.h"

#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_tool.h"

namespace {

std::string TrimRight(std::string s) {
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.pop_back();
    return s;
}

// The field numbered by its name (any case), or 0.
int FieldByName(TnvExpTable& table, const std::string& name) {
    for (int i = 1; i <= table.FieldCount(); ++i)
        if (nvlocale::AnsiUpperCase(table.FieldName(i)) == name) return i;
    return 0;
}

// A table function: a fixed name and the table it reads.
class TnvTableFunction : public TnvUserDefFunction {
public:
    TnvTableFunction(const char* name, TnvExpTable& table) : name_(name), table_(table) {}
    void Name(std::string& text) const override { text = name_; }

protected:
    // The upper-cased field name argument without trailing blanks.
    std::string FieldNameArg(TnvExpFunction& node) const {
        TnvValue v;
        TnvExpType t;
        node.GetArgument(0, v, nvtText, t);
        return nvlocale::AnsiUpperCase(TrimRight(NvValueText(v)));
    }

    const char* name_;
    TnvExpTable& table_;
};

void SetNumber(TnvValue& value, TnvExpType& type, double d) {
    value = TnvValue::Number(d);
    type = nvtNumber;
}

void SetBoolean(TnvValue& value, TnvExpType& type, bool b) {
    value = TnvValue::Boolean(b);
    type = nvtBoolean;
}

}  // namespace

class TnvlDBFRecNo : public TnvTableFunction {
public:
    explicit TnvlDBFRecNo(TnvExpTable& t) : TnvTableFunction("RECNO", t) {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, table_.RecordNumber());
    }
};

class TnvlDBFDeleted : public TnvTableFunction {
public:
    explicit TnvlDBFDeleted(TnvExpTable& t) : TnvTableFunction("DELETED", t) {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetBoolean(value, type, table_.RecordDeleted());
    }
};

class TnvlDBFBOF : public TnvTableFunction {
public:
    explicit TnvlDBFBOF(TnvExpTable& t) : TnvTableFunction("BOF", t) {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetBoolean(value, type, table_.AtBOF());
    }
};

class TnvlDBFEOF : public TnvTableFunction {
public:
    explicit TnvlDBFEOF(TnvExpTable& t) : TnvTableFunction("EOF", t) {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetBoolean(value, type, table_.AtEOF());
    }
};

class TnvlDBFType : public TnvTableFunction {
public:
    explicit TnvlDBFType(TnvExpTable& t) : TnvTableFunction("TYPE", t) {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string name = FieldNameArg(node);
        int field = FieldByName(table_, name);
        // Named as the field layer names an unknown field: table, "->", the name asked for.
        if (!field) NvRaise(TnvMsg::NoFieldName, {table_.TableName() + "->" + name});
        value = TnvValue::Text(std::string(1, table_.FieldType(field)));
        type = nvtText;
    }
};

class TnvlDBFFieldNo : public TnvTableFunction {
public:
    explicit TnvlDBFFieldNo(TnvExpTable& t) : TnvTableFunction("FIELDNO", t) {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, FieldByName(table_, FieldNameArg(node)));
    }
};

class TnvlDBFRecCount : public TnvTableFunction {
public:
    explicit TnvlDBFRecCount(TnvExpTable& t) : TnvTableFunction("RECCOUNT", t) {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, table_.RecordCount());
    }
};

TnvlDBFFieldVars::TnvlDBFFieldVars(TnvExpTable& table, int field, std::string_view names)
    : TnvUserDefFieldVar(names), table_(table), field_(field) {
    length = table.FieldLength(field);
    decimals = table.FieldDecimals(field);
}

int TnvlDBFFieldVars::Category() const { return 17; }

void TnvlDBFFieldVars::Evaluate(TnvValue& value, TnvExpType& type) {
    switch (table_.FieldType(field_)) {
        case 'C':
            value = TnvValue::Text(table_.FieldText(field_));
            type = nvtText;
            return;
        case 'D':
            value = TnvValue::Number(table_.FieldDate(field_));
            type = nvtDate;
            return;
        case 'T':
            // A date-time compares and indexes as its day.
            value = TnvValue::Number(table_.FieldDate(field_));
            type = nvtDate;
            return;
        case 'B':
            if (!table_.BinaryNumbers()) break;
            [[fallthrough]];
        case 'F':
        case 'N':
        case 'I':
        case 'Y':
            value = TnvValue::Number(table_.FieldNumber(field_));
            type = nvtNumber;
            return;
        case 'L':
            value = TnvValue::Boolean(table_.FieldLogical(field_));
            type = nvtBoolean;
            return;
        case 'M':
            value = TnvValue::Text(table_.FieldMemo(field_));
            type = nvtText;
            return;
        default:
            break;
    }
    value = TnvValue::Text(table_.FieldText(field_));
    type = nvtMemo;
}

bool TnvlDBFFieldVars::EvaluateKey(TnvVariant& key, TnvExpType& type) {
    switch (table_.FieldType(field_)) {
        case 'C': {
            std::string_view bytes;
            if (!table_.FieldBytes(field_, bytes)) return false;
            key.PutString(bytes);
            type = nvtText;
            return true;
        }
        case 'F':
        case 'N':
            key.PutNumber(table_.FieldNumber(field_));
            type = nvtNumber;
            return true;
        default:
            return false;
    }
}

std::unique_ptr<TnvExpUserLink> NvBuildTableLink(TnvExpTable& table) {
    auto link = std::make_unique<TnvExpUserLink>();
    link->AddFunction(std::make_unique<TnvlDBFRecNo>(table));
    link->AddFunction(std::make_unique<TnvlDBFDeleted>(table));
    link->AddFunction(std::make_unique<TnvlDBFBOF>(table));
    link->AddFunction(std::make_unique<TnvlDBFEOF>(table));
    link->AddFunction(std::make_unique<TnvlDBFType>(table));
    link->AddFunction(std::make_unique<TnvlDBFFieldNo>(table));
    link->AddFunction(std::make_unique<TnvlDBFRecCount>(table));
    const std::string alias = nvlocale::AnsiUpperCase(table.TableAlias());
    for (int i = 1; i <= table.FieldCount(); ++i) {
        std::string field = table.FieldName(i);
        link->AddVariable(std::make_unique<TnvlDBFFieldVars>(table, i, field + ";" + alias + "." + field));
    }
    return link;
}
