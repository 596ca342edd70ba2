// Date access of the expression engine over the shared date converter.
#include "nv6_sqld.h"

#include "nv6_date.h"
#include "nv6_glbl.h"

namespace nvexpdate {

int32_t TextToDay(std::string_view text) {
    try {
        return DBFDate.TextToDay(text);
    } catch (const EConvertError& e) {
        // Callers of the expression engine treat expression errors as a rejected text.
        throw ENorvaneExpression(e.Message());
    }
}

std::string DayToStor(int32_t day) { return DBFDate.DayToStor(day); }
std::string DayToText(int32_t day) { return DBFDate.DayToText(day); }
int32_t Today() { return DBFDate.Today(); }
int DayOfWeek(int32_t day) { return DBFDate.DayOfWeek(day); }
void DayToYMD(int32_t day, int& year, int& month, int& dayOfMonth) { DBFDate.DayToYMD(day, year, month, dayOfMonth); }

}  // namespace nvexpdate
