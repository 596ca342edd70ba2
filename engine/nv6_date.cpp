#include "nv6_date.h"

#include <chrono>
#include <cstdio>

#include "nv6_lcal.h"

namespace {

using namespace std::chrono;

// Julian Day Number of 1970-01-01, the epoch of sys_days.
constexpr int32_t kJdnOfUnixEpoch = 2440588;
// Julian Day Number of 9999-12-31, the last day a date field can store. Later days (only
// damaged fields and far date arithmetic give them) are no date, like 0: the calendar
// would give them years of five digits and, past year 32767, wrapped years.
constexpr int32_t kJdnOfLastDay = 5373484;

bool IsDay(int32_t day) { return day > 0 && day <= kJdnOfLastDay; }

}  // namespace

void TnvDBFDate::DayToYMD(int32_t day, int& year, int& month, int& dayOfMonth) const {
    if (!IsDay(day)) {
        year = month = dayOfMonth = 0;
        return;
    }
    year_month_day ymd{sys_days{days{static_cast<int64_t>(day) - kJdnOfUnixEpoch}}};
    year = static_cast<int>(ymd.year());
    month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    dayOfMonth = static_cast<int>(static_cast<unsigned>(ymd.day()));
}

int32_t TnvDBFDate::YMDToDay(int year, int month, int dayOfMonth) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31) return 0;
    year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                       std::chrono::day{static_cast<unsigned>(dayOfMonth)}};
    if (!ymd.ok()) return 0;
    return static_cast<int32_t>(sys_days{ymd}.time_since_epoch().count() + kJdnOfUnixEpoch);
}

int32_t TnvDBFDate::Today() const {
    nvlocale::LocalDateTime now = nvlocale::Now();
    return YMDToDay(now.year, now.month, now.day);
}

int TnvDBFDate::DayOfWeek(int32_t day) const {
    if (!IsDay(day)) return 0;
    return static_cast<int>((static_cast<int64_t>(day) + 1) % 7) + 1;
}

std::string TnvDBFDate::DayToStor(int32_t day) const {
    if (!IsDay(day)) return std::string(8, ' ');
    int y, m, d;
    DayToYMD(day, y, m, d);
    if (y < 0 || y > 9999) {
        char text[32];
        std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
        return text;
    }
    // Written for every date field of every record an import or append stores.
    std::string text(8, '0');
    auto put = [&text](int v, int end, int width) {
        for (int k = end - 1; k >= end - width; --k, v /= 10) text[static_cast<std::size_t>(k)] = static_cast<char>('0' + v % 10);
    };
    put(y, 4, 4);
    put(m, 6, 2);
    put(d, 8, 2);
    return text;
}

std::string TnvDBFDate::DisplayPattern() const {
    std::string pattern = nvlocale::AnsiUpperCase(nvlocale::ShortDatePattern());
    if (century_) {
        std::size_t firstY = pattern.find('Y');
        // Without any Y there is nowhere to widen; inserting would never end.
        while (firstY != std::string::npos && pattern.find("YYYY") == std::string::npos) pattern.insert(firstY, 1, 'Y');
    }
    return pattern;
}

std::string TnvDBFDate::DayToText(int32_t day) const {
    std::string pattern = DisplayPattern();
    if (!IsDay(day)) return std::string(pattern.size(), ' ');
    int y, m, d;
    DayToYMD(day, y, m, d);
    std::string out;
    char sep = nvlocale::DateSeparator();
    for (std::size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        std::size_t run = 1;
        while (i + run < pattern.size() && pattern[i + run] == c) ++run;
        char part[16];
        switch (c) {
            case 'D':
                std::snprintf(part, sizeof part, run >= 2 ? "%02d" : "%d", d);
                out += part;
                break;
            case 'M':
                std::snprintf(part, sizeof part, run >= 2 ? "%02d" : "%d", m);
                out += part;
                break;
            case 'Y':
                if (run >= 3) std::snprintf(part, sizeof part, "%04d", y);
                else std::snprintf(part, sizeof part, "%02d", y % 100);
                out += part;
                break;
            case '/':
                out.append(run, sep);
                break;
            default:
                out.append(run, c);
                break;
        }
        i += run;
    }
    return out;
}

int32_t TnvDBFDate::TextToDay(std::string_view text) const {
    if (text == "00000000") return 0;
    std::string_view trimmed = text;
    while (!trimmed.empty() && static_cast<unsigned char>(trimmed.back()) <= 32) trimmed.remove_suffix(1);
    if (trimmed.empty()) return 0;
    if (trimmed.size() == 8 && trimmed.find_first_not_of("0123456789") == std::string_view::npos) {
        auto num = [&](std::size_t at, std::size_t n) {
            int v = 0;
            for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (trimmed[i] - '0');
            return v;
        };
        int32_t day = YMDToDay(num(0, 4), num(4, 2), num(6, 2));
        return day != 0 ? day : kDayOffset;
    }
    int y, m, d;
    nvlocale::ParseShortDate(trimmed, y, m, d);
    return YMDToDay(y, m, d);
}
