// The handler's life cycle and evaluation, the function and variable bases, the registries
// and the user link.
#include "nv6_sql.h"

#include <typeinfo>

#include "nv6_cpag.h"
#include "nv6_fctn.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_tool.h"

// --- functions and variables ------------------------------------------------------------

void TnvUserDefFunction::Name(std::string& text) const { text.clear(); }

std::string TnvUserDefFunction::Name() const {
    std::string text;
    Name(text);
    return text;
}

void TnvUserDefFunction::Evaluate(TnvExpFunction&, TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    type = nvtEmpty;
}

TnvUserDefFieldVar::TnvUserDefFieldVar(std::string_view names)
    : names_(nvlocale::AnsiUpperCase(names)) {}

void TnvUserDefFieldVar::Name(std::string& text) const { text = names_; }

void TnvUserDefFieldVar::FirstName(std::string& text) const { text = names_.substr(0, names_.find(';')); }

int TnvUserDefFieldVar::Category() const { return 16; }

void TnvUserDefFieldVar::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    type = nvtEmpty;
}

// --- registries -------------------------------------------------------------------------

bool TnvFunctionReg::Register(TnvUserDefFunction* function) {
    if (!function) return true;
    return entries_.emplace(nvlocale::AnsiUpperCase(function->Name()), function).second;
}

TnvUserDefFunction* TnvFunctionReg::Find(std::string_view name) const {
    auto it = entries_.find(nvlocale::AnsiUpperCase(name));
    return it == entries_.end() ? nullptr : it->second;
}

TnvFieldVarReg::~TnvFieldVarReg() {
    for (auto& [name, variable] : entries_)
        if (--variable->referenceCount < 1) delete variable;
}

bool TnvFieldVarReg::Register(std::unique_ptr<TnvUserDefFieldVar> variable) {
    if (!variable) return true;
    std::string names;
    variable->Name(names);
    names = nvlocale::AnsiUpperCase(names);
    bool all = true;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = names.find(';', start);
        std::string part = names.substr(start, end == std::string::npos ? end : end - start);
        if (entries_.emplace(part, variable.get()).second)
            ++variable->referenceCount;
        else
            all = false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    // From here the entries own it; one that no entry took goes with the unique_ptr.
    if (variable->referenceCount > 0) variable.release();
    return all;
}

TnvUserDefFieldVar* TnvFieldVarReg::Find(std::string_view name) const {
    auto it = entries_.find(nvlocale::AnsiUpperCase(name));
    return it == entries_.end() ? nullptr : it->second;
}

namespace {

struct GlobalRegistries {
    GlobalRegistries() { NvRegisterBuiltins(functions, variables); }
    TnvFieldVarReg variables;
    TnvFunctionReg functions;
};

GlobalRegistries& Globals() {
    static GlobalRegistries globals;
    return globals;
}

}  // namespace

TnvFunctionReg& NvGlobalFunctions() { return Globals().functions; }
TnvFieldVarReg& NvGlobalVariables() { return Globals().variables; }

// --- user link --------------------------------------------------------------------------

TnvExpUserLink::~TnvExpUserLink() = default;

std::string TnvExpUserLink::UpperCase(std::string_view text) const {
    return textPage ? textPage->UpperCase(text) : nvlocale::AnsiUpperCase(text);
}

std::string TnvExpUserLink::LowerCase(std::string_view text) const {
    return textPage ? textPage->LowerCase(text) : nvlocale::AnsiLowerCase(text);
}

std::string NvUpperCase(const TnvExpUserLink* link, std::string_view text) {
    return link ? link->UpperCase(text) : nvlocale::AnsiUpperCase(text);
}

std::string NvLowerCase(const TnvExpUserLink* link, std::string_view text) {
    return link ? link->LowerCase(text) : nvlocale::AnsiLowerCase(text);
}

TnvUserDefFunction* TnvExpUserLink::FindFunction(std::string_view name) { return functions_.Find(name); }

TnvUserDefFieldVar* TnvExpUserLink::FindVariable(std::string_view name) {
    // Field names are significant to 10 characters; a qualified name is taken whole.
    if (name.find('.') == std::string_view::npos && name.size() > 10) name = name.substr(0, 10);
    return variables_.Find(name);
}

void TnvExpUserLink::MissingFunction(std::string_view name) { NvRaise(TnvMsg::NoFunction, {name}); }

bool TnvExpUserLink::AddFunction(std::unique_ptr<TnvUserDefFunction> function) {
    if (!function) return true;
    bool added = functions_.Register(function.get());
    ownedFunctions_.push_back(std::move(function));
    return added;
}

bool TnvExpUserLink::AddVariable(std::unique_ptr<TnvUserDefFieldVar> variable) {
    return variables_.Register(std::move(variable));
}

// --- handler ----------------------------------------------------------------------------

TnvExpHandler::TnvExpHandler(TnvExpUserLink* link, std::string_view text) : link_(link) {
    settings_.link = link;
    if (!text.empty()) SetExpression(text);
}

TnvExpHandler::~TnvExpHandler() = default;

void TnvExpHandler::Clear() {
    root_.reset();
    maxLength_ = 0;
    maxDecimals_ = 0;
    operandCount_ = 0;
    resultType_ = nvtUnknown;
}

void TnvExpHandler::ExpressionText(std::string& text) const {
    text.clear();
    if (root_) root_->AsText(text);
}

std::string TnvExpHandler::ExpressionText() const {
    std::string text;
    ExpressionText(text);
    return text;
}

void TnvExpHandler::CollectNames(int category, std::string& text) const {
    text.clear();
    if (root_) root_->Collect(category, text);
}

void TnvExpHandler::Evaluate(TnvValue& value) {
    value = TnvValue();
    evaluating_ = false;
    if (!root_) {
        resultType_ = nvtUnknown;
        return;
    }
    TnvExpType type = nvtUnknown;
    root_->Evaluate(value, type);
    resultType_ = type;
}

void TnvExpHandler::EvaluateKey(TnvVariant& key) {
    evaluating_ = false;
    if (!root_) {
        key.PutString("");
        resultType_ = nvtUnknown;
        return;
    }
    TnvExpType type = nvtUnknown;
    // A key of one field (the common case) goes from the record to the key directly.
    TnvExpBaseObject& root = *root_;
    if (typeid(root) == typeid(TnvExpFieldvar)) {
        auto& field = static_cast<TnvExpFieldvar&>(root);
        if (field.Variable()->EvaluateKey(key, type)) {
            field.resultType = type;
            resultType_ = type;
            return;
        }
    }
    TnvValue value;
    root_->Evaluate(value, type);
    resultType_ = type;
    if (value.IsNull()) return;  // nothing stored; the type is kept
    switch (type) {
        case nvtText:
            if (value.GetKind() == TnvValue::Kind::Text)
                key.PutString(value.AsText());
            else
                key.PutString(NvValueText(value));
            return;
        case nvtNumber:
        case nvtDateTime: key.PutNumber(NvValueNumber(value, "key")); return;
        case nvtDate: {
            // The blank date of CTOD('') and numbers no calendar has store as day 0.
            double d = NvValueNumber(value, "key");
            key.PutDate(d >= 1 && d <= 2147483647.0 ? static_cast<int32_t>(d) : 0);
            return;
        }
        case nvtBoolean: key.PutLogical(NvValueBoolean(value) ? 1 : 0); return;
        default: resultType_ = nvtUnknown; return;
    }
}
