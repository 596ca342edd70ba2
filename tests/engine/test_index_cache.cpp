// Index pages kept in memory between searches must never outlive the file they copy: after
// edits that split and merge pages, a reindex, a pack and a zap, and after another program's
// writes to a shared file, a cursor that searched before finds every key where a fresh one
// would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_dbsy.h"

namespace {

using dbftest::TempDir;

constexpr int kRecords = 1500;

std::string NameOf(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "K%05d", (i * 7919) % 99991);
    return text;
}

class IndexCache : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        table_ = dir_.File("cache.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 10, 0}});
        NVO_dBHandler t(table_, false, true, "");
        for (int i = 1; i <= kRecords; ++i) {
            t.BlankRecord();
            t.PutRawByName("NAME", NameOf(i));
            t.Append();
            names_.push_back(NameOf(i));
        }
        file_ = std::string("NAME") + GetParam();
        ASSERT_EQ(t.IndexOn(file_, "NAME", 0, true, "", "NAME"), 0);
    }

    std::unique_ptr<NVO_dBHandler> Open(bool shared) {
        auto t = std::make_unique<NVO_dBHandler>(table_, shared, true, "");
        EXPECT_EQ(t->OpenIndexFiles(file_, "NAME"), 0);
        return t;
    }

    void Edit(NVO_dBHandler& t, int32_t record, const std::string& name) {
        t.Go(record);
        ASSERT_TRUE(t.LockRecord());
        t.PutRawByName("NAME", name);
        t.WriteRecord(record);
        t.UnlockTable();
        names_[static_cast<std::size_t>(record - 1)] = name;
    }

    // Every record's key is found on that record, and the order lists them all.
    void ExpectFound(NVO_dBHandler& t, const std::string& when) {
        SCOPED_TRACE(when);
        int wrong = 0;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (!names_[i].empty() && (!t.Find(names_[i]) || t.CurrentRecord() != static_cast<int32_t>(i + 1))) ++wrong;
        }
        EXPECT_EQ(wrong, 0);
        std::vector<int32_t> walked;
        for (t.Go(-3); !t.Eof() && walked.size() <= names_.size(); t.Skip(1)) walked.push_back(t.CurrentRecord());
        std::vector<int32_t> expected(names_.size());
        for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int32_t>(i + 1);
        std::sort(expected.begin(), expected.end(),
                  [&](int32_t x, int32_t y) { return names_[x - 1] < names_[y - 1]; });
        EXPECT_EQ(walked, expected);
    }

    TempDir dir_;
    std::string table_;
    std::string file_;
    std::vector<std::string> names_;
};

TEST_P(IndexCache, ExclusiveSearchesFollowEditsReindexPackAndZap) {
    auto t = Open(false);
    ExpectFound(*t, "first searches");
    // Every key of one stretch of the order goes to the far end: its leaves empty and merge,
    // the far end's leaves split.
    for (int32_t r = 1; r <= kRecords; ++r)
        if (names_[static_cast<std::size_t>(r - 1)] < "K30000") Edit(*t, r, "Z" + names_[static_cast<std::size_t>(r - 1)]);
    ExpectFound(*t, "after edits");
    t->Reindex();
    ExpectFound(*t, "after reindex");
    for (int32_t r = 1; r <= kRecords; r += 3) {
        t->Go(r);
        t->DeleteRecord();
    }
    t->Pack();
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (i % 3 != 0) kept.push_back(names_[i]);
    names_ = kept;
    ExpectFound(*t, "after pack");
    t->Zap();
    names_.clear();
    for (int i = 1; i <= 200; ++i) {
        t->BlankRecord();
        t->PutRawByName("NAME", NameOf(i + 5000));
        t->Append();
        names_.push_back(NameOf(i + 5000));
    }
    ExpectFound(*t, "after zap and appends");
}

TEST_P(IndexCache, SharedSearchesSeeAnotherProgramsWrites) {
    auto reader = Open(true);
    auto writer = Open(true);
    ExpectFound(*reader, "first searches");
    for (int32_t r = 1; r <= kRecords; r += 2) Edit(*writer, r, "A" + names_[static_cast<std::size_t>(r - 1)]);
    ExpectFound(*reader, "after the other program's edits");
    for (int i = 1; i <= 300; ++i) {
        writer->BlankRecord();
        writer->PutRawByName("NAME", NameOf(i + 5000));
        writer->Append();
        names_.push_back(NameOf(i + 5000));
    }
    ExpectFound(*reader, "after the other program's appends");
}

// A leaf written after an edit is kept decoded only when its keys read back as they were
// inserted. A text key with a NUL byte reads back cut at it, so the edited record is not
// found on its own key: the cursor that wrote it must land where a fresh cursor lands.
TEST(IndexCacheWrittenLeaf, KeyThatDoesNotReadBackIsSearchedInTheFile) {
    TempDir dir;
    const std::string table = dir.File("nul.dbf");
    dbftest::MakeTable(table, {{"NAME", "C", 10, 0}});
    {
        NVO_dBHandler t(table, false, true, "");
        for (int i = 1; i <= 60; ++i) {
            t.BlankRecord();
            t.PutRawByName("NAME", NameOf(i));
            t.Append();
        }
        ASSERT_EQ(t.IndexOn("NAME.cdx", "NAME", 0, true, "", "NAME"), 0);
    }
    auto next = [&](NVO_dBHandler& t) {
        t.Skip(1);
        return t.Eof() ? 0 : t.CurrentRecord();
    };
    int32_t writer = 0;
    {
        NVO_dBHandler t(table, false, true, "");
        ASSERT_EQ(t.OpenIndexFiles("NAME.cdx", "NAME"), 0);
        t.Go(30);
        ASSERT_TRUE(t.LockRecord());
        t.PutRawByName("NAME", std::string("K50000\0ZZ", 9));
        t.WriteRecord(30);
        t.UnlockTable();
        writer = next(t);
    }
    NVO_dBHandler fresh(table, false, true, "");
    ASSERT_EQ(fresh.OpenIndexFiles("NAME.cdx", "NAME"), 0);
    fresh.Go(30);
    EXPECT_EQ(writer, next(fresh));
}

// The writer's tag stays where its update left it after a write instead of being searched
// again: wherever the record lands (in the order, left out by a FOR condition, a unique key
// or a range, at either end), the writer's next steps must be those of a cursor that goes to
// the record afresh. That other cursor often stood on the record when the writer moved it
// (one step along the order, say), and must find it at its new place all the same.
TEST(IndexCacheWriterPosition, AfterEachEditTheWriterStepsWhereAFreshCursorSteps) {
    struct Variant {
        const char* what;
        int sortOption;
        bool duplicates;
        const char* forExpression;
        bool range;
    };
    const Variant variants[] = {{"ascending", 0, true, "", false},
                                {"descending", 1, true, "", false},
                                {"FOR condition", 0, true, "NAME < 'K6'", false},
                                {"unique", 0, false, "", false},
                                {"range", 0, true, "", true}};
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        TempDir dir;
        const std::string table = dir.File("pos.dbf");
        dbftest::MakeTable(table, {{"NAME", "C", 10, 0}});
        {
            NVO_dBHandler t(table, false, true, "");
            for (int i = 1; i <= 400; ++i) {
                t.BlankRecord();
                t.PutRawByName("NAME", NameOf(i % 150));
                t.Append();
            }
            ASSERT_EQ(t.IndexOn("pos.cdx", "NAME", v.sortOption, v.duplicates, v.forExpression, "NAME"), 0);
        }
        auto open = [&] {
            auto t = std::make_unique<NVO_dBHandler>(table, true, true, "");
            EXPECT_EQ(t->OpenIndexFiles("pos.cdx", "NAME"), 0);
            if (v.range) t->SetRange("K2", "K7", true, true, true);
            return t;
        };
        auto writer = open();
        auto fresh = open();
        auto step = [](NVO_dBHandler& t, int n) {
            t.Skip(n);
            return t.Eof() ? -1 : (t.Bof() ? -2 : t.CurrentRecord());
        };
        uint32_t seed = 11;
        int differ = 0;
        for (int i = 0; i < 300; ++i) {
            seed = seed * 1103515245u + 12345u;
            const int32_t r = static_cast<int32_t>((seed >> 8) % 400) + 1;
            // Keys repeat and reach both ends of the order.
            const int pick = static_cast<int>((seed >> 4) % 160);
            const std::string name = pick < 150 ? NameOf(pick) : (pick % 2 ? "A" : "Z") + std::to_string(pick);
            writer->Go(r);
            ASSERT_TRUE(writer->LockRecord());
            writer->PutRawByName("NAME", name);
            writer->WriteRecord(r);
            writer->UnlockTable();
            fresh->Go(r);
            const int a1 = step(*writer, 1), b1 = step(*fresh, 1);
            const int a2 = step(*writer, -1), b2 = step(*fresh, -1);
            if (a1 != b1 || a2 != b2) ++differ;
        }
        EXPECT_EQ(differ, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexCache, ::testing::Values(".cdx", ".ndx", ".ntx", ".mdx"),
                         [](const auto& info) { return std::string(info.param + 1); });

}  // namespace
