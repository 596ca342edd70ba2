// The record set reads a table's text in the page its header names or the user chooses:
// Cyrillic 866 tables, unmarked ones, ANSI ones left alone, and search, filter, index keys
// and edits in the table's page.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "nv6_bld.h"
#include "nv6_bytes.h"
#include "nv6_cpag.h"
#include "nv_alias.h"
#include "nv_iconv.h"
#include "nv_support.h"

namespace {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string Cp866(const std::string& utf8) { return nvtest::Encode("CP866", utf8); }
std::string Cp1251(const std::string& utf8) { return nvtest::Encode("CP1251", utf8); }

// A table NAME C 12, CITY C 10 with the language driver byte `mark` and the records given
// as stored bytes (blank-padded here).
void MakeTable(const std::string& path, uint8_t mark, const std::vector<std::pair<std::string, std::string>>& rows) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 12, 0);
        build.AddField("CITY", "C", 10, 0);
        build.SetLanguageDriver(mark);
        build.Build();
    }
    std::string bytes = ReadBytes(path);
    bytes.pop_back();  // the end-of-file mark
    for (const auto& [name, city] : rows) {
        std::string n = name, c = city;
        n.resize(12, ' ');
        c.resize(10, ' ');
        bytes += " " + n + c;
    }
    bytes += '\x1A';
    nvbytes::StoreLE32(bytes.data() + 4, static_cast<uint32_t>(rows.size()));
    WriteBytes(path, bytes);
}

class CodePageDataSet : public ::testing::Test {
protected:
    void TearDown() override { nvlocale::SetDefaultPages(437, 1252); }
    ScratchDir dir_;
};

}  // namespace

TEST_F(CodePageDataSet, MarkedCyrillicTableReadsSearchesFiltersAndWritesIn866) {
    MakeTable(dir_.File("CYR.DBF"), 0x65,
              {{Cp866("Иванов"), Cp866("Москва")}, {Cp866("петров"), Cp866("Тверь")}, {Cp866("Сидоров"), "Omsk"}});
    auto ds = nvtest::MakeDataSet(dir_, "CYR.DBF");
    ds->Open();
    EXPECT_EQ(ds->CodePages().Label(), "866/1251");
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));

    // A case-insensitive search with the user's text in the ANSI page.
    EXPECT_TRUE(ds->Locate("NAME", TVariant(Cp1251("ПЕТРОВ")), {loCaseInsensitive}));
    EXPECT_EQ(ds->RecNo(), 2);

    // Find through a tag on UPPER(NAME): the keys were folded in 866.
    ds->IndexOn(dir_.File("CYR.CDX"), "UNAME", "UPPER(NAME)", "", true, false);
    ds->IndexFiles().Add("CYR.CDX");
    ds->SetIndexName("UNAME");
    ds->First();
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));
    ds->Next();
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("петров"));
    ds->SetRange(Cp1251("ПЕТРОВ"), Cp1251("ПЕТРОВ"));
    EXPECT_EQ(ds->RecordCount() > 0, true);
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("петров"));
    ds->SetRange("", "");
    ds->SetIndexName("");

    // A filter whose text holds Cyrillic letters, written in the ANSI page.
    ds->SetFilter("UPPER(CITY) = '" + Cp1251("ТВЕРЬ") + "'");
    ds->SetFiltered(true);
    ds->First();
    EXPECT_EQ(ds->RecNo(), 2);
    ds->Next();
    EXPECT_TRUE(ds->Eof());
    ds->SetFiltered(false);

    // An edit stores 866 bytes.
    ds->First();
    ds->Edit();
    ds->FieldByName("CITY").SetAsString(Cp1251("Казань"));
    ds->Post();
    ds->Close();
    const std::string bytes = ReadBytes(dir_.File("CYR.DBF"));
    EXPECT_NE(bytes.find(Cp866("Казань")), std::string::npos);
    EXPECT_EQ(bytes.find(Cp1251("Казань")), std::string::npos);
}

TEST_F(CodePageDataSet, UnmarkedTableTakesTheDefaultOrTheChosenPageAndAnsiTablesStayAsTheyAre) {
    MakeTable(dir_.File("PLAIN.DBF"), 0, {{Cp866("Иванов"), ""}});
    auto ds = nvtest::MakeDataSet(dir_, "PLAIN.DBF");
    ds->Open();
    EXPECT_EQ(ds->CodePages().Label(), "437/1252");
    EXPECT_NE(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));
    ds->SetCodePage(866);
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));
    // The choice stays while the same table is reopened, and goes with another table.
    ds->Close();
    ds->Open();
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));
    ds->Close();
    EXPECT_THROW(ds->SetCodePage(1255), std::exception);
    ds->SetTableName("OTHER.DBF");
    EXPECT_EQ(ds->CodePage(), 0);

    // The default pair from norvane.cfg.
    WriteBytes(dir_.File("norvane.cfg"), "[Alias]\nX=/tmp\n[CodePage]\nOEM=866\nANSI=1251\n");
    NvReloadCodePages(dir_.File("norvane.cfg"));
    ds->SetTableName("PLAIN.DBF");
    ds->Open();
    EXPECT_EQ(ds->CodePages().Label(), "866/1251");
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), Cp1251("Иванов"));
    ds->Close();

    // A table marked as written in 1252 is not translated.
    MakeTable(dir_.File("WIN.DBF"), 0x03, {{"caf\xE9", "\xC0 la"}});
    ds->SetTableName("WIN.DBF");
    ds->Open();
    EXPECT_EQ(ds->CodePages().Label(), "1252");
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), "caf\xE9");
    EXPECT_EQ(ds->FieldByName("CITY").AsString(), "\xC0 la");
    ds->Close();

    // A mark we do not read: the default pair, and the record set says so.
    MakeTable(dir_.File("HEB.DBF"), 0x7D, {{"x", ""}});
    ds->SetTableName("HEB.DBF");
    ds->Open();
    EXPECT_TRUE(ds->CodePages().unsupportedMark);
    EXPECT_EQ(ds->CodePages().Label(), "866/1251");
    ds->Close();

    // A table without records takes a page as well.
    MakeTable(dir_.File("EMPTY.DBF"), 0, {});
    ds->SetTableName("EMPTY.DBF");
    ds->Open();
    EXPECT_NO_THROW(ds->SetCodePage(852));
    EXPECT_EQ(ds->CodePages().Label(), "852/1250");
}

TEST_F(CodePageDataSet, EveryByteOfAnUneditedFieldSurvivesAnEditOfTheRecord) {
    std::string high;
    for (int b = 0x80; b < 0x100; ++b) high.push_back(static_cast<char>(b));
    {
        NVO_DBFBuild build(dir_.File("ALL.DBF"));
        build.AddField("HIGH", "C", 128, 0);
        build.AddField("NOTE", "C", 10, 0);
        build.Build();
    }
    std::string bytes = ReadBytes(dir_.File("ALL.DBF"));
    bytes.pop_back();
    bytes += " " + high + "note      \x1A";
    nvbytes::StoreLE32(bytes.data() + 4, 1);
    WriteBytes(dir_.File("ALL.DBF"), bytes);

    auto ds = nvtest::MakeDataSet(dir_, "ALL.DBF");
    ds->Open();
    // Read and written back through the field: the translation loses nothing.
    ds->Edit();
    const std::string shown = ds->FieldByName("HIGH").AsString();
    ds->FieldByName("HIGH").SetAsString(shown);
    ds->FieldByName("NOTE").SetAsString("changed");
    ds->Post();
    ds->Close();
    EXPECT_NE(ReadBytes(dir_.File("ALL.DBF")).find(high + "changed"), std::string::npos);
}
