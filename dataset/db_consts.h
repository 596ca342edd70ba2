// The record-set framework's own failure classes and message texts.
//
// `EDatabaseError` is the framework's database error: every check of TDataSet, TField and
// the data links raises it, and descendants raise it for their own record-set checks. `EAbort`
// is the silent exception that ends an operation without a message (an error handler's
// daAbort). Texts are the framework's, formatted printf-style with NvFormat ("%s", "%d").
#pragma once

#include <initializer_list>
#include <string>

#include "nv6_glbl.h"

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// Ends the current operation quietly; a message box never shows it.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// Reading, writing or converting a stream failed.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// A variant could not be converted to the type asked for.
class EVariantError : public Exception {
public:
    using Exception::Exception;
};

namespace dbmsg {
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SNotIndexField = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* SFieldValueError = "Invalid value for field '%s'";
inline constexpr const char* SFieldRangeError = "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* SInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char* SInvalidFloatValue = "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char* SInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char* SInvalidDate = "'%s' is not a valid date";
inline constexpr const char* SInvalidDateTime = "'%s' is not a valid date and time";
inline constexpr const char* SDataSetMissing = "Field '%s' has no dataset";
inline constexpr const char* SFieldIndexError = "Field index out of range";
inline constexpr const char* SIndexNotFound = "Index '%s' not found";
inline constexpr const char* SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* SInvalidCalcType = "Field '%s' cannot be a calculated or lookup field";
inline constexpr const char* SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SNotBlobField = "Field '%s' is not a blob field";
inline constexpr const char* SDataSetUnidirectional = "Operation not allowed on a unidirectional dataset";
inline constexpr const char* SStreamRead = "Stream read error";
inline constexpr const char* SStreamWrite = "Stream write error";
inline constexpr const char* SVarTypeCast = "Could not convert variant of type (%s) into type (%s)";
}  // namespace dbmsg

// Raises EDatabaseError with the text as it stands.
[[noreturn]] void DatabaseError(const std::string& message);
// Raises EDatabaseError with the formatted text.
[[noreturn]] void DatabaseErrorFmt(const char* format, std::initializer_list<TnvFmtArg> args);
// Raises EAbort.
[[noreturn]] void Abort();
