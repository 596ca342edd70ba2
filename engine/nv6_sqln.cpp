// Expression nodes: rebuilding text, collecting names, and evaluation, including the
// operator tables for booleans, the numeric family and texts.
#include "nv6_sqln.h"

#include <cmath>

#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"
#include "nv6_sqld.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimRight(std::string s) {
    while (!s.empty() && IsBlank(s.back())) s.pop_back();
    return s;
}

const std::string& TextOf(const TnvValue& v) {
    static const std::string empty;
    return v.IsText() ? v.AsText() : empty;
}

bool IsEmptyText(const TnvValue& v) { return v.IsNull() || (v.IsText() && v.AsText().empty()); }

bool IsComparison(TnvExpOp op) { return op <= TnvExpOp::ExactlyEqual; }

}  // namespace

const char* NvExpTypeName(int type) {
    static const char* const kNames[] = {"Unknown", "Empty",   "Any",     "Text",
                                         "Number",  "Integer", "Date",    "DateTime",
                                         "Boolean", "Memo",    "Pointer"};
    if (type < 0 || type > nvtPointer) return "Invalid Value";
    return kNames[type];
}

double NvValueNumber(const TnvValue& value, const char* operation) {
    switch (value.GetKind()) {
        case TnvValue::Kind::Number: return value.AsNumber();
        case TnvValue::Kind::Boolean: return value.AsBoolean() ? 1.0 : 0.0;
        case TnvValue::Kind::Null: return 0.0;
        case TnvValue::Kind::Text: break;
    }
    double d = 0;
    if (!nvlocale::TryParseNumber(value.AsText(), d, nvlocale::DecimalSeparator()))
        NvRaise(TnvMsg::TextNotANumber, {value.AsText(), operation});
    return d;
}

std::string NvValueText(const TnvValue& value) {
    switch (value.GetKind()) {
        case TnvValue::Kind::Text: return value.AsText();
        case TnvValue::Kind::Number:
            return nvlocale::FormatShortest(value.AsNumber(), nvlocale::DecimalSeparator());
        case TnvValue::Kind::Boolean: return value.AsBoolean() ? "T" : "F";
        case TnvValue::Kind::Null: break;
    }
    return {};
}

bool NvValueBoolean(const TnvValue& value) {
    switch (value.GetKind()) {
        case TnvValue::Kind::Boolean: return value.AsBoolean();
        case TnvValue::Kind::Number: return std::trunc(value.AsNumber()) != 0;
        case TnvValue::Kind::Text:
            return !value.AsText().empty() &&
                   std::string_view("TtYyJj").find(value.AsText()[0]) != std::string_view::npos;
        case TnvValue::Kind::Null: break;
    }
    return false;
}

// --- base -----------------------------------------------------------------------------

TnvExpBaseObject::~TnvExpBaseObject() = default;

void TnvExpBaseObject::Name(std::string& text) const { text.clear(); }

int TnvExpBaseObject::Category() const { return -1; }

void TnvExpBaseObject::AsText(std::string& text) const {
    std::string part;
    text.clear();
    if (left) {
        left->AsText(part);
        text += part;
    }
    Name(part);
    text += part;
    if (right) {
        right->AsText(part);
        text += part;
    }
}

void TnvExpBaseObject::Collect(int category, std::string& text) const {
    if (left) left->Collect(category, text);
    if (Category() == category) {
        std::string name;
        Name(name);
        text += name;
        text += ';';
    }
    if (right) right->Collect(category, text);
}

void TnvExpBaseObject::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    type = nvtUnknown;
}

// --- operators ------------------------------------------------------------------------

TnvExpOperator::TnvExpOperator(TnvExpOp op, int level, const TnvExpCompareSettings& settings)
    : op_(op), level_(level), settings_(settings) {
    kind = nvkWaiting;
}

void TnvExpOperator::Name(std::string& text) const {
    static const char* const kNames[] = {
        "=", "#", ">", "<", ">=", "<=", "in string", "exactly equal",
        "+", "-", "*", "/", "^", ".AND.", ".OR.", ".NOT.",
    };
    text = kNames[static_cast<int>(op_)];
}

void TnvExpOperator::AsText(std::string& text) const {
    if (op_ != TnvExpOp::Contains) return TnvExpBaseObject::AsText(text);
    std::string part;
    text.clear();
    if (left) left->AsText(text);
    text += '$';
    if (right) {
        right->AsText(part);
        text += part;
    }
}

void TnvExpOperator::Invalid(const char* what) const { NvRaise(TnvMsg::ValueRequiredInvalid, {what}); }

void TnvExpOperator::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    if (!right || (!left && op_ != TnvExpOp::Not)) {
        std::string name;
        Name(name);
        NvRaise(TnvMsg::TargetValueMissing, {name});
    }
    TnvValue r, l;
    TnvExpType rt = nvtUnknown, lt = nvtUnknown;
    right->Evaluate(r, rt);
    if (left)
        left->Evaluate(l, lt);
    else
        lt = rt;
    type = rt;
    if (rt != lt && !(NvExpIsNumeric(rt) && NvExpIsNumeric(lt)))
        NvRaisePlain(TnvMsg::SidesDoNotMatch);
    if (rt == nvtBoolean) {
        EvaluateBoolean(l, r, value);
    } else if (NvExpIsNumeric(rt)) {
        EvaluateNumeric(l, r, lt, rt, value);
    } else if (rt == nvtText) {
        EvaluateText(l, r, value);
    } else {
        resultType = type;  // no value for Unknown, Empty, Memo and Pointer operands
        return;
    }
    if (IsComparison(op_) || op_ == TnvExpOp::And || op_ == TnvExpOp::Or || op_ == TnvExpOp::Not)
        type = nvtBoolean;
    resultType = type;
}

void TnvExpOperator::EvaluateBoolean(const TnvValue& l, const TnvValue& r, TnvValue& value) {
    const bool a = NvValueBoolean(l), b = NvValueBoolean(r);
    switch (op_) {
        case TnvExpOp::Equal: value = TnvValue::Boolean(a == b); return;
        case TnvExpOp::NotEqual: value = TnvValue::Boolean(a != b); return;
        case TnvExpOp::And: value = TnvValue::Boolean(a && b); return;
        case TnvExpOp::Or: value = TnvValue::Boolean(a || b); return;
        case TnvExpOp::Not: value = TnvValue::Boolean(!b); return;
        case TnvExpOp::Add:
        case TnvExpOp::Subtract:
        case TnvExpOp::Multiply:
        case TnvExpOp::Divide:
        case TnvExpOp::Power: Invalid("number");
        default: Invalid("assigned");
    }
}

void TnvExpOperator::EvaluateNumeric(const TnvValue& lv, const TnvValue& rv, TnvExpType lt, TnvExpType rt,
                                     TnvValue& value) {
    std::string name;
    Name(name);
    double l = NvValueNumber(lv, name.c_str());
    double r = NvValueNumber(rv, name.c_str());
    if (IsComparison(op_)) {
        l = NvComparable(l, lt);
        r = NvComparable(r, rt);
    }
    switch (op_) {
        // For finite doubles l - r is 0 exactly when l equals r, so direct comparison gives
        // the same answers as the sign of the difference, and stays right for infinities.
        case TnvExpOp::Equal: value = TnvValue::Boolean(l == r); return;
        case TnvExpOp::NotEqual: value = TnvValue::Boolean(l != r); return;
        case TnvExpOp::Greater: value = TnvValue::Boolean(l > r); return;
        case TnvExpOp::Less: value = TnvValue::Boolean(l < r); return;
        case TnvExpOp::GreaterEqual: value = TnvValue::Boolean(l >= r); return;
        case TnvExpOp::LessEqual: value = TnvValue::Boolean(l <= r); return;
        case TnvExpOp::Add: value = TnvValue::Number(l + r); return;
        case TnvExpOp::Subtract: value = TnvValue::Number(l - r); return;
        case TnvExpOp::Multiply: value = TnvValue::Number(l * r); return;
        case TnvExpOp::Divide:
            if (r == 0) NvRaise(TnvMsg::DivisionByZero, {"/"});
            value = TnvValue::Number(l / r);
            return;
        case TnvExpOp::Power: value = TnvValue::Number(std::pow(l, r)); return;
        default: Invalid("assigned");
    }
}

int TnvExpOperator::CompareText(const TnvValue& lv, const TnvValue& rv) const {
    // Emptiness is judged before trimming: blanks against nothing compare greater.
    const bool lEmpty = IsEmptyText(lv), rEmpty = IsEmptyText(rv);
    if (lEmpty || rEmpty) return lEmpty == rEmpty ? 0 : (lEmpty ? -1 : 1);
    std::string l = TrimRight(TextOf(lv));
    std::string r = TrimRight(TextOf(rv));
    if (settings_.caseInsensitive) {
        l = NvUpperCase(settings_.link, l);
        r = NvUpperCase(settings_.link, r);
    }
    const char many = settings_.manyWildcard;
    if (settings_.wildcards && !r.empty() && (r.front() == many || r.back() == many)) {
        if (l.size() < r.size()) return -1;
        if (r.size() == 1) return 0;
        const bool leading = r.front() == many;
        if (leading) r.erase(0, 1);
        if (!r.empty() && r.back() == many) r.pop_back();
        if (!leading) {
            for (std::size_t i = 0; i < r.size() && i < l.size(); ++i)
                if (r[i] == settings_.oneWildcard) l[i] = settings_.oneWildcard;
        }
        return l.find(r) != std::string::npos ? 0 : -1;
    }
    return nvlocale::AnsiCompare(l, r, false);
}

void TnvExpOperator::EvaluateText(const TnvValue& lv, const TnvValue& rv, TnvValue& value) {
    const std::string& l = TextOf(lv);
    const std::string& r = TextOf(rv);
    switch (op_) {
        case TnvExpOp::Equal: value = TnvValue::Boolean(CompareText(lv, rv) == 0); return;
        case TnvExpOp::NotEqual: value = TnvValue::Boolean(CompareText(lv, rv) != 0); return;
        case TnvExpOp::Greater: value = TnvValue::Boolean(CompareText(lv, rv) > 0); return;
        case TnvExpOp::Less: value = TnvValue::Boolean(CompareText(lv, rv) < 0); return;
        case TnvExpOp::GreaterEqual: value = TnvValue::Boolean(CompareText(lv, rv) >= 0); return;
        case TnvExpOp::LessEqual: value = TnvValue::Boolean(CompareText(lv, rv) <= 0); return;
        case TnvExpOp::Contains:
            value = TnvValue::Boolean(!l.empty() && r.find(l) != std::string::npos);
            return;
        case TnvExpOp::Add: value = TnvValue::Text(l + r); return;
        case TnvExpOp::Subtract: {
            // The left side's trailing blanks move to the end.
            std::string s = TrimRight(l) + r;
            s.resize(l.size() + r.size(), ' ');
            value = TnvValue::Text(std::move(s));
            return;
        }
        default: Invalid("assigned");
    }
}

// --- container ------------------------------------------------------------------------

TnvExpContainer::TnvExpContainer(std::unique_ptr<TnvExpBaseObject> group) {
    right = std::move(group);
    if (right) {
        length = right->length;
        decimals = right->decimals;
    }
}

void TnvExpContainer::Name(std::string& text) const {
    std::string inner;
    if (right) right->AsText(inner);
    text = "(" + inner + ")";
}

void TnvExpContainer::AsText(std::string& text) const { Name(text); }

void TnvExpContainer::Evaluate(TnvValue& value, TnvExpType& type) {
    if (!right) {
        value = TnvValue();
        type = nvtEmpty;
    } else {
        right->Evaluate(value, type);
    }
    resultType = type;
}

// --- function -------------------------------------------------------------------------

TnvExpFunction::TnvExpFunction(TnvUserDefFunction* function, TnvExpHandler* owner)
    : function_(function), owner_(owner) {
    kind = nvkFunction;
}

void TnvExpFunction::Name(std::string& text) const {
    function_->Name(text);
    text += '(';
    std::string part;
    for (std::size_t i = 0; i < arguments_.size(); ++i) {
        if (i) text += ',';
        arguments_[i]->AsText(part);
        text += part;
    }
    text += ')';
}

void TnvExpFunction::AsText(std::string& text) const { Name(text); }

void TnvExpFunction::Collect(int category, std::string& text) const {
    TnvExpBaseObject::Collect(category, text);
    for (const auto& a : arguments_) a->Collect(category, text);
}

void TnvExpFunction::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    type = nvtEmpty;
    function_->Evaluate(*this, value, type);
    resultType = type;
}

void TnvExpFunction::GetArgument(int index, TnvValue& value, TnvExpType expected,
                                 TnvExpType& actual) {
    value = TnvValue();
    if (index < 0 || index >= ArgumentCount()) {
        actual = nvtEmpty;
    } else {
        arguments_[static_cast<std::size_t>(index)]->Evaluate(value, actual);
        if (actual == nvtAsExpected) actual = expected;
    }
    if (expected != nvtAny && actual != expected &&
        !(NvExpIsNumeric(actual) && NvExpIsNumeric(expected))) {
        NvRaise(TnvMsg::ArgumentNeeded, {NvExpTypeName(expected), index + 1, function_->Name()});
    }
}

int32_t TnvExpFunction::ArgumentLength(int index) const {
    if (index < 0 || index >= ArgumentCount()) return 10;
    return arguments_[static_cast<std::size_t>(index)]->length;
}

void TnvExpFunction::AddArgument(std::unique_ptr<TnvExpBaseObject> argument) {
    arguments_.push_back(std::move(argument));
}

TnvExpUserLink* TnvExpFunction::UserLink() const { return owner_ ? owner_->UserLink() : nullptr; }

// --- field variable -------------------------------------------------------------------

TnvExpFieldvar::TnvExpFieldvar(TnvUserDefFieldVar* variable, std::string writtenName)
    : variable_(variable), name_(std::move(writtenName)) {
    kind = nvkFieldVar;
    length = variable_->length;
    decimals = variable_->decimals;
}

void TnvExpFieldvar::Name(std::string& text) const { text = name_; }

int TnvExpFieldvar::Category() const { return variable_->Category(); }

void TnvExpFieldvar::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue();
    type = nvtEmpty;
    variable_->Evaluate(value, type);
    resultType = type;
}

// --- literals -------------------------------------------------------------------------

TnvExpTextLit::TnvExpTextLit(std::string text) : text_(std::move(text)) {
    kind = nvkTextLit;
    resultType = nvtText;
    length = static_cast<int32_t>(text_.size());
}

void TnvExpTextLit::Name(std::string& text) const {
    // A delimiter the text does not hold, so the rebuilt expression reads back the same.
    char open = '"', close = '"';
    if (text_.find('"') != std::string::npos) {
        if (text_.find('\'') == std::string::npos)
            open = close = '\'';
        else
            open = '[', close = ']';
    }
    text = open + text_ + close;
}

void TnvExpTextLit::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Text(text_);
    type = nvtText;
}

TnvExpNumLit::TnvExpNumLit(const std::string& token) {
    kind = nvkNumLit;
    resultType = nvtNumber;
    if (!nvlocale::TryParseNumber(token, value_, '.')) value_ = 0;
    length = static_cast<int32_t>(token.size());
    std::size_t dot = token.find('.');
    decimals = dot == std::string::npos ? 0 : static_cast<int32_t>(token.size() - dot - 1);
}

void TnvExpNumLit::Name(std::string& text) const { text = nvlocale::FormatFixed(value_, decimals, '.'); }

void TnvExpNumLit::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Number(value_);
    type = nvtNumber;
}

TnvExpDateLit::TnvExpDateLit(const std::string& text) {
    kind = nvkDateLit;
    resultType = nvtDate;
    length = 8;
    day_ = nvexpdate::TextToDay(text);
}

void TnvExpDateLit::Name(std::string& text) const { text = "{" + nvexpdate::DayToText(day_) + "}"; }

void TnvExpDateLit::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Number(day_);
    type = nvtDate;
}

TnvExpBlnLit::TnvExpBlnLit(bool value) : value_(value) {
    kind = nvkBlnLit;
    resultType = nvtBoolean;
    length = 1;
}

void TnvExpBlnLit::Name(std::string& text) const { text = value_ ? ".T." : ".F."; }

void TnvExpBlnLit::Evaluate(TnvValue& value, TnvExpType& type) {
    value = TnvValue::Boolean(value_);
    type = nvtBoolean;
}
