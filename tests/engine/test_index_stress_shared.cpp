// Two programs sharing a table and its index files at random, played by two cursors that
// open them shared in one process (the byte-range locks belong to open file descriptions,
// so two handles conflict as two processes do). Each step one of them edits, appends,
// deletes or recalls a record, walks, seeks, changes its order or opens the files again;
// its own next steps and a few steps of the other one from where that one stood must land
// where a model of the records says. Every so often and at the end every order is walked
// both ways by both cursors and by a fresh exclusive one, and the trees are read from the
// files' bytes.
//
// PELMORA_INDEX_STRESS_SEED and PELMORA_INDEX_STRESS_SCALE as for the other stress tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "index_support.h"
#include "nv6_dbsy.h"
#include "nv_tree_check.h"

namespace {

struct Format {
    const char* ext;
    bool compound;
    bool descending;     // the format has descending tags (RNAME then)
    bool recordOrdered;  // equal keys lie by record number; else a changed key goes after its equals
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.ext; }

const Format kFormats[] = {
    {"cdx", true, true, true},
    {"ntx", false, true, false},
    {"ndx", false, false, false},
    {"mdx", true, true, false},
};

enum { kName, kAge, kRName };
const char* const kTags[] = {"NAME", "AGE", "RNAME"};

struct Row {
    std::string name;  // padded to the field's 10 characters, as the key holds it
    int age = 0;
    bool deleted = false;
    // Per tag, when the record's key last went into the tree (formats without record order
    // keep equal keys in that order).
    std::array<int64_t, 3> stamp{};
};

std::string Padded(std::string s) {
    s.resize(10, ' ');
    return s;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Where a cursor stands: on the entry its record had in `tag` when it came there (another
// program may have moved or removed that entry since).
struct Place {
    int tag = kName;
    bool on = false;
    int32_t record = 0;
    Row key;
};

class IndexStressShared : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        rng_.seed(ixtest::StressSeed() * 7919u + static_cast<unsigned>(GetParam().ext[0] * 31 + GetParam().ext[1]));
        table_ = dir_.File("stress.dbf");
        dbftest::MakeTable(table_, {{"NAME", "C", 10, 0}, {"AGE", "N", 4, 0}});
        NVO_dBHandler t(table_, false, true, "");
        const int count = 200 + Pick(200);
        for (int r = 1; r <= count; ++r) {
            Row row;
            row.name = NewName(0);
            row.age = NewAge(0);
            row.stamp = {r, r, r};
            t.BlankRecord();
            Put(t, row);
            t.Append();
            rows_.push_back(row);
        }
        stamps_ = count;
        for (int tag = 0; tag < Tags(); ++tag) {
            const std::string file = GetParam().compound ? std::string("stress.") + GetParam().ext
                                                         : std::string(kTags[tag]) + "." + GetParam().ext;
            ASSERT_EQ(t.IndexOn(file, kTags[tag], tag == kRName ? 1 : 0, true, "", tag == kAge ? "AGE" : "NAME"), 0);
            if (files_.empty() || files_.back() != file) files_.push_back(file);
        }
    }

    static void Put(NVO_dBHandler& t, const Row& row) {
        t.PutRawByName("NAME", row.name);
        t.SetNumberByName("AGE", row.age);
    }

    int Tags() const { return GetParam().descending ? 3 : 2; }
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    int32_t AnyRecord() { return 1 + Pick(static_cast<int>(rows_.size())); }
    const Row& RowOf(int32_t r) const { return rows_[static_cast<std::size_t>(r - 1)]; }

    // Names that repeat, names at both ends of the order, a key equal to a neighbour's and
    // longer names that a shorter one is a prefix of.
    std::string NewName(int32_t record) {
        const int spread = static_cast<int>(rows_.size()) / 3 + 1;
        char text[16];
        switch (Pick(10)) {
            case 0: return Padded("");
            case 1: return Padded("AAAA");
            case 2: return Padded("ZZZZZZZZZZ");
            case 3:
            case 4:
                if (record) return RowOf(Neighbour(kName, record)).name;
                [[fallthrough]];
            case 5: std::snprintf(text, sizeof text, "M%03d%c", Pick(spread), 'A' + Pick(3)); return Padded(text);
            default: std::snprintf(text, sizeof text, "M%03d", Pick(spread)); return Padded(text);
        }
    }

    int NewAge(int32_t record) {
        switch (Pick(10)) {
            case 0: return 0;
            case 1: return 9999;
            case 2:
            case 3:
                if (record) return RowOf(Neighbour(kAge, record)).age;
                [[fallthrough]];
            default: return Pick(90);
        }
    }

    // -1, 0, 1 as row a's key comes before, with or after row b's in the order of `tag`.
    static int KeyOrder(int tag, const Row& a, const Row& b) {
        int c = tag == kAge ? (a.age > b.age) - (a.age < b.age) : a.name.compare(b.name);
        c = (c > 0) - (c < 0);
        return tag == kRName ? -c : c;
    }

    // Whether entry (a of record x) comes before entry (b of record y) in the order of `tag`.
    bool Before(int tag, const Row& a, int32_t x, const Row& b, int32_t y) const {
        if (int c = KeyOrder(tag, a, b)) return c < 0;
        // A descending CDX tag walks an ascending tree backwards.
        if (GetParam().recordOrdered) return tag == kRName ? x > y : x < y;
        return a.stamp[static_cast<std::size_t>(tag)] < b.stamp[static_cast<std::size_t>(tag)];
    }

    std::vector<int32_t> Order(int tag) const {
        std::vector<int32_t> order(rows_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i + 1);
        std::sort(order.begin(), order.end(),
                  [&](int32_t x, int32_t y) { return Before(tag, RowOf(x), x, RowOf(y), y); });
        return order;
    }

    // The record after `record` in the order of `tag` (before it at the end).
    int32_t Neighbour(int tag, int32_t record) const {
        const std::vector<int32_t> order = Order(tag);
        const std::size_t at = static_cast<std::size_t>(std::find(order.begin(), order.end(), record) - order.begin());
        return order[at + 1 < order.size() ? at + 1 : (at > 0 ? at - 1 : at)];
    }

    // A record for cursor c to change: often the other cursor's record or one near it in the
    // other's order, where a change tests the other's next steps hardest, or the record c
    // stands on (which the other may have changed since c read it).
    int32_t Target(int c) {
        if (places_[c].on && Pick(5) == 0) return places_[c].record;
        const Place& other = places_[1 - c];
        if (!other.on || Pick(2)) return AnyRecord();
        const std::vector<int32_t> order = Order(other.tag);
        const long at = std::find(order.begin(), order.end(), other.record) - order.begin() + Pick(5) - 2;
        return order[static_cast<std::size_t>(std::clamp<long>(at, 0, static_cast<long>(order.size()) - 1))];
    }

    bool Visible(int c, int32_t r) const { return cursors_[c]->ShowDeleted() || !RowOf(r).deleted; }

    // The record takes new values; a key that changes goes into its tree anew.
    void Apply(int32_t r, const Row& next) {
        Row& row = rows_[static_cast<std::size_t>(r - 1)];
        for (int tag = 0; tag < 3; ++tag)
            if (KeyOrder(tag, row, next) != 0) row.stamp[static_cast<std::size_t>(tag)] = ++stamps_;
        row.name = next.name;
        row.age = next.age;
        row.deleted = next.deleted;
    }

    void Stand(int c, int32_t r) {
        places_[c].on = true;
        places_[c].record = r;
        places_[c].key = RowOf(r);
    }

    void Open(int c, bool shared = true) {
        std::string list;
        for (const std::string& file : files_) list += (list.empty() ? "" : ",") + file;
        cursors_[c] = std::make_unique<NVO_dBHandler>(table_, shared, true, "");
        places_[c] = Place{Pick(Tags()), false, 0, Row{}};
        ASSERT_EQ(cursors_[c]->OpenIndexFiles(list, kTags[places_[c].tag]), 0);
    }

    std::string Skipping(int c, int step, int direction) const {
        const Place& p = places_[c];
        return "skip " + std::to_string(step + 1) + (direction > 0 ? " forward" : " back") + " in " + kTags[p.tag] +
               " from record " + std::to_string(p.record) + " (\"" + Trimmed(p.key.name) + "\", " +
               std::to_string(p.key.age) + ")";
    }

    // `steps` skips of cursor c from where its model stands, each landing where the model's
    // order says (or at the end it reaches).
    void Walk(int c, int steps, int direction) {
        NVO_dBHandler& t = *cursors_[c];
        Place& p = places_[c];
        ASSERT_TRUE(p.on);
        const std::vector<int32_t> order = Order(p.tag);
        // The entries just before and after the cursor's entry, or around the gap it left.
        long next;
        if (KeyOrder(p.tag, RowOf(p.record), p.key) == 0) {
            next = std::find(order.begin(), order.end(), p.record) - order.begin() + direction;
        } else {
            // An entry gone stood, by record number, among its equals; else after them.
            next = std::find_if(order.begin(), order.end(),
                                [&](int32_t r) {
                                    return GetParam().recordOrdered
                                               ? Before(p.tag, p.key, p.record, RowOf(r), r)
                                               : KeyOrder(p.tag, p.key, RowOf(r)) < 0;
                                }) -
                   order.begin() - (direction < 0);
        }
        const long size = static_cast<long>(order.size());
        for (int step = 0; step < steps; ++step, next += direction) {
            while (next >= 0 && next < size && !Visible(c, order[static_cast<std::size_t>(next)])) next += direction;
            t.Skip(direction);
            if (next < 0 || next >= size) {
                ASSERT_TRUE(direction > 0 ? t.Eof() : t.Bof()) << Skipping(c, step, direction);
                p.on = false;
                return;
            }
            ASSERT_EQ(t.CurrentRecord(), order[static_cast<std::size_t>(next)]) << Skipping(c, step, direction);
            ASSERT_FALSE(t.Eof() || t.Bof());
            Stand(c, t.CurrentRecord());
        }
    }

    // Cursor c goes to record r, or to the top (-3) or the bottom (-4) of its order.
    void Go(int c, int32_t target) {
        NVO_dBHandler& t = *cursors_[c];
        t.Go(target);
        int32_t expected = target;
        if (target < 0) {
            std::vector<int32_t> order = Order(places_[c].tag);
            if (target == -4) std::reverse(order.begin(), order.end());
            auto first = std::find_if(order.begin(), order.end(), [&](int32_t r) { return Visible(c, r); });
            if (first == order.end()) {
                ASSERT_TRUE(t.Eof());
                places_[c].on = false;
                return;
            }
            expected = *first;
        }
        ASSERT_EQ(t.CurrentRecord(), expected) << "going to " << target << " in " << kTags[places_[c].tag];
        Stand(c, expected);
    }

    // Writes new values over record r as cursor c (deleted or recalled with `mark`).
    void Write(int c, int32_t r, int mark) {
        NVO_dBHandler& t = *cursors_[c];
        Row next = RowOf(r);
        // The record lock reads the record again: the cursor need not move to its own.
        if (!places_[c].on || places_[c].record != r) t.Go(r);
        ASSERT_TRUE(t.LockRecord());
        if (mark == 1) {
            t.DeleteRecord();
            next.deleted = true;
        } else if (mark == 2) {
            t.RecallRecord();
            next.deleted = false;
        } else {
            const int what = Pick(3);
            if (what != 1) next.name = NewName(r);
            if (what != 0) next.age = NewAge(r);
            Put(t, next);
            t.WriteRecord(r);
        }
        t.UnlockTable();
        Apply(r, next);
        ASSERT_EQ(t.CurrentRecord(), r);
        Stand(c, r);
    }

    void Append(int c) {
        NVO_dBHandler& t = *cursors_[c];
        Row row;
        row.name = NewName(0);
        row.age = NewAge(0);
        ++stamps_;
        row.stamp = {stamps_, stamps_, stamps_};
        t.BlankRecord();
        Put(t, row);
        t.Append();
        rows_.push_back(row);
        ASSERT_EQ(t.CurrentRecord(), static_cast<int32_t>(rows_.size()));
        Stand(c, t.CurrentRecord());
    }

    // A search of the cursor's order for a key of some record, a prefix of one or a key
    // nobody holds; it must land on the first visible record the model has for it.
    void Seek(int c) {
        NVO_dBHandler& t = *cursors_[c];
        const int tag = places_[c].tag;
        const Row& some = RowOf(AnyRecord());
        std::string text;
        const int kind = Pick(3);
        if (tag == kAge)
            text = std::to_string(kind == 2 ? 5000 + Pick(1000) : some.age);
        else if (kind == 2 || Trimmed(some.name).empty())
            text = "M" + std::to_string(100 + Pick(900)) + "Q";
        else
            text = kind == 1 ? some.name.substr(0, 3) : Trimmed(some.name);
        SCOPED_TRACE("seeking \"" + text + "\" in " + kTags[tag]);
        auto matches = [&](int32_t r) {
            const Row& row = RowOf(r);
            return tag == kAge ? std::to_string(row.age) == text : row.name.compare(0, text.size(), text) == 0;
        };
        const std::vector<int32_t> order = Order(tag);
        auto hit = std::find_if(order.begin(), order.end(), [&](int32_t r) { return matches(r) && Visible(c, r); });
        const bool found = t.Find(text);
        if (hit == order.end()) {
            ASSERT_FALSE(found);
            ASSERT_TRUE(t.Eof());
            places_[c].on = false;
            return;
        }
        ASSERT_TRUE(found);
        ASSERT_EQ(t.CurrentRecord(), *hit);
        Stand(c, *hit);
    }

    // One step of cursor c, then a few of its own steps and of the other cursor's.
    void Step(int c) {
        NVO_dBHandler& t = *cursors_[c];
        Place& p = places_[c];
        int direction = Pick(2) ? 1 : -1;
        const int kind = Pick(20);
        if (kind < 7) {
            Write(c, Target(c), 0);
        } else if (kind < 9) {
            Append(c);
        } else if (kind < 11) {
            Write(c, Target(c), Pick(2) + 1);
        } else if (kind < 15) {
            const int target = Pick(3);
            direction = target == 0 ? 1 : (target == 1 ? -1 : direction);
            Go(c, target == 0 ? -3 : (target == 1 ? -4 : AnyRecord()));
        } else if (kind < 18) {
            Seek(c);
            direction = 1;
        } else if (kind < 19) {
            const bool wasOn = p.on;
            const int32_t record = t.CurrentRecord();
            p.tag = (p.tag + 1 + Pick(Tags() - 1)) % Tags();
            if (Pick(4) == 0) t.SetShowDeleted(!t.ShowDeleted());
            t.SetOrder(kTags[p.tag], true);
            if (wasOn) {
                ASSERT_EQ(t.CurrentRecord(), record) << "the order changed to " << kTags[p.tag];
                Stand(c, record);
            } else {
                Go(c, -3);
            }
        } else {
            cursors_[c].reset();
            Open(c);
            if (::testing::Test::HasFatalFailure()) return;
            Go(c, -3);
        }
        if (::testing::Test::HasFatalFailure()) return;
        if (places_[c].on) Walk(c, 1 + Pick(4), direction);
        if (::testing::Test::HasFatalFailure()) return;
        SCOPED_TRACE("the other cursor");
        const int o = 1 - c;
        if (!places_[o].on) Go(o, Pick(2) ? -3 : -4);
        if (places_[o].on && !::testing::Test::HasFatalFailure()) Walk(o, 1 + Pick(3), Pick(2) ? 1 : -1);
    }

    // Every order of cursor c walked both ways: the model's order of its visible records.
    void ExpectWhole(int c) {
        NVO_dBHandler& t = *cursors_[c];
        for (int tag = 0; tag < Tags(); ++tag) {
            SCOPED_TRACE(kTags[tag]);
            std::vector<int32_t> wanted, forward, backward;
            for (int32_t r : Order(tag))
                if (Visible(c, r)) wanted.push_back(r);
            t.SetOrder(kTags[tag], false);
            for (t.Go(-3); !t.Eof() && forward.size() <= rows_.size(); t.Skip(1)) forward.push_back(t.CurrentRecord());
            ASSERT_EQ(forward, wanted);
            for (t.Go(-4); !t.Bof() && backward.size() <= rows_.size(); t.Skip(-1))
                backward.insert(backward.begin(), t.CurrentRecord());
            ASSERT_EQ(backward, wanted);
        }
        places_[c].tag = Tags() - 1;
        places_[c].on = false;
    }

    // Both cursors' orders, then, with both closed, a fresh exclusive cursor's and the trees
    // as the files' bytes hold them; the cursors open again.
    void ExpectAllWhole() {
        for (int c = 0; c < 2 && !::testing::Test::HasFatalFailure(); ++c) {
            SCOPED_TRACE(c ? "cursor B" : "cursor A");
            ExpectWhole(c);
        }
        if (::testing::Test::HasFatalFailure()) return;
        cursors_[0].reset();
        cursors_[1].reset();
        SCOPED_TRACE("alone");
        Open(0, false);
        if (::testing::Test::HasFatalFailure()) return;
        cursors_[0]->SetShowDeleted(true);
        ExpectWhole(0);
        cursors_[0].reset();
        for (const std::string& file : files_) {
            const nvtest::TreeFileReport report = nvtest::CheckIndexTrees(dir_.File(file), {"AGE"});
            ASSERT_TRUE(report.Ok()) << report.Problems();
            for (int tag = 0; tag < Tags(); ++tag) {
                const nvtest::TreeReport* tree = report.Tag(kTags[tag]);
                if (!tree) continue;
                std::vector<int32_t> wanted = Order(tag);
                // A descending CDX tag is an ascending tree walked backwards.
                if (tag == kRName && !tree->descending) std::reverse(wanted.begin(), wanted.end());
                ASSERT_EQ(tree->Records(), wanted) << kTags[tag] << " in " << file;
            }
        }
        Open(0);
        Open(1);
    }

    dbftest::TempDir dir_;
    std::string table_;
    std::vector<std::string> files_;
    std::mt19937 rng_;
    std::vector<Row> rows_;
    int64_t stamps_ = 0;
    std::array<std::unique_ptr<NVO_dBHandler>, 2> cursors_;
    std::array<Place, 2> places_;
};

TEST_P(IndexStressShared, TwoProgramsChangingAndWalkingAtRandomAgreeWithTheModel) {
    const int steps = 600 * ixtest::StressScale();
    Open(0);
    Open(1);
    const std::string run =
        "seed " + std::to_string(ixtest::StressSeed()) + ", scale " + std::to_string(ixtest::StressScale());
    for (int step = 1; step <= steps && !HasFatalFailure(); ++step) {
        const int c = Pick(2);
        SCOPED_TRACE(run + ", step " + std::to_string(step) + " by " + (c ? "B" : "A"));
        try {
            Step(c);
            if (!HasFatalFailure() && (step % 100 == 0 || step == steps)) ExpectAllWhole();
        } catch (const std::exception& e) {
            FAIL() << "engine error: " << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexStressShared, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext); });

}  // namespace
