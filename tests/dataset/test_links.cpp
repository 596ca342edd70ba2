// Data sources and links: what a grid and a master/detail link are told, DisableControls,
// circular links, OnFilterRecord, and searching with Locate and Lookup.
#include <gtest/gtest.h>

#include "db_links.h"
#include "mem_dataset.h"

namespace {

struct LinkFixture : ::testing::Test {
    TMemDataSet ds{PeopleColumns()};
    TDataSource src;
    TGridLink grid;
    int dataChanges = 0, stateChanges = 0;
    void SetUp() override {
        FillPeople(ds, 10);
        src.SetDataSet(&ds);
        src.OnDataChange = [this](TDataSource&, TField*) { ++dataChanges; };
        src.OnStateChange = [this](TDataSource&) { ++stateChanges; };
        grid.SetBufferCount(3);
        grid.SetDataSource(&src);
    }
};

TEST_F(LinkFixture, GridIsToldOfEveryChange) {
    EXPECT_FALSE(grid.Active());
    ds.Open();
    EXPECT_TRUE(grid.Active());
    EXPECT_EQ(grid.activeChanged, 1);
    EXPECT_EQ(stateChanges, 1);
    grid.Reset();

    ds.Next();  // inside the window: the highlight moves, nothing scrolls
    ds.Next();
    ds.Next();  // past the bottom row: the window scrolls one row
    EXPECT_EQ(grid.distances, (std::vector<int>{0, 0, 1}));
    ds.MoveBy(-3);  // back past the top by one
    EXPECT_EQ(grid.distances.back(), -1);
    ds.Last();
    EXPECT_EQ(grid.dataSetChanged, 1);
    grid.Reset();

    ds.Edit();
    EXPECT_TRUE(grid.Editing());
    EXPECT_EQ(grid.editingChanged, 1);
    EXPECT_EQ(grid.changedFields, std::vector<TField*>{nullptr}) << "deRecordChange";
    TField& name = ds.FieldByName("NAME");
    name.SetAsString("X");
    EXPECT_EQ(grid.changedFields.back(), &name);
    // The grid writes its pending cell when asked; that write does not echo back to it.
    int before = grid.recordChanged;
    grid.onUpdateData = [&] { name.SetAsString("FROM GRID"); };
    ds.Post();
    EXPECT_EQ(grid.updateData, 1);
    EXPECT_EQ(grid.recordChanged, before);
    EXPECT_GE(grid.checkBrowse, 1);
    EXPECT_FALSE(grid.Editing());
    EXPECT_EQ(grid.editingChanged, 2);
    EXPECT_EQ(name.AsString(), "FROM GRID");
    grid.onUpdateData = nullptr;

    // A read-only link never edits; AutoEdit off keeps the source from starting an edit.
    TGridLink viewer;
    viewer.SetReadOnly(true);
    viewer.SetDataSource(&src);
    EXPECT_FALSE(viewer.Edit());
    EXPECT_EQ(ds.State(), dsBrowse);
    src.SetAutoEdit(false);
    EXPECT_FALSE(grid.Edit());
    src.SetAutoEdit(true);
    EXPECT_TRUE(grid.Edit());
    EXPECT_FALSE(viewer.Editing());
    ds.Cancel();

    grid.Reset();
    src.SetEnabled(false);
    EXPECT_FALSE(grid.Active());
    ds.Next();
    EXPECT_EQ(grid.scrolled + grid.dataSetChanged, 0);
    src.SetEnabled(true);
    EXPECT_TRUE(grid.Active());
    EXPECT_EQ(grid.activeChanged, 2);
    ds.Close();
    EXPECT_FALSE(grid.Active());
    EXPECT_EQ(grid.RecordCount(), 0);
}

TEST_F(LinkFixture, LinksAndSourcesOutliveEachOther) {
    ds.Open();
    {
        TGridLink big;
        big.SetBufferCount(7);
        big.SetDataSource(&src);
        EXPECT_EQ(ds.BufferCount(), 7);
    }
    EXPECT_EQ(ds.BufferCount(), 3);
    auto tmp = std::make_unique<TDataSource>();
    TGridLink orphan;
    tmp->SetDataSet(&ds);
    orphan.SetDataSource(tmp.get());
    EXPECT_TRUE(orphan.Active());
    tmp.reset();
    EXPECT_EQ(orphan.DataSource(), nullptr);
    EXPECT_FALSE(orphan.Active());
    auto other = std::make_unique<TMemDataSet>(PeopleColumns());
    TDataSource s2;
    TGridLink g2;
    s2.SetDataSet(other.get());
    g2.SetDataSource(&s2);
    other->Open();
    EXPECT_TRUE(g2.Active());
    other.reset();
    EXPECT_EQ(s2.DataSet(), nullptr);
    EXPECT_FALSE(g2.Active());
}

TEST_F(LinkFixture, DisableControlsNestsAndEndsWithOneChange) {
    ds.Open();
    grid.Reset();
    dataChanges = 0;
    ds.DisableControls();
    ds.DisableControls();
    ds.Next();
    ds.Next();
    ds.Next();
    ds.Next();
    ds.EnableControls();
    EXPECT_TRUE(ds.ControlsDisabled());
    EXPECT_EQ(grid.scrolled + grid.dataSetChanged + dataChanges, 0);
    ds.EnableControls();
    EXPECT_FALSE(ds.ControlsDisabled());
    EXPECT_EQ(grid.scrolled, 0);
    EXPECT_EQ(grid.dataSetChanged, 1);
    std::vector<std::string> shown = grid.Rows("NAME");
    EXPECT_EQ(shown[static_cast<size_t>(grid.ActiveRecord())], "N5");
    ds.EnableControls();  // one too many: ignored
    EXPECT_FALSE(ds.ControlsDisabled());

    // Closed and opened again while disabled: the links learn of the state change at the end.
    ds.DisableControls();
    ds.Edit();
    ds.Cancel();
    ds.Close();
    EXPECT_TRUE(grid.Active());
    ds.EnableControls();
    EXPECT_FALSE(grid.Active());
}

// A dataset with a master source, and the master link it owns.
class TDetail : public TMemDataSet {
public:
    TDetail() : TMemDataSet({{"CODE", ftString, 3}, {"ITEM", ftString, 8}}), master(this) {
        AddRow({"A", "a1"});
        master.OnMasterChange = [this] { changes.push_back(master.Fields()[0]->AsString()); };
        master.OnMasterDisable = [this] { ++disables; };
    }
    ~TDetail() override {
        Destroying();
        Close();
    }
    TDataSource* GetDataSource() override { return master.DataSource(); }
    void SetMasterSource(TDataSource* s) {
        if (s && IsLinkedTo(s)) DatabaseError(dbmsg::SCircularDataLink);
        master.SetDataSource(s);
    }
    TMasterDataLink master;
    std::vector<std::string> changes;
    int disables = 0;
};

TEST(MasterDetail, ChangeAndDisableNotificationsAndCircularLinks) {
    TMemDataSet master({{"CODE", ftString, 3}, {"NAME", ftString, 8}});
    master.AddRow({"A", "Alpha"});
    master.AddRow({"B", "Beta"});
    TDataSource masterSrc;
    masterSrc.SetDataSet(&master);
    TDetail detail;
    detail.Open();
    detail.master.SetFieldNames("CODE");
    detail.SetMasterSource(&masterSrc);
    EXPECT_TRUE(detail.changes.empty()) << "nothing while the master is closed";
    master.Open();
    EXPECT_EQ(detail.changes, std::vector<std::string>{"A"});
    master.Next();
    EXPECT_EQ(detail.changes.back(), "B");
    size_t n = detail.changes.size();
    master.Edit();
    master.FieldByName("NAME").SetAsString("Bravo");
    EXPECT_EQ(detail.changes.size(), n + 1) << "deRecordChange of the edit itself";
    master.FieldByName("NAME").SetAsString("Bravo2");
    EXPECT_EQ(detail.changes.size(), n + 1) << "a field outside the link changes nothing";
    master.FieldByName("CODE").SetAsString("C");
    EXPECT_EQ(detail.changes.back(), "C");
    master.Post();

    // The detail in edit is made to post or cancel before the master moves.
    detail.Edit();
    detail.FieldByName("ITEM").SetAsString("changed");
    master.Prior();
    EXPECT_EQ(detail.State(), dsBrowse);
    EXPECT_EQ(detail.FieldByName("ITEM").AsString(), "changed");

    int disables = detail.disables;
    master.Close();
    EXPECT_EQ(detail.disables, disables + 1);
    EXPECT_TRUE(detail.master.Fields().empty());

    EXPECT_EQ(detail.GetDataSource(), &masterSrc);
    TDataSource detailSrc;
    detailSrc.SetDataSet(&detail);
    EXPECT_TRUE(detail.IsLinkedTo(&detailSrc));
    EXPECT_TRUE(master.IsLinkedTo(&detailSrc)) << "through the detail's master source";
    TDataSource unused;
    EXPECT_FALSE(master.IsLinkedTo(&unused));
    try {
        masterSrc.SetDataSet(&detail);  // the detail would become its own master
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
    }
    EXPECT_EQ(masterSrc.DataSet(), &master);
    EXPECT_THROW(detail.SetMasterSource(&detailSrc), EDatabaseError);

    detail.master.SetFieldNames("NOPE");  // inactive master: nothing is looked up yet
    EXPECT_THROW(master.Open(), EDatabaseError);  // now it is, and the name is missing
    EXPECT_TRUE(detail.master.Fields().empty());
}

TEST_F(LinkFixture, OnFilterRecordDecidesWhatIsVisited) {
    std::vector<TDataSetState> states;
    ds.OnFilterRecord = [&](TDataSet& d, bool& accept) {
        states.push_back(d.State());
        accept = d.FieldByName("ID").AsInteger() % 3 == 0;
    };
    ds.SetFiltered(true);
    ds.Open();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3);
    EXPECT_EQ(grid.Rows("NAME"), (std::vector<std::string>{"N3", "N6", "N9"}));
    ds.Next();
    ds.Next();
    ds.Next();
    EXPECT_TRUE(ds.Eof());
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 9);
    EXPECT_EQ(ds.RecordCount(), 3);
    EXPECT_EQ(ds.RecNo(), 3);
    ASSERT_FALSE(states.empty());
    EXPECT_TRUE(std::all_of(states.begin(), states.end(), [](auto s) { return s == dsFilter; }));
    EXPECT_EQ(ds.State(), dsBrowse);
    ds.SetFiltered(false);
    ds.First();
    EXPECT_EQ(ds.RecordCount(), 10);
}

TEST_F(LinkFixture, LocateAndLookup) {
    ds.Open();
    int scrolls = 0;
    ds.AfterScroll = [&](TDataSet&) { ++scrolls; };
    EXPECT_TRUE(ds.Locate("NAME", TVariant("n7"), {loCaseInsensitive}));
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7);
    EXPECT_EQ(scrolls, 1);
    std::vector<std::string> shown = grid.Rows("NAME");
    EXPECT_EQ(shown[static_cast<size_t>(grid.ActiveRecord())], "N7");
    EXPECT_FALSE(ds.Locate("NAME", TVariant("n7"), {}));
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7) << "not found: stays";
    ds.Next();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 8) << "and moves on from there";
    EXPECT_TRUE(ds.Locate("NAME", TVariant("N1"), {loPartialKey}));
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 1);
    EXPECT_TRUE(ds.Locate("ID;ACTIVE", VarArrayOf({4, true}), {}));
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "N4");
    EXPECT_FALSE(ds.Locate("ID;ACTIVE", VarArrayOf({5, true}), {}));
    EXPECT_TRUE(ds.Locate("AMOUNT", TVariant(15.0), {}));
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 10);

    scrolls = 0;
    EXPECT_EQ(ds.Lookup("ID", TVariant(5), "NAME").AsString(), "N5");
    TVariant pair = ds.Lookup("NAME", TVariant("N2"), "ID;AMOUNT");
    ASSERT_TRUE(pair.IsArray());
    EXPECT_EQ(pair[1].AsFloat(), 3.0);
    EXPECT_TRUE(ds.Lookup("NAME", TVariant("n2"), "ID").IsNull()) << "case-sensitive";
    EXPECT_EQ(scrolls, 0);
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 10);
    ds.Prior();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 9);

    // Searching from edit mode posts first.
    ds.Edit();
    ds.FieldByName("NAME").SetAsString("NINE");
    EXPECT_TRUE(ds.Locate("NAME", TVariant("NINE"), {}));
    EXPECT_EQ(ds.State(), dsBrowse);
}

}  // namespace
