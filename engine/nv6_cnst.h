// The message table: every text the engine and the record-set layer raise, in one place.
//
// A message is named by a `TnvMsg`; its text is looked up when the error is raised, so a
// translated table can be installed with `NvSetMessageTable` at start (the texts must keep
// their "%s"/"%d" directives in the same order). Texts are kept exactly as other programs'
// users know them, misspellings included.
#pragma once

#include <cstddef>

enum class TnvMsg : int {
    NoPassword,            // "No Password for encrypted file %s"
    WrongPassword,         // "Invalid Password for encrypted file %s"
    SortVariantType,
    SortKeyLength,
    SortAddAfterRetrieve,
    InvalidNumeric,
    NumericTooBig,
    InvalidDate,
    NoFieldName,
    InvalidValueForField,
    FieldIncorrectType,
    MemoRecordBad,
    RecordNotInTable,
    TableHeaderInvalid,
    IndexCorrupted,
    CannotFindTag,
    CouldNotLockIndexes,
    PasswordForUnencrypted,
    ArgumentNeeded,
    ArgumentMustBe,
    TargetValueMissing,
    SidesDoNotMatch,
    ValueRequiredInvalid,
    ValueRequiredFor,
    ArgumentsSameType,
    FieldVariableUnknown,
    CannotBeEvaluated,
    MissingClosingParen,
    MissingClosingPeriod,
    MissingClosingQuote,
    ExpectingLogical,
    SyntaxError,
    VariantNotForAppend,
    VariantMismatch,
    MasterDetailNoIndex,
    MasterDetailMismatch,
    FileSizeError,
    FlushError,
    CannotLockFile,
    FileNotFound,
    ReadError,
    CloseError,
    RenameError,
    AccessDenied,
    CouldNotCreate,
    RequiresFullAccess,
    TruncateError,
    UnlockError,
    WriteError,
    NoFunction,
    TableNameMissing,
    CannotFindFile,
    ErrorGetting,
    IndexAlreadyOpen,
    RecordBeyondRange,
    CannotDeleteRecord,
    CannotRecallRecord,
    BookmarkInvalid,
    RecordLockedByOther,
    BusyBuildingIndex,
    BusyCopying,
    FilterMustBeBoolean,
    NotYetAvailable,
    NoMemoFile,
    ExpressionTooDeep,
    DivisionByZero,
    TextNotANumber,
    CopyLayoutDiffers,
    UnknownIndexType,
    TooManyIndexFiles,
    KeyNotForTag,
    IndexTagNotBuilt,
    TagNameLength,         // "Tag name %s must have 1 to 10 characters"
    TagExpressionTooLong,
    IndexTooManyTags,
    IndexExpressionTooLong,
    PackNameInTheWay,      // "Pack needs the name of file %s, which holds no copy of this table"
    Count_
};

constexpr std::size_t kNvMessageCount = static_cast<std::size_t>(TnvMsg::Count_);

// Which exception class a message is raised with.
enum class TnvMsgClass { Error, Expression, Encryption, Database };

// The text currently installed for `id`.
const char* NvMessageText(TnvMsg id);
TnvMsgClass NvMessageClass(TnvMsg id);

// Installs a replacement table of kNvMessageCount texts (for a translation); nullptr
// restores the built-in table. The caller keeps the array alive.
void NvSetMessageTable(const char* const* texts);
