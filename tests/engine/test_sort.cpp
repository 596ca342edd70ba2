#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "nv6_glbl.h"
#include "nv6_os.h"
#include "nv6_sort.h"

namespace {

TnvVariant Text(const std::string& s) {
    TnvVariant v;
    v.PutString(s);
    return v;
}
TnvVariant Number(double d) {
    TnvVariant v;
    v.PutNumber(d);
    return v;
}
TnvVariant Date(int32_t day) {
    TnvVariant v;
    v.PutDate(day);
    return v;
}
TnvVariant Binary(const std::string& bytes) {
    TnvVariant v;
    v.PutBinary(bytes.data(), static_cast<int>(bytes.size()));
    return v;
}

template <class T>
struct Key {
    T value;
    int32_t rec;
    bool operator==(const Key&) const = default;
};

std::vector<Key<std::string>> DrainText(TnvSort& sort, bool unique = false) {
    std::vector<Key<std::string>> out;
    TnvVariant v;
    int32_t rec = 0;
    while (unique ? sort.NextUnique(v, rec) : sort.NextKey(v, rec)) {
        EXPECT_EQ(v.Kind(), TnvVariant::kCharacter);
        out.push_back({v.AsString(), rec});
    }
    return out;
}

std::vector<Key<double>> DrainNumbers(TnvSort& sort, bool unique = false) {
    std::vector<Key<double>> out;
    TnvVariant v;
    int32_t rec = 0;
    while (unique ? sort.NextUnique(v, rec) : sort.NextKey(v, rec)) {
        EXPECT_EQ(v.Kind(), TnvVariant::kNumeric);
        out.push_back({v.AsNumber(), rec});
    }
    return out;
}

uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }

std::string ExpectRaise(const std::function<void()>& f) {
    try {
        f();
    } catch (const ENorvaneError& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no ENorvaneError raised";
    return {};
}

// Random doubles with many repeats, negatives, fractions and magnitudes far apart, added in
// record order as a table pass does; enough of them to fill the trie several times.
TEST(SortEngine, ManyRunsOfNumbersMergeIntoOneOrderDecodedExactly) {
    std::mt19937 rng(7);
    std::vector<double> pool = {0.0, 3.0, 3.0000001, -100.0, -100.5, 1e300, -1e300};
    for (int i = 0; i < 1000; ++i) pool.push_back(std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng), 40));
    auto randomValue = [&] {
        const double mantissa = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        return std::ldexp(mantissa, std::uniform_int_distribution<int>(-30, 30)(rng));
    };

    TnvSort sort(9, nullptr, true, false);
    sort.SetMemoryBudget(1 << 20);  // a small budget, so that runs go to the spill file
    std::vector<Key<double>> expected;
    const int32_t count = 160000;
    for (int32_t rec = 1; rec <= count; ++rec) {
        // One key in four repeats a value of a small pool, the rest are all different.
        const double d = rec % 4 == 0 ? pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng)]
                                      : randomValue();
        sort.AddKey(Number(d), rec);
        expected.push_back({d, rec});
    }
    EXPECT_EQ(sort.KeyCount(), count);
    EXPECT_GE(sort.RunCount(), 3) << "the test must make the sort spill";

    std::stable_sort(expected.begin(), expected.end(),
                     [](const Key<double>& a, const Key<double>& b) { return a.value < b.value; });
    const auto got = DrainNumbers(sort);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(Bits(got[i].value), Bits(expected[i].value)) << "at " << i;
        ASSERT_EQ(got[i].rec, expected[i].rec) << "at " << i;
    }
}

// Equal values spread over several runs and added out of record order still come out by
// record number; a descending sort reverses the values but not the records of equal ones.
TEST(SortEngine, EqualKeysComeOutByRecordInBothDirectionsAcrossRuns) {
    for (bool ascending : {true, false}) {
        SCOPED_TRACE(ascending ? "ascending" : "descending");
        std::mt19937 rng(11);
        std::vector<int32_t> recs(50000);
        for (std::size_t i = 0; i < recs.size(); ++i) recs[i] = static_cast<int32_t>(i + 1);
        std::shuffle(recs.begin(), recs.end(), rng);

        TnvSort sort(30, nullptr, ascending, false);
        sort.SetMemoryBudget(1 << 20);
        std::vector<Key<std::string>> expected;
        for (int32_t rec : recs) {
            // Long random tails cost many nodes per key, so the trie spills often.
            std::string s = "K" + std::to_string(rec % 97);
            s.append(std::to_string(rng()));
            s.resize(24, static_cast<char>('a' + rec % 3));
            if (rec % 5 == 0) s = "SAME";
            sort.AddKey(Text(s + "   "), rec);
            expected.push_back({s, rec});
        }
        std::sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
            if (a.value != b.value) return ascending ? a.value < b.value : a.value > b.value;
            return a.rec < b.rec;
        });
        const auto got = DrainText(sort);
        EXPECT_GE(sort.RunCount(), 3);
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
}

// Only a sort that outgrows one batch makes a temporary file, and a spill that cannot be
// written stops the sort with an engine error instead of losing keys.
TEST(SortEngine, SpillsOnlyBeyondOneBatchAndReportsAFailedSpill) {
    {
        NvFaultPlatform faults;
        NvPlatformScope use(faults);
        TnvSort sort(12, nullptr, true, false);
        for (int32_t rec = 1; rec <= 2000; ++rec) sort.AddKey(Text("K" + std::to_string(rec % 300)), rec);
        EXPECT_EQ(DrainText(sort).size(), 2000u);
        EXPECT_EQ(faults.Calls(NvOsOp::Open), 0);
    }
    NvFaultPlatform faults;
    faults.Fail(NvOsOp::Write, 2);
    NvPlatformScope use(faults);
    TnvSort sort(12, nullptr, true, false);
    sort.SetMemoryBudget(1 << 20);
    const std::string message = ExpectRaise([&] {
        for (int32_t rec = 1; rec <= 100000; ++rec) sort.AddKey(Text("K" + std::to_string(rec)), rec);
    });
    EXPECT_NE(message.find("norvane-sort-"), std::string::npos) << message;
    EXPECT_EQ(faults.Calls(NvOsOp::Write), 2);
}

// The undecoded delivery a page builder uses gives what NextUnique gives: the same keys in
// the same order, each kind decoding back to the value, text as its bytes.
TEST(SortEngine, UndecodedKeysMatchTheDecodedOnes) {
    for (bool ascending : {true, false}) {
        auto fill = [&](TnvSort& sort) {
            for (int32_t rec = 1; rec <= 60; ++rec) {
                switch (rec % 4) {
                    case 0: sort.AddKey(Text("T" + std::to_string(rec % 7) + "  "), rec); break;
                    case 1: sort.AddKey(Number(rec % 5 - 2.5), rec); break;
                    case 2: sort.AddKey(Date(2450000 + rec % 6), rec); break;
                    default: sort.AddKey(Binary(std::string("\0b", 2) + std::to_string(rec % 3)), rec); break;
                }
            }
        };
        TnvSort decoded(12, nullptr, ascending, true);
        TnvSort raw(12, nullptr, ascending, true);
        fill(decoded);
        fill(raw);
        TnvVariant want, got;
        int32_t rec = 0;
        TnvSortKey key;
        int n = 0;
        while (decoded.NextUnique(want, rec)) {
            ASSERT_TRUE(raw.NextUniqueKey(key)) << n;
            EXPECT_EQ(key.recNo, rec) << n;
            EXPECT_EQ(key.kind, want.Kind()) << n;
            raw.DecodeKey(key, got);
            EXPECT_EQ(got.Kind(), want.Kind()) << n;
            EXPECT_EQ(got.View(), want.View()) << n;
            if (want.Kind() == TnvVariant::kCharacter || want.Kind() == TnvVariant::kBinary) {
                EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(key.bytes), static_cast<std::size_t>(key.length)),
                          want.View()) << n;
            }
            ++n;
        }
        EXPECT_FALSE(raw.NextUniqueKey(key));
        EXPECT_EQ(n, 7 + 5 + 3 + 3);  // dates come from even records only
    }
}

TEST(SortEngine, NumbersOrderAndDecodeExactly) {
    const std::vector<double> values = {
        2.0, -1.0, 0.0, -1.5, 1e308, -1e308, 0.1, 1.0 / 3.0, -2.0 / 3.0,
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        4503599627370497.0, -0.25, 123456789.125, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()};
    TnvSort sort(9, nullptr, true, false);
    for (std::size_t i = 0; i < values.size(); ++i) sort.AddKey(Number(values[i]), static_cast<int32_t>(i + 1));
    std::vector<double> expected = values;
    std::sort(expected.begin(), expected.end());
    const auto got = DrainNumbers(sort);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(Bits(got[i].value), Bits(expected[i])) << got[i].value << " vs " << expected[i];
        EXPECT_EQ(values[static_cast<std::size_t>(got[i].rec - 1)], got[i].value);
    }
}

// Values whose images share their leading bytes: the record number appended to the shorter
// value must never be compared with the longer value's low bytes.
TEST(SortEngine, NumbersSharingLeadingBytesKeepTheirOrderAtHighRecordNumbers) {
    TnvSort sort(9, nullptr, true, false);
    sort.AddKey(Number(3.0), 20000);
    sort.AddKey(Number(3.0000001), 1);
    sort.AddKey(Number(-100.0), 70000);
    sort.AddKey(Number(-100.5), 2);
    sort.AddKey(Number(1.0), 0x01000000);
    sort.AddKey(Number(std::nextafter(1.0, 2.0)), 3);
    const auto got = DrainNumbers(sort);
    const std::vector<Key<double>> expected = {{-100.5, 2}, {-100.0, 70000}, {1.0, 0x01000000},
                                               {std::nextafter(1.0, 2.0), 3}, {3.0, 20000},
                                               {3.0000001, 1}};
    EXPECT_TRUE(got == expected);
}

TEST(SortEngine, DatesCharactersAndBinaryKeepTheirKind) {
    TnvSort dates(5, nullptr, true, false);
    dates.AddKey(Date(2453401), 1);
    dates.AddKey(Date(2444240), 2);
    dates.AddKey(Date(0), 3);
    dates.AddKey(Date(2453400), 4);
    std::vector<std::pair<int32_t, int32_t>> gotDates;
    TnvVariant v;
    int32_t rec = 0;
    while (dates.NextKey(v, rec)) {
        EXPECT_EQ(v.Kind(), TnvVariant::kDate);
        gotDates.emplace_back(v.AsDate(), rec);
    }
    EXPECT_EQ(gotDates, (std::vector<std::pair<int32_t, int32_t>>{
                            {0, 3}, {2444240, 2}, {2453400, 4}, {2453401, 1}}));

    // Trailing blanks do not count; characters above 127 are unsigned; an empty text sorts first.
    TnvSort text(20, nullptr, true, false);
    text.AddKey(Text("ABD"), 1);
    text.AddKey(Text("ABC   "), 2);
    text.AddKey(Text("\xC4rger"), 3);
    text.AddKey(Text(""), 4);
    text.AddKey(Text("AB"), 5);
    text.AddKey(Text("ABC"), 6);
    EXPECT_TRUE(DrainText(text) == (std::vector<Key<std::string>>{
                                       {"", 4}, {"AB", 5}, {"ABC", 2}, {"ABC", 6}, {"ABD", 1},
                                       {"\xC4rger", 3}}));

    TnvSort binary(8, nullptr, true, false);
    binary.AddKey(Binary(std::string("\x01\x00\xff", 3)), 1);
    binary.AddKey(Binary(std::string("\x00\x02", 2)), 2);
    std::vector<std::string> gotBinary;
    while (binary.NextKey(v, rec)) {
        EXPECT_EQ(v.Kind(), TnvVariant::kBinary);
        gotBinary.emplace_back(reinterpret_cast<const char*>(v.Data()), static_cast<std::size_t>(v.Length()));
    }
    EXPECT_EQ(gotBinary, (std::vector<std::string>{std::string("\x00\x02", 2), std::string("\x01\x00\xff", 3)}));
}

// A key whose bytes, record number included, begin another key: both survive, in order.
// (A descending sort stores the record number complemented, hence the two spellings.)
TEST(SortEngine, KeyThatIsAPrefixOfAnotherIsNotLost) {
    for (bool ascending : {true, false}) {
        TnvSort sort(12, nullptr, ascending, false);
        const std::string longer = ascending ? std::string("AB\x00\x00\x00\x05", 6) : std::string("AB\xFF\xFF\xFF\xFA", 6);
        sort.AddKey(Text(longer), 7);
        sort.AddKey(Text("AB"), 5);
        sort.AddKey(Text(longer + "Z"), 1);
        const auto got = DrainText(sort);
        const std::vector<Key<std::string>> expected =
            ascending ? std::vector<Key<std::string>>{{"AB", 5}, {longer, 7}, {longer + "Z", 1}}
                      : std::vector<Key<std::string>>{{longer, 7}, {longer + "Z", 1}, {"AB", 5}};
        EXPECT_TRUE(got == expected) << (ascending ? "ascending" : "descending");
    }
}

TEST(SortEngine, UniqueKeepsTheLowestRecordOfEachValue) {
    for (bool ascending : {true, false}) {
        SCOPED_TRACE(ascending ? "ascending" : "descending");
        TnvSort sort(9, nullptr, ascending, true);
        const std::vector<double> values = {5, 1, 5, -0.0, 2, 0.0, 1, 5};
        for (std::size_t i = 0; i < values.size(); ++i) sort.AddKey(Number(values[i]), static_cast<int32_t>(i + 1));
        auto got = DrainNumbers(sort, true);
        // -0 and 0 are one value.
        std::vector<Key<double>> expected = {{0.0, 4}, {1, 2}, {2, 5}, {5, 1}};
        if (!ascending) std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].value, expected[i].value);
            EXPECT_EQ(got[i].rec, expected[i].rec);
        }
    }
    // Without the unique option NextUnique delivers every key.
    TnvSort all(9, nullptr, true, false);
    all.AddKey(Text("X"), 2);
    all.AddKey(Text("X"), 1);
    EXPECT_EQ(DrainText(all, true).size(), 2u);
}

TEST(SortEngine, CollationTableOrdersCharacterKeys) {
    uint8_t fold[256];
    for (int i = 0; i < 256; ++i) fold[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    TnvSort sort(10, fold, true, true);
    sort.AddKey(Text("b"), 1);
    sort.AddKey(Text("A"), 2);
    sort.AddKey(Text("a"), 3);
    sort.AddKey(Text("C"), 4);
    sort.AddKey(Text("B"), 5);
    // Case-folded order; unique treats "a" and "A" as one value and keeps the first delivered.
    EXPECT_TRUE(DrainText(sort, true) == (std::vector<Key<std::string>>{{"A", 2}, {"B", 5}, {"C", 4}}));
}

TEST(SortEngine, RejectsWhatItCannotSort) {
    EXPECT_EQ(ExpectRaise([] { TnvSort s(241, nullptr, true, false); }),
              "Sort key length must be 1-240 bytes, is 241");
    EXPECT_EQ(ExpectRaise([] { TnvSort s(0, nullptr, true, false); }),
              "Sort key length must be 1-240 bytes, is 0");
    TnvSort longest(240, nullptr, true, false);
    longest.AddKey(Text(std::string(240, 'x')), 1);
    EXPECT_EQ(longest.KeyCount(), 1);

    TnvSort sort(5, nullptr, true, false);
    EXPECT_EQ(ExpectRaise([&] { sort.AddKey(Text("123456"), 1); }), "Sort key length must be 1-5 bytes, is 6");
    EXPECT_EQ(ExpectRaise([&] { sort.AddKey(Number(1.0), 1); }), "Sort key length must be 1-5 bytes, is 8");
    TnvVariant logical;
    logical.PutLogical(1);
    EXPECT_EQ(ExpectRaise([&] { sort.AddKey(logical, 1); }), "Variant type cannot be sorted");
    EXPECT_EQ(ExpectRaise([&] { sort.AddKey(TnvVariant(), 1); }), "Variant type cannot be sorted");
    EXPECT_EQ(sort.KeyCount(), 0);

    sort.AddKey(Text("A"), 1);
    TnvVariant v;
    int32_t rec = 0;
    ASSERT_TRUE(sort.NextKey(v, rec));
    EXPECT_EQ(ExpectRaise([&] { sort.AddKey(Text("B"), 2); }), "Cannot add sort keys after beginning retrieval");
    EXPECT_FALSE(sort.NextKey(v, rec));
    EXPECT_FALSE(sort.NextKey(v, rec));
}

TEST(SortEngine, EmptySortDeliversNothing) {
    TnvSort sort(10, nullptr, false, true);
    TnvVariant v;
    int32_t rec = -1;
    EXPECT_FALSE(sort.NextUnique(v, rec));
    EXPECT_FALSE(sort.NextKey(v, rec));
    EXPECT_EQ(sort.KeyCount(), 0);
    EXPECT_EQ(sort.RunCount(), 0);
}

// A table stand-in: record n holds the text of names[n-1]; records whose text starts with "-"
// fail the FOR condition.
class FakeTable : public TnvSortRecordSource {
public:
    explicit FakeTable(std::vector<std::string> names) : names_(std::move(names)) {}
    int32_t RecordCount() override { return static_cast<int32_t>(names_.size()); }
    bool NextRecord() override { return ++at_ <= RecordCount(); }
    int32_t RecordNumber() override { return at_; }
    bool ForHolds() override { return names_[static_cast<std::size_t>(at_ - 1)][0] != '-'; }
    void KeyValue(TnvVariant& key) override { key.PutString(names_[static_cast<std::size_t>(at_ - 1)]); }

private:
    std::vector<std::string> names_;
    int32_t at_ = 0;
};

TEST(SortEngine, RecordPassFeedsQualifyingKeysAndReportsBothPhases) {
    FakeTable table({"PEAR", "-skip", "APPLE", "PEAR", "FIG"});
    TnvSort sort(10, nullptr, true, true);
    std::vector<std::tuple<int32_t, int32_t, int32_t>> reports;
    const TnvSortProgress progress = [&](int32_t a, int32_t b, int32_t c) { reports.emplace_back(a, b, c); };

    EXPECT_EQ(NvSortRecords(sort, table, progress), 4);
    EXPECT_EQ(reports, (std::vector<std::tuple<int32_t, int32_t, int32_t>>{
                           {-1, 1, 5}, {1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {1, 4, 0}, {1, 5, 0}, {0, 0, 0}}));

    reports.clear();
    std::vector<Key<std::string>> written;
    const int32_t n = NvSortDrain(sort, 5, progress, [&](const TnvVariant& key, int32_t rec) {
        written.push_back({key.AsString(), rec});
    });
    EXPECT_EQ(n, 3);
    EXPECT_TRUE(written == (std::vector<Key<std::string>>{{"APPLE", 3}, {"FIG", 5}, {"PEAR", 1}}));
    EXPECT_EQ(reports, (std::vector<std::tuple<int32_t, int32_t, int32_t>>{
                           {-1, 2, 5}, {2, 1, 0}, {2, 2, 0}, {2, 3, 0}, {0, 0, 0}}));

    // No progress receiver at all is fine.
    FakeTable empty({});
    TnvSort none(10, nullptr, true, false);
    EXPECT_EQ(NvSortRecords(none, empty, nullptr), 0);
    EXPECT_EQ(NvSortDrain(none, 0, nullptr, [](const TnvVariant&, int32_t) { FAIL(); }), 0);
}

}  // namespace
