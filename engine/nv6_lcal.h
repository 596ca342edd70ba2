// The platform locale and code pages, as the engine sees them.
//
// Stands for what the original platform supplied: the user's short date pattern, date and
// decimal separators, case mapping and comparison of ANSI (code page 1252) text, the clock,
// and the OEM (code page 437) <-> ANSI (code page 1252) translation. Settings are
// process-wide and changed only by the program at start or by tests. Defaults: short date
// pattern "M/d/yyyy", date separator '/', decimal separator '.'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvlocale {

// --- settings -------------------------------------------------------------------------
// The short date pattern in the platform's notation (d, dd, M, MM, yy, yyyy and the
// separator), e.g. "M/d/yyyy", "mm/dd/yyyy" (letters are not case-sensitive), "dd.MM.yy".
std::string ShortDatePattern();
void SetShortDatePattern(std::string_view pattern);
char DateSeparator();
void SetDateSeparator(char sep);
char DecimalSeparator();
void SetDecimalSeparator(char sep);
// Restores the three defaults above (for tests).
void ResetDefaults();

// The platform's short-date parser: up to three numbers separated by DateSeparator(), in
// the order day, month and year stand in ShortDatePattern(), blanks around the text
// allowed. Two numbers are month and day of the current year. A year written with one or
// two digits falls in the hundred years from 50 before to 49 after the current year
// (in 2025: "75" is 1975, "74" is 2074). Valid dates only: year 1..9999, real day.
bool TryParseShortDate(std::string_view text, int& year, int& month, int& day);
// Same, raising EConvertError "'%s' is not a valid date" with the text as given.
void ParseShortDate(std::string_view text, int& year, int& month, int& day);

// --- ANSI (code page 1252) text -------------------------------------------------------
uint8_t AnsiUpper(uint8_t c);
uint8_t AnsiLower(uint8_t c);
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);
// Locale comparison of two ANSI texts: negative, 0 or positive. `ignoreCase` compares as if
// both were upper-cased first. Order: symbols, then digits, then letters alphabetically with
// accented and case forms beside their base letter (é between e and f); texts equal on that
// level are ordered by their bytes, so only identical texts compare equal.
int AnsiCompare(std::string_view a, std::string_view b, bool ignoreCase);

// --- code pages -----------------------------------------------------------------------
// OEM -> ANSI and ANSI -> OEM, byte for byte (dest may equal source). Characters missing in
// the target page take their closest equivalent (best fit), else '?'.
void OemToAnsi(const uint8_t* source, uint8_t* dest, std::size_t n);
void AnsiToOem(const uint8_t* source, uint8_t* dest, std::size_t n);
std::string OemToAnsi(std::string_view text);
std::string AnsiToOem(std::string_view text);
// Unicode code point of a byte in each page (for the Qt boundary only).
char32_t Cp437ToUnicode(uint8_t c);
char32_t Cp1252ToUnicode(uint8_t c);
// Unicode -> byte of each page; best fit, else '?'.
uint8_t UnicodeToCp437(char32_t u);
uint8_t UnicodeToCp1252(char32_t u);

// --- clock ----------------------------------------------------------------------------
struct LocalDateTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalDateTime Now();
// Fixes the clock for tests (nullptr returns to the real clock).
void SetClockForTesting(const LocalDateTime* fixed);

// --- numbers --------------------------------------------------------------------------
// Parses a decimal number: leading and trailing blanks allowed, optional sign, digits with
// an optional decimal separator `decimalSep` and exponent. Rejects "inf", "nan", hex and
// anything else with EConvertError "'%s' is not a valid floating point value".
double ParseNumber(std::string_view text, char decimalSep = '.');
// Same, reporting failure instead of raising.
bool TryParseNumber(std::string_view text, double& out, char decimalSep = '.');
// Fixed-point text with `decimals` places, rounded half away from zero on the decimal value
// the double denotes (0.125 -> "0.13"), no padding, "-" for negatives, `decimalSep` between.
std::string FormatFixed(double value, int decimals, char decimalSep = '.');
// Shortest text that reads back as the same double (general form).
std::string FormatShortest(double value, char decimalSep = '.');

}  // namespace nvlocale
