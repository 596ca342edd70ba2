#include <gtest/gtest.h>

#include <cstdint>

#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

namespace {

class DateTest : public ::testing::Test {
protected:
    void TearDown() override {
        nvlocale::ResetDefaults();
        nvlocale::SetClockForTesting(nullptr);
    }
};

TEST_F(DateTest, StoredFormAndBlanks) {
    EXPECT_EQ(DBFDate.TextToDay("20050130"), 2453401);
    EXPECT_EQ(DBFDate.TextToDay("19800101"), 2444240);
    EXPECT_EQ(DBFDate.TextToDay("20051340"), 2415019);
    EXPECT_EQ(DBFDate.TextToDay("00001231"), 2415019);  // year 0 is no date
    EXPECT_EQ(DBFDate.TextToDay("20050230"), 2415019);
    EXPECT_EQ(DBFDate.TextToDay("        "), 0);
    EXPECT_EQ(DBFDate.TextToDay("00000000"), 0);
    EXPECT_EQ(DBFDate.TextToDay(std::string_view("\0\0", 2)), 0);
    EXPECT_EQ(DBFDate.DayToStor(2453401), "20050130");
    EXPECT_EQ(DBFDate.DayToStor(0), "        ");
    EXPECT_EQ(DBFDate.DayToStor(-3), "        ");
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.TextToDay("99991231")), "99991231");
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.TextToDay("00010101")), "00010101");
    // Days after 9999-12-31 come only from damaged fields or far arithmetic: no date, not
    // a year of five digits or one the calendar wrapped.
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.TextToDay("99991231") + 1), "        ");
    EXPECT_EQ(DBFDate.DayToStor(INT32_MAX), "        ");
    EXPECT_EQ(DBFDate.DayToText(INT32_MAX), DBFDate.DayToText(0));
    EXPECT_EQ(DBFDate.DayOfWeek(INT32_MAX), 0);
}

TEST_F(DateTest, CalendarHelpers) {
    int y, m, d;
    DBFDate.DayToYMD(2453401, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20050130);
    EXPECT_EQ(DBFDate.DayOfWeek(2453401), 1);  // a Sunday
    EXPECT_EQ(DBFDate.DayOfWeek(2453407), 7);
    EXPECT_EQ(DBFDate.DayOfWeek(0), 0);
    nvlocale::LocalDateTime fixed{2024, 2, 29, 12, 0, 0, 0};
    nvlocale::SetClockForTesting(&fixed);
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.Today()), "20240229");
}

TEST_F(DateTest, DisplayFormFollowsTheLocalePattern) {
    EXPECT_EQ(DBFDate.DisplayPattern(), "M/D/YYYY");
    EXPECT_EQ(DBFDate.DayToText(2453401), "1/30/2005");
    EXPECT_EQ(DBFDate.DayToText(0), std::string(8, ' '));
    EXPECT_EQ(DBFDate.TextToDay("1/30/2005"), 2453401);

    nvlocale::SetShortDatePattern("dd.MM.yy");
    nvlocale::SetDateSeparator('.');
    EXPECT_EQ(DBFDate.DisplayPattern(), "DD.MM.YYYY");
    EXPECT_EQ(DBFDate.DayToText(2453401), "30.01.2005");
    EXPECT_EQ(DBFDate.DayToText(0), std::string(10, ' '));
    EXPECT_EQ(DBFDate.TextToDay("30.01.2005"), 2453401);

    nvlocale::SetShortDatePattern("mm/dd/yyyy");
    nvlocale::SetDateSeparator('-');
    EXPECT_EQ(DBFDate.DayToText(2453401), "01-30-2005");  // '/' stands for the separator

    nvlocale::SetShortDatePattern("dd MMMM");  // no year at all: nothing to widen
    EXPECT_EQ(DBFDate.DisplayPattern(), "DD MMMM");
}

TEST_F(DateTest, TwoDigitYearsFallAroundToday) {
    nvlocale::LocalDateTime fixed{2025, 6, 1, 0, 0, 0, 0};
    nvlocale::SetClockForTesting(&fixed);
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.TextToDay("1/2/75")), "19750102");
    EXPECT_EQ(DBFDate.DayToStor(DBFDate.TextToDay("1/2/74")), "20740102");
}

TEST_F(DateTest, UnreadableDisplayTextIsAConversionError) {
    EXPECT_THROW(DBFDate.TextToDay("13/45/2005"), EConvertError);
    EXPECT_THROW(DBFDate.TextToDay("yesterday"), EConvertError);
    EXPECT_THROW(DBFDate.TextToDay("2005013"), EConvertError);
}

}  // namespace
