// The built-in function library of the expression engine and the constants TRUE, FALSE and
// PI. One instance of each function class serves every expression; the instances live in
// the global registries (nv6_sql.h) for the whole run. Each class is named TnvUDF + the
// function's word (TnvUDFSoundex); the classes are defined in nv6_fctn*.cpp by family.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "nv6_sql.h"

// A built-in: a fixed registered name and argument helpers.
class TnvBuiltinFunction : public TnvUserDefFunction {
public:
    explicit TnvBuiltinFunction(const char* name) : name_(name) {}
    void Name(std::string& text) const override { text = name_; }

protected:
    // A required Number argument (the argument error when it is missing or of another type).
    double NumberArg(TnvExpFunction& node, int index) const;
    // A required Text argument.
    std::string TextArg(TnvExpFunction& node, int index) const;
    // An optional Number argument: true and `out` set only when the argument is a Number.
    bool OptionalNumber(TnvExpFunction& node, int index, double& out) const;
    // An optional Text argument: true and `out` set only when the argument is a Text.
    bool OptionalText(TnvExpFunction& node, int index, std::string& out) const;
    // A count of characters from a Number: truncated, negative as 0; a count above
    // kNvMaxTextWidth raises "Argument for %s must be %s".
    std::size_t Width(double n) const;

    const char* name_;
};

// The longest text a function builds from a count (SPACE, LEFT, PADx, STR widths), and the
// most a STRTRAN may add to its text: as long as the longest character field, so that an
// expression of a few bytes cannot ask for gigabytes (its results grow at most linearly
// with its length).
inline constexpr std::size_t kNvMaxTextWidth = 65535;

// The three constant variables.
class TnvSDVTrue : public TnvUserDefFieldVar {
public:
    TnvSDVTrue() : TnvUserDefFieldVar("TRUE") {}
    void Evaluate(TnvValue& value, TnvExpType& type) override;
};
class TnvSDVFalse : public TnvUserDefFieldVar {
public:
    TnvSDVFalse() : TnvUserDefFieldVar("FALSE") {}
    void Evaluate(TnvValue& value, TnvExpType& type) override;
};
class TnvSDVPi : public TnvUserDefFieldVar {
public:
    TnvSDVPi() : TnvUserDefFieldVar("PI") {}
    void Evaluate(TnvValue& value, TnvExpType& type) override;
};

inline constexpr double kNvPi = 3.1415926535897932385;

using TnvFunctionSet = std::map<std::string, std::unique_ptr<TnvUserDefFunction>>;

// Each family adds one instance of each of its functions, keyed by name.
// Files the function under its own name (the first one filed under a name stays).
inline void NvAddFunction(TnvFunctionSet& out, std::unique_ptr<TnvUserDefFunction> f) {
    std::string name = f->Name();
    out.emplace(std::move(name), std::move(f));
}
void NvCreateMathFunctions(TnvFunctionSet& out);
void NvCreateTextFunctions(TnvFunctionSet& out);
void NvCreateDateFunctions(TnvFunctionSet& out);

// Fills the global registries: TRUE, FALSE and PI, then the functions in their documented
// order. Called once, when the registries are first used.
void NvRegisterBuiltins(TnvFunctionReg& functions, TnvFieldVarReg& variables);
