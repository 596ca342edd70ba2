// Built-ins on dates, and the ones that take any type: choices, comparisons, emptiness.
#include <cmath>

#include "nv6_fctn.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sqld.h"

namespace {

// The last day with a four-digit year, 31 December 9999; later day numbers have no text.
constexpr double kLastDay = 5373484;
// DESCEND maps a day number d to this minus d.
constexpr double kDescendDay = 5231808;

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// The day number of a date value; 0 for the blank date and for numbers no calendar has.
int32_t DayOf(double d) {
    if (!(d >= 1 && d <= kLastDay)) return 0;
    return static_cast<int32_t>(d);
}

void SetText(TnvValue& value, TnvExpType& type, std::string s) {
    value = TnvValue::Text(std::move(s));
    type = nvtText;
}

void SetNumber(TnvValue& value, TnvExpType& type, double d) {
    value = TnvValue::Number(d);
    type = nvtNumber;
}

void SetBoolean(TnvValue& value, TnvExpType& type, bool b) {
    value = TnvValue::Boolean(b);
    type = nvtBoolean;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && IsBlank(s.back())) s.pop_back();
    return s;
}

// Orders two values of one type family: numbers by value, texts by the locale, booleans
// false before true.
int CompareSameType(const TnvValue& a, const TnvValue& b, TnvExpType type, const char* op) {
    if (NvExpIsNumeric(type)) {
        double x = NvComparable(NvValueNumber(a, op), type), y = NvComparable(NvValueNumber(b, op), type);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (type == nvtText) return nvlocale::AnsiCompare(NvValueText(a), NvValueText(b), false);
    if (type == nvtBoolean) return int(NvValueBoolean(a)) - int(NvValueBoolean(b));
    return 0;
}

bool SameFamily(TnvExpType a, TnvExpType b) { return a == b || (NvExpIsNumeric(a) && NvExpIsNumeric(b)); }

// A function of one Date.
class TnvDateFunction : public TnvBuiltinFunction {
public:
    using TnvBuiltinFunction::TnvBuiltinFunction;

protected:
    double DateArg(TnvExpFunction& node, int index) const {
        TnvValue v;
        TnvExpType t;
        node.GetArgument(index, v, nvtDate, t);
        return NvValueNumber(v, name_);
    }
};

}  // namespace

class TnvUDFCTOD : public TnvBuiltinFunction {
public:
    TnvUDFCTOD() : TnvBuiltinFunction("CTOD") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TrimRight(TextArg(node, 0));
        value = TnvValue::Number(s.empty() ? kNvBlankDate : nvexpdate::TextToDay(s));
        type = nvtDate;
    }
};

class TnvUDFDate : public TnvBuiltinFunction {
public:
    TnvUDFDate() : TnvBuiltinFunction("DATE") {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        value = TnvValue::Number(nvexpdate::Today());
        type = nvtDate;
    }
};

class TnvUDFDOW : public TnvDateFunction {
public:
    TnvUDFDOW() : TnvDateFunction("DOW") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        int32_t day = DayOf(DateArg(node, 0));
        SetNumber(value, type, day ? nvexpdate::DayOfWeek(day) : 0);
    }
};

class TnvUDFDTOC : public TnvDateFunction {
public:
    TnvUDFDTOC() : TnvDateFunction("DTOC") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        int32_t day = DayOf(DateArg(node, 0));
        double mode = 0;
        OptionalNumber(node, 1, mode);
        SetText(value, type, std::trunc(mode) == 1 ? nvexpdate::DayToStor(day) : nvexpdate::DayToText(day));
    }
};

class TnvUDFDTOS : public TnvDateFunction {
public:
    TnvUDFDTOS() : TnvDateFunction("DTOS") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetText(value, type, nvexpdate::DayToStor(DayOf(DateArg(node, 0))));
    }
};

// YEAR, MONTH and DAY: parts of a date, 0 for the blank date.
class TnvDatePart : public TnvDateFunction {
public:
    TnvDatePart(const char* name, int part) : TnvDateFunction(name), part_(part) {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        int32_t day = DayOf(DateArg(node, 0));
        int ymd[3] = {0, 0, 0};
        if (day) nvexpdate::DayToYMD(day, ymd[0], ymd[1], ymd[2]);
        SetNumber(value, type, ymd[part_]);
    }

private:
    int part_;
};

class TnvUDFYear : public TnvDatePart {
public:
    TnvUDFYear() : TnvDatePart("YEAR", 0) {}
};
class TnvUDFMonth : public TnvDatePart {
public:
    TnvUDFMonth() : TnvDatePart("MONTH", 1) {}
};
class TnvUDFDay : public TnvDatePart {
public:
    TnvUDFDay() : TnvDatePart("DAY", 2) {}
};

class TnvUDFDescend : public TnvBuiltinFunction {
public:
    TnvUDFDescend() : TnvBuiltinFunction("DESCEND") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue v;
        node.GetArgument(0, v, nvtAny, type);
        if (type == nvtDate || type == nvtDateTime) {
            double d = NvValueNumber(v, name_);
            value = TnvValue::Number(d >= kNvBlankDate ? d : kDescendDay - d);
        } else if (type == nvtNumber || type == nvtInteger) {
            double d = NvValueNumber(v, name_);
            value = TnvValue::Number(d == 0 ? 0.0 : -d);
        } else if (type == nvtText) {
            std::string s = NvValueText(v);
            for (char& c : s) c = static_cast<char>((256 - static_cast<unsigned char>(c)) % 256);
            value = TnvValue::Text(std::move(s));
        } else if (type == nvtBoolean) {
            value = TnvValue::Boolean(!NvValueBoolean(v));
        } else {
            value = TnvValue::Boolean(false);
        }
    }
};

class TnvUDFEmpty : public TnvBuiltinFunction {
public:
    TnvUDFEmpty() : TnvBuiltinFunction("EMPTY") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue v;
        TnvExpType t;
        node.GetArgument(0, v, nvtAny, t);
        bool empty = false;
        if (t == nvtDate || t == nvtDateTime) {
            double d = NvValueNumber(v, name_);
            empty = d == 0 || d >= kNvBlankDate;
        } else if (t == nvtNumber || t == nvtInteger) {
            empty = NvValueNumber(v, name_) == 0;
        } else if (t == nvtText) {
            empty = TrimRight(NvValueText(v)).empty();
        } else if (t == nvtBoolean) {
            empty = !NvValueBoolean(v);
        }
        SetBoolean(value, type, empty);
    }
};

class TnvUDFIIF : public TnvBuiltinFunction {
public:
    TnvUDFIIF() : TnvBuiltinFunction("IIF") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue cond;
        TnvExpType t;
        node.GetArgument(0, cond, nvtBoolean, t);
        // Only the chosen branch is evaluated.
        node.GetArgument(NvValueBoolean(cond) ? 1 : 2, value, nvtAny, type);
    }
};

class TnvUDFBetween : public TnvBuiltinFunction {
public:
    TnvUDFBetween() : TnvBuiltinFunction("BETWEEN") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue x, low, high;
        TnvExpType tx, t;
        node.GetArgument(0, x, nvtAny, tx);
        if (tx != nvtText && tx != nvtBoolean && !NvExpIsNumeric(tx)) return SetBoolean(value, type, false);
        node.GetArgument(1, low, tx, t);
        node.GetArgument(2, high, tx, t);
        if (tx == nvtText) {
            // Texts compare without their trailing blanks, as the comparison operators do.
            x = TnvValue::Text(TrimRight(NvValueText(x)));
            low = TnvValue::Text(TrimRight(NvValueText(low)));
            high = TnvValue::Text(TrimRight(NvValueText(high)));
        }
        SetBoolean(value, type,
                   CompareSameType(low, x, tx, name_) <= 0 && CompareSameType(x, high, tx, name_) <= 0);
    }
};

class TnvUDFInlist : public TnvBuiltinFunction {
public:
    TnvUDFInlist() : TnvBuiltinFunction("INLIST") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue x, item;
        TnvExpType tx, t;
        node.GetArgument(0, x, nvtAny, tx);
        bool found = false;
        if (tx != nvtEmpty) {
            if (tx == nvtText) x = TnvValue::Text(TrimRight(NvValueText(x)));
            for (int i = 1; i < node.ArgumentCount() && !found; ++i) {
                node.GetArgument(i, item, nvtAny, t);
                if (!SameFamily(tx, t)) continue;
                if (tx == nvtText)
                    found = NvValueText(x) == NvValueText(item);
                else
                    found = CompareSameType(x, item, tx, name_) == 0;
            }
        }
        SetBoolean(value, type, found);
    }
};

// MAX and MIN: the extreme of arguments of one type family, typed as the first.
class TnvUDFMax : public TnvBuiltinFunction {
public:
    TnvUDFMax() : TnvBuiltinFunction("MAX") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        node.GetArgument(0, value, nvtAny, type);
        if (type == nvtEmpty) NvRaise(TnvMsg::ValueRequiredFor, {label_});
        TnvValue item;
        TnvExpType t;
        for (int i = 1; i < node.ArgumentCount(); ++i) {
            node.GetArgument(i, item, nvtAny, t);
            if (!SameFamily(type, t)) NvRaise(TnvMsg::ArgumentsSameType, {label_});
            if (sign_ * CompareSameType(item, value, type, name_) > 0) value = item;
        }
    }

protected:
    const char* label_ = "Max()";
    int sign_ = 1;
};

class TnvUDFMin : public TnvUDFMax {
public:
    TnvUDFMin() {
        name_ = "MIN";
        label_ = "Min()";
        sign_ = -1;
    }
};

void NvCreateDateFunctions(TnvFunctionSet& out) {
    auto add = [&out](std::unique_ptr<TnvUserDefFunction> f) { NvAddFunction(out, std::move(f)); };
    add(std::make_unique<TnvUDFBetween>());
    add(std::make_unique<TnvUDFCTOD>());
    add(std::make_unique<TnvUDFDate>());
    add(std::make_unique<TnvUDFDescend>());
    add(std::make_unique<TnvUDFDOW>());
    add(std::make_unique<TnvUDFDTOC>());
    add(std::make_unique<TnvUDFDTOS>());
    add(std::make_unique<TnvUDFEmpty>());
    add(std::make_unique<TnvUDFIIF>());
    add(std::make_unique<TnvUDFInlist>());
    add(std::make_unique<TnvUDFMax>());
    add(std::make_unique<TnvUDFMin>());
    add(std::make_unique<TnvUDFYear>());
    add(std::make_unique<TnvUDFMonth>());
    add(std::make_unique<TnvUDFDay>());
}
