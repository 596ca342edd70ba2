// Pack and the password change replace a table's files by copies: what the copy keeps of
// the header, the descriptors and the memo file, and the index files of the table re-keyed
// in the same swap as the table, all or nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv_test_errors.h"
#include "nv6_bytes.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_os.h"

namespace {

namespace fs = std::filesystem;
using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;
using nvtest::ErrorOf;

// The header area (header, descriptors, whatever follows them) without the bytes every
// header write changes: the date (1-3), the count (4-7) and the change stamp (16-19).
std::vector<uint8_t> KeptHeader(const std::string& path) {
    std::vector<uint8_t> bytes = ReadAll(path);
    bytes.resize(nvbytes::LoadLE16(bytes.data() + 8));
    for (int i : {1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19}) bytes[static_cast<std::size_t>(i)] = 0;
    return bytes;
}

// The table base name a dBase III or IV memo header carries at offset 8.
std::string MemoHeaderName(const std::string& path) {
    std::vector<uint8_t> bytes = ReadAll(path);
    std::string name(bytes.begin() + 8, bytes.begin() + 16);
    return name.substr(0, name.find('\0'));
}

void AddRecords(const std::string& path, int count) {
    NVO_dBHandler t(path, false, true, "");
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutText(1, "R" + std::to_string(n));
        t.PutText(2, std::to_string(n));
        if (t.FieldCount() > 2) t.PutText(3, "memo " + std::to_string(n));
        t.Append();
    }
}

std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& dir) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename()] = ReadAll(e.path());
    return files;
}

TEST(DbsyReplace, PackKeepsHeaderVersionDescriptorsAndTheMemoFileOfItsTable) {
    TempDir dir;
    // A FoxPro table of another program, with the 263-byte area only Visual FoxPro needs.
    const std::string fox = dir.File("fox.dbf");
    fs::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_fp.dbf", fox);
    fs::copy_file(std::string(PELMORA_FIXTURES) + "/peer/py_fp.fpt", dir.File("fox.fpt"));
    // Version 0x04, with descriptor bytes 18-31 another program filled.
    const std::string four = dir.File("four.dbf");
    dbftest::MakeTable(four, {{"NAME", "C", 6, 0}, {"N", "N", 4, 0}});
    std::vector<uint8_t> bytes = ReadAll(four);
    bytes[0] = nvdbf::kVerPlain4;
    for (int i = 18; i < 32; ++i) bytes[static_cast<std::size_t>(32 + i)] = static_cast<uint8_t>(i);
    WriteAll(four, bytes);
    AddRecords(four, 4);
    // dBase IV by its version byte, with a memo file but no memo field.
    const std::string dbase4 = dir.File("d4.dbf");
    dbftest::MakeTable(dbase4, {{"NAME", "C", 6, 0}, {"N", "N", 4, 0}});
    bytes = ReadAll(dbase4);
    bytes[0] = nvdbf::kVerDb4Memo;
    WriteAll(dbase4, bytes);
    {
        NVO_DB4Build memo(dir.File("other.dbf"));
        memo.AddField("NOTE", "M", 10, 0);
        memo.Build();
    }
    fs::rename(dir.File("other.dbt"), dir.File("d4.dbt"));
    AddRecords(dbase4, 4);
    // dBase III with memo values.
    const std::string dbase3 = dir.File("d3.dbf");
    dbftest::MakeTable(dbase3, {{"NAME", "C", 6, 0}, {"N", "N", 4, 0}, {"NOTE", "M", 10, 0}});
    AddRecords(dbase3, 4);

    for (const std::string& path : {dbase3, fox, four, dbase4}) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> header = KeptHeader(path);
        int32_t live = 0;
        {
            NVO_dBHandler t(path, false, true, "");
            t.Go(2);
            t.DeleteRecord();
            for (int32_t n = 1; n <= t.RecordCount(); ++n) {
                t.Go(n);
                live += t.RecordPointer()[0] == ' ';
            }
            t.Pack();
        }
        EXPECT_EQ(KeptHeader(path), header);
        EXPECT_EQ(NVO_dBHandler(path, false, false, "").RecordCount(), live);
        // A dBase memo file names its own table, not the copy it was made as.
        if (path == dbase3 || path == dbase4) {
            EXPECT_EQ(MemoHeaderName(path.substr(0, path.size() - 4) + ".dbt"), path == dbase3 ? "d3" : "d4");
        }
    }
    NVO_dBHandler t(dbase3, false, true, "");
    t.Go(3);
    EXPECT_EQ(t.GetText(3), "memo 4");

    NVO_dBHandler marked(dbase4, false, true, "");
    marked.SetPassword("k");
    EXPECT_TRUE(marked.Enciphered());
    EXPECT_EQ(marked.Version(), nvdbf::kVerDb4Memo);
}

// The index files of the Rekey tests and their tags.
const std::pair<const char*, const char*> kIndexes[] = {{"pw.cdx", "NAME"}, {"byn.ndx", "byn"}, {"other.ntx", "other"}};

// A table with a production index, an index file the cursor opens and one it does not.
class Rekey : public ::testing::Test {
protected:
    void SetUp() override {
        table_ = dir_.File("pw.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 6, 0}, {"N", "N", 4, 0}, {"NOTE", "M", 10, 0}});
        AddRecords(table_, 12);
        {
            NVO_dBHandler t(table_, false, true, "");
            EXPECT_EQ(t.IndexOn(dir_.File("pw.cdx"), "NAME", 1, true, "", "NAME"), 0);
            EXPECT_EQ(t.IndexOn(dir_.File("byn.ndx"), "", 0, true, "", "N"), 0);
            EXPECT_EQ(t.IndexOn(dir_.File("other.ntx"), "", 1, true, "", "NAME"), 0);
        }
        expected_ = Walks("");
    }
    // Each index file's order read with `password`.
    std::vector<std::vector<int>> Walks(const std::string& password) {
        std::vector<std::vector<int>> walks;
        NVO_dBHandler t(table_, true, false, password);
        for (const auto& [file, tag] : kIndexes) {
            EXPECT_EQ(t.OpenIndexFiles(dir_.File(file), tag), 0);
            std::vector<int>& walk = walks.emplace_back();
            for (t.Go(-3); !t.Eof(); t.Skip(1)) walk.push_back(t.CurrentRecord());
        }
        return walks;
    }

    TempDir dir_;
    std::string table_;
    std::vector<std::vector<int>> expected_;
};

TEST_F(Rekey, APasswordChangeTakesTheProductionIndexAlongThoughItIsClosed) {
    {
        NVO_dBHandler t(table_, false, true, "");
        ASSERT_EQ(t.OpenIndexFiles(dir_.File("byn.ndx"), ""), 0);
        t.SetReadAhead(true);
        t.Go(1);
        t.SetPassword("k");
        // Read through the window, which must not hold the replaced file's records.
        t.Go(2);
        EXPECT_EQ(t.GetText(1), "R2");
    }
    std::vector<std::vector<int>> walks;
    {
        NVO_dBHandler t(table_, true, false, "k");
        for (const auto& [file, tag] : {kIndexes[0], kIndexes[1]}) {
            ASSERT_EQ(t.OpenIndexFiles(dir_.File(file), tag), 0);
            std::vector<int>& walk = walks.emplace_back();
            for (t.Go(-3); !t.Eof(); t.Skip(1)) walk.push_back(t.CurrentRecord());
        }
    }
    EXPECT_EQ(walks, std::vector<std::vector<int>>(expected_.begin(), expected_.begin() + 2));
}

// Every write and every move of the change failing in turn: each failure leaves every file
// as it was (and no stray one), readable with the old password; then the change goes through.
TEST_F(Rekey, AFailureAtAnyStepLeavesEveryFileAsItWas) {
    for (NvOsOp op : {NvOsOp::Write, NvOsOp::Rename}) {
        const std::string from = op == NvOsOp::Write ? "" : "k", to = op == NvOsOp::Write ? "k" : "";
        const auto before = Snapshot(dir_.File(""));
        for (int step = 1;; ++step) {
            SCOPED_TRACE(step);
            ASSERT_LT(step, 1000);
            NVO_dBHandler t(table_, false, true, from);
            ASSERT_EQ(t.OpenIndexFiles(dir_.File("byn.ndx"), "byn"), 0);
            t.Go(2);
            bool failed = false;
            {
                NvFaultPlatform faults;
                NvPlatformScope use(faults);
                faults.Fail(op, step);
                failed = !ErrorOf([&] { t.ChangePassword(to, {"other.ntx"}); }).empty();
            }
            if (!failed) break;
            ASSERT_EQ(Snapshot(dir_.File("")), before);
            t.Go(2);
            EXPECT_EQ(t.GetText(3), "memo 2");
            EXPECT_TRUE(t.Find("2"));
        }
        if (op == NvOsOp::Write) {
            EXPECT_EQ(Walks("k"), expected_);
            NVO_dBHandler t(table_, false, true, "k");
            t.Go(2);
            EXPECT_EQ(t.GetText(3), "memo 2");
        }
    }
    // The second sweep took the password away again: the files are the plain ones, save
    // for the engine's own field offsets and numbers in the descriptors.
    EXPECT_EQ(Walks(""), expected_);
    EXPECT_EQ(ErrorOf([&] { NVO_dBHandler(table_, false, true, "").ChangePassword("x", {"none.ndx"}); }),
              "File " + dir_.File("none.ndx") + " could not be found");
}

}  // namespace
