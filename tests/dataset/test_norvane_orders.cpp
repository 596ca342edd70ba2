// The record set in tag order: index files and IndexName, the tag enumeration and index
// definitions, walking with deleted records shown and hidden, ranges, master/detail between
// two tables, Locate through a tag, KeyValue, Reindex, IndexOn and DeleteTag.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "db_conv.h"
#include "nv_support.h"
#include "nv_test_errors.h"

using namespace nvtest;

namespace {

class OrdersTest : public ::testing::Test {
protected:
    void SetUp() override {
        CopyFixtures(dir, {"people.dbf", "people.fpt", "orders.dbf", "orders.dbt"});
        rows = ReadDump("people");
        ds = MakeDataSet(dir, "people");
        ds->Open();
        ds->IndexOn(dir.File("pname.ndx"), "", "NAME", "", true, false);
        TStringList files;
        files.Add("pname");  // ".ndx" is added
        ds->SetIndexFiles(files);
        ds->SetIndexName("PNAME");
    }
    std::vector<int> Walk() {
        std::vector<int> seen;
        for (ds->First(); !ds->Eof(); ds->Next()) seen.push_back(ds->RecNo());
        return seen;
    }
    // Record numbers of the dump rows that pass, in name order (record number breaks ties).
    // With `prefix`, only the rows whose name starts with it.
    std::vector<int> ByName(bool withDeleted, const char* prefix = nullptr) const {
        std::vector<const DumpRow*> picked;
        for (const auto& r : rows)
            if ((withDeleted || !r.deleted) && (!prefix || r.fields[0].rfind(prefix, 0) == 0)) picked.push_back(&r);
        std::stable_sort(picked.begin(), picked.end(),
                         [](const DumpRow* a, const DumpRow* b) { return a->fields[0] < b->fields[0]; });
        std::vector<int> out;
        for (const DumpRow* r : picked) out.push_back(r->recNo);
        return out;
    }

    ScratchDir dir;
    std::vector<DumpRow> rows;
    std::unique_ptr<TNorvaneDataSet> ds;
};

}  // namespace

TEST_F(OrdersTest, WalksTagOrderWithDeletedHiddenOrShown) {
    EXPECT_FALSE(ds->IsSequenced());
    EXPECT_EQ(Walk(), ByName(false));
    ds->SetUseDeleted(true);
    EXPECT_EQ(Walk(), ByName(true));
    ds->Last();
    EXPECT_EQ(ds->RecNo(), ByName(true).back());
    ds->Prior();
    EXPECT_EQ(ds->RecNo(), ByName(true)[ByName(true).size() - 2]);

    // Back to natural order: the record set stays on its record.
    ds->SetRecNo(5);
    ds->SetIndexName("");
    EXPECT_EQ(ds->RecNo(), 5);
    ds->Next();
    EXPECT_EQ(ds->RecNo(), 6);
    EXPECT_TRUE(ds->IsSequenced());
    EXPECT_EQ(ErrorOf([&] { ds->SetIndexName("NOSUCH"); }), "Cannot find index tag NOSUCH");
    EXPECT_EQ(ds->IndexName(), "");
}

TEST_F(OrdersTest, TagEnumerationIndexDefsAndIndexFields) {
    EXPECT_EQ(ds->TagCount(), 1);
    EXPECT_TRUE(SameText(ds->TagName(1), "PNAME"));
    EXPECT_EQ(ds->TagExpression(1), "NAME");
    EXPECT_EQ(ds->TagName(2), "");
    EXPECT_EQ(ds->CurrentTagPosition(), 1);
    ASSERT_EQ(ds->IndexDefs().Count(), 1);
    EXPECT_EQ(ds->IndexDefs()[0].Fields(), "NAME");

    ds->IndexOn(dir.File("pmix.ndx"), "", "STR(AGE,3)+NAME", "", true, true);
    TStringList files;
    files.Add("pname.ndx");
    files.Add("pmix");
    ds->SetIndexFiles(files);
    EXPECT_EQ(ds->TagCount(), 2);
    EXPECT_TRUE(SameText(ds->TagName(2), "PMIX"));
    ASSERT_EQ(ds->IndexDefs().Count(), 2);
    EXPECT_TRUE(ds->IndexDefs()[1].Options().Contains(ixExpression));
    EXPECT_EQ(ds->IndexDefs()[1].Expression(), "STR(AGE,3)+NAME");
    ds->SetIndexName("PMIX");
    EXPECT_EQ(ds->CurrentTagPosition(), 2);
    EXPECT_TRUE(ds->GetIsIndexField(&ds->FieldByName("AGE")));
    EXPECT_TRUE(ds->GetIsIndexField(&ds->FieldByName("NAME")));
    EXPECT_FALSE(ds->GetIsIndexField(&ds->FieldByName("BORN")));
    ds->First();  // descending: the oldest first
    int first = static_cast<int>(ds->FieldByName("AGE").AsInteger());
    ds->Next();
    EXPECT_GE(first, ds->FieldByName("AGE").AsInteger());
    char age[8];
    std::snprintf(age, sizeof age, "%3d", first);
    EXPECT_EQ(ds->KeyValue(2).substr(0, 3), age);
    EXPECT_EQ(ds->KeyValue(1).size(), 20u);
    EXPECT_EQ(ds->KeyValue(3), "");
}

TEST_F(OrdersTest, IndexFileListMessages) {
    TStringList missing;
    missing.Add("absent");
    EXPECT_EQ(ErrorOf([&] { ds->SetIndexFiles(missing); }), "Cannot find file " + dir.File("absent.ndx"));
    TStringList files;
    files.Add("pname");
    ds->SetIndexFiles(files);
    // Editing the list in place reopens it; the same file twice is refused.
    EXPECT_EQ(ErrorOf([&] { ds->IndexFiles().Add(dir.File("pname.ndx")); }),
              "Index file " + dir.File("pname.ndx") + " already open");
    ds->IndexFiles().Clear();
    EXPECT_EQ(ds->IndexName(), "");
    EXPECT_TRUE(ds->IsSequenced());
}

TEST_F(OrdersTest, RangesOnTheCurrentTag) {
    ds->SetRange("Thompson", "Thompson");  // the high bound compared in full
    std::vector<int> exact;
    for (int n : ByName(false))
        if (rows[static_cast<size_t>(n - 1)].fields[0] == "Thompson") exact.push_back(n);
    EXPECT_EQ(Walk(), exact);
    ds->SetRange("", "");
    EXPECT_EQ(Walk(), ByName(false));
    ds->SetRange("T", "T", 1, 1, 1);  // the high bound as a prefix
    std::vector<int> t;
    for (int n : ByName(false))
        if (rows[static_cast<size_t>(n - 1)].fields[0][0] == 'T') t.push_back(n);
    EXPECT_EQ(Walk(), t);
}

TEST_F(OrdersTest, MasterDetailFollowsTheMastersRecord) {
    auto master = MakeDataSet(dir, "orders");
    master->Open();
    TDataSource source;
    source.SetDataSet(master.get());
    ds->SetMasterSource(&source);
    ds->SetMasterFields("NAME");
    auto orderRows = ReadDump("orders");
    // The master's key is matched as a prefix of the detail's keys: "Lee" takes "Lee J".
    int checked = 0;
    for (master->First(); !master->Eof() && checked < 25; master->Next(), ++checked) {
        std::string name = master->FieldByName("NAME").AsString();
        SCOPED_TRACE(name);
        if (!name.empty()) {
            EXPECT_EQ(Walk(), ByName(false, name.c_str()));
        }
    }
    // A master that inserts leaves the detail's range alone.
    master->SetRecNo(2);  // "Ng"
    std::vector<int> before = Walk();
    master->Append();
    EXPECT_EQ(Walk(), before);
    master->Cancel();
    // Without the link the whole table is back.
    ds->SetMasterSource(nullptr);
    EXPECT_EQ(Walk(), ByName(false));

    ds->SetMasterSource(&source);
    EXPECT_EQ(ErrorOf([&] { ds->SetMasterFields("NAME;AGE"); }),
              "Master/Detail relation failed, field missmatch for people.DBF");
}

TEST_F(OrdersTest, LocateReindexAndDeleteTag) {
    ds->Close();
    ds->SetExclusive(true);  // removing the tag of a single-tag file empties the file
    ds->Open();
    EXPECT_TRUE(SameText(ds->IndexName(), "PNAME"));
    EXPECT_TRUE(ds->Locate("NAME", TVariant("Thomas"), {}));
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), "Thomas");
    EXPECT_EQ(ds->RecNo(), 5);
    EXPECT_FALSE(ds->Locate("NAME", TVariant("Zzz"), {}));
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), "Thomas");

    ds->SetRecNo(3);
    ds->Edit();
    ds->FieldByName("NAME").SetAsString("Aaron");
    ds->Post();
    rows[2].fields[0] = "Aaron";
    EXPECT_EQ(Walk(), ByName(false));  // the write kept the tag current
    ds->Reindex();
    EXPECT_EQ(Walk(), ByName(false));

    EXPECT_EQ(ds->DeleteTag(dir.File("pname.ndx"), "NOSUCH"), 1);
    int result = ds->DeleteTag(dir.File("pname.ndx"), "PNAME");
    EXPECT_TRUE(result == 0 || result == -1);
    // Deleted or refused by its file, the tag no longer gives the order.
    EXPECT_EQ(ds->TagCount(), result == 0 ? 0 : 1);
    EXPECT_TRUE(ds->IsSequenced());
    EXPECT_EQ(ds->IndexName(), "");
    ds->First();
    EXPECT_EQ(ds->RecNo(), 1);
}

TEST_F(OrdersTest, TagDefinitionsOfOneFileAndDeletingAFile) {
    ds->IndexOn(dir.File("people.cdx"), "older", "AGE", "AGE > 30", false, true);
    ds->IndexOn(dir.File("people.cdx"), "byname", "UPPER( NAME )", "", true, false);
    TStringList files;
    files.Add("pname");
    files.Add("people.cdx");
    ds->SetIndexFiles(files);
    // The file is found by its name part, in any case; its tags come in its own order.
    std::vector<TNorvaneDataSet::TagDefinition> tags = ds->FileTags("PEOPLE.CDX");
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].name, "BYNAME");
    EXPECT_EQ(tags[0].expression, "UPPER( NAME )");  // as written, not as compiled
    EXPECT_EQ(tags[0].forExpression, "");
    EXPECT_FALSE(tags[0].unique);
    EXPECT_FALSE(tags[0].descending);
    EXPECT_EQ(tags[1].name, "OLDER");
    EXPECT_EQ(tags[1].forExpression, "AGE > 30");
    EXPECT_TRUE(tags[1].unique);
    EXPECT_TRUE(tags[1].descending);
    EXPECT_EQ(ds->FileTags(dir.File("pname.ndx")).size(), 1u);
    EXPECT_TRUE(ds->FileTags("nosuch.cdx").empty());

    ds->Close();
    ds->SetExclusive(true);
    ds->Open();
    ds->SetIndexName("OLDER");
    ds->DeleteIndexFile("people.cdx");
    EXPECT_FALSE(std::filesystem::exists(dir.File("people.cdx")));
    // The list forgets the file, so that opening the list again finds all it names.
    ASSERT_EQ(ds->IndexFiles().Count(), 1);
    EXPECT_EQ(ds->IndexFiles()[0], "pname");
    EXPECT_EQ(ds->IndexName(), "");
    EXPECT_TRUE(ds->IsSequenced());
    ds->SetIndexFiles(ds->IndexFiles());
    EXPECT_EQ(ds->TagCount(), 1);
}

TEST_F(OrdersTest, ABuildReportsProgressAndKeepsOthersOut) {
    std::string seen;
    int reports = 0;
    ds->OnStatus = [&](TNorvaneDataSet& d, int32_t, int32_t, int32_t) {
        ++reports;
        if (seen.empty()) seen = ErrorOf([&] { d.CheckActive(); });
    };
    ds->IndexOn(dir.File("page.ndx"), "", "AGE", "", true, false);
    EXPECT_GT(reports, 0);
    EXPECT_EQ(seen, "Table is busy building an index");
    ds->CheckActive();  // free again
    EXPECT_EQ(ds->State(), dsBrowse);
    // The record set's own files came back; the new one joins through the list.
    EXPECT_TRUE(SameText(ds->IndexName(), "PNAME"));
    ds->IndexFiles().Add("page");
    ds->SetIndexName("PAGE");
    std::vector<int> ages;
    for (ds->First(); !ds->Eof(); ds->Next()) ages.push_back(static_cast<int>(ds->FieldByName("AGE").AsInteger()));
    EXPECT_EQ(ages.size(), ByName(false).size());
    EXPECT_TRUE(std::is_sorted(ages.begin(), ages.end()));
    // A failed build also frees the record set again.
    EXPECT_NE(ErrorOf([&] { ds->IndexOn(dir.File("bad.ndx"), "", "AGE +", "", true, false); }), "");
    EXPECT_EQ(ds->State(), dsBrowse);
    ds->CheckActive();
}

// Every tag of the peers' own index files, walked through the record set with deleted
// records shown and hidden, against the order the peer wrote down.
TEST(NorvaneDataSetPeerOrders, EveryPeerTagWalksInThePeersOrder) {
    struct Case {
        const char* table;
        std::vector<const char*> files;
        std::vector<std::string> indexFiles;
    };
    const std::vector<Case> cases = {
        {"people", {"people.dbf", "people.fpt", "people.cdx"}, {"people.cdx"}},
        {"orders",
         {"orders.dbf", "orders.dbt", "orders_act.ntx", "orders_agedesc.ntx", "orders_amount.ntx",
          "orders_born.ntx", "orders_name.ntx", "orders_uniq.ntx"},
         {"orders_act.ntx", "orders_agedesc.ntx", "orders_amount.ntx", "orders_born.ntx",
          "orders_name.ntx", "orders_uniq.ntx"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        ScratchDir dir;
        for (const char* f : c.files)
            std::filesystem::copy_file(FixturePath(f), dir.File(f));
        std::vector<DumpRow> rows = ReadDump(c.table);
        auto ds = MakeDataSet(dir, c.table);
        TStringList files;
        files.Assign(c.indexFiles);
        ds->SetIndexFiles(files);
        ds->SetUseDeleted(true);
        ds->Open();
        std::vector<DumpOrder> orders = ReadDumpOrders(c.table);
        ASSERT_EQ(ds->TagCount(), static_cast<int>(orders.size()));
        for (const DumpOrder& o : orders) {
            SCOPED_TRACE(o.tag);
            ds->SetUseDeleted(true);
            ds->SetIndexName(o.tag);
            std::vector<int> seen;
            for (ds->First(); !ds->Eof(); ds->Next()) seen.push_back(ds->RecNo());
            EXPECT_EQ(seen, o.records);
            ds->SetUseDeleted(false);
            std::vector<int> live;
            for (int n : o.records)
                if (!rows[static_cast<size_t>(n - 1)].deleted) live.push_back(n);
            seen.clear();
            for (ds->Last(); !ds->Bof(); ds->Prior()) seen.insert(seen.begin(), ds->RecNo());
            EXPECT_EQ(seen, live);
        }
    }
}
