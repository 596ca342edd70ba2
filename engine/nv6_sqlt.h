// Binding expressions to a table: the interface a table cursor offers to expressions
// (`TnvExpTable`), the field variables and table functions over it, and the user link a
// table builds when it opens. The link and everything in it refer to the table; the table
// owns the link and must destroy every handler holding it (index tags, the filter) before
// the link, and the link before itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nv6_sql.h"

// What an expression reads from an open table. Field numbers are 1-based and valid
// (1..FieldCount); value readers read the current record. Meant to be implemented by a small
// adapter the cursor owns, forwarding to its field layer and record state (the names would
// clash with the field layer's own if the cursor derived from this directly).
class TnvExpTable {
public:
    virtual ~TnvExpTable() = default;

    // The table file name without path and extension (the link upper-cases it).
    virtual std::string TableAlias() const = 0;
    // The table as error messages name it (an open table's full path).
    virtual std::string TableName() const { return TableAlias(); }
    virtual int FieldCount() const = 0;
    // The field name as stored in the descriptor, without its terminating zeros.
    virtual std::string FieldName(int field) const = 0;
    // The descriptor's type letter ('C', 'D', 'N', 'F', 'L', 'M', ...).
    virtual char FieldType(int field) const = 0;
    // The value's width: the length byte, for a character field plus 256 times the
    // decimals byte (up to 65,535), as the field layer's FieldLength gives it.
    virtual int FieldLength(int field) const = 0;
    // The decimals byte; 0 for a character field.
    virtual int FieldDecimals(int field) const = 0;

    // The field's bytes as stored in the record, full width, trailing blanks included.
    virtual std::string FieldText(int field) = 0;
    // The same bytes without a copy, valid until the record changes; false where the table
    // cannot lend them (FieldText is then asked).
    virtual bool FieldBytes(int /*field*/, std::string_view& /*bytes*/) { return false; }
    // A date field's day number, for a date-time field that of its day; 0 when blank.
    virtual int32_t FieldDate(int field) = 0;
    // A numeric, float, integer, currency or double field's value (raises the table's own
    // error for bad contents).
    virtual double FieldNumber(int field) = 0;
    virtual bool FieldLogical(int field) = 0;
    // The whole memo text of a memo field; empty when the memo is empty or absent.
    virtual std::string FieldMemo(int field) = 0;
    // Whether B fields hold doubles (a Visual FoxPro table) rather than binary memos.
    virtual bool BinaryNumbers() const { return false; }

    // The current record number (0 when there is none).
    virtual int32_t RecordNumber() = 0;
    // Whether the current record is marked deleted.
    virtual bool RecordDeleted() = 0;
    // The cursor's begin-of-table and end-of-table flags.
    virtual bool AtBOF() = 0;
    virtual bool AtEOF() = 0;
    // The number of records in the table.
    virtual int32_t RecordCount() = 0;
};

// One field of a table as an expression variable (category 17).
class TnvlDBFFieldVars : public TnvUserDefFieldVar {
public:
    // `names` as registered ("FIELD;ALIAS.FIELD"); `field` is 1-based.
    TnvlDBFFieldVars(TnvExpTable& table, int field, std::string_view names);
    int Category() const override;
    // The current record's value, typed by the field's type letter.
    void Evaluate(TnvValue& value, TnvExpType& type) override;
    bool EvaluateKey(TnvVariant& key, TnvExpType& type) override;
    int Field() const { return field_; }

private:
    TnvExpTable& table_;
    int field_;
};

// Builds the link a table gives its expressions: the table functions RECNO, DELETED, BOF,
// EOF, TYPE, FIELDNO and RECCOUNT, then one variable per field named FIELD and ALIAS.FIELD.
// Default numeric width 10. The table must outlive the link.
std::unique_ptr<TnvExpUserLink> NvBuildTableLink(TnvExpTable& table);
