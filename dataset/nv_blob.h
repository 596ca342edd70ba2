// TNRBlobStream: the stream over a memo or blob field of a TNorvaneDataSet. It holds the
// field's whole value as text in memory: read from the memo file at creation (or the text an
// earlier stream left for the record being edited), converted from the OEM code page when the
// field transliterates. Edits change only that text; when a modified stream goes away while
// its record set edits or inserts, the text goes back to the record set, which writes it to
// the memo file when the record is posted (a cancel keeps the old memo).
//
// The caller owns the stream (TDataSet::CreateBlobStream). The stream points at its field
// and record set and must not outlive them.
#pragma once

#include <cstdint>
#include <vector>

#include "db_stream.h"
#include "db_types.h"

class TField;
class TNorvaneDataSet;

class TNRBlobStream : public TStream {
public:
    // Reads the field's value from the record buffer that serves the record set's state.
    // Modes other than bmRead refuse a read-only field ("Field '%s' cannot be modified") and
    // a record set that does not edit ("Dataset not in edit or insert mode"); bmWrite
    // starts empty.
    TNRBlobStream(TField* field, TBlobStreamMode mode);
    // Hands a modified text back to the record set (see above); never throws.
    ~TNRBlobStream() override;

    // Past the end: the bytes left and the terminating zero byte; after a seek beyond the
    // end: 0.
    int64_t Read(void* buffer, int64_t count) override;
    // Replaces everything from the position on with the bytes (a gap after a seek beyond the
    // end is filled with zero bytes).
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return size_; }
    void SetSize(int64_t size) override;

    bool Modified() const { return modified_; }

private:
    // Empties the text (write-only streams start so).
    void Truncate();
    void HandBack();

    TField* field_;
    TNorvaneDataSet* dataSet_;
    TRecordBuffer buffer_;
    int fieldNo_;
    std::vector<uint8_t> text_;  // size_ bytes and a zero; empty when there is no text
    int64_t size_ = 0;
    int64_t position_ = 0;
    bool modified_ = false;
};
