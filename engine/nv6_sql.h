// The xBase expression engine: `TnvExpHandler` compiles an expression text once into a node
// tree (nv6_sqln.h) and evaluates it as often as needed; names in the text resolve against
// the global registries (built-in functions and the constants TRUE, FALSE, PI, nv6_fctn.h)
// and then against the handler's user link (a table's fields and table functions,
// nv6_sqlt.h).
//
// Ownership: the handler owns its tree; a variable registry holds its variables by reference
// count; a function registry only refers to its functions (the global ones live for the
// whole run, a link owns the ones added to it). A link must outlive every handler given it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_sqln.h"
#include "nv6_valu.h"

class TnvVariant;

// A function callable from expressions as NAME(arguments). One instance serves every call.
class TnvUserDefFunction {
public:
    TnvUserDefFunction() = default;
    TnvUserDefFunction(const TnvUserDefFunction&) = delete;
    TnvUserDefFunction& operator=(const TnvUserDefFunction&) = delete;
    virtual ~TnvUserDefFunction() = default;

    // The name it is registered under; empty in the base.
    virtual void Name(std::string& text) const;
    std::string Name() const;
    // Fetches and checks its arguments through `node` and computes the value and its type.
    // The base yields nothing and type Empty.
    virtual void Evaluate(TnvExpFunction& node, TnvValue& value, TnvExpType& type);
};

// A named value an expression reads without parentheses: a constant or a table field.
class TnvUserDefFieldVar {
public:
    // `names`: one or more names separated by ";" (stored upper-cased).
    explicit TnvUserDefFieldVar(std::string_view names);
    TnvUserDefFieldVar(const TnvUserDefFieldVar&) = delete;
    TnvUserDefFieldVar& operator=(const TnvUserDefFieldVar&) = delete;
    virtual ~TnvUserDefFieldVar() = default;

    // The whole names text.
    virtual void Name(std::string& text) const;
    // The text before the first ";".
    virtual void FirstName(std::string& text) const;
    // 16 for variables, 17 for table fields.
    virtual int Category() const;
    // The current value and its type; the base yields nothing and type Empty.
    virtual void Evaluate(TnvValue& value, TnvExpType& type);
    // The current value put straight into an index key, for a key that is this variable
    // alone: a tag build asks once per record. False (nothing done) where the variable has no
    // such shortcut; the key is then made from Evaluate.
    virtual bool EvaluateKey(TnvVariant& /*key*/, TnvExpType& /*type*/) { return false; }

    int32_t length = 0;
    int32_t decimals = 0;
    // Registry entries holding this object; the last one to go destroys it.
    int32_t referenceCount = 0;

protected:
    std::string names_;
};

// Functions by upper-cased name; the first registration of a name stays in force.
class TnvFunctionReg {
public:
    TnvFunctionReg() = default;
    TnvFunctionReg(const TnvFunctionReg&) = delete;
    TnvFunctionReg& operator=(const TnvFunctionReg&) = delete;

    // Adds the function under its upper-cased Name; false when the name is taken. None is
    // accepted and ignored (true). The registry does not own the object.
    bool Register(TnvUserDefFunction* function);
    // The function registered under `name` (any case), or none.
    TnvUserDefFunction* Find(std::string_view name) const;
    int Count() const { return static_cast<int>(entries_.size()); }

private:
    std::map<std::string, TnvUserDefFunction*, std::less<>> entries_;
};

// Variables by upper-cased name, each entry holding one reference.
class TnvFieldVarReg {
public:
    TnvFieldVarReg() = default;
    TnvFieldVarReg(const TnvFieldVarReg&) = delete;
    TnvFieldVarReg& operator=(const TnvFieldVarReg&) = delete;
    // Drops every entry's reference; a variable whose count falls below 1 is destroyed.
    ~TnvFieldVarReg();

    // Adds the variable under each ";"-separated part of its upper-cased Name, one reference
    // per part taken; false when any part was taken already. A variable that no part took
    // is destroyed.
    bool Register(std::unique_ptr<TnvUserDefFieldVar> variable);
    // The variable registered under `name` (any case), or none.
    TnvUserDefFieldVar* Find(std::string_view name) const;
    int Count() const { return static_cast<int>(entries_.size()); }

private:
    std::map<std::string, TnvUserDefFieldVar*, std::less<>> entries_;
};

// The registries every expression sees, filled with the built-ins on first use.
TnvFunctionReg& NvGlobalFunctions();
TnvFieldVarReg& NvGlobalVariables();

// Resolves the names the global registries do not know, typically a table's fields and
// table functions. Owns the functions added to it.
namespace nvlocale {
class TnvCodePage;
}

class TnvExpUserLink {
public:
    TnvExpUserLink() = default;
    TnvExpUserLink(const TnvExpUserLink&) = delete;
    TnvExpUserLink& operator=(const TnvExpUserLink&) = delete;
    virtual ~TnvExpUserLink();

    // The function registered in this link under `name`, or none.
    virtual TnvUserDefFunction* FindFunction(std::string_view name);
    // The variable registered in this link under `name`, or none. A name without "." is
    // significant to 10 characters; a qualified name (ALIAS.FIELD) is looked up whole.
    virtual TnvUserDefFieldVar* FindVariable(std::string_view name);
    // Called when no registry knows the function; raises "There is no function for %s".
    // An override should raise too; if it returns, the parser raises that message itself.
    virtual void MissingFunction(std::string_view name);

    // Registers the function in this link, which keeps it alive; false if the name is taken.
    bool AddFunction(std::unique_ptr<TnvUserDefFunction> function);
    // Registers the variable in this link's registry; false if any of its names is taken.
    bool AddVariable(std::unique_ptr<TnvUserDefFieldVar> variable);

    // Width STR uses when none is given; a negative value means the first argument's length.
    int32_t defaultNumericWidth = 10;
    // The page the table's text is stored in, for UPPER, LOWER and case-insensitive
    // comparison; none folds case as in the ANSI page 1252.
    const nvlocale::TnvCodePage* textPage = nullptr;

    std::string UpperCase(std::string_view text) const;
    std::string LowerCase(std::string_view text) const;

private:
    // Declared before the registry so the registry, which refers to them, goes first.
    std::vector<std::unique_ptr<TnvUserDefFunction>> ownedFunctions_;
    TnvFunctionReg functions_;
    TnvFieldVarReg variables_;
};

// Case mapping in the link's text page (the ANSI page 1252 without a link).
std::string NvUpperCase(const TnvExpUserLink* link, std::string_view text);
std::string NvLowerCase(const TnvExpUserLink* link, std::string_view text);

// A compiled expression: parse once, evaluate many times. Not copyable; one thread at a time.
class TnvExpHandler {
public:
    // Deeper nesting of groups, arguments and negations is rejected with ENorvaneExpression.
    static constexpr int kMaxNesting = 200;
    // A taller tree (long chains of operators included) is rejected the same way.
    static constexpr int kMaxTreeHeight = 2000;

    // Compiles `text` unless it is empty; `link` may be none and must outlive the handler.
    // On a parse error raises ENorvaneExpression and the handler holds no tree.
    explicit TnvExpHandler(TnvExpUserLink* link = nullptr, std::string_view text = {});
    TnvExpHandler(const TnvExpHandler&) = delete;
    TnvExpHandler& operator=(const TnvExpHandler&) = delete;
    ~TnvExpHandler();

    // Drops the old tree and compiles `text` (blank text leaves no tree). On a parse error
    // raises ENorvaneExpression and leaves no tree.
    void SetExpression(std::string_view text);
    // The rebuilt text of the tree, or empty.
    void ExpressionText(std::string& text) const;
    std::string ExpressionText() const;
    // Names of the nodes of `category` each followed by ";" (16 variables, 17 table fields).
    void CollectNames(int category, std::string& text) const;

    // Evaluates the tree into `value` (nothing without a tree) and updates ResultType.
    void Evaluate(TnvValue& value);
    // Evaluates into an index or sort key of the kind matching the result type; without a
    // tree the key becomes empty text and ResultType 0.
    void EvaluateKey(TnvVariant& key);
    // The type code of the last evaluation; 0 before any or without a tree.
    TnvExpType ResultType() const { return resultType_; }
    // Largest width and decimals among the field variables and number literals.
    int32_t MaxLength() const { return maxLength_; }
    int32_t MaxDecimals() const { return maxDecimals_; }
    // Function, variable and literal nodes in the tree; 0 means it holds no operand.
    int32_t OperandCount() const { return operandCount_; }

    // Text comparison settings, copied into operators when the next text is compiled.
    bool CaseInsensitive() const { return settings_.caseInsensitive; }
    void SetCaseInsensitive(bool on) { settings_.caseInsensitive = on; }
    bool Wildcards() const { return settings_.wildcards; }
    void SetWildcards(bool on) { settings_.wildcards = on; }
    void SetWildcardChars(char many, char one) {
        settings_.manyWildcard = many;
        settings_.oneWildcard = one;
    }

    TnvExpUserLink* UserLink() const { return link_; }
    // The root node, or none (for callers that inspect the tree).
    const TnvExpBaseObject* Root() const { return root_.get(); }

private:
    friend class TnvExpParser;
    void Clear();

    TnvExpUserLink* link_;
    TnvExpType resultType_ = nvtUnknown;
    bool evaluating_ = false;
    int32_t maxLength_ = 0;
    int32_t maxDecimals_ = 0;
    std::unique_ptr<TnvExpBaseObject> root_;
    int32_t operandCount_ = 0;
    TnvExpCompareSettings settings_;
};
