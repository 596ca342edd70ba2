// Helpers shared by the expression tests: one-shot evaluation, the text of the error an
// action raises, and a link holding variables whose values a test sets.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "nv6_glbl.h"
#include "nv6_sql.h"

namespace exprtest {

struct Result {
    TnvExpType type = nvtUnknown;
    TnvValue value;
};

inline Result Eval(std::string_view text, TnvExpUserLink* link = nullptr) {
    TnvExpHandler h(link, text);
    Result r;
    h.Evaluate(r.value);
    r.type = h.ResultType();
    return r;
}

// The message of the ENorvaneExpression `action` raises, or "<no error>" / "<other: ...>".
inline std::string ExprError(const std::function<void()>& action) {
    try {
        action();
    } catch (const ENorvaneExpression& e) {
        return e.Message();
    } catch (const Exception& e) {
        return "<other: " + e.Message() + ">";
    }
    return "<no error>";
}

inline std::string ParseError(std::string_view text, TnvExpUserLink* link = nullptr) {
    return ExprError([&] { TnvExpHandler h(link, text); });
}

inline std::string EvalError(std::string_view text, TnvExpUserLink* link = nullptr) {
    return ExprError([&] { Eval(text, link); });
}

// A variable whose value and type the test sets.
class TestVar : public TnvUserDefFieldVar {
public:
    TestVar(std::string_view names, TnvValue v, TnvExpType t, int len = 0, int dec = 0)
        : TnvUserDefFieldVar(names), value_(std::move(v)), type_(t) {
        length = len;
        decimals = dec;
    }
    void Evaluate(TnvValue& value, TnvExpType& type) override {
        ++reads;
        value = value_;
        type = type_;
    }
    void Set(TnvValue v) { value_ = std::move(v); }
    int reads = 0;

private:
    TnvValue value_;
    TnvExpType type_;
};

// A link with a few variables; Var(name) gives a registered TestVar.
class TestLink : public TnvExpUserLink {
public:
    TestVar* Add(std::string_view names, TnvValue v, TnvExpType t, int len = 0, int dec = 0) {
        auto var = std::make_unique<TestVar>(names, std::move(v), t, len, dec);
        TestVar* raw = var.get();
        AddVariable(std::move(var));
        return raw;
    }
};

}  // namespace exprtest
