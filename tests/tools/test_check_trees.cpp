// norvane check on the shape of index trees: an NDX tree of three levels damaged on purpose
// the ways other programs of the family would misread it.
#include <gtest/gtest.h>

#include <cstdio>

#include "nv6_bytes.h"
#include "tool_support.h"

namespace {

using nvtest::ScratchDir;
using tooltest::Tool;

class CheckTrees : public ::testing::Test {
protected:
    void SetUp() override {
        table_ = dir_.File("t.dbf");
        ASSERT_EQ(Tool({"create", table_, "--flavour", "dbase3", "--fields", "NAME C 10"}).status, 0);
        {
            NVO_dBHandler t(table_, false, true, "");
            for (int n = 1; n <= 700; ++n) {
                char name[16];
                std::snprintf(name, sizeof name, "N%05d", (n * 7919) % 100000);
                t.BlankRecord();
                t.PutRaw(1, name);
                t.Append();
            }
        }
        index_ = dir_.File("t.ndx");
        ASSERT_EQ(Tool({"index", table_, "--file", index_, "--key", "NAME"}).status, 0);
        sound_ = nvtest::ReadFile(index_);
        root_ = nvbytes::LoadLE32(sound_.data());
        // Root, one level of interior pages, leaves.
        interior_ = ChildOf(root_, 0);
        leaf_ = ChildOf(interior_, 0);
        // The first entry's child is 0 in a leaf only.
        ASSERT_NE(ChildOf(leaf_ == 0 ? root_ : interior_, 0), 0u);
        ASSERT_EQ(ChildOf(leaf_, 0), 0u) << "three levels expected";
    }
    uint32_t ChildOf(uint32_t block, int entry) const {
        return nvbytes::LoadLE32(sound_.data() + block * 512 + 4 + entry * 20);
    }
    // Runs check on the index with `patch` applied to a copy of the sound file.
    tooltest::Result CheckPatched(const std::function<void(std::string&)>& patch) {
        std::string bytes = sound_;
        patch(bytes);
        nvtest::WriteFile(index_, bytes);
        return Tool({"check", table_, "--index", index_});
    }
    void SetCount(std::string& bytes, uint32_t block, int count) {
        nvbytes::StoreLE16(bytes.data() + block * 512, static_cast<uint16_t>(count));
    }
    void SetChild(std::string& bytes, uint32_t block, int entry, uint32_t child) {
        nvbytes::StoreLE32(bytes.data() + block * 512 + 4 + entry * 20, child);
    }

    ScratchDir dir_;
    std::string table_, index_, sound_;
    uint32_t root_ = 0, interior_ = 0, leaf_ = 0;
};

TEST_F(CheckTrees, ASoundTreePasses) {
    auto r = Tool({"check", table_, "--index", index_});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("tag T: 700 keys, ok"), std::string::npos) << r.out;
}

TEST_F(CheckTrees, InteriorPagesWithoutKeysAndEmptyLeavesAreReported) {
    auto r = CheckPatched([&](std::string& b) { SetCount(b, interior_, 0); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tag T: page " + std::to_string(interior_) + " is an interior page without a key"),
              std::string::npos)
        << r.out;
    r = CheckPatched([&](std::string& b) { SetCount(b, leaf_, 0); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tag T: page " + std::to_string(leaf_) + " is an empty leaf"), std::string::npos) << r.out;
}

TEST_F(CheckTrees, LeavesOutOfLineAndPagesReachedTwiceAreReported) {
    // The root's first entry leads straight to a leaf, one level above the others (met
    // first, its depth is the one the others are measured against).
    auto r = CheckPatched([&](std::string& b) { SetChild(b, root_, 0, leaf_); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" is at depth 2, other leaves at 1"), std::string::npos) << r.out;
    // Two entries of one interior page name the same leaf.
    r = CheckPatched([&](std::string& b) { SetChild(b, interior_, 1, leaf_); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tag T: page " + std::to_string(leaf_) + " is reached twice"), std::string::npos) << r.out;
}

}  // namespace
