// Editing through the record set: the order of events and storage calls for insert, append,
// edit, post, cancel and delete, where the new record lands, and what error handlers may do.
#include <gtest/gtest.h>

#include "db_links.h"
#include "mem_dataset.h"

namespace {

// The log without the record reads, which depend on the buffer count.
std::vector<std::string> Steps(TMemDataSet& ds) {
    std::vector<std::string> out;
    for (const auto& s : ds.log)
        if (s.rfind("GetRecord", 0) != 0 && s.rfind("Translate", 0) != 0) out.push_back(s);
    ds.log.clear();
    return out;
}

using Log = std::vector<std::string>;

struct EditFixture : ::testing::Test {
    TMemDataSet ds{PeopleColumns()};
    TDataSource src;
    TGridLink grid;
    void SetUp() override {
        FillPeople(ds, 5);
        src.SetDataSet(&ds);
        grid.SetBufferCount(4);
        grid.SetDataSource(&src);
        ds.Open();
        ds.log.clear();
    }
    int64_t Id() { return ds.FieldByName("ID").AsInteger(); }
};

TEST_F(EditFixture, EventOrderOfEveryOperation) {
    ds.Edit();
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_EQ(Steps(ds), (Log{"BeforeEdit", "InternalEdit", "AfterEdit"}));
    ds.FieldByName("NAME").SetAsString("X");
    ds.Post();
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(Steps(ds), (Log{"BeforePost", "InternalPost", "AfterPost"}));

    ds.Edit();
    Steps(ds);
    ds.Cancel();
    EXPECT_EQ(Steps(ds), (Log{"BeforeCancel", "InternalCancel", "AfterCancel"}));

    ds.Insert();
    EXPECT_EQ(ds.State(), dsInsert);
    EXPECT_EQ(Steps(ds), (Log{"BeforeInsert", "BeforeScroll", "InternalInitRecord", "InternalInsert",
                              "OnNewRecord", "AfterInsert", "AfterScroll"}));
    ds.Cancel();
    EXPECT_EQ(Steps(ds), (Log{"BeforeCancel", "BeforeScroll", "InternalCancel", "AfterCancel", "AfterScroll"}));

    ds.Append();
    EXPECT_EQ(Steps(ds), (Log{"BeforeInsert", "BeforeScroll", "InternalInitRecord", "OnNewRecord",
                              "AfterInsert", "AfterScroll"}));
    ds.Cancel();
    Steps(ds);

    ds.Delete();
    EXPECT_EQ(Steps(ds), (Log{"BeforeDelete", "BeforeScroll", "InternalDelete", "AfterDelete", "AfterScroll"}));
    EXPECT_EQ(ds.RecordCount(), 4);

    // Delete while inserting only cancels the new record.
    ds.Insert();
    Steps(ds);
    ds.Delete();
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.RecordCount(), 4);
    EXPECT_EQ(Steps(ds), (Log{"BeforeCancel", "BeforeScroll", "InternalCancel", "AfterCancel", "AfterScroll"}));
}

TEST_F(EditFixture, InsertAppendAndCancelPlaceTheRecordAndTheGrid) {
    ds.MoveBy(2);  // record 3
    ds.Insert();
    EXPECT_EQ(grid.Rows("NAME"), (std::vector<std::string>{"N1", "N2", "", "N3"}));
    EXPECT_EQ(grid.ActiveRecord(), 2);
    EXPECT_TRUE(ds.FieldByName("ID").IsNull()) << "a new record starts blank";
    ds.Cancel();
    EXPECT_EQ(Id(), 3);
    EXPECT_EQ(grid.Rows("NAME"), (std::vector<std::string>{"N1", "N2", "N3", "N4"}));

    ds.Insert();
    ds.FieldByName("ID").SetAsInteger(30);
    ds.FieldByName("NAME").SetAsString("NEW");
    ds.Post();
    EXPECT_EQ(Id(), 30);
    EXPECT_EQ(ds.RecordCount(), 6);
    EXPECT_EQ(ds.RecNo(), 3) << "an inserted record goes before the one it was on";
    ds.Next();
    EXPECT_EQ(Id(), 3);

    ds.Append();
    EXPECT_EQ(grid.Rows("NAME").back(), "");
    EXPECT_EQ(grid.ActiveRecord(), grid.RecordCount() - 1);
    ds.FieldByName("ID").SetAsInteger(60);
    ds.Post();
    EXPECT_EQ(Id(), 60);
    EXPECT_EQ(ds.RecNo(), 7);
    EXPECT_EQ(grid.Rows("NAME"), (std::vector<std::string>{"N3", "N4", "N5", ""}));
    ds.Next();
    EXPECT_TRUE(ds.Eof());

    // Insert at the very top of a full window.
    ds.First();
    ds.Insert();
    ds.FieldByName("ID").SetAsInteger(0);
    ds.Post();
    EXPECT_EQ(ds.RecNo(), 1);
    ds.Next();
    EXPECT_EQ(Id(), 1);
}

TEST_F(EditFixture, ScrollingPostsAChangedRecordAndCancelsAnUntouchedOne) {
    ds.Edit();
    ds.FieldByName("NAME").SetAsString("CHANGED");
    EXPECT_TRUE(ds.Modified());
    ds.Next();
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.StoredText(0, 1), "CHANGED");
    EXPECT_EQ(Id(), 2);
    Steps(ds);
    ds.Edit();
    EXPECT_FALSE(ds.Modified());
    ds.Next();
    Log steps = Steps(ds);
    EXPECT_NE(std::find(steps.begin(), steps.end(), "InternalCancel"), steps.end());
    EXPECT_EQ(std::find(steps.begin(), steps.end(), "InternalPost"), steps.end());
    EXPECT_EQ(Id(), 3);
}

TEST_F(EditFixture, ErrorHandlersFailAbortOrRetry) {
    ds.lockedIds.insert(1);
    int calls = 0;
    ds.OnEditError = [&](TDataSet&, EDatabaseError& e, TDataAction& action) {
        ++calls;
        EXPECT_STREQ(e.what(), "Record is locked by another user");
        action = daFail;
    };
    EXPECT_THROW(ds.Edit(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsBrowse);
    ds.OnEditError = [&](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; };
    EXPECT_THROW(ds.Edit(), EAbort);
    EXPECT_EQ(ds.State(), dsBrowse);
    calls = 0;
    ds.OnEditError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
        if (++calls == 2) ds.lockedIds.clear();  // the other user let go
        action = daRetry;
    };
    ds.Edit();
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_EQ(calls, 2);

    ds.FieldByName("NAME").SetAsString("R");
    ds.failPostCount = 2;
    int postCalls = 0;
    ds.OnPostError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
        ++postCalls;
        action = daRetry;
    };
    ds.Post();
    EXPECT_EQ(postCalls, 2);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.StoredText(0, 1), "R");

    // Errors that are not database errors pass by the handler.
    ds.Edit();
    ds.FieldByName("NAME").SetAsString("S");
    ds.failPostEngine = true;
    postCalls = 0;
    EXPECT_THROW(ds.Post(), ENorvaneError);
    EXPECT_EQ(postCalls, 0);
    EXPECT_EQ(ds.State(), dsEdit) << "a failed post keeps the edit";
    ds.failPostEngine = false;
    ds.Cancel();
    EXPECT_EQ(ds.StoredText(0, 1), "R");
}

TEST_F(EditFixture, NewRecordDefaultsAndAFailingNewRecordHandler) {
    ds.MoveBy(1);
    ds.OnNewRecord = [](TDataSet& d) { d.FieldByName("ID").SetAsInteger(99); };
    ds.Append();
    EXPECT_EQ(Id(), 99);
    ds.Next();  // defaults count as a change: the record is kept
    EXPECT_EQ(ds.RecordCount(), 6);
    ds.Last();
    EXPECT_EQ(Id(), 99);

    ds.MoveBy(-3);
    int64_t before = Id();
    ds.OnNewRecord = [](TDataSet&) { throw EDatabaseError("no"); };
    EXPECT_THROW(ds.Insert(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(Id(), before);
    EXPECT_EQ(ds.RecordCount(), 6);
}

TEST_F(EditFixture, WritingChecksStateReadOnlyValidationAndRequired) {
    try {
        ds.FieldByName("ID").SetAsInteger(5);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
    }
    EXPECT_THROW(ds.Post(), EDatabaseError);
    ds.FieldByName("NAME").SetReadOnly(true);
    ds.Edit();
    try {
        ds.FieldByName("NAME").SetAsString("Z");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'NAME' cannot be modified");
    }
    ds.FieldByName("NAME").SetReadOnly(false);

    std::vector<int64_t> validated;
    ds.FieldByName("ID").OnValidate = [&](TField& f) {
        validated.push_back(f.AsInteger());  // the value about to be stored
        if (f.AsInteger() < 0) throw EDatabaseError("negative");
    };
    ds.FieldByName("ID").SetAsInteger(10);
    EXPECT_THROW(ds.FieldByName("ID").SetAsInteger(-1), EDatabaseError);
    EXPECT_EQ(validated, (std::vector<int64_t>{10, -1}));
    EXPECT_EQ(Id(), 10);
    ds.Post();
    EXPECT_EQ(ds.StoredInt32(0, 0), 10);

    ds.FieldByName("NAME").SetRequired(true);
    ds.Append();
    try {
        ds.Post();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'NAME' must have a value");
    }
    EXPECT_EQ(ds.State(), dsInsert);
    ds.Cancel();
}

TEST_F(EditFixture, AppendRecordAndInsertRecordStoreThroughAddRecord) {
    ds.AppendRecord({TVariant(50), TVariant("FIFTY"), TVariant(), TVariant(true)});
    EXPECT_EQ(Id(), 50);
    EXPECT_EQ(ds.RecNo(), 6);
    EXPECT_TRUE(ds.FieldByName("AMOUNT").IsNull());
    ds.First();
    ds.InsertRecord({TVariant(0), TVariant("ZERO")});
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "ZERO");
    Log steps = Steps(ds);
    EXPECT_NE(std::find(steps.begin(), steps.end(), "InternalAddRecord(insert)"), steps.end());
    EXPECT_EQ(ds.RecordCount(), 7);
}

}  // namespace
