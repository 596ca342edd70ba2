#include "db_conv.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "db_consts.h"
#include "nv6_lcal.h"

namespace {

constexpr int kMonthDays[2][13] = {{0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Days from 1 January of year 1 to the date, the first day counting as 1.
int32_t DayNumber(int year, int month, int day) {
    int y = year - 1;
    int32_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += kMonthDays[IsLeapYear(year)][m];
    return days + day;
}

void DayNumberToDate(int32_t n, int& year, int& month, int& day) {
    // 400-year cycles of 146097 days, then centuries, 4-year cycles and years.
    int32_t d = n - 1;
    int y = 1;
    y += 400 * (d / 146097);
    d %= 146097;
    int c = d / 36524;
    if (c == 4) c = 3;
    y += 100 * c;
    d -= c * 36524;
    y += 4 * (d / 1461);
    d %= 1461;
    int k = d / 365;
    if (k == 4) k = 3;
    y += k;
    d -= k * 365;
    const int* md = kMonthDays[IsLeapYear(y)];
    int m = 1;
    while (d >= md[m]) d -= md[m++];
    year = y;
    month = m;
    day = d + 1;
}

std::string Two(int n) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", n);
    return b;
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) { return kMonthDays[IsLeapYear(year)][month]; }

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
    if (day < 1 || day > DaysInMonth(year, month)) return false;
    out = DayNumber(year, month, day) - kDateDelta;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime r;
    if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
    return r;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        msec < 0 || msec > 999)
        return false;
    out = (((hour * 60 + minute) * 60 + second) * 1000.0 + msec) / kMSecsPerDay;
    return true;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    TTimeStamp s = DateTimeToTimeStamp(value);
    if (s.Date <= 0) {
        year = month = day = 0;
        return;
    }
    DayNumberToDate(s.Date, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
    int32_t t = DateTimeToTimeStamp(value).Time;
    hour = t / 3600000;
    minute = t / 60000 % 60;
    second = t / 1000 % 60;
    msec = t % 1000;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
    // Before 30 December 1899 the fraction still counts forward from midnight of the day.
    double days = std::trunc(value);
    int64_t ms = std::llround(std::fabs(value - days) * kMSecsPerDay);
    int64_t date = static_cast<int64_t>(days) + kDateDelta;
    if (ms >= kMSecsPerDay) {
        ms -= kMSecsPerDay;
        date += value < 0 ? -1 : 1;
    }
    TTimeStamp s;
    s.Date = static_cast<int32_t>(date);
    s.Time = static_cast<int32_t>(ms);
    return s;
}

TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
    double days = static_cast<double>(stamp.Date) - kDateDelta;
    double frac = static_cast<double>(stamp.Time) / kMSecsPerDay;
    return days < 0 ? days - frac : days + frac;
}

double TimeStampToMSecs(const TTimeStamp& stamp) {
    return static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
    if (!(msecs >= kMSecsPerDay) || msecs > 9999.0 * 366 * kMSecsPerDay)
        throw EConvertError("Invalid argument to time stamp conversion");
    TTimeStamp s;
    s.Date = static_cast<int32_t>(msecs / kMSecsPerDay);
    s.Time = static_cast<int32_t>(std::fmod(msecs, kMSecsPerDay));
    return s;
}

std::string DateToStr(TDateTime value) {
    int y, m, d;
    DecodeDate(value, y, m, d);
    std::string pattern = nvlocale::ShortDatePattern();
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i])));
        size_t run = 1;
        while (i + run < pattern.size() &&
               std::tolower(static_cast<unsigned char>(pattern[i + run])) == c)
            ++run;
        if (c == 'd') {
            out += run >= 2 ? Two(d) : std::to_string(d);
        } else if (c == 'm') {
            out += run >= 2 ? Two(m) : std::to_string(m);
        } else if (c == 'y') {
            if (run <= 2) {
                out += Two(y % 100);
            } else {
                char b[8];
                std::snprintf(b, sizeof b, "%04d", y);
                out += b;
            }
        } else if (c == '/') {
            for (size_t k = 0; k < run; ++k) out += nvlocale::DateSeparator();
        } else {
            out.append(pattern, i, run);
        }
        i += run;
    }
    return out;
}

std::string TimeToStr(TDateTime value) {
    int h, n, s, ms;
    DecodeTime(value, h, n, s, ms);
    return Two(h) + ":" + Two(n) + ":" + Two(s);
}

std::string DateTimeToStr(TDateTime value) {
    std::string out = DateToStr(value);
    if (DateTimeToTimeStamp(value).Time != 0) out += " " + TimeToStr(value);
    return out;
}

bool TryStrToDate(std::string_view text, TDateTime& out) {
    int y, m, d;
    return nvlocale::TryParseShortDate(text, y, m, d) && TryEncodeDate(y, m, d, out);
}

bool TryStrToDateTime(std::string_view text, TDateTime& out) {
    std::string t = Trim(text);
    size_t colon = t.find(':');
    if (colon == std::string::npos) return TryStrToDate(t, out);
    size_t space = t.rfind(' ', colon);
    TDateTime date = 0;
    if (space != std::string::npos) {
        if (!TryStrToDate(std::string_view(t).substr(0, space), date)) return false;
    }
    std::string_view tp = std::string_view(t).substr(space == std::string::npos ? 0 : space + 1);
    int parts[3] = {0, 0, 0};
    size_t count = 0, i = 0;
    while (i < tp.size()) {
        if (count == 3) return false;
        auto [p, ec] = std::from_chars(tp.data() + i, tp.data() + tp.size(), parts[count]);
        if (ec != std::errc() || p == tp.data() + i) return false;
        ++count;
        i = static_cast<size_t>(p - tp.data());
        if (i < tp.size()) {
            if (tp[i] != ':') return false;
            ++i;
            if (i == tp.size()) return false;
        }
    }
    if (count < 2) return false;
    TDateTime time;
    if (!TryEncodeTime(parts[0], parts[1], parts[2], 0, time)) return false;
    out = date < 0 ? date - time : date + time;
    return true;
}

TDateTime StrToDate(std::string_view text) {
    TDateTime r;
    if (!TryStrToDate(text, r)) throw EConvertError(NvFormat(dbmsg::SInvalidDate, {text}));
    return r;
}

TDateTime StrToDateTime(std::string_view text) {
    TDateTime r;
    if (!TryStrToDateTime(text, r)) throw EConvertError(NvFormat(dbmsg::SInvalidDateTime, {text}));
    return r;
}

std::string FloatToStr(double value, int precision) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    char b[64];
    std::snprintf(b, sizeof b, "%.*g", precision, value);
    std::string s = b;
    for (char& c : s)
        if (c == '.') c = nvlocale::DecimalSeparator();
    return s;
}

std::string FloatToStrFixed(double value, int decimals) {
    char b[400];
    std::snprintf(b, sizeof b, "%.*f", decimals, value);
    std::string s = b;
    for (char& c : s)
        if (c == '.') c = nvlocale::DecimalSeparator();
    return s;
}

bool TryStrToFloat(std::string_view text, double& out) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    char sep = nvlocale::DecimalSeparator();
    for (char& c : t) {
        if (c == sep) c = '.';
        else if (c == '.' && sep != '.') return false;
    }
    const char* b = t.data();
    if (*b == '+') ++b;
    auto [p, ec] = std::from_chars(b, t.data() + t.size(), out, std::chars_format::general);
    return ec == std::errc() && p == t.data() + t.size() && std::isfinite(out);
}

bool TryStrToInt64(std::string_view text, int64_t& out) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    const char* b = t.data();
    if (*b == '+') ++b;
    auto [p, ec] = std::from_chars(b, t.data() + t.size(), out);
    return ec == std::errc() && p == t.data() + t.size();
}

std::string AnsiUpperCase(std::string_view text) { return nvlocale::AnsiUpperCase(text); }

int AnsiCompareStr(std::string_view a, std::string_view b) { return nvlocale::AnsiCompare(a, b, false); }

int AnsiCompareText(std::string_view a, std::string_view b) { return nvlocale::AnsiCompare(a, b, true); }

bool SameText(std::string_view a, std::string_view b) { return AnsiCompareText(a, b) == 0; }

std::string Trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
    return std::string(text.substr(b, e - b));
}
