// The expression compiler: a scanner turns the text into alternating operand and operator
// tokens, a builder turns each token into a node and folds the operators by binding level.
// Groups and function arguments are compiled recursively, with the nesting bounded so a
// hostile text cannot exhaust the stack.
#include <algorithm>
#include <cctype>

#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"

namespace {

enum class TokKind { Operator, Group, Function, Variable, Text, Date, Number, Logical };

struct Token {
    explicit Token(TokKind k) : kind(k) {}
    Token(TokKind k, TnvExpOp o, int l) : kind(k), op(o), level(l) {}
    TokKind kind;
    TnvExpOp op = TnvExpOp::Equal;
    int level = 0;
    std::string text;                        // group inner text, name, literal text
    std::string args;                        // a function's argument text
    TnvUserDefFieldVar* variable = nullptr;  // a variable token's object
    bool logical = false;
};

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }

std::string Upper(std::string_view s) { return nvlocale::AnsiUpperCase(s); }

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The character that closes a quote opened by `c`, or 0 when `c` opens none.
char QuoteClose(char c) {
    switch (c) {
        case '"': return '"';
        case '\'': return '\'';
        case '[': return ']';
        case '{': return '}';
        default: return 0;
    }
}

// Index of the ")" closing the "(" at `open`, ignoring brackets inside quotes; npos if none.
std::size_t MatchClose(std::string_view s, std::size_t open) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = open; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (char q = QuoteClose(c)) {
            quote = q;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) return i;
        }
    }
    return std::string_view::npos;
}

// Splits an argument text at the commas outside quotes and brackets.
std::vector<std::string_view> SplitArguments(std::string_view s) {
    std::vector<std::string_view> parts;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (char q = QuoteClose(c)) {
            quote = q;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == ',' && depth == 0) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

struct SymbolOp {
    const char* written;
    TnvExpOp op;
    int level;
};

constexpr SymbolOp kSymbols[] = {
    {"**", TnvExpOp::Power, 2},        {"^", TnvExpOp::Power, 2},
    {"*", TnvExpOp::Multiply, 3},      {"/", TnvExpOp::Divide, 3},
    {"+", TnvExpOp::Add, 4},           {"-", TnvExpOp::Subtract, 4},
    {"=", TnvExpOp::Equal, 5},         {"==", TnvExpOp::Equal, 5},
    {"<>", TnvExpOp::NotEqual, 5},     {"!=", TnvExpOp::NotEqual, 5},
    {"#", TnvExpOp::NotEqual, 5},      {">", TnvExpOp::Greater, 5},
    {"<", TnvExpOp::Less, 5},          {">=", TnvExpOp::GreaterEqual, 5},
    {"=>", TnvExpOp::GreaterEqual, 5}, {"<=", TnvExpOp::LessEqual, 5},
    {"=<", TnvExpOp::LessEqual, 5},    {"$", TnvExpOp::Contains, 5},
};

constexpr SymbolOp kWords[] = {
    {"AND", TnvExpOp::And, 7},         {"OR", TnvExpOp::Or, 8},
    {"EQ", TnvExpOp::Equal, 5},        {"NE", TnvExpOp::NotEqual, 5},
    {"GT", TnvExpOp::Greater, 5},      {"LT", TnvExpOp::Less, 5},
    {"GE", TnvExpOp::GreaterEqual, 5}, {"LE", TnvExpOp::LessEqual, 5},
};

constexpr int kNegationLevel = 6;

}  // namespace

// Compiles texts for one handler; `full` is the whole expression, named in syntax errors.
class TnvExpParser {
public:
    TnvExpParser(TnvExpHandler& handler, std::string_view full) : h_(handler), full_(Trim(full)) {}

    std::unique_ptr<TnvExpBaseObject> Parse(std::string_view text, int depth, int& height);

private:
    std::vector<Token> Scan(std::string_view text);
    Token ScanOperand(std::string& rest, std::size_t& pos);
    bool ScanOperator(const std::string& rest, std::size_t& pos, Token& token);
    static std::size_t NegationLength(const std::string& rest, std::size_t pos);
    TnvUserDefFieldVar* LookupVariable(const std::string& name) const;
    std::unique_ptr<TnvExpBaseObject> Build(Token& token, int depth, int& height);
    void CountOperand(int32_t length, int32_t decimals, bool sized);
    [[noreturn]] void SyntaxError() const { NvRaise(TnvMsg::SyntaxError, {full_}); }

    TnvExpHandler& h_;
    std::string_view full_;
};

std::size_t TnvExpParser::NegationLength(const std::string& rest, std::size_t pos) {
    if (rest[pos] == '!') return 1;
    std::size_t p = pos + (rest[pos] == '.' ? 1 : 0);
    std::size_t e = p;
    while (e < rest.size() && IsLetter(rest[e])) ++e;
    if (e - p != 3 || Upper(std::string_view(rest).substr(p, 3)) != "NOT") return 0;
    if (rest[pos] == '.') return (e < rest.size() && rest[e] == '.') ? 5 : 0;
    // NOTE or NOT1 is a name, not a negation.
    if (e < rest.size() && IsNameChar(rest[e])) return 0;
    return 3;
}

TnvUserDefFieldVar* TnvExpParser::LookupVariable(const std::string& name) const {
    std::string upper = Upper(name);
    if (TnvUserDefFieldVar* v = NvGlobalVariables().Find(upper)) return v;
    return h_.link_ ? h_.link_->FindVariable(upper) : nullptr;
}

Token TnvExpParser::ScanOperand(std::string& rest, std::size_t& pos) {
    const char c = rest[pos];
    Token t(TokKind::Group);
    if (c == '(') {
        std::size_t close = MatchClose(rest, pos);
        if (close == std::string::npos) NvRaisePlain(TnvMsg::MissingClosingParen);
        t.text = rest.substr(pos + 1, close - pos - 1);
        pos = close + 1;
        return t;
    }
    if (c == '.') {
        std::size_t close = rest.find('.', pos + 1);
        if (close == std::string::npos) NvRaisePlain(TnvMsg::MissingClosingPeriod);
        std::string lit = Upper(std::string_view(rest).substr(pos, close - pos + 1));
        if (lit != ".T." && lit != ".F.") NvRaisePlain(TnvMsg::ExpectingLogical);
        t.kind = TokKind::Logical;
        t.logical = lit == ".T.";
        pos = close + 1;
        return t;
    }
    if (IsLetter(c) || c == '_') {
        std::size_t e = pos;
        while (e < rest.size() && IsNameChar(rest[e])) ++e;
        std::string name = rest.substr(pos, e - pos);
        if (e < rest.size() && rest[e] == '(') {
            std::size_t close = MatchClose(rest, e);
            if (close == std::string::npos) NvRaisePlain(TnvMsg::MissingClosingParen);
            t.kind = TokKind::Function;
            t.text = std::move(name);
            t.args = rest.substr(e + 1, close - e - 1);
            pos = close + 1;
            return t;
        }
        for (;;) {
            TnvUserDefFieldVar* v = LookupVariable(name);
            if (!v && rest.compare(e, 2, "->") == 0) {
                // An alias qualifier: CUST->NAME is read as CUST.NAME.
                rest.replace(e, 2, ".");
            }
            if (v) {
                t.kind = TokKind::Variable;
                t.text = std::move(name);
                t.variable = v;
                pos = e;
                return t;
            }
            if (e >= rest.size() || rest[e] != '.') NvRaise(TnvMsg::NoFunction, {name});
            std::size_t p = e + 1;
            while (p < rest.size() && IsNameChar(rest[p])) ++p;
            name = rest.substr(pos, p - pos);
            e = p;
        }
    }
    if (char closeChar = QuoteClose(c)) {
        std::size_t close = rest.find(closeChar, pos + 1);
        if (close == std::string::npos) NvRaise(TnvMsg::MissingClosingQuote, {std::string(1, c)});
        t.kind = c == '{' ? TokKind::Date : TokKind::Text;
        t.text = rest.substr(pos + 1, close - pos - 1);
        pos = close + 1;
        return t;
    }
    if (c == '+' || c == '-' || IsDigit(c)) {
        std::size_t e = pos + 1;
        while (e < rest.size() && (IsDigit(rest[e]) || rest[e] == '.')) ++e;
        t.kind = TokKind::Number;
        t.text = rest.substr(pos, e - pos);
        pos = e;
        return t;
    }
    SyntaxError();
}

bool TnvExpParser::ScanOperator(const std::string& rest, std::size_t& pos, Token& token) {
    static constexpr std::string_view kFirst = "!#$*+-/<=>^";
    static constexpr std::string_view kRun = "*<=>";
    const char c = rest[pos];
    if (kFirst.find(c) != std::string_view::npos) {
        std::size_t e = pos + 1;
        while (e < rest.size() && kRun.find(rest[e]) != std::string_view::npos) ++e;
        std::string_view run = std::string_view(rest).substr(pos, e - pos);
        for (const SymbolOp& s : kSymbols) {
            if (run == s.written) {
                token = Token(TokKind::Operator, s.op, s.level);
                pos = e;
                return true;
            }
        }
    }
    const bool dotted = c == '.';
    std::size_t p = pos + (dotted ? 1 : 0);
    std::size_t e = p;
    while (e < rest.size() && IsLetter(rest[e])) ++e;
    if (e == p) return false;
    const bool closingDot = e < rest.size() && rest[e] == '.';
    if (dotted != closingDot) return false;  // only one of the two periods
    if (!dotted && e < rest.size() && IsNameChar(rest[e])) return false;
    std::string word = Upper(std::string_view(rest).substr(p, e - p));
    for (const SymbolOp& w : kWords) {
        if (word == w.written) {
            token = Token(TokKind::Operator, w.op, w.level);
            pos = e + (dotted ? 1 : 0);
            return true;
        }
    }
    return false;
}

std::vector<Token> TnvExpParser::Scan(std::string_view text) {
    std::string rest(Trim(text));
    std::size_t pos = 0;
    std::vector<Token> tokens;
    bool operandExpected = true;
    auto skipBlanks = [&] {
        while (pos < rest.size() && IsBlank(rest[pos])) ++pos;
    };
    while (pos < rest.size()) {
        if (operandExpected) {
            if (std::size_t n = NegationLength(rest, pos)) {
                if (tokens.empty()) {
                    tokens.emplace_back(TokKind::Operator, TnvExpOp::Not, kNegationLevel);
                    pos += n;
                    skipBlanks();
                    continue;
                }
                // A negation after an operator reaches to the end of this (sub)expression.
                rest = "(" + rest.substr(pos) + ")";
                pos = 0;
            }
            tokens.push_back(ScanOperand(rest, pos));
            operandExpected = false;
        } else {
            Token t(TokKind::Operator);
            if (!ScanOperator(rest, pos, t)) SyntaxError();
            tokens.push_back(std::move(t));
            operandExpected = true;
        }
        skipBlanks();
    }
    return tokens;
}

void TnvExpParser::CountOperand(int32_t length, int32_t decimals, bool sized) {
    ++h_.operandCount_;
    if (!sized) return;
    h_.maxLength_ = std::max(h_.maxLength_, length);
    h_.maxDecimals_ = std::max(h_.maxDecimals_, decimals);
}

std::unique_ptr<TnvExpBaseObject> TnvExpParser::Build(Token& t, int depth, int& height) {
    height = 1;
    switch (t.kind) {
        case TokKind::Operator: {
            auto node = std::make_unique<TnvExpOperator>(t.op, t.level, h_.settings_);
            node->kind = nvkWaiting;
            return node;
        }
        case TokKind::Group: {
            int inner = 0;
            auto node = std::make_unique<TnvExpContainer>(Parse(t.text, depth + 1, inner));
            height = inner + 1;
            return node;
        }
        case TokKind::Function: {
            std::string upper = Upper(t.text);
            TnvUserDefFunction* f = NvGlobalFunctions().Find(upper);
            if (!f && h_.link_) f = h_.link_->FindFunction(upper);
            if (!f) {
                if (h_.link_) h_.link_->MissingFunction(upper);
                NvRaise(TnvMsg::NoFunction, {upper});
            }
            auto node = std::make_unique<TnvExpFunction>(f, &h_);
            for (std::string_view piece : SplitArguments(t.args)) {
                if (Trim(piece).empty()) continue;
                int argHeight = 0;
                auto arg = Parse(piece, depth + 1, argHeight);
                height = std::max(height, argHeight + 1);
                if (arg) node->AddArgument(std::move(arg));
            }
            CountOperand(0, 0, false);
            return node;
        }
        case TokKind::Variable: {
            if (!h_.link_) NvRaise(TnvMsg::FieldVariableUnknown, {t.text});
            auto node = std::make_unique<TnvExpFieldvar>(t.variable, t.text);
            CountOperand(node->length, node->decimals, true);
            return node;
        }
        case TokKind::Text:
            CountOperand(0, 0, false);
            return std::make_unique<TnvExpTextLit>(t.text);
        case TokKind::Date:
            CountOperand(0, 0, false);
            return std::make_unique<TnvExpDateLit>(t.text);
        case TokKind::Number: {
            auto node = std::make_unique<TnvExpNumLit>(t.text);
            CountOperand(node->length, node->decimals, true);
            return node;
        }
        case TokKind::Logical:
            CountOperand(0, 0, false);
            return std::make_unique<TnvExpBlnLit>(t.logical);
    }
    return nullptr;
}

std::unique_ptr<TnvExpBaseObject> TnvExpParser::Parse(std::string_view text, int depth, int& height) {
    height = 0;
    if (depth > TnvExpHandler::kMaxNesting)
        NvRaise(TnvMsg::ExpressionTooDeep, {TnvExpHandler::kMaxNesting});
    std::vector<Token> tokens = Scan(text);
    if (tokens.empty()) return nullptr;

    struct Item {
        std::unique_ptr<TnvExpBaseObject> node;
        int height;
    };
    std::vector<Item> items;
    items.reserve(tokens.size());
    for (Token& t : tokens) {
        int h = 0;
        auto node = Build(t, depth, h);
        items.push_back({std::move(node), h});
    }

    // One left-to-right pass per level; the folded node stays where its left operand was,
    // so the next operator of the level takes it as its left operand (left association).
    for (int level = 2; level <= 8; ++level) {
        std::vector<Item> out;
        out.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto* op = items[i].node->kind == nvkWaiting
                           ? static_cast<TnvExpOperator*>(items[i].node.get())
                           : nullptr;
            if (!op || op->Level() != level) {
                out.push_back(std::move(items[i]));
                continue;
            }
            Item folded = std::move(items[i]);
            int h = 0;
            if (i + 1 < items.size()) {
                ++i;
                h = items[i].height;
                op->right = std::move(items[i].node);
            }
            if (level != kNegationLevel && !out.empty()) {
                h = std::max(h, out.back().height);
                op->left = std::move(out.back().node);
                out.pop_back();
            }
            op->kind = nvkOperator;
            folded.height = h + 1;
            if (folded.height > TnvExpHandler::kMaxTreeHeight)
                NvRaise(TnvMsg::ExpressionTooDeep, {TnvExpHandler::kMaxTreeHeight});
            out.push_back(std::move(folded));
        }
        items.swap(out);
    }
    if (items.size() != 1) NvRaisePlain(TnvMsg::CannotBeEvaluated);
    height = items[0].height;
    if (height > TnvExpHandler::kMaxTreeHeight)
        NvRaise(TnvMsg::ExpressionTooDeep, {TnvExpHandler::kMaxTreeHeight});
    return std::move(items[0].node);
}

void TnvExpHandler::SetExpression(std::string_view text) {
    Clear();
    TnvExpParser parser(*this, text);
    int height = 0;
    try {
        root_ = parser.Parse(text, 0, height);
    } catch (...) {
        Clear();
        throw;
    }
}
