// CDX files: the peer's compound index read tag by tag, the same tags built and maintained
// here, builds of every kind of tag over 0 to many records against a sort of the values, the
// byte images of keys and leaves, tag replacement and removal, rebuilds, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
#include "nv6_cdx.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv_test_errors.h"
#include "nv_test_tags.h"

namespace {

namespace fs = std::filesystem;
using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;

const std::string kPeer = std::string(PELMORA_FIXTURES) + "/peer/";

using Slot = nvtest::TagSlot;

// (key bytes, record) in walking order.
using Entry = nvtest::TagEntry;

std::vector<Entry> Walk(NVobjIndexTag& tag, bool backward = false) { return nvtest::WalkTag(tag, backward); }

std::string OrderLine(NVobjIndexTag& tag) {
    std::string line = "order " + tag.tagName + "|" + tag.keyExpression + "|" + tag.forExpression + "|" +
                       (tag.ascending ? "ascending" : "descending") + "|" + (tag.unique ? "unique" : "duplicates") +
                       "|";
    for (int32_t r : nvtest::WalkRecords(Walk(tag))) line += " " + std::to_string(r);
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
        ASSERT_EQ(nvtest::WalkRecords(forward), Expected(t, tag, c));
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
            // A search reads its leaf in place; the steps after it, back first (which
            // decodes the leaf) and then on past the found entry, see what a walk sees.
            EXPECT_EQ(tag.TagMove(-2), i > 0 ? forward[i - 1].second : 0);
            if (i == 0) continue;
            EXPECT_EQ(tag.TagMove(-1), r);
            EXPECT_EQ(tag.TagMove(-1), i + 1 < forward.size() ? forward[i + 1].second : 0);
            EXPECT_EQ(tag.KeyFind(key), r);
            EXPECT_EQ(tag.TagMove(-1), i + 1 < forward.size() ? forward[i + 1].second : 0);
            EXPECT_EQ(tag.TagMove(-2), r);
            EXPECT_EQ(nvtest::RawKeyText(tag.currentKey), forward[i].first);
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
        EXPECT_EQ(nvtest::WalkRecords(Walk(tag)), Expected(t, tag, c)) << c.name;
    }
}

// The records of a tag's leaves read sideways from the leftmost leaf along the right-sibling
// links (as programs that skip through leaves read them), with every left link checked.
std::vector<int32_t> SiblingRecords(const std::vector<uint8_t>& bytes, const NVobjIndexTag& tag) {
    std::size_t page = nvbytes::LoadLE32(&bytes[static_cast<std::size_t>(tag.headerAddress)]);
    const std::size_t entry = static_cast<std::size_t>(tag.keyLength) + 8;
    while (nvbytes::LoadLE16(&bytes[page]) < 2) {
        // Leftmost child; an interior node emptied by deletions is skipped by its parent.
        page = nvbytes::LoadBE32(&bytes[page + 12 + entry - 4]);
    }
    std::vector<int32_t> out;
    int32_t previous = -1;
    for (int guard = 0; guard < 100000; ++guard) {
        const uint8_t* node = &bytes[page];
        EXPECT_EQ(static_cast<int32_t>(nvbytes::LoadLE32(node + 4)), previous) << "left link of " << page;
        const int n = nvbytes::LoadLE16(node + 2);
        const int b = node[23];
        const uint32_t mask = nvbytes::LoadLE32(node + 14);
        for (int i = 0; i < n; ++i) {
            uint64_t v = 0;
            for (int k = b - 1; k >= 0; --k) v = (v << 8) | node[24 + i * b + k];
            out.push_back(static_cast<int32_t>(v & mask));
        }
        const int32_t right = static_cast<int32_t>(nvbytes::LoadLE32(node + 8));
        if (right == -1) break;
        previous = static_cast<int32_t>(page);
        page = static_cast<std::size_t>(right);
    }
    return out;
}

TEST(CdxBuild, ThreeLevelTreesStayRightThroughMassChangesAndKeepTheirSiblingChains) {
    TempDir dir;
    MakePeople(dir.File("big.dbf"), 20000, 31u);
    NVO_dBHandler t(dir.File("big.dbf"), false, true, "");
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("big.cdx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(file->TagAdd("AGE", "AGE", false, false, ""));
    for (int g = 0; g < 2; ++g) {
        file->Tag(g)->PageRelease();
        std::vector<int32_t> sideways = SiblingRecords(ReadAll(dir.File("big.cdx")), *file->Tag(g));
        if (!file->Tag(g)->ascending) std::reverse(sideways.begin(), sideways.end());
        EXPECT_EQ(sideways, nvtest::WalkRecords(Walk(*file->Tag(g))));
        EXPECT_GE(Depth(*file->Tag(g)), 3);
    }
    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    std::mt19937 rng(41);
    // Every record of the middle names moves to the end: whole leaves empty out.
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.Go(r);
        const std::string name = t.GetRaw(1);
        if (name.rfind("CE", 0) == 0 || name.rfind("du", 0) == 0) {
            t.PutRaw(1, "ZZ" + Name(rng));
            t.WriteRecord(r);
        } else if (r % 7 == 0) {
            t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 20) - 10));
            t.WriteRecord(r);
        }
    }
    for (int i = 0; i < 3000; ++i) {
        t.BlankRecord();
        t.PutRaw(1, "AN" + Name(rng));
        t.SetNumber(2, static_cast<long double>(i % 13));
        t.Append();
    }
    t.SetIndexFile(1, nullptr);
    for (int g = 0; g < 2; ++g) {
        NVobjCDXTag& tag = *file->Tag(g);
        SCOPED_TRACE(tag.tagName);
        auto fresh = NVobjCDXFile::Open(&t.IndexTable(), dir.File("fresh.cdx"), true, true, false);
        ASSERT_TRUE(fresh->TagAdd(tag.tagName, tag.keyExpression, tag.unique, tag.ascending, tag.forExpression));
        const std::vector<Entry> walked = Walk(tag);
        EXPECT_EQ(walked, Walk(*fresh->Tag(0)));
        EXPECT_EQ(Walk(tag, true), walked);
        tag.PageRelease();
        std::vector<int32_t> sideways = SiblingRecords(ReadAll(dir.File("big.cdx")), tag);
        if (!tag.ascending) std::reverse(sideways.begin(), sideways.end());
        EXPECT_EQ(sideways, nvtest::WalkRecords(walked));
    }
}

// ---- file and node images --------------------------------------------------------------

// A table with one character field NAME of `width` and the given values.
std::string MakeNames(const TempDir& dir, const std::string& name, int width, const std::vector<std::string>& values) {
    const std::string path = dir.File(name + ".dbf");
    dbftest::MakeTable(path, {{"NAME", "C", width, 0}, {"AGE", "N", 5, 0}});
    NVO_dBHandler t(path, false, true, "");
    int age = 1;
    for (const std::string& v : values) {
        t.BlankRecord();
        t.PutRaw(1, v);
        t.SetNumber(2, age++);
        t.Append();
    }
    return path;
}

int32_t RootOf(const std::vector<uint8_t>& bytes, const NVobjIndexTag& tag) {
    return static_cast<int32_t>(nvbytes::LoadLE32(&bytes[static_cast<std::size_t>(tag.headerAddress)]));
}

// Runs `steps` of `edit` on copies of `table` and `cdx` once with leaves edited in place and
// once with every edited leaf decoded and encoded whole; the two index files must be equal.
void ExpectInPlaceEditsWriteWholeEncodings(const std::string& table, const std::string& cdx,
                                           const std::function<void(NVO_dBHandler&, std::mt19937&)>& edit) {
    struct Restore {
        ~Restore() { NvCdxSetEditInPlace(true); }
    } restore;
    TempDir dir;
    std::vector<uint8_t> images[2];
    for (int way = 0; way < 2; ++way) {
        const std::string base = dir.File(way == 0 ? "inplace" : "whole");
        fs::copy_file(table, base + ".dbf");
        fs::copy_file(cdx, base + ".cdx");
        if (const fs::path memo = fs::path(table).replace_extension(".fpt"); fs::exists(memo))
            fs::copy_file(memo, base + ".fpt");
        NvCdxSetEditInPlace(way == 0);
        {
            NVO_dBHandler t(base + ".dbf", false, true, "");
            auto file = NVobjCDXFile::Open(&t.IndexTable(), base + ".cdx", false, false, false);
            ASSERT_TRUE(file && !file->corrupt);
            t.SetIndexFile(1, std::make_unique<Slot>(*file));
            std::mt19937 rng(57);
            for (int step = 0; step < 1200; ++step) edit(t, rng);
        }
        images[way] = ReadAll(base + ".cdx");
    }
    ASSERT_EQ(images[0].size(), images[1].size());
    const auto differ = std::mismatch(images[0].begin(), images[0].end(), images[1].begin());
    EXPECT_TRUE(differ.first == images[0].end()) << "first difference at byte " << (differ.first - images[0].begin());
}

// Encodes every leaf of the machine-collation tags of `cdx` again so that every other key
// shares nothing with the one before, as a writer that does not look for shared bytes would
// leave it (where the keys still fit); the keys the leaves hold stay the same.
void ShareLess(NVO_dBHandler& t, const std::string& cdx) {
    std::vector<uint8_t> bytes = ReadAll(cdx);
    {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), cdx, false, false, false);
        for (int g = 0; g < file->TagCount(); ++g) {
            const NVobjCDXTag& tag = *file->Tag(g);
            if (tag.General()) continue;
            const int k = tag.keyLength;
            const char pad = tag.keyType == 'C' ? ' ' : '\0';
            std::vector<std::size_t> pages{nvbytes::LoadLE32(&bytes[static_cast<std::size_t>(tag.headerAddress)])};
            while (!pages.empty()) {
                uint8_t* node = &bytes[pages.back()];
                pages.pop_back();
                const int n = nvbytes::LoadLE16(node + 2);
                if (nvbytes::LoadLE16(node) < 2) {
                    for (int i = 0; i < n; ++i) pages.push_back(nvbytes::LoadBE32(node + 12 + i * (k + 8) + k + 4));
                    continue;
                }
                const int b = node[23], rb = node[20], db = node[21];
                auto field = [&](int i) {
                    uint64_t v = 0;
                    for (int j = b - 1; j >= 0; --j) v = (v << 8) | node[24 + i * b + j];
                    return v;
                };
                std::vector<std::pair<std::string, uint64_t>> keys;
                std::string key(static_cast<std::size_t>(k), pad);
                int position = 512;
                for (int i = 0; i < n; ++i) {
                    const uint64_t info = field(i);
                    const int d = static_cast<int>((info >> rb) & node[18]);
                    const int tr = static_cast<int>((info >> (rb + db)) & node[19]);
                    position -= k - d - tr;
                    key.replace(static_cast<std::size_t>(d), static_cast<std::size_t>(k - d - tr),
                                reinterpret_cast<const char*>(node + position), static_cast<std::size_t>(k - d - tr));
                    key.replace(static_cast<std::size_t>(k - tr), static_cast<std::size_t>(tr), static_cast<std::size_t>(tr), pad);
                    keys.emplace_back(key.substr(0, static_cast<std::size_t>(k - tr)), info & nvbytes::LoadLE32(node + 14));
                }
                uint8_t out[512] = {};
                std::memcpy(out, node, 24);
                position = 512;
                const int end = 24 + n * b;
                for (int i = 0; i < n && position >= end; ++i) {
                    const std::string& v = keys[static_cast<std::size_t>(i)].first;
                    int share = 0;
                    if (i % 2 == 0 && i > 0)
                        while (share < static_cast<int>(std::min(v.size(), keys[static_cast<std::size_t>(i) - 1].first.size())) &&
                               v[static_cast<std::size_t>(share)] == keys[static_cast<std::size_t>(i) - 1].first[static_cast<std::size_t>(share)])
                            ++share;
                    position -= static_cast<int>(v.size()) - share;
                    if (position < end) break;
                    std::memcpy(out + position, v.data() + share, v.size() - static_cast<std::size_t>(share));
                    const uint64_t info = keys[static_cast<std::size_t>(i)].second | (uint64_t(share) << rb) |
                                          (uint64_t(k - static_cast<int>(v.size())) << (rb + db));
                    for (int j = 0; j < b; ++j) out[24 + i * b + j] = static_cast<uint8_t>(info >> (8 * j));
                }
                if (position < end) continue;
                nvbytes::StoreLE16(out + 12, static_cast<uint16_t>(position - end));
                std::memcpy(node, out, 512);
            }
        }
    }
    WriteAll(cdx, bytes);
}

// Leaves that gain and lose entries where they lie are written byte for byte as decoding and
// encoding them whole writes them: over every kind of tag, on a table small enough that its
// leaves change layout as records come in, on one large enough for splits and merges whose
// leaves share fewer bytes than they could, and on the peer's own file.
TEST(CdxEdit, LeavesEditedInPlaceAreWrittenAsWholeEncodingWritesThem) {
    for (const int count : {150, 4000}) {
        SCOPED_TRACE("records " + std::to_string(count));
        TempDir dir;
        MakePeople(dir.File("s.dbf"), count, 41u + static_cast<unsigned>(count));
        {
            NVO_dBHandler t(dir.File("s.dbf"), false, true, "");
            BuildCases(t, dir.File("s.cdx")).reset();
            if (count > 1000) ShareLess(t, dir.File("s.cdx"));
        }
        ExpectInPlaceEditsWriteWholeEncodings(dir.File("s.dbf"), dir.File("s.cdx"), [](NVO_dBHandler& t, std::mt19937& rng) {
            // Blank names, names with inner blanks, long runs of one name, random ones.
            const unsigned kind = rng() % 6;
            const std::string name = kind == 0   ? std::string()
                                     : kind == 1 ? "A " + std::string(1, static_cast<char>('A' + rng() % 3))
                                     : kind == 2 ? std::string("SAME")
                                                 : Name(rng);
            const long double age = static_cast<long double>(static_cast<int>(rng() % 60) - 30) / 10.0L;
            const bool append = rng() % 6 == 0;
            const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            if (append)
                t.BlankRecord();
            else
                t.Go(r);
            t.PutRaw(1, name);
            if (append || rng() % 2) t.SetNumber(2, age);
            if (append || rng() % 3 == 0) t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 4)));
            if (append)
                t.Append();
            else
                t.WriteRecord(r);
        });
    }
    SCOPED_TRACE("the peer's file");
    ExpectInPlaceEditsWriteWholeEncodings(kPeer + "people.dbf", kPeer + "people.cdx", [](NVO_dBHandler& t, std::mt19937& rng) {
        const char* const names[] = {"Abbott", "Zed", "Thompson", "Lee P", "Walker", "", "Mac", "Young K"};
        const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
        t.Go(r);
        t.PutRaw(1, names[rng() % 8]);
        if (rng() % 2) t.SetNumber(2, -static_cast<long double>(rng() % 5000) / 100.0L);
        if (rng() % 2) t.SetNumber(5, static_cast<long double>(rng() % 120));
        t.WriteRecord(r);
    });
}

TEST(CdxImage, NewFileLeavesAndNumberImages) {
    TempDir dir;
    const std::string table = MakeNames(dir, "abc", 5, {"AB", "ABC", "ABD"});
    NVO_dBHandler t(table, false, true, "");
    {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("new.cdx"), true, true, false);
        ASSERT_TRUE(file && file->opened);
    }
    auto bytes = ReadAll(dir.File("new.cdx"));
    ASSERT_EQ(bytes.size(), 1536u);
    EXPECT_EQ(nvbytes::LoadLE32(&bytes[0]), 1024u);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[12]), 10);
    EXPECT_EQ(bytes[14], 0xE0);
    EXPECT_EQ(bytes[15], 1);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[504]), 1);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[506]), 1);
    EXPECT_EQ(nvbytes::LoadLE16(&bytes[510]), 1);
    const uint8_t* leaf = &bytes[1024];
    EXPECT_EQ(nvbytes::LoadLE16(leaf), 3);
    EXPECT_EQ(nvbytes::LoadLE16(leaf + 2), 0);
    EXPECT_EQ(nvbytes::LoadLE32(leaf + 4), 0xFFFFFFFFu);
    EXPECT_EQ(nvbytes::LoadLE32(leaf + 8), 0xFFFFFFFFu);
    EXPECT_EQ(nvbytes::LoadLE16(leaf + 12), 488);
    EXPECT_EQ(nvbytes::LoadLE32(leaf + 14), 0xFFFFu);
    EXPECT_EQ(leaf[18], 0x0F);
    EXPECT_EQ(leaf[19], 0x0F);
    EXPECT_EQ(leaf[20], 16);
    EXPECT_EQ(leaf[21], 4);
    EXPECT_EQ(leaf[22], 4);
    EXPECT_EQ(leaf[23], 3);

    // "AB", "ABC", "ABD" with key length 5 store 2, 1 and 1 bytes from the end of the node.
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("abc.cdx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    file->TagAdd("AGE", "AGE", false, true, "");
    NVobjIndexTag& tag = *file->TagByName("NAME");
    EXPECT_EQ(tag.keyLength, 5);
    tag.PageRelease();
    bytes = ReadAll(dir.File("abc.cdx"));
    const uint8_t* node = &bytes[static_cast<std::size_t>(RootOf(bytes, tag))];
    ASSERT_EQ(nvbytes::LoadLE16(node + 2), 3);
    const int b = node[23], r = node[20], d = node[21];
    auto info = [&](int i) {
        uint64_t v = 0;
        for (int k = b - 1; k >= 0; --k) v = (v << 8) | node[24 + i * b + k];
        return std::make_tuple(static_cast<int>(v & nvbytes::LoadLE32(node + 14)), static_cast<int>((v >> r) & node[18]),
                               static_cast<int>((v >> (r + d)) & node[19]));
    };
    EXPECT_EQ(info(0), std::make_tuple(1, 0, 3));
    EXPECT_EQ(info(1), std::make_tuple(2, 2, 2));
    EXPECT_EQ(info(2), std::make_tuple(3, 2, 2));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(node + 508), 4), "DCAB");
    EXPECT_EQ(nvbytes::LoadLE16(node + 12), 488 - 3 * b - 4);
    // A repeated key stores no bytes; the rewritten leaf has two-byte entries.
    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    t.BlankRecord();
    t.PutRaw(1, "ABD");
    t.Append();
    t.SetIndexFile(1, nullptr);
    tag.PageRelease();
    bytes = ReadAll(dir.File("abc.cdx"));
    node = &bytes[static_cast<std::size_t>(RootOf(bytes, tag))];
    ASSERT_EQ(nvbytes::LoadLE16(node + 2), 4);
    EXPECT_EQ(node[23], 2);
    EXPECT_EQ(nvbytes::LoadLE16(node + 12), 488 - 4 * 2 - 4);

    // Number images, and a negative key found again by its value.
    EXPECT_EQ(NvCdxNumberImage(1.0, false), std::string("\xBF\xF0\0\0\0\0\0\0", 8));
    EXPECT_EQ(NvCdxNumberImage(1.0, true), "\xBF\xF0");
    EXPECT_EQ(NvCdxNumberImage(-1.0, false), std::string("\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8));
    EXPECT_EQ(NvCdxNumberImage(-1.0, true), NvCdxNumberImage(-1.0, false));
    EXPECT_EQ(NvCdxNumberImage(0.0, false), std::string("\x80\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(NvCdxNumberImage(0.0, true), "\x80");
    t.Go(2);
    t.SetNumber(2, -1);
    t.WriteRecord(2);
    NVobjIndexTag& age = *file->TagByName("AGE");
    file->Reindex();
    NVobjIndexTag& rebuilt = *file->TagByName("AGE");
    (void)age;
    NVobjIndexKeyData minusOne;
    minusOne.PutNumber(-1);
    minusOne.reference = 2;
    EXPECT_EQ(rebuilt.KeyFind(minusOne), 2);
    EXPECT_EQ(rebuilt.TagMove(-3), 2);
    EXPECT_EQ(std::string(rebuilt.currentKey.View()), NvCdxNumberImage(-1.0, true));
}

TEST(CdxImage, GeneralCollationOrdersByWeightsAndStoresTrailingWeightsAsNibbles) {
    TempDir dir;
    const std::vector<std::string> words = {"banana", "Apple", "\xC6" "ble", "apple", "Zoo", "Stra\xDF" "e",
                                            "strasse", "\xE9" "clair", "eclair", "Eclair", "aeble"};
    NVO_dBHandler t(MakeNames(dir, "g", 10, words), false, true, "");
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("g.cdx"), true, true, false);
    NvCdxSetCollation(kCdxCollationGeneral);
    ASSERT_TRUE(file->TagAdd("G", "NAME", false, true, ""));
    ASSERT_TRUE(file->TagAdd("GD", "NAME", false, false, ""));
    NvCdxSetCollation(kCdxCollationMachine);
    NVobjIndexTag& tag = *file->TagByName("G");
    EXPECT_EQ(tag.keyLength, 20);
    const std::vector<int32_t> order = {3, 11, 2, 4, 1, 9, 10, 8, 6, 7, 5};
    EXPECT_EQ(nvtest::WalkRecords(Walk(tag)), order);
    std::vector<int32_t> reversed(order.rbegin(), order.rend());
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("GD"))), reversed);
    // Case and the expansions do not matter to a search; diacritics do.
    NVobjIndexKeyData key;
    key.PutString("ECLAIR");
    key.reference = -1;
    EXPECT_EQ(tag.KeyFind(key), 9);
    key.PutString("\xC6" "BLE");
    EXPECT_EQ(tag.KeyFind(key), 3);
    key.PutString("STRASSE");
    EXPECT_EQ(tag.KeyFind(key), 6);
    // The key of "eclair" with its acute accent ends in the weight 0xF1, kept as 0x01.
    tag.TagMove(-3);
    for (int i = 0; i < 7; ++i) tag.TagMove(-1);
    ASSERT_EQ(tag.currentKey.reference, 8);
    EXPECT_EQ(static_cast<uint8_t>(tag.currentKey.View().back()), 0xF1);
    file.reset();
    auto bytes = ReadAll(dir.File("g.cdx"));
    auto again = NVobjCDXFile::Open(&t.IndexTable(), dir.File("g.cdx"), false, false, false);
    NVobjIndexTag& reread = *again->TagByName("G");
    const std::size_t header = static_cast<std::size_t>(reread.headerAddress);
    EXPECT_EQ(bytes[header + 15], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[header + 494])), "GENERAL");
    const uint8_t* node = &bytes[static_cast<std::size_t>(RootOf(bytes, reread))];
    EXPECT_EQ(std::count(node + 24, node + 512, 0xF1), 0);
    EXPECT_EQ(nvtest::WalkRecords(Walk(reread)), order);
    EXPECT_EQ(NvCdxGeneralKey("\xFE" "orn", 20), NvCdxGeneralKey("thorn", 20));
}

TEST(CdxFile, TagsAreAddedReplacedDeletedAndNamedWithinTenCharacters) {
    TempDir dir;
    NVO_dBHandler t(MakeNames(dir, "n", 8, {"X", "Y", "A"}), false, true, "");
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("n.cdx"), true, true, false);
    EXPECT_EQ(nvtest::ErrorOf([&] { file->TagAdd("ELEVENCHARS", "NAME", false, true, ""); }),
              "Tag name ELEVENCHARS must have 1 to 10 characters");
    EXPECT_EQ(nvtest::ErrorOf([&] { file->TagAdd("", "NAME", false, true, ""); }),
              "Tag name  must have 1 to 10 characters");
    ASSERT_TRUE(file->TagAdd("TENCHARSXY", "NAME", false, true, ""));
    ASSERT_TRUE(file->TagAdd("age", "AGE", false, false, ""));
    EXPECT_EQ(file->TagByName("AGE")->tagName, "AGE");
    const std::size_t size = ReadAll(dir.File("n.cdx")).size();
    // Same name again: the tag is replaced, the file grows.
    ASSERT_TRUE(file->TagAdd("Age", "NAME", false, true, ""));
    EXPECT_EQ(file->TagCount(), 2);
    EXPECT_GT(ReadAll(dir.File("n.cdx")).size(), size);
    // A definition that fails keeps the tag it would have replaced.
    EXPECT_NE(nvtest::ErrorOf([&] { file->TagAdd("AGE", "NOSUCHFIELD", false, true, ""); }), "");
    file.reset();
    file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("n.cdx"), false, false, false);
    ASSERT_FALSE(file->corrupt);
    ASSERT_EQ(file->TagCount(), 2);
    EXPECT_EQ(file->TagByName("AGE")->keyExpression, "NAME");
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("AGE"))), (std::vector<int32_t>{3, 1, 2}));
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("TENCHARSXY"))), (std::vector<int32_t>{3, 1, 2}));
    EXPECT_FALSE(file->TagDelete("NONE"));
    EXPECT_TRUE(file->TagDelete("tencharsxy"));
    EXPECT_EQ(file->TagCount(), 1);
    EXPECT_TRUE(file->TagDelete("AGE"));
    EXPECT_EQ(file->TagCount(), 0);
    // Emptied where it lies, the open file takes a new tag at once, with none of the old
    // pages showing through.
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("NAME"))), (std::vector<int32_t>{3, 1, 2}));
    EXPECT_TRUE(file->TagDelete("NAME"));
    EXPECT_EQ(ReadAll(dir.File("n.cdx")).size(), 1536u);
    file.reset();
    file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("n.cdx"), false, false, false);
    EXPECT_FALSE(file->corrupt);
    EXPECT_EQ(file->TagCount(), 0);
    // Every file left in the directory is one the test made.
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir.File(""))) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 2);
}

TEST(CdxFile, AReindexThatFailsLeavesTheFileAsItWas) {
    TempDir dir;
    const std::string path = MakeNames(dir, "r", 8, {"C", "B", "A", "D", "E"});
    NVO_dBHandler t(path, false, true, "");
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("r.cdx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(file->TagAdd("INV", "100/AGE", false, true, ""));
    file->TagByName("NAME")->PageRelease();
    file->TagByName("INV")->PageRelease();
    // Not maintained: the file is not in a slot.
    t.Go(4);
    t.SetNumber(2, 0);
    t.WriteRecord(4);
    const auto before = ReadAll(dir.File("r.cdx"));
    EXPECT_NE(nvtest::ErrorOf([&] { file->Reindex(); }), "");
    EXPECT_EQ(ReadAll(dir.File("r.cdx")), before);
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("NAME"))), (std::vector<int32_t>{3, 2, 1, 4, 5}));
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir.File(""))) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 2);
    // Once the key can be evaluated again the rebuild goes through.
    t.Go(4);
    t.SetNumber(2, 50);
    t.WriteRecord(4);
    file->Reindex();
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("INV"))), (std::vector<int32_t>{4, 5, 3, 2, 1}));
}

TEST(CdxFile, ChangeCounterOtherWritersAndTheProductionFlag) {
    TempDir dir;
    const std::string path = MakeNames(dir, "prod", 8, {"B", "A"});
    EXPECT_EQ(ReadAll(path)[28] & 1, 0);
    {
        NVO_dBHandler t(path, false, true, "");
        auto other = NVobjCDXFile::Open(&t.IndexTable(), dir.File("other.cdx"), true, true, false);
        EXPECT_EQ(ReadAll(path)[28] & 1, 0);
        auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("prod.cdx"), true, true, false);
        ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    }
    EXPECT_EQ(ReadAll(path)[28] & 1, 1);
    NVO_dBHandler t(path, true, true, "");
    auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("prod.cdx"), false, false, true);
    ASSERT_TRUE(file && !file->corrupt);
    EXPECT_FALSE(file->ChangedByOther());
    auto bytes = ReadAll(dir.File("prod.cdx"));
    nvbytes::StoreLE32(&bytes[8], nvbytes::LoadLE32(&bytes[8]) + 5);
    WriteAll(dir.File("prod.cdx"), bytes);
    EXPECT_TRUE(file->ChangedByOther());
    EXPECT_FALSE(file->ChangedByOther());
    const int32_t seen = file->Structural()->changeCounter;
    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    t.Go(1);
    t.PutRaw(1, "Z");
    t.WriteRecord(1);
    EXPECT_EQ(file->Structural()->changeCounter, seen + 1);
    EXPECT_EQ(static_cast<int32_t>(nvbytes::LoadLE32(&ReadAll(dir.File("prod.cdx"))[8])), seen + 1);
    EXPECT_FALSE(file->ChangedByOther());
    EXPECT_EQ(nvtest::WalkRecords(Walk(*file->TagByName("NAME"))), (std::vector<int32_t>{2, 1}));
}

// ---- damaged files -------------------------------------------------------------------

// What opening and walking every tag of `path` gives: "corrupt flag", the error raised, or
// "ok".
std::string Outcome(NVO_dBHandler& t, const std::string& path) {
    std::string result = "ok";
    std::string error = nvtest::ErrorOf([&] {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), path, false, false, false);
        if (!file) {
            result = "missing";
            return;
        }
        if (file->corrupt) {
            result = "corrupt flag";
            return;
        }
        for (int i = 0; i < file->TagCount(); ++i) {
            Walk(*file->TagByNumber(i));
            Walk(*file->TagByNumber(i), true);
        }
    });
    return error.empty() ? result : error;
}

TEST(CdxDamage, BadHeadersPagesAndPointersAreReportedNeverFollowed) {
    TempDir dir;
    std::vector<std::string> names;
    std::mt19937 rng(2);
    for (int i = 0; i < 3000; ++i) names.push_back(Name(rng) + std::to_string(i % 7));
    NVO_dBHandler t(MakeNames(dir, "d", 10, names), false, true, "");
    {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), dir.File("d.cdx"), true, true, false);
        ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
    }
    const std::string good = dir.File("d.cdx");
    ASSERT_EQ(Outcome(t, good), "ok");
    const auto original = ReadAll(good);
    std::size_t header;
    {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), good, false, false, false);
        header = static_cast<std::size_t>(file->TagByNumber(0)->headerAddress);
    }
    const std::size_t root = nvbytes::LoadLE32(&original[header]);
    ASSERT_EQ(nvbytes::LoadLE16(&original[root]), 1) << "the test needs an interior root";
    const int keyLength = nvbytes::LoadLE16(&original[header + 12]);
    const std::size_t entry = static_cast<std::size_t>(keyLength) + 8;
    const std::size_t child0 = nvbytes::LoadBE32(&original[root + 12 + keyLength + 4]);
    const std::size_t child1 = nvbytes::LoadBE32(&original[root + 12 + entry + keyLength + 4]);
    // Down to the first leaf.
    std::size_t leaf = child0;
    while (nvbytes::LoadLE16(&original[leaf]) < 2) leaf = nvbytes::LoadBE32(&original[leaf + 12 + keyLength + 4]);

    const std::string bad = dir.File("bad.cdx");
    const std::string corrupted = "Index file " + fs::absolute(bad).string() + " is corrupted";
    auto patched = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        auto bytes = original;
        change(bytes);
        WriteAll(bad, bytes);
        return Outcome(t, bad);
    };
    auto setBE = [](std::vector<uint8_t>& b, std::size_t at, uint32_t v) { nvbytes::StoreBE32(&b[at], v); };
    // Headers.
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE32(&b[header], 1000); }), "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE32(&b[header], 0); }), "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE32(&b[header], 1u << 30); }), "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE16(&b[header + 12], 241); }), "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { std::fill(b.begin() + header + 512, b.begin() + header + 1024, 0); }),
              "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE32(&b[0], 100); }), "corrupt flag");
    // Interior pointers: to itself, to a sibling's page, off the page grid, past the end.
    EXPECT_EQ(patched([&](auto& b) { setBE(b, root + 12 + keyLength + 4, static_cast<uint32_t>(root)); }), corrupted);
    EXPECT_EQ(patched([&](auto& b) { setBE(b, root + 12 + keyLength + 4, static_cast<uint32_t>(child1)); }),
              corrupted);
    EXPECT_EQ(patched([&](auto& b) { setBE(b, root + 12 + keyLength + 4, static_cast<uint32_t>(child0 + 7)); }),
              corrupted);
    EXPECT_EQ(patched([&](auto& b) { setBE(b, root + 12 + keyLength + 4, 0x7FFFFE00u); }), corrupted);
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE16(&b[root + 2], 200); }), corrupted);
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE16(&b[root], 9); }), corrupted);
    // Leaves: too many keys, bad widths, counts that overrun the key length or the area.
    EXPECT_EQ(patched([&](auto& b) { nvbytes::StoreLE16(&b[leaf + 2], 200); }), corrupted);
    EXPECT_EQ(patched([&](auto& b) { b[leaf + 23] = 1; }), corrupted);
    EXPECT_EQ(patched([&](auto& b) { b[leaf + 20] = static_cast<uint8_t>(b[leaf + 20] + 1); }), corrupted);
    EXPECT_EQ(patched([&](auto& b) {
                  // Trailing count of the first entry at its largest.
                  const int bytes = b[leaf + 23];
                  b[leaf + 24 + bytes - 1] = 0xFF;
              }),
              corrupted);
    EXPECT_EQ(patched([&](auto& b) {
                  // Every entry's duplicate and trailing counts zero: all keys full length.
                  const int n = nvbytes::LoadLE16(&b[leaf + 2]);
                  const int bytes = b[leaf + 23];
                  const int r = b[leaf + 20];
                  for (int i = 0; i < n; ++i) {
                      uint8_t* e = &b[leaf + 24 + static_cast<std::size_t>(i * bytes)];
                      uint64_t v = 0;
                      for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | e[k];
                      v &= (uint64_t{1} << r) - 1;
                      for (int k = 0; k < bytes; ++k) e[k] = static_cast<uint8_t>(v >> (8 * k));
                  }
              }),
              corrupted);
    // Short files.
    const std::string cut = patched([&](auto& b) { b.resize(leaf + 100); });
    EXPECT_TRUE(cut == corrupted || cut == "corrupt flag") << cut;
    EXPECT_EQ(patched([&](auto& b) { b.resize(300); }), "corrupt flag");
    EXPECT_EQ(patched([&](auto& b) { b.resize(1100); }), "corrupt flag");
    // The structural tag's entry for the tag pointing at the structural header itself.
    EXPECT_EQ(patched([&](auto& b) {
                  const int bytes = b[1024 + 23];
                  const uint32_t mask = nvbytes::LoadLE32(&b[1024 + 14]);
                  uint64_t v = 0;
                  for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | b[1024 + 24 + static_cast<std::size_t>(k)];
                  v &= ~uint64_t{mask};
                  for (int k = 0; k < bytes; ++k) b[1024 + 24 + static_cast<std::size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
              }),
              "corrupt flag");
    // A random byte anywhere never crashes or hangs.
    std::mt19937 noise(9);
    for (int i = 0; i < 300; ++i) {
        std::string outcome = patched([&](auto& b) {
            for (int k = 0; k < 4; ++k) b[noise() % b.size()] = static_cast<uint8_t>(noise());
        });
        EXPECT_TRUE(outcome == "ok" || outcome == "corrupt flag" || outcome == corrupted) << outcome;
    }
}

}  // namespace
