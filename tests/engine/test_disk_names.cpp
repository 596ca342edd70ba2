#include <gtest/gtest.h>

#include <fstream>

#include "disk_peer.h"
#include "nv6_disk.h"
#include "nv6_os.h"

namespace {

TEST(DiskNames, CompanionFilesAreFoundWithoutRegardToCase) {
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    std::ofstream(dir.File("PEOPLE.DBT")) << "";
    std::ofstream(dir.File("people.dbf")) << "";
    std::ofstream(dir.File("Twin.ndx")) << "";
    std::ofstream(dir.File("TWIN.NDX")) << "";

    EXPECT_EQ(NvFindFileNoCase(dir.File("people.dbf")), dir.File("people.dbf"));
    EXPECT_EQ(NvFindFileNoCase(dir.File("people.dbt")), dir.File("PEOPLE.DBT"));
    EXPECT_EQ(NvFindFileNoCase(dir.File("People.DBF")), dir.File("people.dbf"));
    EXPECT_EQ(NvFindFileNoCase(dir.File("twin.ndx")), dir.File("twin.ndx")) << "two candidates";
    EXPECT_EQ(NvFindFileNoCase(dir.File("none.cdx")), dir.File("none.cdx"));
    EXPECT_EQ(NvFindFileNoCase(dir.File("nodir/people.dbt")), dir.File("nodir/people.dbt"));
    EXPECT_EQ(NvFindFileNoCase(dir.File("people.dbt/")), dir.File("people.dbt/"));
}

TEST(DiskNames, NewCompanionsFollowTheCaseOfTheTableExtension) {
    EXPECT_EQ(NvCompanionName("/d/people.dbf", "dbt"), "/d/people.dbt");
    EXPECT_EQ(NvCompanionName("/d/PEOPLE.DBF", ".dbt"), "/d/PEOPLE.DBT");
    EXPECT_EQ(NvCompanionName("/d/people.DBF", "fpt"), "/d/people.FPT");
    EXPECT_EQ(NvCompanionName("/d/Data.Dbf", "DBT"), "/d/Data.Dbt");
    EXPECT_EQ(NvCompanionName("/d/a.x", "cdx"), "/d/a.cdx") << "the last letter's case goes on";
    EXPECT_EQ(NvCompanionName("/d/people", "dbt"), "/d/people.dbt");
    EXPECT_EQ(NvCompanionName("/d/PEOPLE", "dbt"), "/d/PEOPLE.DBT");
    EXPECT_EQ(NvCompanionName("/d.v2/people", "dbt"), "/d.v2/people.dbt")
        << "a dot in a directory is no extension";

    EXPECT_TRUE(NvHasExt("/d/people.DBF", "dbf"));
    EXPECT_TRUE(NvHasExt("/d/people.dbf", ".DBF"));
    EXPECT_FALSE(NvHasExt("/d/people.dbf.bak", "dbf"));
    EXPECT_FALSE(NvHasExt("/d.dbf/people", "dbf"));
    EXPECT_TRUE(NvHasExt("/d.dbf/people", ""));
}

TEST(DiskNames, LockOffsetsOfEveryProtocol) {
    TnvTableLockNumbers t;
    ASSERT_TRUE(NvSetTableLockNumbers(TnvLokProtocol::DB4Lock, t));
    EXPECT_EQ(t.lockBase, 0x40000000);
    EXPECT_EQ(t.appendOffset, 0xEFFFFFFF);
    EXPECT_EQ(t.lockLength, 0xB0000000);
    EXPECT_EQ(t.AppendLock(), (TnvLockRange{0xEFFFFFFF, 1}));
    EXPECT_EQ(t.TableLock(), (TnvLockRange{0x40000000, 0xB0000000}));
    EXPECT_EQ(TnvTableLockNumbers::FullLock(), (TnvLockRange{0, 0x7FFFFFFF}));

    ASSERT_TRUE(NvSetTableLockNumbers(TnvLokProtocol::ClipLock, t));
    EXPECT_EQ(t.TableLock(), (TnvLockRange{1000000000, 1000000000}));
    EXPECT_EQ(t.AppendLock(), (TnvLockRange{1000000000, 1}));
    ASSERT_TRUE(NvSetTableLockNumbers(TnvLokProtocol::FoxLock, t));
    EXPECT_EQ(t.TableLock(), (TnvLockRange{0x40000000, 0x3FFFFFFF}));
    EXPECT_EQ(t.AppendLock(), (TnvLockRange{0x7FFFFFFE, 1}));
    EXPECT_FALSE(NvSetTableLockNumbers(static_cast<TnvLokProtocol>(4), t));
    EXPECT_EQ(t.appendOffset, 0x7FFFFFFE) << "an unknown protocol keeps the numbers";

    TnvLockRange r;
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::Default, 3, false, 98, 25, r));
    EXPECT_EQ(r, (TnvLockRange{0x40000000 + 98 + 25 * 2, 1}));
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::Default, 3, true, 98, 25, r));
    EXPECT_EQ(r, (TnvLockRange{0x7FFFFFFE - 3, 1})) << "moves once an index is open";
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::FoxLock, 1, false, 98, 25, r));
    EXPECT_EQ(r, (TnvLockRange{0x40000000 + 98, 1}));
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::DB4Lock, 3, true, 98, 25, r));
    EXPECT_EQ(r, (TnvLockRange{0xEFFFFFFF - 4, 1}));
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::ClipLock, 3, false, 98, 25, r));
    EXPECT_EQ(r, (TnvLockRange{1000000003, 1}));
    // The largest record of a 2 GB table still gets an exact offset.
    ASSERT_TRUE(NvRecordLockRange(TnvLokProtocol::Default, 2000000, false, 4000, 1000, r));
    EXPECT_EQ(r.offset, int64_t{0x40000000} + 4000 + int64_t{1000} * 1999999);
    EXPECT_FALSE(NvRecordLockRange(static_cast<TnvLokProtocol>(-1), 3, false, 98, 25, r));
    EXPECT_EQ(r.offset, int64_t{0x40000000} + 4000 + int64_t{1000} * 1999999);

    ASSERT_TRUE(NvSetIndexLockRange(TnvLokProtocol::Default, r));
    EXPECT_EQ(r, (TnvLockRange{0x7FFFFFFD, 1}));
    ASSERT_TRUE(NvSetIndexLockRange(TnvLokProtocol::DB4Lock, r));
    EXPECT_EQ(r, (TnvLockRange{0xEFFFFFFE, 2}));
    ASSERT_TRUE(NvSetIndexLockRange(TnvLokProtocol::ClipLock, r));
    EXPECT_EQ(r, (TnvLockRange{1000000000, 1}));
    EXPECT_FALSE(NvSetIndexLockRange(static_cast<TnvLokProtocol>(9), r));
    EXPECT_EQ(r, (TnvLockRange{1000000000, 1}));
}

TEST(DiskNames, FaultRulesCanTargetOnePath) {
    ScratchDir dir;
    NVO_DiskFile a(dir.File("a.dbf"), false, true), b(dir.File("b.dbf"), false, true);
    NvFaultPlatform faults;
    NvPlatformScope use(faults);
    a.CreateNew();
    b.CreateNew();
    faults.Fail(NvOsOp::Write, 2, 0, NvFault::Fail, b.FileName());
    a.WriteAt(0, "1", 1);
    b.WriteAt(0, "1", 1);
    a.WriteAt(1, "2", 1);
    EXPECT_THROW(b.WriteAt(1, "2", 1), ENorvaneError);
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 4);
    EXPECT_EQ(faults.Injected(), 1);
    EXPECT_EQ(&NvOS(), &faults);
}

}  // namespace
