// Built-ins: the shared argument helpers, the constants, the registration in documented
// order, and the numeric functions.
#include "nv6_fctn.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "nv6_glbl.h"

// --- helpers ----------------------------------------------------------------------------

double TnvBuiltinFunction::NumberArg(TnvExpFunction& node, int index) const {
    TnvValue v;
    TnvExpType t;
    node.GetArgument(index, v, nvtNumber, t);
    return NvValueNumber(v, name_);
}

std::string TnvBuiltinFunction::TextArg(TnvExpFunction& node, int index) const {
    TnvValue v;
    TnvExpType t;
    node.GetArgument(index, v, nvtText, t);
    return NvValueText(v);
}

bool TnvBuiltinFunction::OptionalNumber(TnvExpFunction& node, int index, double& out) const {
    TnvValue v;
    TnvExpType t;
    node.GetArgument(index, v, nvtAny, t);
    if (t != nvtNumber && t != nvtInteger) return false;
    out = NvValueNumber(v, name_);
    return true;
}

bool TnvBuiltinFunction::OptionalText(TnvExpFunction& node, int index, std::string& out) const {
    TnvValue v;
    TnvExpType t;
    node.GetArgument(index, v, nvtAny, t);
    if (t != nvtText) return false;
    out = NvValueText(v);
    return true;
}

std::size_t TnvBuiltinFunction::Width(double n) const {
    if (!(n > 0)) return 0;  // negative, zero and NaN
    n = std::trunc(n);
    if (n > static_cast<double>(kNvMaxTextWidth))
        NvRaise(TnvMsg::ArgumentMustBe, {name_, "at most " + std::to_string(kNvMaxTextWidth)});
    return static_cast<std::size_t>(n);
}

// --- constants --------------------------------------------------------------------------

void TnvSDVTrue::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Boolean(true);
    type = nvtBoolean;
}

void TnvSDVFalse::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Boolean(false);
    type = nvtBoolean;
}

void TnvSDVPi::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Number(kNvPi);
    type = nvtNumber;
}

// --- numeric functions ------------------------------------------------------------------

namespace {

void SetNumber(TnvValue& value, TnvExpType& type, double d) {
    value = TnvValue::Number(d == 0 ? 0.0 : d);  // never a negative zero
    type = nvtNumber;
}

// A function of one Number giving a Number.
class TnvUnaryMath : public TnvBuiltinFunction {
public:
    TnvUnaryMath(const char* name, double (*f)(double)) : TnvBuiltinFunction(name), f_(f) {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, Apply(NumberArg(node, 0)));
    }

protected:
    virtual double Apply(double x) const { return f_(x); }
    double (*f_)(double);
};

double Fabs(double x) { return std::fabs(x); }
double Acos(double x) { return std::acos(x); }
double Asin(double x) { return std::asin(x); }
double Atan(double x) { return std::atan(x); }
double Ceil(double x) { return std::ceil(x); }
double Cos(double x) { return std::cos(x); }
double DegToRad(double x) { return x * kNvPi / 180.0; }
double Floor(double x) { return std::floor(x); }
double Trunc(double x) { return std::trunc(x); }
double Ln(double x) { return std::log(x); }
double Lg(double x) { return std::log10(x); }
double RadToDeg(double x) { return x * 180.0 / kNvPi; }
double Sin(double x) { return std::sin(x); }
double Tan(double x) { return std::tan(x); }

}  // namespace

class TnvUDFAbsolute : public TnvUnaryMath {
public:
    TnvUDFAbsolute() : TnvUnaryMath("ABS", Fabs) {}
};

// ACOS and ASIN take -1..1 only.
class TnvUDFArcCos : public TnvUnaryMath {
public:
    TnvUDFArcCos() : TnvUnaryMath("ACOS", Acos) {}

protected:
    double Apply(double x) const override {
        if (!(x >= -1 && x <= 1)) NvRaise(TnvMsg::ArgumentMustBe, {name_, "-1 to +1"});
        return f_(x);
    }
};

class TnvUDFArcSin : public TnvUDFArcCos {
public:
    TnvUDFArcSin() {
        name_ = "ASIN";
        f_ = Asin;
    }
};

class TnvUDFArcTan : public TnvUnaryMath {
public:
    TnvUDFArcTan() : TnvUnaryMath("ATAN", Atan) {}
};

class TnvUDFArcTan2 : public TnvBuiltinFunction {
public:
    TnvUDFArcTan2() : TnvBuiltinFunction("ATN2") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double y = NumberArg(node, 0);
        double x = NumberArg(node, 1);
        SetNumber(value, type, std::atan2(y, x));
    }
};

// Whole numbers are computed on doubles, so values beyond the 32-bit range stay exact.
class TnvUDFCeiling : public TnvUnaryMath {
public:
    TnvUDFCeiling() : TnvUnaryMath("CEILING", Ceil) {}
};

class TnvUDFCosine : public TnvUnaryMath {
public:
    TnvUDFCosine() : TnvUnaryMath("COS", Cos) {}
};

class TnvUDFDegToRad : public TnvUnaryMath {
public:
    TnvUDFDegToRad() : TnvUnaryMath("DTOR", DegToRad) {}
};

class TnvUDFFloor : public TnvUnaryMath {
public:
    TnvUDFFloor() : TnvUnaryMath("FLOOR", Floor) {}
};

class TnvUDFInt : public TnvUnaryMath {
public:
    TnvUDFInt() : TnvUnaryMath("INT", Trunc) {}
};

class TnvUDFLog : public TnvUnaryMath {
public:
    TnvUDFLog() : TnvUnaryMath("LOG", Ln) {}

protected:
    double Apply(double x) const override {
        if (!(x > 0)) NvRaise(TnvMsg::ArgumentMustBe, {name_, "> 0"});
        return f_(x);
    }
};

class TnvUDFLog10 : public TnvUDFLog {
public:
    TnvUDFLog10() {
        name_ = "LOG10";
        f_ = Lg;
    }
};

class TnvUDFRadToDeg : public TnvUnaryMath {
public:
    TnvUDFRadToDeg() : TnvUnaryMath("RTOD", RadToDeg) {}
};

class TnvUDFSin : public TnvUnaryMath {
public:
    TnvUDFSin() : TnvUnaryMath("SIN", Sin) {}
};

class TnvUDFTan : public TnvUnaryMath {
public:
    TnvUDFTan() : TnvUnaryMath("TAN", Tan) {}
};

class TnvUDFMod : public TnvBuiltinFunction {
public:
    TnvUDFMod() : TnvBuiltinFunction("MOD") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double a = std::trunc(NumberArg(node, 0));
        double b = std::trunc(NumberArg(node, 1));
        if (b == 0) NvRaise(TnvMsg::DivisionByZero, {name_});
        SetNumber(value, type, std::fmod(a, b));  // the sign follows a
    }
};

class TnvUDFPi : public TnvBuiltinFunction {
public:
    TnvUDFPi() : TnvBuiltinFunction("PI") {}
    void Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, kNvPi);
    }
};

// FV and PV share their arguments: payment, rate, periods, the other value, payment time.
class TnvUDFFutureValue : public TnvBuiltinFunction {
public:
    TnvUDFFutureValue() : TnvBuiltinFunction("FV") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double p = NumberArg(node, 0);
        double r = NumberArg(node, 1);
        double n = std::trunc(NumberArg(node, 2));
        double other = 0, t = 0;
        OptionalNumber(node, 3, other);
        OptionalNumber(node, 4, t);
        t = std::trunc(t);
        std::string word = std::string(name_) + " PaymentTime";
        if (std::fabs(t) > 1) NvRaise(TnvMsg::ArgumentMustBe, {word, "0 or 1"});
        // -1 means payments at the end of each period, like 0.
        if (t < 0) t = 0;
        if (!(r > -1)) NvRaise(TnvMsg::ArgumentMustBe, {std::string(name_) + " Rate", "> -1"});
        SetNumber(value, type, Compute(p, r, n, other, t));
    }

protected:
    explicit TnvUDFFutureValue(const char* name) : TnvBuiltinFunction(name) {}
    virtual double Compute(double p, double r, double n, double pv, double t) const {
        if (r == 0) return std::fabs(pv + p * n);
        double g = std::pow(1 + r, n);
        if (g > 1e16) NvRaise(TnvMsg::ArgumentMustBe, {"FV Growth", "<= 1E16"});
        return std::fabs(pv * g + p * (1 + r * t) * (g - 1) / r);
    }
};

class TnvUDFPresentValue : public TnvUDFFutureValue {
public:
    TnvUDFPresentValue() : TnvUDFFutureValue("PV") {}

protected:
    double Compute(double p, double r, double n, double fv, double t) const override {
        if (r == 0) return std::fabs(fv + p * n);
        double g = std::pow(1 + r, n);
        return std::fabs(fv / g + p * (1 + r * t) * (1 - 1 / g) / r);
    }
};

// ROUND rounds half away from zero on the number as it is written in its shortest decimal
// form, so ROUND(2.675, 2) is 2.68 although the double nearest 2.675 lies just below it.
// Negative decimals round to tens, hundreds, ...
namespace {
double NvRoundHalfAway(double x, int decimals) {
    if (!std::isfinite(x) || x == 0) return x;
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    std::string s(buf, res.ptr);
    std::size_t e = s.find('e');
    int exponent = std::atoi(s.c_str() + e + 1);
    std::string digits;
    for (std::size_t i = 0; i < e; ++i)
        if (s[i] != '.') digits += s[i];
    // digits[k] has the place value 10^(exponent - k); keep those down to 10^-decimals.
    long keep = static_cast<long>(exponent) + decimals + 1;
    if (keep >= static_cast<long>(digits.size())) return x;
    double sign = x < 0 ? -1.0 : 1.0;
    if (keep < 0) return 0.0;
    std::string kept = digits.substr(0, static_cast<std::size_t>(keep));
    if (digits[static_cast<std::size_t>(keep)] >= '5') {
        long i = keep - 1;
        for (; i >= 0; --i) {
            if (kept[static_cast<std::size_t>(i)] == '9') {
                kept[static_cast<std::size_t>(i)] = '0';
            } else {
                ++kept[static_cast<std::size_t>(i)];
                break;
            }
        }
        if (i < 0) kept.insert(kept.begin(), '1');
    }
    if (kept.empty()) return 0.0;
    std::string text = kept + "e" + std::to_string(-static_cast<long>(decimals));
    double out = 0;
    std::from_chars(text.data(), text.data() + text.size(), out, std::chars_format::scientific);
    return sign * out;
}
}  // namespace

class TnvUDFRound : public TnvBuiltinFunction {
public:
    TnvUDFRound() : TnvBuiltinFunction("ROUND") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double x = NumberArg(node, 0);
        double d = 0;
        OptionalNumber(node, 1, d);
        d = std::trunc(d);
        // Beyond these a double has no digit to round.
        if (d > 400) d = 400;
        if (d < -400) d = -400;
        SetNumber(value, type, NvRoundHalfAway(x, static_cast<int>(d)));
    }
};

void NvCreateMathFunctions(TnvFunctionSet& out) {
    auto add = [&out](std::unique_ptr<TnvUserDefFunction> f) { NvAddFunction(out, std::move(f)); };
    add(std::make_unique<TnvUDFAbsolute>());
    add(std::make_unique<TnvUDFArcCos>());
    add(std::make_unique<TnvUDFArcSin>());
    add(std::make_unique<TnvUDFArcTan>());
    add(std::make_unique<TnvUDFArcTan2>());
    add(std::make_unique<TnvUDFCeiling>());
    add(std::make_unique<TnvUDFCosine>());
    add(std::make_unique<TnvUDFDegToRad>());
    add(std::make_unique<TnvUDFFloor>());
    add(std::make_unique<TnvUDFFutureValue>());
    add(std::make_unique<TnvUDFInt>());
    add(std::make_unique<TnvUDFLog>());
    add(std::make_unique<TnvUDFLog10>());
    add(std::make_unique<TnvUDFMod>());
    add(std::make_unique<TnvUDFPi>());
    add(std::make_unique<TnvUDFPresentValue>());
    add(std::make_unique<TnvUDFRadToDeg>());
    add(std::make_unique<TnvUDFRound>());
    add(std::make_unique<TnvUDFSin>());
    add(std::make_unique<TnvUDFTan>());
}

// --- registration -----------------------------------------------------------------------

void NvRegisterBuiltins(TnvFunctionReg& functions, TnvFieldVarReg& variables) {
    variables.Register(std::make_unique<TnvSDVTrue>());
    variables.Register(std::make_unique<TnvSDVFalse>());
    variables.Register(std::make_unique<TnvSDVPi>());

    // The instances live as long as the registries that refer to them.
    static TnvFunctionSet owned;
    NvCreateMathFunctions(owned);
    NvCreateTextFunctions(owned);
    NvCreateDateFunctions(owned);
    static const char* const kOrder[] = {
        "ABS",     "ALLTRIM", "ACOS",   "ASIN",    "ATAN",    "ATN2",    "ASC",   "AT",
        "ATC",     "BETWEEN", "CEILING", "CHR",    "COS",     "CTOD",    "DATE",  "DESCEND",
        "DOW",     "DTOC",    "DTOR",   "DTOS",    "EMPTY",   "FLOOR",   "FV",    "IIF",
        "INLIST",  "INT",     "LEFT",   "LEN",     "LOG",     "LOG10",   "LOWER", "LTRIM",
        "MAX",     "MIN",     "MOD",    "PADC",    "PADL",    "PADR",    "PI",    "PV",
        "PROPER",  "RIGHT",   "RTRIM",  "RTOD",    "ROUND",   "SIN",     "SOUNDEX", "SPACE",
        "STR",     "STRTRAN", "STRZERO", "SUBSTR", "TAN",     "TRIM",    "UPPER", "VAL",
        // Beyond the classic list; filters of the family use them.
        "YEAR",    "MONTH",   "DAY",
    };
    for (const char* name : kOrder) {
        auto it = owned.find(name);
        if (it != owned.end()) functions.Register(it->second.get());
    }
}
