// The table cursor: NVO_dBHandler walks a table as a sequence of records in natural order,
// passes over deleted records and records outside the filter set, reads ahead in 32 KB
// windows, keeps the open index files locked and informed around every write, and does the
// whole-table operations pack, zap, copy and password change.
//
// It sits on the field layer (NVO_dBaseFld, nv6_fld.h); the record set opens one per table.
// Index files plug in through NVO_IndexFile, which the index units implement; the filter
// test plugs in through TnvRecordFilter, which the expression unit implements. Not
// copyable, one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_fld.h"
#include "nv6_tool.h"

class NVO_dBHandler;
class NVO_dBExpTable;
class NVO_dBIndexTable;
class TnvExpHandler;
class TnvExpTable;
class TnvExpUserLink;
class TnvIndexExpression;
class TnvIndexTable;

// An index file open on a cursor, as the cursor sees it: something it locks around writes,
// tells about every written record, flushes, renames, rebuilds and re-keys.
class NVO_IndexFile {
public:
    virtual ~NVO_IndexFile() = default;

    // The index's disk file; nullptr while it has none (nothing to lock or flush then).
    virtual NVO_DiskFile* DiskFile() = 0;
    // Updates the keys of every tag for the cursor's current record.
    virtual void RecordChanged(int32_t record, bool appending) = 0;
    // Rebuilds every tag from the table's records.
    virtual void Reindex() {}
    // Re-enciphers the index pages from `oldPassword` to `newPassword`.
    virtual void Recrypt(std::string_view /*oldPassword*/, std::string_view /*newPassword*/) {}

    // Sets the lock region for the table's protocol (values outside the four: kept).
    virtual void SetLockProtocol(TnvLokProtocol protocol);
    // Locks the disk file for a change with the retries of the disk unit; "Can not Lock
    // file %s" when they all fail. A file that is not shared takes no hold.
    virtual void LockIndex();
    // Drops the hold LockIndex took.
    virtual void UnlockIndex();

    TnvLockRange LockRange() const { return lockRange_; }

private:
    TnvLockRange lockRange_{0x7FFFFFFE, 1};
};

// The filter test of a cursor: whether its current record passes.
class TnvRecordFilter {
public:
    virtual ~TnvRecordFilter() = default;
    virtual bool Accepts(NVO_dBHandler& cursor) = 0;
};

class NVO_dBHandler : public NVO_dBaseFld {
public:
    static constexpr int kIndexSlots = 63;
    static constexpr int64_t kReadAheadBytes = 32768;

    // Opens the table as the field layer does; read-ahead off but allowed, natural order,
    // no index file, no filter.
    NVO_dBHandler(const std::string& fileName, bool shared, bool readWrite,
                  const std::string& password);
    ~NVO_dBHandler() override;

    // --- virtual operations added, in slot order ---
    // 3. Moves n records in the current order (0 reads the current one again); an end
    //    reached early sets end-of-file (n > 0) or beginning-of-file (n < 0).
    virtual void Skip(int32_t n);
    // 4. Whether the current record passes the filter (true without an active filter).
    virtual bool RecordAccepted();
    // 5. Locks every open index file, slots 1 to 63 in order; when one cannot be locked the
    //    ones already locked are unlocked and "Could not lock indexes for Table %s" raised.
    virtual bool LockIndexes();
    // 6. Changes the password (empty: plain) by converting into a copy that then replaces
    //    the files, so a failure leaves the table readable with the old password. Needs
    //    exclusive use: "%s requires full access to file %s".
    virtual void SetPassword(const std::string& password);

    // --- overridden ---
    // Positions as the table layer does, but codes pass over deleted records (show-deleted
    // off) and records the filter rejects; under an active filter next/prior/top/bottom are
    // found in the filter set. 0 or a number above N blanks the record buffer.
    void Go(int32_t target) override;
    // Served from the read-ahead window when it is on.
    int64_t ReadAt(int64_t offset, void* buffer, int64_t length) override;
    // Also updates the part of the read-ahead window the bytes cover.
    void WriteAt(int64_t offset, const void* buffer, int64_t length) override;
    // Both write under LockIndexes; the index locks are released also on failure.
    void Append() override;
    void WriteRecord(int32_t n) override;
    // 7: filter bit from the filter test, every index file told; 8: index files flushed.
    void Notify(int code, int32_t value) override;
    void SetLockProtocol(TnvLokProtocol protocol) override;
    // In shared mode a record lock drops the read-ahead window and reads the record again
    // from the file (unless the buffer holds unsaved changes).
    bool LockRecord() override;
    // Also renames the index files named like the table to the new base name.
    void Rename(std::string_view newName) override;
    bool HasIndexFiles() const override { return indexFiles_[0] != nullptr; }

    // --- non-virtual operations ---
    // Unlocks every open index file (one hold each).
    void UnlockIndexes();
    // Read-ahead on (buffer of 32 KB in whole records, empty window) or off (buffer freed);
    // while not allowed, on counts as off.
    void SetReadAhead(bool on);
    void AllowReadAhead(bool value);
    bool ReadAheadOn() const { return readAheadOn_; }

    // Removes the deleted records. The new files are built under temporary names and moved
    // into place so that the complete old or the complete new table is always on disk;
    // on failure the old table stays and the temporary files are removed.
    void Pack();
    // Removes every record and empties the memo file.
    void Zap();
    // Copies the records the cursor reaches (natural order, filter, show-deleted), memo
    // values included, as live records into a new table of the same structure enciphered
    // with `password`. Raises "%s requires full access to file %s" ("CopyFile") when the
    // full lock cannot be had.
    void CopyTable(const std::string& newName, const std::string& password);
    // Creates an empty table (and memo file) with this table's fields, version style and
    // header bytes 28 and 29 (a Visual FoxPro table as it is, with its extra area). "Table
    // %s can not be copied without changing its record length" before any file is touched
    // when the builder cannot keep the record length.
    void CopyStructure(const std::string& newName);

    // Index slots 1..63; an index file given to a slot is owned by the cursor.
    void SetIndexFile(int slot, std::unique_ptr<NVO_IndexFile> file);
    NVO_IndexFile* IndexFile(int slot) const;

    // Sets the filter test and fills the filter set by one pass over the records; nullptr
    // removes the filter.
    void SetFilter(std::unique_ptr<TnvRecordFilter> filter);
    // The filter as an xBase expression over the table's fields and functions (blank text:
    // none). The text is compiled (ENorvaneExpression on a parse error) and must give a
    // logical value ("Filter expression must return boolean result"); then every record,
    // deleted ones too, gets its bit in the filter set, so that later changes of the
    // show-deleted setting or of a range need no new pass. The requested state is kept: a
    // filter set while not requested stays inactive until SetFiltered(true). On failure the
    // text is kept and the filter is inactive.
    void SetFilter(std::string_view expression, bool caseInsensitive, bool wildcards);
    // Requests the filter on or off; it is active only when an expression with at least one
    // operand (or a filter test) is set.
    void SetFiltered(bool on);
    // Evaluates the active filter again for every record (after changes the cursor did not
    // write itself, such as another program's).
    void Refilter();
    const std::string& FilterText() const { return filterText_; }

    // The table as expressions see it, and the link holding its fields and table functions;
    // both built when the table opens and kept until it closes.
    TnvExpTable& ExpressionTable();
    TnvExpUserLink& ExpressionLink() { return *link_; }
    // The table as its index files see it.
    NVO_dBIndexTable& IndexTable() { return *indexTable_; }
    // Compiles `text` against this table; `options` is the width STR gives a number when no
    // width is written (negative: the argument's own width), as index tags set it.
    std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view text, int16_t options = 10);
    bool FilterRequested() const { return filterRequested_; }
    void SetFilterRequested(bool value) { filterRequested_ = value; }
    bool FilterActive() const { return filterRequested_ && filter_ != nullptr; }
    // The filter set; nullptr before a filter was set.
    const TnvHugeSet* FilterSet() const { return filterSet_.get(); }

    bool Positioned() const { return positioned_; }
    bool OutOfOrder() const { return outOfOrder_; }
    bool Found() const { return found_; }

protected:
    void ChangedByOthers() override { DropWindow(); }

    friend class NVO_dBExpTable;
    friend class NVO_dBIndexTable;

private:
    void DropWindow() { windowStart_ = -1; windowEnd_ = -1; }
    // One pass over every record setting its filter bit (cleared when there is no test).
    void FillFilterSet();
    // The filter-set step of Go for a negative code; false when an end was reached.
    bool FilterStep(int32_t code, int32_t& record);
    // CopyStructure of a Visual FoxPro table: its header (descriptors plain, no records) and
    // an empty memo file of the same block size.
    void CopyVfpStructure(const std::string& newName);
    // Copies every record (deleted ones kept as deleted when `keepDeleted`) into `target`.
    void CopyRecordsTo(NVO_dBHandler& target, bool keepDeleted);
    // Builds a copy under a temporary name with CopyTable (or the full copy of SetPassword)
    // and moves it over the table's files; `password` is the copy's.
    void ReplaceByCopy(const std::string& password, bool keepDeleted);

    std::array<std::unique_ptr<NVO_IndexFile>, kIndexSlots> indexFiles_;
    std::vector<uint8_t> readAhead_;
    int64_t windowStart_ = -1;
    int64_t windowEnd_ = -1;
    bool readAheadOn_ = false;
    bool readAheadAllowed_ = true;
    bool found_ = false;
    bool positioned_ = false;
    bool outOfOrder_ = false;
    std::unique_ptr<TnvHugeSet> filterSet_;
    std::unique_ptr<TnvRecordFilter> filter_;
    bool filterRequested_ = false;
    // The filter expression, when the filter was given as text; filter_ then tests with it.
    std::unique_ptr<TnvExpHandler> filterExpression_;
    std::string filterText_;
    // Destroyed explicitly in the right order: everything holding the link, then the link,
    // then the tables it reads.
    std::unique_ptr<NVO_dBExpTable> expTable_;
    std::unique_ptr<NVO_dBIndexTable> indexTable_;
    std::unique_ptr<TnvExpUserLink> link_;
};
