// Two programs sharing a table and its index files, played by two cursors that open them
// shared in one process (the byte-range locks belong to open file descriptions, so two
// handles conflict as two processes do): neither writes over the pages of the other, each
// walks the keys the other changed, and each sees the other's writes by the change counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_dbsy.h"
#include "nv6_indx.h"
#include "nv6_os.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;

struct Format {
    const char* ext;
    bool compound;
    bool counted;     // the file keeps a change counter
    bool descending;  // the format has descending tags
};

const Format kFormats[] = {
    {".ndx", false, false, false},
    {".cdx", true, true, true},
    {".ntx", false, true, true},
    {".mdx", true, false, true},
};

constexpr int kFirstRecords = 60;

// Distinct names in no particular order, so that new keys land all over the tree.
std::string NameOf(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "K%05d", (i * 7919) % 99991);
    return text;
}

int AgeOf(int i) { return i % 89; }

// Tags NAME, AGE and, where the format has descending tags, RNAME (NAME from Z to A).
class Sharing : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        table_ = dir_.File("share.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 10, 0}, {"AGE", "N", 4, 0}});
        NVO_dBHandler t(table_, false, true, "");
        for (int i = 1; i <= kFirstRecords; ++i) Add(t, NameOf(i), AgeOf(i));
        const std::string ext = GetParam().ext;
        const bool compound = GetParam().compound;
        auto build = [&](const std::string& tag, int sort, const char* key) {
            const std::string file = compound ? "share" + ext : tag + ext;
            ASSERT_EQ(t.IndexOn(file, tag, sort, true, "", key), 0);
            if (files_.find(file) == std::string::npos) files_ += (files_.empty() ? "" : ",") + file;
        };
        build("NAME", 0, "NAME");
        build("AGE", 0, "AGE");
        if (GetParam().descending) build("RNAME", 1, "NAME");
    }

    std::unique_ptr<NVO_dBHandler> Open(bool shared = true, const std::string& order = "NAME") {
        auto t = std::make_unique<NVO_dBHandler>(table_, shared, true, "");
        EXPECT_EQ(t->OpenIndexFiles(files_, order), 0);
        return t;
    }

    // Appends a record, keeping the mirror the expected orders come from.
    void Add(NVO_dBHandler& t, const std::string& name, int age) {
        t.BlankRecord();
        t.PutRawByName("NAME", name);
        t.SetNumberByName("AGE", age);
        t.Append();
        names_.push_back(name);
        ages_.push_back(age);
    }

    void Edit(NVO_dBHandler& t, int32_t record, const std::string& name, int age) {
        t.SetOrder("", true);
        t.Go(record);
        ASSERT_TRUE(t.LockRecord());
        t.PutRawByName("NAME", name);
        t.SetNumberByName("AGE", age);
        t.WriteRecord(record);
        t.UnlockTable();
        names_[static_cast<std::size_t>(record - 1)] = name;
        ages_[static_cast<std::size_t>(record - 1)] = age;
    }

    // The records in NAME order (names are distinct), or from Z to A.
    std::vector<int32_t> ByName(bool descending = false) const {
        std::vector<int32_t> order(names_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i + 1);
        std::sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
            return descending ? names_[x - 1] > names_[y - 1] : names_[x - 1] < names_[y - 1];
        });
        return order;
    }

    static std::vector<int32_t> Walk(NVO_dBHandler& t, const std::string& order) {
        t.SetOrder(order, false);
        std::vector<int32_t> records;
        for (t.Go(-3); !t.Eof() && records.size() < 100000; t.Skip(1)) records.push_back(t.CurrentRecord());
        return records;
    }

    // Every order of `t` lists every record once, in order (equal ages in any order).
    void ExpectWhole(NVO_dBHandler& t) {
        EXPECT_EQ(Walk(t, "NAME"), ByName());
        if (GetParam().descending) {
            EXPECT_EQ(Walk(t, "RNAME"), ByName(true));
        }
        std::vector<int32_t> byAge = Walk(t, "AGE");
        EXPECT_TRUE(std::is_sorted(byAge.begin(), byAge.end(),
                                   [&](int32_t x, int32_t y) { return ages_[x - 1] < ages_[y - 1]; }));
        std::sort(byAge.begin(), byAge.end());
        ASSERT_EQ(byAge.size(), names_.size());
        for (std::size_t i = 0; i < byAge.size(); ++i) ASSERT_EQ(byAge[i], static_cast<int32_t>(i + 1));
    }

    // A stands in `order` while B moves keys to either side of A's place (and, on odd
    // rounds, A's own record away). After even rounds A refreshes (reads its record again)
    // and steps forward, after odd ones it steps back at once; each step must land on the
    // neighbour the order has now, and at the end the whole order is seen once.
    void WalkAcrossTheOthersChanges(NVO_dBHandler& b, const std::string& order, bool descending, char letter) {
        SCOPED_TRACE(order);
        auto a = Open();
        a->SetOrder(order, false);
        a->Go(-3);
        for (int i = 0; i < 150; ++i) a->Skip(1);
        for (int round = 0; round < 4; ++round, ++letter) {
            SCOPED_TRACE("round " + std::to_string(round));
            // Both ways of skipping: tag steps with deleted records shown, record by record
            // without.
            a->SetShowDeleted(round < 2);
            const int32_t at = a->CurrentRecord();
            const std::string name = names_[static_cast<std::size_t>(at - 1)];
            // The name A stands on without what earlier rounds appended to it.
            const std::string base = name.substr(0, 6);
            for (int k = 0; k < 40; ++k, ++moved_) {
                if (moved_ == at) ++moved_;
                Edit(b, moved_, base + letter + static_cast<char>('0' + k / 10) + static_cast<char>('0' + k % 10),
                     AgeOf(moved_));
            }
            std::string before = base;
            before.back() = static_cast<char>(before.back() - 1);
            for (int k = 0; k < 20; ++k) Add(b, before + letter + std::to_string(k), 1);
            const bool forward = round % 2 == 0;
            if (forward)
                a->Go(at);
            else
                Edit(b, at, std::string("0") + letter, 2);
            // The neighbours of A's record when it refreshed, else of the name it stood on.
            const std::string from = forward ? names_[static_cast<std::size_t>(at - 1)] : name;
            std::vector<int32_t> records = ByName(descending);
            auto next = std::find_if(records.begin(), records.end(), [&](int32_t r) {
                const std::string& n = names_[static_cast<std::size_t>(r - 1)];
                return descending ? n < from : n > from;
            });
            for (int step = 1; step <= 5; ++step) {
                ASSERT_TRUE(forward ? next != records.end() : next != records.begin());
                a->Skip(forward ? 1 : -1);
                ASSERT_EQ(a->CurrentRecord(), forward ? *next++ : *--next) << "step " << step;
            }
        }
        const int32_t at = a->CurrentRecord();
        std::vector<int32_t> seen;
        for (a->Skip(-1); !a->Bof(); a->Skip(-1)) seen.insert(seen.begin(), a->CurrentRecord());
        for (a->Go(at); !a->Eof(); a->Skip(1)) seen.push_back(a->CurrentRecord());
        EXPECT_EQ(seen, ByName(descending));
    }

    TempDir dir_;
    std::string table_;
    std::string files_;
    std::vector<std::string> names_;
    std::vector<int> ages_;
    int32_t moved_ = 1;  // the next record B moves next to A's place
};

TEST_P(Sharing, WritesOfTwoProgramsNeverOverwriteEachOthersPages) {
    auto b = Open();
    std::unique_ptr<NVO_dBHandler> a;
    int next = kFirstRecords + 1;
    // Each round A opens its files, the other program grows them, and A writes for the first
    // time since it opened: whenever that write needs a new page, it must go after B's.
    for (int round = 0; round < 100; ++round) {
        a = Open(true, "");
        for (int k = 0; k < 15; ++k, ++next) Add(*b, NameOf(next), AgeOf(next));
        Add(*a, NameOf(5000 + round), AgeOf(5000 + round));
    }
    Edit(*a, 7, "A-edited", 3);
    Edit(*b, 1200, "B-edited", 3);
    Add(*b, NameOf(9000), 88);
    SCOPED_TRACE("A's view");
    ExpectWhole(*a);
    SCOPED_TRACE("B's view");
    ExpectWhole(*b);
    a.reset();
    b.reset();
    SCOPED_TRACE("alone");
    ExpectWhole(*Open(false));
}

TEST_P(Sharing, AWalkFollowsTheKeysAnotherProgramChanges) {
    auto b = Open();
    for (int i = kFirstRecords + 1; i <= 400; ++i) Add(*b, NameOf(i), AgeOf(i));
    WalkAcrossTheOthersChanges(*b, "NAME", false, 'A');
    if (GetParam().descending) WalkAcrossTheOthersChanges(*b, "RNAME", true, 'E');
}

TEST_P(Sharing, AnEditInsideExistingPagesIsSeenToo) {
    auto b = Open();
    for (int i = kFirstRecords + 1; i <= 400; ++i) Add(*b, NameOf(i), AgeOf(i));
    auto a = Open();
    a->Go(-3);
    for (int i = 0; i < 150; ++i) a->Skip(1);
    const std::vector<int32_t> order = ByName();
    auto place = std::find(order.begin(), order.end(), a->CurrentRecord());
    ASSERT_LT(place + 2, order.end());
    const int32_t first = place[1];
    const int32_t second = place[2];
    auto sizes = [&] {
        std::size_t total = 0;
        for (const std::string& name : NVO_dBHandler::SplitIndexList(files_)) total += ReadAll(dir_.File(name)).size();
        return total;
    };
    const std::size_t before = sizes();
    // B swaps the names of the two records after A: the files keep their size.
    const std::string one = names_[static_cast<std::size_t>(first - 1)];
    Edit(*b, first, names_[static_cast<std::size_t>(second - 1)], AgeOf(first));
    Edit(*b, second, one, AgeOf(second));
    ASSERT_EQ(sizes(), before);
    a->Skip(1);
    EXPECT_EQ(a->CurrentRecord(), second);
    a->Skip(1);
    EXPECT_EQ(a->CurrentRecord(), first);
}

TEST_P(Sharing, StepsFromTheEndsReachKeysAnotherProgramAddedThere) {
    auto a = Open();
    auto b = Open();
    a->SetShowDeleted(false);
    for (a->Go(-3); !a->Eof(); a->Skip(1)) {
    }
    Add(*b, "ZZZ", 1);
    a->Skip(-1);
    EXPECT_EQ(a->CurrentRecord(), b->RecordCount()) << "back from the end";
    for (a->Go(-4); !a->Bof(); a->Skip(-1)) {
    }
    Add(*b, "000", 1);
    a->Skip(1);
    EXPECT_EQ(a->CurrentRecord(), b->RecordCount()) << "on from the top";
}

TEST_P(Sharing, WalkingReadsOnlyWhatItMust) {
    {
        auto t = Open(false);
        for (int i = kFirstRecords + 1; i <= 600; ++i) Add(*t, NameOf(i), AgeOf(i));
    }
    // 200 steps, each reading its record (and, shared, the change mark of every file).
    auto walk = [](NVO_dBHandler& t, NvFaultPlatform& os) {
        t.Go(-3);
        os.ResetCounts();
        for (int i = 0; i < 200; ++i) t.Skip(1);
    };
    {
        auto t = Open(false);
        NvFaultPlatform os;
        NvPlatformScope use(os);
        walk(*t, os);
        EXPECT_EQ(os.Calls(NvOsOp::RangeLock), 0) << "a file opened alone is never locked";
        EXPECT_LE(os.Calls(NvOsOp::Read), 200 + 30);
    }
    if (!GetParam().counted) return;
    // Nobody else wrote, and our own write moved the counter we keep: no page is read again.
    auto t = Open();
    Edit(*t, 10, "own", 1);
    t->SetOrder("NAME", false);
    NvFaultPlatform os;
    NvPlatformScope use(os);
    walk(*t, os);
    const int files = static_cast<int>(NVO_dBHandler::SplitIndexList(files_).size());
    EXPECT_LE(os.Calls(NvOsOp::Read), (1 + files) * 200 + 30);
}

// The formats whose files keep a change counter.
class CountedSharing : public Sharing {};

TEST_P(CountedSharing, EachProgramsWritesMoveTheChangeMarkTheOtherReads) {
    auto a = Open();
    auto b = Open();
    NVobjIndexFile* mine = a->IndexFileCore(1);
    NVobjIndexFile* theirs = b->IndexFileCore(1);
    ASSERT_TRUE(mine && theirs);
    EXPECT_FALSE(mine->ChangedByOther());
    EXPECT_FALSE(theirs->ChangedByOther());
    Edit(*b, 3, "B-first", 1);
    // A writes next: its counter must move on from B's, or B would take A's write for its own.
    Edit(*a, 4, "A-second", 2);
    EXPECT_FALSE(mine->ChangedByOther()) << "a program's own write is not another's";
    EXPECT_TRUE(theirs->ChangedByOther());
    EXPECT_FALSE(theirs->ChangedByOther());
}

// What an MDX file tells other programs about its pages: the next free block in the file
// header, and in each tag's header the last page the tag wrote, each page pointing back to
// the one written before it.
class MdxSharing : public Sharing {};

TEST_P(MdxSharing, TheHeadersKeepUpWithThePagesOfBothPrograms) {
    const std::string mdx = dir_.File("share.mdx");
    auto blocks = [&] { return static_cast<uint32_t>(ReadAll(mdx).size() / 512); };
    auto nextFree = [&] { return nvbytes::LoadLE32(&ReadAll(mdx)[32]); };
    auto a = Open(true, "");
    auto b = Open();
    Add(*a, NameOf(1000), 1);
    for (int i = 0; i < 300; ++i) Add(*b, NameOf(2000 + i), AgeOf(i));
    for (int i = 0; i < 200; ++i) Add(*a, NameOf(3000 + i), AgeOf(i));
    // A's last write is one that grew the file.
    for (int i = 0, grown = 0; !grown && i < 300; ++i) {
        const uint32_t before = blocks();
        Add(*a, NameOf(3500 + i), AgeOf(i));
        grown = blocks() > before;
    }
    for (int i = 0; i < 150; ++i) Add(*b, NameOf(4000 + i), AgeOf(i));
    EXPECT_EQ(nextFree(), blocks()) << "while both have it open";
    // B closes first; A, whose last write came before B's, must not set the header back.
    b.reset();
    a.reset();
    EXPECT_EQ(nextFree(), blocks()) << "after both closed it";

    // Header area, then per tag a header page and the pages on its chain: every page of the
    // file is on one chain.
    const std::vector<uint8_t> bytes = ReadAll(mdx);
    uint32_t counted = nvbytes::LoadLE16(&bytes[20]) * nvbytes::LoadLE16(&bytes[22]) / 512;
    for (int k = 1; k <= nvbytes::LoadLE16(&bytes[28]); ++k) {
        const uint32_t header = nvbytes::LoadLE32(&bytes[512 + 32 * k]);
        ASSERT_LT(header, blocks());
        std::set<uint32_t> chain;
        for (uint32_t n = nvbytes::LoadLE32(&bytes[header * 512 + 252]); n != 0 && chain.insert(n).second;) {
            ASSERT_LT(n, blocks());
            n = nvbytes::LoadLE32(&bytes[n * 512 + 4]);
        }
        counted += 2 * static_cast<uint32_t>(1 + chain.size());
    }
    EXPECT_EQ(counted, blocks());
}

INSTANTIATE_TEST_SUITE_P(Formats, Sharing, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext + 1); });
INSTANTIATE_TEST_SUITE_P(Counted, CountedSharing, ::testing::Values(kFormats[1], kFormats[2]),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext + 1); });
INSTANTIATE_TEST_SUITE_P(Mdx, MdxSharing, ::testing::Values(kFormats[3]),
                         [](const ::testing::TestParamInfo<Format>&) { return std::string("mdx"); });

}  // namespace
