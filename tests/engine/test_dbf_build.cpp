// Table builders: the bytes of new tables and memo files, and that our reader opens them.
#include <gtest/gtest.h>

#include <filesystem>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_fld.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

using dbftest::ReadAll;
using dbftest::TempDir;

namespace {

class DbfBuild : public ::testing::Test {
protected:
    void SetUp() override {
        nvlocale::LocalDateTime fixed{2026, 3, 7, 10, 20, 30, 400};
        nvlocale::SetClockForTesting(&fixed);
    }
    void TearDown() override { nvlocale::SetClockForTesting(nullptr); }
    TempDir dir;
};

TEST_F(DbfBuild, DbaseThreeTableAndMemoFileByteForByte) {
    std::string path = dir.File("people.dbf");
    {
        NVO_DBFBuild b(path);
        b.AddField("name", "C", 30, 0);
        b.AddField("AGE", "n", 3, 0);
        b.AddField("NOTES", "M", 99, 5);
        b.Build();
    }
    auto t = ReadAll(path);
    ASSERT_EQ(t.size(), 32u * 3 + 34);
    EXPECT_EQ(t[0], 0x83);
    EXPECT_EQ(t[1], 26);
    EXPECT_EQ(t[2], 3);
    EXPECT_EQ(t[3], 7);
    EXPECT_EQ(nvbytes::LoadLE32(t.data() + 4), 0u);
    EXPECT_EQ(nvbytes::LoadLE16(t.data() + 8), 129);
    EXPECT_EQ(nvbytes::LoadLE16(t.data() + 10), 44);
    for (int i = 12; i < 32; ++i) EXPECT_EQ(t[i], 0) << i;
    auto descriptor = [&](int i) { return std::vector<uint8_t>(t.begin() + 32 * i, t.begin() + 32 * i + 32); };
    std::vector<uint8_t> name(32, 0);
    std::memcpy(name.data(), "NAME", 4);
    name[11] = 'C';
    name[16] = 30;
    EXPECT_EQ(descriptor(1), name);
    std::vector<uint8_t> age(32, 0);
    std::memcpy(age.data(), "AGE", 3);
    age[11] = 'N';
    age[16] = 3;
    EXPECT_EQ(descriptor(2), age);
    std::vector<uint8_t> notes(32, 0);
    std::memcpy(notes.data(), "NOTES", 5);
    notes[11] = 'M';
    notes[16] = 10;
    EXPECT_EQ(descriptor(3), notes);
    EXPECT_EQ(t[128], 0x0D);
    EXPECT_EQ(t[129], 0x1A);

    auto m = ReadAll(dir.File("people.dbt"));
    ASSERT_EQ(m.size(), 513u);
    std::vector<uint8_t> memo(513, 0);
    memo[0] = 1;
    std::memcpy(memo.data() + 8, "people", 6);
    memo[512] = 0x1A;
    EXPECT_EQ(m, memo);

    NVO_dBaseFld r(path, false, false, "");
    EXPECT_EQ(r.FieldCount(), 3);
    EXPECT_EQ(r.RecordCount(), 0);
    EXPECT_EQ(r.FieldOffset(2), 31);
    EXPECT_EQ(r.FieldType(3), 'M');
    EXPECT_TRUE(r.HasMemo());
}

TEST_F(DbfBuild, MemoHeadersOfTheOtherTwoStyles) {
    {
        NVO_DB4Build b(dir.File("Four"));
        b.AddField("MEMOFIELD", "m", 0, 0);
        b.Build();
        EXPECT_EQ(b.FileName(), dir.File("Four.DBF"));
    }
    EXPECT_EQ(ReadAll(dir.File("Four.DBF"))[0], 0x8B);
    std::vector<uint8_t> db4(24, 0);
    db4[0] = 1;
    std::memcpy(db4.data() + 8, "Four", 4);
    db4[18] = 2;
    db4[19] = 1;
    db4[21] = 2;  // 512, little-endian
    EXPECT_EQ(ReadAll(dir.File("Four.DBT")), db4);

    {
        NVO_DBFoxBuild b(dir.File("fox.dbf"));
        b.AddField("PIC", "G", 4, 0);
        b.Build();
    }
    EXPECT_EQ(ReadAll(dir.File("fox.dbf"))[0], 0xF5);
    std::vector<uint8_t> fpt(512, 0);
    fpt[3] = 8;
    fpt[7] = 64;
    EXPECT_EQ(ReadAll(dir.File("fox.fpt")), fpt);

    // A long base name is cut to 8 in the dBase IV header.
    {
        NVO_DB4Build b(dir.File("longername.dbf"));
        b.AddField("M", "M", 10, 0);
    }  // built on destruction, with the dBase IV memo file
    auto m = ReadAll(dir.File("longername.dbt"));
    ASSERT_EQ(m.size(), 24u);
    EXPECT_EQ(std::string(m.begin() + 8, m.begin() + 16), "longerna");
}

TEST_F(DbfBuild, FieldDefinitionsAndNoMemoWithoutMemoFields) {
    for (int kind = 0; kind < 3; ++kind) {
        std::string path = dir.File("plain" + std::to_string(kind) + ".dbf");
        {
            std::unique_ptr<NVO_DBFBuild> b;
            if (kind == 0) b = std::make_unique<NVO_DBFBuild>(path);
            if (kind == 1) b = std::make_unique<NVO_DB4Build>(path);
            if (kind == 2) b = std::make_unique<NVO_DBFoxBuild>(path);
            b->AddField("TWELVECHARSX", "C", 300, 0);
            b->AddField("", "C", 5, 0);  // ignored
            b->AddField("WHEN", "date", 3, 3);
            b->AddField("OK", "l", 9, 9);
            b->AddField("PRICE", "N", 10, 2);
            b->Build();
            EXPECT_EQ(b->RecordLength(), 1 + 300 + 8 + 1 + 10);
        }
        auto t = ReadAll(path);
        EXPECT_EQ(t[0], 0x03);
        EXPECT_EQ(std::string(t.begin() + 32, t.begin() + 43), std::string("TWELVECHAR\0", 11));
        EXPECT_EQ(t[32 + 16], 44);
        EXPECT_EQ(t[32 + 17], 1);
        EXPECT_FALSE(std::filesystem::exists(dir.File("plain" + std::to_string(kind) + ".dbt")));
        EXPECT_FALSE(std::filesystem::exists(dir.File("plain" + std::to_string(kind) + ".fpt")));

        NVO_dBaseFld r(path, false, false, "");
        EXPECT_EQ(r.FieldLength(1), 300);
        EXPECT_EQ(r.FieldDecimals(1), 0);
        EXPECT_EQ(r.FieldType(2), 'D');
        EXPECT_EQ(r.FieldLength(2), 8);
        EXPECT_EQ(r.FieldLength(3), 1);
        EXPECT_EQ(r.FieldDecimals(4), 2);
        EXPECT_FALSE(r.HasMemo());
    }
}

TEST_F(DbfBuild, TheLanguageDriverByteIsWrittenAndSurvivesRecordWrites) {
    const std::string path = dir.File("coded.dbf");
    {
        NVO_DBFoxBuild b(path);
        EXPECT_EQ(b.LanguageDriver(), 0);
        b.SetLanguageDriver(0x02);  // code page 850
        b.AddField("NAME", "C", 10, 0);
        b.Build();
    }
    EXPECT_EQ(ReadAll(path)[29], 0x02);
    {
        NVO_dBaseFld t(path, false, true, "");
        t.BlankRecord();
        t.PutText(1, "x");
        t.Append();
    }
    EXPECT_EQ(ReadAll(path)[29], 0x02);
}

TEST_F(DbfBuild, DisabledBuilderCreatesNothingAndOverlongRecordsAreRefused) {
    {
        NVO_DBFBuild b(dir.File("none.dbf"));
        b.AddField("A", "C", 1, 0);
        b.SetCreateEnabled(false);
        b.Build();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("none.dbf")));

    NVO_DBFBuild b(dir.File("huge.dbf"));
    b.AddField("A", "C", 65535, 0);
    b.AddField("B", "C", 10, 0);
    EXPECT_THROW(b.Build(), ENorvaneError);
    b.SetCreateEnabled(false);
    EXPECT_FALSE(std::filesystem::exists(dir.File("huge.dbf")));
}

}  // namespace
