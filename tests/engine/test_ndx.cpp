// NDX files on disk: header and page bytes, keys through splits, reopening, dates and Zap.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_glbl.h"
#include "nv6_ndx.h"
#include "nv_page_builder.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;

// A table with no records whose key expression yields one fixed sample value.
class SampleTable : public TnvIndexTable {
public:
    class Sample : public TnvIndexExpression {
    public:
        explicit Sample(SampleTable* t) : table(t) {}
        std::string Text() const override { return "KEYEXPR"; }
        void Evaluate(TnvVariant& result) override { result = table->sample; }
        SampleTable* table;
    };
    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view, int16_t) override {
        return std::make_unique<Sample>(this);
    }
    int32_t RecordNumber() const override { return 0; }
    int32_t RecordCount() const override { return 0; }
    bool ExactMatch() const override { return true; }
    bool HasOldRecord() const override { return false; }
    bool RecordModified() const override { return false; }
    void UseOldRecord(bool) override {}
    std::string Directory() const override { return dir; }
    bool Enciphered() const override { return !readPassword.empty() || !writePassword.empty(); }
    std::string ReadPassword() const override { return readPassword; }
    std::string WritePassword() const override { return writePassword; }

    TnvVariant sample;
    std::string readPassword, writePassword;
    std::string dir;
};

NVobjIndexKeyData Text(std::string_view s, int32_t record) {
    NVobjIndexKeyData k;
    k.PutString(s);
    k.reference = record;
    return k;
}

std::unique_ptr<NVobjNDXFile> Make(SampleTable& table, const std::string& path, const TnvVariant& sample,
                                   bool unique = false) {
    table.sample = sample;
    auto file = NVobjNDXFile::Open(&table, path, true, true, false);
    EXPECT_TRUE(file);
    EXPECT_TRUE(file->TagAdd("X", "KEYEXPR", unique, true, ""));
    return file;
}

TEST(Ndx, EmptyTagBytesAndEntryGeometry) {
    TempDir dir;
    SampleTable table;
    TnvVariant ten;
    ten.PutString("ABCDEFGHIJ");
    {
        auto file = Make(table, dir.File("ten.ndx"), ten);
        NVobjNDXTag* tag = file->Tag();
        EXPECT_EQ(tag->entryLength, 20);
        EXPECT_EQ(tag->maxEntries, 25);
        EXPECT_EQ(tag->tagName, "ten");
    }
    auto bytes = ReadAll(dir.File("ten.ndx"));
    ASSERT_EQ(bytes.size(), 1024u);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[0]), 1u);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[4]), 2u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[12]), 10);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[14]), 25);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[16]), 0);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[18]), 20);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[24])), "KEYEXPR");
    // A bare name is looked for in the table's directory; a missing file gives none.
    table.dir = dir.File("");
    auto again = NVobjNDXFile::Open(&table, " ten ", false, false, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->FileName(), "ten.ndx");
    EXPECT_EQ(again->Tag()->maxEntries, 25);
    EXPECT_FALSE(NVobjNDXFile::Open(&table, "absent", false, false, false));

    TnvVariant seven, number, date;
    seven.PutString("ABCDEFG");
    number.PutNumber(3);
    date.PutDate(2451545);
    auto f7 = Make(table, dir.File("seven"), seven);
    EXPECT_EQ(f7->Tag()->entryLength, 16);
    EXPECT_EQ(f7->Tag()->maxEntries, 31);
    auto fn = Make(table, dir.File("num.ndx"), number);
    EXPECT_EQ(fn->Tag()->entryLength, 20);
    EXPECT_EQ(fn->Tag()->maxEntries, 25);
    auto fd = Make(table, dir.File("day.ndx"), date);
    EXPECT_EQ(fd->Tag()->entryLength, 16);
    EXPECT_EQ(fd->Tag()->maxEntries, 31);
    fn.reset();
    auto nb = ReadAll(dir.File("num.ndx"));
    EXPECT_EQ(nvbytes::LoadLE16(&nb[12]), 8);
    EXPECT_EQ(nvbytes::LoadLE16(&nb[16]), 1);
    EXPECT_EQ(nvbytes::LoadLE16(&nb[18]), 20);
}

TEST(Ndx, ManyKeysSurviveReopenAndSeek) {
    TempDir dir;
    SampleTable table;
    TnvVariant sample;
    sample.PutString("KEY0000000");
    const int n = 3000;
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    auto name = [](int i) {
        char b[16];
        std::snprintf(b, sizeof b, "KEY%07d", i);
        return std::string(b);
    };
    {
        auto file = Make(table, dir.File("big.ndx"), sample);
        for (int i : order) {
            NVobjIndexKeyData k = Text(name(i), i + 1);
            ASSERT_TRUE(file->Tag()->KeyAdd(k));
        }
        // Two records with the same key stay in insertion order.
        NVobjIndexKeyData dup = Text(name(7), 9001);
        file->Tag()->KeyAdd(dup);
    }
    auto file = NVobjNDXFile::Open(&table, dir.File("big"), false, false, false);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->corrupt);
    NVobjNDXTag* tag = file->Tag();
    EXPECT_EQ(tag->root, 1);
    int count = 0;
    std::string last;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) {
        std::string key = tag->currentKey.AsString();
        EXPECT_LE(last, key);
        if (count == 8) {
            EXPECT_EQ(r, 9001);
        }
        last = key;
        ++count;
    }
    EXPECT_EQ(count, n + 1);
    int back = 0;
    for (int32_t r = tag->TagMove(-4); r != 0; r = tag->TagMove(-2)) ++back;
    EXPECT_EQ(back, n + 1);
    for (int i = 0; i < n; i += 97) EXPECT_EQ(tag->KeyFind(Text(name(i), i + 1)), i + 1);
    EXPECT_EQ(tag->KeyFind(Text(name(7), 9001)), 9001);
    EXPECT_EQ(tag->KeyFind(Text("KEY9", -1)), 0);
    EXPECT_TRUE(tag->AtEOF());
    tag->PageRelease();
    auto bytes = ReadAll(dir.File("big.ndx"));
    EXPECT_EQ(bytes.size() % 512, 0u);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[4]) * 512u, bytes.size());
}

TEST(Ndx, BlankDatesSortLastAndUniqueRefusesDuplicates) {
    TempDir dir;
    SampleTable table;
    TnvVariant date;
    date.PutDate(2451545);
    auto file = Make(table, dir.File("d.ndx"), date, true);
    NVobjNDXTag* tag = file->Tag();
    ASSERT_EQ(tag->keyType, 'D');
    for (int i = 0; i < 100; ++i) {
        NVobjIndexKeyData k;
        k.PutDate(i % 10 == 0 ? 0 : 2451545 + (i * 37) % 1000);
        k.reference = i + 1;
        tag->KeyAdd(k);
    }
    std::vector<double> seen;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) seen.push_back(tag->currentKey.AsNumber());
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 1e100);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1e100), 1);  // unique: one blank date
    NVobjIndexKeyData blank;
    blank.PutDate(0);
    blank.reference = -1;
    EXPECT_EQ(tag->KeyFind(blank), 1);
}

TEST(Ndx, NumericKeysOrderAndSeekExactly) {
    TempDir dir;
    SampleTable table;
    TnvVariant number;
    number.PutNumber(1);
    {
        auto file = Make(table, dir.File("n.ndx"), number);
        for (int i = 0; i < 300; ++i) {
            NVobjIndexKeyData k;
            k.PutNumber((i * 7919 % 300 - 150) * 0.25);
            k.reference = i + 1;
            file->Tag()->KeyAdd(k);
        }
    }
    auto file = NVobjNDXFile::Open(&table, dir.File("n.ndx"), false, false, false);
    NVobjNDXTag* tag = file->Tag();
    EXPECT_EQ(tag->keyType, 'N');
    EXPECT_EQ(tag->entryLength, 20);
    std::vector<double> seen;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) seen.push_back(tag->currentKey.AsNumber());
    ASSERT_EQ(seen.size(), 300u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.front(), -37.5);
    NVobjIndexKeyData probe;
    probe.PutNumber(-0.25);
    probe.reference = -1;
    EXPECT_NE(tag->KeyFind(probe), 0);
    EXPECT_EQ(tag->currentKey.AsNumber(), -0.25);
    probe.PutNumber(-0.3);
    EXPECT_EQ(tag->KeyFind(probe), 0);
    EXPECT_EQ(tag->currentKey.AsNumber(), -0.25);
}

TEST(Ndx, BottomUpBuildFillsPagesAndStaysMaintainable) {
    TempDir dir;
    SampleTable table;
    TnvVariant sample;
    sample.PutString("B000000000");
    auto file = Make(table, dir.File("b.ndx"), sample);
    NVobjNDXTag* tag = file->Tag();
    file->Zap();
    file->nextPage = 1;
    {
        NVobjPageBuilder builder(tag);
        for (int i = 0; i < 1000; ++i) {
            TnvVariant k;
            k.PutString("B" + std::to_string(100000000 + i * 2).substr(0, 9));
            builder.Add(k, i + 1);
        }
        builder.Finish();
    }
    tag->TagStore();
    // 40 full leaves, interior pages of 25 and 15 entries, the root: 43 pages after the header.
    EXPECT_EQ(ReadAll(dir.File("b.ndx")).size(), 44u * 512u);
    EXPECT_EQ(tag->root, 43);
    int n = 0;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) EXPECT_EQ(r, ++n);
    EXPECT_EQ(n, 1000);
    for (int i = 0; i < 1000; i += 111) {
        NVobjIndexKeyData k = Text("B" + std::to_string(100000000 + i * 2).substr(0, 9), i + 1);
        EXPECT_EQ(tag->KeyFind(k), i + 1);
    }
    NVobjIndexKeyData extra = Text("B10000000", 5000);
    EXPECT_TRUE(tag->KeyAdd(extra));
    n = 0;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) ++n;
    EXPECT_EQ(n, 1001);

    NVobjPageBuilder none(tag);
    EXPECT_GT(none.Finish(), 43);
    EXPECT_EQ(tag->TagMove(-3), 0);
}

// The build writes pages in place; the page-object builder is the reference for the blocks,
// their order (addresses) and the shape at every way a level can end: no key, one, a full
// page, one over, a last page under half full taking entries from the one before, and a
// third level whose own last page is short.
TEST(Ndx, InPlaceBuilderWritesTheSameBlocksAsThePageBuilder) {
    TempDir dir;
    SampleTable table;
    for (bool numbers : {false, true}) {
        TnvVariant sample;
        if (numbers)
            sample.PutNumber(1);
        else
            sample.PutString("K0000000");
        auto a = Make(table, dir.File("a.ndx"), sample);
        auto b = Make(table, dir.File("b.ndx"), sample);
        NVobjNDXTag* ta = a->Tag();
        NVobjNDXTag* tb = b->Tag();
        const int m = ta->maxEntries;
        for (int n : {0, 1, 2, m - 1, m, m + 1, m + m / 2, 2 * m + 1, m * m + 1, 2 * m * m + m / 3}) {
            SCOPED_TRACE(std::to_string(n) + (numbers ? " numbers" : " text"));
            a->Zap();
            b->Zap();
            a->nextPage = b->nextPage = 1;
            NVobjPageBuilder pages(ta);
            NVobjBlockBuilder blocks(tb, tb->BlockLayout(), [tb](int32_t at, uint8_t* block, int count, bool interior) {
                tb->WriteBlock(at, block, count, interior);
            });
            for (int i = 0; i < n; ++i) {
                TnvVariant k;
                if (numbers)
                    k.PutNumber(i * 0.5 - 100);
                else
                    k.PutString("K" + std::to_string(1000000 + i));
                pages.Add(k, i + 1);
                tb->StoreKey(k, blocks.AddLeaf(i + 1));
            }
            EXPECT_EQ(pages.Finish(), blocks.Finish());
            ta->TagStore();
            tb->TagStore();
            EXPECT_TRUE(ReadAll(dir.File("a.ndx")) == ReadAll(dir.File("b.ndx")));
        }
    }
}

TEST(Ndx, ZapEmptiesTheFileAndCorruptPagesRaise) {
    TempDir dir;
    SampleTable table;
    TnvVariant sample;
    sample.PutString("AB");
    auto file = Make(table, dir.File("z.ndx"), sample);
    for (int i = 0; i < 400; ++i) {
        NVobjIndexKeyData k = Text(std::to_string(1000 + i), i + 1);
        file->Tag()->KeyAdd(k);
    }
    file->Tag()->PageRelease();
    // A root whose key count cannot fit in a block.
    {
        auto bytes = ReadAll(dir.File("z.ndx"));
        auto patched = bytes;
        nvbytes::StoreLE16(&patched[512], 400);
        file->diskFile->WriteAt(0, patched.data(), static_cast<int64_t>(patched.size()));
        EXPECT_THROW(file->Tag()->TagMove(-3), ENorvaneError);
        file->diskFile->WriteAt(0, bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    file->Zap();
    EXPECT_EQ(ReadAll(dir.File("z.ndx")).size(), 1024u);
    EXPECT_EQ(file->Tag()->TagMove(-3), 0);
    EXPECT_TRUE(file->Tag()->AtEOF());
    NVobjIndexKeyData k = Text("QQ", 5);
    EXPECT_TRUE(file->Tag()->KeyAdd(k));
    EXPECT_EQ(file->Tag()->TagMove(-3), 5);
}

TEST(Ndx, EncipheredPagesReadBackAndRecryptChangesThePassword) {
    TempDir dir;
    SampleTable table;
    table.readPassword = table.writePassword = "secret";
    TnvVariant sample;
    sample.PutString("WORDWORDWO");
    {
        auto file = Make(table, dir.File("c.ndx"), sample);
        for (int i = 0; i < 200; ++i) {
            NVobjIndexKeyData k = Text("PLAINKEY" + std::to_string(100 + i), i + 1);
            file->Tag()->KeyAdd(k);
        }
    }
    auto raw = ReadAll(dir.File("c.ndx"));
    std::string text(raw.begin(), raw.end());
    EXPECT_EQ(text.find("PLAINKEY"), std::string::npos);
    EXPECT_EQ(text.find("KEYEXPR"), std::string::npos);
    auto walk = [&table, &dir] {
        auto file = NVobjNDXFile::Open(&table, dir.File("c.ndx"), false, false, false);
        int n = 0;
        for (int32_t r = file->Tag()->TagMove(-3); r != 0; r = file->Tag()->TagMove(-1)) ++n;
        return std::make_pair(n, file->Tag()->keyExpression);
    };
    EXPECT_EQ(walk(), std::make_pair(200, std::string("KEYEXPR")));
    {
        table.writePassword = "other";
        auto file = NVobjNDXFile::Open(&table, dir.File("c.ndx"), false, false, false);
        file->Recrypt();
    }
    table.readPassword = "other";
    EXPECT_EQ(walk(), std::make_pair(200, std::string("KEYEXPR")));
}

}  // namespace
