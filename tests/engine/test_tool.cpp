#include <gtest/gtest.h>

#include <set>

#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_tool.h"

namespace {

TnvVariant Str(std::string_view s) {
    TnvVariant v;
    v.PutString(s);
    return v;
}

int Cmp(const TnvVariant& a, const TnvVariant& b, int prefix, int32_t* pos = nullptr) {
    int32_t p = 0;
    int r = a.Compare(&b, p, nullptr, prefix);
    if (pos) *pos = p;
    return r;
}

TEST(Variant, CharacterComparisonWithPrefixRuleAndPosition) {
    int32_t pos = 0;
    EXPECT_EQ(Cmp(Str("ABC"), Str("ABCD"), 0), 0);
    EXPECT_EQ(Cmp(Str("ABC"), Str("ABCD"), -1, &pos), -1);
    EXPECT_EQ(pos, 4);
    EXPECT_EQ(Cmp(Str("ABD"), Str("ABC"), -1, &pos), 1);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(Cmp(Str("ABCD"), Str("ABC"), 0, &pos), 1);  // the longer is never a prefix match
    EXPECT_EQ(Cmp(Str("ABC"), Str("ABC"), -1, &pos), 0);
    EXPECT_EQ(pos, 4);
    // An empty value is smaller even when prefixes match.
    EXPECT_EQ(Cmp(Str(""), Str("A"), 0), -1);
    EXPECT_EQ(Cmp(Str("A"), Str(""), 0), 1);
    // Bytes compare unsigned; a collation table reorders them.
    EXPECT_EQ(Cmp(Str("\xE9"), Str("f"), -1), 1);
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
    table[0xE9] = 'e';
    int32_t p;
    TnvVariant f = Str("f");
    EXPECT_EQ(Str("\xE9").Compare(&f, p, table, -1), -1);
}

TEST(Variant, KindRulesOfComparison) {
    TnvVariant date, num, bin, empty;
    date.PutDate(2453401);
    num.PutNumber(3.5);
    int32_t d = 2453400;
    bin.PutBinary(&d, 4);
    int32_t p;
    EXPECT_THROW(Str("A").Compare(&date, p, nullptr, -1), ENorvaneError);
    EXPECT_EQ(bin.Compare(&date, p, nullptr, -1), -1);   // binary read as a date
    EXPECT_EQ(date.Compare(&bin, p, nullptr, -1), 1);
    EXPECT_EQ(empty.Compare(&date, p, nullptr, -1), -1);
    EXPECT_EQ(empty.Compare(&empty, p, nullptr, -1), 0);
    EXPECT_EQ(date.Compare(nullptr, p, nullptr, -1), 1);
    // A short binary value read as a number takes its missing bytes as zero.
    uint8_t one = 1;
    TnvVariant shortBin;
    shortBin.PutBinary(&one, 1);
    EXPECT_EQ(shortBin.Compare(&num, p, nullptr, -1), -1);
    // The sort's loose comparison lets a numeric image meet a binary one.
    TnvVariant img;
    img.PutBinary("\x01\x02", 2);
    TnvVariant numericImage;
    numericImage.PutBinary("\x01\x03", 2);
    numericImage.SetKind(TnvVariant::kNumeric);
    EXPECT_EQ(numericImage.CompareLoose(&img, p, nullptr, 1), 1);
    TnvVariant text = Str("x");
    EXPECT_THROW(numericImage.Compare(&text, p, nullptr, 1), ENorvaneError);
    EXPECT_NO_THROW(numericImage.CompareLoose(&text, p, nullptr, 1));
}

TEST(Variant, ReadingsOfEachKind) {
    EXPECT_TRUE(Str("yes").AsLogical());
    EXPECT_TRUE(Str("J").AsLogical());
    EXPECT_FALSE(Str("N").AsLogical());
    EXPECT_DOUBLE_EQ(Str(" -12.5 ").AsNumber(), -12.5);
    EXPECT_THROW(Str("12x").AsNumber(), EConvertError);
    EXPECT_EQ(Str("20050130").AsDate(), 2453401);
    TnvVariant n;
    n.PutNumber(20050130.7);
    EXPECT_EQ(n.AsDate(), 2453401);
    EXPECT_TRUE(n.AsLogical());
    n.PutNumber(-4);
    EXPECT_EQ(n.AsDate(), 0);
    n.PutNumber(0.25);
    EXPECT_EQ(n.AsString(), "0.25");
    TnvVariant l;
    l.PutLogical(1);
    EXPECT_EQ(l.AsString(), "T");
    EXPECT_DOUBLE_EQ(l.AsNumber(), 1.0);
    TnvVariant empty;
    EXPECT_EQ(empty.AsString(), "");
    EXPECT_FALSE(empty.AsLogical());
    char buf[8];
    EXPECT_STREQ(Str("ab").AsPChar(buf), "ab");
}

TEST(Variant, BufferOperations) {
    TnvVariant v(4);
    v.PutString("ab");
    v.PadRight(5);
    EXPECT_EQ(v.AsString(), "ab   ");
    v.PadRight(2);
    EXPECT_EQ(v.Length(), 5);
    v.TrimRight();
    EXPECT_EQ(v.AsString(), "ab");
    v.AppendBinary("cd", 2);
    EXPECT_EQ(v.Kind(), TnvVariant::kBinary);
    EXPECT_EQ(v.AsString(), "abcd");
    v.AppendBinary(v.Data(), v.Length());  // from its own buffer
    EXPECT_EQ(v.AsString(), "abcdabcd");
    TnvVariant copy = v;
    v.PutString("x");
    EXPECT_EQ(copy.AsString(), "abcdabcd");
    EXPECT_TRUE(copy.Assign(&v));
    EXPECT_FALSE(copy.Assign(nullptr));
    EXPECT_EQ(copy.Kind(), TnvVariant::kEmpty);
    TnvVariant u;
    u.PutString("\xe9t\xe9");
    u.UpperCase();
    EXPECT_EQ(u.AsString(), "\xc9T\xc9");
}

TEST(HugeSet, PagesAppearOnlyWhenChanged) {
    TnvHugeSet set;
    EXPECT_FALSE(set.Test(5));
    EXPECT_EQ(set.Highest(), -1);
    set.Change(300000, 1);
    EXPECT_TRUE(set.Test(300000));
    EXPECT_FALSE(set.Test(299999));
    EXPECT_EQ(set.Highest(), 300000);
    set.Change(7, 2);
    EXPECT_TRUE(set.Test(7));
    set.Change(7, 2);
    EXPECT_FALSE(set.Test(7));
    set.Change(400000, 9);  // no change of the bit, but the highest index moves
    EXPECT_EQ(set.Highest(), 400000);
    EXPECT_FALSE(set.Test(400000));
    set.Change(10, 1);
    EXPECT_EQ(set.NextSet(0), 10);
    EXPECT_EQ(set.NextSet(11), 300000);
    EXPECT_EQ(set.PriorSet(299999), 10);
    EXPECT_EQ(set.PriorSet(9), -1);
    EXPECT_EQ(set.NextSet(300001), -1);
    set.ClearAll();
    EXPECT_FALSE(set.Test(10));
    EXPECT_EQ(set.Highest(), -1);
}

class Owner : public TnvSortOwner {
public:
    explicit Owner(bool descending) : descending_(descending) {}
    const uint8_t* CollationTable() const override { return nullptr; }
    bool Descending() const override { return descending_; }

private:
    bool descending_;
};

TEST(PageCollection, StoresSharedPrefixesOnceAndReadsBackAcrossPages) {
    Owner owner(false);
    TnvPageCollection pc(&owner);
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) keys.push_back("KEY-" + std::to_string(100000 + i) + std::string(i % 40, 'z'));
    std::string prev;
    for (const std::string& k : keys) {
        std::size_t common = 0;
        while (common < prev.size() && common < k.size() && prev[common] == k[common]) ++common;
        pc.Add(Str(k), TnvPageCollection::kTagCharacter, static_cast<int32_t>(k.size() - common));
        prev = k;
    }
    ASSERT_TRUE(pc.Rewind());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(pc.Positioned());
        ASSERT_EQ(pc.Current().AsString(), keys[i]) << i;
        EXPECT_EQ(pc.Current().Kind(), TnvVariant::kCharacter);
        if (i + 1 < keys.size()) {
            ASSERT_TRUE(pc.Next());
        }
    }
    EXPECT_FALSE(pc.Next());
    EXPECT_FALSE(pc.Positioned());
}

TEST(PageCollection, OfferMinPicksTheSmallestOrLargest) {
    for (bool descending : {false, true}) {
        Owner owner(descending);
        TnvPageCollection a(&owner), b(&owner), c(&owner);
        a.Add(Str("M"), TnvPageCollection::kTagCharacter, 1);
        b.Add(Str("C"), TnvPageCollection::kTagCharacter, 1);
        c.Add(Str("X"), TnvPageCollection::kTagCharacter, 1);
        a.Rewind();
        b.Rewind();
        c.Rewind();
        const TnvVariant* best = nullptr;
        TnvPageCollection* owner2 = nullptr;
        for (TnvPageCollection* p : {&a, &b, &c}) p->OfferMin(best, owner2);
        EXPECT_EQ(owner2, descending ? &c : &b);
    }
}

TEST(Helpers, NamesAndPadding) {
    EXPECT_EQ(DefaultExt("/data/people", ".DBF"), "/data/people.DBF");
    EXPECT_EQ(DefaultExt("/data/people.dbf", ".DBF"), "/data/people.dbf");
    EXPECT_EQ(DefaultExt("/da.ta/people", ".DBF"), "/da.ta/people.DBF");
    EXPECT_EQ(BaseName("/da.ta/people.dbf"), "people");
    EXPECT_EQ(BaseName("people"), "people");
    char buf[8] = "ab";
    PadTo(buf, '.', 5);
    EXPECT_STREQ(buf, "ab...");
    char oem[2] = {'\xe9', 0}, back[2] = {};
    ToOem(oem, oem, 1);
    EXPECT_EQ(static_cast<uint8_t>(oem[0]), 0x82);
    ToAnsi(oem, back, 1);
    EXPECT_EQ(static_cast<uint8_t>(back[0]), 0xE9);
}

TEST(Helpers, UniqueNameNeverRepeatsEvenWithAStoppedClock) {
    nvlocale::LocalDateTime fixed{2026, 12, 8, 9, 5, 7, 123};
    nvlocale::SetClockForTesting(&fixed);
    std::string first = UniqueName();
    EXPECT_EQ(first[0], 'A' + (1208 + 10000) % 26);
    std::string second = UniqueName();
    nvlocale::SetClockForTesting(nullptr);
    EXPECT_NE(first.substr(0, 8), second.substr(0, 8));
    std::set<std::string> seen;
    std::string last;
    for (int i = 0; i < 20; ++i) {
        std::string n = UniqueName();
        EXPECT_NE(n.substr(0, 8), last);
        last = n.substr(0, 8);
    }
}

}  // namespace
