#include <gtest/gtest.h>

#include <cmath>

#include "expr_support.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"
#include "nv6_tool.h"

using namespace exprtest;

namespace {

bool IsTrue(std::string_view text, TnvExpUserLink* link = nullptr) {
    Result r = Eval(text, link);
    EXPECT_EQ(r.type, nvtBoolean) << text;
    return r.value.IsBoolean() && r.value.AsBoolean();
}

TEST(ExprEval, TextAddAndSubtract) {
    Result add = Eval("'AB ' + 'CD'");
    EXPECT_EQ(add.type, nvtText);
    EXPECT_EQ(add.value.AsText(), "AB CD");
    Result sub = Eval("'AB ' - 'CD'");
    EXPECT_EQ(sub.type, nvtText);
    EXPECT_EQ(sub.value.AsText(), "ABCD ");
    EXPECT_EQ(Eval("'A  ' - 'B ' - 'C'").value.AsText(), "ABC   ");
    EXPECT_EQ(Eval("'' - 'X'").value.AsText(), "X");
}

TEST(ExprEval, TextComparisonTrimsAndJudgesEmptinessFirst) {
    EXPECT_TRUE(IsTrue("'ABC' = 'ABC  '"));
    EXPECT_TRUE(IsTrue("'ABC  ' = 'ABC'"));
    EXPECT_FALSE(IsTrue("'ABC' = 'AB'"));
    EXPECT_TRUE(IsTrue("'ABC' > 'AB'"));
    EXPECT_TRUE(IsTrue("'AB' < 'ABC'"));
    EXPECT_TRUE(IsTrue("'   ' > ''"));   // blanks against nothing: greater
    EXPECT_TRUE(IsTrue("'' < ' '"));
    EXPECT_TRUE(IsTrue("'  ' = '    '"));  // both trim to nothing
    EXPECT_TRUE(IsTrue("'' = ''"));
    EXPECT_FALSE(IsTrue("'abc' = 'ABC'"));
    EXPECT_TRUE(IsTrue("'abc' # 'ABC'"));
    EXPECT_TRUE(IsTrue("'b' >= 'a' .AND. 'a' <= 'a'"));
}

TEST(ExprEval, CaseInsensitiveFlagAppliesFromTheNextText) {
    TnvExpHandler h;
    h.SetCaseInsensitive(true);
    h.SetExpression("'abc' = 'ABC'");
    TnvValue v;
    h.Evaluate(v);
    EXPECT_TRUE(v.AsBoolean());
    h.SetExpression("'abd' > 'ABC'");
    h.Evaluate(v);
    EXPECT_TRUE(v.AsBoolean());
    // Turning it off does not change a tree compiled before.
    h.SetCaseInsensitive(false);
    h.Evaluate(v);
    EXPECT_TRUE(v.AsBoolean());
    h.SetExpression("'abc' = 'ABC'");
    h.Evaluate(v);
    EXPECT_FALSE(v.AsBoolean());
}

TEST(ExprEval, WildcardPatterns) {
    EXPECT_TRUE(IsTrue("'SMITH' = 'SMI*'"));
    EXPECT_TRUE(IsTrue("'ASMITH' = 'SMI*'"));  // the pattern may occur anywhere
    EXPECT_TRUE(IsTrue("'SMITH     ' = 'SMI*'"));
    EXPECT_FALSE(IsTrue("'SMI' = 'SMI*'"));    // shorter than the pattern with its star
    EXPECT_FALSE(IsTrue("'JONES' = 'SMI*'"));
    EXPECT_TRUE(IsTrue("'X' = '*'"));
    EXPECT_FALSE(IsTrue("'' = '*'"));
    EXPECT_TRUE(IsTrue("'JOHNSMITH' = '*SMITH'"));
    EXPECT_TRUE(IsTrue("'SMYTHE' = 'SM?TH*'"));  // '?' matches one character
    EXPECT_FALSE(IsTrue("'ABC' = '*B?'"));       // after a leading star '?' is literal
    EXPECT_TRUE(IsTrue("'JONES' # 'SMI*'"));
    EXPECT_TRUE(IsTrue("'SMITH' = 'SMITH'"));

    TnvExpHandler off;
    off.SetWildcards(false);
    off.SetExpression("'SMITH' = 'SMI*'");
    TnvValue v;
    off.Evaluate(v);
    EXPECT_FALSE(v.AsBoolean());

    TnvExpHandler other;
    other.SetWildcardChars('%', '_');
    other.SetExpression("'SMITH' = 'S_I%'");
    other.Evaluate(v);
    EXPECT_TRUE(v.AsBoolean());
}

TEST(ExprEval, ContainedIn) {
    EXPECT_TRUE(IsTrue("'b' $ 'abc'"));
    EXPECT_FALSE(IsTrue("'abc' $ 'b'"));
    EXPECT_FALSE(IsTrue("'B' $ 'abc'"));
    EXPECT_FALSE(IsTrue("'' $ 'abc'"));
    EXPECT_TRUE(IsTrue("'c ' $ 'abc d'"));
}

TEST(ExprEval, BooleanTable) {
    EXPECT_TRUE(IsTrue(".T. = .T."));
    EXPECT_TRUE(IsTrue(".T. # .F."));
    EXPECT_FALSE(IsTrue(".T. .AND. .F."));
    EXPECT_TRUE(IsTrue(".T. .OR. .F."));
    EXPECT_TRUE(IsTrue(".NOT. .F."));
    EXPECT_TRUE(IsTrue("1 = 1 .AND. 'a' = 'a' .OR. .F."));
    const char* numberOnes[] = {".T. + .T.", ".T. - .F.", ".T. * .T.", ".T. / .T.", ".T. ^ .T."};
    for (const char* t : numberOnes) EXPECT_EQ(EvalError(t), "A number value is required but invalid") << t;
    const char* assignedOnes[] = {".T. > .F.", ".T. < .F.", ".T. >= .F.", ".T. <= .F.", ".T. $ .T."};
    for (const char* t : assignedOnes)
        EXPECT_EQ(EvalError(t), "A assigned value is required but invalid") << t;
}

TEST(ExprEval, BothSidesAreEvaluatedForAndOr) {
    TestLink link;
    TestVar* x = link.Add("X", TnvValue::Boolean(true), nvtBoolean);
    EXPECT_FALSE(IsTrue(".F. .AND. X", &link));
    EXPECT_TRUE(IsTrue(".T. .OR. X", &link));
    EXPECT_EQ(x->reads, 2);
}

TEST(ExprEval, NumericTableAndErrors) {
    EXPECT_TRUE(IsTrue("3 > 2 .AND. 2 < 3 .AND. 2 >= 2 .AND. 2 <= 2 .AND. 2 = 2 .AND. 2 # 3"));
    EXPECT_DOUBLE_EQ(Eval("7 / 2").value.AsNumber(), 3.5);
    EXPECT_DOUBLE_EQ(Eval("2 ^ 0").value.AsNumber(), 1);
    EXPECT_DOUBLE_EQ(Eval("2 ^ -1").value.AsNumber(), 0.5);
    EXPECT_DOUBLE_EQ(Eval("2 ^ 3").value.AsNumber(), 8);
    EXPECT_NEAR(Eval("2 ^ 2.9").value.AsNumber(), 7.464, 0.001);
    EXPECT_EQ(EvalError("1 / 0"), "Division by zero in / operation");
    EXPECT_EQ(EvalError("1 / (2 - 2)"), "Division by zero in / operation");
    EXPECT_EQ(EvalError("MOD(5, 0)"), "Division by zero in MOD operation");
    const char* assignedOnes[] = {"1 .AND. 2", "1 .OR. 2", "1 $ 2"};
    for (const char* t : assignedOnes)
        EXPECT_EQ(EvalError(t), "A assigned value is required but invalid") << t;
    EXPECT_EQ(EvalError(".NOT. 1"), "A assigned value is required but invalid");
    EXPECT_EQ(EvalError("'a' * 'b'"), "A assigned value is required but invalid");
}

TEST(ExprEval, SidesMustMatch) {
    EXPECT_EQ(EvalError("'A' = 1"), "The two sides of an operation do not match");
    EXPECT_EQ(EvalError("1 + 'A'"), "The two sides of an operation do not match");
    EXPECT_EQ(EvalError(".T. = 1"), "The two sides of an operation do not match");
    EXPECT_EQ(EvalError("{20050130} = 'x'"), "The two sides of an operation do not match");
}

TEST(ExprEval, DatesMixWithNumbersAndTakeTheRightType) {
    Result minus = Eval("{20050130} - 1");
    EXPECT_EQ(minus.type, nvtNumber);
    EXPECT_DOUBLE_EQ(minus.value.AsNumber(), 2453400);
    EXPECT_TRUE(IsTrue("{20050130} - 1 = 2453400"));
    Result plus = Eval("30 + {20050130}");
    EXPECT_EQ(plus.type, nvtDate);
    EXPECT_DOUBLE_EQ(plus.value.AsNumber(), 2453431);
    EXPECT_TRUE(IsTrue("{20050130} > {20050129}"));
    EXPECT_TRUE(IsTrue("{20050130} = {01/30/2005}"));
    Result blank = Eval("{ }");
    EXPECT_EQ(blank.type, nvtDate);
    EXPECT_DOUBLE_EQ(blank.value.AsNumber(), 0);
}

TEST(ExprEval, TextThatIsNotANumberNamesTheOperation) {
    TestLink link;
    link.Add("BAD", TnvValue::Text("12x"), nvtNumber);
    link.Add("GOOD", TnvValue::Text(" 12 "), nvtNumber);
    EXPECT_EQ(EvalError("BAD + 1", &link), "The text \"12x\" is not a number in + operation");
    EXPECT_EQ(EvalError("ABS(BAD)", &link), "The text \"12x\" is not a number in ABS operation");
    EXPECT_DOUBLE_EQ(Eval("GOOD + 1", &link).value.AsNumber(), 13);
}

TEST(ExprEval, OperandsOfOtherTypesYieldNothing) {
    TestLink link;
    link.Add("RAW", TnvValue::Text("x"), nvtMemo);
    Result r = Eval("RAW = RAW", &link);
    EXPECT_TRUE(r.value.IsNull());
    EXPECT_EQ(r.type, nvtMemo);
}

TEST(ExprEval, EvaluateKeyStoresTheKindOfTheResult) {
    TnvVariant key;
    TnvExpHandler h(nullptr, "'AB' + 'C'");
    h.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kCharacter);
    EXPECT_EQ(key.AsString(), "ABC");
    EXPECT_EQ(h.ResultType(), nvtText);

    h.SetExpression("1.5 * 2");
    h.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kNumeric);
    EXPECT_DOUBLE_EQ(key.AsNumber(), 3);

    h.SetExpression("{20050130} + 0.75");
    h.EvaluateKey(key);
    EXPECT_EQ(h.ResultType(), nvtNumber);  // the right side's type
    h.SetExpression("0.75 + {20050130}");
    h.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kDate);
    EXPECT_EQ(key.AsDate(), 2453401);  // whole part

    h.SetExpression("1 < 2");
    h.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kLogical);
    EXPECT_TRUE(key.AsLogical());

    // The blank date of CTOD('') is stored as day 0, not as an out-of-range number.
    h.SetExpression("CTOD('')");
    h.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kDate);
    EXPECT_EQ(key.AsDate(), 0);

    TestLink link;
    link.Add("RAW", TnvValue::Text("x"), nvtMemo);
    link.Add("NOTHING", TnvValue(), nvtText);
    TnvExpHandler raw(&link, "RAW");
    key.PutString("old");
    raw.EvaluateKey(key);
    EXPECT_EQ(raw.ResultType(), nvtUnknown);
    EXPECT_EQ(key.AsString(), "old");
    TnvExpHandler nothing(&link, "NOTHING");
    nothing.EvaluateKey(key);
    EXPECT_EQ(nothing.ResultType(), nvtText);
    EXPECT_EQ(key.AsString(), "old");

    TnvExpHandler none;
    none.EvaluateKey(key);
    EXPECT_EQ(key.Kind(), TnvVariant::kCharacter);
    EXPECT_TRUE(key.IsEmpty());
    EXPECT_EQ(none.ResultType(), nvtUnknown);
}

TEST(ExprEval, DatesFollowTheDisplayPattern) {
    nvlocale::ResetDefaults();
    nvlocale::SetShortDatePattern("dd.MM.yy");
    nvlocale::SetDateSeparator('.');
    EXPECT_EQ(Eval("DTOC({20050130})").value.AsText(), "30.01.2005");
    EXPECT_EQ(Eval("DTOC(CTOD(''))").value.AsText(), std::string(10, ' '));
    TnvExpHandler h(nullptr, "{20050130} + 1");
    EXPECT_EQ(h.ExpressionText(), "{30.01.2005}+1");
    TnvExpHandler again(nullptr, h.ExpressionText());
    TnvValue v;
    again.Evaluate(v);
    EXPECT_DOUBLE_EQ(v.AsNumber(), 2453402);
    EXPECT_EQ(ParseError("{31.02.2005}"), "'31.02.2005' is not a valid date");
    nvlocale::ResetDefaults();
}

}  // namespace
