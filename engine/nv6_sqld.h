// Date access of the expression engine: the few conversions literals and date functions
// need, in one place over the engine's shared date converter (nv6_date.h). Internal to the
// expression units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nvexpdate {

// Day number of a stored ("yyyymmdd") or display date text; blank text gives 0. A text
// that is neither raises ENorvaneExpression (the converter's own message).
int32_t TextToDay(std::string_view text);
// "yyyymmdd", or 8 blanks for a day number of 0 or less.
std::string DayToStor(int32_t day);
// The display form, or blanks as long as the display pattern for 0 or less.
std::string DayToText(int32_t day);
// Today's day number.
int32_t Today();
// 1 = Sunday ... 7 = Saturday; 0 for a day number of 0 or less.
int DayOfWeek(int32_t day);
// Calendar date of a day number above 0.
void DayToYMD(int32_t day, int& year, int& month, int& dayOfMonth);

}  // namespace nvexpdate
