// The node classes of a compiled xBase expression and the result type codes they report.
//
// A `TnvExpHandler` (nv6_sql.h) turns expression text into a tree of these nodes and owns
// the root; every node owns its children (and a function node its argument trees). Nodes
// only refer to the function and variable objects they call: those belong to the registries
// of nv6_sql.h, which must outlive every tree compiled against them. Not thread-safe: one
// tree is evaluated by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nv6_valu.h"

class TnvExpHandler;
class TnvExpUserLink;
class TnvUserDefFunction;
class TnvUserDefFieldVar;

// Result type codes of nodes, functions and variables (one byte).
enum TnvExpType : uint8_t {
    nvtUnknown = 0,   // not evaluated / no result
    nvtEmpty = 1,     // argument missing
    nvtAny = 2,       // as an expected type: anything is accepted
    nvtText = 3,
    nvtNumber = 4,
    nvtInteger = 5,
    nvtDate = 6,      // a day number carried as a double
    nvtDateTime = 7,
    nvtBoolean = 8,
    nvtMemo = 9,
    nvtPointer = 10,
    nvtAsExpected = 11,  // as a declared result: the type the caller expects
};

// The name of a type code as messages show it ("Invalid Value" above Pointer).
const char* NvExpTypeName(int type);

// Number, Integer, Date and DateTime mix freely in arithmetic and comparisons.
inline bool NvExpIsNumeric(int type) { return type >= nvtNumber && type <= nvtDateTime; }

// The value CTOD gives for an empty text; date functions treat it as the blank date.
inline constexpr double kNvBlankDate = 1e100;

// A value of `type` as comparisons see it: a blank date is 0 whether it came from an empty
// date field (0) or from CTOD of an empty text (kNvBlankDate), so the two are equal and
// both come before every real date. Other values are unchanged.
inline double NvComparable(double value, int type) {
    return type == nvtDate && value >= kNvBlankDate ? 0 : value;
}

// Reads a value as a number: a double as it is, a boolean as 1 or 0, nothing as 0, a text
// parsed as a decimal number. A text that is not a number raises ENorvaneExpression naming
// `operation`.
double NvValueNumber(const TnvValue& value, const char* operation);
// Reads a value as text: a number in its shortest decimal form, a boolean as "T"/"F".
std::string NvValueText(const TnvValue& value);
// Reads a value as a boolean: a text is true when it starts with one of "TtYyJj".
bool NvValueBoolean(const TnvValue& value);

// Node kind codes.
enum TnvExpKind : uint8_t {
    nvkOther = 0,
    nvkOperator = 2,      // an operator that has its operands
    nvkWaiting = 3,       // an operator still waiting for its operands
    nvkFunction = 4,
    nvkFieldVar = 5,
    nvkTextLit = 6,
    nvkNumLit = 7,
    nvkDateLit = 8,
    nvkBlnLit = 9,
};

class TnvExpBaseObject {
public:
    TnvExpBaseObject() = default;
    TnvExpBaseObject(const TnvExpBaseObject&) = delete;
    TnvExpBaseObject& operator=(const TnvExpBaseObject&) = delete;
    virtual ~TnvExpBaseObject();

    // The node's own text (operator symbol, literal, name with arguments); empty in the base.
    virtual void Name(std::string& text) const;
    // Identifies a class of variables for Collect; -1 for anything but a variable.
    virtual int Category() const;
    // Rebuilds the expression text of this subtree, with no blanks added.
    virtual void AsText(std::string& text) const;
    // Appends Name and ";" for every node of this subtree whose Category is `category`,
    // in text order.
    virtual void Collect(int category, std::string& text) const;
    // Computes the node's value; `type` receives the result type code. The base yields
    // nothing and type Unknown.
    virtual void Evaluate(TnvValue& value, TnvExpType& type);

    TnvExpKind kind = nvkOther;
    TnvExpType resultType = nvtUnknown;
    uint8_t flag = 0;
    int32_t length = 0;
    int32_t decimals = 0;
    std::unique_ptr<TnvExpBaseObject> left;
    std::unique_ptr<TnvExpBaseObject> right;
};

// The operations an operator node performs.
enum class TnvExpOp : uint8_t {
    Equal, NotEqual, Greater, Less, GreaterEqual, LessEqual, Contains, ExactlyEqual,
    Add, Subtract, Multiply, Divide, Power, And, Or, Not,
};

// How an operator compares texts; copied from the handler when the node is built.
struct TnvExpCompareSettings {
    bool caseInsensitive = false;
    bool wildcards = true;
    char manyWildcard = '*';
    char oneWildcard = '?';
    // The link of the handler that built the node: its text page folds case.
    const TnvExpUserLink* link = nullptr;
};

class TnvExpOperator : public TnvExpBaseObject {
public:
    TnvExpOperator(TnvExpOp op, int level, const TnvExpCompareSettings& settings);
    void Name(std::string& text) const override;
    // Uses the written symbol ("$" rather than the operation's name) so the text parses back.
    void AsText(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;

    TnvExpOp Op() const { return op_; }
    int Level() const { return level_; }
    // Text comparison after trimming, with the wildcard rule: negative, 0 or positive.
    int CompareText(const TnvValue& leftValue, const TnvValue& rightValue) const;

private:
    void EvaluateBoolean(const TnvValue& l, const TnvValue& r, TnvValue& value);
    // `lt` and `rt` are the two sides' types: a blank date compares as one value whichever
    // way it was made.
    void EvaluateNumeric(const TnvValue& l, const TnvValue& r, TnvExpType lt, TnvExpType rt, TnvValue& value);
    void EvaluateText(const TnvValue& l, const TnvValue& r, TnvValue& value);
    [[noreturn]] void Invalid(const char* what) const;

    TnvExpOp op_;
    int level_;
    TnvExpCompareSettings settings_;
};

// A parenthesised group; its tree is the right child (none for "()").
class TnvExpContainer : public TnvExpBaseObject {
public:
    explicit TnvExpContainer(std::unique_ptr<TnvExpBaseObject> group);
    void Name(std::string& text) const override;
    void AsText(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;
};

// A call of a registered function with its argument trees.
class TnvExpFunction : public TnvExpBaseObject {
public:
    // `owner` is the handler that compiled the node (gives the user link to functions).
    TnvExpFunction(TnvUserDefFunction* function, TnvExpHandler* owner);
    void Name(std::string& text) const override;
    void AsText(std::string& text) const override;
    // Also walks the arguments, so the variables a function reads are listed too.
    void Collect(int category, std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;

    // Evaluates argument `index` (from 0) into `value`. A missing argument gives type Empty
    // and no value; a declared type AsExpected becomes `expected`. Unless `expected` is Any,
    // a type that differs from it (outside the numeric family) raises "%s needed for
    // Argument %d of %s".
    void GetArgument(int index, TnvValue& value, TnvExpType expected, TnvExpType& actual);
    // The node length of argument `index`, or 10 when there is none.
    int32_t ArgumentLength(int index) const;
    int ArgumentCount() const { return static_cast<int>(arguments_.size()); }
    // The tree of argument `index`, or none.
    const TnvExpBaseObject* Argument(int index) const {
        return index >= 0 && index < ArgumentCount() ? arguments_[static_cast<std::size_t>(index)].get() : nullptr;
    }
    void AddArgument(std::unique_ptr<TnvExpBaseObject> argument);

    TnvUserDefFunction* Function() const { return function_; }
    // The link of the handler that compiled this node, or none.
    TnvExpUserLink* UserLink() const;

private:
    TnvUserDefFunction* function_;
    TnvExpHandler* owner_;
    std::vector<std::unique_ptr<TnvExpBaseObject>> arguments_;
};

// A variable of a registry or of the table, by the name as written.
class TnvExpFieldvar : public TnvExpBaseObject {
public:
    TnvExpFieldvar(TnvUserDefFieldVar* variable, std::string writtenName);
    void Name(std::string& text) const override;
    int Category() const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;
    TnvUserDefFieldVar* Variable() const { return variable_; }

private:
    TnvUserDefFieldVar* variable_;
    std::string name_;
};

class TnvExpTextLit : public TnvExpBaseObject {
public:
    explicit TnvExpTextLit(std::string text);
    // The text in double quotes (in single quotes or brackets when it holds a double quote).
    void Name(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;

private:
    std::string text_;
};

class TnvExpNumLit : public TnvExpBaseObject {
public:
    // `token` as written (sign included); an unreadable token reads as 0.
    explicit TnvExpNumLit(const std::string& token);
    void Name(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;
    double Value() const { return value_; }

private:
    double value_ = 0;
};

class TnvExpDateLit : public TnvExpBaseObject {
public:
    // `text` is the stored form "yyyymmdd" or the display form; blank gives day 0.
    explicit TnvExpDateLit(const std::string& text);
    void Name(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;
    int32_t Day() const { return day_; }

private:
    int32_t day_ = 0;
};

class TnvExpBlnLit : public TnvExpBaseObject {
public:
    explicit TnvExpBlnLit(bool value);
    void Name(std::string& text) const override;
    void Evaluate(TnvValue& value, TnvExpType& type) override;

private:
    bool value_;
};
