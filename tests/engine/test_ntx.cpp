// NTX files: the peer program's files walk as its dump says and stay right under maintenance;
// tags we build (every key kind, descending, unique, FOR) match a sort of the table, read back
// and survive record writes; page and header bytes; corrupt files raise cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv6_ntx.h"
#include "nv_test_errors.h"
#include "nv_test_tags.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;

const std::string kPeer = std::string(PELMORA_FIXTURES) + "/peer/";
const char* const kPeerTags[] = {"act", "agedesc", "amount", "born", "name", "uniq"};

using Slot = nvtest::TagSlot;

using Entry = nvtest::TagEntry;

std::vector<Entry> Walk(NVobjIndexTag& tag, bool backward = false) { return nvtest::WalkTag(tag, backward); }

// What a fresh build must give: every record's key image by the tag itself (FOR applied),
// sorted by key in the tag's direction, equal keys by ascending record; unique keeps the
// first record of each key.
std::vector<Entry> Expected(NVO_dBHandler& t, NVobjIndexTag& tag) {
    std::vector<Entry> rows;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.NVO_dBaseFld::Go(r);
        if (tag.hasFor && !tag.ForEvaluate()) continue;
        TnvVariant key(256);
        bool ok;
        tag.KeyEvaluate(key, ok);
        tag.KeyFormat(key, true);
        rows.emplace_back(std::string(key.View()), r);
    }
    const bool down = !tag.ascending;
    std::stable_sort(rows.begin(), rows.end(), [down](const Entry& a, const Entry& b) {
        auto ua = reinterpret_cast<const unsigned char*>(a.first.data());
        auto ub = reinterpret_cast<const unsigned char*>(b.first.data());
        bool less = std::lexicographical_compare(ua, ua + a.first.size(), ub, ub + b.first.size());
        bool more = std::lexicographical_compare(ub, ub + b.first.size(), ua, ua + a.first.size());
        return down ? more : less;
    });
    std::vector<Entry> out;
    for (const auto& e : rows) {
        if (tag.unique && !out.empty() && out.back().first == e.first) continue;
        out.push_back(e);
    }
    return out;
}

// Keys in order must agree; within a run of equal keys only the set of records counts (a
// maintained tag places a changed key after its equals). A unique tag does not take back a
// surviving duplicate when the key's record changes: its keys are distinct and a subset of a
// fresh build's.
void ExpectSameContent(const std::vector<Entry>& actual, const std::vector<Entry>& expected, bool unique) {
    if (unique) {
        std::set<std::string> fresh;
        for (const auto& e : expected) fresh.insert(e.first);
        for (std::size_t i = 0; i < actual.size(); ++i) {
            if (i > 0) {
                EXPECT_NE(actual[i].first, actual[i - 1].first);
            }
            EXPECT_TRUE(fresh.count(actual[i].first)) << "key " << actual[i].first;
        }
        return;
    }
    nvtest::ExpectSameRuns(actual, expected);
}

// The peer's expected order lines: tag name -> (key, FOR, direction, unique, records).
struct OrderLine {
    std::string key, forExpr, direction, unique;
    std::vector<int32_t> records;
};

std::map<std::string, OrderLine> PeerOrders() {
    std::map<std::string, OrderLine> out;
    std::ifstream in(kPeer + "orders.dump");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("order ", 0) != 0) continue;
        std::vector<std::string> parts;
        std::size_t at = 6;
        for (int i = 0; i < 5; ++i) {
            std::size_t bar = line.find('|', at);
            parts.push_back(line.substr(at, bar - at));
            at = bar + 1;
        }
        OrderLine o{parts[1], parts[2], parts[3], parts[4], {}};
        std::istringstream rest(line.substr(at));
        int32_t r;
        while (rest >> r) o.records.push_back(r);
        out[parts[0]] = o;
    }
    return out;
}

void CopyPeer(const TempDir& dir) {
    for (const char* f : {"orders.dbf", "orders.dbt"})
        std::filesystem::copy_file(kPeer + f, dir.File(f));
    for (const char* t : kPeerTags) {
        std::string name = std::string("orders_") + t + ".ntx";
        std::filesystem::copy_file(kPeer + name, dir.File(name));
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.File("")))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
}

TEST(NtxPeer, EveryPeerFileWalksAsTheDumpSays) {
    TempDir dir;
    CopyPeer(dir);
    auto orders = PeerOrders();
    ASSERT_EQ(orders.size(), 6u);
    NVO_dBHandler t(dir.File("orders.dbf"), false, true, "");
    for (const char* name : kPeerTags) {
        SCOPED_TRACE(name);
        auto file = NvOpenIndexFile(&t.IndexTable(), dir.File(std::string("orders_") + name + ".ntx"), false, false, false);
        ASSERT_TRUE(file);
        ASSERT_FALSE(file->corrupt);
        NVobjIndexTag& tag = *file->TagByNumber(0);
        ASSERT_TRUE(orders.count(tag.tagName)) << tag.tagName;
        const OrderLine& want = orders[tag.tagName];
        EXPECT_EQ(tag.formatName, "NTX");
        EXPECT_EQ(tag.keyExpression, want.key);
        EXPECT_EQ(tag.forExpression, want.forExpr);
        EXPECT_EQ(tag.ascending ? "ascending" : "descending", want.direction);
        EXPECT_EQ(tag.unique ? "unique" : "duplicates", want.unique);
        std::vector<Entry> forward = Walk(tag);
        EXPECT_EQ(nvtest::WalkRecords(forward), want.records);
        EXPECT_EQ(Walk(tag, true), forward);
        // Every entry is found again at its own record.
        for (std::size_t i = 0; i < forward.size(); i += 7) {
            NVobjIndexKeyData key;
            key.PutString(forward[i].first);
            key.reference = forward[i].second;
            EXPECT_EQ(tag.KeyFind(key), forward[i].second);
        }
    }
}

TEST(NtxPeer, OurBuildsOfTheSameTagsGiveThePeersOrder) {
    TempDir dir;
    CopyPeer(dir);
    auto orders = PeerOrders();
    NVO_dBHandler t(dir.File("orders.dbf"), false, true, "");
    for (const char* name : kPeerTags) {
        SCOPED_TRACE(name);
        std::string path = dir.File(std::string("orders_") + name + ".ntx");
        std::string tagName = NVobjNTXFile::TagNameOf(path);
        const OrderLine& want = orders[tagName];
        {
            auto file = NVobjNTXFile::Open(&t.IndexTable(), path, true, true, false);
            ASSERT_TRUE(file->TagAdd(tagName, want.key, want.unique == "unique", want.direction == "ascending",
                                     want.forExpr));
        }
        auto file = NVobjNTXFile::Open(&t.IndexTable(), path, false, false, false);
        ASSERT_FALSE(file->corrupt);
        EXPECT_EQ(file->Tag()->tagName, tagName);
        EXPECT_EQ(nvtest::WalkRecords(Walk(*file->Tag())), want.records);
    }
    // The peer's numeric key lengths come from the fields: AMOUNT N 10 2, AGE N 3.
    auto amount = NVobjNTXFile::Open(&t.IndexTable(), dir.File("orders_amount.ntx"), false, false, false);
    EXPECT_EQ(amount->Tag()->keyLength, 10);
    EXPECT_EQ(amount->Tag()->decimals, 2);
    auto age = NVobjNTXFile::Open(&t.IndexTable(), dir.File("orders_agedesc.ntx"), false, false, false);
    EXPECT_EQ(age->Tag()->keyLength, 3);
    EXPECT_EQ(age->Tag()->MaxItems(), 76);
}

TEST(NtxPeer, PeerFilesStayRightUnderRecordWrites) {
    TempDir dir;
    CopyPeer(dir);
    NVO_dBHandler t(dir.File("orders.dbf"), false, true, "");
    std::vector<std::unique_ptr<NVobjNTXFile>> files;
    int slot = 1;
    for (const char* name : kPeerTags) {
        auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File(std::string("orders_") + name + ".ntx"), false,
                                       false, false);
        ASSERT_TRUE(file && !file->corrupt);
        t.SetIndexFile(slot++, std::make_unique<Slot>(*file));
        files.push_back(std::move(file));
    }
    // Records with a blank date: rewriting another field keeps one entry per record.
    std::vector<int32_t> blankBorn;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.NVO_dBaseFld::Go(r);
        if (t.GetDate(3) == 0) blankBorn.push_back(r);
    }
    ASSERT_FALSE(blankBorn.empty());
    for (int32_t r : blankBorn) {
        t.Go(r);
        t.PutRaw(1, "Edited");
        t.WriteRecord(r);
    }
    NVobjNTXTag& born = *files[3]->Tag();
    std::vector<Entry> walked = Walk(born);
    EXPECT_EQ(walked.size(), 300u);
    std::vector<int32_t> leading;
    for (const auto& e : walked)
        if (e.first.empty()) leading.push_back(e.second);
    std::sort(leading.begin(), leading.end());
    EXPECT_EQ(leading, blankBorn);

    std::mt19937 rng(11);
    for (int step = 0; step < 150; ++step) {
        const int what = static_cast<int>(rng() % 5);
        if (what == 0) {
            t.BlankRecord();
            t.PutRaw(1, "New" + std::to_string(rng() % 40));
            t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 20000) - 10000) / 100.0L);
            t.PutRaw(4, rng() % 2 ? "T" : "F");
            t.SetNumber(5, static_cast<long double>(rng() % 120));
            t.Append();
        } else {
            const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            t.Go(r);
            if (what == 1) t.PutRaw(1, "Z" + std::to_string(rng() % 30));
            if (what == 2) t.SetNumber(2, -static_cast<long double>(rng() % 5000) / 100.0L);
            if (what == 3) t.PutRaw(4, rng() % 2 ? "T" : "F");
            if (what == 4) t.SetDate(3, rng() % 3 ? TnvDBFDate::YMDToDay(1950 + static_cast<int>(rng() % 70), 3, 4) : 0);
            t.SetNumber(5, static_cast<long double>(rng() % 120));
            t.WriteRecord(r);
        }
        if (step % 50 != 49) continue;
        for (auto& file : files) {
            NVobjNTXTag& tag = *file->Tag();
            SCOPED_TRACE(tag.tagName + " after step " + std::to_string(step));
            auto fresh = NVobjNTXFile::Open(&t.IndexTable(), dir.File("fresh.ntx"), true, true, false);
            ASSERT_TRUE(fresh->TagAdd("", tag.keyExpression, tag.unique, tag.ascending, tag.forExpression));
            ExpectSameContent(Walk(tag), Walk(*fresh->Tag()), tag.unique);
        }
    }
}

// A table NAME C 12, AGE N 7 2, BORN D, CODE C 2, ACTIVE L with `count` records; every
// ninth date blank, ages of both signs, many repeated names.
void MakeTable(const std::string& path, int count, unsigned seed) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 12, 0);
        build.AddField("AGE", "N", 7, 2);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("CODE", "C", 2, 0);
        build.AddField("ACTIVE", "L", 1, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    std::mt19937 rng(seed);
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutRaw(1, "N" + std::to_string(rng() % 997));
        t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 40000) - 20000) / 100.0L);
        if (n % 9 != 0) t.SetDate(3, TnvDBFDate::YMDToDay(1900 + static_cast<int>(rng() % 120), 1 + rng() % 12, 1 + rng() % 28));
        t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 26)));
        t.PutRaw(5, rng() % 3 ? "T" : "F");
        t.Append();
    }
}

struct TagCase {
    const char* key;
    const char* forExpr;
    bool unique;
    bool ascending;
    char type;
};

const TagCase kCases[] = {
    {"NAME", "", false, true, 'C'},
    {"NAME", "", false, false, 'C'},
    {"AGE", "", false, true, 'N'},
    {"BORN", "", false, true, 'D'},
    {"UPPER(CODE)", "", true, true, 'C'},
    {"AGE", "", false, false, 'N'},
    {"NAME", "ACTIVE", false, true, 'C'},
    {"CODE+STR(AGE)", "AGE > 0", false, false, 'C'},
};

class NtxBuild : public ::testing::TestWithParam<int> {};

TEST_P(NtxBuild, EveryKindOfTagMatchesASortOfTheTable) {
    const int count = GetParam();
    TempDir dir;
    MakeTable(dir.File("p.dbf"), count, 3u + static_cast<unsigned>(count));
    NVO_dBHandler t(dir.File("p.dbf"), false, true, "");
    int i = 0;
    for (const TagCase& c : kCases) {
        SCOPED_TRACE(std::string(c.key) + " for " + c.forExpr + (c.ascending ? "" : " descending"));
        std::string path = dir.File("t" + std::to_string(i++) + ".ntx");
        {
            auto file = NVobjNTXFile::Open(&t.IndexTable(), path, true, true, false);
            ASSERT_TRUE(file->TagAdd("", c.key, c.unique, c.ascending, c.forExpr));
        }
        auto file = NVobjNTXFile::Open(&t.IndexTable(), path, false, false, false);
        ASSERT_TRUE(file && !file->corrupt);
        NVobjNTXTag& tag = *file->Tag();
        EXPECT_EQ(tag.keyType, c.type);
        EXPECT_EQ(tag.ascending, c.ascending);
        EXPECT_EQ(tag.hasFor, *c.forExpr != 0);
        std::vector<Entry> forward = Walk(tag);
        ASSERT_EQ(forward, Expected(t, tag));
        EXPECT_EQ(Walk(tag, true), forward);
        auto bytes = ReadAll(path);
        EXPECT_EQ(bytes.size() % 1024, 0u);
        if (count == 0) {
            EXPECT_EQ(bytes.size(), 2048u);
        }
        if (c.type == 'N' && std::string(c.key) == "AGE") {
            // The text keys must order the values themselves, negatives included.
            std::vector<long double> ages;
            for (const auto& e : forward) {
                t.NVO_dBaseFld::Go(e.second);
                ages.push_back(t.GetNumber(2));
            }
            if (c.ascending)
                EXPECT_TRUE(std::is_sorted(ages.begin(), ages.end()));
            else
                EXPECT_TRUE(std::is_sorted(ages.rbegin(), ages.rend()));
        }
        if (c.type == 'D' && c.ascending && count >= 9) {
            // Blank dates are 8 blanks, read back as the empty key, and sort first.
            EXPECT_EQ(forward.front().first, "");
            t.NVO_dBaseFld::Go(forward.front().second);
            EXPECT_EQ(t.GetDate(3), 0);
        }
        for (std::size_t k = 0; k < forward.size(); k += count > 2000 ? 331 : 1) {
            NVobjIndexKeyData key;
            key.PutString(forward[k].first);
            key.reference = forward[k].second;
            EXPECT_EQ(tag.KeyFind(key), forward[k].second);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NtxBuild, ::testing::Values(0, 1, 1000, 30000));

TEST(NtxBuild, HeaderAndPageBytesOfBuiltTags) {
    TempDir dir;
    {
        NVO_DBFBuild build(dir.File("g.dbf"));
        build.AddField("TEN", "C", 10, 0);
        build.AddField("NUM", "N", 8, 2);
        build.Build();
    }
    NVO_dBHandler t(dir.File("g.dbf"), false, true, "");
    {
        auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("ten.ntx"), true, true, false);
        ASSERT_TRUE(file->TagAdd("", "TEN", false, false, ""));
        NVobjNTXTag& tag = *file->Tag();
        EXPECT_EQ(tag.entryLength, 18);
        EXPECT_EQ(tag.MaxItems(), 50);
        EXPECT_EQ(tag.halfPage, 25);
        EXPECT_EQ(tag.expressionOptions, -1);
    }
    auto bytes = ReadAll(dir.File("ten.ntx"));
    ASSERT_EQ(bytes.size(), 2048u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[0]), 6);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[4]), 1024u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[12]), 18);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[14]), 10);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[18]), 50);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[20]), 25);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[22])), "TEN");
    // Descending is written at both places other programs look.
    EXPECT_EQ(bytes[279], 1);
    EXPECT_EQ(bytes[280], 1);
    // The empty root: no keys, the offset table laid out after itself.
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[1024]), 0);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[1024 + 2]), 2 * 50 + 4);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[1024 + 2 * 51]), 50 * 18 + 2 * 50 + 4);

    // Numeric keys take the field's length and decimals; negatives are complemented.
    auto num = NVobjNTXFile::Open(&t.IndexTable(), dir.File("num.ntx"), true, true, false);
    ASSERT_TRUE(num->TagAdd("", "NUM", false, true, ""));
    NVobjNTXTag& tag = *num->Tag();
    EXPECT_EQ(tag.keyLength, 8);
    EXPECT_EQ(tag.decimals, 2);
    auto image = [&tag](double v) {
        TnvVariant value;
        value.PutNumber(v);
        tag.KeyFormat(value, true);
        return std::string(value.View());
    };
    EXPECT_EQ(image(12.5), "00012.50");
    EXPECT_EQ(image(-12.5), ",,,+*.',");
    EXPECT_EQ(image(-0.001), "00000.00");  // rounds to zero: the key of zero
    EXPECT_EQ(image(123456789), "99999.99");
    EXPECT_EQ(image(-123456789), "#####.##");
    std::vector<double> values = {-99999, -12.5, -12.49, -1, 0, 0.01, 12.5, 1e9};
    for (std::size_t i = 1; i < values.size(); ++i) EXPECT_LT(image(values[i - 1]), image(values[i]));
    // A key expression that is not a plain field: 18 digits with 4 decimals.
    auto expr = NVobjNTXFile::Open(&t.IndexTable(), dir.File("expr.ntx"), true, true, false);
    ASSERT_TRUE(expr->TagAdd("", "NUM*2", false, true, ""));
    EXPECT_EQ(expr->Tag()->keyLength, 18);
    EXPECT_EQ(expr->Tag()->decimals, 4);
}

TEST(NtxBuild, HundredKeysMakeThreeEvenLeavesUnderTheRoot) {
    TempDir dir;
    {
        NVO_DBFBuild build(dir.File("h.dbf"));
        build.AddField("TEN", "C", 10, 0);
        build.Build();
    }
    NVO_dBHandler t(dir.File("h.dbf"), false, true, "");
    for (int i = 0; i < 100; ++i) {
        t.BlankRecord();
        t.PutRaw(1, "K" + std::to_string(1000 + (i * 37) % 100));
        t.Append();
    }
    auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("h.ntx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("", "TEN", false, true, ""));
    file->Tag()->PageRelease();
    auto bytes = ReadAll(dir.File("h.ntx"));
    ASSERT_EQ(bytes.size(), 5u * 1024u);
    const uint32_t root = nvbytes::LoadLE32(&bytes[4]);
    EXPECT_EQ(root, 4096u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[root]), 2);
    int leafKeys = 0;
    for (uint32_t page = 1024; page < root; page += 1024) {
        const int n = nvbytes::LoadLE16(&bytes[page]);
        EXPECT_LE(n, 34);
        leafKeys += n;
    }
    EXPECT_EQ(leafKeys + 2, 100);
    EXPECT_EQ(Walk(*file->Tag()).size(), 100u);
}

TEST(NtxBuild, VaryingKeysTakeTheFieldsWidthAndUpperCaseKeysApply) {
    TempDir dir;
    {
        NVO_DBFBuild build(dir.File("v.dbf"));
        build.AddField("TEXT", "C", 20, 0);
        build.Build();
    }
    NVO_dBHandler t(dir.File("v.dbf"), false, true, "");
    const char* const values[] = {"ab", "zebra crossing", "Abc", "abd", "mango", "a"};
    for (const char* v : values) {
        t.BlankRecord();
        t.PutRaw(1, v);
        t.Append();
    }
    t.Go(1);
    auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("v.ntx"), true, true, false);
    file->upperCaseKeys = true;
    // The key length is the field's width, not that of the current record's value ("ab").
    ASSERT_TRUE(file->TagAdd("", "TRIM(TEXT)", false, true, ""));
    EXPECT_EQ(file->Tag()->keyLength, 20);
    std::vector<Entry> walked = Walk(*file->Tag());
    std::vector<Entry> want = {{"A", 6}, {"AB", 1}, {"ABC", 3}, {"ABD", 4}, {"MANGO", 5}, {"ZEBRA CROSSING", 2}};
    EXPECT_EQ(walked, want);
    // A file opened later does not upper-case the keys it adds.
    file.reset();
    auto later = NVobjNTXFile::Open(&t.IndexTable(), dir.File("v.ntx"), false, false, false);
    NVobjIndexKeyData key;
    key.PutString("aa");
    key.reference = 9;
    EXPECT_TRUE(later->Tag()->KeyAdd(key));
    EXPECT_EQ(Walk(*later->Tag()).back(), Entry("aa", 9));
}

// An enciphered table without records whose key expression gives one sample value.
class CipherTable : public TnvIndexTable {
public:
    class Sample : public TnvIndexExpression {
    public:
        std::string Text() const override { return "KEYEXPR"; }
        void Evaluate(TnvVariant& result) override { result.PutString("0123456789"); }
    };
    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view, int16_t) override {
        return std::make_unique<Sample>();
    }
    int32_t RecordNumber() const override { return 0; }
    int32_t RecordCount() const override { return 0; }
    bool ExactMatch() const override { return true; }
    bool HasOldRecord() const override { return false; }
    bool RecordModified() const override { return false; }
    void UseOldRecord(bool) override {}
    std::string Directory() const override { return std::string(); }
    bool Enciphered() const override { return true; }
    std::string ReadPassword() const override { return "secret"; }
    std::string WritePassword() const override { return "secret"; }
};

TEST(NtxFile, EncipheredPagesAndHeaderReadBack) {
    TempDir dir;
    CipherTable table;
    const std::string path = dir.File("e.ntx");
    {
        auto file = NVobjNTXFile::Open(&table, path, true, true, false);
        ASSERT_TRUE(file->TagAdd("", "KEYEXPR", false, true, ""));
        for (int i = 0; i < 500; ++i) {
            NVobjIndexKeyData key;
            key.PutString("PLAIN" + std::to_string(10000 + (i * 7919) % 500));
            key.reference = i + 1;
            ASSERT_TRUE(file->Tag()->KeyAdd(key));
        }
    }
    auto raw = ReadAll(path);
    std::string text(raw.begin(), raw.end());
    EXPECT_EQ(text.find("PLAIN"), std::string::npos);
    EXPECT_EQ(text.find("KEYEXPR"), std::string::npos);
    auto file = NVobjNTXFile::Open(&table, path, false, false, true);
    ASSERT_FALSE(file->corrupt);
    EXPECT_EQ(file->Tag()->RootPage(), 1024);
    std::vector<Entry> walked = Walk(*file->Tag());
    ASSERT_EQ(walked.size(), 500u);
    EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
    EXPECT_FALSE(file->ChangedByOther());
    {
        auto other = NVobjNTXFile::Open(&table, path, false, false, true);
        other->RecordChanged(1, false);
    }
    EXPECT_TRUE(file->ChangedByOther());
}

TEST(NtxFile, ChangeCounterWrapsAndOthersSeeIt) {
    TempDir dir;
    MakeTable(dir.File("c.dbf"), 5, 1u);
    NVO_dBHandler t(dir.File("c.dbf"), false, true, "");
    auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("c.ntx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("", "NAME", false, true, ""));
    file->changeCounter = 32766;
    file->RecordChanged(1, false);
    EXPECT_EQ(nvbytes::LoadLE16(&ReadAll(dir.File("c.ntx"))[2]), 32767);
    file->RecordChanged(1, false);
    EXPECT_EQ(file->changeCounter, 1);
    EXPECT_EQ(nvbytes::LoadLE16(&ReadAll(dir.File("c.ntx"))[2]), 1);
    file.reset();

    auto mine = NVobjNTXFile::Open(&t.IndexTable(), dir.File("c.ntx"), false, false, true);
    auto other = NVobjNTXFile::Open(&t.IndexTable(), dir.File("c.ntx"), false, false, true);
    EXPECT_FALSE(mine->ChangedByOther());
    other->RecordChanged(2, false);
    EXPECT_TRUE(mine->ChangedByOther());
    EXPECT_FALSE(mine->ChangedByOther());
}

TEST(NtxFile, ZapAndReindexRebuildFromTheTable) {
    TempDir dir;
    MakeTable(dir.File("z.dbf"), 500, 2u);
    NVO_dBHandler t(dir.File("z.dbf"), false, true, "");
    auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("z.ntx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("", "NAME", false, false, "ACTIVE"));
    const std::vector<Entry> built = Walk(*file->Tag());
    file->Zap();
    EXPECT_EQ(ReadAll(dir.File("z.ntx")).size(), 2048u);
    EXPECT_EQ(file->Tag()->TagMove(-3), 0);
    file->Reindex();
    EXPECT_EQ(Walk(*file->Tag()), built);
    EXPECT_EQ(file->Tag()->forExpression, "ACTIVE");
    EXPECT_FALSE(file->Tag()->ascending);
    // After a Zap, keys added one by one go after the empty root, never over it.
    file->Zap();
    for (int32_t r = 1; r <= 300; ++r) {
        NVobjIndexKeyData key;
        key.PutString("K" + std::to_string(100000 + r * 7 % 300));
        key.reference = r;
        file->Tag()->KeyAdd(key);
    }
    file.reset();
    auto reopened = NVobjNTXFile::Open(&t.IndexTable(), dir.File("z.ntx"), false, false, false);
    EXPECT_EQ(Walk(*reopened->Tag()).size(), 300u);
}

// Record writes through the cursor, compared with a fresh build after each round. Long keys
// make small pages (12 items), so splits, deep trees and emptied pages all happen.
TEST(NtxMaintenance, MaintainedTagsEqualAFreshBuild) {
    TempDir dir;
    MakeTable(dir.File("m.dbf"), 400, 9u);
    NVO_dBHandler t(dir.File("m.dbf"), false, true, "");
    const TagCase cases[] = {
        {"NAME+SPACE(50)", "", false, true, 'C'},
        {"NAME+SPACE(50)", "", false, false, 'C'},
        {"AGE", "", false, true, 'N'},
        {"BORN", "", false, false, 'D'},
        {"CODE+SPACE(60)", "", true, true, 'C'},
        {"NAME+SPACE(50)", "ACTIVE", false, true, 'C'},
    };
    std::vector<std::unique_ptr<NVobjNTXFile>> files;
    int slot = 1;
    for (const TagCase& c : cases) {
        auto file = NVobjNTXFile::Open(&t.IndexTable(), dir.File("m" + std::to_string(slot) + ".ntx"), true, true, false);
        ASSERT_TRUE(file->TagAdd("", c.key, c.unique, c.ascending, c.forExpr));
        t.SetIndexFile(slot++, std::make_unique<Slot>(*file));
        files.push_back(std::move(file));
    }
    EXPECT_EQ(files[0]->Tag()->MaxItems(), 12);
    std::mt19937 rng(21);
    auto check = [&](const std::string& when) {
        for (std::size_t k = 0; k < files.size(); ++k) {
            NVobjNTXTag& tag = *files[k]->Tag();
            SCOPED_TRACE(std::string(cases[k].key) + " " + when);
            auto fresh = NVobjNTXFile::Open(&t.IndexTable(), dir.File("fresh.ntx"), true, true, false);
            ASSERT_TRUE(fresh->TagAdd("", tag.keyExpression, tag.unique, tag.ascending, tag.forExpression));
            const std::vector<Entry> walked = Walk(tag);
            ExpectSameContent(walked, Walk(*fresh->Tag()), tag.unique);
            EXPECT_EQ(Walk(tag, true), walked);
        }
    };
    for (int round = 0; round < 6; ++round) {
        for (int step = 0; step < 60; ++step) {
            const int what = static_cast<int>(rng() % 6);
            if (what == 0) {
                t.BlankRecord();
                t.PutRaw(1, "N" + std::to_string(rng() % 997));
                t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 400)) - 200.0L);
                t.PutRaw(4, "q");
                t.PutRaw(5, "T");
                t.Append();
                continue;
            }
            const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            t.Go(r);
            if (what == 1) t.PutRaw(1, "N" + std::to_string(rng() % 997));
            if (what == 2) t.SetNumber(2, -static_cast<long double>(rng() % 5000) / 10.0L);
            if (what == 3) t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 5)));
            if (what == 4) t.PutRaw(5, rng() % 2 ? "T" : "F");
            if (what == 5) {
                t.DeleteRecord();
                continue;
            }
            t.WriteRecord(r);
        }
        check("after round " + std::to_string(round));
    }
    // The right edge: the records with the highest keys move below all others one by one,
    // emptying the last pages; then new highest keys arrive.
    for (int i = 0; i < 60; ++i) {
        NVobjNTXTag& tag = *files[0]->Tag();
        const int32_t r = tag.TagMove(-4);
        ASSERT_NE(r, 0);
        t.Go(r);
        t.PutRaw(1, "A" + std::to_string(i));
        t.WriteRecord(r);
    }
    check("after emptying the right edge");
    for (int i = 0; i < 60; ++i) {
        NVobjNTXTag& tag = *files[0]->Tag();
        const int32_t r = tag.TagMove(-3);
        t.Go(r);
        t.PutRaw(1, "Z" + std::to_string(100 + i));
        t.WriteRecord(r);
    }
    check("after new highest keys");
    for (auto& file : files) {
        file->Reindex();
        EXPECT_EQ(Walk(*file->Tag()), Expected(t, *file->Tag()));
    }
}

// Corrupt files: a clear error on open or on the walk, never a crash or a hang.
TEST(NtxCorrupt, DamagedFilesRaiseIndexFileCorrupted) {
    TempDir dir;
    MakeTable(dir.File("k.dbf"), 600, 5u);
    NVO_dBHandler t(dir.File("k.dbf"), false, true, "");
    const std::string path = dir.File("k.ntx");
    {
        auto file = NVobjNTXFile::Open(&t.IndexTable(), path, true, true, false);
        ASSERT_TRUE(file->TagAdd("", "NAME+SPACE(40)", false, true, ""));
    }
    const std::vector<uint8_t> good = ReadAll(path);
    const uint32_t root = nvbytes::LoadLE32(&good[4]);
    ASSERT_NE(nvbytes::LoadLE32(&good[root + nvbytes::LoadLE16(&good[root + 2])]), 0u) << "root must be interior";
    auto entryAt = [](std::vector<uint8_t>& b, uint32_t page, int slot) {
        return page + nvbytes::LoadLE16(&b[page + 2 * slot]);
    };
    auto damaged = [&](const std::function<void(std::vector<uint8_t>&)>& patch) {
        std::vector<uint8_t> bytes = good;
        patch(bytes);
        WriteAll(path, bytes);
        return nvtest::ErrorOf([&] {
            auto file = NVobjNTXFile::Open(&t.IndexTable(), path, false, false, false);
            if (file->corrupt) NvRaise(TnvMsg::IndexCorrupted, {file->MessageName()});
            Walk(*file->Tag());
            Walk(*file->Tag(), true);
        });
    };
    const std::string corrupted = "Index file " + path + " is corrupted";
    // Header: root beyond the file, lengths that do not describe a page, a bad signature.
    EXPECT_EQ(damaged([](auto& b) { nvbytes::StoreLE32(&b[4], 1u << 30); }), corrupted);
    EXPECT_EQ(damaged([](auto& b) { nvbytes::StoreLE16(&b[12], 9); }), corrupted);
    EXPECT_EQ(damaged([](auto& b) { nvbytes::StoreLE16(&b[18], 500); }), corrupted);
    EXPECT_EQ(damaged([](auto& b) { nvbytes::StoreLE16(&b[0], 0x4242); }), corrupted);
    // Pages: key count too large, a slot outside the page, a child outside the file, a child
    // that is the page itself or an ancestor (a cycle), a page cut short.
    EXPECT_EQ(damaged([root](auto& b) { nvbytes::StoreLE16(&b[root], 999); }), corrupted);
    EXPECT_EQ(damaged([root](auto& b) { nvbytes::StoreLE16(&b[root + 2], 1020); }), corrupted);
    EXPECT_EQ(damaged([&](auto& b) { nvbytes::StoreLE32(&b[entryAt(b, root, 1)], 1u << 28); }), corrupted);
    EXPECT_EQ(damaged([&](auto& b) { nvbytes::StoreLE32(&b[entryAt(b, root, 1)], root); }), corrupted);
    EXPECT_EQ(damaged([&](auto& b) {
                  const uint32_t child = nvbytes::LoadLE32(&b[entryAt(b, root, 1)]);
                  for (int slot = 1; slot <= nvbytes::LoadLE16(&b[child]) + 1; ++slot)
                      nvbytes::StoreLE32(&b[entryAt(b, child, slot)], root);
              }),
              corrupted);
    EXPECT_EQ(damaged([&](auto& b) {
                  const uint32_t last = nvbytes::LoadLE32(&b[entryAt(b, root, nvbytes::LoadLE16(&b[root]) + 1)]);
                  b.resize(last + 500);
              }),
              corrupted);
    // A child named twice in a page, a page below two parents: a walk would visit it again.
    EXPECT_EQ(damaged([&](auto& b) {
                  nvbytes::StoreLE32(&b[entryAt(b, root, 2)], nvbytes::LoadLE32(&b[entryAt(b, root, 1)]));
              }),
              corrupted);
    EXPECT_EQ(damaged([&](auto& b) {
                  const uint32_t first = nvbytes::LoadLE32(&b[entryAt(b, root, 1)]);
                  const uint32_t second = nvbytes::LoadLE32(&b[entryAt(b, root, 2)]);
                  ASSERT_NE(nvbytes::LoadLE32(&b[entryAt(b, first, 1)]), 0u) << "three levels needed";
                  nvbytes::StoreLE32(&b[entryAt(b, second, 1)], nvbytes::LoadLE32(&b[entryAt(b, first, 1)]));
              }),
              corrupted);
    // Every leaf pointing at every other page in turn: errors only, no crash or hang.
    for (uint32_t page = 1024; page < good.size(); page += 1024) {
        std::string message = damaged([page](auto& b) {
            const uint32_t slot = page + nvbytes::LoadLE16(&b[page + 2]);
            nvbytes::StoreLE32(&b[slot], 1024u);
        });
        if (!message.empty()) {
            EXPECT_EQ(message, corrupted);
        }
    }
    WriteAll(path, good);
    auto file = NVobjNTXFile::Open(&t.IndexTable(), path, false, false, false);
    EXPECT_EQ(Walk(*file->Tag()).size(), 600u);
}

}  // namespace
