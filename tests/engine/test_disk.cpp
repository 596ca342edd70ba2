#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "nv_test_errors.h"
#include "disk_peer.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_os.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The message a call raises as ENorvaneError, or "" when it raises nothing.
using nvtest::ErrorOf;

class DiskFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        path = dir.File("people.dbf");
        WriteText(path, "0123456789");
    }
    ScratchDir dir;
    std::string path;
};

TEST_F(DiskFile, RangeLockOfAnotherProcessIsRefusedUntilUnlockCloseOrExit) {
    DiskPeer peer(path);
    ASSERT_TRUE(peer.Started());
    ASSERT_EQ(peer.Do("open"), "ok");

    NVO_DiskFile file(path, true, true);
    file.Open();
    ASSERT_TRUE(file.LockRange(0x40000000 + 5, 1));
    EXPECT_FALSE(peer.Lock(0x40000000 + 5, 1));
    EXPECT_TRUE(peer.Lock(0x40000000 + 6, 1)) << "a lock covers its own bytes only";
    EXPECT_EQ(peer.Do("unlock"), "ok");
    EXPECT_TRUE(file.Unlock());
    EXPECT_EQ(file.LockHolds(), 0);
    EXPECT_TRUE(peer.Lock(0x40000000 + 5, 1));
    EXPECT_EQ(peer.Do("unlock"), "ok");

    ASSERT_TRUE(file.LockRange(100, 10));
    EXPECT_FALSE(peer.Lock(105, 1));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(file.LockHolds(), 0);
    EXPECT_TRUE(peer.Lock(105, 1)) << "closing the file must release its lock";

    // The peer now holds 105; when it dies, the lock dies with it.
    file.Open();
    EXPECT_FALSE(file.LockRange(105, 1));
    EXPECT_EQ(peer.Exit(), 0);
    EXPECT_TRUE(file.LockRange(105, 1));
}

TEST_F(DiskFile, TwoObjectsOfOneProcessConflictLikeTwoProcesses) {
    NVO_DiskFile a(path, true, true), b(path, true, true);
    a.Open();
    b.Open();
    ASSERT_TRUE(a.LockRange(0x7FFFFFFD, 1));
    EXPECT_FALSE(b.LockRange(0x7FFFFFFD, 1));
    EXPECT_EQ(b.LockHolds(), 0);
    a.Unlock();
    EXPECT_TRUE(b.LockRange(0x7FFFFFFD, 1));
    EXPECT_FALSE(a.LockFile()) << "the full lock overlaps b's byte";
}

TEST_F(DiskFile, CountedHoldsNeedAsManyUnlocksAndAllowOneRangeOnly) {
    DiskPeer peer(path);
    ASSERT_EQ(peer.Do("open"), "ok");
    NVO_DiskFile file(path, true, true);
    file.Open();
    ASSERT_TRUE(file.LockRange(0x7FFFFFFE - 3, 1));
    ASSERT_TRUE(file.LockRange(0x7FFFFFFE - 3, 1));
    EXPECT_EQ(file.LockHolds(), 2);
    EXPECT_FALSE(file.LockRange(0x7FFFFFFE - 4, 1)) << "a second, different range";
    EXPECT_FALSE(file.LockRange(0x7FFFFFFE - 3, 2)) << "same offset, other length";
    EXPECT_EQ(file.LockHolds(), 2);
    EXPECT_EQ(file.LockOffset(), 0x7FFFFFFE - 3);

    file.Unlock();
    EXPECT_FALSE(peer.Lock(0x7FFFFFFE - 3, 1)) << "one hold is left";
    file.Unlock();
    EXPECT_TRUE(peer.Lock(0x7FFFFFFE - 3, 1));
    EXPECT_TRUE(file.Unlock()) << "unlock without a hold is harmless";
    EXPECT_EQ(file.LockHolds(), 0);

    // AddLockHold counts without the OS: the last Unlock still releases the real lock.
    ASSERT_EQ(peer.Do("unlock"), "ok");
    ASSERT_TRUE(file.LockRange(50, 1));
    file.AddLockHold();
    file.Unlock();
    EXPECT_FALSE(peer.Lock(50, 1));
    file.Unlock();
    EXPECT_TRUE(peer.Lock(50, 1));
}

TEST_F(DiskFile, ExclusiveAndSharedOpensExcludeEachOther) {
    const std::string denied = "Access denied to file " + path;
    {
        NVO_DiskFile exclusive(path, false, true);
        exclusive.Open();
        NVO_DiskFile shared(path, true, false);
        EXPECT_EQ(ErrorOf([&] { shared.Open(); }), denied);
        EXPECT_TRUE(shared.Closed());
        DiskPeer peer(path, true, true);
        EXPECT_EQ(peer.Do("open"), "err " + denied);
    }
    {
        NVO_DiskFile shared(path, true, false);
        shared.Open();
        NVO_DiskFile second(path, true, true);
        EXPECT_NO_THROW(second.Open());
        NVO_DiskFile exclusive(path, false, true);
        EXPECT_EQ(ErrorOf([&] { exclusive.Open(); }), denied);
        DiskPeer peer(path, false, true);
        EXPECT_EQ(peer.Do("open"), "err " + denied);
    }
    NVO_DiskFile again(path, false, true);
    EXPECT_NO_THROW(again.Open()) << "closing the others released their share locks";
}

TEST_F(DiskFile, TruncateNeedsFullAccess) {
    const std::string refused = "Truncate requires full access to file " + path;
    NVO_DiskFile shared(path, true, true);
    shared.Open();
    EXPECT_FALSE(shared.HasFullAccess());
    EXPECT_EQ(ErrorOf([&] { shared.Truncate(4); }), refused);
    ASSERT_TRUE(shared.LockRange(0, 100));
    EXPECT_FALSE(shared.HasFullAccess()) << "only the LockFile range gives full access";
    EXPECT_EQ(ErrorOf([&] { shared.Truncate(4); }), refused);
    shared.Unlock();
    ASSERT_TRUE(shared.LockFile());
    EXPECT_TRUE(shared.HasFullAccess());
    shared.Truncate(4);
    EXPECT_EQ(shared.FileSize(), 4);
    shared.Unlock();
    shared.Close();

    NVO_DiskFile readOnly(path, true, false);
    readOnly.Open();
    ASSERT_TRUE(readOnly.LockFile());
    EXPECT_EQ(ErrorOf([&] { readOnly.Truncate(2); }), refused);
    readOnly.Close();

    NVO_DiskFile exclusive(path, false, true);
    exclusive.Open();
    EXPECT_TRUE(exclusive.HasFullAccess());
    EXPECT_TRUE(exclusive.LockRange(7, 1));
    EXPECT_TRUE(exclusive.LockRange(8, 1)) << "an exclusive file only counts";
    EXPECT_TRUE(exclusive.LockFile());
    EXPECT_EQ(exclusive.LockHolds(), 2) << "LockFile takes no hold on an exclusive file";
    exclusive.Truncate(1);
    EXPECT_EQ(exclusive.FileSize(), 1);
}

TEST_F(DiskFile, OpenNeedsTheFileToHaveExistedAtConstruction) {
    const std::string later = dir.File("later.dbf");
    NVO_DiskFile file(later, true, true);
    EXPECT_FALSE(file.Exists());
    WriteText(later, "abc");
    EXPECT_EQ(ErrorOf([&] { file.Open(); }), "File " + later + " could not be found");
    EXPECT_TRUE(file.Closed());

    file.CreateNew();
    EXPECT_TRUE(file.Exists());
    EXPECT_FALSE(file.Closed());
    EXPECT_EQ(file.FileSize(), 0) << "CreateNew empties a file nobody holds";
    EXPECT_TRUE(file.Shared()) << "reopened with the object's own modes";
    DiskPeer peer(later);
    EXPECT_EQ(peer.Do("open"), "ok");
}

TEST_F(DiskFile, CreateNewNeverEmptiesAFileSomeoneHoldsOpen) {
    NVO_DiskFile holder(path, true, false);
    holder.Open();
    NVO_DiskFile creator(path, false, true);
    EXPECT_EQ(ErrorOf([&] { creator.CreateNew(); }), "Could not create file " + path);
    EXPECT_EQ(ReadText(path), "0123456789");

    holder.Close();
    DiskPeer peer(path);
    ASSERT_EQ(peer.Do("open"), "ok");
    EXPECT_EQ(ErrorOf([&] { creator.CreateNew(); }), "Could not create file " + path);
    EXPECT_EQ(ReadText(path), "0123456789");
    ASSERT_EQ(peer.Do("close"), "ok");
    creator.CreateNew();
    EXPECT_EQ(ReadText(path), "");
    EXPECT_EQ(peer.Do("open"), "err Access denied to file " + path) << "created exclusive";
}

TEST_F(DiskFile, RenameMovesAndReopensButNeverReplaces) {
    const std::string other = dir.File("other.dbf");
    WriteText(other, "keep");
    NVO_DiskFile file(path, true, true);
    file.Open();
    EXPECT_EQ(ErrorOf([&] { file.Rename(other); }), "Error on Rename of file " + path);
    EXPECT_TRUE(file.Closed());
    EXPECT_EQ(file.FileName(), path);
    EXPECT_EQ(ReadText(other), "keep");
    EXPECT_EQ(ReadText(path), "0123456789");

    const std::string moved = dir.File("moved.dbf");
    file.Rename(moved);
    EXPECT_FALSE(file.Closed());
    EXPECT_EQ(file.FileName(), moved);
    EXPECT_FALSE(std::filesystem::exists(path));
    char buffer[4] = {};
    EXPECT_EQ(file.ReadAt(2, buffer, 3), 3);
    EXPECT_EQ(std::string(buffer), "234");
}

TEST_F(DiskFile, ReadAndWriteAtOffsetsKeepPositionAndCounts) {
    NVO_DiskFile file(path, false, true);
    file.Open();
    char buffer[8] = {};
    EXPECT_EQ(file.ReadAt(8, buffer, 5), 2) << "reading past the end is no error";
    EXPECT_EQ(file.LastCount(), 2);
    EXPECT_EQ(file.Position(), 13);
    file.WriteAt(20, "xy", 2);
    EXPECT_TRUE(file.Written());
    EXPECT_EQ(file.Position(), 22);
    EXPECT_EQ(file.FileSize(), 22);
    file.Flush();
    EXPECT_FALSE(file.Written());
    EXPECT_EQ(ReadText(path).substr(20), "xy");

    WriteText(dir.File("other.dbf"), "abc");
    NVO_DiskFile fresh(dir.File("other.dbf"), true, false);
    fresh.Open();
    EXPECT_EQ(ErrorOf([&] { fresh.WriteAt(0, "z", 1); }), "Error writing to " + fresh.FileName());
    EXPECT_EQ(fresh.LastCount(), -1);
    EXPECT_EQ(ReadText(fresh.FileName()), "abc") << "a read-only object never writes";
    fresh.Close();
    EXPECT_EQ(ErrorOf([&] { fresh.ReadAt(0, buffer, 1); }), "Error on Read of file " + fresh.FileName());
    EXPECT_EQ(ErrorOf([&] { fresh.FileSize(); }),
              "Error getting FileSize for file " + fresh.FileName());
}

// An exclusive file is read through a map of it: every read must still see the file as the
// object's own writes, growth and truncations left it.
TEST_F(DiskFile, ExclusiveReadsSeeEveryWriteGrowthAndCut) {
    NVO_DiskFile file(path, false, true);
    file.Open();
    char got[16] = {};
    auto read = [&](int64_t at, int64_t n) {
        std::memset(got, 0, sizeof got);
        const int64_t count = file.ReadAt(at, got, n);
        return std::string(got, static_cast<std::size_t>(count));
    };
    EXPECT_EQ(read(2, 4), "2345");
    file.WriteAt(3, "ab", 2);
    EXPECT_EQ(read(2, 4), "2ab5") << "a write inside the mapped bytes";
    file.WriteAt(10, "XYZ", 3);
    EXPECT_EQ(read(8, 6), "89XYZ") << "bytes written past the mapped ones, and the end";
    const std::string big(3 << 20, 'q');
    file.WriteAt(13, big.data(), static_cast<int64_t>(big.size()));
    file.WriteAt(13 + static_cast<int64_t>(big.size()), "end", 3);
    EXPECT_EQ(read(13 + static_cast<int64_t>(big.size()) - 2, 8), "qqend");
    EXPECT_EQ(read(11, 4), "YZqq");
    file.Truncate(6);
    EXPECT_EQ(read(4, 8), "b5") << "nothing beyond a cut";
    EXPECT_EQ(read(100, 4), "");
    file.WriteAt(6, "new", 3);
    EXPECT_EQ(read(0, 12), "012ab5new");
    EXPECT_EQ(read(0, 4), "012a");
    {
        NvFaultPlatform faults;
        faults.FailFrom(NvOsOp::Read, 1);
        NvPlatformScope use(faults);
        EXPECT_EQ(ErrorOf([&] { read(0, 4); }), "Error on Read of file " + file.FileName())
            << "a platform put in between sees the reads of a mapped file";
    }
    file.Close();
    EXPECT_EQ(ReadText(path), "012ab5new");
}

TEST_F(DiskFile, ShortTransfersAreContinuedAndAStuckWriteIsAnError) {
    NVO_DiskFile file(path, false, true);
    file.Open();
    NvFaultPlatform faults;
    NvPlatformScope use(faults);

    faults.FailFrom(NvOsOp::Write, 1, 0, NvFault::Short);
    // 4, 2 and 1 bytes get through, then a write of 1 moves nothing: the write stays short.
    EXPECT_EQ(ErrorOf([&] { file.WriteAt(0, "ABCDEFGH", 8); }), "Error writing to " + path);
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 4);
    faults.ClearFaults();
    faults.ResetCounts();

    faults.Fail(NvOsOp::Write, 1, 0, NvFault::Short);
    file.WriteAt(0, "abcdefgh", 8);
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 2);
    EXPECT_EQ(file.LastCount(), 8);
    EXPECT_EQ(ReadText(path), "abcdefgh89");

    faults.Fail(NvOsOp::Read, 1, 0, NvFault::Short);
    char buffer[11] = {};
    EXPECT_EQ(file.ReadAt(0, buffer, 10), 10);
    EXPECT_EQ(std::string(buffer), "abcdefgh89");

    faults.ClearFaults();
    faults.ResetCounts();
    faults.Fail(NvOsOp::Write, 1, 0, NvFault::Short);
    faults.Fail(NvOsOp::Write, 2, ENOSPC);
    EXPECT_EQ(ErrorOf([&] { file.WriteAt(2, "1234", 4); }), "Error writing to " + path);
    EXPECT_EQ(file.LastCount(), -1);
    EXPECT_FALSE(file.Written());

    faults.Fail(NvOsOp::Read, 1, EIO);
    EXPECT_EQ(ErrorOf([&] { file.ReadAt(0, buffer, 4); }), "Error on Read of file " + path);
    EXPECT_EQ(file.LastCount(), -1);
    faults.Fail(NvOsOp::Fsync, 1);
    EXPECT_EQ(ErrorOf([&] { file.Flush(); }), "Error on Flush for file " + path);
    faults.Fail(NvOsOp::Truncate, 1);
    EXPECT_EQ(ErrorOf([&] { file.Truncate(0); }), "Error in Truncate of file " + path);
}

// Held writes are the file's contents for its own reads and size, reach the OS in one
// write, and a failure to write them is raised where they are given up, never lost quietly.
TEST_F(DiskFile, WriteBehindGathersWritesAndNeverLosesThem) {
    NVO_DiskFile file(path, false, true);
    file.Open();
    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    {
        NvWriteBehindScope bulk(&file, 64);
        file.WriteAt(10, "AB", 2);
        file.WriteAt(12, "CDx", 3);
        file.WriteAt(14, "E", 1);  // overlaps the end of what is held
        EXPECT_EQ(faults.Calls(NvOsOp::Write), 0);
        EXPECT_EQ(file.FileSize(), 15);
        char buffer[6] = {};
        EXPECT_EQ(file.ReadAt(11, buffer, 4), 4);  // a read of held bytes writes them first
        EXPECT_EQ(std::string(buffer), "BCDE");
        EXPECT_EQ(faults.Calls(NvOsOp::Write), 1);
        file.WriteAt(3, "x", 1);
        file.WriteAt(0, "y", 1);  // not after the held byte: that one goes first
        EXPECT_EQ(faults.Calls(NvOsOp::Write), 2);
        bulk.Finish();
    }
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 3);
    EXPECT_EQ(ReadText(path), "y12x456789ABCDE");

    faults.ResetCounts();
    faults.Fail(NvOsOp::Write, 1, ENOSPC);
    {
        NvWriteBehindScope bulk(&file, 64);
        file.WriteAt(15, "FG", 2);
        EXPECT_EQ(ErrorOf([&] { bulk.Finish(); }), "Error writing to " + path);
    }
    faults.Fail(NvOsOp::Write, 2, ENOSPC);
    file.SetWriteBehind(64);
    file.WriteAt(15, "FG", 2);
    EXPECT_EQ(ErrorOf([&] { file.Flush(); }), "Error writing to " + path);
    file.WriteAt(15, "HI", 2);
    faults.Fail(NvOsOp::Write, 3, ENOSPC);
    EXPECT_EQ(ErrorOf([&] { file.Close(); }), "Error writing to " + path);
    EXPECT_TRUE(file.Closed());
    EXPECT_EQ(ReadText(path), "y12x456789ABCDE");

    // A shared file holds nothing back: another program must see every write at once.
    NVO_DiskFile shared(path, true, true);
    shared.Open();
    shared.SetWriteBehind(64);
    shared.WriteAt(0, "z", 1);
    EXPECT_EQ(ReadText(path)[0], 'z');
}

// A tag build writes pages it reserved ahead later: past the file's end the gap is held with
// the pages around it and filled when its page comes; inside the file a gap is never held,
// since the bytes there must stay as they are.
TEST_F(DiskFile, WriteBehindHoldsGapsOnlyPastTheFileEnd) {
    NVO_DiskFile file(path, false, true);
    file.Open();
    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    {
        NvWriteBehindScope bulk(&file, 64);
        file.WriteAt(2, "a", 1);
        file.WriteAt(9, "b", 1);  // over a gap inside the file: what is held goes first
        EXPECT_EQ(faults.Calls(NvOsOp::Write), 1);
        file.WriteAt(10, "AB", 2);  // goes on from the file's end: held with "b"
        file.WriteAt(16, "EF", 2);  // past a gap beyond the end
        file.WriteAt(20, "I", 1);   // and a gap that nothing fills
        file.WriteAt(12, "CD", 2);  // part of the first gap comes late
        EXPECT_EQ(faults.Calls(NvOsOp::Write), 1);
        bulk.Finish();
    }
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 2);
    EXPECT_EQ(ReadText(path), std::string("01a345678bABCD\0\0EF\0\0I", 21));
}

TEST_F(DiskFile, LocksBeyondTwoGigabytesAreReal) {
    DiskPeer peer(path);
    ASSERT_EQ(peer.Do("open"), "ok");
    NVO_DiskFile file(path, true, true);
    file.Open();

    TnvLockRange record;
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::DB4Lock, 7, false, 0, 0, record));
    ASSERT_EQ(record.offset, int64_t{0xEFFFFFFF} - 7 - 1);
    ASSERT_TRUE(file.LockRange(record.offset, record.length));
    EXPECT_FALSE(peer.Lock(record.offset, 1));
    EXPECT_TRUE(peer.Lock(record.offset + 1, 1));
    EXPECT_EQ(peer.Do("unlock"), "ok");
    // Had the offset been cut to 32 bits (or to 31), it would sit here instead.
    EXPECT_TRUE(peer.Lock(record.offset & 0x7FFFFFFF, 1));
    EXPECT_EQ(peer.Do("unlock"), "ok");
    file.Unlock();

    TnvTableLockNumbers db4;
    ASSERT_TRUE(NvSetTableLockNumbers(TnvLokProtocol::DB4Lock, db4));
    TnvLockRange table = db4.TableLock();
    ASSERT_TRUE(file.LockRange(table.offset, table.length));
    EXPECT_FALSE(peer.Lock(0xEFFFFFFF, 1)) << "the last byte of the DB4 table lock";
    EXPECT_TRUE(peer.Lock(0xF0000000, 1));
}

TEST_F(DiskFile, ReadOnlyObjectsLockToo) {
    // With write permission, a read-only object opens its handle read-write so that its
    // record locks exclude every other locker.
    NVO_DiskFile reader(path, true, false);
    reader.Open();
    NVO_DiskFile reader2(path, true, false);
    reader2.Open();
    ASSERT_TRUE(reader.LockRange(10, 1));
    EXPECT_FALSE(reader2.LockRange(10, 1));
    reader.Close();
    reader2.Close();

    // Without it (faked: the first try of each open is refused), read locks: readers share
    // a range, a writer is kept out.
    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    faults.Fail(NvOsOp::Open, 1, EACCES);
    faults.Fail(NvOsOp::Open, 3, EACCES);
    reader.Open();
    reader2.Open();
    EXPECT_EQ(faults.Calls(NvOsOp::Open), 4);
    ASSERT_TRUE(reader.LockRange(10, 1));
    EXPECT_TRUE(reader2.LockRange(10, 1));
    NVO_DiskFile writer(path, true, true);
    writer.Open();
    EXPECT_FALSE(writer.LockRange(10, 1));

    // A read-write object does not fall back: it needs write access.
    NVO_DiskFile denied(path, true, true);
    faults.Fail(NvOsOp::Open, 6, EACCES);
    EXPECT_EQ(ErrorOf([&] { denied.Open(); }), "Access denied to file " + path);
}

TEST_F(DiskFile, LockRetriesGiveUpAfterOneHundredAttempts) {
    NVO_DiskFile index(dir.File("people.mdx"), true, true);
    WriteText(index.FileName(), "");
    NVO_DiskFile idx(index.FileName(), true, true);
    idx.Open();
    DiskPeer peer(idx.FileName());
    ASSERT_EQ(peer.Do("open"), "ok");
    TnvLockRange range;
    ASSERT_TRUE(NvSetIndexLockRange(TnvLokProtocol::DB4Lock, range));
    ASSERT_TRUE(peer.Lock(range.offset + 1, 1)) << "overlaps the second byte only";

    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    EXPECT_EQ(ErrorOf([&] { NvLockIndexFile(idx, range); }), "Can not Lock file " + idx.FileName());
    EXPECT_EQ(faults.Calls(NvOsOp::RangeLock), 100);
    EXPECT_EQ(faults.Calls(NvOsOp::Sleep), 99);
    EXPECT_EQ(faults.SleptMs(), 99 * 50);

    NVO_DiskFile other(idx.FileName(), true, true);
    other.Open();
    ASSERT_TRUE(other.LockRange(5, 1));
    faults.ResetCounts();
    EXPECT_EQ(ErrorOf([&] { NvLockFileRetry(idx, "CopyFile"); }),
              "CopyFile requires full access to file " + idx.FileName());
    EXPECT_EQ(faults.Calls(NvOsOp::RangeLock), 100);

    // A lock that frees up while waiting is taken.
    peer.Exit();
    faults.ResetCounts();
    faults.Fail(NvOsOp::RangeLock, 1, EAGAIN);
    faults.Fail(NvOsOp::RangeLock, 2, EAGAIN);
    NvLockIndexFile(idx, range);
    EXPECT_EQ(idx.LockHolds(), 1);
    EXPECT_EQ(faults.Calls(NvOsOp::Sleep), 2);
    idx.Unlock();

    NVO_DiskFile exclusive(dir.File("people.ndx"), false, true);
    exclusive.CreateNew();
    faults.ResetCounts();
    NvLockIndexFile(exclusive, range);
    EXPECT_EQ(exclusive.LockHolds(), 0) << "an exclusive index file is not locked at all";
    EXPECT_EQ(faults.Calls(NvOsOp::RangeLock), 0);
}

TEST_F(DiskFile, FileListAndShutdownWalk) {
    NVobjFileColl& files = NVobjFileColl::Instance();
    int before = files.Count();
    auto file = std::make_unique<NVO_DiskFile>(path, true, true);
    EXPECT_EQ(files.IndexOf(file.get()), -1) << "construction does not open";
    file->Open();
    EXPECT_EQ(files.IndexOf(file.get()), before);
    file->Close();
    EXPECT_EQ(files.IndexOf(file.get()), -1);
    file->Open();
    file.reset();
    EXPECT_EQ(files.Count(), before) << "destroying an open file takes it off the list";

    DiskPeer peer(path);
    ASSERT_EQ(peer.Do("open"), "ok");
    NVO_DiskFile a(path, true, true);
    a.Open();
    ASSERT_TRUE(a.LockRange(3, 1));
    ASSERT_TRUE(a.LockRange(3, 1));
    NvShutdownFiles();
    EXPECT_EQ(files.Count(), 0);
    EXPECT_TRUE(a.Closed());
    EXPECT_EQ(a.LockHolds(), 0);
    EXPECT_TRUE(peer.Lock(3, 1)) << "every hold released at shutdown";
    a.Open();
    EXPECT_EQ(files.IndexOf(&a), 0) << "the list stays usable";
}

TEST_F(DiskFile, DestructorReportsAFailedCloseWithoutThrowing) {
    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    testing::internal::CaptureStderr();
    {
        NVO_DiskFile file(path, true, true);
        file.Open();
        faults.Fail(NvOsOp::Close, 1, EIO);
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error in Close of file " + path), std::string::npos) << err;
}

TEST_F(DiskFile, NamesAreKeptAsFullPaths) {
    auto cwd = std::filesystem::current_path();
    std::filesystem::create_directory(dir.File("sub"));
    std::filesystem::current_path(dir.Path());
    NVO_DiskFile relative("sub/../people.dbf", true, true);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(relative.FileName(), path);
    EXPECT_TRUE(relative.Exists());
    relative.Open();

    NVO_DiskFile missing("nowhere/x.dbf", true, true);
    EXPECT_EQ(missing.FileName(), (cwd / "nowhere/x.dbf").string());
    EXPECT_EQ(ErrorOf([&] { missing.Open(); }), "File " + missing.FileName() + " could not be found");

    EXPECT_EQ(NvExpandFileName("\\\\srv\\share\\a.dbf"), "\\\\srv\\share\\a.dbf");
    EXPECT_EQ(NvExpandFileName("db:x.dbf"), "db:x.dbf");
    EXPECT_EQ(NvExpandFileName("/a/b/../c.dbf"), "/a/b/../c.dbf") << "absolute names are kept";
    EXPECT_EQ(NvExpandFileName("c:x.dbf"), (cwd / "c:x.dbf").string())
        << "a colon as second character is an ordinary one here";
}

}  // namespace
