// Relative positions in the current order: where the cursor's record stands as a fraction
// of the order, read from the tag's page path, and the jump to a fraction by one descent.
// Every tag test runs once per index format, on trees of several levels, built and then
// grown by maintenance so that the pages are unevenly filled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_dbsy.h"
#include "nv6_indx.h"

namespace {

using dbftest::TempDir;

struct Format {
    const char* ext;
    bool descending;  // the format keeps a descending build (CDX walks its tree backwards)
};

const Format kFormats[] = {{".ndx", false}, {".cdx", true}, {".ntx", true}, {".mdx", true}};

// Long keys with little in common keep pages small (compressed CDX leaves too), so that a
// few thousand keys make a tree of three levels or more.
std::string KeyText(std::mt19937& rng) {
    std::string s;
    for (int i = 0; i < 40; ++i) s += static_cast<char>('A' + rng() % 26);
    return s;
}

void Append(NVO_dBHandler& t, std::mt19937& rng, int count) {
    for (int i = 0; i < count; ++i) {
        t.BlankRecord();
        t.PutRaw(1, KeyText(rng));
        t.Append();
    }
}

// The records of the current order, first to last.
std::vector<int32_t> Walk(NVO_dBHandler& t) {
    std::vector<int32_t> out;
    for (t.Go(-3); !t.Eof() && !t.Bof(); t.Skip(1)) out.push_back(t.CurrentRecord());
    return out;
}

// Where the cursor's record stands in `walk`, as a fraction of the walk.
double WalkShare(const std::vector<int32_t>& walk, int32_t record) {
    auto at = std::find(walk.begin(), walk.end(), record);
    EXPECT_NE(at, walk.end()) << "record " << record << " is not in the order";
    return walk.size() < 2 ? 0.0 : static_cast<double>(at - walk.begin()) / static_cast<double>(walk.size() - 1);
}

class Position : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        table_ = dir_.File("keys.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 40, 0}});
    }
    std::string File(const char* name) const { return std::string(name) + GetParam().ext; }
    // The levels of the tag's tree, counted along the path to its first key.
    static int Levels(NVO_dBHandler& t) {
        t.Go(-3);
        NVobjIndexTag* tag = t.CurrentTag();
        return tag && tag->Root() ? tag->Root()->Leaf()->Depth() + 1 : 0;
    }
    // Positions along a walk rise from 0 to 1, stay close to the walk's own fractions, and
    // each fraction lands close to its place in the walk. Close: the estimate takes the
    // pages of a level as equally full, which a tree of half-full and full pages is not.
    static void CheckOrder(NVO_dBHandler& t, double tolerance) {
        const std::vector<int32_t> walk = Walk(t);
        ASSERT_GT(walk.size(), 1u);
        std::vector<double> places;
        for (t.Go(-3); !t.Eof() && !t.Bof(); t.Skip(1)) places.push_back(t.RelativePosition());
        ASSERT_EQ(places.size(), walk.size());
        EXPECT_EQ(places.front(), 0.0);
        EXPECT_NEAR(places.back(), 1.0, 1e-9);
        for (std::size_t i = 1; i < places.size(); ++i) {
            ASSERT_LE(places[i - 1], places[i]) << "at entry " << i;
        }
        for (std::size_t i = 0; i < places.size(); i += 97)
            EXPECT_NEAR(places[i], static_cast<double>(i) / static_cast<double>(walk.size() - 1), tolerance);
        for (double f = 0; f <= 1.0; f += 0.125) {
            t.GoRelative(f);
            ASSERT_FALSE(t.Eof() || t.Bof());
            EXPECT_NEAR(WalkShare(walk, t.CurrentRecord()), f, tolerance) << "fraction " << f;
        }
        // The place a record reports leads back to it.
        for (std::size_t i = 0; i < walk.size(); i += 131) {
            t.Go(walk[i]);
            const double place = t.RelativePosition();
            t.GoRelative(place);
            EXPECT_EQ(t.CurrentRecord(), walk[i]) << "entry " << i << " at " << place;
        }
    }

    TempDir dir_;
    std::string table_;
};

TEST_P(Position, FollowsTheOrderInBuiltAndMaintainedTrees) {
    NVO_dBHandler t(table_, false, true, "");
    std::mt19937 rng(11);
    Append(t, rng, 1500);
    ASSERT_EQ(t.IndexOn(File("up"), "up", 0, true, "", "NAME"), 0);
    const bool descending = GetParam().descending;
    if (descending) {
        ASSERT_EQ(t.IndexOn(File("down"), "down", 1, true, "", "NAME"), 0);
    }
    ASSERT_EQ(t.OpenIndexFiles(File("up") + (descending ? "," + File("down") : ""), "up"), 0);
    // Maintenance splits pages of the built tree: places must hold over uneven pages.
    Append(t, rng, 1500);
    ASSERT_GE(Levels(t), 3);
    CheckOrder(t, 0.15);
    if (descending) {
        t.SetOrder("down", false);
        ASSERT_GE(Levels(t), 3);
        CheckOrder(t, 0.15);
    }
}

TEST_P(Position, EmptyAndSingleKeyOrders) {
    NVO_dBHandler t(table_, false, true, "");
    ASSERT_EQ(t.IndexOn(File("up"), "up", 0, true, "", "NAME"), 0);
    ASSERT_EQ(t.OpenIndexFiles(File("up"), "up"), 0);
    t.GoRelative(0.5);
    EXPECT_TRUE(t.Eof() && t.Bof());
    EXPECT_EQ(t.RelativePosition(), 0.0);
    std::mt19937 rng(3);
    Append(t, rng, 1);
    for (double f : {0.0, 0.7, 1.0}) {
        t.GoRelative(f);
        EXPECT_EQ(t.CurrentRecord(), 1);
        EXPECT_EQ(t.RelativePosition(), 0.0);
    }
}

TEST_P(Position, LandsOnVisibleRecordsAndStaysInTheRange) {
    NVO_dBHandler t(table_, false, true, "");
    // Keys "K0000".."K1999" in record order, so a place in the order is a record number.
    for (int i = 0; i < 2000; ++i) {
        t.BlankRecord();
        char key[8];
        std::snprintf(key, sizeof key, "K%04d", i);
        t.PutRaw(1, key);
        t.Append();
    }
    ASSERT_EQ(t.IndexOn(File("up"), "up", 0, true, "", "NAME"), 0);
    ASSERT_EQ(t.OpenIndexFiles(File("up"), "up"), 0);
    // The estimate takes every page of a level as equally full; a built tree's small last
    // page skews the middle, but the place reported where a jump lands is the one asked for.
    t.GoRelative(0.5);
    const int32_t middle = t.CurrentRecord();
    EXPECT_NEAR(t.RelativePosition(), 0.5, 0.01);
    // Hidden deleted records give way to the next visible one, at the end to the prior one.
    t.SetShowDeleted(true);
    for (int32_t r = middle; r < middle + 5; ++r) {
        t.Go(r);
        t.DeleteRecord();
    }
    for (int32_t r = 1990; r <= 2000; ++r) {
        t.Go(r);
        t.DeleteRecord();
    }
    t.SetShowDeleted(false);
    t.GoRelative(0.5);
    EXPECT_EQ(t.CurrentRecord(), middle + 5);
    t.GoRelative(1.0);
    EXPECT_EQ(t.CurrentRecord(), 1989);
    // A range is the whole order: its ends are 0 and 1 and its middle is its middle.
    ASSERT_TRUE(t.SetRange("K0100", "K0299", true, true, false));
    t.GoRelative(0.0);
    EXPECT_EQ(t.CurrentRecord(), 101);
    EXPECT_EQ(t.RelativePosition(), 0.0);
    t.GoRelative(1.0);
    EXPECT_EQ(t.CurrentRecord(), 300);
    EXPECT_NEAR(t.RelativePosition(), 1.0, 1e-9);
    t.GoRelative(0.5);
    EXPECT_GT(t.CurrentRecord(), 101);
    EXPECT_LT(t.CurrentRecord(), 300);
    EXPECT_NEAR(t.RelativePosition(), 0.5, 0.02);
    ASSERT_TRUE(t.SetRange("X", "Y", true, true, false));
    t.GoRelative(0.5);
    EXPECT_TRUE(t.Eof() && t.Bof());
}

INSTANTIATE_TEST_SUITE_P(Formats, Position, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext + 1); });

TEST(NaturalPosition, IsRecordNumberOverCountAndSkipsHiddenRecords) {
    TempDir dir;
    const std::string path = dir.File("plain.dbf");
    dbftest::MakeTable(path, {{"NAME", "C", 4, 0}});
    NVO_dBHandler t(path, false, true, "");
    t.GoRelative(0.3);
    EXPECT_TRUE(t.Eof() && t.Bof());
    EXPECT_EQ(t.RelativePosition(), 0.0);
    for (int i = 0; i < 400; ++i) {
        t.BlankRecord();
        t.Append();
    }
    t.Go(100);
    EXPECT_DOUBLE_EQ(t.RelativePosition(), 0.25);
    t.GoRelative(0.5);
    EXPECT_EQ(t.CurrentRecord(), 200);
    t.GoRelative(0.0);
    EXPECT_EQ(t.CurrentRecord(), 1);
    t.Go(200);
    t.DeleteRecord();
    t.Go(400);
    t.DeleteRecord();
    t.SetShowDeleted(false);
    t.GoRelative(0.5);
    EXPECT_EQ(t.CurrentRecord(), 201);
    t.GoRelative(1.0);
    EXPECT_EQ(t.CurrentRecord(), 399);
}

}  // namespace
