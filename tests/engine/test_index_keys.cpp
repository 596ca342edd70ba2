// Key length of character tags: it comes from the key expression (field widths, the sum of
// a concatenation), not from the record the tag happened to be created on, and every key
// is cut or padded to it, in builds and in edits alike.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "index_support.h"
#include "nv6_mdx.h"
#include "nv6_ndx.h"
#include "nv_test_errors.h"

namespace {

using dbftest::TempDir;

// NAME C `width` holding `count` names; record 1's name is `first`.
void MakeTable(const std::string& path, int width, int count, const std::string& first) {
    ixtest::MakeNames(path, width, count, [&](int n) {
        if (n == 1) return first;
        return ixtest::Scattered(n, width - 1 - n % 7);
    });
}

// The key each record should have: `key` of its NAME without trailing blanks, cut to `length`.
std::vector<std::pair<std::string, int32_t>> ExpectedKeys(NVO_dBHandler& t, int length,
                                                          const std::function<std::string(std::string)>& key) {
    std::vector<std::pair<std::string, int32_t>> rows = ixtest::Expected(t);
    for (auto& row : rows) {
        std::string k = key(row.first).substr(0, static_cast<std::size_t>(length));
        while (!k.empty() && k.back() == ' ') k.pop_back();
        row.first = k;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return rows;
}

void EditEveryThird(NVO_dBHandler& t, const std::string& index, int width) {
    ixtest::OpenIndex open(t, index, 1);
    ASSERT_TRUE(open.file);
    for (int32_t r = 1; r <= t.RecordCount(); r += 3) {
        t.Go(r);
        t.PutRaw(1, ixtest::Scattered(r * 31 + 7, width - 2));
        t.WriteRecord(r);
    }
    t.SetIndexFile(1, nullptr);
}

// NAME+NAME is 120 characters; the formats keep at most 100. The NDX build used to fail
// ("Sort key length must be 1-101 bytes") and the MDX tag kept old entries after edits.
TEST(IndexKeys, KeysLongerThanTheFormatAllowsAreCutInBuildsAndEdits) {
    for (const char* ext : {"ndx", "mdx"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        const std::string dbf = dir.File("l.dbf");
        MakeTable(dbf, 60, 400, ixtest::Scattered(1, 60));
        NVO_dBHandler t(dbf, false, true, "");
        const std::string index = dir.File(std::string("l.") + ext);
        ixtest::Build(t, index, "LONG", "NAME+NAME");
        auto twice = [](std::string name) {
            std::string padded = name + std::string(60 - name.size(), ' ');
            return padded + padded;
        };
        ixtest::ExpectTree(index, ExpectedKeys(t, 100, twice));
        EditEveryThird(t, index, 60);
        ixtest::ExpectTree(index, ExpectedKeys(t, 100, twice));
    }
}

// The tag is created while the table stands on a record whose name is one letter: the key
// length is still the field's width plus one.
TEST(IndexKeys, AVaryingKeyTakesItsLengthFromTheExpression) {
    for (const char* ext : {"ndx", "mdx", "cdx", "ntx"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        const std::string dbf = dir.File("v.dbf");
        MakeTable(dbf, 20, 300, "A");
        NVO_dBHandler t(dbf, false, true, "");
        t.Go(1);
        const std::string index = dir.File(std::string("v.") + ext);
        ixtest::Build(t, index, "TRIMMED", "TRIM(NAME)+'|'");
        {
            auto file = NvOpenIndexFile(&t.IndexTable(), index, false, false, false);
            ASSERT_TRUE(file);
            EXPECT_EQ(file->TagByNumber(0)->keyLength, 21);
        }
        auto bar = [](std::string name) { return name + "|"; };
        ixtest::ExpectTree(index, ExpectedKeys(t, 21, bar));
        EditEveryThird(t, index, 20);
        ixtest::ExpectTree(index, ExpectedKeys(t, 21, bar));
    }
}

// A table NAME C 8, AGE N 3 with five records, ages 10 to 50.
std::string MakeAges(TempDir& dir) {
    const std::string path = dir.File("a.dbf");
    dbftest::MakeTable(path, {{"NAME", "C", 8, 0}, {"AGE", "N", 3, 0}});
    NVO_dBHandler t(path, false, true, "");
    const char* const names[] = {"C", "B", "A", "D", "E"};
    for (int i = 0; i < 5; ++i) {
        t.BlankRecord();
        t.PutRaw(1, names[i]);
        t.SetNumber(2, 10 * (i + 1));
        t.Append();
    }
    return path;
}

void SetAge(NVO_dBHandler& t, int32_t record, int age) {
    t.Go(record);
    t.SetNumber(2, age);
    t.WriteRecord(record);
}

// A tag whose key cannot be evaluated any more stops the rebuild; the file keeps every tag.
TEST(MdxSafety, AReindexThatFailsLeavesEveryTag) {
    TempDir dir;
    NVO_dBHandler t(MakeAges(dir), false, true, "");
    auto file = NVobjMDXFile::Open(&t.IndexTable(), dir.File("a.mdx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(file->TagAdd("INV", "100/AGE", false, true, ""));
    file->Close();
    // Not maintained: the file is in no slot.
    SetAge(t, 4, 0);
    const auto before = dbftest::ReadAll(dir.File("a.mdx"));
    EXPECT_NE(nvtest::ErrorOf([&] { file->Reindex(); }), "");
    EXPECT_EQ(dbftest::ReadAll(dir.File("a.mdx")), before);
    ASSERT_EQ(file->TagCount(), 2);
    EXPECT_EQ(nvtest::WalkRecords(nvtest::WalkTag(*file->TagByName("NAME"))), (std::vector<int32_t>{3, 2, 1, 4, 5}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")), {}), 2);
    SetAge(t, 4, 40);
    file->Reindex();
    EXPECT_EQ(nvtest::WalkRecords(nvtest::WalkTag(*file->TagByName("INV"))), (std::vector<int32_t>{5, 4, 3, 2, 1}));
    file.reset();
    EXPECT_TRUE(nvtest::CheckIndexTrees(dir.File("a.mdx")).Ok());
}

// The old tag of a name is kept until the new one is built; names that do not fit the
// directory are refused rather than cut (two long names would replace each other).
TEST(MdxSafety, ReplacingATagKeepsTheOldOneUntilTheNewOneIsBuilt) {
    TempDir dir;
    NVO_dBHandler t(MakeAges(dir), false, true, "");
    auto file = NVobjMDXFile::Open(&t.IndexTable(), dir.File("a.mdx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    file->Close();
    SetAge(t, 2, 0);
    const auto before = dbftest::ReadAll(dir.File("a.mdx"));
    EXPECT_NE(nvtest::ErrorOf([&] { file->TagAdd("NAME", "100/AGE", false, true, ""); }), "");
    file->Close();
    EXPECT_EQ(dbftest::ReadAll(dir.File("a.mdx")), before);
    ASSERT_EQ(file->TagCount(), 1);
    EXPECT_EQ(nvtest::WalkRecords(nvtest::WalkTag(*file->TagByName("NAME"))), (std::vector<int32_t>{3, 2, 1, 4, 5}));

    EXPECT_EQ(nvtest::ErrorOf([&] { file->TagAdd("CUSTOMERS_A", "NAME", false, true, ""); }),
              "Tag name CUSTOMERS_A must have 1 to 10 characters");
    EXPECT_NE(nvtest::ErrorOf([&] { file->TagAdd("CUSTOMERS_B", "AGE", false, true, ""); }), "");
    EXPECT_EQ(file->TagCount(), 1);
    ASSERT_TRUE(file->TagAdd("CUSTOMERSA", "AGE", false, false, ""));
    EXPECT_EQ(nvtest::WalkRecords(nvtest::WalkTag(*file->TagByName("CUSTOMERSA"))), (std::vector<int32_t>{5, 4, 3, 1, 2}));
}

// A build that fails leaves no single-tag index: the engine empties the file it was given,
// the command-line tool removes the file it made.
TEST(IndexKeys, AFailedSingleTagBuildLeavesNoIndex) {
    for (const char* ext : {"ndx", "ntx"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        NVO_dBHandler t(MakeAges(dir), false, true, "");
        SetAge(t, 3, 0);
        const std::string index = dir.File(std::string("f.") + ext);
        auto file = NvOpenIndexFile(&t.IndexTable(), index, true, true, false);
        EXPECT_NE(nvtest::ErrorOf([&] { file->TagAdd("F", "STR(100/AGE)", false, true, ""); }), "");
        EXPECT_EQ(file->TagCount(), 0);
        file.reset();
        EXPECT_EQ(dbftest::ReadAll(index).size(), 0u);
    }
}

}  // namespace
