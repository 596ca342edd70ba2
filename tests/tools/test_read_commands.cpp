// The reading commands of the norvane tool: dump reproduces every peer fixture's dump and
// prints tags, edge values and empty orders in the dump notation; info, list and seek over
// fixtures and over tables the tests make; help texts and exit statuses of the real program.
// Fixtures are only read, and the tests check that they stay byte for byte as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "nv6_ixop.h"
#include "tool_support.h"

namespace {

using nvtest::ScratchDir;
using tooltest::kPeer;
using tooltest::LinesStarting;
using tooltest::Tool;
using tooltest::RunBinary;

std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(kPeer)) files[e.path().string()] = nvtest::ReadFile(e.path().string());
    return files;
}

TEST(ToolDump, EveryFixtureRowAndEveryReadableIndexIsReproducedExactly) {
    auto before = Snapshot();
    for (const char* name : {"py_db3", "py_clp", "py_fp", "py_vfp", "people", "orders"}) {
        SCOPED_TRACE(name);
        std::string expected = nvtest::ReadFile(kPeer + name + ".dump");
        ASSERT_FALSE(expected.empty());
        auto r = Tool({"dump", kPeer + name + ".dbf"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tooltest::RowLines(expected));
        EXPECT_EQ(r.err, "");
    }
    // The order lines, for the formats the engine reads by now.
    std::vector<std::string> ntx;
    for (const auto& e : std::filesystem::directory_iterator(kPeer))
        if (e.path().extension() == ".ntx") ntx.push_back(e.path().string());
    ASSERT_EQ(ntx.size(), 6u);
    if (NvIsIndexFileName(ntx[0])) {
        std::vector<std::string> words = {"dump", kPeer + "orders.dbf"};
        for (const auto& p : ntx) words.insert(words.end(), {"--index", p});
        auto r = Tool(words);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, nvtest::ReadFile(kPeer + "orders.dump"));
    } else {
        auto r = Tool({"dump", kPeer + "orders.dbf", "--index", ntx[0]});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Unknown index file type"), std::string::npos) << r.err;
    }
    if (NvIsIndexFileName(kPeer + "people.cdx")) {
        auto r = Tool({"dump", kPeer + "people.dbf", "--index", kPeer + "people.cdx"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, nvtest::ReadFile(kPeer + "people.dump"));
    }
    EXPECT_EQ(Snapshot(), before) << "a reading command changed a fixture";
}

// A table whose values hit the dump's special cases: a "|" inside a field, a blank numeric,
// an invalid date, a logical byte that is no logical, a deleted record, an empty name.
std::string MakeEdgeTable(const ScratchDir& dir) {
    std::string path = dir.File("edge.dbf");
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 10, 0);
        build.AddField("AMOUNT", "N", 8, 2);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("OK", "L", 1, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    auto add = [&](const char* name, const char* amount, const char* born, const char* ok) {
        t.BlankRecord();
        t.PutRaw(1, name);
        t.PutRaw(2, amount);
        t.PutRaw(3, born);
        t.PutRaw(4, ok);
        t.Append();
    };
    add("b|x", "1.5", "20200101", "T");
    add("a", "", "2020AB01", "X");
    add("b|x", "-2", "", "y");
    add("", "0", "19991231", "F");
    t.Go(3);
    t.DeleteRecord();
    return path;
}

TEST(ToolDump, EdgeValuesAndNdxOrdersInTheDumpNotation) {
    ScratchDir dir;
    std::string table = MakeEdgeTable(dir);
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("edge_name.ndx"), "--key", "NAME"}).status, 0);
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("edge_uniq.ndx"), "--key", "NAME", "--unique"}).status, 0);
    // Given in the other order: the order lines still come sorted by tag name.
    auto r = Tool({"dump", table, "--index", dir.File("edge_uniq.ndx"), "--index", dir.File("edge_name.ndx")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "row 1 -|b|x|1.50|20200101|T\n"
              "row 2 -|a|0.00|2020AB01|F\n"
              "row 3 *|b|x|-2.00||T\n"
              "row 4 -||0.00|19991231|F\n"
              "order EDGE_NAME|NAME||ascending|duplicates| 4 2 1 3\n"
              "order EDGE_UNIQ|NAME||ascending|unique| 4 2 1\n");

    // An order without records ends with its last "|".
    std::string empty = dir.File("void.dbf");
    {
        NVO_DBFBuild build(empty);
        build.AddField("NAME", "C", 5, 0);
        build.Build();
    }
    ASSERT_EQ(Tool({"index", empty, "--file", dir.File("void_longername.ndx"), "--key", "NAME"}).status, 0);
    r = Tool({"dump", empty, "--index", dir.File("void_longername.ndx")});
    EXPECT_EQ(r.out, "order VOID_LONGE|NAME||ascending|duplicates|\n");
}

TEST(ToolInfoAndList, DescribeAndShowTheRecords) {
    auto r = Tool({"info", kPeer + "people.dbf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0xF5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("records:        300\n"), std::string::npos);
    EXPECT_NE(r.out.find("  6  NOTES       M     10   0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kPeer + "people.fpt"), std::string::npos);
    EXPECT_NE(r.out.find(kPeer + "people.cdx"), std::string::npos);

    // Counts from the fixture's own dump: live rows, rows with a positive amount.
    std::string dump = nvtest::ReadFile(kPeer + "py_db3.dump");
    auto rows = LinesStarting(dump, "row ");
    int live = 0, positive = 0;
    for (const std::string& line : rows) {
        if (line.find(" -|") != std::string::npos) ++live;
        std::string rest = line.substr(line.find('|') + 1);
        rest = rest.substr(rest.find('|') + 1);
        if (std::stod(rest.substr(0, rest.find('|'))) > 0) ++positive;
    }
    ASSERT_LT(live, static_cast<int>(rows.size()));
    r = Tool({"list", kPeer + "py_db3.dbf", "--hide-deleted", "--fields", "name,born"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "  RECNO  NAME                 BORN");
    EXPECT_NE(r.out.find(std::to_string(live) + " records\n"), std::string::npos);
    // Text leaves in UTF-8: the fixture stores "Müller" in code page 437.
    EXPECT_NE(r.out.find("M\xC3\xBCller"), std::string::npos);
    r = Tool({"list", kPeer + "py_db3.dbf", "--filter", "AMOUNT > 0"});
    EXPECT_NE(r.out.find("\n" + std::to_string(positive) + " records\n"), std::string::npos) << r.out;
    EXPECT_EQ(Tool({"list", kPeer + "py_db3.dbf", "--fields", "NOSUCH"}).status, 2);
    EXPECT_EQ(Tool({"list", kPeer + "py_db3.dbf", "--filter", "AMOUNT +"}).status, 2);
    EXPECT_EQ(Tool({"list", kPeer + "py_db3.dbf", "--filter", "AMOUNT"}).status, 2);
}

TEST(ToolSeek, FindsEachKindOfKeyAndSaysWhenItIsNotThere) {
    ScratchDir dir;
    std::string table = dir.Copy(kPeer + "py_db3.dbf");
    dir.Copy(kPeer + "py_db3.dbt");
    for (const char* key : {"NAME", "AMOUNT", "BORN"})
        ASSERT_EQ(Tool({"index", table, "--file", dir.File(std::string("k_") + key + ".ndx"), "--key", key}).status, 0);
    // Record 2 of the fixture: Jones, 1195.33, 20200201.
    auto r = Tool({"seek", table, "--index", dir.File("k_AMOUNT.ndx"), "--order", "k_amount", "1195.33"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");
    r = Tool({"seek", table, "--index", dir.File("k_BORN.ndx"), "--order", "K_BORN", "2020-02-01"});
    EXPECT_EQ(r.out, "2\n") << r.err;
    r = Tool({"seek", table, "--index", dir.File("k_NAME.ndx"), "--order", "K_NAME", "Jon"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The record found carries a name that begins with the key.
    std::string dump = Tool({"dump", table}).out;
    std::string row = "row " + std::to_string(std::stoi(r.out)) + " ";
    auto at = dump.find(row);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(dump.substr(at + row.size() + 1, 4), "|Jon") << dump.substr(at, 40);
    r = Tool({"seek", table, "--index", dir.File("k_NAME.ndx"), "--order", "K_NAME", "Zzzz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Tool({"seek", table, "--index", dir.File("k_AMOUNT.ndx"), "--order", "K_AMOUNT", "abc"}).status, 2);
    EXPECT_EQ(Tool({"seek", table, "--index", dir.File("k_NAME.ndx"), "--order", "NOSUCH", "x"}).status, 2);
    EXPECT_EQ(Tool({"seek", table, "--index", dir.File("k_NAME.ndx"), "--order", "K_NAME"}).status, 2);
}

// The timing jobs answer what the peer runtime answers for the same table: record i has
// AGE i mod 90 and AMOUNT (i mod 100000) / 100.
TEST(ToolBench, JobsGiveTheResultsOfTheirTable) {
    ScratchDir dir;
    const std::string table = dir.File("big.dbf");
    auto r = Tool({"bench", "append", table, "--count", "500"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("big.cdx"), "--tag", "NAME", "--key", "NAME"}).status, 0);
    const std::string sum = "records 500 sum 1252.50\n";  // (1 + ... + 500) / 100
    EXPECT_EQ(Tool({"bench", "scan", table}).out, sum);
    EXPECT_EQ(Tool({"bench", "walk", table, "--index", dir.File("big.cdx"), "--order", "NAME"}).out, sum);
    // AGE > 40 holds for 49 of every 90 records: 5 * 49 + 10 in the last 50.
    EXPECT_EQ(Tool({"bench", "count", table, "--filter", "AGE > 40 .AND. AMOUNT < 500"}).out, "count 255\n");
    r = Tool({"bench", "seek", table, "--index", dir.File("big.cdx"), "--order", "NAME", "--count", "300"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "seeks 300 found 300\n");
    // Held alone, the same answers.
    EXPECT_EQ(Tool({"bench", "walk", table, "--index", dir.File("big.cdx"), "--order", "NAME", "--exclusive"}).out, sum);
    EXPECT_EQ(Tool({"bench", "seek", table, "--index", dir.File("big.cdx"), "--order", "NAME", "--count", "300",
                    "--exclusive"})
                  .out,
              "seeks 300 found 300\n");
    // The peer's pattern: NAME "N" + 8 hex digits of i * 2654435761 mod 2^32 + i in 8 digits.
    const std::string list = Tool({"list", table}).out;
    EXPECT_NE(list.find("      1  N9E3779B1       1    City   1"), std::string::npos) << list.substr(0, 300);
    EXPECT_NE(list.find("2000-01-02"), std::string::npos);
    EXPECT_EQ(Tool({"bench", "sort", table}).status, 2);
    EXPECT_EQ(Tool({"bench", "scan", table, "--field", "NAME"}).status, 2);
    EXPECT_EQ(Tool({"bench", "walk", table}).status, 2);
}

TEST(ToolProgram, HelpStreamsAndExitStatuses) {
    ScratchDir dir;
    auto r = RunBinary(dir, {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const NvtCommandDef& c : NvtCommands())
        EXPECT_NE(r.out.find(std::string("norvane ") + c.name + " "), std::string::npos) << c.name;
    r = RunBinary(dir, {"check", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: norvane check", 0), 0u) << r.out;

    auto oneLine = [](const tooltest::Result& res) {
        return res.err.rfind("norvane: ", 0) == 0 && std::count(res.err.begin(), res.err.end(), '\n') == 1;
    };
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{}, {"frobnicate"}, {"dump"}, {"dump", kPeer + "py_fp.dbf", "--bogus"},
          {"dump", kPeer + "py_fp.dbf", "--index"}, {"dump", dir.File("missing.dbf")},
          {"info", kPeer + "py_fp.dump"}, {"seek", kPeer + "py_fp.dbf", "--order", "X", "key"}}) {
        r = RunBinary(dir, bad);
        EXPECT_EQ(r.status, 2) << (bad.empty() ? "" : bad[0]);
        EXPECT_TRUE(oneLine(r)) << r.err;
        EXPECT_EQ(r.out, "");
    }
    r = RunBinary(dir, {"dump", kPeer + "py_clp.dbf"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, tooltest::RowLines(nvtest::ReadFile(kPeer + "py_clp.dump")));
}

}  // namespace
