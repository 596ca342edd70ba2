// A page kept in memory after a descent and taken again on a later one is checked against the
// parent entry it is reached from, as a page read from the file is: having fitted under one
// entry says nothing of another entry that points at it in a damaged file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_cdx.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv_test_errors.h"
#include "nv_test_tags.h"

namespace {

using dbftest::TempDir;

TEST(KeptPages, APageKeptUnderOneParentEntryIsCheckedAgainUnderAnother) {
    TempDir dir;
    const std::string table = dir.File("kept.dbf");
    dbftest::MakeTable(table, {{"NAME", "C", 10, 0}});
    NVO_dBHandler t(table, false, true, "");
    for (int i = 1; i <= 6000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "N%07d", (i * 7919) % 999983);
        t.BlankRecord();
        t.PutRaw(1, name);
        t.Append();
    }
    const std::string good = dir.File("kept.cdx");
    std::size_t header;
    {
        auto file = NVobjCDXFile::Open(&t.IndexTable(), good, true, true, false);
        ASSERT_TRUE(file->TagAdd("NAME", "NAME", false, true, ""));
        header = static_cast<std::size_t>(file->TagByNumber(0)->headerAddress);
    }
    std::vector<uint8_t> bytes = dbftest::ReadAll(good);
    const std::size_t root = nvbytes::LoadLE32(&bytes[header]);
    const std::size_t entry = nvbytes::LoadLE16(&bytes[header + 12]) + 8u;
    auto child = [&](std::size_t page, std::size_t index) {
        return static_cast<std::size_t>(nvbytes::LoadBE32(&bytes[page + 12 + index * entry + entry - 4]));
    };
    // The first child must be an interior page itself: only a few leaves stay kept, so a
    // leaf would be read from the file again, and checked there, by the time it is reached.
    const std::size_t first = child(root, 0);
    ASSERT_GE(nvbytes::LoadLE16(&bytes[root + 2]), 3) << "the test needs a root with three children";
    ASSERT_EQ(nvbytes::LoadLE16(&bytes[first]) & 2, 0) << "the test needs a tree of three levels";
    // The root's second entry points at its first child too.
    nvbytes::StoreBE32(&bytes[root + 12 + entry + entry - 4], static_cast<uint32_t>(first));
    const std::string bad = dir.File("bad.cdx");
    dbftest::WriteAll(bad, bytes);

    auto file = NVobjCDXFile::Open(&t.IndexTable(), bad, false, false, false);
    ASSERT_TRUE(file && !file->corrupt);
    NVobjIndexTag& tag = *file->TagByNumber(0);
    // Twice down the left edge: the first child is read, kept, and taken again under the
    // root's first entry.
    EXPECT_NE(tag.TagMove(-3), 0);
    EXPECT_NE(tag.TagMove(-3), 0);
    // A walk back reaches it again under the second entry, whose key it lies above.
    const std::string error = nvtest::ErrorOf([&] { nvtest::WalkTag(tag, true); });
    EXPECT_EQ(error, "Index file " + std::filesystem::absolute(bad).string() + " is corrupted");
}

}  // namespace
