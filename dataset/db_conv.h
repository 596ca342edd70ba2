// Date-time arithmetic and the text conversions the framework's fields use.
//
// TDateTime counts days since 30 December 1899 (fraction = time of day). The native field
// formats count from 1 January of year 1 instead: a time stamp's Date is the day count plus
// one, its Time the milliseconds since midnight, and an ftDateTime value is the whole stamp
// in milliseconds. Text conversions follow the process locale (nvlocale: short date
// pattern, date and decimal separators, ANSI case rules). Failures raise EConvertError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db_types.h"

struct TTimeStamp {
    int32_t Time = 0;  // milliseconds since midnight
    int32_t Date = 0;  // days since 1 January of year 1, plus one
};

inline constexpr int32_t kDateDelta = 693594;    // TTimeStamp.Date of 30 December 1899
inline constexpr int32_t kMSecsPerDay = 86400000;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// False when the date is not a calendar date of years 1-9999.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
// Raises EConvertError for a date that does not exist.
TDateTime EncodeDate(int year, int month, int day);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);

TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& stamp);
double TimeStampToMSecs(const TTimeStamp& stamp);
// Raises EConvertError for a value without a valid date part (zero or negative days).
TTimeStamp MSecsToTimeStamp(double msecs);

// Text of a date in the short date pattern, of a time as hh:nn:ss, of both (time left out
// when it is midnight).
std::string DateToStr(TDateTime value);
std::string TimeToStr(TDateTime value);
std::string DateTimeToStr(TDateTime value);
// Parse the text of a date with the locale's short-date parser, optionally followed by
// h:nn[:ss].
bool TryStrToDate(std::string_view text, TDateTime& out);
bool TryStrToDateTime(std::string_view text, TDateTime& out);
TDateTime StrToDate(std::string_view text);
TDateTime StrToDateTime(std::string_view text);

// General text of a number with up to `precision` significant digits, the locale's decimal
// separator, no trailing zeros.
std::string FloatToStr(double value, int precision = 15);
// Fixed text with `decimals` places and the locale's decimal separator.
std::string FloatToStrFixed(double value, int decimals);
bool TryStrToFloat(std::string_view text, double& out);
bool TryStrToInt64(std::string_view text, int64_t& out);

// Locale (ANSI code page) case rules.
std::string AnsiUpperCase(std::string_view text);
int AnsiCompareStr(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// Removes leading and trailing blanks and control characters.
std::string Trim(std::string_view text);
