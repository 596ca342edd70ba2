// The record-set framework's enumerations and option sets, shared by every unit of dataset/.
//
// The framework is the classic buffered data-set design: a TDataSet base keeps a ring of
// record buffers and a state machine, descendants supply the storage. The ordinal order of
// each enumeration is part of its contract (callers compare ranges such as "from dsSetKey to
// dsNewValue"), so new values are only ever appended.
#pragma once

#include <cstdint>
#include <initializer_list>

// A set of enumeration values, like the option sets of the framework ([loPartialKey, ...]).
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items) bits_ |= Bit(e);
    }
    constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet& Include(E e) { bits_ |= Bit(e); return *this; }
    constexpr TSet& Exclude(E e) { bits_ &= ~Bit(e); return *this; }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr uint32_t Bit(E e) { return uint32_t{1} << static_cast<unsigned>(e); }
    uint32_t bits_ = 0;
};

// States of a dataset. Temporary states (dsCalcFields, dsFilter, dsNewValue, dsOldValue,
// dsCurValue, dsInternalCalc) are entered with SetTempState and left with RestoreState.
enum TDataSetState {
    dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue,
    dsOldValue, dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};

// Notifications a dataset sends through its data sources to the data links.
enum TDataEvent {
    deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange,
    deUpdateRecord, deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange,
    deFocusControl, deParentScroll, deConnectChange, deReconcileError, deDisabledStateChange
};

// Field data types. Native buffer formats (what GetFieldData delivers):
//   ftString    Size + 1 bytes, zero-terminated text
//   ftSmallint  int16        ftInteger  int32        ftLargeint int64
//   ftBoolean   one byte, 0 = False
//   ftFloat, ftCurrency  double
//   ftDate      int32: days since 1 January of year 1, plus one
//   ftTime      int32: milliseconds since midnight
//   ftDateTime  double: milliseconds since 1 January of year 1, plus one day
//   ftMemo, ftBlob, ftGraphic  no buffer data; reached through a blob stream
enum TFieldType {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency,
    ftBCD, ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo,
    ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar,
    ftWideString, ftLargeint
};

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };

// What GetRecord is asked to read, and what it reports.
enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };

// What a record buffer holds: a real record, the crack before the first or after the last
// record, or a record being inserted.
enum TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };

enum TResyncModeItem { rmExact, rmCenter };
using TResyncMode = TSet<TResyncModeItem>;

enum TLocateOption { loCaseInsensitive, loPartialKey };
using TLocateOptions = TSet<TLocateOption>;

enum TFilterOption { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TSet<TFilterOption>;

// What an OnEditError / OnPostError / OnDeleteError handler asks for.
enum TDataAction { daFail, daAbort, daRetry };

enum TIndexOption {
    ixPrimary, ixUnique, ixDescending, ixCaseInsensitive, ixExpression, ixNonMaintained
};
using TIndexOptions = TSet<TIndexOption>;

enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

// The states in which field values may be written.
constexpr bool IsWriteMode(TDataSetState s) {
    return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields ||
           s == dsFilter || s == dsNewValue || s == dsInternalCalc;
}
// The states in which a record is being edited by a person.
constexpr bool IsEditMode(TDataSetState s) { return s == dsEdit || s == dsInsert || s == dsSetKey; }

// One raw record buffer of a dataset; the bytes belong to the dataset's buffer ring.
using TRecordBuffer = uint8_t*;

// The framework's date-time value: days since 30 December 1899, fraction = time of day.
using TDateTime = double;

// Names of the types for messages ("String", "Integer", ...).
const char* FieldTypeName(TFieldType t);
