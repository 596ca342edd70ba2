// Code pages: the pages against iconv, the lossless pairs, the choice from the language
// driver byte, and case mapping in the table's page (UPPER in keys, case-insensitive search).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dbf_support.h"
#include "nv6_cpag.h"
#include "nv6_dbsy.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"
#include "nv6_sqln.h"
#include "nv6_valu.h"
#include "nv_iconv.h"

using namespace nvlocale;

namespace {

const char* IconvName(int page) {
    switch (page) {
        case 737: return "CP737";
        case 1250: return "CP1250";
        case 1251: return "CP1251";
        case 1252: return "CP1252";
        case 1253: return "CP1253";
        case 1254: return "CP1254";
        default: {
            static std::string name;
            name = "IBM" + std::to_string(page);
            return name.c_str();
        }
    }
}

std::vector<int> AllPages() {
    std::vector<int> pages = OemCodePages();
    for (int p : AnsiCodePages()) pages.push_back(p);
    return pages;
}

class CodePageTest : public ::testing::Test {
protected:
    void TearDown() override { SetDefaultPages(437, 1252); }
};

}  // namespace

TEST_F(CodePageTest, EveryPageMatchesIconvAndHas256DifferentCharacters) {
    EXPECT_EQ(OemCodePages(), (std::vector<int>{437, 737, 850, 852, 857, 860, 861, 863, 865, 866}));
    EXPECT_EQ(AnsiCodePages(), (std::vector<int>{1250, 1251, 1252, 1253, 1254}));
    for (int number : AllPages()) {
        const TnvCodePage& page = CodePage(number);
        nvtest::Iconv toU("UTF-32LE", IconvName(number)), fromU(IconvName(number), "UTF-32LE");
        ASSERT_TRUE(toU.ok() && fromU.ok()) << number;
        std::set<char32_t> seen;
        for (int b = 0; b < 256; ++b) {
            const char32_t ours = page.ToUnicode(static_cast<uint8_t>(b));
            seen.insert(ours);
            EXPECT_EQ(page.ExactByte(ours), b) << number << " byte " << b;
            if (auto u = nvtest::ByteToUnicode(toU, static_cast<uint8_t>(b))) {
                EXPECT_EQ(ours, *u) << number << " byte " << b;
                EXPECT_EQ(page.FromUnicode(*u), b) << number << " byte " << b;
            } else {
                // Undefined in the page: a character of its own that no page defines.
                EXPECT_EQ(ours, b < 0xA0 ? char32_t(b) : char32_t(0xF700 + b)) << number << " byte " << b;
            }
        }
        EXPECT_EQ(seen.size(), 256u) << number;
        // A character the page lacks never lands on a byte that claims to be it.
        for (char32_t u : {char32_t(0x4E2D), char32_t(0x2500), char32_t(0x0416), char32_t(0x00C0)}) {
            const uint8_t b = page.FromUnicode(u);
            if (!nvtest::UnicodeToByte(fromU, u)) {
                EXPECT_NE(page.ToUnicode(b), u) << number;
            }
        }
    }
}

TEST_F(CodePageTest, EveryPairTranslatesWithoutLossAndKeepsSharedCharacters) {
    for (int oem : OemCodePages()) {
        for (int ansi : AnsiCodePages()) {
            const TnvCodePage& o = CodePage(oem);
            const TnvCodePage& a = CodePage(ansi);
            const TnvTranslation& t = TnvTranslation::For(oem, ansi);
            TnvPageChoice pages;
            pages.oem = oem;
            pages.ansi = ansi;
            std::set<uint8_t> images;
            for (int b = 0; b < 256; ++b) {
                const uint8_t c = static_cast<uint8_t>(b);
                const uint8_t image = t.ToAnsi(c);
                images.insert(image);
                ASSERT_EQ(t.ToOem(image), c) << oem << "/" << ansi << " byte " << b;
                if (a.ExactByte(o.ToUnicode(c)) >= 0) {
                    ASSERT_EQ(a.ToUnicode(image), o.ToUnicode(c)) << oem << "/" << ansi << " byte " << b;
                }
                // What the user sees is the OEM character, box drawing included.
                ASSERT_EQ(ReaderToUnicode(pages, image), o.ToUnicode(c)) << oem << "/" << ansi << " byte " << b;
                ASSERT_EQ(UnicodeToReader(pages, o.ToUnicode(c)), image) << oem << "/" << ansi << " byte " << b;
            }
            ASSERT_EQ(images.size(), 256u) << oem << "/" << ansi;
        }
    }
    // A character the OEM page lacks goes in by its best fit, never as another character.
    TnvPageChoice western;
    EXPECT_EQ(UnicodeToReader(western, U'À'), 'A');
    EXPECT_EQ(UnicodeToReader(western, U'é'), 0xE9);
    EXPECT_EQ(UnicodeToReader(western, 0x4E2D), '?');
}

TEST_F(CodePageTest, LanguageDriverByteChoosesThePair) {
    struct Case {
        uint8_t mark;
        int oem, ansi;
        bool translate;
    };
    const Case cases[] = {
        {0x01, 437, 1252, true},  {0x02, 850, 1252, true},  {0x64, 852, 1250, true},  {0x87, 852, 1250, true},
        {0x65, 866, 1251, true},  {0x66, 865, 1252, true},  {0x67, 861, 1252, true},  {0x6B, 857, 1254, true},
        {0x88, 857, 1254, true},  {0x6C, 863, 1252, true},  {0x6A, 737, 1253, true},  {0x86, 737, 1253, true},
        {0x1B, 437, 1252, true},  {0x37, 850, 1252, true},  {0x26, 866, 1251, true},  {0x24, 860, 1252, true},
        {0x1C, 863, 1252, true},  {0x08, 865, 1252, true},  {0x17, 865, 1252, true},  {0x1F, 852, 1250, true},
        {0x22, 852, 1250, true},  {0x23, 852, 1250, true},  {0x40, 852, 1250, true},  {0x0F, 437, 1252, true},
        {0x10, 850, 1252, true},
        {0x03, 437, 1252, false}, {0x57, 437, 1252, false}, {0xC8, 437, 1250, false}, {0xC9, 437, 1251, false},
        {0xCA, 437, 1254, false}, {0xCB, 437, 1253, false},
    };
    for (const Case& c : cases) {
        TnvPageChoice p = ChoosePages(c.mark);
        EXPECT_FALSE(p.unsupportedMark) << int(c.mark);
        EXPECT_EQ(p.translate, c.translate) << int(c.mark);
        EXPECT_EQ(p.ansi, c.ansi) << int(c.mark);
        if (c.translate) {
            EXPECT_EQ(p.oem, c.oem) << int(c.mark);
        }
    }
    // Every page's own mark reads back as that page.
    for (int number : AllPages()) EXPECT_EQ(ChoosePages(CodePage(number).LanguageDriver()).StoredPage(), number);

    // Unmarked tables take the default pair; marks we do not read fall back to it, noticed.
    SetDefaultPages(866, 1251);
    EXPECT_EQ(ChoosePages(0).Label(), "866/1251");
    EXPECT_FALSE(ChoosePages(0).unsupportedMark);
    for (uint8_t mark : {0x7D, 0x96, 0x7B, 0x13, 0xCC, 0xEE}) {
        TnvPageChoice p = ChoosePages(mark);
        EXPECT_TRUE(p.unsupportedMark) << int(mark);
        EXPECT_EQ(p.Label(), "866/1251") << int(mark);
    }
    // A page that is not ours leaves the default as it was.
    SetDefaultPages(1251, 437);
    EXPECT_EQ(DefaultPages().Label(), "866/1251");
    TnvPageChoice chosen;
    EXPECT_FALSE(ChoiceForPage(1255, chosen));
    ASSERT_TRUE(ChoiceForPage(1250, chosen));
    EXPECT_EQ(chosen.Label(), "1250");
}

TEST_F(CodePageTest, CaseFollowsThePage) {
    const std::string small866 = nvtest::Encode("CP866", "иванов ёж"), capital866 = nvtest::Encode("CP866", "ИВАНОВ ЁЖ");
    ASSERT_FALSE(small866.empty());
    EXPECT_EQ(CodePage(866).UpperCase(small866), capital866);
    EXPECT_EQ(CodePage(866).LowerCase(capital866), small866);
    EXPECT_EQ(CodePage(437).Upper(0x81), 0x9A);  // ü -> Ü
    EXPECT_EQ(CodePage(437).Upper(0xE1), 0xE1);  // ß has no one-letter capital
    // Turkish: dotless ı goes up to I, but I still comes down to i.
    EXPECT_EQ(CodePage(1254).Upper(0xFD), 'I');
    EXPECT_EQ(CodePage(1254).Lower('I'), 'i');
    // The Western ANSI page folds exactly as the engine always has.
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(CodePage(1252).Upper(static_cast<uint8_t>(b)), AnsiUpper(static_cast<uint8_t>(b))) << b;
        EXPECT_EQ(CodePage(1252).Lower(static_cast<uint8_t>(b)), AnsiLower(static_cast<uint8_t>(b))) << b;
    }
}

TEST_F(CodePageTest, ExpressionsOfATableFoldCaseInItsPage) {
    dbftest::TempDir dir;
    const std::string path = dir.File("CYR.DBF");
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 12, 0);
        build.SetLanguageDriver(0x65);
        build.Build();
    }
    NVO_dBHandler cursor(path, false, true, "");
    EXPECT_EQ(cursor.CodePages().Label(), "866/1251");
    const std::string name = nvtest::Encode("CP866", "Петров");
    cursor.PutText(1, name);
    cursor.Append();
    cursor.Go(1);

    TnvExpHandler upper(&cursor.ExpressionLink(), "UPPER(NAME)");
    TnvValue value;
    upper.Evaluate(value);
    EXPECT_EQ(NvValueText(value), nvtest::Encode("CP866", "ПЕТРОВ      "));
    TnvExpHandler atc(&cursor.ExpressionLink(), "ATC('" + nvtest::Encode("CP866", "ТРОВ") + "', NAME)");
    atc.Evaluate(value);
    EXPECT_EQ(value.AsNumber(), 3);

    // Settings reach the operators compiled after them.
    TnvExpHandler compare(&cursor.ExpressionLink());
    compare.SetCaseInsensitive(true);
    compare.SetExpression("NAME = '" + nvtest::Encode("CP866", "пЕтРоВ") + "'");
    compare.Evaluate(value);
    EXPECT_TRUE(value.AsBoolean());

    // The same bytes read as 437 are not letters with these cases.
    cursor.SetCodePages(ChoosePages(0x01));
    upper.Evaluate(value);
    EXPECT_EQ(NvValueText(value), name + "      ");
}
