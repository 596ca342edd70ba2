#include <gtest/gtest.h>

#include "expr_support.h"
#include "nv6_sql.h"

using namespace exprtest;

namespace {

TEST(ExprParse, BlankTextGivesNoTree) {
    TnvExpHandler h(nullptr, "   ");
    EXPECT_EQ(h.Root(), nullptr);
    EXPECT_EQ(h.OperandCount(), 0);
    TnvValue v = TnvValue::Text("stale");
    h.Evaluate(v);
    EXPECT_TRUE(v.IsNull());
    EXPECT_EQ(h.ResultType(), nvtUnknown);
    EXPECT_EQ(h.ExpressionText(), "");
}

TEST(ExprParse, PrecedenceAndLeftAssociativity) {
    struct Row {
        const char* text;
        double expected;
    } rows[] = {
        {"1+2*3", 7},     {"8-3-2", 3},     {"2^3^2", 64},  // (2^3)^2, not 2^(3^2)
        {"2**3", 8},      {"12/3/2", 2},    {"2*3^2", 18},  {"(1+2)*3", 9},
        {"10-2*3+1", 5},  {"-1+3", 2},      {"1 - -1", 2},
    };
    for (const Row& r : rows) {
        Result res = Eval(r.text);
        ASSERT_EQ(res.type, nvtNumber) << r.text;
        EXPECT_DOUBLE_EQ(res.value.AsNumber(), r.expected) << r.text;
    }

    TnvExpHandler h(nullptr, "1+2*3");
    auto* root = dynamic_cast<const TnvExpOperator*>(h.Root());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Op(), TnvExpOp::Add);
    EXPECT_EQ(root->kind, nvkOperator);
    auto* mul = dynamic_cast<const TnvExpOperator*>(root->right.get());
    ASSERT_NE(mul, nullptr);
    EXPECT_EQ(mul->Op(), TnvExpOp::Multiply);

    TnvExpHandler s(nullptr, "8-3-2");
    auto* outer = dynamic_cast<const TnvExpOperator*>(s.Root());
    ASSERT_NE(outer, nullptr);
    EXPECT_NE(dynamic_cast<const TnvExpOperator*>(outer->left.get()), nullptr);
    EXPECT_NE(dynamic_cast<const TnvExpNumLit*>(outer->right.get()), nullptr);
}

TEST(ExprParse, OperatorSpellings) {
    const char* trueOnes[] = {
        "1 = 1",   "1 == 1",  "1 EQ 1",   "1 .EQ. 1", "1 <> 2",   "1 != 2",  "1 # 2",
        "1 NE 2",  "2 > 1",   "2 GT 1",   "1 < 2",    "1 LT 2",   "2 >= 2",  "2 => 2",
        "2 GE 2",  "2 <= 2",  "2 =< 2",   "2 LE 2",   ".T. AND .T.", ".T. .and. .T.",
        ".F. OR .T.", ".F. .Or. .T.", "NOT .F.", ".NOT. .F.", "!.F.", "not .f.",
        "'b' $ 'abc'",
    };
    for (const char* text : trueOnes) {
        Result r = Eval(text);
        ASSERT_EQ(r.type, nvtBoolean) << text;
        EXPECT_TRUE(r.value.AsBoolean()) << text;
    }
}

TEST(ExprParse, NegationAfterAnOperatorReachesToTheEnd) {
    TestLink link;
    TestVar* name = link.Add("NAME", TnvValue::Text("ZZ"), nvtText, 10);
    link.Add("AGE", TnvValue::Number(30), nvtNumber, 3);
    TestVar* x = link.Add("X", TnvValue::Boolean(true), nvtBoolean, 1);
    TnvExpHandler h(&link, "NAME='AB' .AND. .NOT. AGE>20 .OR. X");
    EXPECT_EQ(h.ExpressionText(), "NAME=\"AB\".AND.(.NOT.AGE>20.OR.X)");
    // Read as (A AND NOT B) OR X this would be true; the negation rule makes it false.
    TnvValue v;
    h.Evaluate(v);
    EXPECT_FALSE(v.AsBoolean());
    name->Set(TnvValue::Text("AB"));
    h.Evaluate(v);
    EXPECT_TRUE(v.AsBoolean());
    x->Set(TnvValue::Boolean(false));
    h.Evaluate(v);
    EXPECT_FALSE(v.AsBoolean());

    // A leading negation binds looser than comparisons: NOT (1 = 2).
    EXPECT_TRUE(Eval(".NOT. 1 = 2").value.AsBoolean());
    // NOTE is a name, not a negation.
    EXPECT_EQ(ParseError("NOTE"), "There is no function for NOTE");
}

TEST(ExprParse, ErrorsHaveTheirExactTexts) {
    TestLink link;
    link.Add("PRICE", TnvValue::Number(1), nvtNumber, 8, 2);
    struct Row {
        const char* text;
        const char* message;
    } rows[] = {
        {"'abc' + (d", "Missing closing parentheses"},
        {"UPPER('a'", "Missing closing parentheses"},
        {"(1 + 2", "Missing closing parentheses"},
        {".T", "Missing closing period"},
        {".Y.", "Expecting \".T.\" or \".F.\""},
        {".TRUE.", "Expecting \".T.\" or \".F.\""},
        {"'abc", "Missing closing \"'\" on literal"},
        {"\"abc", "Missing closing \"\"\" on literal"},
        {"[abc", "Missing closing \"[\" on literal"},
        {"{20050130", "Missing closing \"{\" on literal"},
        {"-PRICE", "Syntax Error in expression \"-PRICE\""},
        {"  1 2  ", "Syntax Error in expression \"1 2\""},
        {"1 + @", "Syntax Error in expression \"1 + @\""},
        {"1 =* 2", "Syntax Error in expression \"1 =* 2\""},
        {"1 .AND 2", "Syntax Error in expression \"1 .AND 2\""},
        {"1 AND. 2", "Syntax Error in expression \"1 AND. 2\""},
        {"1 ! 2", "Syntax Error in expression \"1 ! 2\""},
        {"(1) (2)", "Syntax Error in expression \"(1) (2)\""},
        {"(1 2)", "Syntax Error in expression \"(1 2)\""},
        {"FOO", "There is no function for FOO"},
        {"foo.bar", "There is no function for foo.bar"},
        {"NOFUNC(1)", "There is no function for NOFUNC"},
        {"UPPER (PRICE)", "There is no function for UPPER"},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseError(r.text, &link), r.message) << r.text;
    // A variable in a handler without a link is unknown, even a global one.
    EXPECT_EQ(ParseError("TRUE .AND. .T."), "Field/variable TRUE is unknown");
    EXPECT_EQ(ParseError("NOFUNC(1)"), "There is no function for NOFUNC");
}

TEST(ExprParse, FailedParseLeavesNoTree) {
    TnvExpHandler h(nullptr, "1 + 2");
    EXPECT_THROW(h.SetExpression("1 +* 2"), ENorvaneExpression);
    EXPECT_EQ(h.Root(), nullptr);
    EXPECT_EQ(h.OperandCount(), 0);
    h.SetExpression("3");
    EXPECT_EQ(h.OperandCount(), 1);
}

TEST(ExprParse, QuotesHideBracketsAndCommas) {
    // The argument text splits into two arguments only.
    Result at = Eval("AT(',(', 'a,(b')");
    EXPECT_DOUBLE_EQ(at.value.AsNumber(), 2);
    EXPECT_DOUBLE_EQ(Eval("AT(\")\", [x)y])").value.AsNumber(), 2);
}

TEST(ExprParse, GroupsAreQuoteAware) {
    TestLink link;
    link.Add("NAME", TnvValue::Text(")"), nvtText, 1);
    Result r = Eval("(NAME = \")\")", &link);
    EXPECT_EQ(r.type, nvtBoolean);
    EXPECT_TRUE(r.value.AsBoolean());
    EXPECT_TRUE(Eval("('(' + ']' = '(]')").value.AsBoolean());
}

TEST(ExprParse, EmptyGroupAndMissingOperand) {
    TnvExpHandler empty(nullptr, "()");
    TnvValue v;
    empty.Evaluate(v);
    EXPECT_EQ(empty.ResultType(), nvtEmpty);
    // A trailing operator parses; evaluating it names the operator.
    EXPECT_EQ(EvalError("1 +"), "Target value missing for + operation");
    EXPECT_EQ(EvalError("1 .AND."), "Target value missing for .AND. operation");
    EXPECT_EQ(EvalError(".NOT."), "Target value missing for .NOT. operation");
}

TEST(ExprParse, RebuiltText) {
    TestLink link;
    link.Add("NAME", TnvValue::Text("x"), nvtText, 10);
    struct Row {
        const char* text;
        const char* rebuilt;
    } rows[] = {
        {"NAME <> 'B'", "NAME#\"B\""},
        {"'x' $ NAME", "\"x\"$NAME"},
        {"1.50 + +2", "1.50+2"},
        {".t. .and. .f.", ".T..AND..F."},
        {"upper( name ) + trim(NAME,)", "UPPER(name)+TRIM(NAME)"},
        {"'say \"hi\"' + [it's]", "'say \"hi\"'+\"it's\""},
        {"2 ** 3", "2^3"},
        {"(1+2) * 3", "(1+2)*3"},
    };
    for (const Row& r : rows) {
        TnvExpHandler h(&link, r.text);
        EXPECT_EQ(h.ExpressionText(), r.rebuilt) << r.text;
        // The rebuilt text compiles to the same text again.
        TnvExpHandler again(&link, h.ExpressionText());
        EXPECT_EQ(again.ExpressionText(), r.rebuilt) << r.text;
    }
}

TEST(ExprParse, LengthsDecimalsAndOperandCount) {
    TestLink link;
    link.Add("PRICE", TnvValue::Number(1), nvtNumber, 12, 3);
    TnvExpHandler h(nullptr, "1.25 + 100");
    EXPECT_EQ(h.MaxLength(), 4);
    EXPECT_EQ(h.MaxDecimals(), 2);
    EXPECT_EQ(h.OperandCount(), 2);
    TnvExpHandler f(&link, "PRICE * 1.5 + LEN('abc')");
    EXPECT_EQ(f.MaxLength(), 12);
    EXPECT_EQ(f.MaxDecimals(), 3);
    EXPECT_EQ(f.OperandCount(), 4);  // PRICE, 1.5, LEN(), 'abc'
    TnvExpHandler g(nullptr, "(())");
    EXPECT_EQ(g.OperandCount(), 0);
}

TEST(ExprParse, CollectListsVariablesInsideFunctionsToo) {
    TestLink link;
    link.Add("NAME", TnvValue::Text("x"), nvtText, 10);
    link.Add("CITY", TnvValue::Text("y"), nvtText, 10);
    TnvExpHandler h(&link, "UPPER(NAME) + (CITY) + IIF(TRUE, 'a', 'b')");
    std::string names;
    h.CollectNames(16, names);
    EXPECT_EQ(names, "NAME;CITY;TRUE;");
}

TEST(ExprParse, DeepNestingIsRejectedCleanly) {
    std::string deep = std::string(10000, '(') + "1" + std::string(10000, ')');
    EXPECT_EQ(ParseError(deep), "Expression is nested too deeply (more than 200 levels)");
    EXPECT_EQ(ParseError(std::string(10000, '(') + "1"), "Missing closing parentheses");
    std::string calls;
    for (int i = 0; i < 5000; ++i) calls += "ABS(";
    calls += "1" + std::string(5000, ')');
    EXPECT_EQ(ParseError(calls), "Expression is nested too deeply (more than 200 levels)");
    // A long flat chain builds a tall tree; it is bounded as well.
    std::string chain = "1";
    for (int i = 0; i < 100000; ++i) chain += "+1";
    EXPECT_EQ(ParseError(chain), "Expression is nested too deeply (more than 2000 levels)");
    std::string negations = ".T.";
    for (int i = 0; i < 1000; ++i) negations += " .AND. .NOT. .T.";
    EXPECT_EQ(ParseError(negations), "Expression is nested too deeply (more than 200 levels)");

    // Moderate depth still works.
    std::string ok = std::string(150, '(') + "1" + std::string(150, ')');
    EXPECT_DOUBLE_EQ(Eval(ok).value.AsNumber(), 1);
    std::string sum = "1";
    for (int i = 0; i < 1500; ++i) sum += "+1";
    EXPECT_DOUBLE_EQ(Eval(sum).value.AsNumber(), 1501);
}

}  // namespace
