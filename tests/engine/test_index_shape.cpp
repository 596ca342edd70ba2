// Tree shapes that other programs of the family rely on, checked from the files' bytes: no
// interior page without a key, no empty leaf but an empty root, leaves at one depth. The
// record counts are the ones at which builds and edits used to break the rule (a level's
// last page left with only its right-most pointer, emptied right-edge pages put back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index_support.h"
#include "nv6_ntx.h"

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

}  // namespace
