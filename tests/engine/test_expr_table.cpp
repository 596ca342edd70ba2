#include <gtest/gtest.h>

#include <vector>

#include "expr_support.h"
#include "nv6_sqlt.h"

using namespace exprtest;

namespace {

// An in-memory table standing in for the cursor: fields with descriptor bytes and records
// of stored texts.
class FakeTable : public TnvExpTable {
public:
    struct Field {
        std::string name;
        char type;
        int length, decimals;
    };
    struct Record {
        std::vector<std::string> values;  // stored form; numbers as text, dates as yyyymmdd
        bool deleted = false;
    };

    std::string TableAlias() const override { return "customer"; }
    int FieldCount() const override { return static_cast<int>(fields.size()); }
    std::string FieldName(int f) const override { return fields.at(f - 1).name; }
    char FieldType(int f) const override { return fields.at(f - 1).type; }
    int FieldLength(int f) const override { return fields.at(f - 1).length; }
    int FieldDecimals(int f) const override { return fields.at(f - 1).decimals; }
    std::string FieldText(int f) override {
        std::string s = Current().values.at(f - 1);
        s.resize(fields.at(f - 1).length, ' ');
        return s;
    }
    int32_t FieldDate(int f) override {
        const std::string& s = Current().values.at(f - 1);
        return s == "20050130" ? 2453401 : (s.empty() ? 0 : 2453402);
    }
    double FieldNumber(int f) override { return std::stod(Current().values.at(f - 1)); }
    bool FieldLogical(int f) override { return Current().values.at(f - 1) == "T"; }
    std::string FieldMemo(int f) override { return Current().values.at(f - 1); }
    int32_t RecordNumber() override { return recno; }
    bool RecordDeleted() override { return Current().deleted; }
    bool AtBOF() override { return bof; }
    bool AtEOF() override { return eof; }
    int32_t RecordCount() override { return static_cast<int32_t>(records.size()); }

    const Record& Current() const { return records.at(recno - 1); }

    std::vector<Field> fields = {
        {"NAME", 'C', 10, 0},   {"AGE", 'N', 3, 0},       {"PRICE", 'N', 8, 2},
        {"BORN", 'D', 8, 0},    {"ACTIVE", 'L', 1, 0},    {"NOTES", 'M', 10, 0},
        {"PICTURE", 'G', 10, 0}, {"NAMEXXXXXX", 'C', 4, 0}, {"LONGTEXT", 'C', 300, 0},
    };
    std::vector<Record> records = {
        {{"AB", "25", "12.50", "20050130", "T", "first memo", "raw", "n1", "x"}, false},
        {{"CD", "17", "3.00", "", "F", "", "raw", "n2", "y"}, true},
        {{"EF", "40", "99.99", "20050131", "T", "third", "raw", "n3", "z"}, false},
    };
    int32_t recno = 1;
    bool bof = false, eof = false;
};

class ExprTable : public ::testing::Test {
protected:
    FakeTable table;
    std::unique_ptr<TnvExpUserLink> link = NvBuildTableLink(table);

    Result At(int recno, std::string_view text) {
        table.recno = recno;
        return Eval(text, link.get());
    }
};

TEST_F(ExprTable, FieldNamesAliasesAndTheTenCharacterRule) {
    Result plain = At(1, "NAME");
    EXPECT_EQ(plain.type, nvtText);
    EXPECT_EQ(plain.value.AsText(), "AB        ");  // full width, trailing blanks kept
    EXPECT_EQ(At(1, "CUSTOMER.NAME").value.AsText(), "AB        ");
    EXPECT_EQ(At(1, "customer->name").value.AsText(), "AB        ");
    EXPECT_EQ(link->FindVariable("NAME"), link->FindVariable("CUSTOMER.NAME"));
    TnvExpHandler h(link.get(), "CUSTOMER->NAME = 'AB'");
    EXPECT_EQ(h.ExpressionText(), "CUSTOMER.NAME=\"AB\"");

    EXPECT_EQ(At(2, "NAMEXXXXXXXYZ").value.AsText(), "n2  ");
    EXPECT_EQ(ParseError("CUSTOMER.NAMEXXXXXXXYZ", link.get()),
              "There is no function for CUSTOMER.NAMEXXXXXXXYZ");
    EXPECT_EQ(ParseError("OTHER.NAME", link.get()), "There is no function for OTHER.NAME");
}

TEST_F(ExprTable, FieldTypesGiveTheirValues) {
    Result age = At(1, "AGE");
    EXPECT_EQ(age.type, nvtNumber);
    EXPECT_DOUBLE_EQ(age.value.AsNumber(), 25);
    Result born = At(1, "BORN");
    EXPECT_EQ(born.type, nvtDate);
    EXPECT_DOUBLE_EQ(born.value.AsNumber(), 2453401);
    EXPECT_DOUBLE_EQ(At(2, "BORN").value.AsNumber(), 0);
    EXPECT_TRUE(At(2, "EMPTY(BORN)").value.AsBoolean());
    EXPECT_EQ(At(2, "DTOS(BORN)").value.AsText(), "        ");
    EXPECT_TRUE(At(1, "ACTIVE").value.AsBoolean());
    Result memo = At(1, "NOTES");
    EXPECT_EQ(memo.type, nvtText);
    EXPECT_EQ(memo.value.AsText(), "first memo");
    EXPECT_EQ(At(2, "NOTES").value.AsText(), "");
    Result other = At(1, "PICTURE");
    EXPECT_EQ(other.type, nvtMemo);
    EXPECT_TRUE(At(3, "PRICE * 2 > 199 .AND. BORN > {20050130}").value.AsBoolean());
}

TEST_F(ExprTable, WidthsAndCategories) {
    TnvExpHandler h(link.get(), "PRICE + AGE");
    EXPECT_EQ(h.MaxLength(), 8);
    EXPECT_EQ(h.MaxDecimals(), 2);
    TnvExpHandler wide(link.get(), "LONGTEXT");
    EXPECT_EQ(wide.MaxLength(), 300);
    EXPECT_EQ(At(1, "LEN(LONGTEXT)").value.AsNumber(), 300);

    TnvExpHandler mixed(link.get(), "UPPER(NAME) + STR(AGE) + IIF(TRUE, 'a', 'b')");
    std::string fields, others;
    mixed.CollectNames(17, fields);
    mixed.CollectNames(16, others);
    EXPECT_EQ(fields, "NAME;AGE;");
    EXPECT_EQ(others, "TRUE;");
}

TEST_F(ExprTable, TableFunctions) {
    EXPECT_DOUBLE_EQ(At(2, "RECNO()").value.AsNumber(), 2);
    EXPECT_DOUBLE_EQ(At(2, "RECCOUNT()").value.AsNumber(), 3);
    EXPECT_TRUE(At(2, "DELETED()").value.AsBoolean());
    EXPECT_FALSE(At(1, "deleted()").value.AsBoolean());
    EXPECT_TRUE(At(2, "TRUE .AND. DELETED()").value.AsBoolean());
    table.bof = true;
    EXPECT_TRUE(At(1, "BOF() .AND. .NOT. EOF()").value.AsBoolean());
    table.eof = true;
    EXPECT_TRUE(At(1, "EOF()").value.AsBoolean());

    EXPECT_DOUBLE_EQ(At(1, "FIELDNO('NAME ')").value.AsNumber(), 1);
    EXPECT_DOUBLE_EQ(At(1, "FIELDNO('price')").value.AsNumber(), 3);
    EXPECT_DOUBLE_EQ(At(1, "FIELDNO('NOPE')").value.AsNumber(), 0);
    Result type = At(1, "TYPE('NAME')");
    EXPECT_EQ(type.type, nvtText);
    EXPECT_EQ(type.value.AsText(), "C");
    EXPECT_EQ(At(1, "TYPE('born')").value.AsText(), "D");
    try {
        At(1, "TYPE('NOPE')");
        FAIL() << "no error";
    } catch (const ENorvaneError& e) {
        EXPECT_EQ(e.Message(), "There is no field name customer->NOPE");
    }
    EXPECT_EQ(EvalError("FIELDNO(1)", link.get()), "Text needed for Argument 1 of FIELDNO");
    // Table functions belong to a link: without one they are unknown.
    EXPECT_EQ(ParseError("RECNO()"), "There is no function for RECNO");
}

TEST_F(ExprTable, OneCompiledFilterOverEveryRecord) {
    TnvExpHandler filter(link.get(), "AGE > 20 .AND. .NOT. DELETED() .AND. NAME = 'A*'");
    std::vector<int> hits;
    TnvValue v;
    for (int r = 1; r <= 3; ++r) {
        table.recno = r;
        filter.Evaluate(v);
        ASSERT_EQ(filter.ResultType(), nvtBoolean);
        if (v.AsBoolean()) hits.push_back(r);
    }
    EXPECT_EQ(hits, std::vector<int>{1});
}

// A link of the test's own, to see the lookup order of function names.
class CustomLink : public TnvExpUserLink {
public:
    void MissingFunction(std::string_view name) override {
        throw ENorvaneExpression("custom: " + std::string(name));
    }
};

class NamedFunction : public TnvUserDefFunction {
public:
    explicit NamedFunction(std::string name) : name_(std::move(name)) {}
    void Name(std::string& text) const override { text = name_; }
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        value = TnvValue::Text("link " + name_);
        type = nvtText;
    }

private:
    std::string name_;
};

TEST(ExprLink, GlobalFunctionsShadowLinkFunctionsAndMissingOnesAskTheLink) {
    CustomLink link;
    EXPECT_TRUE(link.AddFunction(std::make_unique<NamedFunction>("mine")));
    EXPECT_TRUE(link.AddFunction(std::make_unique<NamedFunction>("UPPER")));
    EXPECT_FALSE(link.AddFunction(std::make_unique<NamedFunction>("MINE")));
    EXPECT_EQ(Eval("MINE()", &link).value.AsText(), "link mine");
    EXPECT_EQ(Eval("UPPER('a')", &link).value.AsText(), "A");
    EXPECT_EQ(ParseError("NOPE(1)", &link), "custom: NOPE");
}

// Counts how many of its kind are alive.
class CountedVar : public TnvUserDefFieldVar {
public:
    explicit CountedVar(std::string_view names) : TnvUserDefFieldVar(names) { ++alive; }
    ~CountedVar() override { --alive; }
    static int alive;
};
int CountedVar::alive = 0;

TEST(ExprLink, VariableRegistryCountsReferences) {
    {
        TnvFieldVarReg reg;
        auto first = std::make_unique<CountedVar>("a;Alias.A");
        CountedVar* raw = first.get();
        EXPECT_TRUE(reg.Register(std::move(first)));
        EXPECT_EQ(raw->referenceCount, 2);
        EXPECT_EQ(reg.Find("alias.a"), raw);
        std::string name;
        raw->FirstName(name);
        EXPECT_EQ(name, "A");

        // A partly taken name keeps the first registration and counts what it took.
        auto second = std::make_unique<CountedVar>("A;B");
        CountedVar* raw2 = second.get();
        EXPECT_FALSE(reg.Register(std::move(second)));
        EXPECT_EQ(reg.Find("A"), raw);
        EXPECT_EQ(reg.Find("B"), raw2);
        EXPECT_EQ(raw2->referenceCount, 1);

        // A variable no name of which could be taken is not kept.
        EXPECT_FALSE(reg.Register(std::make_unique<CountedVar>("B")));
        EXPECT_EQ(CountedVar::alive, 2);
    }
    EXPECT_EQ(CountedVar::alive, 0);
}

TEST(ExprLink, FunctionRegistryKeepsTheFirst) {
    TnvFunctionReg reg;
    NamedFunction a("same"), b("SAME");
    EXPECT_TRUE(reg.Register(&a));
    EXPECT_FALSE(reg.Register(&b));
    EXPECT_TRUE(reg.Register(nullptr));
    EXPECT_EQ(reg.Find("Same"), &a);
    EXPECT_EQ(reg.Count(), 1);
}

}  // namespace
