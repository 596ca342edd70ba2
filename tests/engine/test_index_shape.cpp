// Tree shapes that other programs of the family rely on, checked from the files' bytes: no
// interior page without a key, no empty leaf but an empty root, leaves at one depth. The
// record counts are the ones at which builds and edits used to break the rule (a level's
// last page left with only its right-most pointer, emptied right-edge pages put back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index_support.h"
#include "nv6_bytes.h"

namespace {

using dbftest::TempDir;

struct BuildCase {
    const char* ext;
    int width;
    std::vector<int> counts;
};

// Each count crossed a level boundary so that the level's last page kept a single pointer.
const BuildCase kBuildCases[] = {
    {"ndx", 10, {626, 650, 16000}},
    {"ndx", 100, {50, 65, 80, 257, 500}},
    {"mdx", 10, {3850}},
    {"ntx", 239, {18, 19, 20, 27, 28, 29, 33, 34, 35, 36, 37, 38}},
    {"ntx", 150, {100, 101, 102, 103, 104}},
    {"ntx", 100, {650}},
};

TEST(IndexShape, BuildsLeaveNoKeylessPageAtAnyCount) {
    TempDir dir;
    int table = 0;
    for (const BuildCase& c : kBuildCases) {
        for (int count : c.counts) {
            SCOPED_TRACE(std::string(c.ext) + " width " + std::to_string(c.width) + ", " + std::to_string(count) +
                         " records");
            const std::string dbf = dir.File("b" + std::to_string(++table) + ".dbf");
            ixtest::MakeNames(dbf, c.width, count, [&c](int n) { return ixtest::Scattered(n, c.width); });
            NVO_dBHandler t(dbf, false, true, "");
            const std::string index = dir.File("b" + std::to_string(table) + "." + c.ext);
            ixtest::Build(t, index, "NAME", "NAME");
            ixtest::ExpectTree(index, ixtest::Expected(t));
        }
    }
}

// Earlier builds wrote interior pages without a key; their one child is still reachable:
// a page is a leaf only when its first child pointer is 0.
TEST(IndexShape, NdxInteriorPageWithoutKeysIsReadAsInterior) {
    TempDir dir;
    const std::string dbf = dir.File("k.dbf");
    ixtest::MakeNames(dbf, 10, 30, [](int n) { return ixtest::Scattered(n, 10); });
    NVO_dBHandler t(dbf, false, true, "");
    const std::string index = dir.File("k.ndx");
    ixtest::Build(t, index, "NAME", "NAME");
    std::vector<uint8_t> bytes = dbftest::ReadAll(index);
    const uint32_t root = nvbytes::LoadLE32(bytes.data());
    uint8_t* page = bytes.data() + root * 512;
    ASSERT_EQ(nvbytes::LoadLE16(page), 1) << "two leaves under the root";
    // Count 0 leaves the first entry's child as the only pointer.
    nvbytes::StoreLE16(page, 0);
    const uint32_t onlyChild = nvbytes::LoadLE32(page + 4);
    dbftest::WriteAll(index, bytes);
    const uint8_t* leaf = bytes.data() + onlyChild * 512;
    ixtest::OpenIndex open(t, index, 1);
    ASSERT_TRUE(open.file);
    nvtest::TagWalk walk = nvtest::WalkTag(*open.file->TagByNumber(0));
    ASSERT_EQ(walk.size(), nvbytes::LoadLE16(leaf));
    for (std::size_t i = 0; i < walk.size(); ++i)
        EXPECT_EQ(walk[i].second, static_cast<int32_t>(nvbytes::LoadLE32(leaf + 4 + 20 * i + 4)));
    t.SetIndexFile(1, nullptr);
}

// Edits that empty the low end of the tree: interior pages lose all but their right-most
// child and must not be written without a key.
TEST(IndexShape, EditsThatEmptyALevelKeepEveryKey) {
    for (const char* ext : {"ndx", "mdx", "cdx", "ntx"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        const std::string dbf = dir.File("e.dbf");
        ixtest::MakeNames(dbf, 10, 5000, [](int n) {
            char text[16];
            std::snprintf(text, sizeof text, "%05d", n * 5);
            return std::string(text);
        });
        NVO_dBHandler t(dbf, false, true, "");
        const std::string index = dir.File(std::string("e.") + ext);
        ixtest::Build(t, index, "NAME", "NAME");
        {
            ixtest::OpenIndex open(t, index, 1);
            ASSERT_TRUE(open.file);
            for (int32_t r = 1; r <= t.RecordCount(); ++r) {
                t.Go(r);
                std::string name = t.GetRaw(1);
                if (name.substr(0, 5) >= "12500") continue;
                t.PutRaw(1, "99999");
                t.WriteRecord(r);
            }
            t.SetIndexFile(1, nullptr);
        }
        ixtest::ExpectTree(index, ixtest::Expected(t));
    }
}

// Long NTX keys leave two keys to a page: random edits split, merge and empty pages all the
// time, and the leaves must stay at one depth.
TEST(IndexShape, NtxTreesKeepOneLeafDepthThroughEdits) {
    TempDir dir;
    const std::string dbf = dir.File("n.dbf");
    ixtest::MakeNames(dbf, 239, 60, [](int n) { return ixtest::Scattered(n, 239); });
    NVO_dBHandler t(dbf, false, true, "");
    const std::string index = dir.File("n.ntx");
    ixtest::Build(t, index, "NAME", "NAME");
    ixtest::OpenIndex open(t, index, 1);
    ASSERT_TRUE(open.file);
    unsigned seed = 11;
    for (int step = 1; step <= 3000; ++step) {
        seed = seed * 1103515245u + 12345u;
        const int32_t r = 1 + static_cast<int32_t>((seed >> 8) % 60u);
        t.Go(r);
        t.PutRaw(1, ixtest::Scattered(static_cast<int>((seed >> 4) % 997u), 239));
        t.WriteRecord(r);
        if (step % 500 != 0) continue;
        SCOPED_TRACE("after " + std::to_string(step) + " edits");
        open.file->TagByNumber(0)->PageRelease();
        ixtest::ExpectTree(index, ixtest::Expected(t));
    }
    t.SetIndexFile(1, nullptr);
}

}  // namespace
