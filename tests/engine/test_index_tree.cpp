// The tree logic of the index core on a small in-memory format whose pages hold few
// entries, so that splits, merges and root growth happen with a handful of keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "nv6_glbl.h"
#include "nv6_indx.h"

namespace {

struct MemEntry {
    std::string key;
    int32_t recNo = 0;
    int32_t reference = 0;
};

struct MemPage {
    uint8_t kind = NVobjIndexKey::kLeaf;
    std::vector<MemEntry> entries;
};

class MemFile : public NVobjIndexFile {
public:
    explicit MemFile(TnvIndexTable* table = nullptr) : NVobjIndexFile(table, "mem.idx") {}
    int32_t NewPage() override { return next++; }

    std::map<int32_t, MemPage> pages;
    int32_t next = 1;
    int writes = 0;
};

class MemTag : public NVobjIndexTag {
public:
    MemTag(MemFile* file, int16_t capacity) : NVobjIndexTag(file, -1), mem(file) {
        formatName = "MEM";
        maxEntries = capacity;
        root = file->NewPage();
        file->pages[root] = MemPage{};
    }
    ~MemTag() override { PageRelease(); }

    int PageLoad(int32_t address, NVobjIndexKey& page) override {
        auto it = mem->pages.find(address);
        if (it == mem->pages.end()) return 1;
        page.kind = it->second.kind;
        for (const MemEntry& e : it->second.entries) {
            auto entry = std::make_unique<NVobjIndexKeyData>();
            entry->PutString(e.key);
            entry->recNo = e.recNo;
            entry->reference = e.reference;
            page.Add(entry.release());
        }
        return 0;
    }
    int PageStore(NVobjIndexKey& page) override {
        SplitCountLimited(page);
        MemPage& out = mem->pages[page.address];
        out.kind = page.kind == NVobjIndexKey::kLeaf ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
        out.entries.clear();
        for (int i = 0; i < page.Count(); ++i) {
            const NVobjIndexKeyData& d = *page.Items(i);
            out.entries.push_back({d.AsString(), d.recNo, d.reference});
        }
        ++mem->writes;
        return 0;
    }

    MemFile* mem;
};

NVobjIndexKeyData Key(std::string_view text, int32_t record) {
    NVobjIndexKeyData k;
    k.PutString(text);
    k.reference = record;
    return k;
}

std::vector<std::pair<std::string, int32_t>> Walk(NVobjIndexTag& tag, bool backwards = false) {
    std::vector<std::pair<std::string, int32_t>> out;
    int32_t r = tag.TagMove(backwards ? -4 : -3);
    while (r != 0 && out.size() < 100000) {
        out.emplace_back(tag.currentKey.AsString(), r);
        r = tag.TagMove(backwards ? -2 : -1);
    }
    return out;
}

// Every leaf is at the same depth, every interior key is the high key of its child and
// no page holds more than the capacity.
int CheckTree(MemFile& f, int32_t address, int capacity, std::string& high) {
    const MemPage& p = f.pages.at(address);
    EXPECT_LE(static_cast<int>(p.entries.size()), capacity);
    if (p.kind == NVobjIndexKey::kLeaf) {
        if (!p.entries.empty()) high = p.entries.back().key;
        return 0;
    }
    int depth = -1;
    for (const MemEntry& e : p.entries) {
        std::string childHigh;
        int d = CheckTree(f, e.reference, capacity, childHigh);
        if (depth >= 0) {
            EXPECT_EQ(d, depth);
        }
        depth = d;
        EXPECT_EQ(childHigh, e.key);
    }
    if (!p.entries.empty()) high = p.entries.back().key;
    return depth + 1;
}

std::string Name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "K%05d", i);
    return buf;
}

TEST(IndexTree, ManyKeysSplitGrowTheRootInPlaceAndWalkBothWays) {
    MemFile file;
    MemTag tag(&file, 4);
    const int32_t rootAddress = tag.root;
    std::vector<int> order(500);
    for (int i = 0; i < 500; ++i) order[i] = i;
    std::mt19937 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    for (int i : order) {
        NVobjIndexKeyData k = Key(Name(i), i + 1);
        ASSERT_TRUE(tag.KeyAdd(k));
    }
    tag.PageRelease();
    EXPECT_EQ(tag.root, rootAddress);
    std::string high;
    int depth = CheckTree(file, rootAddress, 4, high);
    EXPECT_GE(depth, 4);
    EXPECT_EQ(high, Name(499));

    auto fwd = Walk(tag);
    ASSERT_EQ(fwd.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(fwd[i].first, Name(i));
        EXPECT_EQ(fwd[i].second, i + 1);
    }
    auto back = Walk(tag, true);
    ASSERT_EQ(back.size(), 500u);
    EXPECT_EQ(back.front().first, Name(499));
    EXPECT_EQ(back.back().first, Name(0));
    // Turning round in the middle returns the neighbour, not the same key twice.
    tag.TagMove(-3);
    for (int i = 0; i < 10; ++i) tag.TagMove(-1);
    EXPECT_EQ(tag.currentKey.AsString(), Name(10));
    tag.TagMove(-2);
    EXPECT_EQ(tag.currentKey.AsString(), Name(9));
    // Past the end, prior comes back to the last key.
    tag.TagMove(-4);
    EXPECT_EQ(tag.TagMove(-1), 0);
    EXPECT_TRUE(tag.AtEOF());
    EXPECT_EQ(tag.TagMove(-2), 500);
}

TEST(IndexTree, SeekFindsKeyAndRecordOrPositionsAfter) {
    MemFile file;
    MemTag tag(&file, 3);
    // Equal keys across several leaves, found by (key, record).
    for (int r = 1; r <= 20; ++r) {
        NVobjIndexKeyData k = Key(r % 2 ? "AAA" : "BBB", r);
        tag.KeyAdd(k);
    }
    for (int r = 1; r <= 20; ++r) EXPECT_EQ(tag.KeyFind(Key(r % 2 ? "AAA" : "BBB", r)), r) << r;
    EXPECT_EQ(tag.KeyFind(Key("AAA", 2)), 0);
    // Insertion order among equal keys.
    auto all = Walk(tag);
    ASSERT_EQ(all.size(), 20u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(all[i].second, 2 * i + 1);
    // Key only: the first equal key; a missing key lands on the next greater one.
    EXPECT_EQ(tag.KeyFind(Key("BBB", -1)), 2);
    EXPECT_EQ(tag.KeyFind(Key("AB", -1)), 0);
    EXPECT_FALSE(tag.AtEOF());
    EXPECT_EQ(tag.currentKey.AsString(), "BBB");
    EXPECT_EQ(tag.KeyFind(Key("C", -1)), 0);
    EXPECT_TRUE(tag.AtEOF());
    // A short key matches as a prefix only when the file is not exact.
    file.exactCompare = false;
    EXPECT_EQ(tag.KeyFind(Key("BB", -1)), 2);
    file.exactCompare = true;
    EXPECT_EQ(tag.KeyFind(Key("BB", -1)), 0);
    // A lookup leaves the tag where it was.
    tag.TagMove(-3);
    tag.TagMove(-1);
    ASSERT_EQ(tag.currentKey.reference, 3);
    EXPECT_EQ(tag.KeyLookup(Key("BB", -1), false), 2);
    EXPECT_EQ(tag.KeyLookup(Key("BB", -1), true), 0);
    EXPECT_EQ(tag.currentKey.reference, 3);
    EXPECT_EQ(tag.TagMove(-1), 5);
}

TEST(IndexTree, UniqueTagRefusesEqualKeys) {
    MemFile file;
    MemTag tag(&file, 4);
    tag.unique = true;
    for (int r = 1; r <= 30; ++r) {
        NVobjIndexKeyData k = Key(Name(r % 10), r);
        EXPECT_EQ(tag.KeyAdd(k), r <= 10) << r;
    }
    auto all = Walk(tag);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all[0].first, Name(0));
    EXPECT_EQ(all[0].second, 10);
}

TEST(IndexTree, DeletingShrinksLeavesFixesHighKeysAndEmptiesToALeafRoot) {
    MemFile file;
    MemTag tag(&file, 4);
    for (int i = 0; i < 200; ++i) {
        NVobjIndexKeyData k = Key(Name(i), i + 1);
        tag.KeyAdd(k);
    }
    std::mt19937 rng(3);
    std::vector<int> order(200);
    for (int i = 0; i < 200; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<int> left(order.begin(), order.end());
    std::sort(left.begin(), left.end());
    for (int n = 0; n < 200; ++n) {
        int i = order[n];
        ASSERT_EQ(tag.KeyFind(Key(Name(i), i + 1)), i + 1);
        tag.Root()->DeleteCurrent();
        tag.PageRelease();
        left.erase(std::find(left.begin(), left.end(), i));
        if (n % 37 == 0 || n == 199) {
            std::string high;
            CheckTree(file, tag.root, 4, high);
            if (!left.empty()) {
                EXPECT_EQ(high, Name(left.back()));
            }
            auto all = Walk(tag);
            ASSERT_EQ(all.size(), left.size());
            for (std::size_t j = 0; j < left.size(); ++j) EXPECT_EQ(all[j].first, Name(left[j]));
        }
    }
    EXPECT_EQ(tag.TagMove(-3), 0);
    EXPECT_TRUE(tag.AtBOF());
    EXPECT_TRUE(tag.AtEOF());
    EXPECT_EQ(file.pages.at(tag.root).kind, NVobjIndexKey::kLeaf);
    // The emptied tree takes keys again.
    NVobjIndexKeyData k = Key("Z", 9);
    EXPECT_TRUE(tag.KeyAdd(k));
    EXPECT_EQ(tag.TagMove(-3), 9);
}

TEST(IndexTree, SplitSendsLargerHalfToTheNewLeftPage) {
    MemFile file;
    MemTag tag(&file, 6);
    for (int i = 0; i < 7; ++i) {
        NVobjIndexKeyData k = Key(Name(i), i + 1);
        tag.KeyAdd(k);
    }
    tag.PageRelease();
    const MemPage& root = file.pages.at(tag.root);
    ASSERT_EQ(root.kind, NVobjIndexKey::kInterior);
    ASSERT_EQ(root.entries.size(), 2u);
    EXPECT_EQ(file.pages.at(root.entries[0].reference).entries.size(), 4u);
    EXPECT_EQ(file.pages.at(root.entries[1].reference).entries.size(), 3u);
    EXPECT_EQ(root.entries[0].key, Name(3));
}

TEST(IndexTree, RangesBoundTopBottomAndFind) {
    MemFile file;
    MemTag tag(&file, 4);
    for (const char* s : {"A", "B", "BA", "BB", "C", "D"}) {
        NVobjIndexKeyData k = Key(s, s[0] * 10 + (s[1] ? s[1] : 0));
        tag.KeyAdd(k);
    }
    TnvVariant low, high;
    low.PutString("B");
    high.PutString("B");
    EXPECT_TRUE(tag.SetRange(&low, true, true, false, &high));
    EXPECT_TRUE(tag.HasRange());
    auto in = Walk(tag);
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[2].first, "BB");
    EXPECT_EQ(Walk(tag, true).size(), 3u);
    EXPECT_EQ(tag.KeyFind(Key("C", -1)), 0);
    EXPECT_TRUE(tag.AtEOF());
    EXPECT_NE(tag.KeyFind(Key("BA", -1)), 0);
    // Full comparison: "BA" is beyond a high bound of "B".
    EXPECT_TRUE(tag.SetRange(&low, false, true, false, &high));
    auto exact = Walk(tag);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0].first, "B");
    EXPECT_FALSE(tag.SetRange(&low, false, true, false, &high));
    EXPECT_TRUE(tag.SetRange(nullptr, false, false, false, nullptr));
    EXPECT_FALSE(tag.HasRange());
    EXPECT_EQ(Walk(tag).size(), 6u);
}

TEST(IndexTree, ReverseNavigationAndDescendingCompare) {
    MemFile file;
    MemTag rev(&file, 3);
    rev.reverseNavigation = true;
    MemTag desc(&file, 3);
    desc.descendingCompare = true;
    for (int i = 0; i < 30; ++i) {
        NVobjIndexKeyData a = Key(Name(i), i + 1);
        NVobjIndexKeyData b = Key(Name(i), i + 1);
        rev.KeyAdd(a);
        desc.KeyAdd(b);
    }
    auto r = Walk(rev);
    auto d = Walk(desc);
    ASSERT_EQ(r.size(), 30u);
    ASSERT_EQ(d.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(r[i].first, Name(29 - i));
        EXPECT_EQ(d[i].first, Name(29 - i));
    }
    EXPECT_EQ(rev.TagMove(-1), 0);
    EXPECT_TRUE(rev.AtEOF());
    EXPECT_EQ(desc.KeyFind(Key(Name(17), 18)), 18);
    // The reversed tag's stored tree stays ascending.
    rev.PageRelease();
    std::string high;
    CheckTree(file, rev.root, 3, high);
    EXPECT_EQ(high, Name(29));
}

// A table of one character field whose key is the field itself.
class FakeTable : public TnvIndexTable {
public:
    class FieldExpr : public TnvIndexExpression {
    public:
        FieldExpr(FakeTable* t, bool isFor) : table(t), forExpr(isFor) {}
        std::string Text() const override { return forExpr ? "KEEP" : "NAME"; }
        void Evaluate(TnvVariant& result) override {
            const std::string& v = table->useOld ? table->old : table->rows[table->recNo - 1];
            if (forExpr)
                result.PutLogical(v.empty() || v[0] != 'X' ? 1 : 0);
            else
                result.PutString(v);
        }
        FakeTable* table;
        bool forExpr;
    };
    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view text, int16_t) override {
        return std::make_unique<FieldExpr>(this, text == "KEEP");
    }
    int32_t RecordNumber() const override { return recNo; }
    int32_t RecordCount() const override { return static_cast<int32_t>(rows.size()); }
    bool ExactMatch() const override { return true; }
    bool HasOldRecord() const override { return true; }
    bool RecordModified() const override { return true; }
    void UseOldRecord(bool o) override { useOld = o; }
    std::string Directory() const override { return "/tmp/"; }

    // Writes record n (appending when it is one past the end) and updates `tag`.
    void Write(NVobjIndexTag& tag, int32_t n, const std::string& value) {
        bool appending = n > RecordCount();
        if (appending) rows.push_back(value);
        recNo = n;
        old = appending ? std::string() : rows[n - 1];
        rows[n - 1] = value;
        tag.KeyUpdate(n, appending);
    }

    std::vector<std::string> rows;
    std::string old;
    int32_t recNo = 0;
    bool useOld = false;
};

// Keys in order, and within each run of equal keys the set of records.
void ExpectMatchesTable(NVobjIndexTag& tag, const FakeTable& t, bool withFor) {
    std::vector<std::pair<std::string, int32_t>> expected;
    for (int i = 0; i < t.RecordCount(); ++i)
        if (!withFor || t.rows[i].empty() || t.rows[i][0] != 'X') expected.emplace_back(t.rows[i], i + 1);
    std::sort(expected.begin(), expected.end());
    auto got = Walk(tag);
    std::sort(got.begin(), got.end());
    std::vector<std::pair<std::string, int32_t>> missing, extra;
    std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << missing.size() << " missing, first " << missing[0].first << " " << missing[0].second;
    EXPECT_TRUE(extra.empty()) << extra.size() << " extra, first " << extra[0].first << " " << extra[0].second;
    auto ordered = Walk(tag);
    EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end(),
                               [](const auto& a, const auto& b) { return a.first < b.first; }));
}

TEST(IndexTree, KeyUpdateFollowsAppendsEditsAndTheForCondition) {
    FakeTable table;
    MemFile file(&table);
    MemTag tag(&file, 4);
    tag.TagCreate("T", "NAME", false, true, "KEEP");
    ASSERT_TRUE(tag.hasFor);
    std::mt19937 rng(11);
    auto word = [&rng] {
        std::string s(1, "ABCDX"[rng() % 5]);
        s += static_cast<char>('a' + rng() % 3);
        return s;
    };
    for (int n = 1; n <= 120; ++n) table.Write(tag, n, word());
    ExpectMatchesTable(tag, table, true);
    for (int step = 0; step < 300; ++step) {
        int32_t n = static_cast<int32_t>(rng() % table.rows.size()) + 1;
        table.Write(tag, n, word());
        if (step % 50 == 0) ExpectMatchesTable(tag, table, true);
    }
    ExpectMatchesTable(tag, table, true);
    // Writing the same value leaves the tag alone.
    table.recNo = 5;
    table.old = table.rows[4];
    bool kept = !table.rows[4].empty() && table.rows[4][0] != 'X';
    EXPECT_FALSE(tag.KeyUpdate(5, false) && kept);
    ExpectMatchesTable(tag, table, true);
    // TagReset(1) puts the tag on the table's record.
    table.rows[6] = "Czz";
    table.old = table.rows[6];
    table.Write(tag, 7, "Czz");
    table.recNo = 7;
    tag.TagReset(1);
    EXPECT_EQ(tag.currentKey.reference, 7);
    EXPECT_EQ(tag.KeySync(7), 7);
}

TEST(IndexTree, CorruptPagesRaiseInsteadOfLooping) {
    MemFile file;
    MemTag tag(&file, 4);
    for (int i = 0; i < 40; ++i) {
        NVobjIndexKeyData k = Key(Name(i), i + 1);
        tag.KeyAdd(k);
    }
    tag.PageRelease();
    auto expectCorrupt = [&tag] {
        try {
            tag.TagMove(-3);
            while (tag.TagMove(-1) != 0) {
            }
            ADD_FAILURE() << "no error";
        } catch (const ENorvaneError& e) {
            EXPECT_STREQ(e.what(), "Index file mem.idx is corrupted");
        }
        tag.PageRelease();
    };
    MemPage saved = file.pages.at(tag.root);
    ASSERT_EQ(saved.kind, NVobjIndexKey::kInterior);
    // A child that points back at the root.
    file.pages[tag.root].entries[0].reference = tag.root;
    expectCorrupt();
    // A child that is not in the file.
    file.pages[tag.root] = saved;
    file.pages[tag.root].entries[1].reference = 9999;
    expectCorrupt();
    // More entries than a page can hold.
    file.pages[tag.root] = saved;
    MemPage& leaf = file.pages.at(saved.entries[0].reference);
    MemPage leafSaved = leaf;
    leaf.entries.resize(9);
    expectCorrupt();
    leaf = leafSaved;
    // A chain of interior pages deeper than any tree.
    int32_t top = tag.root;
    for (int d = 0; d < 60; ++d) {
        int32_t a = file.NewPage();
        file.pages[a] = MemPage{NVobjIndexKey::kInterior, {{"Z", 0, file.next}}};
        if (d == 0) file.pages[top].entries.push_back({"Z", 0, a});
    }
    expectCorrupt();
}

}  // namespace
