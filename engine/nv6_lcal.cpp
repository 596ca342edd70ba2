// The platform locale: settings, ANSI case mapping and collation, the clock and numbers.
// The code-page tables live in nv6_cpag.cpp.
#include "nv6_lcal.h"

#include <array>
#include <charconv>
#include <chrono>
#include <bit>
#include <cmath>
#include <ctime>
#include <optional>
#include <system_error>

#include "nv6_bytes.h"
#include "nv6_glbl.h"

namespace nvlocale {

// --- settings -------------------------------------------------------------------------

namespace {

constexpr const char* kDefaultPattern = "M/d/yyyy";
constexpr char kDefaultDateSep = '/';
constexpr char kDefaultDecimalSep = '.';

struct Settings {
    std::string pattern = kDefaultPattern;
    char dateSep = kDefaultDateSep;
    char decimalSep = kDefaultDecimalSep;
};

// A function-local static so that units initialised before this one can still read it.
Settings& TheSettings() {
    static Settings s;
    return s;
}

}  // namespace

std::string ShortDatePattern() { return TheSettings().pattern; }
void SetShortDatePattern(std::string_view pattern) { TheSettings().pattern = std::string(pattern); }
char DateSeparator() { return TheSettings().dateSep; }
void SetDateSeparator(char sep) { TheSettings().dateSep = sep; }
char DecimalSeparator() { return TheSettings().decimalSep; }
void SetDecimalSeparator(char sep) { TheSettings().decimalSep = sep; }

void ResetDefaults() { TheSettings() = Settings{}; }

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Day, month and year fields in the order the pattern names them ('D', 'M', 'Y'); a letter
// the pattern lacks takes its place in month-day-year order after the ones it has.
std::string FieldOrder(std::string_view pattern) {
    std::string order;
    for (char c : pattern) {
        char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
        if ((u == 'D' || u == 'M' || u == 'Y') && order.find(u) == std::string::npos)
            order.push_back(u);
    }
    for (char u : {'M', 'D', 'Y'})
        if (order.find(u) == std::string::npos) order.push_back(u);
    return order;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

bool TryParseShortDate(std::string_view text, int& year, int& month, int& day) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    const std::string_view t = text.substr(b, e - b);
    const char sep = DateSeparator();

    int values[3] = {0, 0, 0};
    int widths[3] = {0, 0, 0};
    int count = 0;
    std::size_t i = 0;
    for (;;) {
        if (count == 3) return false;
        int w = 0, v = 0;
        while (i < t.size() && IsDigit(t[i])) {
            if (++w > 4) return false;
            v = v * 10 + (t[i++] - '0');
        }
        if (w == 0) return false;
        values[count] = v;
        widths[count] = w;
        ++count;
        if (i == t.size()) break;
        if (t[i] != sep) return false;
        ++i;
    }
    if (count < 2) return false;

    std::string order = FieldOrder(ShortDatePattern());
    const int thisYear = Now().year;
    int y = thisYear, yWidth = 4, m = 0, d = 0;
    if (count == 2) order.erase(order.find('Y'), 1);
    for (int k = 0; k < count; ++k) {
        switch (order[static_cast<std::size_t>(k)]) {
            case 'D': d = values[k]; break;
            case 'M': m = values[k]; break;
            default: y = values[k]; yWidth = widths[k]; break;
        }
    }
    if (yWidth <= 2) {
        // The century that puts the year within [thisYear - 50, thisYear + 49].
        const int low = thisYear - 50;
        int full = (low / 100) * 100 + y;
        if (full < low) full += 100;
        y = full;
    }
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
    year = y;
    month = m;
    day = d;
    return true;
}

void ParseShortDate(std::string_view text, int& year, int& month, int& day) {
    if (!TryParseShortDate(text, year, month, day))
        throw EConvertError("'" + std::string(text) + "' is not a valid date");
}

// --- ANSI (code page 1252) text -------------------------------------------------------

namespace {

// Upper case in code page 1252. Letters without a single-byte capital keep their byte:
// ß (0xDF), µ (0xB5) and ƒ (0x83). ÷ (0xF7) and × (0xD7) are not letters.
constexpr uint8_t UpperOf(uint8_t c) {
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<uint8_t>(c - 0x20);
    switch (c) {
        case 0x9A: return 0x8A;  // š -> Š
        case 0x9C: return 0x8C;  // œ -> Œ
        case 0x9E: return 0x8E;  // ž -> Ž
        case 0xFF: return 0x9F;  // ÿ -> Ÿ
        default: return c;
    }
}

constexpr uint8_t LowerOf(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<uint8_t>(c + 0x20);
    switch (c) {
        case 0x8A: return 0x9A;
        case 0x8C: return 0x9C;
        case 0x8E: return 0x9E;
        case 0x9F: return 0xFF;
        default: return c;
    }
}

template <class F>
constexpr std::array<uint8_t, 256> MakeTable(F f) {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = f(static_cast<uint8_t>(i));
    return t;
}

constexpr auto kUpper = MakeTable(UpperOf);
constexpr auto kLower = MakeTable(LowerOf);

// The base letter ('a'..'z') of a code page 1252 letter, 0 for anything else. Ligatures
// and special letters sit beside the letter they are read as: æ by a, œ by o, ß by s,
// ð by d, ø by o, ƒ by f. Thorn (Þ, þ) has no base and is given the slot after z.
constexpr int BaseLetterOf(uint8_t c) {
    uint8_t l = LowerOf(c);
    if (l >= 'a' && l <= 'z') return l;
    switch (l) {
        case 0x83: return 'f';
        case 0x9A: return 's';
        case 0x9C: return 'o';
        case 0x9E: return 'z';
        case 0xDF: return 's';
        case 0xE7: return 'c';
        case 0xF0: return 'd';
        case 0xF1: return 'n';
        case 0xF8: return 'o';
        case 0xFE: return 'z' + 1;
        case 0xFD: case 0xFF: return 'y';
        default: break;
    }
    if (l >= 0xE0 && l <= 0xE6) return 'a';
    if (l >= 0xE8 && l <= 0xEB) return 'e';
    if (l >= 0xEC && l <= 0xEF) return 'i';
    if (l >= 0xF2 && l <= 0xF6) return 'o';
    if (l >= 0xF9 && l <= 0xFC) return 'u';
    return 0;
}

// Primary collation weight: everything that is neither digit nor letter first, in byte
// order; then the digits (superscripts ¹ ² ³ beside 1, 2, 3); then the letters
// alphabetically, each letter's accented and case forms sharing its weight.
constexpr uint16_t PrimaryOf(uint8_t c) {
    if (c >= '0' && c <= '9') return static_cast<uint16_t>(0x100 + (c - '0'));
    if (c == 0xB9) return 0x101;
    if (c == 0xB2) return 0x102;
    if (c == 0xB3) return 0x103;
    int base = BaseLetterOf(c);
    if (base != 0) return static_cast<uint16_t>(0x200 + (base - 'a'));
    return c;
}

constexpr std::array<uint16_t, 256> MakePrimary() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = PrimaryOf(static_cast<uint8_t>(i));
    return t;
}

constexpr auto kPrimary = MakePrimary();

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

uint8_t AnsiUpper(uint8_t c) { return kUpper[c]; }
uint8_t AnsiLower(uint8_t c) { return kLower[c]; }

std::string AnsiUpperCase(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(kUpper[static_cast<uint8_t>(ch)]);
    return out;
}

std::string AnsiLowerCase(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(kLower[static_cast<uint8_t>(ch)]);
    return out;
}

// Two levels, as a dictionary orders words: first the primary weights over the whole text
// (so "apple" < "Banana" and "éa" < "eb"), the shorter text first when one is a prefix of
// the other; only texts that are equal on that level are ordered by their bytes, so the
// order stays total and only identical texts compare equal.
int AnsiCompare(std::string_view a, std::string_view b, bool ignoreCase) {
    auto at = [ignoreCase](std::string_view s, std::size_t i) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        return ignoreCase ? kUpper[c] : c;
    };
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        int d = int(kPrimary[at(a, i)]) - int(kPrimary[at(b, i)]);
        if (d != 0) return Sign(d);
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        int d = int(at(a, i)) - int(at(b, i));
        if (d != 0) return Sign(d);
    }
    return 0;
}

// --- clock ----------------------------------------------------------------------------

namespace {

std::optional<LocalDateTime>& FixedClock() {
    static std::optional<LocalDateTime> fixed;
    return fixed;
}

}  // namespace

LocalDateTime Now() {
    if (FixedClock()) return *FixedClock();
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    long milli = static_cast<long>(ms % 1000);
    if (milli < 0) {  // before 1970: keep the millisecond within 0..999
        milli += 1000;
        --secs;
    }
    std::tm tm{};
    localtime_r(&secs, &tm);
    return LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                         tm.tm_min,         tm.tm_sec,     static_cast<int>(milli)};
}

void SetClockForTesting(const LocalDateTime* fixed) {
    if (fixed)
        FixedClock() = *fixed;
    else
        FixedClock().reset();
}

// --- numbers --------------------------------------------------------------------------

// Checks the text against [blanks][sign]digits[sep digits][e[sign]digits][blanks] (at least
// one mantissa digit) and hands a normalised copy to from_chars, which on its own would
// also take "inf", "nan" and reject a leading '+'. A value too large for a double is not
// valid; one too small to be represented becomes zero.
namespace {

// The common shape of a numeric field, [blanks][sign]digits[sep digits][blanks] with at most
// 15 digits, in one pass: the parse every record of a tag build on a numeric field makes. The
// digits as an integer and the power of ten are both exact doubles, so their quotient is the
// correctly rounded value, the same double the general parse gives. False (and `out`
// untouched) for anything else, which the general parse handles.
bool ParseFieldImage(std::string_view text, double& out, char decimalSep) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = text.data();
    const char* const end = p + text.size();
    // The leading blanks of a field, eight bytes at a time: the first byte that is not one
    // is the lowest set byte of the word's difference from eight blanks.
    constexpr uint64_t kBlanks = 0x2020202020202020ull;
    while (end - p >= 8) {
        const uint64_t other = nvbytes::LoadLE64(reinterpret_cast<const uint8_t*>(p)) ^ kBlanks;
        if (other != 0) {
            p += std::countr_zero(other) / 8;
            break;
        }
        p += 8;
    }
    while (p < end && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    uint64_t mantissa = 0;
    const char* const first = p;
    for (unsigned d; p < end && (d = static_cast<unsigned char>(*p) - unsigned{'0'}) <= 9; ++p) mantissa = mantissa * 10 + d;
    int digits = static_cast<int>(p - first);
    int fraction = 0;
    if (p < end && *p == decimalSep) {
        const char* const point = ++p;
        for (unsigned d; p < end && (d = static_cast<unsigned char>(*p) - unsigned{'0'}) <= 9; ++p) mantissa = mantissa * 10 + d;
        fraction = static_cast<int>(p - point);
        digits += fraction;
    }
    if (digits == 0 || digits > 15) return false;
    while (p < end && IsBlank(*p)) ++p;
    if (p != end) return false;
    double value = static_cast<double>(static_cast<int64_t>(mantissa));
    if (fraction > 0) value /= kPow10[fraction];
    out = negative ? -value : value;
    return true;
}

}  // namespace

bool TryParseNumber(std::string_view text, double& out, char decimalSep) {
    if (!IsBlank(decimalSep) && ParseFieldImage(text, out, decimalSep)) return true;
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    std::string_view t = text.substr(b, e - b);

    std::string norm;
    norm.reserve(t.size());
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        negative = t[i] == '-';
        if (negative) norm.push_back('-');
        ++i;
    }
    int digits = 0;
    // Decimal position of the first non-zero mantissa digit relative to the point, to tell
    // an overflow from an underflow when from_chars reports a value out of range.
    long long leadPos = 0;
    bool seenNonZero = false, seenSep = false;
    long long intDigits = 0, fracZeros = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        if (IsDigit(c)) {
            ++digits;
            if (!seenSep) {
                if (seenNonZero || c != '0') ++intDigits;
            } else if (!seenNonZero && c == '0') {
                ++fracZeros;
            }
            if (c != '0') seenNonZero = true;
            norm.push_back(c);
        } else if (c == decimalSep && !seenSep) {
            seenSep = true;
            norm.push_back('.');
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    leadPos = intDigits > 0 ? intDigits : -fracZeros;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        norm.push_back('e');
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            if (t[i] == '-') norm.push_back('-');
            ++i;
        }
        int expDigits = 0;
        bool expNeg = !norm.empty() && norm.back() == '-';
        long long expValue = 0;
        for (; i < t.size() && IsDigit(t[i]); ++i) {
            ++expDigits;
            norm.push_back(t[i]);
            if (expValue < 100000) expValue = expValue * 10 + (t[i] - '0');
        }
        if (expDigits == 0) return false;
        leadPos += expNeg ? -expValue : expValue;
    }
    if (i != t.size()) return false;

    double value = 0.0;
    auto r = std::from_chars(norm.data(), norm.data() + norm.size(), value);
    if (r.ptr != norm.data() + norm.size()) return false;
    if (r.ec == std::errc::result_out_of_range) {
        if (!seenNonZero || leadPos <= 0) {
            out = negative ? -0.0 : 0.0;
            return true;
        }
        return false;
    }
    if (r.ec != std::errc()) return false;
    out = value;
    return true;
}

double ParseNumber(std::string_view text, char decimalSep) {
    double v = 0.0;
    if (!TryParseNumber(text, v, decimalSep))
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    return v;
}

namespace {

// The shortest round-trip decimal digits of a finite non-zero |value| and the decimal
// exponent of the first: value = 0.d1d2d3... x 10^(point).
struct DecimalDigits {
    std::string digits;  // no leading or trailing zeros
    int point = 0;       // digits before the decimal point (may be <= 0)
};

DecimalDigits ShortestDigits(double magnitude) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    DecimalDigits d;
    std::size_t epos = s.find('e');
    for (std::size_t i = 0; i < epos; ++i)
        if (IsDigit(s[i])) d.digits.push_back(s[i]);
    int exp = 0;
    std::from_chars(s.data() + epos + (s[epos + 1] == '+' ? 2 : 1), s.data() + s.size(), exp);
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    d.point = exp + 1;
    return d;
}

std::string NonFinite(double value) {
    if (std::isnan(value)) return "NAN";
    return value < 0 ? "-INF" : "INF";
}

}  // namespace

std::string FormatFixed(double value, int decimals, char decimalSep) {
    if (!std::isfinite(value)) return NonFinite(value);
    if (decimals < 0) decimals = 0;
    // A value that is a whole number of units of the last decimal, below 10^15 units, is
    // that number's digits: a unit is then more than four of the value's ulps, so no other
    // decimal with as few places reads back as the value, and the shortest digits are the
    // same with no rounding to do. Numbers stored into fields are mostly of this kind.
    static constexpr double kUnits[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (decimals <= 15 && value != 0.0) {
        const double unit = kUnits[decimals];
        const double scaled = std::fabs(value) * unit;
        const double whole = std::nearbyint(scaled);
        if (scaled < 1e15 && whole >= 1 && whole / unit == std::fabs(value)) {
            char digits[40];
            int n = 0;
            for (auto u = static_cast<uint64_t>(whole); u > 0 || n <= decimals; u /= 10)
                digits[n++] = static_cast<char>('0' + u % 10);
            std::string out;
            out.reserve(static_cast<std::size_t>(n) + 2);
            if (std::signbit(value)) out.push_back('-');
            for (int k = n - 1; k >= decimals; --k) out.push_back(digits[k]);
            if (decimals > 0) {
                out.push_back(decimalSep);
                for (int k = decimals - 1; k >= 0; --k) out.push_back(digits[k]);
            }
            return out;
        }
    }
    const bool negative = std::signbit(value);
    // Digits of the integer part and `decimals` fraction digits, as one digit string.
    std::string kept;
    int intLen = 0;
    if (value != 0.0) {
        DecimalDigits d = ShortestDigits(std::fabs(value));
        // Position (in d.digits) just past the last kept digit.
        long long cut = static_cast<long long>(d.point) + decimals;
        bool roundUp = false;
        if (cut < 0) {
            kept.clear();
        } else if (cut < static_cast<long long>(d.digits.size())) {
            kept = d.digits.substr(0, static_cast<std::size_t>(cut));
            roundUp = d.digits[static_cast<std::size_t>(cut)] >= '5';
        } else {
            kept = d.digits;
            kept.append(static_cast<std::size_t>(cut) - d.digits.size(), '0');
        }
        // Left-pad so that the string covers the integer part from the units digit on.
        intLen = d.point;
        if (intLen <= 0) {
            long long pad = -static_cast<long long>(intLen);
            if (pad > static_cast<long long>(decimals)) pad = decimals;  // nothing kept
            kept.insert(0, static_cast<std::size_t>(pad), '0');
            if (cut < 0) kept.assign(static_cast<std::size_t>(decimals), '0');
            intLen = 0;
        }
        if (roundUp) {
            std::size_t k = kept.size();
            while (k > 0 && kept[k - 1] == '9') kept[--k] = '0';
            if (k == 0) {
                kept.insert(kept.begin(), '1');
                ++intLen;
            } else {
                ++kept[k - 1];
            }
        }
    } else {
        kept.assign(static_cast<std::size_t>(decimals), '0');
    }

    std::string out;
    bool allZero = kept.find_first_not_of('0') == std::string::npos;
    if (negative && !allZero) out.push_back('-');
    if (intLen == 0)
        out.push_back('0');
    else
        out.append(kept, 0, static_cast<std::size_t>(intLen));
    if (decimals > 0) {
        out.push_back(decimalSep);
        out.append(kept, static_cast<std::size_t>(intLen), std::string::npos);
    }
    return out;
}

// Fixed notation while the value has at most 15 integer digits and is at least 0.00001,
// otherwise "d.dddE[-]x" with the exponent unpadded and unsigned when positive (1E20,
// 1.5E-7). Either way the digits are the shortest that read back as the same double.
std::string FormatShortest(double value, char decimalSep) {
    if (!std::isfinite(value)) return NonFinite(value);
    if (value == 0.0) return "0";
    DecimalDigits d = ShortestDigits(std::fabs(value));
    std::string out;
    if (value < 0) out.push_back('-');
    const int n = static_cast<int>(d.digits.size());
    if (d.point > 15 || d.point < -4) {
        out.push_back(d.digits[0]);
        if (n > 1) {
            out.push_back(decimalSep);
            out.append(d.digits, 1, std::string::npos);
        }
        out.push_back('E');
        out += std::to_string(d.point - 1);
    } else if (d.point <= 0) {
        out.push_back('0');
        out.push_back(decimalSep);
        out.append(static_cast<std::size_t>(-d.point), '0');
        out += d.digits;
    } else if (d.point >= n) {
        out += d.digits;
        out.append(static_cast<std::size_t>(d.point - n), '0');
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(d.point));
        out.push_back(decimalSep);
        out.append(d.digits, static_cast<std::size_t>(d.point), std::string::npos);
    }
    return out;
}

}  // namespace nvlocale
