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
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv6_mdx.h"

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

// What a fresh build of `tag` over the table holds: the keys of the records that pass the
// FOR condition, in the tag's order.
Walk Expected(NVobjIndexTag& tag, const MemTable& table, bool useFor) {
    Walk keys;
    for (std::size_t i = 0; i < table.values.size(); ++i) {
        if (useFor && !table.forHolds(table.values[i])) continue;
        TnvVariant k = table.values[i];
        tag.KeyFormat(k, true);
        keys.emplace_back(k, static_cast<int32_t>(i + 1));
    }
    const bool down = !tag.ascending;
    std::stable_sort(keys.begin(), keys.end(),
                     [down](const auto& a, const auto& b) { return down ? Cmp(a.first, b.first) > 0 : Cmp(a.first, b.first) < 0; });
    return keys;
}

// Compares keys in order, and the records of each run of equal keys as a set; a unique tag
// holds each distinct key once.
void ExpectSameOrder(const Walk& got, const Walk& want, bool unique) {
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
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(Cmp(a[i].first, b[i].first), 0) << "run " << i << ": " << a[i].first.AsString();
        if (unique)
            EXPECT_EQ(a[i].second.size(), 1u);
        else
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
        if (i < n) EXPECT_EQ(std::vector<uint8_t>(entry(i) + 4, entry(i) + 4 + tag.keyLength), last) << "page " << block;
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
        EXPECT_TRUE(seen.insert(block).second) << "cycle at " << block;
        if (!seen.count(block) || chain.size() > bytes.size() / 512) break;
        chain.push_back(block);
        const std::size_t at = static_cast<std::size_t>(block) * 512 + 4;
        if (at + 4 > bytes.size()) {
            ADD_FAILURE() << "chain leaves the file at " << block;
            break;
        }
        block = static_cast<int32_t>(nvbytes::LoadLE32(&bytes[at]));
    }
    if (!chain.empty()) EXPECT_EQ(chain.back(), tag.firstPage);
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
    EXPECT_EQ(file->Tag(0)->headerAddress, 4);
    file.reset();
    auto again = NVobjMDXFile::Open(&table, dir.File("d.mdx"), false, false, false);
    ASSERT_EQ(again->TagCount(), 1);
    EXPECT_EQ(again->Tag(0)->tagName, "AGAIN");
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

}  // namespace
