// MDX files: header, directory, tag header and page bytes, packed-decimal keys, tags of every
// kind built, maintained and reopened, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv_test_errors.h"
#include "nv6_mdx.h"
#include "nv6_os.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;

// A table held in memory: one key value per record, the record as last written for key
// maintenance, and FOR conditions (expressions whose text starts with "FOR") as a predicate.
class MemTable : public TnvIndexTable {
public:
    class Expr : public TnvIndexExpression {
    public:
        Expr(MemTable* t, std::string text) : table_(t), text_(std::move(text)) {}
        std::string Text() const override { return text_; }
        void Evaluate(TnvVariant& result) override {
            const TnvVariant& v = table_->Value();
            if (text_.rfind("FOR", 0) == 0)
                result.PutLogical(table_->forHolds(v) ? 1 : 0);
            else
                result = v;
        }

    private:
        MemTable* table_;
        std::string text_;
    };

    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view text, int16_t) override {
        return std::make_unique<Expr>(this, std::string(text));
    }
    const TnvVariant& Value() const {
        if (useOld) return old;
        if (current >= 1 && current <= static_cast<int32_t>(values.size())) return values[current - 1];
        return sample;
    }
    int32_t RecordNumber() const override { return current; }
    int32_t RecordCount() const override { return static_cast<int32_t>(values.size()); }
    bool ExactMatch() const override { return true; }
    bool HasOldRecord() const override { return hasOld; }
    bool RecordModified() const override { return true; }
    void UseOldRecord(bool value) override { useOld = value; }
    std::string Directory() const override { return dir; }
    std::string TableFileName() const override { return tablePath; }
    void MarkProductionIndex() override { ++marked; }

    // Record writes as the cursor makes them: the new value in place, the old one kept.
    void Append(NVobjIndexFile& file, const TnvVariant& value) {
        values.push_back(value);
        current = RecordCount();
        hasOld = true;
        old = value;
        file.RecordChanged(current, true);
    }
    void Edit(NVobjIndexFile& file, int32_t record, const TnvVariant& value) {
        old = values[record - 1];
        values[record - 1] = value;
        current = record;
        hasOld = true;
        file.RecordChanged(record, false);
        old = value;
    }

    std::vector<TnvVariant> values;
    TnvVariant sample;
    TnvVariant old;
    std::function<bool(const TnvVariant&)> forHolds = [](const TnvVariant&) { return true; };
    int32_t current = 0;
    bool hasOld = false;
    bool useOld = false;
    std::string dir;
    std::string tablePath;
    int marked = 0;
};

TnvVariant Str(std::string_view s) {
    TnvVariant v;
    v.PutString(s);
    return v;
}
TnvVariant Num(double d) {
    TnvVariant v;
    v.PutNumber(d);
    return v;
}
TnvVariant Day(int32_t d) {
    TnvVariant v;
    v.PutDate(d);
    return v;
}

std::vector<uint8_t> Packed(double value) {
    std::vector<uint8_t> out(12);
    NvMdxPackNumber(value, out.data());
    return out;
}

int Cmp(const TnvVariant& a, const TnvVariant& b) {
    int32_t position = 0;
    return a.Compare(&b, position, nullptr, -1);
}

using Walk = std::vector<std::pair<TnvVariant, int32_t>>;

Walk WalkTag(NVobjIndexTag& tag, bool backwards = false) {
    Walk walk;
    for (int32_t r = tag.TagMove(backwards ? -4 : -3); r != 0; r = tag.TagMove(backwards ? -2 : -1))
        walk.emplace_back(static_cast<const TnvVariant&>(tag.currentKey), r);
    if (backwards) std::reverse(walk.begin(), walk.end());
    return walk;
}

// Compares keys in order, and the records of each run of equal keys as a set. A unique tag
// holds each distinct key once, with one of the records that have it; after maintenance it
// may lack keys whose indexed record changed while another record still has them.
void ExpectSameOrder(const Walk& got, const Walk& want, bool unique, bool maintained = false) {
    auto runs = [](const Walk& w) {
        std::vector<std::pair<TnvVariant, std::multiset<int32_t>>> out;
        for (const auto& [key, rec] : w) {
            if (out.empty() || Cmp(out.back().first, key) != 0) out.push_back({key, {}});
            out.back().second.insert(rec);
        }
        return out;
    };
    auto a = runs(got);
    auto b = runs(want);
    if (unique) {
        if (!maintained) {
            EXPECT_EQ(a.size(), b.size());
        }
        std::size_t at = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            ASSERT_EQ(a[i].second.size(), 1u) << "a key twice: " << a[i].first.AsString();
            while (at < b.size() && Cmp(b[at].first, a[i].first) != 0) ++at;
            ASSERT_LT(at, b.size()) << "a key no record has, or out of order: " << a[i].first.AsString();
            EXPECT_TRUE(b[at].second.count(*a[i].second.begin())) << a[i].first.AsString();
        }
        return;
    }
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(Cmp(a[i].first, b[i].first), 0) << "run " << i << ": " << a[i].first.AsString();
        EXPECT_EQ(a[i].second, b[i].second) << "run " << i;
    }
}

// The tree as the bytes on disk have it: every page reached from the root, the leaf entries
// in order, and the checks of a sound tree (leaves at one depth, interior keys equal to the
// last key below them, the slot after a leaf's last key empty).
struct RawTree {
    std::vector<int32_t> pages;
    std::vector<std::vector<uint8_t>> keys;
    std::vector<int32_t> records;
    std::set<int> leafDepths;
};

std::vector<uint8_t> RawWalk(const std::vector<uint8_t>& bytes, int32_t block, const NVobjMDXTag& tag, int depth,
                             RawTree& tree) {
    const std::size_t at = static_cast<std::size_t>(block) * 512;
    EXPECT_LE(at + static_cast<std::size_t>(tag.pageSize), bytes.size());
    EXPECT_LT(depth, 10);
    if (at + static_cast<std::size_t>(tag.pageSize) > bytes.size() || depth >= 10) return {};
    const uint8_t* p = &bytes[at];
    const uint32_t n = nvbytes::LoadLE32(p);
    EXPECT_LE(n, static_cast<uint32_t>(tag.maxEntries));
    tree.pages.push_back(block);
    auto entry = [&](uint32_t i) { return p + 8 + i * static_cast<uint32_t>(tag.entryLength); };
    const bool leaf = nvbytes::LoadLE32(entry(n)) == 0;
    if (leaf) {
        tree.leafDepths.insert(depth);
        for (uint32_t i = 0; i < n; ++i) {
            tree.records.push_back(static_cast<int32_t>(nvbytes::LoadLE32(entry(i))));
            tree.keys.emplace_back(entry(i) + 4, entry(i) + 4 + tag.keyLength);
        }
        return n ? tree.keys.back() : std::vector<uint8_t>();
    }
    std::vector<uint8_t> last;
    for (uint32_t i = 0; i <= n; ++i) {
        last = RawWalk(bytes, static_cast<int32_t>(nvbytes::LoadLE32(entry(i))), tag, depth + 1, tree);
        if (i < n) {
            EXPECT_EQ(std::vector<uint8_t>(entry(i) + 4, entry(i) + 4 + tag.keyLength), last) << "page " << block;
        }
    }
    return last;
}

RawTree RawTreeOf(const std::string& path, const NVobjMDXTag& tag) {
    RawTree tree;
    auto bytes = ReadAll(path);
    RawWalk(bytes, tag.root, tag, 0, tree);
    EXPECT_EQ(tree.leafDepths.size(), 1u);
    return tree;
}

// The backward chain from the tag's last page: distinct blocks ending at its first page.
std::vector<int32_t> Chain(const std::string& path, const NVobjMDXTag& tag) {
    auto bytes = ReadAll(path);
    std::vector<int32_t> chain;
    std::set<int32_t> seen;
    for (int32_t block = tag.lastPage; block != 0;) {
        if (!seen.insert(block).second) {
            ADD_FAILURE() << "cycle at " << block;
            break;
        }
        chain.push_back(block);
        const std::size_t at = static_cast<std::size_t>(block) * 512 + 4;
        if (at + 4 > bytes.size()) {
            ADD_FAILURE() << "chain leaves the file at " << block;
            break;
        }
        block = static_cast<int32_t>(nvbytes::LoadLE32(&bytes[at]));
    }
    if (!chain.empty()) {
        EXPECT_EQ(chain.back(), tag.firstPage);
    }
    return chain;
}

void ExpectChainCoversTree(const std::string& path, const NVobjMDXTag& tag) {
    auto chain = Chain(path, tag);
    std::set<int32_t> inChain(chain.begin(), chain.end());
    for (int32_t page : RawTreeOf(path, tag).pages) EXPECT_TRUE(inChain.count(page)) << "page " << page;
}

std::string TodayBytes() {
    int y, m, d;
    DBFDate.DayToYMD(DBFDate.Today(), y, m, d);
    return std::string{static_cast<char>(y % 100), static_cast<char>(m), static_cast<char>(d)};
}

std::unique_ptr<NVobjMDXFile> Create(MemTable& table, const std::string& path) {
    auto file = NVobjMDXFile::Open(&table, path, true, true, false);
    EXPECT_TRUE(file);
    return file;
}

TEST(Mdx, PackedDecimalBytesAndRoundTrip) {
    EXPECT_EQ(Packed(123.45), (std::vector<uint8_t>{0x37, 0x19, 0x12, 0x34, 0x50, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Packed(-123.45), (std::vector<uint8_t>{0x37, 0x99, 0x12, 0x34, 0x50, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Packed(0), (std::vector<uint8_t>{0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // One digit is followed by a 0 nibble; trailing zero digits are not counted.
    EXPECT_EQ(Packed(5), (std::vector<uint8_t>{0x35, 0x09, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Packed(1000), (std::vector<uint8_t>{0x38, 0x09, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Packed(0.05), (std::vector<uint8_t>{0x33, 0x09, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Too many digits before the point: fifteen nines at exponent 15.
    EXPECT_EQ(Packed(1e20), (std::vector<uint8_t>{0x43, 0x41, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x90, 0, 0}));
    EXPECT_EQ(NvMdxUnpackNumber(Packed(1e20).data()), 999999999999999.0);
    for (double v : {123.45, -123.45, 0.0, 5.0, 1000.0, 0.05, 1.0 / 3, -2.5e-7, 123456789012345.0, 7e14}) {
        const double back = NvMdxUnpackNumber(Packed(v).data());
        EXPECT_NEAR(back, v, std::fabs(v) * 1e-14) << v;
        EXPECT_EQ(Packed(back), Packed(v)) << v;
    }
    EXPECT_EQ(NvMdxUnpackNumber(Packed(-123.45).data()), -123.45);
}

TEST(Mdx, NewFileHeaderTagHeaderAndGeometry) {
    TempDir dir;
    MemTable table;
    table.sample = Str("ABCDEFGHIJ");
    table.tablePath = dir.File("people.dbf");
    {
        auto file = Create(table, dir.File("people.mdx"));
        EXPECT_EQ(table.marked, 1);
        file->Close();
        EXPECT_EQ(ReadAll(dir.File("people.mdx")).size(), 2048u);
        ASSERT_TRUE(file->TagAdd("name", "NAME", false, true, ""));
        NVobjMDXTag* tag = file->Tag(0);
        EXPECT_EQ(tag->tagName, "NAME");
        EXPECT_EQ(tag->entryLength, 16);
        EXPECT_EQ(tag->maxEntries, 62);
        EXPECT_EQ(tag->headerAddress, 4);
        EXPECT_EQ(tag->root, 6);
    }
    auto bytes = ReadAll(dir.File("people.mdx"));
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), TodayBytes());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[4])), "people");
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[20]), 2);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[22]), 1024);
    EXPECT_EQ(bytes[24], 1);
    EXPECT_EQ(bytes[25], 48);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[26]), 32);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[28]), 1);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[32]), 8u);
    EXPECT_EQ(std::string(bytes.begin() + 44, bytes.begin() + 47), TodayBytes());
    // Directory: entry 0 links to tag 1, which is the last.
    EXPECT_EQ(bytes[512 + 17], 1);
    const uint8_t* e = &bytes[544];
    EXPECT_EQ(nvbytes::LoadLE32(e), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 4)), "NAME");
    EXPECT_EQ(e[17], 0);
    EXPECT_EQ(e[19], 2);
    EXPECT_EQ(e[20], 'C');
    // Tag header.
    const uint8_t* h = &bytes[2048];
    EXPECT_EQ(nvbytes::LoadLE32(h), 6u);
    EXPECT_EQ(h[8], 0x10);
    EXPECT_EQ(h[9], 'C');
    EXPECT_EQ(nvbytes::LoadLE16(h + 12), 10);
    EXPECT_EQ(nvbytes::LoadLE16(h + 14), 62);
    EXPECT_EQ(nvbytes::LoadLE16(h + 18), 16);
    EXPECT_EQ(h[23], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 24)), "NAME");
    EXPECT_EQ(h[245], 0);
    EXPECT_EQ(h[246], 1);
    EXPECT_EQ(nvbytes::LoadLE32(h + 248), 6u);
    EXPECT_EQ(nvbytes::LoadLE32(h + 252), 6u);
    EXPECT_TRUE(std::all_of(bytes.begin() + 3072, bytes.end(), [](uint8_t b) { return b == 0; }));

    // Numbers and dates; descending and unique in the key format byte; FOR text at 762.
    {
        auto file = NVobjMDXFile::Open(&table, dir.File("people.mdx"), false, false, false);
        ASSERT_TRUE(file && !file->corrupt);
        table.sample = Num(1);
        ASSERT_TRUE(file->TagAdd("amount", "AMOUNT", false, false, ""));
        table.sample = Day(2451545);
        ASSERT_TRUE(file->TagAdd("born", "BORN", true, false, "FOR BORN > 0"));
        NVobjMDXTag* amount = static_cast<NVobjMDXTag*>(file->TagByName("AMOUNT"));
        NVobjMDXTag* born = static_cast<NVobjMDXTag*>(file->TagByName("born"));
        EXPECT_EQ(amount->entryLength, 16);
        EXPECT_EQ(amount->maxEntries, 62);
        EXPECT_EQ(born->entryLength, 12);
        EXPECT_EQ(born->maxEntries, 83);
    }
    bytes = ReadAll(dir.File("people.mdx"));
    ASSERT_EQ(bytes.size(), 8192u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[28]), 3);
    // Name order: AMOUNT, BORN, NAME.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[544 + 4])), "AMOUNT");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[576 + 4])), "BORN");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[608 + 4])), "NAME");
    EXPECT_EQ(bytes[512 + 17], 1);
    EXPECT_EQ(bytes[544 + 17], 2);
    EXPECT_EQ(bytes[576 + 17], 3);
    EXPECT_EQ(bytes[608 + 17], 0);
    EXPECT_EQ(bytes[544 + 20], 'N');
    EXPECT_EQ(bytes[576 + 20], 'D');
    const uint8_t* ha = &bytes[nvbytes::LoadLE32(&bytes[544]) * 512];
    const uint8_t* hb = &bytes[nvbytes::LoadLE32(&bytes[576]) * 512];
    EXPECT_EQ(ha[8], 0x18);
    EXPECT_EQ(ha[9], 'N');
    EXPECT_EQ(nvbytes::LoadLE16(ha + 12), 12);
    EXPECT_EQ(hb[8], 0x58);
    EXPECT_EQ(hb[23], 0x40);
    EXPECT_EQ(hb[245], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(hb + 762)), "FOR BORN > 0");
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[32]), 16u);

    // Reopened, the tags come back with their definitions.
    auto file = NvOpenIndexFile(&table, dir.File("people.mdx"), false, false, false);
    ASSERT_TRUE(file && !file->corrupt);
    ASSERT_EQ(file->TagCount(), 3);
    NVobjIndexTag* born = file->TagByName("BORN");
    EXPECT_TRUE(born->unique);
    EXPECT_FALSE(born->ascending);
    EXPECT_TRUE(born->descendingCompare);
    EXPECT_TRUE(born->hasFor);
    EXPECT_EQ(born->forExpression, "FOR BORN > 0");
    EXPECT_EQ(born->keyType, 'D');
    EXPECT_EQ(file->TagByNumber(2)->keyExpression, "NAME");
}

TEST(Mdx, DirectoryStaysInNameOrderThroughAddReplaceAndDelete) {
    TempDir dir;
    MemTable table;
    table.sample = Str("K");
    auto file = Create(table, dir.File("d.mdx"));
    ASSERT_TRUE(file->TagAdd("ZETA", "Z", false, true, ""));
    ASSERT_TRUE(file->TagAdd("alpha", "A", false, true, ""));
    auto names = [&] {
        auto bytes = ReadAll(dir.File("d.mdx"));
        std::vector<std::string> out;
        for (int k = bytes[512 + 17]; k != 0 && out.size() < 50; k = bytes[512 + 32 * k + 17])
            out.emplace_back(reinterpret_cast<const char*>(&bytes[512 + 32 * k + 4]));
        EXPECT_EQ(out.size(), nvbytes::LoadLE16(&bytes[28]));
        return out;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"ALPHA", "ZETA"}));
    // A tag of the same name is replaced, not added twice.
    ASSERT_TRUE(file->TagAdd("Zeta", "ZZ", false, true, ""));
    ASSERT_TRUE(file->TagAdd("MIDDLE", "M", false, true, ""));
    EXPECT_EQ(names(), (std::vector<std::string>{"ALPHA", "MIDDLE", "ZETA"}));
    EXPECT_EQ(file->TagByName("zeta")->keyExpression, "ZZ");
    EXPECT_TRUE(file->TagDelete("middle"));
    EXPECT_FALSE(file->TagDelete("middle"));
    EXPECT_EQ(names(), (std::vector<std::string>{"ALPHA", "ZETA"}));
    ASSERT_TRUE(file->TagAdd("MIDDLE", "M2", false, true, ""));
    EXPECT_EQ(names(), (std::vector<std::string>{"ALPHA", "MIDDLE", "ZETA"}));
    // Deleting the last tag cuts the file back to its header.
    EXPECT_TRUE(file->TagDelete("ALPHA"));
    EXPECT_TRUE(file->TagDelete("MIDDLE"));
    EXPECT_TRUE(file->TagDelete("ZETA"));
    EXPECT_EQ(names(), std::vector<std::string>{});
    EXPECT_EQ(ReadAll(dir.File("d.mdx")).size(), 2048u);
    ASSERT_TRUE(file->TagAdd("AGAIN", "A", false, true, ""));
    ASSERT_TRUE(file->TagAdd("BETTER", "B", false, true, ""));
    EXPECT_EQ(file->Tag(0)->headerAddress, 4);
    // Reindex on an empty table: header area, then per tag its header and a whole empty page.
    file->Reindex();
    EXPECT_EQ(ReadAll(dir.File("d.mdx")).size(), 2048u + 4u * 1024u);
    EXPECT_EQ(file->Tag(1)->headerAddress, 8);
    EXPECT_EQ(file->Tag(1)->root, 10);
    EXPECT_EQ(file->Tag(1)->TagMove(-3), 0);
    file.reset();
    auto again = NVobjMDXFile::Open(&table, dir.File("d.mdx"), false, false, false);
    ASSERT_EQ(again->TagCount(), 2);
    EXPECT_EQ(again->Tag(0)->tagName, "AGAIN");
    EXPECT_EQ(again->Tag(1)->root, 10);
}

// The last tag goes by a new header and then a cut of the old pages: an index stopped between
// the two must still open, as a production index it is opened with its table.
TEST(Mdx, DeletingTheLastTagLeavesAFileThatOpensWhereverItStops) {
    TempDir dir;
    MemTable table;
    table.sample = Str("K");
    // Stopped at the new header's write, or at the cut after it.
    for (const auto& [op, nth] : {std::pair{NvOsOp::Write, 2}, std::pair{NvOsOp::Truncate, 1}}) {
        SCOPED_TRACE(static_cast<int>(op));
        auto file = Create(table, dir.File("d.mdx"));
        ASSERT_TRUE(file->TagAdd("ONLY", "K", false, true, ""));
        {
            NvFaultPlatform faults;
            faults.Fail(op, nth);
            NvPlatformScope use(faults);
            EXPECT_NE(nvtest::ErrorOf([&] { file->TagDelete("ONLY"); }), "");
        }
        file.reset();
        file = NVobjMDXFile::Open(&table, dir.File("d.mdx"), false, false, false);
        ASSERT_TRUE(file);
        EXPECT_FALSE(file->corrupt);
        EXPECT_EQ(file->TagCount(), 0);
    }
}

TEST(Mdx, MoreTagsThanTheDirectoryHoldsAreRefused) {
    TempDir dir;
    MemTable table;
    table.sample = Str("K");
    auto file = Create(table, dir.File("many.mdx"));
    for (int i = 0; i < 47; ++i) ASSERT_TRUE(file->TagAdd("T" + std::to_string(100 + i), "K", false, true, ""));
    try {
        file->TagAdd("ONEMORE", "K", false, true, "");
        FAIL() << "a 48th tag was accepted";
    } catch (const ENorvaneError& e) {
        EXPECT_NE(e.Message().find("cannot hold more than 47 tags"), std::string::npos) << e.Message();
    }
    // Replacing one of them is still possible.
    EXPECT_TRUE(file->TagAdd("T100", "K", true, true, ""));
    file.reset();
    auto again = NVobjMDXFile::Open(&table, dir.File("many.mdx"), false, false, false);
    ASSERT_FALSE(again->corrupt);
    EXPECT_EQ(again->TagCount(), 47);
    EXPECT_EQ(again->Tag(46)->tagName, "T146");
    EXPECT_TRUE(again->Tag(0)->unique);
}

// ---- Real tables -----------------------------------------------------------------------

struct Rec {
    std::string name;
    double amount;
    int32_t born;  // 0 = blank
};

const char* const kNames[] = {"Ames", "Berg", "Cole", "Dunn", "Egan", "Ford", "Gray", "Hale", "Ives", "Jost"};

Rec RandomRec(std::mt19937& rng) {
    Rec r;
    r.name = std::string(kNames[rng() % 10]) + (rng() % 3 == 0 ? kNames[rng() % 10] : "");
    r.name = r.name.substr(0, 10);
    r.amount = (static_cast<int>(rng() % 20001) - 10000) / 100.0;
    r.born = rng() % 6 == 0 ? 0 : TnvDBFDate::YMDToDay(1930 + static_cast<int>(rng() % 80), 1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28));
    return r;
}

void PutRec(NVO_dBHandler& t, const Rec& r) {
    t.PutRawByName("NAME", r.name);
    t.SetNumberByName("AMOUNT", r.amount);
    if (r.born)
        t.SetDateByName("BORN", r.born);
    else
        t.PutRawByName("BORN", "");
}

// A dBase IV table of `n` random records; `recs` receives them.
void MakeTable4(const std::string& path, int n, std::vector<Rec>& recs, uint32_t seed) {
    {
        NVO_DB4Build build(path);
        build.AddField("NAME", "C", 10, 0);
        build.AddField("AMOUNT", "N", 8, 2);
        build.AddField("BORN", "D", 8, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) {
        recs.push_back(RandomRec(rng));
        t.BlankRecord();
        PutRec(t, recs.back());
        t.Append();
    }
}

// The six kinds of tag, all in one file.
struct TagDef {
    const char* name;
    const char* key;
    bool unique;
    bool ascending;
    const char* forExpression;
};
const TagDef kTags[] = {
    {"NAME", "NAME", false, true, ""},          {"AMOUNT", "AMOUNT", false, true, ""},
    {"BORN", "BORN", false, true, ""},          {"NAMEDOWN", "NAME", false, false, ""},
    {"UNAME", "NAME", true, true, ""},          {"POSITIVE", "AMOUNT", false, false, "AMOUNT > 0"},
};

// The order a fresh build of `d` gives, from the test's own copy of the records.
Walk ExpectedOf(const TagDef& d, const std::vector<Rec>& recs) {
    Walk keys;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const Rec& r = recs[i];
        const int32_t rec = static_cast<int32_t>(i + 1);
        if (*d.forExpression && !(r.amount > 0)) continue;
        std::string key = d.key;
        TnvVariant v = key == "NAME" ? Str(r.name) : key == "AMOUNT" ? Num(r.amount) : Num(r.born ? r.born : 1e100);
        keys.emplace_back(v, rec);
    }
    const bool down = !d.ascending;
    std::stable_sort(keys.begin(), keys.end(), [down](const auto& a, const auto& b) {
        return down ? Cmp(a.first, b.first) > 0 : Cmp(a.first, b.first) < 0;
    });
    return keys;
}

void ExpectFileMatches(const std::string& path, NVobjIndexFile& file, const std::vector<Rec>& recs,
                       bool maintained = false) {
    ASSERT_EQ(file.TagCount(), 6);
    for (const TagDef& d : kTags) {
        SCOPED_TRACE(d.name);
        auto* tag = static_cast<NVobjMDXTag*>(file.TagByName(d.name));
        ASSERT_TRUE(tag);
        Walk forward = WalkTag(*tag);
        ExpectSameOrder(forward, ExpectedOf(d, recs), d.unique, maintained);
        Walk backward = WalkTag(*tag, true);
        ASSERT_EQ(forward.size(), backward.size());
        for (std::size_t i = 0; i < forward.size(); ++i) EXPECT_EQ(forward[i].second, backward[i].second);
        tag->PageRelease();
        file.diskFile->Flush();
        RawTree raw = RawTreeOf(path, *tag);
        EXPECT_EQ(raw.records.size(), forward.size());
        ExpectChainCoversTree(path, *tag);
    }
}

TEST(MdxTable, EveryKindOfTagBuiltOnTablesOfEverySize) {
    for (int n : {0, 1, 1000, 20000}) {
        SCOPED_TRACE(n);
        TempDir dir;
        std::vector<Rec> recs;
        MakeTable4(dir.File("people.dbf"), n, recs, 17u + static_cast<uint32_t>(n));
        NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
        {
            auto file = NvOpenIndexFile(&t.IndexTable(), dir.File("people.mdx"), true, true, false);
            ASSERT_TRUE(file);
            for (const TagDef& d : kTags) ASSERT_TRUE(file->TagAdd(d.name, d.key, d.unique, d.ascending, d.forExpression));
            ExpectFileMatches(dir.File("people.mdx"), *file, recs);
            auto* name = static_cast<NVobjMDXTag*>(file->TagByName("NAME"));
            RawTree raw = RawTreeOf(dir.File("people.mdx"), *name);
            if (n == 0) {
                EXPECT_EQ(raw.pages.size(), 1u);
                EXPECT_EQ(name->TagMove(-3), 0);
                EXPECT_TRUE(name->AtBOF() && name->AtEOF());
            }
            // 20,000 keys of 62 per leaf need a root above a level of interior pages.
            if (n == 20000) {
                EXPECT_EQ(*raw.leafDepths.begin(), 2);
            }
            // Stored keys: names blank-padded, amounts packed, dates as doubles.
            if (n == 1) {
                auto bytes = ReadAll(dir.File("people.mdx"));
                std::string want = recs[0].name + std::string(10 - recs[0].name.size(), ' ');
                EXPECT_EQ(std::string(raw.keys[0].begin(), raw.keys[0].end()), want);
                auto* amount = static_cast<NVobjMDXTag*>(file->TagByName("AMOUNT"));
                RawTree rawAmount = RawTreeOf(dir.File("people.mdx"), *amount);
                EXPECT_EQ(rawAmount.keys[0], Packed(recs[0].amount));
                EXPECT_EQ(rawAmount.records[0], 1);
            }
        }
        // Reopened, the same orders come back.
        auto again = NvOpenIndexFile(&t.IndexTable(), dir.File("people.mdx"), false, false, false);
        ASSERT_TRUE(again && !again->corrupt);
        ExpectFileMatches(dir.File("people.mdx"), *again, recs);
    }
}

TEST(MdxTable, CursorWritesKeepEveryTagEqualToAFreshBuild) {
    TempDir dir;
    std::vector<Rec> recs;
    MakeTable4(dir.File("people.dbf"), 300, recs, 5u);
    {
        NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
        {
            auto file = NvOpenIndexFile(&t.IndexTable(), dir.File("people.mdx"), true, true, false);
            for (const TagDef& d : kTags) ASSERT_TRUE(file->TagAdd(d.name, d.key, d.unique, d.ascending, d.forExpression));
        }
        // The file is the table's production index.
        EXPECT_TRUE(t.ProductionIndex());
        ASSERT_EQ(t.OpenIndexFiles("people.mdx", "NAME"), 0);
        std::mt19937 rng(99u);
        for (int step = 0; step < 1500; ++step) {
            const int what = static_cast<int>(rng() % 10);
            if (what < 4) {
                recs.push_back(RandomRec(rng));
                t.BlankRecord();
                PutRec(t, recs.back());
                t.Append();
            } else if (what < 9) {
                const int32_t rec = 1 + static_cast<int32_t>(rng() % recs.size());
                t.Go(rec);
                recs[rec - 1] = RandomRec(rng);
                PutRec(t, recs[rec - 1]);
                t.WriteRecord(rec);
            } else {
                t.Go(1 + static_cast<int32_t>(rng() % recs.size()));
                t.DeleteRecord();
            }
        }
        t.Flush();
    }
    NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
    auto file = NvOpenIndexFile(&t.IndexTable(), dir.File("people.mdx"), false, false, false);
    ASSERT_TRUE(file && !file->corrupt);
    // Deleted records keep their keys.
    ExpectFileMatches(dir.File("people.mdx"), *file, recs, true);
    // Reindex gives the orders of a fresh build from a file cut back to its header.
    file->Reindex();
    ExpectFileMatches(dir.File("people.mdx"), *file, recs);
    EXPECT_EQ(static_cast<NVobjMDXFile&>(*file).Tag(0)->headerAddress, 4);
}

TEST(MdxTable, RenameWritesTheNewTableName) {
    TempDir dir;
    std::vector<Rec> recs;
    MakeTable4(dir.File("people.dbf"), 3, recs, 1u);
    NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
    {
        auto file = NvOpenIndexFile(&t.IndexTable(), dir.File("people.mdx"), true, true, false);
        ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
        file->Rename(dir.File("longer_name.mdx"));
        EXPECT_EQ(file->FileName(), "longer_name.mdx");
    }
    auto bytes = ReadAll(dir.File("longer_name.mdx"));
    ASSERT_GE(bytes.size(), 2048u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[4])), "LONGER_N");
    EXPECT_EQ(bytes[12], 0);
}

// Damaged files: every one is reported as corrupted, on opening or on the first walk, and
// nothing loops or reads out of bounds.
TEST(MdxTable, DamagedFilesAreReportedAsCorrupted) {
    TempDir dir;
    std::vector<Rec> recs;
    MakeTable4(dir.File("people.dbf"), 1000, recs, 3u);
    NVO_dBHandler t(dir.File("people.dbf"), false, true, "");
    const std::string path = dir.File("people.mdx");
    int32_t root = 0, header = 0, firstLeaf = 0;
    {
        auto file = NvOpenIndexFile(&t.IndexTable(), path, true, true, false);
        ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
        auto* tag = static_cast<NVobjMDXTag*>(file->TagByNumber(0));
        root = tag->root;
        header = tag->headerAddress;
        firstLeaf = tag->firstPage;
    }
    const auto good = ReadAll(path);
    const std::string corrupted = "Index file " + path + " is corrupted";
    // The message a reopen and a full walk of the damaged file give.
    auto outcome = [&](const std::function<void(std::vector<uint8_t>&)>& damage) {
        auto bytes = good;
        damage(bytes);
        WriteAll(path, bytes);
        return nvtest::ErrorOf([&] {
            auto file = NvOpenIndexFile(&t.IndexTable(), path, false, false, false);
            if (!file) return;
            if (file->corrupt) NvRaise(TnvMsg::IndexCorrupted, {file->MessageName()});
            NVobjIndexTag* tag = file->TagByNumber(0);
            int n = 0;
            for (int32_t r = tag->TagMove(-3); r != 0 && n < 5000; r = tag->TagMove(-1)) ++n;
            for (int32_t r = tag->TagMove(-4); r != 0 && n < 10000; r = tag->TagMove(-2)) ++n;
        });
    };
    const std::size_t rootAt = static_cast<std::size_t>(root) * 512;
    const uint32_t rootKeys = nvbytes::LoadLE32(&good[rootAt]);
    ASSERT_GT(rootKeys, 1u);  // 1,000 keys: a root over leaves
    EXPECT_EQ(outcome([](auto&) {}), "");
    // Root block outside the file, or in the header area.
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[header * 512], 9999); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[header * 512], 1); }), corrupted);
    // A child pointing at its own page, at the tag header, past the end.
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[rootAt + 8], static_cast<uint32_t>(root)); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[rootAt + 8 + 16], static_cast<uint32_t>(header) - 4); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[rootAt + 8 + 32], 100000); }), corrupted);
    // Key counts beyond the page: in the root and in a leaf.
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[rootAt], 63); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE32(&b[firstLeaf * 512], 0xFFFFFFF0u); }), corrupted);
    // Tag header lengths that do not fit the page; a tag count beyond the directory.
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE16(&b[header * 512 + 18], 4); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE16(&b[header * 512 + 14], 200); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { b[header * 512 + 9] = 'X'; }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE16(&b[28], 60); }), corrupted);
    EXPECT_EQ(outcome([&](auto& b) { nvbytes::StoreLE16(&b[22], 700); }), corrupted);
    // A file cut inside a page: the pages beyond are short.
    EXPECT_EQ(outcome([&](auto& b) { b.resize(b.size() - 700); }), corrupted);
    // A file of no more than 512 bytes is corrupted, not replaced by an empty index.
    EXPECT_EQ(outcome([&](auto& b) { b.resize(300); }), corrupted);
    EXPECT_EQ(ReadAll(path).size(), 300u);
}

}  // namespace
