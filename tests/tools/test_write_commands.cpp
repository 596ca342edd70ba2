// The writing commands of the norvane tool, always on copies in a scratch folder: create from
// a field list and from a listing, index/check/reindex/deltag with an index damaged on
// purpose, pack and zap keeping their index files right, and CSV export then import of
// memos, accented text and every Visual FoxPro field kind.
#include <gtest/gtest.h>

#include <filesystem>

#include "nv6_ixop.h"
#include "tool_support.h"

namespace {

using nvtest::ScratchDir;
using tooltest::kPeer;
using tooltest::LinesStarting;
using tooltest::Tool;

// The row lines of a dump without their record numbers, deleted rows left out.
std::vector<std::string> LiveValues(const std::string& dump) {
    std::vector<std::string> values;
    for (const std::string& line : LinesStarting(dump, "row ")) {
        std::size_t bar = line.find('|');
        if (line.compare(bar - 1, 1, "*") == 0) continue;
        values.push_back(line.substr(bar));
    }
    return values;
}

TEST(ToolCreate, FieldListsAndListingsMakeTheStructureAndBadOnesAreRefused) {
    ScratchDir dir;
    auto r = Tool({"create", dir.File("fox.dbf"), "--flavour", "foxpro", "--fields",
                   "name c 20, age n 3 0, amount N 10 2, born d, ok l, notes m"});
    ASSERT_EQ(r.status, 0) << r.err;
    {
        NVO_dBHandler t(dir.File("fox.dbf"), true, false, "");
        EXPECT_EQ(t.Version(), 0xF5);
        ASSERT_EQ(t.FieldCount(), 6);
        EXPECT_EQ(t.FieldName(1), "NAME");
        EXPECT_EQ(t.FieldLength(1), 20);
        EXPECT_EQ(t.FieldDecimals(3), 2);
        EXPECT_EQ(t.FieldType(6), 'M');
        EXPECT_EQ(t.RecordLength(), 1 + 20 + 3 + 10 + 8 + 1 + 10);
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("fox.fpt")));

    nvtest::WriteFile(dir.File("list.txt"), "NAME;C;12;0\r\nCOUNT;N;5;1\r\n\r\nMEMO;M;10;0\r\n");
    r = Tool({"create", dir.File("four"), "--flavour", "dbase4", "--from", dir.File("list.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    {
        NVO_dBHandler t(dir.File("four.dbf"), true, false, "");
        EXPECT_EQ(t.Version(), 0x8B);
        EXPECT_EQ(t.FieldCount(), 3);
        EXPECT_EQ(t.FieldDecimals(2), 1);
    }

    std::string before = nvtest::ReadFile(dir.File("fox.dbf"));
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"create", dir.File("fox.dbf"), "--flavour", "foxpro", "--fields", "A C 1"},
             {"create", dir.File("b1.dbf"), "--flavour", "foxpro", "--fields", "A Q 1"},
             {"create", dir.File("b2.dbf"), "--flavour", "foxpro", "--fields", "A N 4 3"},
             {"create", dir.File("b3.dbf"), "--flavour", "foxpro", "--fields", "A C 1,a C 2"},
             {"create", dir.File("b4.dbf"), "--flavour", "foxpro", "--fields", "1A C 1"},
             {"create", dir.File("b5.dbf"), "--flavour", "paradox", "--fields", "A C 1"},
             {"create", dir.File("b6.dbf"), "--fields", "A C 1"},
             {"create", dir.File("b7.dbf"), "--flavour", "dbase3"},
             {"create", dir.File("b8.dbf"), "--flavour", "dbase3", "--fields", "A C x"}}) {
        r = Tool(bad);
        EXPECT_EQ(r.status, 2) << bad.back();
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(nvtest::ReadFile(dir.File("fox.dbf")), before);
    for (const char* name : {"b1.dbf", "b2.dbf", "b3.dbf", "b4.dbf", "b5.dbf", "b6.dbf", "b7.dbf", "b8.dbf"})
        EXPECT_FALSE(std::filesystem::exists(dir.File(name))) << name;
}

// A small table whose NDX tree is a single leaf in block 1.
std::string MakeSmall(const ScratchDir& dir) {
    std::string path = dir.File("small.dbf");
    EXPECT_EQ(Tool({"create", path, "--flavour", "dbase3", "--fields", "NAME C 10, NOTE M"}).status, 0);
    NVO_dBHandler t(path, false, true, "");
    for (const char* name : {"delta", "alpha", "echo", "bravo", "charlie"}) {
        t.BlankRecord();
        t.PutRaw(1, name);
        t.PutText(2, std::string("note of ") + name);
        t.Append();
    }
    return path;
}

TEST(ToolIndexAndCheck, CheckFindsDamageOnPurposeAndReindexMendsIt) {
    ScratchDir dir;
    std::string table = MakeSmall(dir);
    std::string ndx = dir.File("small_name.ndx");
    EXPECT_EQ(Tool({"index", table, "--file", ndx, "--key", "NAME", "--for", "NAME > 'b'"}).status, 2);
    EXPECT_EQ(Tool({"index", table, "--file", ndx, "--key", "NAME", "--descending"}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(ndx));
    EXPECT_EQ(Tool({"index", table, "--file", ndx, "--key", "NOSUCH+1"}).status, 2);
    // A build that fails half-way leaves no index behind either.
    EXPECT_EQ(Tool({"index", table, "--file", ndx, "--key", "NAME+STR(100/(RECNO()-3))"}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(ndx));
    auto r = Tool({"index", table, "--file", ndx, "--key", "NAME"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool({"check", table, "--index", ndx});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("5 keys, ok"), std::string::npos) << r.out;

    // The first key of the leaf ("alpha") overwritten: out of order, and not its record's key.
    std::string bytes = nvtest::ReadFile(ndx);
    ASSERT_GE(bytes.size(), 1024u);
    ASSERT_EQ(bytes.compare(512 + 12, 5, "alpha"), 0);
    bytes.replace(512 + 12, 5, "zzzzz");
    nvtest::WriteFile(ndx, bytes);
    r = Tool({"check", table, "--index", ndx});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("out of order"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("record 2 has key 'zzzzz', not 'alpha'"), std::string::npos) << r.out;
    // A record number changed into another one: one record twice, one without an entry.
    bytes.replace(512 + 12, 5, "alpha");
    bytes[512 + 8] = 1;  // alpha (record 2) now claims record 1
    nvtest::WriteFile(ndx, bytes);
    r = Tool({"check", table, "--index", ndx});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("record 1 has 2 entries"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("record 2 (key 'alpha') has no entry"), std::string::npos) << r.out;

    ASSERT_EQ(Tool({"reindex", table, "--index", ndx}).status, 0);
    EXPECT_EQ(Tool({"check", table, "--index", ndx}).status, 0);
    EXPECT_EQ(Tool({"dump", table, "--index", ndx}).out.substr(Tool({"dump", table}).out.size()),
              "order SMALL_NAME|NAME||ascending|duplicates| 2 4 5 1 3\n");

    // A memo pointer past the memo file's end.
    {
        NVO_dBHandler t(table, false, true, "");
        t.Go(3);
        t.PutRaw(2, "999999");
        t.WriteRecord(3);
    }
    r = Tool({"check", table});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("record 3 field NOTE"), std::string::npos) << r.out;

    ASSERT_EQ(Tool({"deltag", table, "--index", ndx, "--tag", "small_name"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(ndx));
}

// NTX tags take FOR conditions as NDX tags do not; a condition must be a logical one.
TEST(ToolIndexAndCheck, ForConditionsOnNtxTagsAndOnlyLogicalOnes) {
    ScratchDir dir;
    std::string table = MakeSmall(dir);
    std::string ntx = dir.File("small_late.ntx");
    auto r = Tool({"index", table, "--file", ntx, "--key", "NAME", "--for", "NAME > 'c'"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool({"dump", table, "--index", ntx}).out.substr(Tool({"dump", table}).out.size()),
              "order SMALL_LATE|NAME|NAME > 'c'|ascending|duplicates| 5 1 3\n");
    r = Tool({"index", table, "--file", dir.File("small_bad.ntx"), "--key", "NAME", "--for", "RECNO() + 1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("does not give a logical value"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("small_bad.ntx")));
}

// A password change reaches the memo file, the production index and the index files given;
// the tables and orders read as before with the new password only.
TEST(ToolPassword, TheTableAndEveryGivenIndexTakeTheNewPassword) {
    ScratchDir dir;
    std::string table = MakeSmall(dir);
    std::string ndx = dir.File("byname.ndx"), cdx = dir.File("small.cdx");
    ASSERT_EQ(Tool({"index", table, "--file", ndx, "--key", "NAME"}).status, 0);
    ASSERT_EQ(Tool({"index", table, "--file", cdx, "--tag", "UNAME", "--key", "UPPER(NAME)"}).status, 0);
    const std::string dump = Tool({"dump", table, "--index", ndx, "--index", cdx}).out;

    auto r = Tool({"password", table, "--new", "s3cret", "--index", ndx});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "changed the password of " + table + " and of 2 index files\n");
    EXPECT_EQ(Tool({"dump", table}).status, 2);
    EXPECT_EQ(Tool({"dump", table, "--index", ndx, "--index", cdx, "--password", "s3cret"}).out, dump);
    EXPECT_EQ(Tool({"check", table, "--index", ndx, "--index", cdx, "--password", "s3cret"}).status, 0);

    EXPECT_EQ(Tool({"password", table, "--new", "", "--password", "wrong"}).status, 2);
    r = Tool({"password", table, "--new", "", "--password", "s3cret", "--index", ndx});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("removed the password of ", 0), 0u) << r.out;
    EXPECT_EQ(Tool({"dump", table, "--index", ndx, "--index", cdx}).out, dump);
}

TEST(ToolPackAndZap, IndexFilesFollowAndTheOnesLeftOutAreNamed) {
    ScratchDir dir;
    std::string table = dir.Copy(kPeer + "py_db3.dbf");
    dir.Copy(kPeer + "py_db3.dbt");
    std::string name = dir.File("py_db3_name.ndx"), amount = dir.File("py_db3_amount.ndx");
    ASSERT_EQ(Tool({"index", table, "--file", name, "--key", "NAME"}).status, 0);
    ASSERT_EQ(Tool({"index", table, "--file", amount, "--key", "AMOUNT"}).status, 0);

    auto r = Tool({"zap", table, "--index", name});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--yes"), std::string::npos);

    std::vector<std::string> live = LiveValues(nvtest::ReadFile(kPeer + "py_db3.dump"));
    r = Tool({"pack", table, "--index", name});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: index file " + amount), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(name), std::string::npos) << r.err;
    std::string dump = Tool({"dump", table}).out;
    EXPECT_EQ(LiveValues(dump), live);
    EXPECT_EQ(LinesStarting(dump, "row ").size(), live.size());
    EXPECT_EQ(Tool({"check", table, "--index", name}).status, 0);
    // The file left out still points at the old record numbers.
    EXPECT_EQ(Tool({"check", table, "--index", amount}).status, 1);

    r = Tool({"zap", table, "--index", name, "--index", amount, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool({"dump", table, "--index", name}).out, "order PY_DB3_NAM|NAME||ascending|duplicates|\n");
    EXPECT_EQ(Tool({"check", table, "--index", name, "--index", amount}).status, 0);
}

TEST(ToolPackAndZap, TheProductionIndexIsOpenedByItself) {
    ScratchDir dir;
    std::string table = MakeSmall(dir);
    std::string cdx = dir.File("small.cdx");
    ASSERT_EQ(Tool({"index", table, "--file", cdx, "--tag", "NAME", "--key", "NAME"}).status, 0);
    ASSERT_EQ(Tool({"index", table, "--file", cdx, "--tag", "UNAME", "--key", "UPPER(NAME)", "--descending"}).status, 0);
    EXPECT_EQ(Tool({"index", table, "--file", cdx, "--tag", "NAME", "--key", "NAME"}).status, 2);
    {
        NVO_dBHandler t(table, false, true, "");
        t.Go(2);
        t.DeleteRecord();
    }
    // Neither command names the compound file: both keep it right all the same.
    auto r = Tool({"pack", table});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = Tool({"dump", table, "--index", cdx});
    EXPECT_EQ(LinesStarting(r.out, "order ").size(), 2u) << r.out;
    EXPECT_NE(r.out.find("order NAME|NAME||ascending|duplicates| 3 4 1 2\n"), std::string::npos) << r.out;
    EXPECT_EQ(Tool({"check", table, "--index", cdx}).status, 0);
    nvtest::WriteFile(dir.File("more.csv"), "NAME\r\nfoxtrot\r\naardvark\r\n");
    ASSERT_EQ(Tool({"import", table, "--csv", dir.File("more.csv")}).status, 0);
    r = Tool({"check", table, "--index", cdx});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("tag UNAME: 6 keys, ok"), std::string::npos) << r.out;
    ASSERT_EQ(Tool({"deltag", table, "--index", cdx, "--tag", "uname"}).status, 0);
    EXPECT_EQ(LinesStarting(Tool({"dump", table, "--index", cdx}).out, "order ").size(), 1u);
}

TEST(ToolCsv, ExportThenImportRoundTripsMemosAndAccentedText) {
    ScratchDir dir;
    const std::string fields = "NAME C 12, AMOUNT N 10 2, BORN D, OK L, NOTES M";
    std::string source = dir.File("src.dbf");
    ASSERT_EQ(Tool({"create", source, "--flavour", "foxpro", "--fields", fields}).status, 0);
    {
        NVO_dBHandler t(source, false, true, "");
        struct Row {
            const char *name, *amount, *born, *ok, *memo;
        };
        // Code page 437: 0x81 u-umlaut, 0x92 AE, 0x94 o-umlaut, 0x82 e-acute.
        for (const Row& row : {Row{"M\x81ller", "12.50", "19991231", "T", "line one\r\nline, \"two\"\r\n\x82t\x82"},
                               Row{"\x92r\x94", "", "", "F", ""}, Row{"gone", "1", "20000101", "T", "x"},
                               Row{" lead", "-0.01", "20240229", "", ",\"\n"}}) {
            t.BlankRecord();
            t.PutRaw(1, row.name);
            t.PutRaw(2, row.amount);
            t.PutRaw(3, row.born);
            t.PutRaw(4, row.ok);
            t.PutText(5, row.memo);
            t.Append();
        }
        t.Go(3);
        t.DeleteRecord();
    }
    std::string csv = dir.File("out.csv");
    auto r = Tool({"export", source, "--csv", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string text = nvtest::ReadFile(csv);
    EXPECT_EQ(text.rfind("NAME,AMOUNT,BORN,OK,NOTES\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("M\xC3\xBC" "ller,12.50,1999-12-31,T,\"line one\r\nline, \"\"two\"\"\r\n\xC3\xA9t\xC3\xA9\"\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\xC3\x86r\xC3\xB6,,,F,\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("gone"), std::string::npos);

    std::string target = dir.File("dst.dbf");
    ASSERT_EQ(Tool({"create", target, "--flavour", "foxpro", "--fields", fields}).status, 0);
    r = Tool({"import", target, "--csv", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(LiveValues(Tool({"dump", target}).out), LiveValues(Tool({"dump", source}).out));
    // Column order in the CSV does not matter, only the names.
    nvtest::WriteFile(dir.File("swap.csv"), "notes,Name\r\nhello,x\r\n");
    ASSERT_EQ(Tool({"import", target, "--csv", dir.File("swap.csv")}).status, 0);
    EXPECT_NE(Tool({"dump", target}).out.find("row 4 -|x|0.00||F|5:5d41402abc4b2a76b9719d911017c592\n"), std::string::npos);
}

TEST(ToolCsv, EveryVisualFoxProKindRoundTripsThroughAnEmptiedCopy) {
    ScratchDir dir;
    std::string original = kPeer + "py_vfp.dbf";
    std::string csv = dir.File("vfp.csv");
    ASSERT_EQ(Tool({"export", original, "--csv", csv}).status, 0);
    std::string copy = dir.Copy(original);
    dir.Copy(kPeer + "py_vfp.fpt");
    ASSERT_EQ(Tool({"zap", copy, "--yes"}).status, 0);
    auto r = Tool({"import", copy, "--csv", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(LiveValues(Tool({"dump", copy}).out), LiveValues(nvtest::ReadFile(kPeer + "py_vfp.dump")));
}

TEST(ToolCsv, AValueThatDoesNotFitNamesItsLineAndFieldAndAddsNothing) {
    ScratchDir dir;
    std::string table = dir.File("t.dbf");
    ASSERT_EQ(Tool({"create", table, "--flavour", "dbase3", "--fields", "NAME C 5, BORN D, OK L, N N 4 1, M M"}).status, 0);
    struct Case {
        const char* csv;
        const char* message;
    };
    for (const Case& c : {
             // The quoted memo spans two lines: the bad row starts on line 4.
             Case{"NAME,M\nab,\"one\ntwo\"\ntoolong,x\n", "line 4, field NAME"},
             Case{"NAME,BORN\nab,2020-02-30\n", "line 2, field BORN"},
             Case{"NAME,OK\nab,maybe\n", "line 2, field OK"},
             Case{"NAME,N\nab,12345\n", "line 2, field N"},
             Case{"NAME,N\nab,1x\n", "line 2, field N"},
             Case{"NAME,NOPE\nab,1\n", "no field named 'NOPE'"},
             Case{"NAME,N\nab\n", "line 2: 1 values for 2 fields"},
             Case{"NAME\n\"ab\n", "closing quote"},
             Case{"NAME\n\xE4\xB8\xAD\n", "line 2, field NAME"},  // a CJK character: nothing near it in code page 437
         }) {
        nvtest::WriteFile(dir.File("in.csv"), c.csv);
        auto r = Tool({"import", table, "--csv", dir.File("in.csv")});
        EXPECT_EQ(r.status, 2) << c.csv;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        NVO_dBHandler t(table, true, false, "");
        EXPECT_EQ(t.RecordCount(), 0) << c.csv;
    }
}

}  // namespace

namespace {

TEST(ToolProgress, LongOperationsReportTheirPhasesOnlyWhenAsked) {
    using namespace tooltest;
    ScratchDir dir;
    std::string table = MakeSmall(dir);
    std::ostringstream out, err;
    ASSERT_EQ(NvtRun({"index", table, "--file", dir.File("p.ndx"), "--key", "NAME"}, out, err, true), 0)
        << err.str();
    EXPECT_NE(err.str().find("reading records: 5/5"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("writing keys: 5/5\n"), std::string::npos) << err.str();
    // Without a terminal nothing but warnings reaches stderr.
    auto quiet = Tool({"index", table, "--file", dir.File("q.ndx"), "--key", "NAME"});
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err.find("records:"), std::string::npos);
}

}  // namespace
