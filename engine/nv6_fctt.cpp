// Built-ins on texts: trimming, searching, cutting, padding, case, number formatting.
#include <algorithm>
#include <cmath>
#include <string_view>

#include "nv6_cpag.h"
#include "nv6_fctn.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimLeft(std::string s) {
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    return s.substr(i);
}

std::string TrimRight(std::string s) {
    while (!s.empty() && IsBlank(s.back())) s.pop_back();
    return s;
}

void SetText(TnvValue& value, TnvExpType& type, std::string s) {
    value = TnvValue::Text(std::move(s));
    type = nvtText;
}

void SetNumber(TnvValue& value, TnvExpType& type, double d) {
    value = TnvValue::Number(d);
    type = nvtNumber;
}

// A function of one Text giving a Text.
class TnvTextToText : public TnvBuiltinFunction {
public:
    TnvTextToText(const char* name, std::string (*f)(std::string)) : TnvBuiltinFunction(name), f_(f) {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetText(value, type, f_(TextArg(node, 0)));
    }

protected:
    std::string (*f_)(std::string);
};

std::string AllTrim(std::string s) { return TrimLeft(TrimRight(std::move(s))); }

// The 1-based position of the n-th occurrence of `needle`, each search starting one
// character after the previous hit; 0 when there is none.
double NthPosition(const std::string& needle, const std::string& haystack, double n) {
    if (needle.empty() || !(n >= 1)) return 0;
    std::size_t from = 0, hit = std::string::npos;
    for (double i = 0; i < std::trunc(n); ++i) {
        hit = haystack.find(needle, from);
        if (hit == std::string::npos) return 0;
        from = hit + 1;
    }
    return static_cast<double>(hit + 1);
}

}  // namespace

class TnvUDFAllTrim : public TnvTextToText {
public:
    TnvUDFAllTrim() : TnvTextToText("ALLTRIM", AllTrim) {}
};

class TnvUDFLTrim : public TnvTextToText {
public:
    TnvUDFLTrim() : TnvTextToText("LTRIM", TrimLeft) {}
};

class TnvUDFTrim : public TnvTextToText {
public:
    TnvUDFTrim() : TnvTextToText("TRIM", TrimRight) {}
};

class TnvUDFRTrim : public TnvUDFTrim {
public:
    TnvUDFRTrim() { name_ = "RTRIM"; }
};

// Case follows the page the table's text is stored in, so keys and filters fold the
// letters that page has (Cyrillic in 866, accented Latin in 437).
class TnvUDFLower : public TnvBuiltinFunction {
public:
    TnvUDFLower() : TnvBuiltinFunction("LOWER") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetText(value, type, NvLowerCase(node.UserLink(), TextArg(node, 0)));
    }
};

class TnvUDFUpper : public TnvBuiltinFunction {
public:
    TnvUDFUpper() : TnvBuiltinFunction("UPPER") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetText(value, type, NvUpperCase(node.UserLink(), TextArg(node, 0)));
    }
};

class TnvUDFAsc : public TnvBuiltinFunction {
public:
    TnvUDFAsc() : TnvBuiltinFunction("ASC") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TextArg(node, 0);
        SetNumber(value, type, s.empty() ? 0 : static_cast<unsigned char>(s[0]));
    }
};

class TnvUDFAt : public TnvBuiltinFunction {
public:
    TnvUDFAt() : TnvBuiltinFunction("AT") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string needle = TextArg(node, 0);
        std::string haystack = TextArg(node, 1);
        double n = 1;
        OptionalNumber(node, 2, n);
        if (fold_) {
            needle = NvUpperCase(node.UserLink(), needle);
            haystack = NvUpperCase(node.UserLink(), haystack);
        }
        SetNumber(value, type, NthPosition(needle, haystack, n));
    }

protected:
    bool fold_ = false;
};

class TnvUDFAtC : public TnvUDFAt {
public:
    TnvUDFAtC() {
        name_ = "ATC";
        fold_ = true;
    }
};

class TnvUDFChr : public TnvBuiltinFunction {
public:
    TnvUDFChr() : TnvBuiltinFunction("CHR") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double code = std::trunc(NumberArg(node, 0));
        if (!(code >= 0 && code <= 255)) NvRaise(TnvMsg::ValueRequiredInvalid, {"Byte"});
        SetText(value, type, std::string(1, static_cast<char>(static_cast<unsigned char>(code))));
    }
};

class TnvUDFLeft : public TnvBuiltinFunction {
public:
    TnvUDFLeft() : TnvBuiltinFunction("LEFT") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TextArg(node, 0);
        std::size_t n = Width(NumberArg(node, 1));
        s.resize(n, ' ');
        SetText(value, type, std::move(s));
    }
};

class TnvUDFRight : public TnvBuiltinFunction {
public:
    TnvUDFRight() : TnvBuiltinFunction("RIGHT") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TextArg(node, 0);
        double n = std::trunc(NumberArg(node, 1));
        if (n > 0 && n < static_cast<double>(s.size())) s = s.substr(s.size() - static_cast<std::size_t>(n));
        SetText(value, type, std::move(s));
    }
};

class TnvUDFLen : public TnvBuiltinFunction {
public:
    TnvUDFLen() : TnvBuiltinFunction("LEN") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetNumber(value, type, static_cast<double>(TextArg(node, 0).size()));
    }
};

// PADC, PADL and PADR: the value as text, the width, an optional one-character pad.
class TnvUDFPadMain : public TnvBuiltinFunction {
public:
    using TnvBuiltinFunction::TnvBuiltinFunction;
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        TnvValue v;
        TnvExpType t;
        node.GetArgument(0, v, nvtAny, t);
        if (t == nvtEmpty) NvRaise(TnvMsg::ArgumentNeeded, {"Value", 1, "Pad"});
        text_ = NvValueText(v);
        width_ = Width(NumberArg(node, 1));
        padChar_ = ' ';
        node.GetArgument(2, v, nvtAny, t);
        if (t != nvtEmpty) {
            if (t != nvtText || !v.IsText() || v.AsText().size() != 1)
                NvRaise(TnvMsg::ValueRequiredInvalid, {"Char"});
            padChar_ = v.AsText()[0];
        }
        if (text_.size() < width_) Pad(width_ - text_.size());
        SetText(value, type, text_);
    }

protected:
    // Adds `missing` pad characters to text_.
    virtual void Pad(std::size_t missing) = 0;
    char padChar_ = ' ';
    std::string text_;
    std::size_t width_ = 0;
};

class TnvUDFPadC : public TnvUDFPadMain {
public:
    TnvUDFPadC() : TnvUDFPadMain("PADC") {}

protected:
    void Pad(std::size_t missing) override {
        text_ = std::string(missing / 2, padChar_) + text_ + std::string(missing - missing / 2, padChar_);
    }
};

class TnvUDFPadL : public TnvUDFPadMain {
public:
    TnvUDFPadL() : TnvUDFPadMain("PADL") {}

protected:
    void Pad(std::size_t missing) override { text_.insert(0, missing, padChar_); }
};

class TnvUDFPadR : public TnvUDFPadMain {
public:
    TnvUDFPadR() : TnvUDFPadMain("PADR") {}

protected:
    void Pad(std::size_t missing) override { text_.append(missing, padChar_); }
};

class TnvUDFProper : public TnvBuiltinFunction {
public:
    TnvUDFProper() : TnvBuiltinFunction("PROPER") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        static constexpr std::string_view kStarters = "!\"#$%&()*+,-./:;<=>?[\\]^_{|}~@ \x7f";
        std::string s = TextArg(node, 0);
        const std::string upper = NvUpperCase(node.UserLink(), s);
        const std::string lower = NvLowerCase(node.UserLink(), s);
        for (std::size_t i = 0; i < s.size(); ++i) {
            bool starts = i == 0 || kStarters.find(s[i - 1]) != std::string_view::npos;
            s[i] = starts ? upper[i] : lower[i];
        }
        SetText(value, type, std::move(s));
    }
};

class TnvUDFSoundex : public TnvBuiltinFunction {
public:
    TnvUDFSoundex() : TnvBuiltinFunction("SOUNDEX") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TextArg(node, 0);
        if (s.empty()) return SetText(value, type, "0000");
        for (char& c : s)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        std::string code(1, s[0]);
        for (std::size_t i = 1; i < s.size(); ++i)
            if (char d = Digit(s[i])) code += d;
        std::string out(1, code[0]);
        for (std::size_t i = 1; i < code.size(); ++i)
            if (code[i] != code[i - 1]) out += code[i];
        out += "0000";
        SetText(value, type, out.substr(0, 4));
    }

private:
    static char Digit(char c) {
        switch (c) {
            case 'B': case 'F': case 'P': case 'V': return '1';
            case 'C': case 'G': case 'J': case 'K': case 'Q': case 'S': case 'X': case 'Z': return '2';
            case 'D': case 'T': return '3';
            case 'L': return '4';
            case 'M': case 'N': return '5';
            case 'R': return '6';
            default: return 0;
        }
    }
};

class TnvUDFSpace : public TnvBuiltinFunction {
public:
    TnvUDFSpace() : TnvBuiltinFunction("SPACE") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        SetText(value, type, std::string(Width(NumberArg(node, 0)), ' '));
    }
};

// STR: fixed notation, right-aligned; asterisks when the number does not fit.
class TnvUDFStr : public TnvBuiltinFunction {
public:
    TnvUDFStr() : TnvBuiltinFunction("STR") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double x = NumberArg(node, 0);
        double w = 10, d = 0;
        if (!OptionalNumber(node, 1, w)) {
            TnvExpUserLink* link = node.UserLink();
            w = link ? link->defaultNumericWidth : 10;
            if (w < 0) w = node.ArgumentLength(0);
        }
        std::size_t width = Width(w);
        OptionalNumber(node, 2, d);
        std::size_t decimals = std::min(Width(d), width);
        std::string s = Format(x, width, decimals);
        if (zeros_)
            for (char& c : s) {
                if (c != ' ') break;
                c = '0';
            }
        SetText(value, type, std::move(s));
    }

protected:
    static std::string Format(double x, std::size_t width, std::size_t decimals) {
        if (!std::isfinite(x)) return std::string(width, '*');
        // Past 400 places a double has no digit left; the rest are zeros.
        std::size_t formatted = std::min<std::size_t>(decimals, 400);
        std::string s = nvlocale::FormatFixed(x, static_cast<int>(formatted), '.');
        s.append(decimals - formatted, '0');
        if (s.size() > width) return std::string(width, '*');
        return std::string(width - s.size(), ' ') + s;
    }
    bool zeros_ = false;
};

class TnvUDFStrZero : public TnvUDFStr {
public:
    TnvUDFStrZero() {
        name_ = "STRZERO";
        zeros_ = true;
    }
};

class TnvUDFStrTran : public TnvBuiltinFunction {
public:
    TnvUDFStrTran() : TnvBuiltinFunction("STRTRAN") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string text = TextArg(node, 0);
        std::string search = TextArg(node, 1);
        std::string replace;
        OptionalText(node, 2, replace);
        double start = 1, count = -1;
        OptionalNumber(node, 3, start);
        bool limited = OptionalNumber(node, 4, count);
        if (text.empty() || search.empty()) return SetText(value, type, std::move(text));
        start = std::trunc(start);
        count = std::trunc(count);
        std::string out;
        std::size_t pos = 0;
        double seen = 0, replaced = 0;
        for (;;) {
            std::size_t hit = text.find(search, pos);
            if (hit == std::string::npos || (limited && replaced >= count)) break;
            ++seen;
            out.append(text, pos, hit - pos);
            if (seen >= start) {
                if (out.size() + replace.size() > text.size() + kNvMaxTextWidth)
                    NvRaise(TnvMsg::ArgumentMustBe,
                            {name_, "a replacement adding at most " + std::to_string(kNvMaxTextWidth) + " characters"});
                out += replace;
                ++replaced;
            } else {
                out += search;
            }
            pos = hit + search.size();
        }
        out.append(text, pos, std::string::npos);
        SetText(value, type, std::move(out));
    }
};

class TnvUDFSubStr : public TnvBuiltinFunction {
public:
    TnvUDFSubStr() : TnvBuiltinFunction("SUBSTR") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        std::string s = TextArg(node, 0);
        double from = std::trunc(NumberArg(node, 1));
        double count = 0;
        bool counted = OptionalNumber(node, 2, count);
        if (!(from >= 1 && from <= static_cast<double>(s.size()))) return SetText(value, type, "");
        std::size_t start = static_cast<std::size_t>(from) - 1;
        std::size_t rest = s.size() - start;
        std::size_t n = rest;
        if (counted) {
            count = std::trunc(count);
            n = count <= 0 ? 0 : (count < static_cast<double>(rest) ? static_cast<std::size_t>(count) : rest);
        }
        SetText(value, type, s.substr(start, n));
    }
};

class TnvUDFVal : public TnvBuiltinFunction {
public:
    TnvUDFVal() : TnvBuiltinFunction("VAL") {}
    void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type) override {
        double d = 0;
        if (!nvlocale::TryParseNumber(TextArg(node, 0), d, '.')) d = 0;
        SetNumber(value, type, d);
    }
};

void NvCreateTextFunctions(TnvFunctionSet& out) {
    auto add = [&out](std::unique_ptr<TnvUserDefFunction> f) { NvAddFunction(out, std::move(f)); };
    add(std::make_unique<TnvUDFAllTrim>());
    add(std::make_unique<TnvUDFAsc>());
    add(std::make_unique<TnvUDFAt>());
    add(std::make_unique<TnvUDFAtC>());
    add(std::make_unique<TnvUDFChr>());
    add(std::make_unique<TnvUDFLeft>());
    add(std::make_unique<TnvUDFLen>());
    add(std::make_unique<TnvUDFLower>());
    add(std::make_unique<TnvUDFLTrim>());
    add(std::make_unique<TnvUDFPadC>());
    add(std::make_unique<TnvUDFPadL>());
    add(std::make_unique<TnvUDFPadR>());
    add(std::make_unique<TnvUDFProper>());
    add(std::make_unique<TnvUDFRight>());
    add(std::make_unique<TnvUDFRTrim>());
    add(std::make_unique<TnvUDFSoundex>());
    add(std::make_unique<TnvUDFSpace>());
    add(std::make_unique<TnvUDFStr>());
    add(std::make_unique<TnvUDFStrTran>());
    add(std::make_unique<TnvUDFStrZero>());
    add(std::make_unique<TnvUDFSubStr>());
    add(std::make_unique<TnvUDFTrim>());
    add(std::make_unique<TnvUDFUpper>());
    add(std::make_unique<TnvUDFVal>());
}
