// Field objects: conversions between native buffers and texts, numbers, booleans and dates;
// calculated and lookup fields; memo fields through blob streams; code-page translation.
#include <gtest/gtest.h>

#include <cmath>

#include "nv_test_errors.h"
#include "db_conv.h"
#include "db_links.h"
#include "mem_dataset.h"
#include "nv6_lcal.h"

namespace {

std::vector<TMemColumn> AllTypes() {
    return {{"ID", ftInteger, 0},     {"SMALL", ftSmallint, 0}, {"BIG", ftLargeint, 0},
            {"NAME", ftString, 10},   {"AMOUNT", ftFloat, 0},   {"PRICE", ftCurrency, 0},
            {"ACTIVE", ftBoolean, 0}, {"BORN", ftDate, 0},      {"STAMP", ftDateTime, 0},
            {"NOTES", ftMemo, 0}};
}

using nvtest::ErrorOf;

struct FieldFixture : ::testing::Test {
    TMemDataSet ds{AllTypes()};
    void SetUp() override {
        nvlocale::ResetDefaults();
        ds.AddRow({1, 2, 3, "one"});
        ds.AddRow({});
        ds.Open();
        ds.Edit();
    }
    void TearDown() override { nvlocale::ResetDefaults(); }
    TField& F(const char* name) { return ds.FieldByName(name); }
};

TEST_F(FieldFixture, DefaultFieldClassesAndSizes) {
    EXPECT_NE(dynamic_cast<TIntegerField*>(&F("ID")), nullptr);
    EXPECT_NE(dynamic_cast<TSmallintField*>(&F("SMALL")), nullptr);
    EXPECT_NE(dynamic_cast<TLargeintField*>(&F("BIG")), nullptr);
    EXPECT_NE(dynamic_cast<TCurrencyField*>(&F("PRICE")), nullptr);
    EXPECT_NE(dynamic_cast<TDateField*>(&F("BORN")), nullptr);
    EXPECT_NE(dynamic_cast<TMemoField*>(&F("NOTES")), nullptr);
    EXPECT_EQ(F("NAME").DataSize(), 11);
    EXPECT_EQ(F("SMALL").DataSize(), 2);
    EXPECT_EQ(F("ID").DataSize(), 4);
    EXPECT_EQ(F("BIG").DataSize(), 8);
    EXPECT_EQ(F("ACTIVE").DataSize(), 1);
    EXPECT_EQ(F("BORN").DataSize(), 4);
    EXPECT_EQ(F("STAMP").DataSize(), 8);
    EXPECT_EQ(F("NAME").FieldNo(), 4);
    EXPECT_EQ(F("NAME").Index(), 3);
    EXPECT_EQ(ErrorOf([&] { F("NOPE"); }), "Field 'NOPE' not found");
    EXPECT_EQ(ds.FindField("nope"), nullptr);
    EXPECT_EQ(&ds.FieldByName("name"), &F("NAME")) << "names compare without case";
}

TEST_F(FieldFixture, WholeNumbers) {
    F("ID").SetAsString(" 42 ");
    EXPECT_EQ(F("ID").AsInteger(), 42);
    EXPECT_EQ(F("ID").AsString(), "42");
    EXPECT_EQ(F("ID").AsFloat(), 42.0);
    F("ID").SetAsFloat(12.6);
    EXPECT_EQ(F("ID").AsInteger(), 13);
    EXPECT_EQ(ErrorOf([&] { F("ID").SetAsString("4x2"); }), "'4x2' is not a valid integer value for field 'ID'");
    EXPECT_EQ(ErrorOf([&] { F("ID").AsBoolean(); }), "Cannot access field 'ID' as type Boolean");
    EXPECT_EQ(ErrorOf([&] { F("SMALL").SetAsInteger(40000); }),
              "40000 is not a valid value for field 'SMALL'. The allowed range is -32768 to 32767");
    F("SMALL").SetAsInteger(-32768);
    EXPECT_EQ(F("SMALL").AsInteger(), -32768);
    F("BIG").SetAsInteger(int64_t{1} << 40);
    EXPECT_EQ(F("BIG").AsString(), "1099511627776");
    auto& id = static_cast<TIntegerField&>(F("ID"));
    id.SetMinValue(1);
    id.SetMaxValue(9);
    EXPECT_EQ(ErrorOf([&] { id.SetAsInteger(10); }),
              "10 is not a valid value for field 'ID'. The allowed range is 1 to 9");
    F("ID").SetAsString("");
    EXPECT_TRUE(F("ID").IsNull());
    EXPECT_TRUE(F("ID").Value().IsNull());
    EXPECT_EQ(F("ID").AsString(), "");
}

TEST_F(FieldFixture, TextAndFloats) {
    F("NAME").SetAsString("longer than ten");
    EXPECT_EQ(F("NAME").AsString(), "longer tha");
    F("NAME").SetAsString("yes");
    EXPECT_TRUE(F("NAME").AsBoolean());
    EXPECT_EQ(ErrorOf([&] { F("NAME").AsInteger(); }), "'yes' is not a valid integer value for field 'NAME'");

    F("AMOUNT").SetAsString("1.25");
    EXPECT_EQ(F("AMOUNT").AsFloat(), 1.25);
    EXPECT_EQ(F("AMOUNT").AsString(), "1.25");
    EXPECT_EQ(F("AMOUNT").AsInteger(), 1);
    EXPECT_EQ(ErrorOf([&] { F("AMOUNT").SetAsString("1.2.3"); }),
              "'1.2.3' is not a valid floating point value for field 'AMOUNT'");
    nvlocale::SetDecimalSeparator(',');
    EXPECT_EQ(F("AMOUNT").AsString(), "1,25");
    F("AMOUNT").SetAsString("2,5");
    EXPECT_EQ(F("AMOUNT").AsFloat(), 2.5);
    nvlocale::ResetDefaults();
    F("PRICE").SetAsFloat(3.5);
    EXPECT_EQ(F("PRICE").DisplayText(), "3.50");
    EXPECT_EQ(F("PRICE").AsString(), "3.5");
    EXPECT_EQ(F("AMOUNT").Alignment(), taRightJustify);
}

TEST_F(FieldFixture, Booleans) {
    F("ACTIVE").SetAsString("t");
    EXPECT_TRUE(F("ACTIVE").AsBoolean());
    EXPECT_EQ(F("ACTIVE").AsString(), "True");
    F("ACTIVE").SetAsString("FALSE");
    EXPECT_FALSE(F("ACTIVE").AsBoolean());
    EXPECT_FALSE(F("ACTIVE").IsNull());
    EXPECT_EQ(ErrorOf([&] { F("ACTIVE").SetAsString("maybe"); }), "'maybe' is not a valid boolean value for field 'ACTIVE'");
    static_cast<TBooleanField&>(F("ACTIVE")).SetDisplayValues("Yes;No");
    F("ACTIVE").SetAsString("y");
    EXPECT_EQ(F("ACTIVE").AsString(), "Yes");
    F("ACTIVE").SetValue(TVariant(false));
    EXPECT_EQ(F("ACTIVE").Text(), "No");
}

TEST_F(FieldFixture, DatesInTheirNativeFormats) {
    F("BORN").SetAsDateTime(EncodeDate(2000, 1, 1));
    int32_t days = 0;
    ASSERT_TRUE(F("BORN").GetData(&days));
    EXPECT_EQ(days, 730120) << "days since 1 January of year 1, plus one";
    EXPECT_EQ(F("BORN").AsString(), "1/1/2000");
    nvlocale::SetShortDatePattern("mm/dd/yyyy");
    EXPECT_EQ(F("BORN").AsString(), "01/01/2000");
    F("BORN").SetAsString("12/30/1899");
    ASSERT_TRUE(F("BORN").GetData(&days));
    EXPECT_EQ(days, 693594);
    EXPECT_EQ(F("BORN").AsDateTime(), 0.0);
    F("BORN").SetAsString("01/01/0001");
    ASSERT_TRUE(F("BORN").GetData(&days));
    EXPECT_EQ(days, 1);
    EXPECT_EQ(ErrorOf([&] { F("BORN").SetAsString("02/29/2001"); }), "'02/29/2001' is not a valid date");
    F("BORN").SetAsString("");
    EXPECT_TRUE(F("BORN").IsNull());

    F("STAMP").SetAsDateTime(EncodeDate(2000, 1, 1) + 0.5);
    double ms = 0;
    ASSERT_TRUE(F("STAMP").GetData(&ms));
    EXPECT_EQ(ms, 730120.0 * 86400000 + 43200000) << "milliseconds of the time stamp";
    EXPECT_EQ(F("STAMP").AsString(), "01/01/2000 12:00:00");
    F("STAMP").SetAsString("01/02/2000 08:30");
    EXPECT_NEAR(F("STAMP").AsDateTime(), EncodeDate(2000, 1, 2) + 8.5 / 24, 1e-9);
    EXPECT_EQ(ErrorOf([&] { F("STAMP").SetAsDateTime(-700000); }), "Invalid value for field 'STAMP'");
    EXPECT_TRUE(F("STAMP").Value().GetKind() == TVariant::Kind::DateTime);
}

TEST_F(FieldFixture, ValuesAndFieldLists) {
    ds.Post();
    TVariant v = ds.FieldValues("ID; NAME;SMALL");
    ASSERT_TRUE(v.IsArray());
    ASSERT_EQ(v.Count(), 3u);
    EXPECT_EQ(v[0].AsInteger(), 1);
    EXPECT_EQ(v[1].AsString(), "one");
    EXPECT_EQ(v[2].AsInteger(), 2);
    ds.Edit();
    ds.SetFieldValues("ID;NAME", VarArrayOf({7, "seven"}));
    EXPECT_EQ(F("NAME").AsString(), "seven");
    ds.SetFieldValues("AMOUNT", TVariant::Null());
    EXPECT_TRUE(F("AMOUNT").IsNull());
    std::vector<TField*> list;
    EXPECT_EQ(ErrorOf([&] { ds.GetFieldList(list, "ID;X"); }), "Field 'X' not found");
    list.clear();
    ds.GetFieldList(list, " ID;;NAME; ");  // empty items are skipped
    EXPECT_EQ(list, (std::vector<TField*>{&F("ID"), &F("NAME")}));
    // A last item of one character is read too.
    EXPECT_EQ(ErrorOf([&] { ds.GetFieldList(list, "ID;N"); }), "Field 'N' not found");
}

TEST_F(FieldFixture, MemoThroughStreamsKeepsOldTextOnCancel) {
    TField& notes = F("NOTES");
    EXPECT_TRUE(notes.IsNull());
    EXPECT_EQ(notes.DisplayText(), "(memo)");
    notes.SetAsString("first text");
    EXPECT_FALSE(notes.IsNull());
    EXPECT_EQ(notes.AsString(), "first text");
    ds.Post();
    EXPECT_EQ(ds.StoredBlob(0, 9), "first text");
    EXPECT_EQ(notes.DisplayText(), "(MEMO)");
    EXPECT_EQ(static_cast<TBlobField&>(notes).BlobSize(), 10);

    ds.Edit();
    notes.SetAsString("second");
    EXPECT_EQ(notes.AsString(), "second");
    ds.Cancel();
    EXPECT_EQ(notes.AsString(), "first text");
    EXPECT_EQ(ds.StoredBlob(0, 9), "first text");
    EXPECT_EQ(ErrorOf([&] { notes.SetAsString("x"); }), "Dataset not in edit or insert mode");

    ds.Edit();
    notes.Clear();
    EXPECT_TRUE(notes.IsNull());
    ds.Post();
    EXPECT_EQ(ds.StoredBlob(0, 9), "");
    EXPECT_TRUE(notes.IsNull());
}

TEST_F(FieldFixture, TextIsTranslatedAtTheStorageBoundary) {
    ds.translateOem = true;
    ds.log.clear();
    F("NAME").SetAsString("caf\xE9");  // e acute in code page 1252
    EXPECT_EQ(ds.log, (std::vector<std::string>{"Translate(toOem)"}));
    ds.Post();
    EXPECT_EQ(ds.StoredText(0, 3), "caf\x82") << "stored in code page 437";
    EXPECT_EQ(F("NAME").AsString(), "caf\xE9");
    static_cast<TStringField&>(F("NAME")).SetTransliterate(false);
    ds.log.clear();
    EXPECT_EQ(F("NAME").AsString(), "caf\x82");
    EXPECT_TRUE(ds.log.empty());
}

TEST(CalculatedFields, ComputedOnReadAndOnChangeWithPersistentFields) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 4);
    auto& id = ds.CreateField<TIntegerField>("ID");
    auto& amount = ds.CreateField<TFloatField>("AMOUNT");
    auto& twice = ds.CreateField<TFloatField>("TWICE", fkCalculated);
    auto& label = ds.CreateField<TStringField>("LABEL", fkCalculated, 12);
    int calcs = 0;
    ds.OnCalcFields = [&](TDataSet& d) {
        ++calcs;
        EXPECT_EQ(d.State(), dsCalcFields);
        if (!amount.IsNull()) twice.SetAsFloat(amount.AsFloat() * 2);
        label.SetAsString("#" + id.AsString());
    };
    TDataSource src;
    src.SetDataSet(&ds);
    TGridLink grid;
    grid.SetBufferCount(3);
    grid.SetDataSource(&src);
    ds.Open();
    EXPECT_EQ(ds.FieldCount(), 4) << "persistent fields only: no NAME";
    EXPECT_EQ(ds.FindField("NAME"), nullptr);
    EXPECT_EQ(ds.CalcFieldsSize(), 9 + 14);
    EXPECT_EQ(grid.Rows("LABEL"), (std::vector<std::string>{"#1", "#2", "#3"}));
    EXPECT_EQ(grid.Rows("TWICE"), (std::vector<std::string>{"3", "6", "9"}));
    EXPECT_TRUE(twice.Calculated());
    EXPECT_EQ(twice.FieldNo(), 0);
    EXPECT_EQ(ErrorOf([&] { twice.SetAsFloat(1); }), "Dataset not in edit or insert mode");

    ds.Edit();
    calcs = 0;
    amount.SetAsFloat(10);
    EXPECT_EQ(calcs, 1);
    EXPECT_EQ(twice.AsFloat(), 20);
    ds.SetAutoCalcFields(false);
    amount.SetAsFloat(11);
    EXPECT_EQ(twice.AsFloat(), 20) << "not recomputed without AutoCalcFields";
    ds.Post();
    EXPECT_EQ(twice.AsFloat(), 22) << "computed again when the record is read";
    ds.Close();

    // A persistent field of the wrong type is refused at open.
    TMemDataSet bad(PeopleColumns());
    bad.CreateField<TStringField>("ID", fkData, 5);
    EXPECT_EQ(ErrorOf([&] { bad.Open(); }), "Type mismatch for field 'ID', expecting: String actual: Integer");
    EXPECT_FALSE(bad.Active());
}

TEST(LookupFields, ValueComesFromTheOtherDataSet) {
    TMemDataSet cities({{"CODE", ftString, 3}, {"CITY", ftString, 12}});
    cities.AddRow({"BER", "Berlin"});
    cities.AddRow({"OSL", "Oslo"});
    cities.Open();
    TMemDataSet people({{"NAME", ftString, 8}, {"CODE", ftString, 3}});
    people.AddRow({"Ann", "OSL"});
    people.AddRow({"Bo", "XXX"});
    people.CreateField<TStringField>("NAME", fkData, 8);
    people.CreateField<TStringField>("CODE", fkData, 3);
    auto& city = people.CreateField<TStringField>("CITYNAME", fkLookup, 12);
    EXPECT_EQ(ErrorOf([&] { people.Open(); }), "Lookup information for field 'CITYNAME' is incomplete");
    city.SetLookupDataSet(&cities);
    city.SetKeyFields("CODE");
    city.SetLookupKeyFields("CODE");
    city.SetLookupResultField("CITY");
    people.Open();
    EXPECT_EQ(city.AsString(), "Oslo");
    EXPECT_EQ(cities.FieldByName("CITY").AsString(), "Berlin") << "the lookup does not move the other dataset";
    people.Next();
    EXPECT_TRUE(city.IsNull());
}

}  // namespace

namespace {

TEST(Variants, ConversionsAndTheirFailures) {
    EXPECT_EQ(TVariant("12").AsInteger(), 12);
    EXPECT_EQ(TVariant(2.5).AsString(), "2.5");
    EXPECT_TRUE(TVariant("true").AsBoolean());
    EXPECT_EQ(TVariant::Null().AsString(), "");
    EXPECT_EQ(TVariant().Count(), 0u);
    EXPECT_EQ(TVariant(3).Count(), 1u);
    EXPECT_EQ(ErrorOf([] { TVariant("x1").AsInteger(); }),
              "Could not convert variant of type (String) into type (Int64)");
    EXPECT_EQ(ErrorOf([] { VarArrayOf({1, 2}).AsString(); }),
              "Could not convert variant of type (Array) into type (String)");
    EXPECT_THROW(VarArrayOf({1})[1], EVariantError);
    EXPECT_FALSE(TVariant(1) == TVariant(1.0)) << "kinds differ";
    EXPECT_TRUE(VarArrayOf({1, "a"}) == VarArrayOf({1, "a"}));
}

TEST(Definitions, IndexTextIsFieldsOrExpressionByOptions) {
    TIndexDefs defs;
    defs.Add("BYNAME", "LAST;FIRST", {});
    defs.Add("BYUPPER", "UPPER(LAST)", {ixExpression});
    EXPECT_EQ(defs.Find("byname").Fields(), "LAST;FIRST");
    EXPECT_EQ(defs.Find("byname").Expression(), "");
    EXPECT_EQ(defs[1].Expression(), "UPPER(LAST)");
    EXPECT_EQ(defs[1].Fields(), "");
    EXPECT_EQ(ErrorOf([&] { defs.Find("X"); }), "Index 'X' not found");
    TFieldDefs fields;
    fields.Add("A", ftString, 4);
    fields.Add("B", ftInteger, 0, false, 7);  // numbers need not be consecutive
    EXPECT_EQ(fields.Add("C", ftDate).FieldNo(), 8);
    EXPECT_EQ(ErrorOf([&] { fields.Add("a", ftInteger); }), "Duplicate field name 'a'");
    EXPECT_EQ(ErrorOf([] { NewDefaultField(ftCursor, 0, "CUR"); }), "Field 'CUR' is of an unknown type");
}

}  // namespace
