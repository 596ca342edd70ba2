// NDX tags built from real tables through the cursor: the build over 0 to 100,000 records
// against a sort of the table's own values, walks both ways, seeks, and maintenance of the
// built tree by record writes compared with a fresh build after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dbf_support.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv_test_tags.h"
#include "nv6_glbl.h"
#include "nv6_ndx.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;

using Slot = nvtest::TagSlot;

std::string Name(std::mt19937& rng) {
    static const char* const kSyllables[] = {"AN", "BO", "CE", "DU", "EL", "FA", "GI", "HO"};
    std::string s;
    int parts = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < parts; ++i) s += kSyllables[rng() % 8];
    return s;
}

// A table NAME C 8, AGE N 6 1, BORN D, CODE C 3 with `count` records from `seed`; every
// tenth date blank, ages negative and positive.
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
        t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 2000) - 500) / 10.0L);
        if (n % 10 != 0) t.SetDate(3, TnvDBFDate::YMDToDay(1900 + static_cast<int>(rng() % 120), 1 + rng() % 12, 1 + rng() % 28));
        t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 26)));
        t.Append();
    }
}

// One tag's content as (key image, record) in tag order.
using Entry = nvtest::TagEntry;

std::string KeyText(const TnvVariant& key) {
    if (key.Kind() == TnvVariant::kCharacter) {
        std::string s(key.View());
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    }
    return std::to_string(key.AsNumber());
}

std::vector<Entry> Walk(NVobjIndexTag& tag, bool backward = false) { return nvtest::WalkTag(tag, backward, KeyText); }

// The key of every record evaluated by the tag itself, in the order a fresh build sorts
// them: key, then record number; unique keeps the first record of each key.
std::vector<Entry> Expected(NVO_dBHandler& t, NVobjIndexTag& tag, bool numeric) {
    std::vector<std::tuple<double, std::string, int32_t>> rows;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.NVO_dBaseFld::Go(r);
        TnvVariant key(256);
        bool ok;
        tag.KeyEvaluate(key, ok);
        tag.KeyFormat(key, true);
        rows.emplace_back(numeric ? key.AsNumber() : 0.0, KeyText(key), r);
    }
    std::stable_sort(rows.begin(), rows.end(), [numeric](const auto& a, const auto& b) {
        if (numeric) return std::get<0>(a) < std::get<0>(b);
        return std::get<1>(a) < std::get<1>(b);
    });
    std::vector<Entry> out;
    for (const auto& [d, k, r] : rows) {
        if (tag.unique && !out.empty() && out.back().first == k) continue;
        out.emplace_back(k, r);
    }
    return out;
}

struct TagCase {
    const char* expression;
    bool unique;
    bool numeric;
};

const TagCase kCases[] = {
    {"NAME", false, false},
    {"AGE", false, true},
    {"BORN", false, true},
    {"UPPER(CODE)", true, false},
    {"CODE+STR(AGE)", false, false},
};

class NdxBuild : public ::testing::TestWithParam<int> {};

TEST_P(NdxBuild, EveryKindOfTagMatchesASortOfTheTable) {
    const int count = GetParam();
    TempDir dir;
    MakePeople(dir.File("p.dbf"), count, 7u + static_cast<unsigned>(count));
    NVO_dBHandler t(dir.File("p.dbf"), false, true, "");
    int i = 0;
    for (const TagCase& c : kCases) {
        SCOPED_TRACE(c.expression);
        std::string path = dir.File("t" + std::to_string(i++) + ".ndx");
        {
            auto file = NVobjNDXFile::Open(&t.IndexTable(), path, true, true, false);
            ASSERT_TRUE(file);
            ASSERT_TRUE(file->TagAdd("", c.expression, c.unique, true, ""));
        }
        auto file = NVobjNDXFile::Open(&t.IndexTable(), path, false, false, false);
        ASSERT_TRUE(file);
        NVobjNDXTag& tag = *file->Tag();
        EXPECT_EQ(tag.keyType, c.numeric ? (std::string(c.expression) == "BORN" ? 'D' : 'N') : 'C');
        std::vector<Entry> forward = Walk(tag);
        std::vector<Entry> expected = Expected(t, tag, c.numeric);
        ASSERT_EQ(forward, expected);
        EXPECT_EQ(Walk(tag, true), forward);
        EXPECT_EQ(ReadAll(path).size() % 512, 0u);
        if (count == 0) {
            EXPECT_EQ(ReadAll(path).size(), 1024u);
            continue;
        }
        // Every record's key is found at its record; a key beyond all is not.
        int step = count > 2000 ? 997 : 1;
        for (int32_t r = 1; r <= count; r += step) {
            t.NVO_dBaseFld::Go(r);
            NVobjIndexKeyData key(256);
            bool ok;
            tag.KeyEvaluate(key, ok);
            key.reference = r;
            if (c.unique) {
                key.reference = -1;
                EXPECT_NE(tag.KeyFind(key), 0);
            } else {
                EXPECT_EQ(tag.KeyFind(key), r);
            }
        }
        if (!c.numeric) {
            NVobjIndexKeyData missing(256);
            missing.PutString("~~~");
            missing.reference = -1;
            EXPECT_EQ(tag.KeyFind(missing), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NdxBuild, ::testing::Values(0, 1, 1000, 100000));

TEST(NdxBuild, MaintainedTagsEqualAFreshBuildAfterEveryStep) {
    TempDir dir;
    MakePeople(dir.File("m.dbf"), 300, 99u);
    NVO_dBHandler t(dir.File("m.dbf"), false, true, "");
    std::vector<std::unique_ptr<NVobjNDXFile>> files;
    int slot = 1;
    for (const TagCase& c : kCases) {
        std::string path = dir.File("m" + std::to_string(slot) + ".ndx");
        auto file = NVobjNDXFile::Open(&t.IndexTable(), path, true, true, false);
        ASSERT_TRUE(file->TagAdd("", c.expression, c.unique, true, ""));
        t.SetIndexFile(slot++, std::make_unique<Slot>(*file));
        files.push_back(std::move(file));
    }
    std::mt19937 rng(5);
    for (int step = 0; step < 120; ++step) {
        int what = static_cast<int>(rng() % 4);
        if (what == 0) {
            t.BlankRecord();
            t.PutRaw(1, Name(rng));
            t.SetNumber(2, static_cast<long double>(static_cast<int>(rng() % 200)) / 10.0L);
            t.PutRaw(4, "q");
            t.Append();
        } else {
            int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount()));
            t.Go(r);
            if (what == 1) t.PutRaw(1, Name(rng));
            if (what == 2) t.SetNumber(2, -static_cast<long double>(rng() % 50));
            if (what == 3) t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 5)));
            t.WriteRecord(r);
        }
        if (step % 20 != 19) continue;
        for (std::size_t k = 0; k < files.size(); ++k) {
            SCOPED_TRACE(std::string(kCases[k].expression) + " after step " + std::to_string(step));
            NVobjNDXTag& tag = *files[k]->Tag();
            std::vector<Entry> walked = Walk(tag);
            std::string fresh = dir.File("fresh.ndx");
            auto rebuilt = NVobjNDXFile::Open(&t.IndexTable(), fresh, true, true, false);
            ASSERT_TRUE(rebuilt->TagAdd("", kCases[k].expression, kCases[k].unique, true, ""));
            std::vector<Entry> built = Walk(*rebuilt->Tag());
            if (kCases[k].unique) {
                // Which record holds a surviving key is not fixed; the distinct keys are.
                std::vector<std::string> a, b;
                for (const auto& e : walked) a.push_back(e.first);
                for (const auto& e : built) b.push_back(e.first);
                EXPECT_EQ(std::set<std::string>(a.begin(), a.end()), std::set<std::string>(b.begin(), b.end()));
            } else {
                nvtest::ExpectSameRuns(walked, built);
            }
        }
    }
    // After a rebuild every tag equals a fresh build exactly again.
    for (auto& file : files) {
        file->Reindex();
        NVobjNDXTag& tag = *file->Tag();
        EXPECT_EQ(Walk(tag), Expected(t, tag, tag.keyType != 'C'));
    }
}

TEST(NdxBuild, BuildReadsDeletedAndFilteredRecordsAndLeavesTheCursorInPlace) {
    TempDir dir;
    MakePeople(dir.File("d.dbf"), 50, 3u);
    NVO_dBHandler t(dir.File("d.dbf"), false, true, "");
    for (int32_t r : {2, 5, 9}) {
        t.Go(r);
        t.DeleteRecord();
    }
    t.SetShowDeleted(false);
    t.SetFilter("AGE > 0", false, true);
    t.SetFiltered(true);
    t.Go(-3);
    int32_t before = t.CurrentRecord();
    auto file = NVobjNDXFile::Open(&t.IndexTable(), dir.File("d.ndx"), true, true, false);
    ASSERT_TRUE(file->TagAdd("", "NAME", false, true, ""));
    EXPECT_EQ(Walk(*file->Tag()).size(), 50u);
    EXPECT_EQ(t.CurrentRecord(), before);
    EXPECT_EQ(t.State(), TnvDBFState::Normal);
}

TEST(NdxBuild, AKeyExpressionThatFailsMidwayLeavesTheTableUsable) {
    TempDir dir;
    MakePeople(dir.File("f.dbf"), 20, 4u);
    NVO_dBHandler t(dir.File("f.dbf"), false, true, "");
    t.Go(3);
    auto file = NVobjNDXFile::Open(&t.IndexTable(), dir.File("f.ndx"), true, true, false);
    EXPECT_THROW(file->TagAdd("", "NOSUCHFIELD+1", false, true, ""), Exception);
    // Division by zero only at record 10, after the build has started.
    EXPECT_THROW(file->TagAdd("", "NAME+STR(100/(RECNO()-10))", false, true, ""), Exception);
    EXPECT_EQ(t.State(), TnvDBFState::Normal);
    t.Go(4);
    EXPECT_EQ(t.CurrentRecord(), 4);
}

}  // namespace
