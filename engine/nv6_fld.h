// Field access: NVO_dBaseFld gives the fields of the current record by number or by name,
// as raw text, display text, number, date (day number), logical and memo text, and keeps
// one changed flag per field. Every conversion between a field's stored bytes and a value
// passes through here; the cursor, expressions, indexes and the record set build on it.
//
// It sits on the table file (NVO_dBaseDBF, nv6_dbf.h). Text passes through unchanged (no
// code-page translation: that is the record set's business). Not copyable, one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_dbf.h"
#include "nv6_valu.h"

class NVO_dBaseFld;

// One field of an open table, as the field list holds it.
class TnvDBFFields {
public:
    TnvDBFFields(NVO_dBaseFld* table, std::string name, int length, int decimals, char type,
                 int number, int offset)
        : table_(table), name_(std::move(name)), length_(length), decimals_(decimals),
          type_(type), number_(number), offset_(offset) {}
    virtual ~TnvDBFFields() = default;
    TnvDBFFields(const TnvDBFFields&) = delete;
    TnvDBFFields& operator=(const TnvDBFFields&) = delete;

    NVO_dBaseFld* Table() const { return table_; }
    const std::string& Name() const { return name_; }
    // The descriptor's length byte (for C fields the full length is FieldLength).
    int Length() const { return length_; }
    int Decimals() const { return decimals_; }
    char Type() const { return type_; }
    int Number() const { return number_; }
    int Offset() const { return offset_; }

private:
    NVO_dBaseFld* table_;
    std::string name_;
    int length_;
    int decimals_;
    char type_;
    int number_;
    int offset_;
};

class NVO_dBaseFld : public NVO_dBaseDBF {
public:
    // Opens the table (NVO_dBaseDBF), checks the password of an enciphered table and sets up
    // the field offsets, numbers and the field list.
    NVO_dBaseFld(const std::string& fileName, bool shared, bool readWrite,
                 const std::string& password);
    ~NVO_dBaseFld() override;

    // --- virtual operations, in slot order. "number" is 1-based; a number outside 1..F
    //     gives an empty result; an unknown name raises "There is no field name %s". ---
    // 1. The descriptor of the named field.
    virtual const TnvFieldDescriptor& FieldDescriptor(std::string_view name);
    // 2. Blanks the record for a new record: numeric fields hold a formatted zero, binary
    //    fields of a Visual FoxPro table binary zeros; every field counts as changed.
    virtual void BlankRecord();
    // 3.-6. Dates as day numbers (0 = blank). By name: the field must be D. SetDate stores
    //    only into D fields (false otherwise); -1 raises "Invalid %s value for field %s".
    virtual int32_t GetDateByName(std::string_view name);
    virtual int32_t GetDate(int number);
    virtual bool SetDateByName(std::string_view name, int32_t day);
    virtual bool SetDate(int number, int32_t day);
    // 7. Marks the current record deleted and writes it (nothing without a current record).
    virtual void DeleteRecord();
    // 8.-11. The field's bytes untrimmed; storing cuts to the field length and justifies
    //    by type (C, D, L left; others right).
    virtual std::string GetRawByName(std::string_view name);
    virtual std::string GetRaw(int number);
    // GetRaw's bytes in the record buffer itself, valid until the record changes.
    std::string_view RawView(int number) const;
    virtual bool PutRawByName(std::string_view name, std::string_view text);
    virtual bool PutRaw(int number, std::string_view text);
    // 12.-16. Descriptor facts; FieldDecimals is 0 for C, FieldLength uses both bytes for C,
    //    FieldType is '\0' for a bad number.
    virtual int FieldDecimals(int number);
    virtual int FieldLength(int number);
    virtual int FieldOffset(int number);
    virtual std::string FieldName(int number);
    virtual char FieldType(int number);
    // 17.-20. Logicals: true for one of "TtYyJj". SetLogical on a non-L field raises.
    virtual bool GetLogicalByName(std::string_view name);
    virtual bool GetLogical(int number);
    virtual bool SetLogicalByName(std::string_view name, bool value);
    virtual bool SetLogical(int number, bool value);
    // 21.-24. Numbers. Text fields convert their trimmed text ("Invalid numeric value in
    //    field %s"); Visual FoxPro B, G, I, M, T, Y decode their binary form. SetNumber
    //    raises "numeric value too big in field %s" when the value does not fit.
    virtual long double GetNumberByName(std::string_view name);
    virtual long double GetNumber(int number);
    virtual bool SetNumberByName(std::string_view name, long double value);
    virtual bool SetNumber(int number, long double value);
    // 25.-28. Display text and storing from display text (dates in the display form,
    //    numbers in the user's locale, memo fields through the memo file).
    virtual std::string GetTextByName(std::string_view name);
    virtual std::string GetText(int number);
    virtual bool PutTextByName(std::string_view name, std::string_view text);
    virtual bool PutText(int number, std::string_view text);
    // 29. Marks the current record live and writes it (nothing without a current record).
    virtual void RecallRecord();

    // Reads a record (NVO_dBaseDBF::Go) and clears every changed flag.
    void Go(int32_t target) override;

    // --- non-virtual operations ---------------------------------------------------------------
    // 1-based number of the field, 0 when there is none. Never raises.
    int FieldNumber(std::string_view name) const;
    // FieldDescriptor, then the type check: N also accepts B, F, G, I, M; G accepts B, M.
    // Raises "Field %s is the incorrect type" with the requested name.
    const TnvFieldDescriptor& CheckedDescriptor(std::string_view name, char type);
    void ClearChanged();
    // Field-changed flag; index 0 is the deletion flag, 1..F the fields.
    bool FieldChanged(int index) const;
    // Whether the field keeps its value in the memo file (M, G, B; in Visual FoxPro tables
    // only M and G).
    bool IsMemoField(int number) const;
    // The memo object for a memo field (created through MemoFile); nullptr for other
    // fields or when the table has no memo file.
    NVobjMemoBase* MemoFor(int number);
    // The day number of a Visual FoxPro date-time (T) field, its time of day dropped; 0 when
    // it is blank or the field is no such field.
    int32_t DateTimeDay(int number);
    // Memo text of the field through the memo object; the block is the field's number.
    int32_t MemoSize(int number);
    int32_t ReadMemo(int number, uint8_t* buffer, int32_t length);
    // Stores the text as the field's memo; returns the new first block (0 for no text).
    int32_t WriteMemo(int number, const uint8_t* buffer, int32_t length);
    // Builds a search record in `buffer` (RecordLength() bytes): blanks it, then stores each
    // value under the field names of `names` (split at ";"), the i-th value to the i-th name.
    // Leaves the record pointer, the changed flags and record-modified as it found them.
    void FillFromValues(uint8_t* buffer, std::string_view names,
                        const std::vector<TnvValue>& values);
    // The single-value form: the value goes to the first name.
    void FillFromValues(uint8_t* buffer, std::string_view names, const TnvValue& value);

    const std::vector<std::unique_ptr<TnvDBFFields>>& Fields() const { return fields_; }
    bool FieldsReady() const { return fieldsReady_; }
    const TnvFieldDescriptor* LastDescriptor() const { return lastDescriptor_; }

private:
    const TnvFieldDescriptor* ByNumber(int number) const;
    uint32_t MemoBlock(int number, bool writing = false);
    bool IsVfpBinary(const TnvFieldDescriptor& d) const;
    // Table base name, "->", field name, " (", text, ")": the argument of conversion errors.
    std::string FieldArgument(const TnvFieldDescriptor& d, std::string_view text) const;
    void Store(const TnvFieldDescriptor& d, std::string_view text, bool leftJustify);
    void StoreBytes(const TnvFieldDescriptor& d, const uint8_t* bytes, int count);
    void MarkChanged(const TnvFieldDescriptor& d);
    std::string FieldText(const TnvFieldDescriptor& d) const;
    bool PutDisplayNumber(int number, const TnvFieldDescriptor& d, std::string_view text);
    std::string VfpBinaryText(int number, const TnvFieldDescriptor& d);
    bool PutVfpBinaryText(int number, const TnvFieldDescriptor& d, std::string_view text);

    const TnvFieldDescriptor* lastDescriptor_ = nullptr;
    bool fieldsReady_ = false;
    std::vector<uint8_t> changed_;
    std::vector<std::unique_ptr<TnvDBFFields>> fields_;
};
