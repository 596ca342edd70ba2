#include "nv6_cnst.h"

namespace {

struct MessageEntry {
    TnvMsg id;
    TnvMsgClass cls;
    const char* text;
};

using C = TnvMsgClass;

// Table order is the order of TnvMsg; the static_assert below keeps them in step.
constexpr MessageEntry kMessages[] = {
    {TnvMsg::NoPassword, C::Encryption, "No Password for encrypted file %s"},
    {TnvMsg::WrongPassword, C::Encryption, "Invalid Password for encrypted file %s"},
    {TnvMsg::SortVariantType, C::Error, "Variant type cannot be sorted"},
    {TnvMsg::SortKeyLength, C::Error, "Sort key length must be 1-%d bytes, is %d"},
    {TnvMsg::SortAddAfterRetrieve, C::Error, "Cannot add sort keys after beginning retrieval"},
    {TnvMsg::InvalidNumeric, C::Error, "Invalid numeric value in field %s"},
    {TnvMsg::NumericTooBig, C::Error, "numeric value too big in field %s"},
    {TnvMsg::InvalidDate, C::Error, "Invalid date in field %s"},
    {TnvMsg::NoFieldName, C::Error, "There is no field name %s"},
    {TnvMsg::InvalidValueForField, C::Error, "Invalid %s value for field %s"},
    {TnvMsg::FieldIncorrectType, C::Error, "Field %s is the incorrect type"},
    {TnvMsg::MemoRecordBad, C::Error, "Memo record is bad in %s"},
    {TnvMsg::RecordNotInTable, C::Error, "Record number %d is not in table %s"},
    {TnvMsg::TableHeaderInvalid, C::Error, "Table Header for %s is invalid"},
    {TnvMsg::IndexCorrupted, C::Error, "Index file %s is corrupted"},
    {TnvMsg::CannotFindTag, C::Error, "Cannot find index tag %s"},
    {TnvMsg::CouldNotLockIndexes, C::Error, "Could not lock indexes for Table %s"},
    {TnvMsg::PasswordForUnencrypted, C::Encryption, "A Password is included for unencrypted file %s"},
    {TnvMsg::ArgumentNeeded, C::Expression, "%s needed for Argument %d of %s"},
    {TnvMsg::ArgumentMustBe, C::Expression, "Argument for %s must be %s"},
    {TnvMsg::TargetValueMissing, C::Expression, "Target value missing for %s operation"},
    {TnvMsg::SidesDoNotMatch, C::Expression, "The two sides of an operation do not match"},
    {TnvMsg::ValueRequiredInvalid, C::Expression, "A %s value is required but invalid"},
    {TnvMsg::ValueRequiredFor, C::Expression, "A value is required for %s"},
    {TnvMsg::ArgumentsSameType, C::Expression, "All arguments for %s must be of the same type"},
    {TnvMsg::FieldVariableUnknown, C::Expression, "Field/variable %s is unknown"},
    {TnvMsg::CannotBeEvaluated, C::Expression, "Expression cannot be evaluated"},
    {TnvMsg::MissingClosingParen, C::Expression, "Missing closing parentheses"},
    {TnvMsg::MissingClosingPeriod, C::Expression, "Missing closing period"},
    {TnvMsg::MissingClosingQuote, C::Expression, "Missing closing \"%s\" on literal"},
    {TnvMsg::ExpectingLogical, C::Expression, "Expecting \".T.\" or \".F.\""},
    {TnvMsg::SyntaxError, C::Expression, "Syntax Error in expression \"%s\""},
    {TnvMsg::VariantNotForAppend, C::Error, "Variant type is not valid for append"},
    {TnvMsg::VariantMismatch, C::Error, "Variant types mismatch for compare"},
    {TnvMsg::MasterDetailNoIndex, C::Database, "Master/Detail relation failed, no index open for %s"},
    {TnvMsg::MasterDetailMismatch, C::Database, "Master/Detail relation failed, field missmatch for %s"},
    {TnvMsg::FileSizeError, C::Error, "Error getting FileSize for file %s"},
    {TnvMsg::FlushError, C::Error, "Error on Flush for file %s"},
    {TnvMsg::CannotLockFile, C::Error, "Can not Lock file %s"},
    {TnvMsg::FileNotFound, C::Error, "File %s could not be found"},
    {TnvMsg::ReadError, C::Error, "Error on Read of file %s"},
    {TnvMsg::CloseError, C::Error, "Error in Close of file %s"},
    {TnvMsg::RenameError, C::Error, "Error on Rename of file %s"},
    {TnvMsg::AccessDenied, C::Error, "Access denied to file %s"},
    {TnvMsg::CouldNotCreate, C::Error, "Could not create file %s"},
    {TnvMsg::RequiresFullAccess, C::Error, "%s requires full access to file %s"},
    {TnvMsg::TruncateError, C::Error, "Error in Truncate of file %s"},
    {TnvMsg::UnlockError, C::Error, "Error in Unlock of file %s"},
    {TnvMsg::WriteError, C::Error, "Error writing to %s"},
    {TnvMsg::NoFunction, C::Expression, "There is no function for %s"},
    {TnvMsg::TableNameMissing, C::Database, "Table name missing"},
    {TnvMsg::CannotFindFile, C::Database, "Cannot find file %s"},
    {TnvMsg::ErrorGetting, C::Database, "Error getting %s"},
    {TnvMsg::IndexAlreadyOpen, C::Database, "Index file %s already open"},
    {TnvMsg::RecordBeyondRange, C::Database, "Record request beyond range of table"},
    {TnvMsg::CannotDeleteRecord, C::Database, "Cannot delete the record"},
    {TnvMsg::CannotRecallRecord, C::Database, "Cannot recall the record"},
    {TnvMsg::BookmarkInvalid, C::Database, "Bookmark is invalid for table "},
    {TnvMsg::RecordLockedByOther, C::Database, "Record is locked by another user"},
    {TnvMsg::BusyBuildingIndex, C::Database, "Table is busy building an index"},
    {TnvMsg::BusyCopying, C::Database, "Table is busy copying"},
    {TnvMsg::FilterMustBeBoolean, C::Error, "Filter expression must return boolean result"},
    {TnvMsg::NotYetAvailable, C::Error, "%s is not yet available for file %s"},
    {TnvMsg::NoMemoFile, C::Error, "Table %s has no memo file for field %s"},
    {TnvMsg::ExpressionTooDeep, C::Expression, "Expression is nested too deeply (more than %d levels)"},
    {TnvMsg::DivisionByZero, C::Expression, "Division by zero in %s operation"},
    {TnvMsg::TextNotANumber, C::Expression, "The text \"%s\" is not a number in %s operation"},
    {TnvMsg::CopyLayoutDiffers, C::Error, "Table %s can not be copied without changing its record length"},
    {TnvMsg::UnknownIndexType, C::Error, "Unknown index file type %s"},
    {TnvMsg::TooManyIndexFiles, C::Error, "Index file %s cannot be opened: table %s already has 63 index files open"},
    {TnvMsg::KeyNotForTag, C::Error, "%s is not a valid key for index tag %s"},
    {TnvMsg::IndexTagNotBuilt, C::Error, "Index tag %s could not be built in file %s"},
    {TnvMsg::TagNameLength, C::Error, "Tag name %s must have 1 to 10 characters"},
    {TnvMsg::TagExpressionTooLong, C::Error, "Key and FOR expressions of tag %s are longer than 510 characters"},
    {TnvMsg::IndexTooManyTags, C::Error, "Index file %s cannot hold more than %d tags"},
    {TnvMsg::IndexExpressionTooLong, C::Error, "Index expression longer than %d characters for index file %s"},
    {TnvMsg::PackNameInTheWay, C::Error, "Pack needs the name of file %s, which holds no copy of this table"},
};

static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == kNvMessageCount,
              "every message id has exactly one text");

constexpr bool TableInIdOrder() {
    for (std::size_t i = 0; i < kNvMessageCount; ++i)
        if (static_cast<std::size_t>(kMessages[i].id) != i) return false;
    return true;
}
static_assert(TableInIdOrder(), "message table rows follow the TnvMsg order");

const char* const* g_installed = nullptr;

}  // namespace

const char* NvMessageText(TnvMsg id) {
    auto i = static_cast<std::size_t>(id);
    if (i >= kNvMessageCount) return "";
    if (g_installed && g_installed[i]) return g_installed[i];
    return kMessages[i].text;
}

TnvMsgClass NvMessageClass(TnvMsg id) {
    auto i = static_cast<std::size_t>(id);
    return i < kNvMessageCount ? kMessages[i].cls : TnvMsgClass::Error;
}

void NvSetMessageTable(const char* const* texts) { g_installed = texts; }
