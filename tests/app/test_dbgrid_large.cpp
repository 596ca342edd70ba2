// The grid over a table of a million records, in natural order and in the order of a CDX
// tag: opening it, going to the last record, back to the first, a page down and a drag of
// the scroll bar to the middle each read a bounded number of times from disk, counted
// through the engine's platform seam. The table is made once per test run.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QScrollBar>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "db_links.h"
#include "dbgrid.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_os.h"
#include "nv_dataset.h"
#include "qt_app.h"
#include "scratch_dir.h"
#include "scripted_asker.h"

namespace {

constexpr int32_t kRecords = 1000000;
// Reads one user action may cost: a window of rows, a tag descent or two, a few headers.
constexpr int kMaxReads = 200;

// NAME C 10 holds "N" and six digits of a permutation of the record numbers (so that the tag
// order is not the natural one), NUM N 7 the record number. The records are written in one
// piece behind the builder's header, which is then given the count: appending them one by
// one through the cursor would take most of the run.
class MillionTable {
public:
    MillionTable() {
        path_ = dir_.File("big.dbf");
        {
            NVO_DBFoxBuild build(path_);
            build.AddField("NAME", "C", 10, 0);
            build.AddField("NUM", "N", 7, 0);
            build.Build();
        }
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        unsigned char header[32];
        file.read(reinterpret_cast<char*>(header), sizeof header);
        const int headerLength = header[8] | header[9] << 8;
        const int recordLength = header[10] | header[11] << 8;
        EXPECT_EQ(recordLength, 18);
        std::string records;
        records.reserve(static_cast<size_t>(kRecords) * 18 + 1);
        char image[19];
        for (int32_t i = 0; i < kRecords; ++i) {
            const int32_t key = static_cast<int32_t>((int64_t(i) * 7919) % kRecords);
            std::snprintf(image, sizeof image, " N%06d   %7d", static_cast<int>(key), static_cast<int>(i + 1));
            records.append(image, 18);
        }
        records.push_back('\x1A');
        file.seekp(headerLength);
        file.write(records.data(), static_cast<std::streamsize>(records.size()));
        const unsigned char count[4] = {kRecords & 0xFF, (kRecords >> 8) & 0xFF, (kRecords >> 16) & 0xFF,
                                        (kRecords >> 24) & 0xFF};
        file.seekp(4);
        file.write(reinterpret_cast<const char*>(count), 4);
        file.close();
        EXPECT_EQ(NVO_dBHandler(path_, false, true, "").RecordCount(), kRecords);
    }
    const std::string& Directory() const { return dir_.Path(); }
    // The CDX tag NAME, built on first use (the build is most of the run under sanitizers).
    void BuildTag() {
        if (tagBuilt_) return;
        NVO_dBHandler t(path_, false, true, "");
        EXPECT_EQ(t.IndexOn(dir_.File("big.cdx"), "NAME", 0, true, "", "NAME"), 0);
        tagBuilt_ = true;
    }

private:
    nvtest::ScratchDir dir_;
    std::string path_;
    bool tagBuilt_ = false;
};

MillionTable& Million() {
    static MillionTable table;
    return table;
}

void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(target, &press);
}

class LargeGrid : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        TestApp();
        if (GetParam()) Million().BuildTag();
        ds.SetDatabaseName(Million().Directory());
        ds.SetTableName("big.dbf");
        grid = std::make_unique<TDBGrid>();
        grid->resize(500, 400);
        grid->show();
    }
    // Runs a user action and what follows it (the scroll bar's update, a repaint) and counts
    // the reads from disk.
    int Reads(const std::function<void()>& action) {
        NvFaultPlatform counter;
        NvPlatformScope use(counter);
        action();
        QApplication::processEvents();
        grid->grab();
        return counter.Calls(NvOsOp::Read);
    }
    void TearDown() override { grid.reset(); }
    int Name() { return std::stoi(ds.FieldByName("NAME").AsString().substr(1)); }

    TScriptedAsker asker;
    TNorvaneDataSet ds;
    TDataSource source;
    std::unique_ptr<TDBGrid> grid;
};

TEST_P(LargeGrid, MovesReadABoundedNumberOfRecords) {
    const bool byTag = GetParam();
    EXPECT_LT(Reads([&] {
                  ds.Open();
                  if (byTag) {
                      TStringList files;
                      files.Add("big.cdx");
                      ds.SetIndexFiles(files);
                      ds.SetIndexName("NAME");
                  }
                  source.SetDataSet(&ds);
                  grid->SetDataSource(&source);
              }),
              kMaxReads);
    const int rows = grid->VisibleRowCount();
    ASSERT_GT(rows, 5);
    QScrollBar* bar = grid->verticalScrollBar();
    EXPECT_EQ(bar->value(), 0);

    EXPECT_LT(Reads([&] { Key(grid.get(), Qt::Key_End, Qt::ControlModifier); }), kMaxReads);
    EXPECT_EQ(bar->value(), TDBGrid::kScrollRange);
    if (byTag) {
        EXPECT_EQ(Name(), kRecords - 1);
    } else {
        EXPECT_EQ(ds.RecNo(), kRecords);
    }

    EXPECT_LT(Reads([&] { Key(grid.get(), Qt::Key_Home, Qt::ControlModifier); }), kMaxReads);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(byTag ? Name() : ds.RecNo(), byTag ? 0 : 1);

    EXPECT_LT(Reads([&] { Key(grid.get(), Qt::Key_PageDown); }), kMaxReads);
    EXPECT_EQ(byTag ? Name() : ds.RecNo(), byTag ? rows : rows + 1);

    // A drag of the thumb to the middle of the trough.
    EXPECT_LT(Reads([&] {
                  bar->setSliderDown(true);
                  bar->setSliderPosition(TDBGrid::kScrollRange / 2);
                  bar->setSliderDown(false);
              }),
              kMaxReads);
    if (byTag) {
        EXPECT_NEAR(ds.RelativePosition(), 0.5, 0.01);
        EXPECT_NEAR(Name(), kRecords / 2, kRecords * 0.15);
    } else {
        EXPECT_EQ(ds.RecNo(), kRecords / 2);
    }
    EXPECT_NEAR(bar->value(), TDBGrid::kScrollRange / 2, 100);
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Orders, LargeGrid, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "CdxTag" : "Natural"; });

}  // namespace
