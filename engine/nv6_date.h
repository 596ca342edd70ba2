// Dates: `TnvDBFDate` converts between the engine's day numbers (Julian Day Numbers; 0 is
// the blank date), the stored form "yyyymmdd" of a date field, and the display form of the
// locale's short date pattern with a four-digit year. `DBFDate` is the one shared instance;
// it holds only constants, so it is usable at any time, also during static initialisation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TnvDBFDate {
public:
    // Day number of 30 December 1899, the platform's date serial 0 (1 January 1980 is
    // 2444240, its serial 29221).
    static constexpr int32_t kDayOffset = 2415019;

    constexpr TnvDBFDate() = default;

    int32_t DayOffset() const { return kDayOffset; }
    bool Century() const { return century_; }

    // Year, month and day of a day number; all 0 for a day number of 0 or less or after
    // 9999-12-31 (every operation below treats those as no date).
    void DayToYMD(int32_t day, int& year, int& month, int& dayOfMonth) const;
    // The day number of a calendar date; 0 when it is not a date of years 1..9999.
    static int32_t YMDToDay(int year, int month, int dayOfMonth);
    // Today by the locale's clock.
    int32_t Today() const;
    // 1 = Sunday ... 7 = Saturday; 0 for a day number of 0 or less.
    int DayOfWeek(int32_t day) const;
    // "yyyymmdd", or 8 blanks for a day number of 0 or less.
    std::string DayToStor(int32_t day) const;
    // The display form, or blanks as long as the display pattern for 0 or less.
    std::string DayToText(int32_t day) const;
    // Stored form (8 digits; not a calendar date of years 1..9999 gives 2415019), blank or
    // "00000000" (0), or the display form, parsed by the locale's short date pattern; text
    // that is none of these raises EConvertError "'%s' is not a valid date". Two-digit
    // years of the display form fall within the hundred years from 50 before to 49 after
    // the current year.
    int32_t TextToDay(std::string_view text) const;
    // The locale's short date pattern upper-cased, its year widened to four digits while
    // the century flag is set ("DD.MM.YY" becomes "DD.MM.YYYY"; a pattern without any Y is
    // left as it is).
    std::string DisplayPattern() const;

private:
    bool century_ = true;
};

inline constexpr TnvDBFDate DBFDate{};
