// The table cursor: natural-order navigation over deleted and filtered records, read-ahead
// coherence, index locking around writes, and pack, zap, copy and password change, the file
// replacing ones also under injected failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "nv_test_errors.h"
#include "dbf_support.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_os.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;

using nvtest::ErrorOf;

// A table of `count` records NAME = "R<n>", N = n, with the records in `deleted` deleted
// and, with `memo`, a memo text "memo <n>" on every record.
void MakeRecords(const std::string& path, int count, std::set<int> deleted, bool memo = false) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 6, 0);
        build.AddField("N", "N", 4, 0);
        if (memo) build.AddField("NOTE", "M", 10, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutText(1, "R" + std::to_string(n));
        t.PutText(2, std::to_string(n));
        if (memo) t.PutText(3, "memo " + std::to_string(n));
        t.Append();
        if (deleted.count(n)) t.DeleteRecord();
    }
}

std::vector<int> WalkForward(NVO_dBHandler& t) {
    std::vector<int> seen;
    for (t.Go(-3); !t.Eof(); t.Skip(1)) seen.push_back(t.CurrentRecord());
    return seen;
}

std::set<std::string> FilesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename());
    return names;
}

std::string MemoValue(NVO_dBHandler& t, int f) {
    std::string value(static_cast<std::size_t>(t.MemoSize(f)), '\0');
    if (!value.empty())
        t.ReadMemo(f, reinterpret_cast<uint8_t*>(value.data()), static_cast<int32_t>(value.size()));
    return value;
}

class EvenFilter : public TnvRecordFilter {
public:
    bool Accepts(NVO_dBHandler& t) override { return static_cast<int>(t.GetNumber(2)) % 2 == 0; }
};

// An index file that only records what the cursor tells it; `failLock` makes LockIndex fail.
class FakeIndex : public NVO_IndexFile {
public:
    FakeIndex(const std::string& path, bool failLock)
        : file_(path, true, true), failLock_(failLock) {
        file_.CreateNew();
    }
    NVO_DiskFile* DiskFile() override { return &file_; }
    void RecordChanged(int32_t record, bool appending) override {
        changes.emplace_back(record, appending);
        if (failChange) NvRaise(TnvMsg::WriteError, {file_.FileName()});
    }
    void Reindex() override { ++reindexed; }
    void LockIndex() override {
        if (failLock_) NvRaise(TnvMsg::CannotLockFile, {file_.FileName()});
        NVO_IndexFile::LockIndex();
    }
    std::vector<std::pair<int32_t, bool>> changes;
    int reindexed = 0;
    bool failChange = false;
    NVO_DiskFile file_;

private:
    bool failLock_;
};

}  // namespace

TEST(DbsyNavigation, DeletedRecordsEndsAndSkips) {
    TempDir dir;
    std::string path = dir.File("nav.dbf");
    MakeRecords(path, 6, {1, 4, 6});
    NVO_dBHandler t(path, false, true, "");
    EXPECT_EQ(WalkForward(t), (std::vector<int>{1, 2, 3, 4, 5, 6}));

    t.SetShowDeleted(false);
    EXPECT_EQ(WalkForward(t), (std::vector<int>{2, 3, 5}));
    t.Go(-4);
    EXPECT_EQ(t.CurrentRecord(), 5);
    t.Skip(-1);
    EXPECT_EQ(t.CurrentRecord(), 3);
    t.Skip(-5);
    EXPECT_TRUE(t.Bof());
    EXPECT_FALSE(t.Positioned());
    t.Go(4);  // by number a deleted record is read
    EXPECT_TRUE(t.Positioned());
    EXPECT_EQ(t.GetText(1), "R4");

    // Natural order with deleted shown: a skip past the end stops on N with end-of-file.
    t.SetShowDeleted(true);
    t.Go(4);
    t.Skip(5);
    EXPECT_EQ(t.CurrentRecord(), 6);
    EXPECT_TRUE(t.Eof());
    t.Go(7);  // N + 1: end-of-file, blank buffer, no error
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.GetRaw(1), "      ");
    EXPECT_EQ(ErrorOf([&] { t.Go(8); }), "Record number 8 is not in table " + path);
    EXPECT_EQ(ErrorOf([&] { t.Go(-6); }), "Record number -6 is not in table " + path);
}

TEST(DbsyNavigation, EveryRecordDeletedOrNoneAtAll) {
    TempDir dir;
    std::string path = dir.File("alldel.dbf");
    MakeRecords(path, 3, {1, 2, 3});
    NVO_dBHandler t(path, false, true, "");
    t.SetShowDeleted(false);
    t.Go(-3);
    EXPECT_TRUE(t.Eof());
    EXPECT_FALSE(t.Positioned());
    t.Go(-4);
    EXPECT_TRUE(t.Bof());

    std::string empty = dir.File("empty.dbf");
    MakeRecords(empty, 0, {});
    NVO_dBHandler e(empty, false, true, "");
    e.Go(-3);
    EXPECT_TRUE(e.Eof() && e.Bof());
    e.Skip(3);
    EXPECT_TRUE(e.Eof() && e.Bof());
}

TEST(DbsyFilter, NavigationUsesTheSetAndWritesKeepItCurrent) {
    TempDir dir;
    std::string path = dir.File("flt.dbf");
    MakeRecords(path, 7, {4});
    NVO_dBHandler t(path, false, true, "");
    t.SetFilter(std::make_unique<EvenFilter>());
    ASSERT_TRUE(t.FilterActive());
    EXPECT_EQ(WalkForward(t), (std::vector<int>{2, 4, 6}));
    t.SetShowDeleted(false);
    EXPECT_EQ(WalkForward(t), (std::vector<int>{2, 6}));
    t.Go(-4);
    EXPECT_EQ(t.CurrentRecord(), 6);
    t.Skip(-1);
    EXPECT_EQ(t.CurrentRecord(), 2);

    t.Go(3);  // reachable by number, but outside the filter
    EXPECT_TRUE(t.Positioned());
    EXPECT_TRUE(t.OutOfOrder());

    // An appended record gets its bit from the filter at once; a rewrite changes it.
    t.BlankRecord();
    t.PutText(2, "8");
    t.Append();
    EXPECT_TRUE(t.FilterSet()->Test(8));
    t.Go(6);
    t.PutText(2, "9");
    t.WriteRecord(6);
    EXPECT_FALSE(t.FilterSet()->Test(6));
    EXPECT_EQ(WalkForward(t), (std::vector<int>{2, 8}));

    t.SetFilter(nullptr);
    EXPECT_FALSE(t.FilterActive());
    EXPECT_EQ(WalkForward(t).size(), 7u);  // deleted record 4 still hidden
}

TEST(DbsyReadAhead, WindowFollowsOwnWritesAndOthersChanges) {
    TempDir dir;
    std::string path = dir.File("ra.dbf");
    MakeRecords(path, 50, {});
    NVO_dBHandler a(path, true, true, "");
    NVO_dBHandler b(path, true, true, "");
    a.SetReadAhead(true);
    ASSERT_TRUE(a.ReadAheadOn());
    a.Go(1);
    // The cursor's own write lands in the window.
    a.Go(10);
    a.PutText(1, "own");
    a.WriteRecord(10);
    a.Go(11);
    a.Go(10);
    EXPECT_EQ(a.GetText(1), "own");

    // Another program's write: the window is stale until a lock or a reported change.
    b.Go(20);
    b.PutText(1, "other");
    b.WriteRecord(20);
    a.Go(20);
    EXPECT_EQ(a.GetText(1), "R20");  // served from the window, as read ahead
    ASSERT_TRUE(a.LockRecord());
    EXPECT_EQ(a.GetText(1), "other");
    a.UnlockTable();

    // The change stamp counts milliseconds: make sure it moves.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    b.Go(30);
    b.PutText(1, "later");
    b.WriteRecord(30);
    EXPECT_TRUE(a.TableChanged() & kTableChangedByOthers);
    a.Go(30);
    EXPECT_EQ(a.GetText(1), "later");

    a.AllowReadAhead(false);
    EXPECT_FALSE(a.ReadAheadOn());
    a.SetReadAhead(true);
    EXPECT_FALSE(a.ReadAheadOn());
}

TEST(DbsyIndexes, WritesLockAndInformIndexesAndReleaseThemOnFailure) {
    TempDir dir;
    std::string path = dir.File("idx.dbf");
    MakeRecords(path, 2, {});
    NVO_dBHandler t(path, false, true, "");
    auto own = std::make_unique<FakeIndex>(dir.File("idx.ntx"), false);
    FakeIndex* first = own.get();
    t.SetIndexFile(1, std::move(own));
    EXPECT_TRUE(t.HasIndexFiles());

    t.BlankRecord();
    t.PutText(1, "new");
    t.Append();
    t.Go(1);
    t.PutText(1, "chg");
    t.WriteRecord(1);
    EXPECT_EQ(first->changes, (std::vector<std::pair<int32_t, bool>>{{3, true}, {1, false}}));
    EXPECT_EQ(first->file_.LockHolds(), 0);
    {
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        t.Flush();  // the table, then (after-flush notice) the index file
        EXPECT_EQ(faults.Calls(NvOsOp::Fsync), 2);
    }

    // A write that fails still releases the index locks.
    {
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        faults.FailFrom(NvOsOp::Write, 1);
        EXPECT_THROW(t.WriteRecord(1), ENorvaneError);
        EXPECT_EQ(first->file_.LockHolds(), 0);
    }

    // One index that cannot be locked: the others are unlocked, nothing is written.
    t.SetIndexFile(5, std::make_unique<FakeIndex>(dir.File("other.ntx"), true));
    t.BlankRecord();
    EXPECT_EQ(ErrorOf([&] { t.Append(); }), "Could not lock indexes for Table " + path);
    EXPECT_EQ(t.RecordCount(), 3);
    EXPECT_EQ(first->file_.LockHolds(), 0);
    EXPECT_EQ(first->changes.size(), 2u);
}

// Writes walk only the slots up to the last filled one: a file in a high slot, behind empty
// ones, or left when a lower slot is emptied still hears of every write.
TEST(DbsyIndexes, WritesReachIndexFilesInAnySlotAsSlotsFillAndEmpty) {
    TempDir dir;
    std::string path = dir.File("slots.dbf");
    MakeRecords(path, 2, {});
    NVO_dBHandler t(path, false, true, "");
    auto make = [&](const char* name, FakeIndex*& at) {
        auto own = std::make_unique<FakeIndex>(dir.File(name), false);
        at = own.get();
        return own;
    };
    FakeIndex *low = nullptr, *high = nullptr, *middle = nullptr;
    t.SetIndexFile(1, make("low.ntx", low));
    t.SetIndexFile(9, make("high.ntx", high));
    t.SetIndexFile(1, nullptr);
    t.Go(1);
    t.WriteRecord(1);
    EXPECT_EQ(high->changes, (std::vector<std::pair<int32_t, bool>>{{1, false}}));
    t.SetIndexFile(9, nullptr);
    t.SetIndexFile(4, make("middle.ntx", middle));
    t.Go(2);
    t.WriteRecord(2);
    EXPECT_EQ(middle->changes, (std::vector<std::pair<int32_t, bool>>{{2, false}}));
    EXPECT_EQ(middle->file_.LockHolds(), 0);
}

// A record on disk is in every index file, whatever the filter or another index file makes
// of it: a filter that fails on the record hides it, the first index error is raised once
// every file was told, and a shared write whose header lock cannot be had changes nothing.
TEST(DbsyIndexes, AWrittenRecordReachesEveryIndexWhateverFailsBesideIt) {
    TempDir dir;
    std::string path = dir.File("w.dbf");
    MakeRecords(path, 3, {});
    auto byName = [&] {
        NVO_dBHandler check(path, true, false, "");
        EXPECT_EQ(check.OpenIndexFiles(dir.File("byname.ndx"), "byname"), 0);
        return WalkForward(check);
    };
    {
        NVO_dBHandler t(path, false, true, "");
        ASSERT_EQ(t.IndexOn(dir.File("byname.ndx"), "", 0, true, "", "NAME"), 0);
        ASSERT_EQ(t.OpenIndexFiles(dir.File("byname.ndx"), ""), 0);
        t.SetFiltered(true);
        t.SetFilter("100 / N > 1", false, true);
        t.Go(1);
        t.PutText(1, "ZULU");
        t.PutText(2, "0");
        EXPECT_EQ(ErrorOf([&] { t.WriteRecord(1); }), "");
        EXPECT_FALSE(t.FilterSet()->Test(1));
        t.BlankRecord();
        t.PutText(1, "ALPHA");
        t.Append();
        EXPECT_FALSE(t.FilterSet()->Test(4));

        auto own = std::make_unique<FakeIndex>(dir.File("fails.ntx"), false);
        own->failChange = true;
        t.CloseIndexes();
        t.SetIndexFile(1, std::move(own));
        ASSERT_EQ(t.OpenIndex(dir.File("byname.ndx")), 0);  // slot 2, after the failing one
        t.Go(2);
        t.PutText(1, "BETA");
        EXPECT_EQ(ErrorOf([&] { t.WriteRecord(2); }), "Error writing to " + dir.File("fails.ntx"));
        // The copy of the record as written follows, so the next write finds its key.
        t.PutText(1, "ZZZ");
        EXPECT_THROW(t.WriteRecord(2), ENorvaneError);
    }
    EXPECT_EQ(byName(), (std::vector<int>{4, 3, 1, 2}));  // ALPHA R3 ZULU ZZZ

    NVO_dBHandler shared(path, true, true, "");
    NVO_DiskFile other(path, true, true);
    other.Open();
    TnvTableLockNumbers numbers;
    NvSetTableLockNumbers(TnvLokProtocol::Default, numbers);
    ASSERT_TRUE(other.LockRange(numbers.AppendLock().offset, numbers.AppendLock().length));
    const std::vector<uint8_t> before = ReadAll(path);
    shared.Go(3);
    shared.PutText(1, "LOCKED");
    {
        NvFaultPlatform faults;  // the lock's waits return at once
        NvPlatformScope use(faults);
        EXPECT_EQ(ErrorOf([&] { shared.WriteRecord(3); }), "Can not Lock file " + path);
    }
    EXPECT_EQ(ReadAll(path), before);
}

TEST(DbsyIndexes, RenameTakesAlongTheIndexesNamedLikeTheTable) {
    TempDir dir;
    MakeRecords(dir.File("ren.dbf"), 2, {}, true);
    {
        NVO_dBHandler t(dir.File("ren.dbf"), false, true, "");
        t.SetIndexFile(1, std::make_unique<FakeIndex>(dir.File("REN.ntx"), false));
        t.SetIndexFile(2, std::make_unique<FakeIndex>(dir.File("other.ntx"), false));
        t.Rename(dir.File("moved.dbf"));
        t.Go(2);
        EXPECT_EQ(t.GetText(3), "memo 2");
    }
    EXPECT_EQ(FilesIn(dir.File("")),
              (std::set<std::string>{"moved.dbf", "moved.dbt", "moved.ntx", "other.ntx"}));
}

TEST(DbsyWholeTable, ZapLeavesTheEmptyFiles) {
    TempDir dir;
    std::string path = dir.File("zap.dbf");
    MakeRecords(path, 5, {}, true);
    {
        NVO_dBHandler t(path, false, true, "");
        t.Zap();
        EXPECT_EQ(t.RecordCount(), 0);
        EXPECT_TRUE(t.Eof() && t.Bof());
    }
    std::vector<uint8_t> b = ReadAll(path);
    int h = b[8] | (b[9] << 8);
    ASSERT_EQ(b.size(), static_cast<std::size_t>(h + 1));
    EXPECT_EQ(b.back(), 0x1A);
    EXPECT_EQ(b[4] | b[5] | b[6] | b[7], 0);
    EXPECT_EQ(ReadAll(dir.File("zap.dbt")).size(), 512u);

    NVO_dBHandler shared(path, true, true, "");
    EXPECT_EQ(ErrorOf([&] { shared.Zap(); }), "Zap requires full access to file " + path);
    EXPECT_EQ(ErrorOf([&] { shared.Pack(); }), "Pack requires full access to file " + path);
}

TEST(DbsyWholeTable, CopyTableMakesShownDeletedRecordsLive) {
    TempDir dir;
    std::string path = dir.File("src.dbf");
    MakeRecords(path, 3, {2}, true);
    NVO_dBHandler t(path, false, true, "");
    t.Go(3);
    t.CopyTable(dir.File("dst.dbf"), "");
    EXPECT_EQ(t.CurrentRecord(), 3);
    NVO_dBHandler c(dir.File("dst.dbf"), false, false, "");
    EXPECT_EQ(c.RecordCount(), 3);
    c.Go(2);
    EXPECT_EQ(c.RecordPointer()[0], ' ');
    EXPECT_EQ(c.GetText(3), "memo 2");
    EXPECT_EQ(c.Header().bytes[29], t.Header().bytes[29]);
}

// Pack keeps the live records with their memos under the same names, and a failure at any
// file move leaves the complete old table and no stray file.
TEST(DbsyWholeTable, PackReplacesTheFilesSafely) {
    TempDir dir;
    std::string path = dir.File("pk.dbf");
    MakeRecords(path, 6, {2, 5}, true);
    const std::set<std::string> before = FilesIn(dir.File(""));
    for (int step = 1; step <= 4; ++step) {
        SCOPED_TRACE(step);
        NVO_dBHandler t(path, false, true, "");
        {
            NvFaultPlatform faults;
            NvPlatformScope use(faults);
            faults.Fail(NvOsOp::Rename, step);
            EXPECT_THROW(t.Pack(), ENorvaneError);
        }
        EXPECT_EQ(FilesIn(dir.File("")), before);
        EXPECT_EQ(t.RecordCount(), 6);
        t.Go(5);
        EXPECT_EQ(t.GetText(3), "memo 5");
    }
    {
        NVO_dBHandler t(path, false, true, "");
        auto own = std::make_unique<FakeIndex>(dir.File("pk.ntx"), false);
        FakeIndex* index = own.get();
        t.SetIndexFile(1, std::move(own));
        t.Pack();
        EXPECT_EQ(index->reindexed, 1);
        EXPECT_EQ(t.RecordCount(), 4);
        EXPECT_EQ(t.CurrentRecord(), 1);
        t.Go(3);
        EXPECT_EQ(t.GetText(1), "R4");
        EXPECT_EQ(t.GetText(3), "memo 4");
        t.Go(4);
        EXPECT_EQ(t.GetText(3), "memo 6");
    }
    std::set<std::string> after = before;
    after.insert("pk.ntx");
    EXPECT_EQ(FilesIn(dir.File("")), after);
}

// A memo or index file that may not be written stops zap, pack and reindex before any file
// has changed (a zap used to empty the table first and fail at its memo file).
TEST(DbsyWholeTable, AFileThatMayNotBeWrittenChangesNothing) {
    TempDir dir;
    std::string path = dir.File("ro.dbf");
    MakeRecords(path, 4, {2}, true);
    {
        NVO_dBHandler t(path, false, true, "");
        ASSERT_EQ(t.IndexOn(dir.File("ro.ndx"), "", 0, true, "", "NAME"), 0);
    }
    const std::string memo = dir.File("ro.dbt");
    const std::vector<uint8_t> table = ReadAll(path), memoBytes = ReadAll(memo), index = ReadAll(dir.File("ro.ndx"));
    for (bool pack : {false, true}) {
        SCOPED_TRACE(pack ? "pack" : "zap");
        NVO_dBHandler t(path, false, true, "");
        ASSERT_EQ(t.OpenIndex(dir.File("ro.ndx")), 0);
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        faults.FailFrom(NvOsOp::Open, 1, EACCES, NvFault::Fail, memo);
        EXPECT_EQ(ErrorOf([&] { pack ? t.Pack() : t.Zap(); }), "Access denied to file " + memo);
        EXPECT_EQ(t.RecordCount(), 4);
    }
    EXPECT_EQ(ReadAll(path), table);
    EXPECT_EQ(ReadAll(memo), memoBytes);
    EXPECT_EQ(ReadAll(dir.File("ro.ndx")), index);

    // Reindex: the second file is read-only, so the first is not rebuilt either.
    NVO_dBHandler t(path, false, true, "");
    auto writable = std::make_unique<FakeIndex>(dir.File("w.ntx"), false);
    FakeIndex* first = writable.get();
    t.SetIndexFile(1, std::move(writable));
    auto readOnly = std::make_unique<FakeIndex>(dir.File("r.ntx"), false);
    readOnly->file_.SetReadWrite(false);
    readOnly->file_.Open();
    t.SetIndexFile(2, std::move(readOnly));
    EXPECT_EQ(ErrorOf([&] { t.Reindex(); }), "Access denied to file " + dir.File("r.ntx"));
    EXPECT_EQ(first->reindexed, 0);
}

// A pack's scratch files carry the table's name; those an interrupted pack left are removed
// by the next pack, a stranger's file under such a name stops it.
TEST(DbsyWholeTable, PackScratchFilesAreNamedAfterTheTableAndCleanedUp) {
    TempDir dir;
    std::string path = dir.File("pk.dbf");
    MakeRecords(path, 5, {2}, true);
    const std::set<std::string> files = FilesIn(dir.File(""));
    {
        // The old files set aside cannot be removed: they stay, named after the table.
        NVO_dBHandler t(path, false, true, "");
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        faults.FailFrom(NvOsOp::Unlink, 1);
        t.Pack();
        EXPECT_EQ(t.RecordCount(), 4);
    }
    std::set<std::string> left = files;
    left.insert({"pk.pack-old.dbf", "pk.pack-old.dbt"});
    EXPECT_EQ(FilesIn(dir.File("")), left);
    // A copy the pack made and the old table aside: both go with the next pack.
    std::filesystem::copy_file(path, dir.File("pk.pack-tmp.dbf"));
    {
        NVO_dBHandler t(path, false, true, "");
        t.Pack();
        EXPECT_EQ(t.RecordCount(), 4);
    }
    EXPECT_EQ(FilesIn(dir.File("")), files);

    // A file of another structure under the scratch name is not ours to remove.
    dbftest::MakeTable(dir.File("pk.pack-tmp.dbf"), {{"OTHER", "C", 3, 0}});
    const std::vector<uint8_t> before = ReadAll(path);
    NVO_dBHandler t(path, false, true, "");
    EXPECT_EQ(ErrorOf([&] { t.Pack(); }),
              "Pack needs the name of file " + dir.File("pk.pack-tmp.dbf") + ", which holds no copy of this table");
    EXPECT_TRUE(std::filesystem::exists(dir.File("pk.pack-tmp.dbf")));
    EXPECT_EQ(ReadAll(path), before);
}

TEST(DbsyPassword, ConversionThroughACopyKeepsTheOldTableOnFailure) {
    TempDir dir;
    std::string path = dir.File("pw.dbf");
    MakeRecords(path, 4, {3}, true);
    const std::vector<uint8_t> plain = ReadAll(path);
    const std::set<std::string> files = FilesIn(dir.File(""));
    {
        NVO_dBHandler t(path, false, true, "");
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        faults.Fail(NvOsOp::Write, 5);
        EXPECT_THROW(t.SetPassword("k"), ENorvaneError);
    }
    EXPECT_EQ(ReadAll(path), plain);
    EXPECT_EQ(FilesIn(dir.File("")), files);
    {
        NVO_dBHandler t(path, false, true, "");
        t.Go(2);
        t.SetPassword("k");
        EXPECT_TRUE(t.Enciphered());
        EXPECT_EQ(t.CurrentRecord(), 2);
        EXPECT_EQ(t.GetText(3), "memo 2");
    }
    EXPECT_THROW(NVO_dBHandler(path, false, false, ""), ENorvaneEncryption);
    {
        NVO_dBHandler t(path, false, true, "k");
        EXPECT_EQ(t.RecordCount(), 4);
        t.Go(3);
        EXPECT_NE(t.RecordPointer()[0], ' ');  // deleted records stay deleted
        EXPECT_EQ(t.GetText(3), "memo 3");
        t.Pack();  // the packed copy keeps the password
    }
    {
        NVO_dBHandler t(path, false, true, "k");
        EXPECT_EQ(t.RecordCount(), 3);
        t.Go(3);
        EXPECT_EQ(t.GetText(3), "memo 4");
        t.SetPassword("");
    }
    NVO_dBHandler t(path, false, false, "");
    EXPECT_FALSE(t.Enciphered());
    t.Go(3);
    EXPECT_EQ(t.GetText(1), "R4");
    EXPECT_EQ(t.GetText(3), "memo 4");
}

// Every peer table copies into a table of its own format whose records and memo values
// equal the source's (deleted records become live).
TEST(DbsyWholeTable, PeerTablesCopyWithTheirMemos) {
    namespace fs = std::filesystem;
    TempDir dir;
    int tables = 0;
    for (const auto& entry : fs::directory_iterator(std::string(PELMORA_FIXTURES) + "/peer/")) {
        std::string ext = entry.path().extension();
        if (ext != ".dbf" && ext != ".dbt" && ext != ".fpt") continue;
        fs::copy_file(entry.path(), dir.File(entry.path().filename()));
    }
    for (const auto& entry : fs::directory_iterator(dir.File(""))) {
        if (entry.path().extension() != ".dbf") continue;
        std::string source = entry.path().string();
        SCOPED_TRACE(source);
        ++tables;
        NVO_dBHandler t(source, false, true, "");
        std::string copy = dir.File("copy_" + entry.path().filename().string());
        t.CopyTable(copy, "");
        NVO_dBHandler c(copy, false, false, "");
        EXPECT_EQ(c.Version(), t.Version());
        EXPECT_EQ(c.RecordLength(), t.RecordLength());
        // The builders write the shortest header; a Visual FoxPro one is kept as it is.
        if (t.Version() == nvdbf::kVerVfp) {
            EXPECT_EQ(c.HeaderLength(), t.HeaderLength());
        }
        EXPECT_EQ(c.Header().bytes[28] & ~nvdbf::kFlagProductionIndex,
                  t.Header().bytes[28] & ~nvdbf::kFlagProductionIndex);
        ASSERT_EQ(c.RecordCount(), t.RecordCount());
        for (int32_t n = 1; n <= t.RecordCount(); ++n) {
            t.Go(n);
            c.Go(n);
            EXPECT_EQ(c.RecordPointer()[0], ' ');
            for (int f = 1; f <= t.FieldCount(); ++f) {
                if (!t.IsMemoField(f)) {
                    EXPECT_EQ(c.GetRaw(f), t.GetRaw(f)) << n << " " << t.FieldName(f);
                    continue;
                }
                EXPECT_EQ(MemoValue(c, f), MemoValue(t, f)) << n << " " << t.FieldName(f);
            }
        }
        fs::remove(copy);
    }
    EXPECT_EQ(tables, 6);
}

// Memo texts through the field layer for each memo format: long values (beyond 64 KB),
// rewrites shorter and longer, removal; the table's lock protocol reaches the memo file.
TEST(DbsyMemoFields, RoundTripsInEveryMemoFormat) {
    TempDir dir;
    const std::string big(70000, 'x');
    for (int style = 0; style < 3; ++style) {
        SCOPED_TRACE(style);
        std::string path = dir.File("m" + std::to_string(style) + ".dbf");
        {
            std::unique_ptr<NVO_DBFBuild> build;
            if (style == 0) build = std::make_unique<NVO_DBFBuild>(path);
            if (style == 1) build = std::make_unique<NVO_DB4Build>(path);
            if (style == 2) build = std::make_unique<NVO_DBFoxBuild>(path);
            build->AddField("NOTE", "M", 10, 0);
            build->Build();
        }
        {
            NVO_dBHandler t(path, false, true, "");
            t.SetLockProtocol(TnvLokProtocol::FoxLock);
            t.BlankRecord();
            t.PutText(1, big);
            t.Append();
            ASSERT_NE(t.MemoFor(1), nullptr);
            EXPECT_EQ(t.MemoFor(1)->LockProtocol(), TnvLokProtocol::FoxLock);
            t.BlankRecord();
            t.PutText(1, "short");
            t.Append();
            t.Go(2);
            t.PutText(1, "a longer text than before");
            t.WriteRecord(2);
        }
        NVO_dBHandler t(path, false, true, "");
        t.Go(1);
        EXPECT_EQ(t.MemoSize(1), 70000);
        EXPECT_EQ(t.GetText(1), big);
        t.PutText(1, "");
        t.WriteRecord(1);
        t.Go(1);
        EXPECT_EQ(t.GetText(1), "");
        t.Go(2);
        EXPECT_EQ(t.GetText(1), "a longer text than before");
    }
}

// Garbage where a memo field keeps its block number: reading names the memo file as bad,
// writing a new text mends the link.
TEST(DbsyMemoFields, AGarbageBlockNumberIsAReportedDamageThatAWriteMends) {
    TempDir dir;
    const std::string path = dir.File("g.dbf");
    {
        NVO_DBFBuild build(path);
        build.AddField("NOTE", "M", 10, 0);
        build.Build();
    }
    {
        NVO_dBHandler t(path, false, true, "");
        t.BlankRecord();
        t.PutRaw(1, "12x?");
        t.Append();
    }
    NVO_dBHandler t(path, false, true, "");
    t.Go(1);
    const std::string bad = "Memo record is bad in " + t.MemoFor(1)->FileName();
    EXPECT_EQ(ErrorOf([&] { t.MemoSize(1); }), bad);
    EXPECT_EQ(ErrorOf([&] { t.GetText(1); }), bad);
    t.PutText(1, "mended");
    t.WriteRecord(1);
    t.Go(1);
    EXPECT_EQ(t.GetText(1), "mended");
}

// Long operations report start, each record and the end.
TEST(DbsyWholeTable, CopyReportsItsProgress) {
    struct Reporting : NVO_dBHandler {
        using NVO_dBHandler::NVO_dBHandler;
        void StatusUpdate(int32_t a, int32_t b, int32_t c) override { calls.push_back({a, b, c}); }
        std::vector<std::array<int32_t, 3>> calls;
    };
    TempDir dir;
    MakeRecords(dir.File("st.dbf"), 3, {2});
    Reporting t(dir.File("st.dbf"), false, true, "");
    t.SetShowDeleted(false);
    t.CopyTable(dir.File("st2.dbf"), "");
    using C = std::array<int32_t, 3>;
    EXPECT_EQ(t.calls, (std::vector<C>{{-1, 6, 3}, {6, 1, 0}, {6, 3, 0}, {0, 0, 0}}));
    EXPECT_EQ(NVO_dBHandler(dir.File("st2.dbf"), false, false, "").RecordCount(), 2);
}

TEST(DbsyPassword, EmptyTableTakesAPasswordAndRecordsWrittenLaterAreEnciphered) {
    TempDir dir;
    std::string path = dir.File("pe.dbf");
    MakeRecords(path, 0, {}, true);
    {
        NVO_dBHandler t(path, false, true, "");
        t.SetPassword("pw");
        EXPECT_EQ(ErrorOf([&] { t.SetPassword("pw"); }), "");  // same password: nothing to do
        t.BlankRecord();
        t.PutText(1, "secret");
        t.PutText(3, "hidden memo");
        t.Append();
    }
    std::vector<uint8_t> bytes = ReadAll(path);
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), std::begin("secret"), std::end("secret") - 1),
              bytes.end());
    EXPECT_EQ(bytes[15], 1);
    bytes = ReadAll(dir.File("pe.dbt"));
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), std::begin("hidden"), std::end("hidden") - 1),
              bytes.end());
    {
        NVO_dBHandler t(path, false, false, "pw");
        t.Go(1);
        EXPECT_EQ(t.GetText(1), "secret");
        EXPECT_EQ(t.GetText(3), "hidden memo");
    }
    NVO_dBHandler shared(dir.File("pe.dbf"), true, false, "pw");
    EXPECT_EQ(ErrorOf([&] { shared.SetPassword(""); }),
              "SetPassword requires full access to file " + path);
}
