// Expressions bound to a real table through its cursor: field variables and table functions,
// the per-expression STR width, the old-record view index maintenance uses, and filters
// given as text with navigation, record writes and refiltering.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "nv_test_errors.h"
#include "dbf_support.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"

namespace {

using dbftest::TempDir;

using nvtest::ErrorOf;

// NAME C 10, AGE N 3 0, GOOD L with `count` records: NAME "Name<n>", AGE n, GOOD for even n.
void MakeTable(const std::string& path, int count) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 10, 0);
        build.AddField("AGE", "N", 3, 0);
        build.AddField("GOOD", "L", 1, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutRaw(1, "Name" + std::to_string(n));
        t.SetNumber(2, n);
        t.SetLogical(3, n % 2 == 0);
        t.Append();
    }
}

std::string Eval(NVO_dBHandler& t, const std::string& text, int16_t options = 10) {
    TnvVariant v(256);
    t.CompileExpression(text, options)->Evaluate(v);
    return v.AsString();
}

// The logical value of `text` on the current record; fails the test for any other kind.
bool Holds(NVO_dBHandler& t, const std::string& text) {
    TnvVariant v(16);
    t.CompileExpression(text)->Evaluate(v);
    EXPECT_EQ(v.Kind(), TnvVariant::kLogical) << text;
    return v.Kind() == TnvVariant::kLogical && v.AsLogical();
}

std::vector<int> Walk(NVO_dBHandler& t) {
    std::vector<int> seen;
    for (t.Go(-3); !t.Eof(); t.Skip(1)) seen.push_back(t.CurrentRecord());
    return seen;
}

TEST(CursorExpressions, FieldsAndTableFunctionsReadTheCurrentRecord) {
    TempDir dir;
    MakeTable(dir.File("people.dbf"), 5);
    NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
    t.Go(3);
    EXPECT_EQ(Eval(t, "TRIM(NAME)+'/'+STR(AGE,2)"), "Name3/ 3");
    EXPECT_EQ(Eval(t, "TRIM(PEOPLE.NAME)"), "Name3");
    EXPECT_EQ(Eval(t, "STR(RECNO(),1)"), "3");
    EXPECT_EQ(Eval(t, "IIF(DELETED(),'D','L')"), "L");
    t.DeleteRecord();
    EXPECT_EQ(Eval(t, "IIF(DELETED(),'D','L')"), "D");
    EXPECT_THROW(Eval(t, "NOSUCH+1"), ENorvaneExpression);
    // Each expression evaluates with its own STR width, whatever was compiled last.
    auto tenWide = t.CompileExpression("STR(AGE)", 10);
    auto ownWide = t.CompileExpression("STR(AGE)", -1);
    TnvVariant v(64);
    tenWide->Evaluate(v);
    EXPECT_EQ(v.AsString(), "         3");
    ownWide->Evaluate(v);
    EXPECT_EQ(v.AsString(), "  3");
    tenWide->Evaluate(v);
    EXPECT_EQ(v.AsString().size(), 10u);
}

TEST(CursorExpressions, TheOldRecordViewShowsTheRecordAsLastRead) {
    TempDir dir;
    MakeTable(dir.File("o.dbf"), 3);
    NVO_dBHandler t(dir.File("o.dbf"), false, true, "");
    t.Go(2);
    t.PutRaw(1, "Changed");
    TnvIndexTable& view = t.IndexTable();
    EXPECT_TRUE(view.RecordModified());
    EXPECT_EQ(Eval(t, "TRIM(NAME)"), "Changed");
    view.UseOldRecord(true);
    view.UseOldRecord(true);  // a second switch must not lose the way back
    EXPECT_EQ(Eval(t, "TRIM(NAME)"), "Name2");
    view.UseOldRecord(false);
    EXPECT_EQ(Eval(t, "TRIM(NAME)"), "Changed");
    EXPECT_EQ(view.RecordNumber(), 2);
    EXPECT_EQ(view.Directory(), dir.File(""));
}

TEST(CursorFilter, TextFilterSelectsRecordsOnceRequested) {
    TempDir dir;
    MakeTable(dir.File("f.dbf"), 10);
    NVO_dBHandler t(dir.File("f.dbf"), false, true, "");
    t.SetFilter("GOOD .AND. AGE > 3", false, true);
    EXPECT_EQ(t.FilterText(), "GOOD .AND. AGE > 3");
    EXPECT_FALSE(t.FilterActive());
    EXPECT_EQ(Walk(t).size(), 10u);
    t.SetFiltered(true);
    EXPECT_TRUE(t.FilterActive());
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 6, 8, 10}));
    t.Go(-4);
    EXPECT_EQ(t.CurrentRecord(), 10);
    t.Skip(-1);
    EXPECT_EQ(t.CurrentRecord(), 8);

    // Deleted records pass the filter evaluation but hide when show-deleted is off, without
    // a new pass.
    t.Go(6);
    t.DeleteRecord();
    t.SetShowDeleted(false);
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 8, 10}));
    t.SetShowDeleted(true);
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 6, 8, 10}));

    // A written record gets its bit from the filter at once.
    t.Go(8);
    t.SetLogical(3, false);
    t.WriteRecord(8);
    t.Go(5);
    t.SetLogical(3, true);
    t.WriteRecord(5);
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 6, 10}));

    // An appended record too.
    t.BlankRecord();
    t.SetNumber(2, 50);
    t.SetLogical(3, true);
    t.Append();
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 6, 10, 11}));

    t.SetFiltered(false);
    EXPECT_EQ(Walk(t).size(), 11u);
    t.SetFilter("", false, true);
    t.SetFiltered(true);
    EXPECT_FALSE(t.FilterActive());
    EXPECT_EQ(Walk(t).size(), 11u);
}

TEST(CursorFilter, BadFiltersRaiseAndLeaveTheFilterInactive) {
    TempDir dir;
    MakeTable(dir.File("b.dbf"), 4);
    NVO_dBHandler t(dir.File("b.dbf"), false, true, "");
    t.SetFiltered(true);
    EXPECT_EQ(ErrorOf([&] { t.SetFilter("AGE + 1", false, true); }), "Filter expression must return boolean result");
    EXPECT_EQ(t.FilterText(), "AGE + 1");
    EXPECT_FALSE(t.FilterActive());
    EXPECT_EQ(Walk(t).size(), 4u);
    EXPECT_THROW(t.SetFilter("AGE > ", false, true), ENorvaneExpression);
    EXPECT_FALSE(t.FilterActive());
    // The requested state survives the failures: a good filter is active at once.
    t.SetFilter("AGE = 2 .OR. AGE = 3", false, true);
    EXPECT_TRUE(t.FilterActive());
    EXPECT_EQ(Walk(t), (std::vector<int>{2, 3}));
    // A constant expression has no operand worth filtering with... but TRUE is one operand.
    t.SetFilter(".NOT. .F.", false, true);
    EXPECT_EQ(Walk(t).size(), 4u);
}

// A filter that fails on some record during its pass is no filter at all, rather than one
// that shows the records before the failure and hides the rest.
TEST(CursorFilter, AFilterFailingOnARecordIsRemovedWhole) {
    TempDir dir;
    MakeTable(dir.File("f.dbf"), 5);
    NVO_dBHandler t(dir.File("f.dbf"), false, true, "");
    t.Go(4);
    t.SetNumber(2, 0);
    t.WriteRecord(4);
    t.SetFiltered(true);
    t.SetFilter("AGE > 2", false, true);
    t.Go(1);
    EXPECT_NE(ErrorOf([&] { t.SetFilter("100 / AGE > 30", false, true); }), "");
    EXPECT_EQ(t.FilterText(), "100 / AGE > 30");
    EXPECT_FALSE(t.FilterActive());
    EXPECT_LT(t.FilterSet()->Highest(), 1);
    EXPECT_EQ(Walk(t).size(), 5u);
}

TEST(CursorFilter, CaseAndWildcardsFollowTheFlagsAndRefilterSeesOthersChanges) {
    TempDir dir;
    MakeTable(dir.File("c.dbf"), 12);
    NVO_dBHandler t(dir.File("c.dbf"), true, true, "");
    t.SetFiltered(true);
    // A pattern never matches a text shorter than itself: "Name1" is not "Name1*".
    t.SetFilter("NAME = 'name1*'", true, true);
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 11, 12}));
    t.SetFilter("NAME = 'name1*'", false, true);
    EXPECT_TRUE(Walk(t).empty());
    t.SetFilter("NAME = 'Name1*'", false, false);
    EXPECT_TRUE(Walk(t).empty());
    t.SetFilter("NAME = 'Name1*'", false, true);
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 11, 12}));
    {
        NVO_dBHandler other(dir.File("c.dbf"), true, true, "");
        other.Go(2);
        ASSERT_TRUE(other.LockRecord());
        other.PutRaw(1, "Name19");
        other.WriteRecord(2);
        other.UnlockTable();
    }
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 11, 12}));
    t.Refilter();
    EXPECT_EQ(Walk(t), (std::vector<int>{2, 10, 11, 12}));
}

TEST(CursorFilter, SettingAFilterKeepsAnUnsavedRecordImage) {
    TempDir dir;
    MakeTable(dir.File("u.dbf"), 6);
    {
        NVO_dBHandler t(dir.File("u.dbf"), false, true, "");
        t.Go(4);
        t.PutRaw(1, "Edited");
        t.SetFilter("AGE > 2", false, true);
        EXPECT_EQ(t.CurrentRecord(), 4);
        EXPECT_TRUE(t.RecordModified());
        EXPECT_EQ(t.GetRaw(1), "Edited    ");
        t.WriteRecord(4);
    }
    NVO_dBHandler again(dir.File("u.dbf"), true, false, "");
    again.Go(4);
    EXPECT_EQ(again.GetRaw(1), "Edited    ");
    again.Go(5);
    EXPECT_EQ(again.GetRaw(1), "Name5     ");
}

// DELETED() counts a record deleted by the rule positioning uses (any flag but a blank),
// an unknown name in TYPE() is named as the field layer names it, and a blank date field
// equals the blank date CTOD('') gives, so that a filter can find the records without one.
TEST(CursorExpressions, DeletedTypeAndBlankDatesAnswerAsTheTableDoes) {
    TempDir dir;
    const std::string path = dir.File("d.dbf");
    dbftest::MakeTable(path, {{"NAME", "C", 10, 0}, {"BORN", "D", 8, 0}});
    NVO_dBHandler t(path, false, true, "");
    for (const char* born : {"", "20050130", ""}) {
        t.BlankRecord();
        t.PutRaw(2, born);
        t.Append();
    }
    t.Go(3);
    t.RecordPointer()[0] = 'D';  // another program's mark
    t.WriteRecord(3);
    t.SetShowDeleted(false);
    EXPECT_EQ(Walk(t), (std::vector<int>{1, 2}));
    t.Go(3);
    EXPECT_TRUE(Holds(t, "DELETED()"));
    t.SetShowDeleted(true);

    t.Go(1);
    EXPECT_TRUE(Holds(t, "BORN = CTOD('')"));
    EXPECT_FALSE(Holds(t, "BORN # CTOD('')"));
    EXPECT_TRUE(Holds(t, "INLIST(BORN, CTOD(''))"));
    EXPECT_TRUE(Holds(t, "CTOD('') < CTOD('01/30/2005') .AND. BORN <= CTOD('')"));
    t.Go(2);
    EXPECT_FALSE(Holds(t, "BORN = CTOD('')"));
    EXPECT_TRUE(Holds(t, "BORN > CTOD('')"));
    t.SetFiltered(true);
    t.SetFilter("BORN = CTOD('')", false, true);
    EXPECT_EQ(Walk(t), (std::vector<int>{1, 3}));

    EXPECT_EQ(ErrorOf([&] { Holds(t, "TYPE('NOPE') = 'C'"); }), "There is no field name " + path + "->NOPE");
}

// A key of one numeric field is read straight from the record during tag builds; it must
// give the very double the general evaluation gives, fail where that fails, and be offered
// for nothing but a bare N or F field.
TEST(CursorExpressions, ABareNumericFieldKeyReadsAsTheGeneralEvaluation) {
    TempDir dir;
    const std::string path = dir.File("n.dbf");
    dbftest::MakeTable(path, {{"NAME", "C", 10, 0}, {"AMOUNT", "N", 20, 5}, {"RATE", "F", 12, 3}});
    NVO_dBHandler t(path, false, true, "");
    std::vector<std::string> images = {"", "-0", ".5", "-.5", "5.", "+7", "\t42", "      12.50",
                                       "0.123456789012345", "123456789012345678", "-99999999999999.99999",
                                       "1e3", " -1.5E-2 ", "00000000000000000001"};
    std::mt19937 rng(11);
    for (int i = 0; i < 400; ++i) {
        std::string digits = std::to_string(rng() % 100000000);
        if (rng() % 2) digits.insert(digits.size() - std::min<std::size_t>(digits.size(), rng() % 6), ".");
        if (rng() % 3 == 0) digits.insert(0, "-");
        images.push_back(std::string(20 - std::min<std::size_t>(20, digits.size()), ' ') + digits);
    }
    for (const std::string& image : images) {
        t.BlankRecord();
        t.PutRaw(2, image);
        t.PutRaw(3, image.size() <= 12 ? image : image.substr(image.size() - 12));
        t.Append();
    }
    for (const char* field : {"AMOUNT", "RATE"}) {
        auto key = t.CompileExpression(field, 10);
        for (int32_t r = 1; r <= t.RecordCount(); ++r) {
            t.Go(r);
            double direct = -1;
            ASSERT_TRUE(key->NumberValue(direct)) << field;
            TnvVariant general(16);
            key->Evaluate(general);
            ASSERT_EQ(general.Kind(), TnvVariant::kNumeric);
            const double value = general.AsNumber();
            EXPECT_EQ(std::memcmp(&direct, &value, sizeof value), 0)
                << field << " of record " << r << ": " << direct << " for " << value;
        }
    }
    double unused = 0;
    for (const char* other : {"AMOUNT+0", "NAME", "AMOUNT*2", "RECNO()"})
        EXPECT_FALSE(t.CompileExpression(other, 10)->NumberValue(unused)) << other;

    for (const char* bad : {"1.2.3", "****", "12 34"}) {
        t.BlankRecord();
        t.PutRaw(2, bad);
        t.Append();
        auto key = t.CompileExpression("AMOUNT", 10);
        TnvVariant general(16);
        const std::string expected = ErrorOf([&] { key->Evaluate(general); });
        EXPECT_FALSE(expected.empty()) << bad;
        EXPECT_EQ(ErrorOf([&] { key->NumberValue(unused); }), expected) << bad;
    }
}

// Integer, currency and double fields of a Visual FoxPro table are numbers and date-times
// are dates (their day) in expressions, so filters, tags of every format, Find and Locate
// work on them.
TEST(CursorExpressions, VisualFoxProBinaryFieldsAreNumbersAndDatesEverywhere) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string path = dir.File("v.dbf");
    fs::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_vfp.dbf", path);
    fs::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_vfp.fpt", dir.File("v.fpt"));
    NVO_dBHandler t(path, false, true, "");
    const int kQty = 6, kStamp = 7, kPrice = 8, kWeight = 9;
    const int32_t first = DBFDate.TextToDay("20010203");
    // Days apart, each at some time of day that must not count.
    for (int32_t n = 1; n <= t.RecordCount(); ++n) {
        t.Go(n);
        t.SetNumber(kStamp, (first + n * 37 % 500 - 1721425) * 86400000.0L + 3600000.0L * (n % 24));
        t.WriteRecord(n);
    }
    auto value = [&](int field) {
        if (field != kStamp) return static_cast<double>(t.GetNumber(field));
        return std::floor(static_cast<double>(t.GetNumber(field)) / 86400000.0) + 1721425;
    };

    int expected = 0;
    for (int32_t n = 1; n <= t.RecordCount(); ++n) {
        t.Go(n);
        expected += value(kQty) > 5 && value(kWeight) < 0 && value(kPrice) > 100 && value(kStamp) > first + 100;
    }
    t.SetFiltered(true);
    t.SetFilter("QTY > 5 .AND. WEIGHT < 0 .AND. PRICE > 100 .AND. STAMP > CTOD('02/03/2001') + 100", false, true);
    EXPECT_EQ(static_cast<int>(Walk(t).size()), expected);
    t.SetFiltered(false);
    t.Go(2);
    EXPECT_TRUE(Holds(t, "DTOS(STAMP) = '" + DBFDate.DayToStor(first + 74) + "' .AND. QTY = 52629"));

    for (const char* ext : {".cdx", ".mdx", ".ndx", ".ntx"}) {
        for (const auto& [name, field] : {std::pair{"QTY", kQty}, {"PRICE", kPrice}, {"WEIGHT", kWeight}, {"STAMP", kStamp}}) {
            SCOPED_TRACE(std::string(name) + ext);
            const std::string file = dir.File(std::string("k") + name + ext);
            ASSERT_EQ(t.IndexOn(file, name, 0, true, "", name), 0);
            ASSERT_EQ(t.OpenIndexFiles(file, NvHasExt(file, "ndx") || NvHasExt(file, "ntx") ? "k" + std::string(name) : name), 0);
            std::vector<int> order = Walk(t);
            ASSERT_EQ(static_cast<int32_t>(order.size()), t.RecordCount());
            double last = -1e300;
            for (int n : order) {
                t.Go(n);
                // NTX keeps a double as text with four decimals.
                EXPECT_GE(value(field), last - 1e-4) << "record " << n;
                last = value(field);
            }
            t.Go(2);
            const double wanted = value(field);
            const std::string key = field == kStamp ? DBFDate.DayToStor(static_cast<int32_t>(wanted))
                                                    : nvlocale::FormatShortest(wanted);
            t.Go(1);
            ASSERT_TRUE(t.Find(key)) << key;
            EXPECT_NEAR(value(field), wanted, 1e-4);
            if (field == kQty) {
                t.Go(1);
                ASSERT_TRUE(t.Locate("QTY", {TnvValue::Number(52629)}, 0, false, false));
                EXPECT_EQ(t.CurrentRecord(), 2);
            }
            t.CloseIndexes();
        }
    }
}

}  // namespace
