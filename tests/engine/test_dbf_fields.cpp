// Field access and value conversion: justification, numbers, dates, logicals, display text,
// Visual FoxPro binary fields, name lookup, type checks and their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "nv_test_errors.h"
#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_fld.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

using dbftest::TempDir;

namespace {

using nvtest::ErrorOf;

class DbfFields : public ::testing::Test {
protected:
    void SetUp() override {
        nvlocale::ResetDefaults();
        path = dir.File("t.dbf");
        dbftest::MakeTable(path, {{"NAME", "C", 8, 0},
                                  {"AMT", "N", 5, 2},
                                  {"BIG", "N", 10, 2},
                                  {"BORN", "D", 8, 0},
                                  {"FLAG", "L", 1, 0},
                                  {"NOTES", "M", 10, 0},
                                  {"TIGHT", "N", 2, 2},
                                  {"PIC", "B", 10, 0}});
        t = std::make_unique<NVO_dBaseFld>(path, false, true, "");
        t->BlankRecord();
    }
    void TearDown() override { nvlocale::ResetDefaults(); }
    std::string Raw(int n) { return t->GetRaw(n); }
    TempDir dir;
    std::string path;
    std::unique_ptr<NVO_dBaseFld> t;
};

TEST_F(DbfFields, BlankRecordHoldsFormattedZeros) {
    EXPECT_EQ(t->RecordPointer()[0], ' ');
    EXPECT_EQ(Raw(1), "        ");
    EXPECT_EQ(Raw(2), " 0.00");
    EXPECT_EQ(Raw(3), "      0.00");
    EXPECT_EQ(Raw(7), " 0") << "a zero that does not fit its decimals";
    EXPECT_EQ(Raw(6), "          ") << "memo fields are not numbers to blank";
    for (int i = 0; i <= t->FieldCount(); ++i) EXPECT_TRUE(t->FieldChanged(i)) << i;
    EXPECT_TRUE(t->RecordModified());
    t->Append();  // such a table still takes new records
    EXPECT_EQ(t->RecordCount(), 1);
    t->Go(1);
    EXPECT_FALSE(t->FieldChanged(2));
    EXPECT_EQ(t->GetNumber(7), 0);
}

TEST_F(DbfFields, NumbersAreFormattedJustifiedAndRangeChecked) {
    EXPECT_TRUE(t->SetNumber(2, 12.5));
    EXPECT_EQ(Raw(2), "12.50");
    EXPECT_EQ(ErrorOf([&] { t->SetNumber(2, 123.5); }), "numeric value too big in field AMT - 123.50");
    EXPECT_EQ(Raw(2), "12.50") << "a failed store leaves the field";
    t->SetNumber(3, -3.14159);
    EXPECT_EQ(Raw(3), "     -3.14");
    EXPECT_NEAR(static_cast<double>(t->GetNumber(3)), -3.14, 1e-12);
    EXPECT_EQ(ErrorOf([&] { t->SetNumber(1, 1); }), "Field NAME is the incorrect type");
    EXPECT_THROW(t->SetNumber(3, INFINITY), ENorvaneError);

    // Text around the digits: blanks on either side are fine, anything else is reported.
    std::memcpy(t->RecordPointer() + t->FieldOffset(3), "12        ", 10);
    EXPECT_EQ(t->GetNumber(3), 12);
    std::memcpy(t->RecordPointer() + t->FieldOffset(3), "   1.2e2  ", 10);
    EXPECT_EQ(t->GetNumber(3), 120);
    t->PutRaw(3, "abc");
    EXPECT_EQ(Raw(3), "       abc");
    EXPECT_EQ(ErrorOf([&] { t->GetNumber(3); }), "Invalid numeric value in field t->BIG (abc)");
    t->PutRaw(3, "");
    EXPECT_EQ(t->GetNumber(3), 0);
    EXPECT_EQ(t->GetText(3), "0.00");

    // Display text in, in the user's locale.
    nvlocale::SetDecimalSeparator(',');
    EXPECT_TRUE(t->PutText(3, " 7,25 "));
    EXPECT_EQ(Raw(3), "      7.25");
    EXPECT_EQ(ErrorOf([&] { t->PutText(3, "7.x"); }), "Invalid Number value for field BIG");
    t->PutText(3, "");
    EXPECT_EQ(Raw(3), "      0.00");
    EXPECT_EQ(t->GetNumber(99), 0);
    EXPECT_FALSE(t->SetNumber(99, 1));
}

TEST_F(DbfFields, TextIsCutAndJustifiedByType) {
    t->PutRaw(1, "abcdefghijk");
    EXPECT_EQ(Raw(1), "abcdefgh");
    t->PutText(1, "ab");
    EXPECT_EQ(Raw(1), "ab      ");
    EXPECT_EQ(t->GetText(1), "ab");
    t->PutRaw(2, "1.5");
    EXPECT_EQ(Raw(2), "  1.5");
    EXPECT_EQ(t->GetText(2), "1.5");
    EXPECT_FALSE(t->PutRaw(0, "x"));
    EXPECT_EQ(t->GetRaw(9), "");
    EXPECT_EQ(t->FieldType(9), '\0');
}

TEST_F(DbfFields, DatesStoreAndDisplay) {
    EXPECT_EQ(t->GetDate(4), 0);
    EXPECT_EQ(t->GetText(4), "");
    EXPECT_TRUE(t->SetDate(4, 2453401));
    EXPECT_EQ(Raw(4), "20050130");
    EXPECT_EQ(t->GetDate(4), 2453401);
    EXPECT_EQ(t->GetDateByName("born"), 2453401);
    EXPECT_EQ(t->GetText(4), DBFDate.DayToText(2453401));
    EXPECT_TRUE(t->PutText(4, DBFDate.DayToText(2453402)));
    EXPECT_EQ(Raw(4), "20050131");
    EXPECT_FALSE(t->SetDate(1, 2453401));
    EXPECT_EQ(ErrorOf([&] { t->SetDate(4, -1); }), "Invalid Date value for field BORN");
    t->SetDate(4, 0);
    EXPECT_EQ(Raw(4), "        ");
    t->PutRaw(4, "2005xx30");
    EXPECT_EQ(ErrorOf([&] { t->GetDate(4); }), "Invalid date in field t->BORN (2005xx30)");
}

TEST_F(DbfFields, LogicalsReadWriteAndConvertFromText) {
    EXPECT_FALSE(t->GetLogical(5));
    EXPECT_EQ(t->GetText(5), "F");
    t->PutRaw(5, "?");
    EXPECT_FALSE(t->GetLogical(5));
    EXPECT_EQ(t->GetText(5), "F");
    t->PutText(5, "yes");
    EXPECT_EQ(Raw(5), "T");
    t->PutText(5, "no");
    EXPECT_EQ(Raw(5), "F");
    t->PutText(5, "2");
    EXPECT_EQ(Raw(5), "T");
    t->PutText(5, "0.5");
    EXPECT_EQ(Raw(5), "F");
    t->PutRaw(5, "j");
    EXPECT_TRUE(t->GetLogicalByName("FLAG"));
    EXPECT_EQ(ErrorOf([&] { t->PutText(5, "x"); }), "Invalid Logical value for field FLAG");
    EXPECT_EQ(Raw(5), "j");
    EXPECT_EQ(ErrorOf([&] { t->SetLogical(1, true); }), "Invalid Logical value for field NAME");
}

TEST_F(DbfFields, NamesAreFoundLikeTheFamilyFindsThem) {
    EXPECT_EQ(t->FieldNumber("NAME "), 1);
    EXPECT_EQ(t->FieldNumber("name"), 1);
    EXPECT_EQ(t->FieldNumber("t->NAME"), 0);
    EXPECT_EQ(t->FieldNumber("NAMEXXXXXXX"), 0);
    EXPECT_EQ(t->FieldNumber(" "), 0);
    EXPECT_EQ(t->FieldNumber("Notes"), 6);
    EXPECT_EQ(ErrorOf([&] { t->FieldDescriptor("XYZ"); }), "There is no field name " + path + "->XYZ");
    EXPECT_EQ(ErrorOf([&] { t->GetDateByName("amt"); }), "Field amt is the incorrect type");
    EXPECT_EQ(ErrorOf([&] { t->GetLogicalByName("NAME"); }), "Field NAME is the incorrect type");
    // N also takes the memo-number kinds; G takes B and M.
    EXPECT_NO_THROW(t->GetNumberByName("NOTES"));
    EXPECT_NO_THROW(t->CheckedDescriptor("PIC", 'N'));
    EXPECT_NO_THROW(t->CheckedDescriptor("notes", 'G'));
    EXPECT_THROW(t->CheckedDescriptor("BIG", 'G'), ENorvaneError);
    EXPECT_EQ(t->LastDescriptor(), &t->Descriptor(2)) << "the descriptor of the last lookup";
}

TEST_F(DbfFields, MemoFieldsShowTheirKindAndNeverLoseTextSilently) {
    EXPECT_EQ(t->GetText(8), "--binary--");
    t->SetNumber(8, 12);
    EXPECT_EQ(Raw(8), "        12");
    EXPECT_EQ(t->GetText(8), "--BINARY--");
    EXPECT_EQ(t->GetText(6), "") << "no block: empty memo, the memo file is not needed";
    t->PutText(6, "");
    EXPECT_EQ(Raw(6), "         0");
    // With a block number the memo file is needed: a clear error, never an empty text.
    t->SetNumber(6, 3);
    EXPECT_THROW(t->GetText(6), ENorvaneError);
    EXPECT_THROW(t->PutText(6, "hello"), ENorvaneError);
    EXPECT_EQ(Raw(6), "         3");
}

TEST_F(DbfFields, FillFromValuesLeavesTheTableAsItFoundIt) {
    t->PutText(1, "keep");
    t->ClearChanged();
    t->Go(-5);  // nothing current yet: the buffer is left alone
    std::vector<uint8_t> search(static_cast<std::size_t>(t->RecordLength()), 0);
    t->FillFromValues(search.data(), "name;amt;flag;born",
                      {TnvValue::Text("ann"), TnvValue::Number(1.5), TnvValue::Boolean(true), TnvValue()});
    std::string s(search.begin(), search.end());
    EXPECT_EQ(s.substr(0, 9), " ann     ");
    EXPECT_EQ(s.substr(9, 5), " 1.50");
    EXPECT_EQ(s.substr(32, 1), "T");
    EXPECT_EQ(s.substr(24, 8), "        ");
    EXPECT_EQ(t->RecordPointer(), t->RecordBuffer());
    EXPECT_EQ(Raw(1), "keep    ");
    EXPECT_FALSE(t->FieldChanged(1));

    t->FillFromValues(search.data(), "BIG", TnvValue::Number(2));
    EXPECT_EQ(std::string(search.begin() + 14, search.begin() + 24), "      2.00");

    EXPECT_THROW(t->FillFromValues(search.data(), "flag", TnvValue::Text("x")), ENorvaneError);
    EXPECT_THROW(t->FillFromValues(search.data(), "nope", TnvValue::Text("x")), ENorvaneError);
    EXPECT_EQ(t->RecordPointer(), t->RecordBuffer()) << "restored after a failed conversion";
    EXPECT_FALSE(t->FieldChanged(1));
    EXPECT_EQ(Raw(1), "keep    ");
}

class DbfVfpFields : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.File("v.dbf");
        std::filesystem::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_vfp.dbf", path);
        t = std::make_unique<NVO_dBaseFld>(path, false, true, "");
        t->Go(2);
    }
    TempDir dir;
    std::string path;
    std::unique_ptr<NVO_dBaseFld> t;
};

TEST_F(DbfVfpFields, BinaryKindsDecodeEncodeAndRangeCheck) {
    const int kNotes = 5, kQty = 6, kStamp = 7, kPrice = 8, kWeight = 9;
    EXPECT_TRUE(t->IsMemoField(kNotes));
    EXPECT_FALSE(t->IsMemoField(kWeight)) << "B is a double in this kind of table";
    EXPECT_EQ(t->GetNumber(kQty), 52629);
    EXPECT_EQ(t->GetText(kQty), "52629");
    EXPECT_EQ(t->GetText(kPrice), "682.0063");
    EXPECT_EQ(t->GetText(kWeight), "-0.271960172385473");

    t->SetNumber(kQty, -7.9);
    EXPECT_EQ(t->GetNumber(kQty), -7);
    EXPECT_EQ(ErrorOf([&] { t->SetNumber(kQty, 3e9); }), "numeric value too big in field QTY - 3000000000");
    EXPECT_EQ(t->GetNumber(kQty), -7);
    EXPECT_THROW(t->SetNumber(kPrice, 1e30), ENorvaneError);
    std::memset(t->RecordPointer() + t->FieldOffset(kQty), ' ', 4);
    EXPECT_EQ(t->GetNumber(kQty), 0) << "four blanks";

    t->SetNumber(kPrice, 12.3456);
    EXPECT_EQ(nvbytes::LoadLE64(t->RecordPointer() + t->FieldOffset(kPrice)), 123456u);
    t->SetNumber(kPrice, -0.00016);
    EXPECT_EQ(static_cast<int64_t>(nvbytes::LoadLE64(t->RecordPointer() + t->FieldOffset(kPrice))), -2);
    t->SetNumber(kWeight, 0.1);
    EXPECT_EQ(t->GetNumber(kWeight), static_cast<long double>(0.1));

    // Date-time: 2001-02-03 04:05:06 as the dump shows it.
    long double stamp = t->GetNumber(kStamp);
    const uint8_t* p = t->RecordPointer() + t->FieldOffset(kStamp);
    int32_t day = static_cast<int32_t>(nvbytes::LoadLE32(p));
    EXPECT_EQ(DBFDate.DayToStor(day), "20010203");
    EXPECT_EQ(nvbytes::LoadLE32(p + 4), uint32_t((4 * 3600 + 5 * 60 + 6) * 1000));
    t->SetNumber(kStamp, 0);
    EXPECT_EQ(nvbytes::LoadLE64(p), 0u);
    EXPECT_EQ(t->GetNumber(kStamp), 0);
    EXPECT_EQ(t->GetText(kStamp), "");
    t->SetNumber(kStamp, stamp);
    EXPECT_EQ(static_cast<int32_t>(nvbytes::LoadLE32(p)), day);
    EXPECT_EQ(t->GetText(kStamp), DBFDate.DayToText(day) + " 04:05:06");
    EXPECT_TRUE(t->PutText(kStamp, DBFDate.DayToText(day + 1) + " 23:59"));
    EXPECT_EQ(static_cast<int32_t>(nvbytes::LoadLE32(p)), day + 1);
    EXPECT_EQ(nvbytes::LoadLE32(p + 4), uint32_t((23 * 3600 + 59 * 60) * 1000));

    t->BlankRecord();
    EXPECT_EQ(nvbytes::LoadLE32(t->RecordPointer() + t->FieldOffset(kNotes)), 0u);
    EXPECT_EQ(nvbytes::LoadLE64(p), 0u);
    EXPECT_EQ(t->GetNumber(kWeight), 0);
    EXPECT_EQ(t->GetRaw(2), "      0.00");
}

TEST(DbfVfpMemoFlag, WithoutTheMemoBitThereIsNoMemoFile) {
    TempDir dir;
    std::string path = dir.File("nomemo.dbf");
    std::filesystem::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_vfp.dbf", path);
    auto bytes = dbftest::ReadAll(path);
    bytes[28] &= static_cast<uint8_t>(~nvdbf::kFlagMemo);
    dbftest::WriteAll(path, bytes);
    NVO_dBaseFld t(path, false, true, "");
    EXPECT_FALSE(t.HasMemo());
    EXPECT_EQ(t.MemoFile(), nullptr);
    t.Go(2);
    EXPECT_EQ(t.GetText(5), "");
    EXPECT_EQ(ErrorOf([&] { t.PutText(5, "text"); }),
              "Table " + path + " has no memo file for field NOTES");
}

}  // namespace
