// Opening, closing and moving through a record set, checked the way a grid sees it: the rows
// in its window and the active row after every move, at several link buffer counts.
#include <gtest/gtest.h>

#include "db_links.h"
#include "mem_dataset.h"

namespace {

std::vector<std::string> Names(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) out.push_back("N" + std::to_string(i));
    return out;
}

TEST(DataSetOpen, EventsStatesAndClosedChecks) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 3);
    EXPECT_EQ(ds.State(), dsInactive);
    try {
        ds.First();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed dataset");
    }
    std::vector<TDataSetState> seen;
    ds.AfterOpen = [&](TDataSet& d) { seen.push_back(d.State()); };
    ds.Open();
    EXPECT_EQ(ds.log, (std::vector<std::string>{"BeforeOpen", "InternalOpen", "GetRecord(next)",
                                                "AfterOpen", "AfterScroll"}));
    EXPECT_EQ(seen, std::vector<TDataSetState>{dsBrowse});
    EXPECT_TRUE(ds.Bof());
    EXPECT_FALSE(ds.Eof());
    EXPECT_EQ(ds.FieldCount(), 4);
    EXPECT_EQ(ds.FieldByName("name").AsString(), "N1");
    try {
        ds.CreateField<TIntegerField>("EXTRA", fkCalculated);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an open dataset");
    }
    ds.log.clear();
    ds.Close();
    EXPECT_EQ(ds.log, (std::vector<std::string>{"BeforeClose", "InternalClose", "AfterClose"}));
    EXPECT_EQ(ds.FieldCount(), 0) << "default fields go with the cursor";
    EXPECT_FALSE(ds.Active());

    // A failed open leaves it closed and usable.
    ds.failOpen = true;
    EXPECT_THROW(ds.Open(), EDatabaseError);
    EXPECT_FALSE(ds.Active());
    ds.failOpen = false;
    ds.Open();
    EXPECT_EQ(ds.RecordCount(), 3);
}

TEST(DataSetOpen, EmptyDataSet) {
    TMemDataSet ds(PeopleColumns());
    ds.Open();
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_TRUE(ds.Bof());
    EXPECT_TRUE(ds.Eof());
    EXPECT_TRUE(ds.FieldByName("ID").IsNull());
    EXPECT_EQ(ds.Bookmark(), "");
    try {
        ds.Delete();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
    }
    EXPECT_EQ(ds.log.back(), "AfterOpen") << "AfterScroll is not fired for an empty open";
    ds.Edit();  // an empty dataset starts a new record instead
    EXPECT_EQ(ds.State(), dsInsert);
    ds.FieldByName("ID").SetAsInteger(7);
    ds.Post();
    EXPECT_FALSE(ds.IsEmpty());
    EXPECT_EQ(ds.RecordCount(), 1);
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7);
}

class DataSetRing : public ::testing::TestWithParam<int> {};

// Walks 12 records forward and back, jumping, with a grid of GetParam() rows attached; the
// grid's window must always be consecutive records holding the current one at its active row.
TEST_P(DataSetRing, GridWindowFollowsEveryMove) {
    const int rows = GetParam();
    const int n = 12;
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, n);
    TDataSource src;
    src.SetDataSet(&ds);
    TGridLink grid;
    grid.SetBufferCount(rows);
    grid.SetDataSource(&src);
    ds.Open();
    EXPECT_EQ(ds.BufferCount(), rows);

    auto check = [&](int expectId, const char* where) {
        SCOPED_TRACE(where);
        ASSERT_EQ(ds.FieldByName("ID").AsInteger(), expectId);
        std::vector<std::string> shown = grid.Rows("NAME");
        ASSERT_EQ(static_cast<int>(shown.size()), std::min(rows, n));
        ASSERT_EQ(shown[static_cast<size_t>(grid.ActiveRecord())], "N" + std::to_string(expectId));
        int first = std::stoi(shown[0].substr(1));
        EXPECT_EQ(shown, Names(first, first + static_cast<int>(shown.size()) - 1));
        EXPECT_EQ(ds.RecNo(), expectId);
    };

    check(1, "open");
    for (int i = 2; i <= n; ++i) {
        ds.Next();
        check(i, "next");
    }
    EXPECT_FALSE(ds.Eof());
    ds.Next();
    EXPECT_TRUE(ds.Eof());
    check(n, "past the end");
    for (int i = n - 1; i >= 1; --i) {
        ds.Prior();
        check(i, "prior");
    }
    ds.Prior();
    EXPECT_TRUE(ds.Bof());
    check(1, "before the start");

    EXPECT_EQ(ds.MoveBy(5), 5);
    check(6, "moveby 5");
    EXPECT_EQ(ds.MoveBy(100), n - 6);
    EXPECT_TRUE(ds.Eof());
    check(n, "moveby past end");
    EXPECT_EQ(ds.MoveBy(-3), -3);
    check(n - 3, "moveby -3");
    EXPECT_EQ(ds.MoveBy(-100), -(n - 4));
    check(1, "moveby past start");
    ds.Last();
    EXPECT_TRUE(ds.Eof());
    check(n, "last");
    ds.First();
    EXPECT_TRUE(ds.Bof());
    check(1, "first");

    ds.SetRecNo(8);
    check(8, "recno 8");
    TBookmark b = ds.Bookmark();
    ds.Last();
    ds.GotoBookmark(b);
    check(8, "bookmark");
    if (rows >= 3 && rows < n) {
        EXPECT_EQ(grid.ActiveRecord(), (rows - 1) / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(BufferCounts, DataSetRing, ::testing::Values(1, 2, 3, 5, 12, 20));

TEST(DataSetRingSize, LinksComingAndGoingResizeTheRingAroundTheActiveRecord) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 10);
    TDataSource src;
    src.SetDataSet(&ds);
    ds.Open();
    EXPECT_EQ(ds.BufferCount(), 1);
    ds.MoveBy(6);
    {
        TGridLink grid;
        grid.SetBufferCount(4);
        grid.SetDataSource(&src);
        EXPECT_EQ(ds.BufferCount(), 4);
        std::vector<std::string> shown = grid.Rows("NAME");
        ASSERT_EQ(shown.size(), 4u);
        EXPECT_EQ(shown[static_cast<size_t>(grid.ActiveRecord())], "N7");
        ds.Last();
        grid.SetBufferCount(2);  // shrinking keeps the active record
        EXPECT_EQ(ds.BufferCount(), 2);
        EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 10);
        EXPECT_EQ(grid.Rows("NAME"), (std::vector<std::string>{"N9", "N10"}));
        grid.SetBufferCount(6);  // growing at the end reads records before
        EXPECT_EQ(grid.Rows("NAME"), Names(5, 10));
        EXPECT_EQ(grid.ActiveRecord(), 5);
    }
    EXPECT_EQ(ds.BufferCount(), 1) << "the grid left";
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 10);
    ds.Prior();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 9);
}

TEST(DataSetBookmarks, CompareValidAndVanishedRecords) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 5);
    ds.Open();
    ds.MoveBy(1);
    TBookmark b2 = ds.Bookmark();
    ds.MoveBy(2);
    TBookmark b4 = ds.Bookmark();
    EXPECT_LT(ds.CompareBookmarks(b2, b4), 0);
    EXPECT_GT(ds.CompareBookmarks(b4, b2), 0);
    EXPECT_LT(ds.CompareBookmarks("", b2), 0);
    EXPECT_TRUE(ds.BookmarkValid(b2));
    ds.GotoBookmark(b2);
    ds.Delete();
    EXPECT_FALSE(ds.BookmarkValid(b2));
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3) << "after a delete the next record is current";
    EXPECT_THROW(ds.GotoBookmark(b2), EDatabaseError);
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3);
}

TEST(DataSetResync, ReadFailureWhileFillingIsReported) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 6);
    TDataSource src;
    src.SetDataSet(&ds);
    TGridLink grid;
    grid.SetBufferCount(3);
    grid.SetDataSource(&src);
    ds.Open();
    ds.failReadId = 5;
    ds.Next();
    ds.Next();  // record 3 is the last of the window; the next read brings record 4
    ds.Next();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 4);
    try {
        ds.Next();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Record request beyond range of table");
    }
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 4) << "a failed read leaves the active record";
    ds.failReadId = -1;
    ds.Next();
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 5);
}

}  // namespace

namespace {

TEST(DataSetLoading, ActiveSetWhileLoadingOpensWhenLoaded) {
    TMemDataSet ds(PeopleColumns());
    FillPeople(ds, 2);
    ds.BeginLoading();
    ds.SetActive(true);
    EXPECT_FALSE(ds.Active());
    EXPECT_TRUE(ds.log.empty());
    ds.Loaded();
    EXPECT_TRUE(ds.Active());
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 1);

    // Failing while loading outside design time is an error for the caller.
    TMemDataSet bad(PeopleColumns());
    bad.failOpen = true;
    bad.BeginLoading();
    bad.SetActive(true);
    EXPECT_THROW(bad.Loaded(), EDatabaseError);
    EXPECT_FALSE(bad.Active());
}

}  // namespace
