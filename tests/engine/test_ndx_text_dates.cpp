// NDX date tags written by programs that keep dates as "yyyymmdd" text (header key type 0):
// read as text keys in their order, and record writes add keys in the same text form instead
// of day-number doubles that would not fit the tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv_test_tags.h"
#include "nv6_ndx.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;

using Slot = nvtest::TagSlot;

// Header (character keys of 8 bytes in 16-byte entries, expression BORN) and one leaf with
// the given (text, record) entries.
std::vector<uint8_t> TextDateIndex(const std::vector<std::pair<std::string, uint32_t>>& entries) {
    std::vector<uint8_t> f(1024, 0);
    nvbytes::StoreLE32(f.data(), 1);
    nvbytes::StoreLE32(f.data() + 4, 2);
    nvbytes::StoreLE16(f.data() + 12, 8);
    nvbytes::StoreLE16(f.data() + 14, 31);
    nvbytes::StoreLE16(f.data() + 16, 0);
    nvbytes::StoreLE16(f.data() + 18, 16);
    std::memcpy(f.data() + 24, "BORN", 4);
    uint8_t* page = f.data() + 512;
    nvbytes::StoreLE16(page, static_cast<uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = page + 4 + i * 16;
        nvbytes::StoreLE32(e + 4, entries[i].second);
        std::memcpy(e + 8, entries[i].first.data(), 8);
    }
    return f;
}

nvtest::TagWalk Walk(NVobjIndexTag& tag) { return nvtest::WalkTag(tag, false, nvtest::RawKeyText, 100); }

TEST(NdxTextDates, ATagOfDateTextIsReadAndMaintainedAsText) {
    TempDir dir;
    dbftest::MakeTable(dir.File("d.dbf"), {{"BORN", "D", 8, 0}});
    NVO_dBHandler t(dir.File("d.dbf"), false, true, "");
    for (int32_t day : {TnvDBFDate::YMDToDay(1999, 12, 31), 0, TnvDBFDate::YMDToDay(2024, 2, 29)}) {
        t.BlankRecord();
        t.SetDate(1, day);
        t.Append();
    }
    dbftest::WriteAll(dir.File("d.ndx"), TextDateIndex({{"        ", 2}, {"19991231", 1}, {"20240229", 3}}));
    auto file = NVobjNDXFile::Open(&t.IndexTable(), dir.File("d.ndx"), false, false, false);
    ASSERT_TRUE(file && file->Tag());
    EXPECT_EQ(file->Tag()->keyType, 'C');
    using W = std::vector<std::pair<std::string, int32_t>>;
    EXPECT_EQ(Walk(*file->Tag()), (W{{"", 2}, {"19991231", 1}, {"20240229", 3}}));

    t.SetIndexFile(1, std::make_unique<Slot>(*file));
    t.BlankRecord();
    t.SetDate(1, TnvDBFDate::YMDToDay(2000, 1, 1));
    t.Append();
    t.Go(3);
    t.SetDate(1, 0);
    t.WriteRecord(3);
    EXPECT_EQ(Walk(*file->Tag()), (W{{"", 2}, {"", 3}, {"19991231", 1}, {"20000101", 4}}));
    // A seek by date finds the record through the same text form.
    NVobjIndexKeyData key(256);
    key.PutDate(TnvDBFDate::YMDToDay(2000, 1, 1));
    key.reference = -1;
    EXPECT_EQ(file->Tag()->KeyFind(key), 4);
    file.reset();
    std::vector<uint8_t> bytes = ReadAll(dir.File("d.ndx"));
    const std::string written(bytes.begin(), bytes.end());
    EXPECT_NE(written.find("20000101"), std::string::npos);
}

}  // namespace
