// The platform locale: settings, ANSI case and collation, clock, numbers and code pages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <limits>
#include <random>
#include <string>

#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv_iconv.h"

using namespace nvlocale;
using namespace nvtest;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

class LocaleTest : public ::testing::Test {
protected:
    void TearDown() override {
        ResetDefaults();
        SetClockForTesting(nullptr);
    }
};

}  // namespace

// --- settings and clock ---------------------------------------------------------------

TEST_F(LocaleTest, ClockIsFixableAndOtherwiseFollowsTheSystem) {
    LocalDateTime fixed{2005, 1, 30, 13, 45, 7, 321};
    SetClockForTesting(&fixed);
    fixed.year = 1999;  // the hook keeps its own copy
    LocalDateTime t = Now();
    EXPECT_EQ(t.year, 2005);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 30);
    EXPECT_EQ(t.hour, 13);
    EXPECT_EQ(t.minute, 45);
    EXPECT_EQ(t.second, 7);
    EXPECT_EQ(t.millisecond, 321);

    SetClockForTesting(nullptr);
    std::time_t before = std::time(nullptr);
    LocalDateTime r = Now();
    std::tm tm{};
    localtime_r(&before, &tm);
    EXPECT_EQ(r.year, tm.tm_year + 1900);
    EXPECT_GE(r.month, 1);
    EXPECT_LE(r.month, 12);
    EXPECT_GE(r.millisecond, 0);
    EXPECT_LE(r.millisecond, 999);
    // Within a few seconds of the C library's local time (allow a minute boundary).
    int a = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    int b = r.hour * 3600 + r.minute * 60 + r.second;
    EXPECT_LE(std::abs(b - a) % 86400, 5);
}

TEST_F(LocaleTest, ShortDateParserFollowsPatternOrderAndSeparator) {
    LocalDateTime today{2025, 6, 15, 12, 0, 0, 0};
    SetClockForTesting(&today);
    int y = 0, m = 0, d = 0;
    ASSERT_TRUE(TryParseShortDate("1/30/2005", y, m, d));  // M/d/yyyy
    EXPECT_EQ(y * 10000 + m * 100 + d, 20050130);
    ASSERT_TRUE(TryParseShortDate(" 02/29/2000 ", y, m, d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20000229);
    ASSERT_TRUE(TryParseShortDate("3/4", y, m, d));  // month and day of this year
    EXPECT_EQ(y * 10000 + m * 100 + d, 20250304);

    SetShortDatePattern("dd.MM.yy");
    SetDateSeparator('.');
    ASSERT_TRUE(TryParseShortDate("30.01.2005", y, m, d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20050130);
    // Two-digit years: from 50 before to 49 after this year.
    ASSERT_TRUE(TryParseShortDate("30.01.75", y, m, d));
    EXPECT_EQ(y, 1975);
    ASSERT_TRUE(TryParseShortDate("30.01.74", y, m, d));
    EXPECT_EQ(y, 2074);
    ASSERT_TRUE(TryParseShortDate("1.2.5", y, m, d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20050201);

    SetShortDatePattern("yyyy-MM-dd");
    SetDateSeparator('-');
    ASSERT_TRUE(TryParseShortDate("2005-01-30", y, m, d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20050130);
    ASSERT_TRUE(TryParseShortDate("12-24", y, m, d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20251224);

    ResetDefaults();  // back to M/d/yyyy with '/'
    EXPECT_EQ(ShortDatePattern(), "M/d/yyyy");
    EXPECT_EQ(DecimalSeparator(), '.');
    y = m = d = -1;
    for (const char* bad : {"", "  ", "1", "1/", "/1/2005", "1/30/2005/1", "13/1/2005",
                            "2/29/2001", "4/31/2005", "0/1/2005", "1/0/2005", "1/1/0000",
                            "1/1/10000", "1.30.2005", "1/30/2005x", "a/b/c", "1//2005",
                            "00001/1/2005"}) {
        EXPECT_FALSE(TryParseShortDate(bad, y, m, d)) << bad;
    }
    EXPECT_EQ(y, -1);  // untouched on failure
    try {
        ParseShortDate("31/31/99", y, m, d);
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'31/31/99' is not a valid date");
    }
}

// --- ANSI case and collation ----------------------------------------------------------

TEST_F(LocaleTest, CaseMappingCoversEveryLetterOfTheAnsiPage) {
    EXPECT_EQ(AnsiUpperCase("abc xyz 123"), "ABC XYZ 123");
    EXPECT_EQ(AnsiLowerCase("ABC XYZ 123"), "abc xyz 123");
    // à->À, é->É, ñ->Ñ, ø->Ø, þ->Þ, š->Š, œ->Œ, ž->Ž, ÿ->Ÿ
    const std::string lower = Bytes({0xE0, 0xE9, 0xF1, 0xF8, 0xFE, 0x9A, 0x9C, 0x9E, 0xFF});
    const std::string upper = Bytes({0xC0, 0xC9, 0xD1, 0xD8, 0xDE, 0x8A, 0x8C, 0x8E, 0x9F});
    EXPECT_EQ(AnsiUpperCase(lower), upper);
    EXPECT_EQ(AnsiLowerCase(upper), lower);
    // No single-byte capital: ß, µ, ƒ; not letters: ÷, ×.
    for (int c : {0xDF, 0xB5, 0x83, 0xF7, 0xD7}) {
        EXPECT_EQ(AnsiUpper(static_cast<uint8_t>(c)), c) << c;
        EXPECT_EQ(AnsiLower(static_cast<uint8_t>(c)), c) << c;
    }
    // Upper and lower are inverse on every cased letter and idempotent everywhere.
    for (int c = 0; c < 256; ++c) {
        uint8_t u = AnsiUpper(static_cast<uint8_t>(c));
        uint8_t l = AnsiLower(static_cast<uint8_t>(c));
        EXPECT_EQ(AnsiUpper(u), u);
        EXPECT_EQ(AnsiLower(l), l);
        if (u != c) {
            EXPECT_EQ(AnsiLower(u), c) << c;
        }
        if (l != c) {
            EXPECT_EQ(AnsiUpper(l), c) << c;
        }
    }
}

TEST_F(LocaleTest, CompareSortsAccentsBesideTheirLetter) {
    const std::string eAcute = Bytes({0xE9});   // é
    const std::string aGrave = Bytes({0xE0});   // à
    // Letters by base letter, not by byte: é before f, à before b, Š before T.
    EXPECT_LT(AnsiCompare(eAcute, "f", false), 0);
    EXPECT_GT(AnsiCompare(eAcute, "d", false), 0);
    EXPECT_LT(AnsiCompare(aGrave + "z", "b", false), 0);
    EXPECT_LT(AnsiCompare(Bytes({0x8A}), "T", false), 0);
    // Case is secondary: "apple" before "Banana".
    EXPECT_LT(AnsiCompare("apple", "Banana", false), 0);
    // Texts equal on letters are ordered by bytes, so only identical texts are equal.
    EXPECT_NE(AnsiCompare("e", eAcute, false), 0);
    EXPECT_EQ(AnsiCompare("e", eAcute, false), -AnsiCompare(eAcute, "e", false));
    EXPECT_NE(AnsiCompare("abc", "ABC", false), 0);
    // A primary difference later in the text outweighs an accent earlier on.
    EXPECT_LT(AnsiCompare(eAcute + "a", "eb", false), 0);
    // Prefix first; symbols before digits before letters.
    EXPECT_LT(AnsiCompare("ab", "abc", false), 0);
    EXPECT_LT(AnsiCompare("-", "0", false), 0);
    EXPECT_LT(AnsiCompare("9", "a", false), 0);
    EXPECT_EQ(AnsiCompare("", "", false), 0);
    // ignoreCase: equal after upper-casing, accents included.
    EXPECT_EQ(AnsiCompare("stra" + Bytes({0xDF, 0xE9}), "STRA" + Bytes({0xDF, 0xC9}), true), 0);
    EXPECT_EQ(AnsiCompare(Bytes({0xFF}), Bytes({0x9F}), true), 0);
    EXPECT_LT(AnsiCompare("abc", "ABD", true), 0);
}

// --- numbers --------------------------------------------------------------------------

TEST_F(LocaleTest, ParseNumberAcceptsDecimalForms) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"0", 0.0},         {"42", 42.0},         {"  -3.5  ", -3.5}, {"+7", 7.0},
        {".5", 0.5},        {"5.", 5.0},          {"1e3", 1000.0},    {"1.5E-2", 0.015},
        {"-2e+2", -200.0},  {"\t12\t", 12.0},     {"0001.2500", 1.25}, {"1e-400", 0.0},
        {"123456789012345678901234567890", 1.2345678901234568e29},
    };
    for (const Case& c : cases) {
        double v = -1;
        EXPECT_TRUE(TryParseNumber(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(ParseNumber(c.text), c.value) << c.text;
    }
    EXPECT_TRUE(std::signbit(ParseNumber("-0")));
    EXPECT_EQ(ParseNumber("3,25", ','), 3.25);
    EXPECT_EQ(ParseNumber(" -1,5e1 ", ','), -15.0);
    EXPECT_EQ(ParseNumber("0.1"), 0.1);  // exactly the nearest double
}

// Field images of up to 15 digits take a shortcut; it must give the nearest double too,
// bit for bit what a correctly rounding parser gives, and so must 16 digits and more.
TEST_F(LocaleTest, ParseNumberOfFieldImagesIsTheNearestDouble) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 200000; ++i) {
        const int digits = 1 + static_cast<int>(rng() % 17);
        std::string text = rng() % 3 == 0 ? "-" : (rng() % 7 == 0 ? "+" : "");
        const int point = static_cast<int>(rng() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point && rng() % 4 != 0) text.push_back('.');
            text.push_back(static_cast<char>('0' + rng() % 10));
        }
        double got = 0;
        ASSERT_TRUE(TryParseNumber(text, got)) << text;
        const double want = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text << " gave " << got << ", not " << want;
        // The same digits as a field holds them: right-aligned in a width of up to 24, now
        // and then with blanks after them or a tab among the leading blanks.
        std::string field(rng() % 18, ' ');
        if (!field.empty() && rng() % 9 == 0) field[rng() % field.size()] = '\t';
        field += text + std::string(rng() % 5 == 0 ? rng() % 3 : 0, ' ');
        double fromField = 0;
        ASSERT_TRUE(TryParseNumber(field, fromField)) << '"' << field << '"';
        ASSERT_EQ(std::memcmp(&fromField, &want, sizeof want), 0) << '"' << field << '"';
    }
}

TEST_F(LocaleTest, ParseNumberRejectsEverythingElse) {
    const char* bad[] = {"",     "   ",   "-",    "+",     ".",    "e5",   "1e",  "1e+",
                         "         ",  "      - 5", "   1 2", "  1.5-", "****", "  **.**",
                         "12345678 .5", "         1x", "1\x01", "1..5",
                         "inf",  "-inf",  "nan",  "NaN",   "infinity",    "0x10", "0x1p3",
                         "1.2.3", "1 2",  "12a",  "a12",   "--1",  "+-1",  "1e5.5",
                         "1e999", "-1e400", "1,5"};
    for (const char* text : bad) {
        double v = 99;
        EXPECT_FALSE(TryParseNumber(text, v)) << text;
        EXPECT_EQ(v, 99) << "unchanged on failure: " << text;
    }
    double unused = 0;
    EXPECT_FALSE(TryParseNumber("1.5", unused, ','));
    try {
        ParseNumber(" 12x ");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "' 12x ' is not a valid floating point value");
    }
}

TEST_F(LocaleTest, FormatFixedRoundsTheDecimalValueHalfAwayFromZero) {
    struct Case {
        double value;
        int decimals;
        const char* text;
    } cases[] = {
        {0.125, 2, "0.13"},    {2.675, 2, "2.68"},     {1.005, 2, "1.01"},
        {-0.5, 0, "-1"},       {0.5, 0, "1"},          {1.5, 0, "2"},     {2.5, 0, "3"},
        {-2.5, 0, "-3"},       {0.0, 2, "0.00"},       {-0.0, 2, "0.00"}, {-0.001, 2, "0.00"},
        {-0.004, 2, "0.00"},   {-0.005, 2, "-0.01"},   {0.005, 2, "0.01"}, {0.0005, 2, "0.00"},
        {0.95, 1, "1.0"},      {9.96, 1, "10.0"},      {-999.9996, 3, "-1000.000"},
        {99.5, 0, "100"},      {123.0, 0, "123"},      {3.14159, 4, "3.1416"},
        {1.25, 6, "1.250000"}, {-1.25, 6, "-1.250000"}, {0.1, 20, "0.10000000000000000000"},
        {1e20, 2, "100000000000000000000.00"},          {-1e20, 0, "-100000000000000000000"},
        {123456789.125, 2, "123456789.13"},            {5e-324, 0, "0"},
        {7.0, -3, "7"},       {0.0125, 2, "0.01"},     {0.0155, 2, "0.02"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatFixed(c.value, c.decimals), c.text) << c.value;
    EXPECT_EQ(FormatFixed(-1234.5, 1, ','), "-1234,5");
    EXPECT_EQ(FormatFixed(1.0, 0, ','), "1");
    EXPECT_EQ(FormatFixed(std::numeric_limits<double>::infinity(), 2), "INF");
    EXPECT_EQ(FormatFixed(std::nan(""), 2), "NAN");
    // 1.7976931348623157e308 prints all 309 integer digits.
    std::string big = FormatFixed(std::numeric_limits<double>::max(), 1);
    EXPECT_EQ(big.size(), 311u);
    EXPECT_EQ(big.substr(0, 17), "17976931348623157");
    EXPECT_EQ(big.substr(17), std::string(292, '0') + ".0");
}

// A whole number of units of the last place prints as that number's digits, and so do its
// neighbouring doubles, which lie far closer to it than half a unit.
TEST_F(LocaleTest, FormatFixedOfWholeUnitsGivesTheirDigits) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 30000; ++i) {
        const int decimals = static_cast<int>(rng() % 16);
        const uint64_t units = i % 3 == 0 ? rng() % 1000 : rng() % 1000000000000000ULL;
        std::string digits = std::to_string(units);
        if (digits.size() <= static_cast<std::size_t>(decimals))
            digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
        const std::size_t whole = digits.size() - static_cast<std::size_t>(decimals);
        const std::string text = digits.substr(0, whole) + (decimals > 0 ? "." + digits.substr(whole) : "");
        const double value = static_cast<double>(units) / std::pow(10.0, decimals);
        ASSERT_EQ(FormatFixed(value, decimals), text) << units << " / 10^" << decimals;
        ASSERT_EQ(FormatFixed(-value, decimals), (units > 0 ? "-" : "") + text);
        ASSERT_EQ(FormatFixed(std::nextafter(value, 1e300), decimals), text);
        ASSERT_EQ(FormatFixed(std::nextafter(value, 0.0), decimals), text);
    }
}

TEST_F(LocaleTest, FormatShortestReadsBackAsTheSameDouble) {
    EXPECT_EQ(FormatShortest(0.0), "0");
    EXPECT_EQ(FormatShortest(-0.0), "0");
    EXPECT_EQ(FormatShortest(100.0), "100");
    EXPECT_EQ(FormatShortest(-2.5), "-2.5");
    EXPECT_EQ(FormatShortest(0.1), "0.1");
    EXPECT_EQ(FormatShortest(0.00001), "0.00001");
    EXPECT_EQ(FormatShortest(0.0000099), "9.9E-6");
    EXPECT_EQ(FormatShortest(123456789012345.0), "123456789012345");
    EXPECT_EQ(FormatShortest(1e15), "1E15");
    EXPECT_EQ(FormatShortest(1e20), "1E20");
    EXPECT_EQ(FormatShortest(-1.5e-7), "-1.5E-7");
    EXPECT_EQ(FormatShortest(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(FormatShortest(2.5, ','), "2,5");
    EXPECT_EQ(FormatShortest(1.5e20, ','), "1,5E20");

    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        for (char sep : {'.', ','}) {
            std::string s = FormatShortest(v, sep);
            double back = 0;
            ASSERT_TRUE(TryParseNumber(s, back, sep)) << s;
            ASSERT_EQ(back, v) << s;
        }
    }
    for (double v : {5e-324, std::numeric_limits<double>::max(), 1e-5, 9.999999999999999e14})
        EXPECT_EQ(ParseNumber(FormatShortest(v)), v);
}

// --- code pages -----------------------------------------------------------------------

namespace {

struct Page {
    const char* name;
    char32_t (*toUnicode)(uint8_t);
    uint8_t (*fromUnicode)(char32_t);
};
const Page kOem{"IBM437", Cp437ToUnicode, UnicodeToCp437};
const Page kAnsi{"WINDOWS-1252", Cp1252ToUnicode, UnicodeToCp1252};

}  // namespace

TEST_F(LocaleTest, UnicodeTablesMatchIconv) {
    for (const Page* p : {&kOem, &kAnsi}) {
        Iconv toU("UTF-32LE", p->name), fromU(p->name, "UTF-32LE");
        ASSERT_TRUE(toU.ok() && fromU.ok()) << p->name;
        int undefined = 0;
        for (int b = 0; b < 256; ++b) {
            auto u = ByteToUnicode(toU, static_cast<uint8_t>(b));
            if (!u) {
                // Undefined in the page: stands for the C1 control of the same value.
                ++undefined;
                EXPECT_EQ(p->toUnicode(static_cast<uint8_t>(b)), char32_t(b)) << p->name << b;
                continue;
            }
            EXPECT_EQ(p->toUnicode(static_cast<uint8_t>(b)), *u) << p->name << " byte " << b;
        }
        EXPECT_EQ(undefined, p == &kOem ? 0 : 5) << p->name;
        // Every Unicode character of the basic plane iconv can put in the page lands on the
        // same byte; everything else on '?' or a stand-in that is not the same character.
        for (char32_t u = 0; u < 0x10000; ++u) {
            if (u >= 0xD800 && u < 0xE000) continue;
            auto b = UnicodeToByte(fromU, u);
            uint8_t ours = p->fromUnicode(u);
            if (b) {
                ASSERT_EQ(ours, *b) << p->name << " U+" << std::hex << uint32_t(u);
            } else if (u >= 0x80 && u < 0xA0 && p == &kAnsi) {
                // The C1 controls iconv has no byte for: only the undefined bytes carry them.
                bool undefinedByte = u == 0x81 || u == 0x8D || u == 0x8F || u == 0x90 || u == 0x9D;
                ASSERT_EQ(ours, undefinedByte ? uint8_t(u) : uint8_t('?')) << std::hex << uint32_t(u);
            } else if (ours != '?') {
                ASSERT_NE(p->toUnicode(ours), u) << p->name << " U+" << std::hex << uint32_t(u);
            }
        }
    }
}

TEST_F(LocaleTest, OemAnsiTablesAgreeWithIconvWhereBothPagesHaveTheCharacter) {
    Iconv oemToAnsi("WINDOWS-1252", "IBM437"), ansiToOem("IBM437", "WINDOWS-1252");
    ASSERT_TRUE(oemToAnsi.ok() && ansiToOem.ok());
    int sharedOem = 0, sharedAnsi = 0;
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        if (auto r = oemToAnsi.Convert(one)) {
            ++sharedOem;
            EXPECT_EQ(OemToAnsi(one), *r) << "OEM byte " << b;
            // Round trip back to the same OEM byte.
            EXPECT_EQ(AnsiToOem(OemToAnsi(one)), one) << "OEM byte " << b;
        } else {
            // Best fit: never a byte that claims to be the same character.
            uint8_t a = static_cast<uint8_t>(OemToAnsi(one)[0]);
            EXPECT_NE(Cp1252ToUnicode(a), Cp437ToUnicode(static_cast<uint8_t>(b))) << b;
        }
        if (auto r = ansiToOem.Convert(one)) {
            ++sharedAnsi;
            EXPECT_EQ(AnsiToOem(one), *r) << "ANSI byte " << b;
            EXPECT_EQ(OemToAnsi(AnsiToOem(one)), one) << "ANSI byte " << b;
        }
    }
    EXPECT_GE(sharedOem, 128 + 40);  // ASCII plus the Latin-1 letters and signs
    EXPECT_EQ(sharedOem, sharedAnsi);
    // Control characters map to themselves both ways.
    for (int c : {0x00, 0x07, 0x0A, 0x0D, 0x1A, 0x1F, 0x7F}) {
        EXPECT_EQ(OemToAnsi(std::string(1, char(c))), std::string(1, char(c)));
        EXPECT_EQ(AnsiToOem(std::string(1, char(c))), std::string(1, char(c)));
    }
}

TEST_F(LocaleTest, BestFitForCharactersTheTargetLacks) {
    struct Case {
        int from, to;
    };
    // ANSI -> OEM.
    const Case toOem[] = {
        {0xC0, 'A'}, {0xC1, 'A'}, {0xC3, 'A'}, {0xC8, 'E'}, {0xCC, 'I'}, {0xD2, 'O'},
        {0xD8, 'O'}, {0xD9, 'U'}, {0xDD, 'Y'}, {0xE3, 'a'}, {0xF5, 'o'}, {0xF8, 'o'},
        {0xFD, 'y'}, {0x8A, 'S'}, {0x9A, 's'}, {0x8C, 'O'}, {0x9C, 'o'}, {0x8E, 'Z'},
        {0x9E, 'z'}, {0x9F, 'Y'}, {0x80, 'E'}, {0x91, '\''}, {0x92, '\''}, {0x93, '"'},
        {0x94, '"'}, {0x96, '-'}, {0x97, '-'}, {0x85, '.'}, {0x99, 'T'}, {0xA9, 'c'},
        {0xAE, 'R'}, {0xD7, 'x'}, {0xB9, '1'}, {0xB3, '3'}, {0xA6, '|'},
        {0x95, 0xF9},                                       // • -> ∙
        {0x83, 0x9F},                                       // ƒ exists in both
        {0xA4, '?'}, {0xA7, '?'}, {0xB6, '?'}, {0xBE, '?'}, {0xDE, '?'}, {0xFE, '?'},
        {0x81, '?'}, {0x8D, '?'}, {0x8F, '?'}, {0x90, '?'}, {0x9D, '?'},
    };
    for (const Case& c : toOem)
        EXPECT_EQ(static_cast<uint8_t>(AnsiToOem(Bytes({c.from}))[0]), c.to) << c.from;
    // OEM -> ANSI.
    const Case toAnsi[] = {
        {0xB3, '|'}, {0xBA, '|'}, {0xC4, '-'}, {0xCD, '-'}, {0xDA, '+'}, {0xBF, '+'},
        {0xC5, '+'}, {0xCE, '+'}, {0xC9, '+'}, {0xBC, '+'}, {0xB0, '#'}, {0xDB, '#'},
        {0xE0, 'a'}, {0xE2, 'G'}, {0xE3, 'p'}, {0xE4, 'S'}, {0xEA, 'O'}, {0xEC, '8'},
        {0xF0, '='}, {0xF2, '>'}, {0xF3, '<'}, {0xF7, '~'}, {0xFB, 'v'}, {0xFC, 'n'},
        {0x9E, 'P'},
        {0xA9, 0xAC},                                       // ⌐ -> ¬
        {0xF9, 0xB7},                                       // ∙ -> ·
        {0xE1, 0xDF},                                       // ß exists in both
        {0xF4, '?'}, {0xF5, '?'},                           // ⌠ ⌡
    };
    for (const Case& c : toAnsi)
        EXPECT_EQ(static_cast<uint8_t>(OemToAnsi(Bytes({c.from}))[0]), c.to) << c.from;

    // Unicode beyond both pages.
    EXPECT_EQ(UnicodeToCp1252(0x2500), '-');
    EXPECT_EQ(UnicodeToCp437(0x201C), '"');
    EXPECT_EQ(UnicodeToCp437(0x03BC), 0xE6);  // Greek mu -> µ
    EXPECT_EQ(UnicodeToCp1252(0x4E2D), '?');
    EXPECT_EQ(UnicodeToCp437(0x1F600), '?');
}

TEST_F(LocaleTest, BufferTranslationMayWorkInPlace) {
    std::string oem;
    for (int b = 0; b < 256; ++b) oem.push_back(static_cast<char>(b));
    std::string expected = OemToAnsi(oem);
    std::string buf = oem;
    auto* p = reinterpret_cast<uint8_t*>(buf.data());
    OemToAnsi(p, p, buf.size());
    EXPECT_EQ(buf, expected);
    AnsiToOem(p, p, buf.size());
    EXPECT_EQ(buf, AnsiToOem(expected));
    OemToAnsi(p, p, 0);  // nothing to do, nothing touched
    EXPECT_EQ(buf, AnsiToOem(expected));
}
