// How a table cursor presents itself to expressions and to its index files: the field reader
// expressions bind to (`NVO_dBExpTable`), the compiled key and FOR expressions index tags
// evaluate (`NVO_dBIndexExpression`) and the table view an index file works through
// (`NVO_dBIndexTable`). The cursor owns one of each table object for its whole life and the
// expression link built over them when it opens (nv6_dbsy.h). Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nv6_indx.h"
#include "nv6_sql.h"
#include "nv6_sqlt.h"

class NVO_dBaseFld;

class NVO_dBHandler;

// The cursor's fields and record state as expressions read them.
class NVO_dBExpTable : public TnvExpTable {
public:
    explicit NVO_dBExpTable(NVO_dBHandler& cursor) : cursor_(cursor) {}

    std::string TableAlias() const override;
    std::string TableName() const override;
    int FieldCount() const override;
    std::string FieldName(int field) const override;
    char FieldType(int field) const override;
    int FieldLength(int field) const override;
    int FieldDecimals(int field) const override;
    std::string FieldText(int field) override;
    bool FieldBytes(int field, std::string_view& bytes) override;
    int32_t FieldDate(int field) override;
    double FieldNumber(int field) override;
    bool FieldLogical(int field) override;
    // Empty for a memo field of a table whose memo file is missing, rather than an error in
    // the middle of an index build or a filter pass.
    std::string FieldMemo(int field) override;
    bool BinaryNumbers() const override;
    int32_t RecordNumber() override;
    bool RecordDeleted() override;
    bool AtBOF() override;
    bool AtEOF() override;
    int32_t RecordCount() override;

private:
    NVO_dBHandler& cursor_;
};

// A key or FOR expression compiled against a cursor's link. The link has one default width
// for STR, but tags of different formats (NTX wants the argument's own width, the others 10)
// can share a table, so every evaluation puts this expression's width in place for its run.
class NVO_dBIndexExpression : public TnvIndexExpression {
public:
    // Raises ENorvaneExpression for text that does not parse. `cursor`, the table the link
    // reads, lets a key of one numeric field be read straight from the record.
    NVO_dBIndexExpression(TnvExpUserLink& link, std::string_view text, int16_t options,
                          NVO_dBaseFld* cursor = nullptr);

    std::string Text() const override { return text_; }
    void Evaluate(TnvVariant& result) override;
    // From the tree: field widths, literal lengths, concatenations summed, and the widths of
    // the text functions; where that says nothing, the widest field or number it reads.
    int32_t ResultLength() const override;
    bool NumberValue(double& value) override;
    // The result type of the last evaluation (the expression handler's codes).
    TnvExpType ResultType() const { return handler_.ResultType(); }
    TnvExpHandler& Handler() { return handler_; }

private:
    TnvExpUserLink& link_;
    TnvExpHandler handler_;
    std::string text_;
    int32_t numericWidth_;
    NVO_dBaseFld* cursor_;
    int numberField_ = 0;  // the N or F field the expression is and nothing else; 0: none
};

// The cursor as its index files see it.
class NVO_dBIndexTable : public TnvIndexTable {
public:
    explicit NVO_dBIndexTable(NVO_dBHandler& cursor) : cursor_(cursor) {}

    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view text, int16_t options) override;
    int32_t RecordNumber() const override;
    int32_t RecordCount() const override;
    bool ExactMatch() const override;
    bool HasOldRecord() const override { return true; }
    bool RecordModified() const override;
    void UseOldRecord(bool old) override;
    std::string Directory() const override;
    bool ReadWrite() const override;
    bool Enciphered() const override;
    std::string ReadPassword() const override;
    std::string WritePassword() const override;
    std::string TableFileName() const override;
    bool HasProductionIndex() const override;
    void MarkProductionIndex() override;
    void BeginBuild() override;
    bool ReadRecordForBuild(int32_t record) override;
    void EndBuild() override;
    void BuildProgress(int32_t stat1, int32_t stat2, int32_t stat3) override;
    bool FieldSize(std::string_view name, int& length, int& decimals) const override;


private:
    NVO_dBHandler& cursor_;
    uint8_t* savedPointer_ = nullptr;
    int buildDepth_ = 0;
    int32_t buildRemembered_ = 0;
    bool buildReadAhead_ = false;
};
