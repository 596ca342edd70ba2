// The tool's code pages (--codepage, the header's mark, new tables marked), CSV without a
// byte-order mark unless asked, and the SQLite export read back by Python's sqlite3 module.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "nv6_bytes.h"
#include "nv_iconv.h"
#include "tool_support.h"

namespace {

using tooltest::Result;
using tooltest::Tool;

// Python's sqlite3 reads the table back and compares it with the CSV export.
Result CheckDatabase(const nvtest::ScratchDir& dir, const std::string& db, const std::string& table,
                     const std::string& csv) {
    const std::string command = "/usr/bin/python3 " + tooltest::Quote(std::string(PELMORA_FIXTURES) +
                                                                     "/../tools/sqlite_check.py") +
                                " " + tooltest::Quote(db) + " " + tooltest::Quote(table) + " " + tooltest::Quote(csv) +
                                " >" + tooltest::Quote(dir.File("check.txt")) + " 2>&1";
    Result r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = nvtest::ReadFile(dir.File("check.txt"));
    return r;
}

std::string Query(const nvtest::ScratchDir& dir, const std::string& db, const std::string& sql) {
    const std::string command = "/usr/bin/python3 -c " +
                                tooltest::Quote("import sqlite3,sys\nfor r in sqlite3.connect(sys.argv[1]).execute(sys.argv[2]): "
                                                "print('|'.join('' if v is None else str(v) for v in r))") +
                                " " + tooltest::Quote(db) + " " + tooltest::Quote(sql) + " >" +
                                tooltest::Quote(dir.File("query.txt")) + " 2>&1";
    if (std::system(command.c_str()) != 0) return "query failed: " + nvtest::ReadFile(dir.File("query.txt"));
    return nvtest::ReadFile(dir.File("query.txt"));
}

const char* const kCyrillicCsv =
    "NAME,CITY,PAY,BORN,OK,NOTES\n"
    "Иванов,Москва,12.50,2001-02-03,T,\"записка, да\"\n"
    "петров,Тверь,,,F,\n";

struct ToolCodePages : ::testing::Test {
    nvtest::ScratchDir dir;
    std::string table = dir.File("cyr.dbf");
    void SetUp() override {
        ASSERT_EQ(Tool({"create", table, "--flavour", "foxpro", "--codepage", "866", "--fields",
                        "NAME C 12,CITY C 10,PAY N 8 2,BORN D,OK L,NOTES M"})
                      .status,
                  0);
        nvtest::WriteFile(dir.File("in.csv"), kCyrillicCsv);
        Result r = Tool({"import", table, "--csv", dir.File("in.csv")});
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(ToolCodePages, TextTravelsInThePageTheHeaderNamesOrTheOptionGives) {
    std::string bytes = nvtest::ReadFile(table);
    EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x65);
    EXPECT_NE(bytes.find(nvtest::Encode("CP866", "Иванов")), std::string::npos);
    EXPECT_NE(Tool({"info", table}).out.find("code page:      866 (language driver mark 0x65)\n"), std::string::npos);

    // Out again in UTF-8, with no byte-order mark unless asked for.
    Result r = Tool({"export", table, "--csv", dir.File("out.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = kCyrillicCsv;
    std::string crlf;
    for (char c : expected) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(nvtest::ReadFile(dir.File("out.csv")), crlf);
    ASSERT_EQ(Tool({"export", table, "--csv", dir.File("bom.csv"), "--bom"}).status, 0);
    EXPECT_EQ(nvtest::ReadFile(dir.File("bom.csv")), "\xEF\xBB\xBF" + crlf);

    r = Tool({"list", table, "--filter", "UPPER(CITY) = 'ТВЕРЬ'"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("петров"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 record"), std::string::npos) << r.out;
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("cyr.cdx"), "--tag", "UNAME", "--key", "UPPER(NAME)"}).status, 0);
    r = Tool({"seek", table, "--index", dir.File("cyr.cdx"), "--order", "UNAME", "ПЕТ"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");
    // A character 866 lacks is refused, not changed.
    nvtest::WriteFile(dir.File("bad.csv"), "NAME\ncafé\n");
    r = Tool({"import", table, "--csv", dir.File("bad.csv")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the table's code page has no character like 'é'"), std::string::npos) << r.err;

    // Without the mark the default 437 reads other letters; --codepage 866 reads them right.
    bytes[29] = 0;
    nvtest::WriteFile(table, bytes);
    r = Tool({"list", table, "--fields", "NAME"});
    EXPECT_EQ(r.out.find("Иванов"), std::string::npos) << r.out;
    r = Tool({"list", table, "--fields", "NAME", "--codepage", "866"});
    EXPECT_NE(r.out.find("Иванов"), std::string::npos) << r.out;
    r = Tool({"list", table, "--codepage", "1255"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--codepage 1255: not a code page read here"), std::string::npos) << r.err;
    EXPECT_NE(Tool({"info", table}).out.find("code page:      437 (no mark, default)\n"), std::string::npos);
    r = Tool({"info", table, "--codepage", "866"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("code page:      866 (--codepage)\n"), std::string::npos) << r.out;
}

TEST_F(ToolCodePages, SqliteExportReadsBackValueForValue) {
    ASSERT_EQ(Tool({"export", table, "--csv", dir.File("cyr.csv")}).status, 0);
    Result r = Tool({"export", table, "--sqlite", dir.File("out.db")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "exported 2 records to table cyr of " + dir.File("out.db") + "\n");
    r = CheckDatabase(dir, dir.File("out.db"), "cyr", dir.File("cyr.csv"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Query(dir, dir.File("out.db"),
                    "select recno, typeof(NAME), typeof(PAY), typeof(BORN), OK, typeof(NOTES) from cyr"),
              "1|text|real|text|1|text\n2|text|null|null|0|null\n");

    // The peers' tables, every flavour and field type they hold, into one database.
    for (const char* peer : {"people", "orders", "py_clp", "py_db3", "py_fp", "py_vfp"}) {
        SCOPED_TRACE(peer);
        for (const char* ext : {".dbf", ".fpt", ".dbt", ".cdx"}) {
            std::error_code ec;
            std::filesystem::copy_file(tooltest::kPeer + peer + ext, dir.File(std::string(peer) + ext), ec);
        }
        const std::string source = dir.File(std::string(peer) + ".dbf");
        ASSERT_EQ(Tool({"export", source, "--csv", dir.File("peer.csv")}).status, 0);
        r = Tool({"export", source, "--sqlite", dir.File("peers.db")});
        ASSERT_EQ(r.status, 0) << r.err;
        r = CheckDatabase(dir, dir.File("peers.db"), peer, dir.File("peer.csv"));
        EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(Query(dir, dir.File("peers.db"), "select count(*) from sqlite_master where type = 'table'"), "6\n");
    EXPECT_EQ(Query(dir, dir.File("peers.db"),
                    "select typeof(QTY), typeof(WEIGHT), typeof(STAMP), typeof(AMOUNT) from py_vfp "
                    "where QTY is not null and WEIGHT is not null and STAMP is not null and AMOUNT is not null limit 1"),
              "integer|real|text|real\n");

    // Deleted records on request, marked; the same name replaces the table.
    r = Tool({"export", dir.File("people.dbf"), "--sqlite", dir.File("peers.db"), "--with-deleted", "--table", "people"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string counts = Query(dir, dir.File("peers.db"), "select count(*), sum(deleted) from people");
    EXPECT_NE(counts, "0|0\n");
    EXPECT_NE(counts.substr(counts.find('|')), "|0\n") << counts;

    // The table's own files are refused, and so is a CSV-only option.
    r = Tool({"export", table, "--sqlite", table});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(nvtest::ReadFile(table).substr(0, 1), std::string(1, '\xF5'));
    EXPECT_EQ(Tool({"export", table, "--sqlite", dir.File("x.db"), "--bom"}).status, 2);
    EXPECT_EQ(Tool({"export", table, "--csv", dir.File("x.csv"), "--with-deleted"}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.db")));
}

}  // namespace
