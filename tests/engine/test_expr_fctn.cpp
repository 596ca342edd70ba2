#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "expr_support.h"
#include "nv6_fctn.h"
#include "nv6_lcal.h"
#include "nv6_sql.h"

using namespace exprtest;

namespace {

// One call and what it gives. `type` nvtUnknown marks a row whose `expected` is the error.
// Numbers and dates are written as decimal text; booleans as "T" or "F".
struct Row {
    const char* text;
    TnvExpType type;
    std::string expected;
};

constexpr TnvExpType E = nvtUnknown, T = nvtText, N = nvtNumber, D = nvtDate, B = nvtBoolean;
const std::string kPi = "3.14159265358979323846";

const Row kRows[] = {
    {"ABS(-3.5)", N, "3.5"},
    {"ABS(2)", N, "2"},
    {"ABS('a')", E, "Number needed for Argument 1 of ABS"},
    {"ABS()", E, "Number needed for Argument 1 of ABS"},
    {"ALLTRIM('  ab  ')", T, "ab"},
    {"ALLTRIM(CHR(9) + 'x' + CHR(13))", T, "x"},
    {"ALLTRIM(1)", E, "Text needed for Argument 1 of ALLTRIM"},
    {"ACOS(1)", N, "0"},
    {"ACOS(-1)", N, kPi},
    {"ACOS(1.01)", E, "Argument for ACOS must be -1 to +1"},
    {"ASIN(1) * 2", N, kPi},
    {"ASIN(-1.5)", E, "Argument for ASIN must be -1 to +1"},
    {"ATAN(1) * 4", N, kPi},
    {"ATN2(1, -1) * 4 / 3", N, kPi},
    {"ATN2(-1, -1) * -4 / 3", N, kPi},
    {"ASC('A')", N, "65"},
    {"ASC('')", N, "0"},
    {"ASC(CHR(200))", N, "200"},
    {"AT('ab', 'xxabab')", N, "3"},
    {"AT('ab', 'xxabab', 2)", N, "5"},
    {"AT('ab', 'xxabab', 3)", N, "0"},
    {"AT('aa', 'aaaa', 2)", N, "2"},
    {"AT('z', 'abc')", N, "0"},
    {"AT('', 'abc')", N, "0"},
    {"ATC('AB', 'xxabab', 2)", N, "5"},
    {"ATC('b', 'ABC')", N, "2"},
    {"BETWEEN(5, 1, 10)", B, "T"},
    {"BETWEEN(10, 1, 10)", B, "T"},
    {"BETWEEN(0, 1, 10)", B, "F"},
    {"BETWEEN('B', 'A', 'C')", B, "T"},
    {"BETWEEN('C  ', 'A', 'C')", B, "T"},
    {"BETWEEN({20050130}, {20050101}, {20050131})", B, "T"},
    {"BETWEEN(5, 'a', 10)", E, "Number needed for Argument 2 of BETWEEN"},
    {"CEILING(1.2)", N, "2"},
    {"CEILING(-1.2)", N, "-1"},
    {"CEILING(5000000000.5)", N, "5000000001"},
    {"CHR(65)", T, "A"},
    {"CHR(256)", E, "A Byte value is required but invalid"},
    {"CHR(-1)", E, "A Byte value is required but invalid"},
    {"COS(0)", N, "1"},
    {"CTOD('20050130')", D, "2453401"},
    {"CTOD('1/30/2005')", D, "2453401"},
    {"CTOD('')", D, "1e100"},
    {"CTOD('  ')", D, "1e100"},
    {"DATE()", D, "2453401"},
    {"DESCEND(5)", N, "-5"},
    {"DESCEND(0)", N, "0"},
    {"DESCEND('AB')", T, "\xBF\xBE"},
    {"DESCEND(CHR(0))", T, std::string(1, '\0')},
    {"DESCEND(.T.)", B, "F"},
    {"DESCEND({20050130})", D, "2778407"},
    {"DESCEND(CTOD(''))", D, "1e100"},
    {"DOW({20050130})", N, "1"},
    {"DOW({20050205})", N, "7"},
    {"DOW(CTOD(''))", N, "0"},
    {"DOW({ })", N, "0"},
    {"DTOC({20050130})", T, "1/30/2005"},
    {"DTOC({20050130}, 1)", T, "20050130"},
    {"DTOC(CTOD(''))", T, "        "},
    {"DTOR(180)", N, kPi},
    {"DTOS({20050130})", T, "20050130"},
    {"DTOS(CTOD(''))", T, "        "},
    {"DTOS({ })", T, "        "},
    {"DTOS(.T.)", E, "Date needed for Argument 1 of DTOS"},
    {"EMPTY('  ')", B, "T"},
    {"EMPTY('a')", B, "F"},
    {"EMPTY(0)", B, "T"},
    {"EMPTY(1)", B, "F"},
    {"EMPTY(.F.)", B, "T"},
    {"EMPTY(CTOD(''))", B, "T"},
    {"EMPTY({ })", B, "T"},
    {"EMPTY({20050130})", B, "F"},
    {"EMPTY()", B, "F"},
    {"FLOOR(-1.2)", N, "-2"},
    {"FLOOR(1.8)", N, "1"},
    {"FV(100, 0.1, 2)", N, "210"},
    {"FV(100, 0, 3)", N, "300"},
    {"FV(100, 0.1, 2, 1000)", N, "1420"},
    {"FV(100, 0.1, 2, 0, 1)", N, "231"},
    {"FV(100, 0.1, 2, 0, -1)", N, "210"},
    {"FV(100, 0.1, 2, 0, 2)", E, "Argument for FV PaymentTime must be 0 or 1"},
    {"FV(100, -1, 2)", E, "Argument for FV Rate must be > -1"},
    {"IIF(.T., 1, 'x')", N, "1"},
    {"IIF(.F., 1, 'x')", T, "x"},
    {"IIF(.T., 1, 1 / 0)", N, "1"},
    {"IIF(1, 2, 3)", E, "Boolean needed for Argument 1 of IIF"},
    {"INLIST('b  ', 'a', 'b')", B, "T"},
    {"INLIST('b', 'b ')", B, "F"},
    {"INLIST(2, 1, 2, 3)", B, "T"},
    {"INLIST(2, 'a', 2)", B, "T"},
    {"INLIST(4, 1, 2)", B, "F"},
    {"INLIST()", B, "F"},
    {"INT(-3.7)", N, "-3"},
    {"INT(3.7)", N, "3"},
    {"LEFT('ab', 5)", T, "ab   "},
    {"LEFT('abcdef', 2)", T, "ab"},
    {"LEFT('abc', 0.01)", T, ""},
    {"LEFT('abc', -1)", T, ""},
    {"LEN('abc ')", N, "4"},
    {"LOG(1)", N, "0"},
    {"LOG(0)", E, "Argument for LOG must be > 0"},
    {"LOG10(1000)", N, "3"},
    {"LOG10(-1)", E, "Argument for LOG10 must be > 0"},
    {"LOWER('Ab\xC7')", T, "ab\xE7"},
    {"LTRIM('  ab ')", T, "ab "},
    {"MAX(1, 5, 3)", N, "5"},
    {"MAX('a', 'c', 'b')", T, "c"},
    {"MAX({20050101}, {20050130})", D, "2453401"},
    {"MAX(7)", N, "7"},
    {"MAX(1, 'a')", E, "All arguments for Max() must be of the same type"},
    {"MAX()", E, "A value is required for Max()"},
    {"MIN(3, 1, 2)", N, "1"},
    {"MIN(1, 'a')", E, "All arguments for Min() must be of the same type"},
    {"MIN()", E, "A value is required for Min()"},
    {"MOD(7, 3)", N, "1"},
    {"MOD(-7, 3)", N, "-1"},
    {"MOD(7, -3)", N, "1"},
    {"MOD(7.9, 3.9)", N, "1"},
    {"MOD(7, 0.5)", E, "Division by zero in MOD operation"},
    {"PADC('ab', 5)", T, " ab  "},
    {"PADL('ab', 5)", T, "   ab"},
    {"PADR('ab', 5, '*')", T, "ab***"},
    {"PADC('abcdef', 3)", T, "abcdef"},
    {"PADL(42, 5)", T, "   42"},
    {"PADL(1.5, 5, '0')", T, "001.5"},
    {"PADR('ab', 5, 'xy')", E, "A Char value is required but invalid"},
    {"PADR('ab', 5, 1)", E, "A Char value is required but invalid"},
    {"PADR()", E, "Value needed for Argument 1 of Pad"},
    {"PADR('ab')", E, "Number needed for Argument 2 of PADR"},
    {"PI()", N, kPi},
    {"PV(100, 0.1, 2)", N, "173.55371900826446"},
    {"PV(100, 0, 3)", N, "300"},
    {"PV(100, 0.1, 2, 121)", N, "273.55371900826446"},
    {"PV(100, 0.1, 2, 0, 5)", E, "Argument for PV PaymentTime must be 0 or 1"},
    {"PROPER(\"o'neil-smith jr\")", T, "O'neil-Smith Jr"},
    {"PROPER('ABC dEF 1a x@y')", T, "Abc Def 1a X@Y"},
    {"RIGHT('abc', 0)", T, "abc"},
    {"RIGHT('abc', 2)", T, "bc"},
    {"RIGHT('abc', 5)", T, "abc"},
    {"RTRIM('ab  ')", T, "ab"},
    {"RTOD(PI())", N, "180"},
    {"ROUND(2.5)", N, "3"},
    {"ROUND(-2.5)", N, "-3"},
    {"ROUND(2.675, 2)", N, "2.68"},
    {"ROUND(1.005, 2)", N, "1.01"},
    {"ROUND(1234.5, -2)", N, "1200"},
    {"ROUND(0.5)", N, "1"},
    {"ROUND(-0.4)", N, "0"},
    {"ROUND(9.96, 1)", N, "10"},
    {"ROUND(0.004, 2)", N, "0"},
    {"ROUND(0.005, 2)", N, "0.01"},
    {"SIN(0)", N, "0"},
    {"SOUNDEX('SMITH')", T, "S530"},
    {"SOUNDEX('smith')", T, "S530"},
    {"SOUNDEX('LEE')", T, "L000"},
    {"SOUNDEX('X')", T, "X000"},
    {"SOUNDEX('')", T, "0000"},
    {"SPACE(3)", T, "   "},
    {"SPACE(-1)", T, ""},
    {"SPACE(1000000000000)", E, "Argument for SPACE must be at most 65535"},
    {"LEN(PADL('', 65535))", N, "65535"},
    {"PADR('x', 65536)", E, "Argument for PADR must be at most 65535"},
    {"STR(3.14159, 6, 2)", T, "  3.14"},
    {"STR(123456, 3)", T, "***"},
    {"STR(42)", T, "        42"},
    {"STR(-1.5, 5, 1)", T, " -1.5"},
    {"STR(2.5, 3)", T, "  3"},
    {"STR(1, 3, 5)", T, "***"},
    {"STRTRAN('abcabc', 'b', 'X')", T, "aXcaXc"},
    {"STRTRAN('abcabc', 'b')", T, "acac"},
    {"STRTRAN('abcabc', 'b', 'X', 2)", T, "abcaXc"},
    {"STRTRAN('abcabcabc', 'b', 'X', 1, 2)", T, "aXcaXcabc"},
    {"STRTRAN('abcabcabc', 'b', 'X', 2, 1)", T, "abcaXcabc"},
    {"STRTRAN('', 'b', 'X')", T, ""},
    {"STRTRAN('abc', '', 'X')", T, "abc"},
    {"STRTRAN('aaaa', 'aa', 'b')", T, "bb"},
    {"LEN(STRTRAN(SPACE(100), ' ', SPACE(655)))", N, "65500"},
    {"STRTRAN(SPACE(60000), ' ', SPACE(60000))", E,
     "Argument for STRTRAN must be a replacement adding at most 65535 characters"},
    {"STRZERO(42, 5)", T, "00042"},
    {"STRZERO(3.5, 6, 2)", T, "003.50"},
    {"SUBSTR('abcdef', 3, 10)", T, "cdef"},
    {"SUBSTR('abcdef', 7)", T, ""},
    {"SUBSTR('abcdef', 0)", T, ""},
    {"SUBSTR('abcdef', 2, 0)", T, ""},
    {"SUBSTR('abcdef', 2, 3)", T, "bcd"},
    {"SUBSTR('abcdef', 3)", T, "cdef"},
    {"TAN(0)", N, "0"},
    {"TRIM('ab ' + CHR(0))", T, "ab"},
    {"UPPER('ab\xE7')", T, "AB\xC7"},
    {"VAL('12.5')", N, "12.5"},
    {"VAL(' -3 ')", N, "-3"},
    {"VAL('')", N, "0"},
    {"VAL('abc')", N, "0"},
    {"YEAR({20050130})", N, "2005"},
    {"MONTH({20050130})", N, "1"},
    {"DAY({20050130})", N, "30"},
    {"YEAR(CTOD(''))", N, "0"},
    {"DAY({ })", N, "0"},
    {"MONTH('x')", E, "Date needed for Argument 1 of MONTH"},
};

class ExprFunctions : public ::testing::Test {
protected:
    void SetUp() override {
        nvlocale::ResetDefaults();
        nvlocale::SetShortDatePattern("M/d/yyyy");
        static const nvlocale::LocalDateTime kDay{2005, 1, 30, 12, 0, 0, 0};
        nvlocale::SetClockForTesting(&kDay);
    }
    void TearDown() override {
        nvlocale::SetClockForTesting(nullptr);
        nvlocale::ResetDefaults();
    }
};

TEST_F(ExprFunctions, Table) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.text);
        if (row.type == E) {
            EXPECT_EQ(EvalError(row.text), row.expected);
            continue;
        }
        Result r = Eval(row.text);
        ASSERT_EQ(r.type, row.type);
        if (row.type == T) {
            ASSERT_TRUE(r.value.IsText());
            EXPECT_EQ(r.value.AsText(), row.expected);
        } else if (row.type == B) {
            ASSERT_TRUE(r.value.IsBoolean());
            EXPECT_EQ(r.value.AsBoolean() ? "T" : "F", row.expected);
        } else {
            ASSERT_TRUE(r.value.IsNumber());
            double want = std::stod(row.expected);
            EXPECT_NEAR(r.value.AsNumber(), want, std::fabs(want) * 1e-12 + 1e-12);
            EXPECT_FALSE(std::signbit(r.value.AsNumber()) && want == 0) << "negative zero";
        }
    }
}

TEST_F(ExprFunctions, RegisteredOnceInTheGlobalRegistry) {
    EXPECT_EQ(NvGlobalFunctions().Count(), 59);
    EXPECT_EQ(NvGlobalVariables().Count(), 3);
    EXPECT_NE(NvGlobalFunctions().Find("soundex"), nullptr);
    EXPECT_EQ(NvGlobalFunctions().Find("PAD"), nullptr);
    EXPECT_EQ(NvGlobalFunctions().Find("PADMAIN"), nullptr);
    // RTRIM is its own registration with its own name.
    EXPECT_EQ(NvGlobalFunctions().Find("RTRIM")->Name(), "RTRIM");
    EXPECT_EQ(NvGlobalFunctions().Find("TRIM")->Name(), "TRIM");
}

TEST_F(ExprFunctions, ConstantsAreVariables) {
    TestLink link;
    EXPECT_TRUE(Eval("TRUE", &link).value.AsBoolean());
    EXPECT_FALSE(Eval("false", &link).value.AsBoolean());
    Result pi = Eval("PI", &link);
    EXPECT_EQ(pi.type, nvtNumber);
    EXPECT_DOUBLE_EQ(pi.value.AsNumber(), 3.1415926535897932385);
    EXPECT_EQ(ParseError("TRUE()", &link), "There is no function for TRUE");
}

TEST_F(ExprFunctions, StrDefaultWidthComesFromTheLink) {
    TestLink link;
    EXPECT_EQ(Eval("STR(42)", &link).value.AsText(), "        42");
    link.defaultNumericWidth = 5;
    EXPECT_EQ(Eval("STR(42)", &link).value.AsText(), "   42");
    link.defaultNumericWidth = -1;  // the first argument's own length
    link.Add("QTY", TnvValue::Number(7), nvtNumber, 4);
    EXPECT_EQ(Eval("STR(QTY)", &link).value.AsText(), "   7");
    EXPECT_EQ(Eval("STR(123.45)", &link).value.AsText(), "   123");
}

TEST_F(ExprFunctions, FunctionsEvaluateOnlyWhatTheyNeed) {
    TestLink link;
    TestVar* a = link.Add("A", TnvValue::Number(1), nvtNumber);
    TestVar* b = link.Add("B", TnvValue::Number(2), nvtNumber);
    EXPECT_DOUBLE_EQ(Eval("IIF(.F., A, B)", &link).value.AsNumber(), 2);
    EXPECT_EQ(a->reads, 0);
    EXPECT_EQ(b->reads, 1);
    EXPECT_TRUE(Eval("INLIST(1, A, B)", &link).value.AsBoolean());
    EXPECT_EQ(b->reads, 1);  // stopped at the first equal value
}

}  // namespace
