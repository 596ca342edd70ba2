// The table file: peer-made tables read back as their dumps say, corrupt headers are
// refused, records land at their offsets, and locks and appends hold across processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dbf_support.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_fld.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;

namespace {

const std::string kPeer = std::string(PELMORA_FIXTURES) + "/peer/";

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!s.empty() && s.back() == sep) parts.emplace_back();
    return parts;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// A field's value in the dump's notation; nullopt for memo fields (not compared here).
std::optional<std::string> DumpValue(NVO_dBaseFld& t, int n) {
    char type = t.FieldType(n);
    bool vfp = t.Version() == nvdbf::kVerVfp;
    if (t.IsMemoField(n)) return std::nullopt;
    long double v;
    switch (type) {
        case 'C':
            return TrimRight(t.GetRaw(n));
        case 'N':
        case 'F':
            return nvlocale::FormatFixed(static_cast<double>(t.GetNumber(n)), t.FieldDecimals(n));
        case 'D': {
            int32_t day = t.GetDate(n);
            std::string stored = TrimRight(DBFDate.DayToStor(day));
            EXPECT_EQ(stored, TrimRight(t.GetRaw(n)));
            return stored;
        }
        case 'L':
            return std::string(t.GetLogical(n) ? "T" : "F");
        case 'I':
            return nvlocale::FormatFixed(static_cast<double>(t.GetNumber(n)), 0);
        case 'Y':
            return nvlocale::FormatFixed(static_cast<double>(t.GetNumber(n)), 4);
        case 'B':
            EXPECT_TRUE(vfp);
            return nvlocale::FormatShortest(static_cast<double>(t.GetNumber(n)));
        case 'T': {
            v = t.GetNumber(n);
            if (v == 0) return std::string();
            long double days = std::floor(v / 86400000.0L);
            auto ms = static_cast<int64_t>(v - days * 86400000.0L);
            char time[16];
            std::snprintf(time, sizeof time, "%02d%02d%02d", int(ms / 3600000), int(ms / 60000 % 60),
                          int(ms / 1000 % 60));
            return DBFDate.DayToStor(static_cast<int32_t>(days) + 1721425) + time;
        }
        default:
            return TrimRight(t.GetRaw(n));
    }
}

TEST(DbfPeerTables, EveryRowOfEveryDumpReadsBack) {
    int tables = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kPeer)) {
        if (entry.path().extension() != ".dbf") continue;
        SCOPED_TRACE(entry.path().string());
        ++tables;
        std::string dumpPath = entry.path().string();
        dumpPath.replace(dumpPath.size() - 4, 4, ".dump");
        std::ifstream dump(dumpPath);
        ASSERT_TRUE(dump) << dumpPath;

        NVO_dBaseFld t(entry.path().string(), true, false, "");
        t.Go(-3);
        std::string line;
        int rows = 0;
        while (std::getline(dump, line)) {
            if (line.rfind("row ", 0) != 0) continue;
            ++rows;
            std::vector<std::string> cells = Split(line, '|');
            ASSERT_EQ(static_cast<int>(cells.size()), t.FieldCount() + 1) << line;
            std::istringstream head(cells[0]);
            std::string word, flag;
            int32_t recno = 0;
            head >> word >> recno >> flag;
            ASSERT_FALSE(t.Eof()) << line;
            ASSERT_EQ(t.CurrentRecord(), recno);
            EXPECT_EQ(t.RecordPointer()[0] != ' ', flag == "*") << line;
            for (int n = 1; n <= t.FieldCount(); ++n) {
                std::optional<std::string> got = DumpValue(t, n);
                if (got) {
                    EXPECT_EQ(*got, cells[static_cast<std::size_t>(n)]) << line << " field " << t.FieldName(n);
                }
            }
            t.Go(-1);
        }
        EXPECT_TRUE(t.Eof());
        EXPECT_EQ(rows, t.RecordCount());
    }
    EXPECT_EQ(tables, 6);
}

TEST(DbfPeerTables, FieldListEndsAtTheTerminator) {
    // py_fp.dbf has the Visual FoxPro area after its six descriptors (H = 488).
    NVO_dBaseFld fp(kPeer + "py_fp.dbf", true, false, "");
    EXPECT_EQ(fp.HeaderLength(), 488);
    ASSERT_EQ(fp.FieldCount(), 6);
    EXPECT_EQ(fp.FieldName(6), "RATIO");
    EXPECT_EQ(fp.FieldOffset(6), 50);

    NVO_dBaseFld vfp(kPeer + "py_vfp.dbf", true, false, "");
    EXPECT_EQ(vfp.FieldCount(), 9);
    EXPECT_TRUE(vfp.HasMemo());

    // A descriptor area without terminator keeps the count from H.
    TempDir dir;
    std::string path = dir.File("noterm.dbf");
    dbftest::MakeTable(path, {{"A", "C", 3, 0}, {"B", "N", 4, 1}});
    auto bytes = ReadAll(path);
    ASSERT_EQ(bytes[96], nvdbf::kTerminator);
    bytes[96] = ' ';
    WriteAll(path, bytes);
    NVO_dBaseFld t(path, false, false, "");
    EXPECT_EQ(t.FieldCount(), 2);
    EXPECT_EQ(t.FieldName(2), "B");
}

class DbfCorruptHeader : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.File("bad.dbf");
        dbftest::MakeTable(path, {{"NAME", "C", 10, 0}, {"QTY", "N", 5, 0}});
        {
            NVO_dBaseFld t(path, false, true, "");
            t.BlankRecord();
            t.PutText(1, "x");
            t.Append();
        }
        good = ReadAll(path);
        ASSERT_EQ(good.size(), 97u + 16u + 1u);
    }
    // The message of opening the patched file, or "" when it opens.
    std::string OpenError(const std::vector<uint8_t>& bytes) {
        WriteAll(path, bytes);
        try {
            NVO_dBaseFld t(path, false, false, "");
        } catch (const ENorvaneError& e) {
            return e.Message();
        }
        return "";
    }
    TempDir dir;
    std::string path;
    std::vector<uint8_t> good;
};

TEST_F(DbfCorruptHeader, RaisesAClearErrorInsteadOfReadingOutOfBounds) {
    const std::string invalid = "Table Header for " + path + " is invalid";
    EXPECT_EQ(OpenError(good), "");

    auto b = good;
    b[0] = 0x02;
    EXPECT_EQ(OpenError(b), invalid) << "version byte";
    b = good;
    nvbytes::StoreLE16(b.data() + 8, 0);
    EXPECT_EQ(OpenError(b), invalid) << "H of zero";
    b = good;
    nvbytes::StoreLE16(b.data() + 8, 32);
    EXPECT_EQ(OpenError(b), invalid) << "H below 33";
    b = good;
    nvbytes::StoreLE16(b.data() + 10, 0);
    EXPECT_EQ(OpenError(b), invalid) << "R of zero";
    b = good;
    nvbytes::StoreLE16(b.data() + 10, 15);
    EXPECT_EQ(OpenError(b), invalid) << "a field running past R";
    b = good;
    nvbytes::StoreLE16(b.data() + 8, 60000);
    EXPECT_EQ(OpenError(b), invalid) << "H beyond the file";
    b = good;
    b[0] = nvdbf::kVerVfp;  // H = 97 is below the 296 a Visual FoxPro header needs
    EXPECT_EQ(OpenError(b), invalid) << "Visual FoxPro H";
    b.assign(good.begin(), good.begin() + 70);
    EXPECT_EQ(OpenError(b), invalid) << "descriptor area cut short";
    b.assign(good.begin(), good.begin() + 20);
    EXPECT_EQ(OpenError(b), "Error on Read of file " + path) << "header cut short";
    b.clear();
    EXPECT_EQ(OpenError(b), "Error on Read of file " + path) << "empty file";

    EXPECT_THROW(NVO_dBaseFld(dir.File("missing.dbf"), false, false, ""), ENorvaneError);
}

TEST_F(DbfCorruptHeader, PasswordsMustMatchTheEncryptionFlag) {
    try {
        NVO_dBaseFld t(path, false, false, "secret");
        FAIL();
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "A Password is included for unencrypted file " + path);
    }
    auto b = good;
    b[15] = 1;
    WriteAll(path, b);
    try {
        NVO_dBaseFld t(path, false, false, "");
        FAIL();
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "No Password for encrypted file " + path);
    }
    // The cipher is not in this build yet: refused clearly, not read as garbage.
    EXPECT_THROW(NVO_dBaseFld(path, false, false, "secret"), ENorvaneError);
}

TEST(DbfRecords, AppendAndWriteLandAtTheirOffsets) {
    TempDir dir;
    std::string path = dir.File("REC");  // no extension: .DBF is added
    dbftest::MakeTable(path + ".DBF", {{"NAME", "C", 6, 0}, {"N", "N", 3, 0}});
    {
        NVO_dBaseFld t(path, false, true, "");
        EXPECT_EQ(t.RecordCount(), 0);
        EXPECT_EQ(t.FileName(), path + ".DBF");
        t.Go(-3);
        EXPECT_TRUE(t.Eof() && t.Bof());
        for (int i = 1; i <= 3; ++i) {
            t.BlankRecord();
            t.PutText(1, "r" + std::to_string(i));
            t.SetNumber(2, i);
            t.Append();
            EXPECT_EQ(t.CurrentRecord(), i);
            auto bytes = ReadAll(t.FileName());
            ASSERT_EQ(bytes.size(), std::size_t(t.HeaderLength() + t.RecordLength() * i + 1));
            EXPECT_EQ(bytes.back(), nvdbf::kEndOfFile);
            EXPECT_EQ(nvbytes::LoadLE32(bytes.data() + 4), uint32_t(i));
        }
        t.Go(2);
        t.PutText(1, "second");
        t.WriteRecord(2);
        auto bytes = ReadAll(t.FileName());
        EXPECT_EQ(bytes.size(), std::size_t(t.HeaderLength() + t.RecordLength() * 3 + 1));
        std::string rec2(bytes.begin() + t.HeaderLength() + t.RecordLength(),
                         bytes.begin() + t.HeaderLength() + 2 * t.RecordLength());
        EXPECT_EQ(rec2, " second  2");

        t.Go(4);
        EXPECT_TRUE(t.Eof());
        EXPECT_THROW(t.Go(5), ENorvaneError);
        t.Go(-4);
        EXPECT_EQ(t.CurrentRecord(), 3);
        t.Go(-1);
        EXPECT_TRUE(t.Eof());
        EXPECT_EQ(t.CurrentRecord(), 3);
        t.Go(-3);
        t.Go(-2);
        EXPECT_TRUE(t.Bof());
        EXPECT_EQ(t.GetText(1), "r1");
    }
    // A stored count that disagrees with the file size: the size wins and is written back.
    auto bytes = ReadAll(path + ".DBF");
    nvbytes::StoreLE32(bytes.data() + 4, 99);
    WriteAll(path + ".DBF", bytes);
    NVO_dBaseFld t(path, false, true, "");
    EXPECT_EQ(t.RecordCount(), 3);
    t.Go(1);
    t.WriteRecord(1);
    EXPECT_EQ(nvbytes::LoadLE32(ReadAll(path + ".DBF").data() + 4), 3u);
}

TEST(DbfRecords, DeleteAndRecallWriteTheFlagAtOnce) {
    TempDir dir;
    std::string path = dir.File("del.dbf");
    dbftest::MakeTable(path, {{"A", "C", 2, 0}});
    NVO_dBaseFld t(path, false, true, "");
    t.DeleteRecord();  // no current record: nothing, in particular no phantom append
    t.RecallRecord();
    EXPECT_EQ(ReadAll(path).size(), std::size_t(t.HeaderLength() + 1));
    t.BlankRecord();
    t.Append();
    t.DeleteRecord();
    EXPECT_EQ(ReadAll(path)[std::size_t(t.HeaderLength())], '*');
    EXPECT_EQ(t.RecordCount(), 1);
    t.RecallRecord();
    EXPECT_EQ(ReadAll(path)[std::size_t(t.HeaderLength())], ' ');
}

TEST(DbfLocks, TableLockDefersTheHeaderAndRecordLocksHoldOneRange) {
    TempDir dir;
    std::string path = dir.File("lk.dbf");
    dbftest::MakeTable(path, {{"A", "C", 4, 0}});
    NVO_dBaseFld t(path, true, true, "");
    ASSERT_TRUE(t.LockTable());
    for (int i = 0; i < 2; ++i) {
        t.BlankRecord();
        t.Append();
    }
    EXPECT_EQ(nvbytes::LoadLE32(ReadAll(path).data() + 4), 0u) << "header held back";
    EXPECT_TRUE(t.TableLocked());
    t.UnlockTable();
    EXPECT_FALSE(t.TableLocked());
    EXPECT_EQ(nvbytes::LoadLE32(ReadAll(path).data() + 4), 2u);

    for (int i = 0; i < 4; ++i) {
        t.BlankRecord();
        t.Append();
    }
    t.Go(5);
    ASSERT_TRUE(t.LockRecord());
    t.Go(6);
    EXPECT_FALSE(t.LockRecord());
    t.Go(5);
    EXPECT_TRUE(t.LockRecord());
    EXPECT_EQ(t.LockHolds(), 2);
    // Posting an edit under the record lock still writes the header, with no wait.
    t.PutText(1, "ed");
    t.WriteRecord(5);
    EXPECT_EQ(nvbytes::LoadLE32(ReadAll(path).data() + 4), 6u);
    EXPECT_EQ(t.LockHolds(), 2);
    t.Unlock();
    t.Unlock();
    EXPECT_EQ(t.LockHolds(), 0);

    // Another object holding the append lock makes an append give up with the message.
    NVO_DiskFile other(path, true, true);
    other.Open();
    ASSERT_TRUE(other.LockRange(0x7FFFFFFE, 1));
    t.BlankRecord();
    try {
        t.Append();
        FAIL();
    } catch (const ENorvaneError& e) {
        EXPECT_EQ(e.Message(), "Can not Lock file " + path);
    }
    EXPECT_EQ(t.LockHolds(), 0) << "no hold released that the append did not take";
    EXPECT_EQ(t.RecordCount(), 6);
}

TEST(DbfLocks, ChangesByOthersAreReported) {
    TempDir dir;
    std::string path = dir.File("chg.dbf");
    dbftest::MakeTable(path, {{"A", "C", 4, 0}});
    NVO_dBaseFld a(path, true, true, "");
    NVO_dBaseFld b(path, true, true, "");
    EXPECT_EQ(a.TableChanged(), 0);
    b.BlankRecord();
    b.Append();
    a.BlankRecord();
    a.Append();  // re-reads the header first: must not hide b's change
    EXPECT_EQ(a.RecordCount(), 2);
    EXPECT_EQ(a.TableChanged() & kTableChangedByOthers, kTableChangedByOthers);
    EXPECT_EQ(a.TableChanged(), 0);
    a.Go(1);
    a.WriteRecord(1);
    EXPECT_EQ(a.TableChanged(), kTableWrittenByUs);
}

TEST(DbfLocks, TwoProcessesAppendingLoseNoRecord) {
    TempDir dir;
    std::string path = dir.File("race.dbf");
    dbftest::MakeTable(path, {{"WHO", "C", 1, 0}, {"SEQ", "N", 5, 0}});
    constexpr int kEach = 150;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int rc = 0;
            try {
                NVO_dBaseFld t(path, true, true, "");
                for (int i = 1; i <= kEach; ++i) {
                    t.BlankRecord();
                    t.PutText(1, c == 0 ? "a" : "b");
                    t.SetNumber(2, i);
                    t.Append();
                }
            } catch (...) {
                rc = 1;
            }
            ::_exit(rc);
        }
        children[c] = pid;
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    NVO_dBaseFld t(path, false, false, "");
    ASSERT_EQ(t.RecordCount(), 2 * kEach);
    auto bytes = ReadAll(path);
    EXPECT_EQ(nvbytes::LoadLE32(bytes.data() + 4), uint32_t(2 * kEach));
    EXPECT_EQ(bytes.size(), std::size_t(t.HeaderLength() + t.RecordLength() * 2 * kEach + 1));
    std::set<std::string> seen;
    int last[2] = {0, 0};
    for (t.Go(-3); !t.Eof(); t.Go(-1)) {
        std::string who = t.GetRaw(1);
        int seq = static_cast<int>(t.GetNumber(2));
        ASSERT_TRUE(who == "a" || who == "b") << "record " << t.CurrentRecord();
        int& prev = last[who == "b"];
        EXPECT_EQ(seq, prev + 1) << "each process's records in its own order";
        prev = seq;
        seen.insert(who + std::to_string(seq));
    }
    EXPECT_EQ(seen.size(), std::size_t(2 * kEach));
}

}  // namespace
