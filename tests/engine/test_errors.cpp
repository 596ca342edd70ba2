#include <gtest/gtest.h>

#include "nv6_glbl.h"

namespace {

TEST(EngineErrors, ClassesAreSiblingsUnderTheBaseException) {
    bool caughtAsError = false;
    try {
        try {
            NvRaise(TnvMsg::SyntaxError, {"1 +"});
        } catch (const ENorvaneError&) {
            caughtAsError = true;
        }
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Syntax Error in expression \"1 +\"");
        EXPECT_EQ(e.HelpContext(), 0);
        EXPECT_NE(dynamic_cast<const ENorvaneExpression*>(&e), nullptr);
    }
    EXPECT_FALSE(caughtAsError);

    EXPECT_THROW(NvRaise(TnvMsg::NoPassword, {"/t/a.dbf"}), ENorvaneEncryption);
    EXPECT_THROW(NvRaise(TnvMsg::AccessDenied, {"/t/a.dbf"}), ENorvaneError);
    try {
        NvRaise(TnvMsg::WrongPassword, {"/t/a.dbf"});
    } catch (const ENorvaneError&) {
        FAIL() << "an encryption failure is not an engine error";
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "Invalid Password for encrypted file /t/a.dbf");
    }
}

TEST(EngineErrors, FormatsArgumentsLeftToRight) {
    EXPECT_EQ(NvMessage(TnvMsg::RecordNotInTable, {12, "/data/x.dbf"}),
              "Record number 12 is not in table /data/x.dbf");
    EXPECT_EQ(NvMessage(TnvMsg::ArgumentNeeded, {"Number", 2, "SUBSTR"}),
              "Number needed for Argument 2 of SUBSTR");
    EXPECT_EQ(NvMessage(TnvMsg::MissingClosingQuote, {"'"}), "Missing closing \"'\" on literal");
    EXPECT_EQ(NvMessage(TnvMsg::ExpectingLogical, {}), "Expecting \".T.\" or \".F.\"");
    EXPECT_EQ(NvMessage(TnvMsg::BookmarkInvalid, {}), "Bookmark is invalid for table ");
    EXPECT_EQ(NvFormat("100%% of %s", {"it"}), "100% of it");
}

TEST(EngineErrors, MismatchedArgumentsAreAFormattingError) {
    EXPECT_THROW(NvFormat("%d", {"text"}), EConvertError);
    EXPECT_THROW(NvFormat("%s", {3}), EConvertError);
    EXPECT_THROW(NvFormat("%s and %s", {"one"}), EConvertError);
    EXPECT_THROW(NvFormat("%x", {3}), EConvertError);
}

TEST(EngineErrors, PlainRaiseDoesNotFormat) {
    try {
        NvRaisePlain(TnvMsg::FilterMustBeBoolean);
        FAIL();
    } catch (const ENorvaneError& e) {
        EXPECT_EQ(e.Message(), "Filter expression must return boolean result");
    }
}

TEST(EngineErrors, ATranslatedTableReplacesTheTexts) {
    static const char* texts[kNvMessageCount] = {};
    texts[static_cast<int>(TnvMsg::FileNotFound)] = "Datei %s nicht gefunden";
    NvSetMessageTable(texts);
    EXPECT_EQ(NvMessage(TnvMsg::FileNotFound, {"/a"}), "Datei /a nicht gefunden");
    EXPECT_EQ(NvMessage(TnvMsg::AccessDenied, {"/a"}), "Access denied to file /a");
    NvSetMessageTable(nullptr);
    EXPECT_EQ(NvMessage(TnvMsg::FileNotFound, {"/a"}), "File /a could not be found");
}

}  // namespace
