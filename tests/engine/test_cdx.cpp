// CDX files: the peer's compound index read tag by tag, the same tags built and maintained
// here, builds of every kind of tag over 0 to many records against a sort of the values, the
// byte images of keys and leaves, tag replacement and removal, rebuilds, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_cdx.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv_test_errors.h"

namespace {

namespace fs = std::filesystem;
using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;

const std::string kPeer = std::string(PELMORA_FIXTURES) + "/peer/";

// Puts an index file into a cursor slot so that record writes maintain it.
class Slot : public NVO_IndexFile {
public:
    explicit Slot(NVobjIndexFile& file) : file_(file) {}
    NVO_DiskFile* DiskFile() override { return file_.diskFile.get(); }
    void RecordChanged(int32_t record, bool appending) override { file_.RecordChanged(record, appending); }
    void Reindex() override { file_.Reindex(); }

private:
    NVobjIndexFile& file_;
};

// (key bytes, record) in walking order.
using Entry = std::pair<std::string, int32_t>;

std::vector<Entry> Walk(NVobjIndexTag& tag, bool backward = false) {
    std::vector<Entry> out;
    for (int32_t r = tag.TagMove(backward ? -4 : -3); r != 0; r = tag.TagMove(backward ? -2 : -1)) {
        out.emplace_back(std::string(tag.currentKey.View()), r);
        if (out.size() > 500000) break;
    }
    if (backward) std::reverse(out.begin(), out.end());
    return out;
}

std::vector<int32_t> Records(const std::vector<Entry>& entries) {
    std::vector<int32_t> out;
    for (const auto& e : entries) out.push_back(e.second);
    return out;
}

std::string OrderLine(NVobjIndexTag& tag) {
    std::string line = "order " + tag.tagName + "|" + tag.keyExpression + "|" + tag.forExpression + "|" +
                       (tag.ascending ? "ascending" : "descending") + "|" + (tag.unique ? "unique" : "duplicates") +
                       "|";
    for (int32_t r : Records(Walk(tag))) line += " " + std::to_string(r);
    return line;
}

std::map<std::string, std::string> DumpOrders() {
    std::ifstream in(kPeer + "people.dump");
    std::map<std::string, std::string> out;
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("order ", 0) == 0) out[line.substr(6, line.find('|') - 6)] = line;
    return out;
}

std::string CopyPeople(const TempDir& dir) {
    for (const char* ext : {".dbf", ".fpt", ".cdx"}) fs::copy_file(kPeer + "people" + ext, dir.File(std::string("people") + ext));
    return dir.File("people.dbf");
}

// The definitions of the peer's tags, read from its own file.
struct Definition {
    std::string name, key, forExpression;
    bool unique, ascending;
};

std::vector<Definition> Definitions(NVobjCDXFile& file) {
    std::vector<Definition> out;
    for (int i = 0; i < file.TagCount(); ++i) {
        NVobjIndexTag& t = *file.TagByNumber(i);
        out.push_back({t.tagName, t.keyExpression, t.forExpression, t.unique, t.ascending});
    }
    return out;
}

TEST(CdxPeer, EveryTagWalksLikeThePeerDumpBothWaysAndFindsEveryKey) {
    TempDir dir;
    NVO_dBHandler t(CopyPeople(dir), false, true, "");
    t.SetShowDeleted(true);
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("people.cdx"), false, false, false);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->corrupt);
    ASSERT_EQ(file->TagCount(), 9);
    std::map<std::string, std::string> expected = DumpOrders();
    ASSERT_EQ(expected.size(), 9u);
    for (int i = 0; i < file->TagCount(); ++i) {
        NVobjIndexTag& tag = *file->TagByNumber(i);
        SCOPED_TRACE(tag.tagName);
        EXPECT_EQ(OrderLine(tag), expected[tag.tagName]);
        std::vector<Entry> forward = Walk(tag);
        EXPECT_EQ(Walk(tag, true), forward);
        if (tag.keyType != 'C') continue;
        // Every entry is found at its record, also those of deleted records.
        for (const Entry& e : forward) {
            t.NVO_dBaseFld::Go(e.second);
            NVobjIndexKeyData key(256);
            bool ok;
            tag.KeyEvaluate(key, ok);
            key.reference = tag.unique ? -1 : e.second;
            EXPECT_EQ(tag.KeyFind(key), e.second) << e.first;
        }
    }
    // Key types follow the expressions.
    EXPECT_EQ(file->TagByName("AMOUNT")->keyType, 'N');
    EXPECT_EQ(file->TagByName("born")->keyType, 'D');
    EXPECT_EQ(file->TagByName("AGENAME")->keyType, 'C');
}

TEST(CdxPeer, TagsBuiltHereGiveThePeerOrders) {
    TempDir dir;
    NVO_dBHandler t(CopyPeople(dir), false, true, "");
    std::vector<Definition> definitions;
    {
        auto peer = NVobjCDXFile::Open(&t.IndexTable(), dir.File("people.cdx"), false, false, false);
        definitions = Definitions(*peer);
    }
    std::map<std::string, std::string> expected = DumpOrders();
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("mine.cdx"), true, true, false);
    for (const Definition& d : definitions)
        ASSERT_TRUE(file->TagAdd(d.name, d.key, d.unique, d.ascending, d.forExpression));
    file.reset();
    auto again = NVobjCDXFile::Open(&t.IndexTable(), dir.File("mine.cdx"), false, false, false);
    ASSERT_TRUE(again);
    ASSERT_FALSE(again->corrupt);
    ASSERT_EQ(again->TagCount(), 9);
    for (int i = 0; i < again->TagCount(); ++i) {
        NVobjIndexTag& tag = *again->TagByNumber(i);
        EXPECT_EQ(OrderLine(tag), expected[tag.tagName]);
    }
}

// A maintained unique tag keeps one entry per key, but when the record that holds a key
// takes another, the key leaves the tag even if other records still have it (a fresh build
// would pick one of those). So: every entry holds its record's current key, and the keys are
// those of a fresh build, in its order, less the ones that left.
void ExpectUniqueConsistent(NVO_dBHandler& t, NVobjIndexTag& tag, const std::vector<Entry>& walked,
                            const std::vector<Entry>& built) {
    std::set<std::string> present;
    for (const Entry& e : walked) {
        present.insert(e.first);
        t.NVO_dBaseFld::Go(e.second);
        TnvVariant key(256);
        bool ok;
        tag.KeyEvaluate(key, ok);
        tag.KeyFormat(key, true);
        EXPECT_EQ(std::string(key.View()), e.first) << "record " << e.second;
    }
    std::vector<std::string> a, b;
    for (const auto& e : walked) a.push_back(e.first);
    for (const auto& e : built)
        if (present.count(e.first)) b.push_back(e.first);
    EXPECT_EQ(a, b);
}

// Walks every tag of `file` against a fresh build of the same definition.
void ExpectLikeFreshBuilds(NVO_dBHandler& t, NVobjCDXFile& file, const std::string& freshPath) {
    auto fresh = NVobjCDXFile::Open(&t.IndexTable(), freshPath, true, true, false);
    for (int i = 0; i < file.TagCount(); ++i) {
        NVobjIndexTag& tag = *file.TagByNumber(i);
        SCOPED_TRACE(tag.tagName);
        ASSERT_TRUE(fresh->TagAdd(tag.tagName, tag.keyExpression, tag.unique, tag.ascending, tag.forExpression));
        std::vector<Entry> walked = Walk(tag);
        std::vector<Entry> built = Walk(*fresh->TagByName(tag.tagName));
        if (tag.unique) {
            ExpectUniqueConsistent(t, tag, walked, built);
        } else {
            // Equal keys stay in record order, so the walks agree exactly.
            EXPECT_EQ(walked, built);
        }
        EXPECT_EQ(Walk(tag, true), walked);
    }
}

TEST(CdxPeer, AppendsEditsAndDeletesKeepEveryTagLikeAFreshBuild) {
    TempDir dir;
    NVO_dBHandler t(CopyPeople(dir), false, true, "");
    t.SetShowDeleted(true);
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("people.cdx"), false, false, false);
    ASSERT_TRUE(file && !file->corrupt);
    const int32_t counter = file->Structural()->changeCounter;
    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    std::mt19937 rng(11);
    const char* const names[] = {"Abbott", "Zed", "Thompson", "Lee P", "Walker", "", "Mac", "Young K"};
    for (int step = 0; step < 90; ++step) {
        const int what = static_cast<int>(rng() % 5);
        if (what == 0) {
            t.BlankRecord();
            t.PutRaw(1, names[rng() % 8]);
            t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 20000) - 10000) / 100.0L);
            t.SetDate(3, TnvDBFDate::YMDToDay(1950 + static_cast<int>(rng() % 60), 1 + rng() % 12, 1 + rng() % 28));
            t.PutRaw(4, rng() % 2 ? "T" : "F");
            t.SetNumber(5, static_cast<long double>(rng() % 120));
            t.Append();
        } else {
            const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            t.Go(r);
            if (what == 1) t.PutRaw(1, names[rng() % 8]);
            if (what == 2) t.SetNumber(2, -static_cast<long double>(rng() % 5000) / 100.0L);
            if (what == 3) t.PutRaw(4, rng() % 2 ? "T" : "F");
            if (what == 4) t.SetNumber(5, static_cast<long double>(rng() % 120));
            t.WriteRecord(r);
        }
        if (step % 30 == 29) ExpectLikeFreshBuilds(t, *file, dir.File("fresh.cdx"));
    }
    EXPECT_GT(file->Structural()->changeCounter, counter);
    auto bytes = ReadAll(dir.File("people.cdx"));
    EXPECT_EQ(static_cast<int32_t>(nvbytes::LoadLE32(&bytes[8])), file->Structural()->changeCounter);
    // The file reopens to the same content.
    std::vector<std::vector<Entry>> before;
    for (int i = 0; i < file->TagCount(); ++i) before.push_back(Walk(*file->TagByNumber(i)));
    t.SetIndexFile(1, nullptr);
    file.reset();
    auto again = NVobjCDXFile::Open(&t.IndexTable(), dir.File("people.cdx"), false, false, false);
    ASSERT_FALSE(again->corrupt);
    for (int i = 0; i < again->TagCount(); ++i) EXPECT_EQ(Walk(*again->TagByNumber(i)), before[i]);
}

// ---- builds over generated tables --------------------------------------------------------

std::string Name(std::mt19937& rng) {
    static const char* const kSyllables[] = {"AN", "bo", "CE", "du", "EL", "fa", "GI", "ho", "\xC9", "\xE6"};
    std::string s;
    const int parts = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < parts; ++i) s += kSyllables[rng() % 10];
    return s;
}

// NAME C 8, AGE N 6 1, BORN D, CODE C 3 with `count` records; every tenth date blank.
void MakePeople(const std::string& path, int count, unsigned seed) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 8, 0);
        build.AddField("AGE", "N", 6, 1);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("CODE", "C", 3, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    std::mt19937 rng(seed);
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutRaw(1, Name(rng));
        t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 2000) - 1000) / 10.0L);
        if (n % 10 != 0)
            t.SetDate(3, TnvDBFDate::YMDToDay(1900 + static_cast<int>(rng() % 120), 1 + rng() % 12, 1 + rng() % 28));
        t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 26)));
        t.Append();
    }
}

struct TagCase {
    const char* name;
    const char* expression;
    const char* forExpression;
    bool unique;
    bool ascending;
    bool general;
};

const TagCase kCases[] = {
    {"NAME", "NAME", "", false, true, false},
    {"AGE", "AGE", "", false, true, false},
    {"BORN", "BORN", "", false, true, false},
    {"UCODE", "UPPER(CODE)", "", true, true, false},
    {"AGEDESC", "AGE", "", false, false, false},
    {"YOUNG", "NAME", "AGE < 0", false, true, false},
    {"MIXED", "CODE+DTOS(BORN)", "", false, false, false},
    {"GNAME", "NAME", "", false, true, true},
    {"GUNIQUE", "NAME", "", true, false, true},
};

// The records of a tag in the order a sort of the evaluated values gives: value, then record;
// unique keeps the first record of each value; descending walks all of it backwards.
std::vector<int32_t> Expected(NVO_dBHandler& t, NVobjIndexTag& tag, const TagCase& c) {
    std::vector<std::tuple<double, std::string, int32_t>> rows;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.NVO_dBaseFld::Go(r);
        if (tag.hasFor && !tag.ForEvaluate()) continue;
        TnvVariant value(256);
        bool ok;
        tag.KeyEvaluate(value, ok);
        double number = 0;
        std::string text;
        if (value.Kind() == TnvVariant::kNumeric) number = value.AsNumber();
        else if (value.Kind() == TnvVariant::kDate) number = value.AsDate();
        else {
            text = std::string(value.View());
            while (!text.empty() && text.back() == ' ') text.pop_back();
            if (c.general) text = NvCdxGeneralKey(text, tag.keyLength);
        }
        rows.emplace_back(number, text, r);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    std::vector<int32_t> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (c.unique && i > 0 && std::get<0>(rows[i]) == std::get<0>(rows[i - 1]) &&
            std::get<1>(rows[i]) == std::get<1>(rows[i - 1]))
            continue;
        out.push_back(std::get<2>(rows[i]));
    }
    if (!c.ascending) std::reverse(out.begin(), out.end());
    return out;
}

int Depth(NVobjIndexTag& tag) {
    tag.TagMove(-3);
    int depth = 0;
    for (NVobjIndexKey* page = tag.Root(); page; page = page->Child()) ++depth;
    return depth;
}

std::unique_ptr<NVobjCDXFile> BuildCases(NVO_dBHandler& t, const std::string& path) {
    auto file = NVobjCDXFile::Open(&t.IndexTable(), path, true, true, false);
    for (const TagCase& c : kCases) {
        NvCdxSetCollation(c.general ? kCdxCollationGeneral : kCdxCollationMachine);
        EXPECT_TRUE(file->TagAdd(c.name, c.expression, c.unique, c.ascending, c.forExpression));
    }
    NvCdxSetCollation(kCdxCollationMachine);
    return file;
}

class CdxBuild : public ::testing::TestWithParam<int> {};

TEST_P(CdxBuild, EveryKindOfTagMatchesASortOfTheTable) {
    const int count = GetParam();
    TempDir dir;
    MakePeople(dir.File("p.dbf"), count, 3u + static_cast<unsigned>(count));
    NVO_dBHandler t(dir.File("p.dbf"), false, true, "");
    BuildCases(t, dir.File("p.cdx")).reset();
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("p.cdx"), false, false, false);
    ASSERT_TRUE(file && !file->corrupt);
    ASSERT_EQ(file->TagCount(), static_cast<int>(std::size(kCases)));
    EXPECT_EQ(ReadAll(dir.File("p.cdx")).size() % 512, 0u);
    for (const TagCase& c : kCases) {
        SCOPED_TRACE(c.name);
        NVobjCDXTag& tag = *static_cast<NVobjCDXTag*>(file->TagByName(c.name));
        EXPECT_EQ(tag.collation == kCdxCollationGeneral, c.general);
        std::vector<Entry> forward = Walk(tag);
        ASSERT_EQ(Records(forward), Expected(t, tag, c));
        EXPECT_EQ(Walk(tag, true), forward);
        if (count == 0) {
            EXPECT_EQ(tag.TagMove(-3), 0);
            EXPECT_TRUE(tag.AtBOF() && tag.AtEOF());
            continue;
        }
        if (count >= 20000 && !c.unique) {
            EXPECT_GE(Depth(tag), 3);
        }
        const std::size_t step = forward.size() > 2000 ? 613 : 1;
        for (std::size_t i = 0; i < forward.size(); i += step) {
            const int32_t r = forward[i].second;
            t.NVO_dBaseFld::Go(r);
            NVobjIndexKeyData key(256);
            bool ok;
            tag.KeyEvaluate(key, ok);
            key.reference = r;
            EXPECT_EQ(tag.KeyFind(key), r);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CdxBuild, ::testing::Values(0, 1, 1000, 30000));

TEST(CdxBuild, MaintainedTagsEqualAFreshBuildAfterEverySeriesOfWrites) {
    TempDir dir;
    MakePeople(dir.File("m.dbf"), 2500, 17u);
    NVO_dBHandler t(dir.File("m.dbf"), false, true, "");
    auto file = BuildCases(t, dir.File("m.cdx"));
    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    std::mt19937 rng(23);
    for (int step = 0; step < 600; ++step) {
        const int what = static_cast<int>(rng() % 4);
        if (what == 0) {
            t.BlankRecord();
            t.PutRaw(1, Name(rng));
            t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 200) - 100) / 10.0L);
            t.PutRaw(4, "q");
            t.Append();
        } else {
            const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            t.Go(r);
            if (what == 1) t.PutRaw(1, Name(rng));
            if (what == 2) t.SetNumber(2, -static_cast<long double>(rng() % 50));
            if (what == 3) t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 5)));
            t.WriteRecord(r);
        }
        if (step % 200 != 199) continue;
        SCOPED_TRACE("after step " + std::to_string(step));
        for (int g = 0; g < file->TagCount(); ++g) {
            // Fresh builds take the collation of the tag they copy.
            NVobjCDXTag& tag = *file->Tag(g);
            NvCdxSetCollation(tag.collation);
            std::string fresh = dir.File("f" + std::to_string(g) + ".cdx");
            auto rebuilt = NVobjCDXFile::Open(&t.IndexTable(), fresh, true, true, false);
            NvCdxSetCollation(tag.collation);
            ASSERT_TRUE(rebuilt->TagAdd(tag.tagName, tag.keyExpression, tag.unique, tag.ascending, tag.forExpression));
            std::vector<Entry> walked = Walk(tag);
            std::vector<Entry> built = Walk(*rebuilt->Tag(0));
            if (tag.unique) {
                SCOPED_TRACE(tag.tagName);
                ExpectUniqueConsistent(t, tag, walked, built);
            } else {
                EXPECT_EQ(walked, built) << tag.tagName;
            }
        }
        NvCdxSetCollation(kCdxCollationMachine);
    }
    // A rebuild gives every tag its fresh-build order again, general collation included.
    file->Reindex();
    for (const TagCase& c : kCases) {
        NVobjCDXTag& tag = *static_cast<NVobjCDXTag*>(file->TagByName(c.name));
        EXPECT_EQ(tag.collation == kCdxCollationGeneral, c.general) << c.name;
        EXPECT_EQ(Records(Walk(tag)), Expected(t, tag, c)) << c.name;
    }
}

}  // namespace
