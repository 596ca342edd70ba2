// Two programs sharing a table and its index files, played by two cursors that open them
// shared in one process (the byte-range locks belong to open file descriptions, so two
// handles conflict as two processes do): neither writes over the pages of the other, each
// walks the other's keys, and a change counter moved by one is seen by the other. Every test
// runs once per index format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
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
    // Whether the file keeps a change counter (others can only be re-read).
    bool counted;
    bool descending;
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

class Sharing : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        table_ = dir_.File("share.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 10, 0}, {"AGE", "N", 4, 0}});
        NVO_dBHandler t(table_, false, true, "");
        for (int i = 1; i <= kFirstRecords; ++i) Add(t, NameOf(i), AgeOf(i));
        const std::string ext = GetParam().ext;
        // NAME, AGE and, where the format has descending tags, RNAME: NAME from Z to A.
        if (GetParam().compound) {
            ASSERT_EQ(t.IndexOn("share" + ext, "NAME", 0, true, "", "NAME"), 0);
            ASSERT_EQ(t.IndexOn("share" + ext, "AGE", 0, true, "", "AGE"), 0);
            ASSERT_EQ(t.IndexOn("share" + ext, "RNAME", 1, true, "", "NAME"), 0);
            files_ = "share" + ext;
        } else {
            ASSERT_EQ(t.IndexOn("name" + ext, "name", 0, true, "", "NAME"), 0);
            ASSERT_EQ(t.IndexOn("age" + ext, "age", 0, true, "", "AGE"), 0);
            files_ = "name" + ext + ",age" + ext;
            if (GetParam().descending) {
                ASSERT_EQ(t.IndexOn("rname" + ext, "rname", 1, true, "", "NAME"), 0);
                files_ += ",rname" + ext;
            }
        }
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

    // The records in NAME order (names are distinct).
    std::vector<int32_t> ByName() const {
        std::vector<int32_t> order(names_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i + 1);
        std::sort(order.begin(), order.end(),
                  [&](int32_t x, int32_t y) { return names_[x - 1] < names_[y - 1]; });
        return order;
    }

    // The records in one order walked with Skip.
    static std::vector<int32_t> Walk(NVO_dBHandler& t, const std::string& order) {
        t.SetOrder(order, false);
        std::vector<int32_t> records;
        for (t.Go(-3); !t.Eof() && records.size() < 100000; t.Skip(1)) records.push_back(t.CurrentRecord());
        return records;
    }

    // Every order of `t` lists every record once, in the right order (equal ages in any).
    void ExpectWhole(NVO_dBHandler& t) {
        EXPECT_EQ(Walk(t, "NAME"), ByName());
        if (GetParam().descending) {
            std::vector<int32_t> down = ByName();
            std::reverse(down.begin(), down.end());
            EXPECT_EQ(Walk(t, "RNAME"), down);
        }
        std::vector<int32_t> byAge = Walk(t, "AGE");
        ASSERT_EQ(byAge.size(), ages_.size());
        std::map<int, std::vector<int32_t>> runs;
        for (std::size_t i = 0; i < ages_.size(); ++i) runs[ages_[i]].push_back(static_cast<int32_t>(i + 1));
        std::size_t at = 0;
        for (auto& [age, run] : runs) {
            std::vector<int32_t> got(byAge.begin() + static_cast<long>(at),
                                     byAge.begin() + static_cast<long>(at + run.size()));
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, run) << "records of age " << age;
            at += run.size();
        }
    }

    // The peer runtime (another program of the family, ../shared/peer/README.md), where it
    // is installed, reads the CDX and NTX files in the orders we expect.
    void ExpectPeerReads() {
        const std::string ext = GetParam().ext;
        const char* configured = std::getenv("PELMORA_PEER_DIR");
        const std::string peer =
            (configured ? std::string(configured) : std::string(PELMORA_BINARY_DIR) + "/../../shared/peer") + "/dump";
        if ((ext != ".cdx" && ext != ".ntx") || !NvOS().Exists(peer)) return;
        std::string command = peer + (ext == ".cdx" ? " DBFCDX " : " DBFNTX ") + dir_.File("share");
        for (const std::string& name : NVO_dBHandler::SplitIndexList(files_)) command += " " + dir_.File(name);
        FILE* out = ::popen((command + " 2>&1").c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
        ASSERT_EQ(::pclose(out), 0) << text;
        // "order NAME|key|for|ascending|duplicates| 3 1 2"
        std::map<std::string, std::vector<int32_t>> orders;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("order ", 0) != 0) continue;
            std::istringstream records(line.substr(line.rfind('|') + 1));
            std::vector<int32_t>& list = orders[line.substr(6, line.find('|') - 6)];
            for (int32_t r; records >> r;) list.push_back(r);
        }
        std::vector<int32_t> down = ByName();
        std::reverse(down.begin(), down.end());
        EXPECT_EQ(orders["NAME"], ByName()) << "as the peer reads it";
        EXPECT_EQ(orders["RNAME"], down) << "as the peer reads it";
        EXPECT_EQ(orders["AGE"].size(), names_.size()) << "as the peer reads it";
    }

    // A stands in `order` while B moves keys to either side of A's place, and on odd rounds
    // moves A's own record away too. After even rounds A refreshes (reads its record again)
    // and steps forward, after odd ones it steps back at once. Each step must land on the
    // neighbour the order has now; at the end the whole order is seen once.
    void WalkAcrossTheOthersChanges(NVO_dBHandler& b, const std::string& order, bool descending, char letter) {
        SCOPED_TRACE(order);
        auto a = Open();
        a->SetOrder(order, false);
        a->Go(-3);
        for (int i = 0; i < 150; ++i) a->Skip(1);
        auto inOrder = [&] {
            std::vector<int32_t> records = ByName();
            if (descending) std::reverse(records.begin(), records.end());
            return records;
        };
        for (int round = 0; round < 4; ++round, ++letter) {
            SCOPED_TRACE("round " + std::to_string(round));
            // Both ways of skipping: tag steps with deleted records shown, record by record
            // without.
            a->SetShowDeleted(round < 2);
            const int32_t at = a->CurrentRecord();
            const std::string name = names_[static_cast<std::size_t>(at - 1)];
            // The name A stands on, without what earlier rounds put after it.
            const std::string base = name.substr(0, 6);
            for (int k = 0; k < 40; ++k, ++moved_) {
                if (moved_ == at) ++moved_;
                char suffix[8];
                std::snprintf(suffix, sizeof suffix, "%c%02d", letter, k);
                Edit(b, moved_, base + suffix, AgeOf(moved_));
            }
            std::string before = base;
            before.back() = static_cast<char>(before.back() - 1);
            for (int k = 0; k < 20; ++k) Add(b, before + letter + std::to_string(k), 1);
            const bool forward = round % 2 == 0;
            if (forward) {
                a->Go(at);
            } else {
                Edit(b, at, std::string("0") + letter, 2);
            }
            // The neighbours of A's place: of its record when it refreshed, else of the name
            // it stood on.
            std::vector<int32_t> records = inOrder();
            const std::string from = forward ? names_[static_cast<std::size_t>(at - 1)] : name;
            auto beyond = [&](int32_t r) {
                const std::string& n = names_[static_cast<std::size_t>(r - 1)];
                return descending ? n < from : n > from;
            };
            auto next = std::find_if(records.begin(), records.end(), beyond);
            for (int step = 1; step <= 5; ++step) {
                if (forward) {
                    ASSERT_NE(next, records.end());
                    a->Skip(1);
                    ASSERT_EQ(a->CurrentRecord(), *next++) << "step " << step;
                } else {
                    ASSERT_NE(next, records.begin());
                    a->Skip(-1);
                    ASSERT_EQ(a->CurrentRecord(), *--next) << "step " << step;
                }
            }
        }
        // From where A stands, the rest of the order back and forward: every record once.
        const int32_t at = a->CurrentRecord();
        std::vector<int32_t> seen;
        for (a->Skip(-1); !a->Bof(); a->Skip(-1)) seen.push_back(a->CurrentRecord());
        std::reverse(seen.begin(), seen.end());
        a->Go(at);
        for (; !a->Eof(); a->Skip(1)) seen.push_back(a->CurrentRecord());
        EXPECT_EQ(seen, inOrder());
    }

    TempDir dir_;
    std::string table_;
    std::string files_;
    std::vector<std::string> names_;
    std::vector<int> ages_;
    // The next record whose key B moves next to A's place.
    int32_t moved_ = 1;
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
    ExpectPeerReads();
}

TEST_P(Sharing, AWalkFollowsTheKeysAnotherProgramChanges) {
    auto b = Open();
    for (int i = kFirstRecords + 1; i <= 400; ++i) Add(*b, NameOf(i), AgeOf(i));
    WalkAcrossTheOthersChanges(*b, "NAME", false, 'A');
    if (GetParam().descending) WalkAcrossTheOthersChanges(*b, "RNAME", true, 'E');
}

TEST_P(Sharing, EachProgramsWritesMoveTheChangeMarkTheOtherReads) {
    if (!GetParam().counted) GTEST_SKIP() << "the format keeps no change counter";
    auto a = Open();
    auto b = Open();
    NVobjIndexFile* mine = a->IndexFileCore(1);
    NVobjIndexFile* theirs = b->IndexFileCore(1);
    ASSERT_TRUE(mine && theirs);
    EXPECT_FALSE(mine->ChangedByOther());
    EXPECT_FALSE(theirs->ChangedByOther());
    Edit(*b, 3, "B-first", 1);
    // A writes next, after B: its mark must move past B's, or B would take A's write for
    // its own.
    Edit(*a, 4, "A-second", 2);
    EXPECT_FALSE(mine->ChangedByOther()) << "a program's own write is not another's";
    EXPECT_TRUE(theirs->ChangedByOther());
    EXPECT_FALSE(theirs->ChangedByOther());
}

TEST_P(Sharing, WalkingReadsOnlyWhatItMust) {
    {
        auto t = Open(false);
        for (int i = kFirstRecords + 1; i <= 600; ++i) Add(*t, NameOf(i), AgeOf(i));
    }
    // Each step reads its record and, shared, the change mark of every index file.
    const int files = GetParam().compound ? 1 : GetParam().descending ? 3 : 2;
    auto walk = [](NVO_dBHandler& t, NvFaultPlatform& os) {
        t.Go(-3);
        os.ResetCounts();
        for (int i = 0; i < 200; ++i) t.Skip(1);
    };
    {
        // Alone, a walk locks nothing and reads each page and record once.
        auto t = Open(false);
        NvFaultPlatform os;
        NvPlatformScope use(os);
        walk(*t, os);
        EXPECT_EQ(os.Calls(NvOsOp::RangeLock), 0);
        EXPECT_LE(os.Calls(NvOsOp::Read), 200 + 30);
    }
    if (!GetParam().counted) return;
    // Shared, a walk reads the change mark at each step, and nothing more when nobody else
    // wrote: not even after its own write.
    auto t = Open();
    Edit(*t, 10, "own", 1);
    t->SetOrder("NAME", false);
    NvFaultPlatform os;
    NvPlatformScope use(os);
    walk(*t, os);
    EXPECT_LE(os.Calls(NvOsOp::Read), (1 + files) * 200 + 30);
}

// What an MDX file tells other programs about its pages: the next free block in the file
// header and, in each tag's header, the last of the pages the tag wrote, each of which
// points back to the one written before it.
class MdxSharing : public Sharing {};

TEST_P(MdxSharing, TheHeadersKeepUpWithThePagesOfBothPrograms) {
    const std::string mdx = dir_.File("share.mdx");
    auto nextFree = [&] {
        std::vector<uint8_t> bytes = ReadAll(mdx);
        return std::pair<uint32_t, std::size_t>(nvbytes::LoadLE32(&bytes[32]), bytes.size() / 512);
    };
    auto a = Open(true, "");
    auto b = Open();
    Add(*a, NameOf(1000), 1);
    for (int i = 0; i < 300; ++i) Add(*b, NameOf(2000 + i), AgeOf(i));
    for (int i = 0; i < 200; ++i) Add(*a, NameOf(3000 + i), AgeOf(i));
    // A's last write is one that grew the file.
    for (int i = 0, grown = 0; grown == 0 && i < 300; ++i) {
        const std::size_t before = nextFree().second;
        Add(*a, NameOf(3500 + i), AgeOf(i));
        grown = nextFree().second > before;
    }
    for (int i = 0; i < 150; ++i) Add(*b, NameOf(4000 + i), AgeOf(i));
    auto [stored, blocks] = nextFree();
    EXPECT_EQ(stored, blocks) << "while both have it open";
    // B closes first; A, whose last write came before B's, must not set the header back.
    b.reset();
    a.reset();
    std::tie(stored, blocks) = nextFree();
    EXPECT_EQ(stored, blocks) << "after both closed it";

    const std::vector<uint8_t> bytes = ReadAll(mdx);
    auto block = [&](uint32_t n) -> const uint8_t* {
        return static_cast<std::size_t>(n + 1) * 512 <= bytes.size() ? &bytes[n * 512] : nullptr;
    };
    const int tags = nvbytes::LoadLE16(&bytes[28]);
    ASSERT_EQ(tags, 3);
    for (int k = 1; k <= tags; ++k) {
        SCOPED_TRACE("tag " + std::to_string(k));
        const uint8_t* header = block(nvbytes::LoadLE32(&bytes[512 + 32 * k]));
        ASSERT_NE(header, nullptr);
        const int entry = nvbytes::LoadLE16(header + 18);
        std::set<uint32_t> chain;
        for (uint32_t n = nvbytes::LoadLE32(header + 252); n != 0 && chain.insert(n).second;) {
            ASSERT_NE(block(n), nullptr);
            n = nvbytes::LoadLE32(block(n) + 4);
        }
        // Every page of the tree lies on that chain.
        std::vector<uint32_t> pending{nvbytes::LoadLE32(header)};
        int pages = 0;
        while (!pending.empty() && ++pages < 10000) {
            const uint32_t n = pending.back();
            pending.pop_back();
            EXPECT_TRUE(chain.count(n)) << "page " << n << " is not on the chain";
            const uint8_t* page = block(n);
            ASSERT_NE(page, nullptr);
            const uint32_t keys = nvbytes::LoadLE32(page);
            ASSERT_LE(8 + (keys + 1) * static_cast<uint32_t>(entry), 1024u);
            if (nvbytes::LoadLE32(page + 8 + keys * entry) == 0) continue;
            for (uint32_t i = 0; i <= keys; ++i) pending.push_back(nvbytes::LoadLE32(page + 8 + i * entry));
        }
        EXPECT_GT(pages, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Mdx, MdxSharing, ::testing::Values(kFormats[3]),
                         [](const ::testing::TestParamInfo<Format>&) { return std::string("mdx"); });

INSTANTIATE_TEST_SUITE_P(Formats, Sharing, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext + 1); });

}  // namespace
