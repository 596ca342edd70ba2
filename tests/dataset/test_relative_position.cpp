// The record set's relative position, as a grid's scroll bar uses it: the place of the
// active record (not of wherever the cursor last read) and the jump to a place, with the
// scroll events and the buffers refilled around the record reached.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db_links.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv_support.h"

using namespace nvtest;

namespace {

constexpr int kRecords = 300;

class RelativePositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            NVO_DBFBuild build(dir.File("nums.dbf"));
            build.AddField("NAME", "C", 8, 0);
            build.Build();
        }
        {
            NVO_dBHandler t(dir.File("nums.dbf"), false, true, "");
            // Names in reverse record order, so that the tag order is not the natural one.
            for (int i = 0; i < kRecords; ++i) {
                t.BlankRecord();
                t.PutRaw(1, "N" + std::to_string(500000 - i));
                t.Append();
            }
        }
        ds = MakeDataSet(dir, "nums");
        ds->Open();
        source.SetDataSet(ds.get());
        // A window of ten buffers, as a grid asks: the cursor reads ahead of the active row.
        link.SetBufferCount(10);
        link.SetDataSource(&source);
        ds->BeforeScroll = [this](TDataSet&) { ++before; };
        ds->AfterScroll = [this](TDataSet&) { ++after; };
    }
    void TearDown() override { link.SetDataSource(nullptr); }
    void UseTag() {
        ds->IndexOn(dir.File("byname.ndx"), "", "NAME", "", true, false);
        TStringList files;
        files.Add("byname.ndx");
        ds->SetIndexFiles(files);
        ds->SetIndexName("BYNAME");
    }

    ScratchDir dir;
    std::unique_ptr<TNorvaneDataSet> ds;
    TDataSource source;
    TDataLink link;
    int before = 0;
    int after = 0;
};

TEST_F(RelativePositionTest, NaturalOrderPlacesTheActiveRecord) {
    ds->First();
    EXPECT_DOUBLE_EQ(ds->RelativePosition(), 1.0 / kRecords);
    // The window was read ahead to record 10; the active record is 6.
    ds->MoveBy(5);
    EXPECT_EQ(ds->RecNo(), 6);
    EXPECT_DOUBLE_EQ(ds->RelativePosition(), 6.0 / kRecords);
    before = after = 0;
    ds->SetRelativePosition(0.5);
    EXPECT_EQ(ds->RecNo(), 150);
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
    EXPECT_EQ(link.RecordCount(), 10);
    ds->Next();
    EXPECT_EQ(ds->RecNo(), 151);
    ds->SetRelativePosition(1.0);
    EXPECT_EQ(ds->RecNo(), kRecords);
    ds->Next();
    EXPECT_TRUE(ds->Eof());
    ds->SetRelativePosition(0.0);
    EXPECT_EQ(ds->RecNo(), 1);
    EXPECT_TRUE(ds->Bof());
}

TEST_F(RelativePositionTest, TagOrderPlacesAndJumps) {
    UseTag();
    ds->First();
    EXPECT_EQ(ds->RecNo(), kRecords);
    EXPECT_EQ(ds->RelativePosition(), 0.0);
    ds->MoveBy(5);
    EXPECT_NEAR(ds->RelativePosition(), 5.0 / (kRecords - 1), 0.05);
    ds->SetRelativePosition(0.5);
    const int middle = ds->RecNo();
    EXPECT_NEAR(ds->RelativePosition(), 0.5, 0.01);
    ds->Next();
    EXPECT_EQ(ds->RecNo(), middle - 1);
    ds->Prior();
    ds->Prior();
    EXPECT_EQ(ds->RecNo(), middle + 1);
    ds->SetRelativePosition(1.0);
    EXPECT_EQ(ds->RecNo(), 1);
    EXPECT_NEAR(ds->RelativePosition(), 1.0, 1e-9);
    // A pending edit is posted before the jump, as any move does.
    ds->Edit();
    ds->FieldByName("NAME").SetAsString("A");
    ds->SetRelativePosition(0.5);
    EXPECT_EQ(ds->State(), dsBrowse);
    ds->First();
    EXPECT_EQ(ds->RecNo(), 1);
    EXPECT_EQ(ds->FieldByName("NAME").AsString(), "A");
}

TEST_F(RelativePositionTest, EmptyRecordSet) {
    ds->Close();
    NVO_dBHandler(dir.File("nums.dbf"), false, true, "").Zap();
    ds->Open();
    EXPECT_EQ(ds->RelativePosition(), 0.0);
    ds->SetRelativePosition(0.5);
    EXPECT_TRUE(ds->IsEmpty());
}

}  // namespace
