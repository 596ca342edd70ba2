// The restructure copy on its own: how values travel between fields of other types and
// lengths, and the file exchange between memo kinds and over the backups of an earlier run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_os.h"
#include "restructure.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

struct Field {
    const char* name;
    const char* type;
    int length, decimals;
};

void Build(NVO_DBFBuild& build, std::initializer_list<Field> fields) {
    for (const Field& f : fields) build.AddField(f.name, f.type, f.length, f.decimals);
    build.Build();
}

void PutMemo(NVO_dBHandler& t, const char* field, const std::string& text) {
    const int n = t.FieldNumber(field);
    t.SetNumber(n, t.WriteMemo(n, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size())));
}

struct RestructureCopy : ::testing::Test {
    nvtest::ScratchDir dir;
    std::vector<std::string> log;
    TRestructureJob Job(const std::string& table, const std::string& built, std::vector<int> map) {
        TRestructureJob job;
        job.oldPath = dir.File(table);
        job.newPath = dir.File(built);
        job.fieldMap = std::move(map);
        job.log = [this](const std::string& line) { log.push_back(line); };
        return job;
    }
};

TEST_F(RestructureCopy, ValuesFollowTheirFieldsAcrossTypesAndLengths) {
    {
        NVO_DBFBuild old(dir.File("old.dbf"));  // dBase III, .dbt memo
        Build(old, {{"TEXT", "C", 12, 0}, {"PRICE", "N", 6, 2}, {"NOTES", "M", 10, 0}, {"WHEN", "D", 8, 0}});
    }
    {
        NVO_dBHandler t(dir.File("old.dbf"), false, true, "");
        t.BlankRecord();
        t.PutRaw(1, "  indented");
        t.SetNumber(2, 12.5);
        PutMemo(t, "NOTES", "a memo longer than the field it goes to");
        t.PutRaw(4, "19990102");
        t.Append();
        t.BlankRecord();
        t.PutRaw(1, "second");
        t.Append();
        t.DeleteRecord();
    }
    {
        NVO_DBFoxBuild built(dir.File("new.dbf"));  // FoxPro, .fpt memo
        Build(built, {{"TEXT", "C", 6, 0},      // from TEXT, shorter
                      {"PRICE", "N", 8, 3},     // from PRICE, by value
                      {"SHORT", "C", 8, 0},     // from NOTES: the memo's text, cut
                      {"MEMO", "M", 10, 0},     // from TEXT: the text becomes a memo
                      {"SAID", "C", 10, 0},     // from PRICE: its text
                      {"WHEN", "D", 8, 0},      // from WHEN
                      {"ADDED", "C", 3, 0},     // no source
                      {"BEYOND", "C", 3, 0}});  // a field the old table does not have
    }
    const TRestructureResult result = RestructureTable(Job("old.dbf", "new.dbf", {1, 2, 3, 1, 2, 4, 0, 9}));
    EXPECT_TRUE(result.problems.empty());

    NVO_dBHandler t(dir.File("old.dbf"), false, false, "");
    ASSERT_EQ(t.RecordCount(), 2);
    t.Go(1);
    EXPECT_EQ(t.GetRaw(1), "  inde");
    EXPECT_EQ(t.GetRaw(2), "  12.500");
    EXPECT_EQ(t.GetRaw(3), "a memo l");
    EXPECT_EQ(t.GetText(4), "  indented");
    EXPECT_EQ(t.GetText(5), "12.50");
    EXPECT_EQ(t.GetRaw(6), "19990102");
    EXPECT_EQ(t.GetRaw(7), "   ");
    EXPECT_EQ(t.GetRaw(8), "   ");
    EXPECT_EQ(t.RecordPointer()[0], ' ');
    t.Go(2);
    EXPECT_EQ(t.GetText(1), "second");
    EXPECT_EQ(t.GetText(4), "second");
    EXPECT_EQ(t.RecordPointer()[0], '*');

    // The old dBase III memo went to its backup; no .dbt is left beside the FoxPro table.
    EXPECT_TRUE(fs::exists(dir.File("old.hbf")));
    EXPECT_TRUE(fs::exists(dir.File("old.hbt")));
    EXPECT_TRUE(fs::exists(dir.File("old.fpt")));
    EXPECT_FALSE(fs::exists(dir.File("old.dbt")));
    EXPECT_FALSE(fs::exists(dir.File("new.dbf")));
    EXPECT_FALSE(fs::exists(dir.File("new.fpt")));
}

TEST_F(RestructureCopy, AnEncipheredTableStaysEnciphered) {
    {
        NVO_DBFBuild old(dir.File("old.dbf"));
        Build(old, {{"NAME", "C", 8, 0}, {"NOTES", "M", 10, 0}});
    }
    {
        NVO_dBHandler t(dir.File("old.dbf"), false, true, "");
        t.BlankRecord();
        t.PutRaw(1, "secret");
        PutMemo(t, "NOTES", "hidden note");
        t.Append();
        t.SetPassword("pw");
    }
    {
        NVO_DBFBuild built(dir.File("new.dbf"));
        Build(built, {{"NOTES", "M", 10, 0}, {"NAME", "C", 10, 0}});
    }
    TRestructureJob job = Job("old.dbf", "new.dbf", {2, 1});
    job.password = "pw";
    RestructureTable(job);
    EXPECT_EQ(nvtest::ReadFile(dir.File("old.dbf")).find("secret"), std::string::npos);
    EXPECT_THROW(NVO_dBHandler(dir.File("old.dbf"), false, false, ""), ENorvaneEncryption);
    NVO_dBHandler t(dir.File("old.dbf"), false, false, "pw");
    t.Go(1);
    EXPECT_EQ(t.GetText(1), "hidden note");
    EXPECT_EQ(t.GetText(2), "secret");
}

TEST_F(RestructureCopy, BackupsOfAnEarlierRunAreReplacedOnlyWhenTheExchangeSucceeds) {
    auto make = [&](const std::string& name, const char* field) {
        NVO_DBFoxBuild build(dir.File(name));
        Build(build, {{field, "C", 4, 0}, {"NOTES", "M", 10, 0}});
    };
    make("t.dbf", "OLD");
    nvtest::WriteFile(dir.File("t.hbf"), "earlier table");
    nvtest::WriteFile(dir.File("t.hpt"), "earlier memo");
    const std::string table = nvtest::ReadFile(dir.File("t.dbf"));

    // Moving the old memo to its backup fails: everything is back, the earlier backups too.
    make("n1.dbf", "NEW");
    {
        NvFaultPlatform faults;
        faults.Fail(NvOsOp::Rename, 4);
        NvPlatformScope use(faults);
        EXPECT_THROW(RestructureTable(Job("t.dbf", "n1.dbf", {1, 2})), ENorvaneError);
    }
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.dbf")), table);
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hbf")), "earlier table");
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hpt")), "earlier memo");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"t.dbf", "t.fpt", "t.hbf", "t.hpt"}));

    make("n2.dbf", "NEW");
    log.clear();
    RestructureTable(Job("t.dbf", "n2.dbf", {1, 2}));
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hbf")), table);
    NVO_dBHandler t(dir.File("t.dbf"), false, false, "");
    EXPECT_EQ(t.FieldName(1), "NEW");
    // The steps in their order: old table and memo to the backups, new memo, new table last.
    ASSERT_EQ(log.size(), 8u);
    EXPECT_NE(log[1].find("t.dbf to " + dir.File("t.hbf")), std::string::npos) << log[1];
    EXPECT_NE(log[3].find("t.fpt to " + dir.File("t.hpt")), std::string::npos) << log[3];
    EXPECT_NE(log[4].find("n2.fpt to " + dir.File("t.fpt")), std::string::npos) << log[4];
    EXPECT_NE(log[5].find("n2.dbf to " + dir.File("t.dbf")), std::string::npos) << log[5];
    EXPECT_EQ(log[6].rfind("Delete ", 0), 0u) << log[6];
}

}  // namespace
