// The table cursor: NVO_dBHandler walks a table as a sequence of records in natural order or
// in the order of an index tag, passes over deleted records and records outside the filter
// set, reads ahead in 32 KB windows in natural order, keeps the open index files locked and
// informed around every write, searches keys, ranges and field values, builds and rebuilds
// tags, and does the whole-table operations pack, zap, copy and password change.
//
// It sits on the field layer (NVO_dBaseFld, nv6_fld.h); the record set opens one per table.
// Index files plug in through NVO_IndexFile: NVO_CoreIndexFile holds a file of the index
// core (nv6_indx.h), which gives the cursor its tags; other implementations are only locked
// and informed. The filter test plugs in through TnvRecordFilter, which the expression unit
// implements. Not copyable, one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_cpag.h"
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
class NVobjIndexFile;
class NVobjIndexKeyData;
class NVobjIndexTag;

// An index file open on a cursor, as the cursor sees it: something it locks around writes,
// tells about every written record, flushes, renames and rebuilds.
class NVO_IndexFile {
public:
    virtual ~NVO_IndexFile() = default;

    // The index's disk file; nullptr while it has none (nothing to lock or flush then).
    virtual NVO_DiskFile* DiskFile() = 0;
    // Updates the keys of every tag for the cursor's current record.
    virtual void RecordChanged(int32_t record, bool appending) = 0;
    // Rebuilds every tag from the table's records.
    virtual void Reindex() {}

    // Sets the lock region for the table's protocol (values outside the four: kept).
    virtual void SetLockProtocol(TnvLokProtocol protocol);
    // Locks the disk file for a change with the retries of the disk unit; "Can not Lock
    // file %s" when they all fail. A file that is not shared takes no hold.
    virtual void LockIndex();
    // Drops the hold LockIndex took.
    virtual void UnlockIndex();

    TnvLockRange LockRange() const { return lockRange_; }
    // The index file behind the slot with its tags, or none for a file the cursor only
    // locks and informs.
    virtual NVobjIndexFile* Core() { return nullptr; }
    // Writes and drops the pages the file's tags hold in memory (their headers too).
    virtual void ReleasePages() {}

private:
    TnvLockRange lockRange_{0x7FFFFFFE, 1};
};

// A cursor slot holding an index file of the index core: the cursor's locking, record
// maintenance, flushing and rebuilding reach the file and its tags through it.
class NVO_CoreIndexFile : public NVO_IndexFile {
public:
    explicit NVO_CoreIndexFile(std::unique_ptr<NVobjIndexFile> file);
    // Writes the pages the tags still hold before the file goes; never throws.
    ~NVO_CoreIndexFile() override;

    NVO_DiskFile* DiskFile() override;
    void RecordChanged(int32_t record, bool appending) override;
    void Reindex() override;
    void SetLockProtocol(TnvLokProtocol protocol) override;
    NVobjIndexFile* Core() override { return file_.get(); }
    void ReleasePages() override;

private:
    std::unique_ptr<NVobjIndexFile> file_;
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
    // 1. Searches the current tag for `key` (converted to the tag's key type first) and
    //    moves to the first acceptable record holding it; with exact match off a shorter
    //    key matches as a prefix. Not found (or no current tag): at the last record with
    //    end-of-file set.
    virtual bool Find(std::string_view key);
    // Find with `key` already a value of the current tag's key type (a key evaluated on a
    // record, say), as Find goes on after converting its text.
    bool Find(const NVobjIndexKeyData& key);
    // 2. The record holding `key` in the named tag (exact match forced on), 0 when none, -1
    //    when no open file has that tag. Neither the cursor nor the tag moves.
    virtual int32_t FindInTag(std::string_view tagName, std::string_view key);
    // 3. Moves n records in the current order (0 reads the current one again); an end
    //    reached early sets end-of-file (n > 0) or beginning-of-file (n < 0).
    virtual void Skip(int32_t n);
    // 4. Whether the current record passes the filter (true without an active filter).
    virtual bool RecordAccepted();
    // 5. Locks every open index file, slots 1 to 63 in order; when one cannot be locked the
    //    ones already locked are unlocked and "Could not lock indexes for Table %s" raised.
    virtual bool LockIndexes();
    // 6. Changes the password (empty: plain): ChangePassword with no further index files.
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

    // Removes the deleted records. The new files are built as TABLE.pack-tmp.dbf (with its
    // memo file) and moved into place, the old ones going aside as TABLE.pack-old.dbf until
    // the new ones stand, so that the complete old or the complete new table is always on
    // disk; on failure the old table stays and the scratch files are removed. Scratch files
    // an interrupted pack left are removed first when they hold this table's structure;
    // another file under such a name stops the pack ("Pack needs the name of file %s ...").
    // The table, its memo file and every open index file are opened for writing before
    // anything changes ("Access denied to file %s" for the first that cannot be).
    void Pack();
    // Removes every record and empties the memo file; like Pack, opens every file it
    // changes for writing first, so a file that may not be written changes nothing, and
    // builds the empty table under the pack's scratch names and swaps it in the same way,
    // so that a failure or crash leaves the complete old or the complete new table.
    void Zap();
    // Changes the password (empty: plain) of the table, its memo file, every open index
    // file, the production index (the .cdx or .mdx named like the table) and the index
    // files of `indexFiles` (resolved as OpenIndex does; "File %s could not be found" for
    // a missing one, before anything changes). All of them are converted into copies that
    // then replace the files in one swap, so a failure at any step leaves every file as it
    // was, readable with the old password. Needs exclusive use: "%s requires full access to
    // file %s".
    void ChangePassword(const std::string& password, const std::vector<std::string>& indexFiles);
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

    // --- orders: index files, tags, searches, ranges, index building ---
    // `name` trimmed, with the table's directory when it has none and ".ndx" when it has no
    // extension.
    std::string ResolveIndexName(std::string_view name) const;
    // Opens an index file into the first free slot: 0 when opened, -1 for an empty name or
    // a file already open. "File %s could not be found", "Index file %s is corrupted", and
    // "Index file %s cannot be opened: table %s already has 63 index files open".
    int OpenIndex(std::string_view name);
    // Closes every index file, then opens the files of `list` (names separated by commas or
    // semicolons outside double quotes) and sets the order to `tagName` keeping the
    // position. 0 when all opened, 1 for an empty list, else the first failing result.
    int OpenIndexFiles(std::string_view list, std::string_view tagName);
    // The names of an index file list: trailing separators and blanks dropped, quotes
    // removed, every name trimmed, empty names left out.
    static std::vector<std::string> SplitIndexList(std::string_view list);
    // 0 when the file was open and is closed now (natural order if it held the current
    // tag), 1 when it was not open.
    int CloseIndex(std::string_view name);
    // Closes every index file; natural order.
    void CloseIndexes();
    // The slot (1..63) of the open file whose name part equals that of `name` resolved,
    // ignoring case (the last such slot); 0 when none.
    int FindIndexFile(std::string_view name) const;
    // Makes the named tag the current order (blank: natural order) and returns the slot of
    // its file (0 for natural order). With `keepPosition` the cursor stays on its record
    // when the new order reaches it, else it goes to the top. "Cannot find index tag %s"
    // leaves the order as it was.
    int SetOrder(std::string_view tagName, bool keepPosition);
    // The n-th tag (from 1) over the open files in slot order; none past the last.
    NVobjIndexTag* TagByOrdinal(int n) const;
    // The n-th tag's key expression evaluated on the current record; false without it.
    bool TagKeyValue(int n, TnvVariant& value);
    // A range on the current order (an empty text: no bound on that side); the high bound
    // matches as a prefix with `modeFlag`, else in full. Goes to the top of the range.
    // False without a current tag or when the range did not change.
    bool SetRange(std::string_view low, std::string_view high, bool lowFlag, bool highFlag, bool modeFlag);
    // Removes the range of the current tag.
    void ClearRange();
    // Searches the records whose fields (`fieldNames` separated by ";") hold `values`, the
    // last field over the given length only when `partial`. A tag made of exactly these
    // plain fields serves the search; otherwise (and after `startRecord`, and for
    // case-insensitive searches) the records are scanned in natural order. The order is
    // kept; on success the cursor is on the record found.
    bool Locate(std::string_view fieldNames, const std::vector<TnvValue>& values, int32_t startRecord,
                bool partial, bool caseInsensitive);
    // Builds a tag over every record: sort option 0 ascending, 1 descending, 7 and 8 the
    // same with upper-case keys (others: descending). NDX and NTX files are made anew and
    // named after the file; CDX and MDX need a tag name ("Cannot find index tag %s") and
    // the tag is added or replaced. Every index file is closed first and stays closed.
    int IndexOn(std::string_view fileName, std::string_view tagName, int sortOption, bool duplicatesAllowed,
                std::string_view forExpression, std::string_view keyExpression);
    // Rebuilds every tag of every open file; the current order then starts at its top.
    // "Access denied to file %s", before any file changes, when one is open read-only.
    void Reindex();
    // Deletes the named tag from the open file holding it (the file closes when it has no
    // tag left): 0 deleted, -1 the file refused, 1 no such tag or no name.
    int DeleteTag(std::string_view tagName);
    // The same in the open index file named `fileName` only, so that a tag name that two
    // files share is deleted where it was meant: 1 also when that file is not open.
    int DeleteTagIn(std::string_view fileName, std::string_view tagName);
    // Removes an index file of this table from the disk, closing it first when it is open;
    // when it was the table's production index, the header stops saying the table has one
    // (other programs refuse a table whose production index is missing). Nothing happens
    // when there is no such file. "%s requires full access to file %s" on a shared table,
    // "Access denied to file %s" when the file cannot be removed.
    void DeleteIndexFile(std::string_view name);
    // Whether index files of this name hold many tags, each named (.cdx, .mdx), rather than
    // one tag named after the file (.ndx, .ntx).
    static bool HoldsNamedTags(std::string_view fileName);
    // The tag giving the current order (none: natural order) and its upper-cased name.
    NVobjIndexTag* CurrentTag() const { return currentTag_; }
    const std::string& CurrentTagName() const { return currentTagName_; }
    // The index-core file in a slot (1..63), or none.
    NVobjIndexFile* IndexFileCore(int slot) const;

    // --- relative positions: a scroll bar's view of the current order ---
    // The current record's place in the current order, from 0 to 1: record number / record
    // count in natural order; in tag order the key's place in the tag (inside its range),
    // read from the tag's page path. Hidden deleted and filtered records still count, so it
    // is an estimate then. 0 without a record.
    double RelativePosition();
    // Goes to the record at `fraction` (0..1) of the current order: record
    // round(fraction x count) in natural order, one descent of the tag in tag order. A
    // record that is not visible (deleted while those are hidden, filtered out) gives way
    // to the next visible one, else to the prior one. Nothing in the order: BOF and EOF.
    void GoRelative(double fraction);

    // Sets the filter test and fills the filter set by one pass over the records; nullptr
    // removes the filter.
    void SetFilter(std::unique_ptr<TnvRecordFilter> filter);
    // The filter as an xBase expression over the table's fields and functions (blank text:
    // none). The text is compiled (ENorvaneExpression on a parse error) and must give a
    // logical value ("Filter expression must return boolean result"); then every record,
    // deleted ones too, gets its bit in the filter set, so that later changes of the
    // show-deleted setting or of a range need no new pass. The requested state is kept: a
    // filter set while not requested stays inactive until SetFiltered(true). On any failure
    // (also one raised by a record during the pass) the text is kept, the filter removed
    // (inactive whatever is requested) and its set cleared.
    void SetFilter(std::string_view expression, bool caseInsensitive, bool wildcards);
    // Requests the filter on or off; it is active only when an expression with at least one
    // operand (or a filter test) is set.
    void SetFiltered(bool on);
    // Evaluates the active filter again for every record (after changes the cursor did not
    // write itself, such as another program's).
    void Refilter();
    // Whether a header read found records or a change stamp another program wrote since the
    // filter set was last filled: only then does Refilter have anything to catch up with.
    bool FilterStale() const { return filterStale_; }
    const std::string& FilterText() const { return filterText_; }

    // The table as expressions see it, and the link holding its fields and table functions;
    // both built when the table opens and kept until it closes.
    TnvExpTable& ExpressionTable();
    TnvExpUserLink& ExpressionLink() { return *link_; }
    // The code pages the table's text is read with: chosen from the header's language
    // driver byte when the table opens; a reader may choose others. Expressions fold case
    // in the page the text is stored in.
    const nvlocale::TnvPageChoice& CodePages() const { return pages_; }
    void SetCodePages(const nvlocale::TnvPageChoice& pages);
    // Case mapping of the stored page.
    std::string UpperText(std::string_view text) const;
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
    // What another program wrote is in neither the window nor the filter set.
    void ChangedByOthers() override {
        DropWindow();
        filterStale_ = true;
    }

    friend class NVO_dBExpTable;
    friend class NVO_dBIndexTable;

private:
    void DropWindow() { windowStart_ = -1; windowEnd_ = -1; }
    // Removes the filter after a failed SetFilter: no test, no expression, an empty set.
    void DropFilter();
    // One pass over every record setting its filter bit (cleared when there is no test).
    void FillFilterSet();
    // The filter-set step of Go for a negative code; false when an end was reached.
    bool FilterStep(int32_t code, int32_t& record);
    // The tag step of Go for a negative code: the tag moves (then with `step` while the
    // filter rejects the record); false when an end was reached.
    bool TagStep(int32_t code, int32_t step, int32_t& record);
    // `record` as `tag` gave it; "Index file %s is corrupted" when the table does not hold
    // it even after the header is read again (another program may have appended).
    int32_t TagRecord(const NVobjIndexTag& tag, int32_t record);
    // Skip in tag order with deleted records shown and no filter.
    void TagSkip(int32_t n);
    // The tag named `name` (trimmed, any case) in slots 1..63 and its slot; none: nullptr.
    NVobjIndexTag* FindTag(std::string_view name, int* slot = nullptr) const;
    // Deletes `tag` of the file in `slot` (see DeleteTag).
    int DeleteTagAt(int slot, NVobjIndexTag* tag);
    // Makes `key` the key value of `text` for `tag`: character text as it is, numbers
    // parsed, dates by the date forms; "%s is not a valid key for index tag %s" otherwise.
    void KeyFromText(NVobjIndexTag& tag, std::string_view text, NVobjIndexKeyData& key) const;
    // Find with a key already made: the search and landing on an acceptable record.
    bool FindKey(const NVobjIndexKeyData& key);
    // Rebuilds every open index file as an index build, then sets `order` from its top.
    void RebuildIndexes(const std::string& order);
    // Whether the record just read is one Go would stop at (its deletion mark and the
    // filter tests).
    bool RecordVisible();
    // The natural-order scan of Locate over `fields` for the display texts `wanted`.
    bool LocateScan(const std::vector<std::string>& fields, const std::vector<std::string>& wanted,
                    int32_t startRecord, bool partial, bool caseInsensitive);
    // The tag whose key is made of exactly the plain fields `wanted` (upper-case names, each
    // followed by ";"), or of more fields beginning with them when `partial`; none.
    NVobjIndexTag* ServingTag(const std::string& wanted, bool partial);
    // Writes the pages of the file in `slot` and frees it; the current tag must not be in it.
    void CloseSlot(int slot);
    // Creates an empty table `newName` with this table's header bytes, version and field
    // descriptors as they are on disk (as the engine keeps them in memory with
    // `descriptorsInMemory`), enciphered with `password`, and, when the table has a memo
    // file, an empty one of the same kind and block size naming `memoTable` in its header.
    void CopyExactStructure(const std::string& newName, const std::string& password,
                            bool descriptorsInMemory, const std::string& memoTable);
    // Copies every record (deleted ones kept as deleted when `keepDeleted`) into `target`.
    void CopyRecordsTo(NVO_dBHandler& target, bool keepDeleted);
    // The index files of `given` (resolved) and the production index that are not open,
    // without repeats. "File %s could not be found" for a given one that is missing.
    std::vector<std::string> ClosedIndexFiles(const std::vector<std::string>& given);
    // Builds a copy of the table under a temporary name, enciphered with `password`, and
    // moves it over the table's files. Without `keepDeleted` (a pack) it holds the records
    // the cursor reaches; with it (a password change) every record under its number. With
    // `closedIndexes`, every open index file and the files listed are re-keyed into copies
    // that move into place in the same swap.
    // `packNames` takes the fixed names of a pack for the copy and the old files set aside.
    // `noRecords` (a zap) copies no record and leaves the new memo file empty.
    void ReplaceByCopy(const std::string& password, bool keepDeleted,
                       const std::vector<std::string>* closedIndexes, bool packNames = false,
                       bool noRecords = false);
    // Opens for writing every file whole-table work changes: the table (read-write
    // required), its memo file when there is one on disk, every open index file. Returns
    // the memo object, or nullptr without a memo file.
    NVobjMemoBase* OpenForChange();
    // "Access denied to file %s" for the first open index file not opened read-write.
    void CheckIndexesWritable();
    // The path of a pack's scratch table: the table's path without its extension, then
    // ".pack-tmp.dbf" (`kind` "tmp") or ".pack-old.dbf" ("old").
    std::string PackScratchName(std::string_view kind) const;
    // Removes the scratch files of an interrupted pack (see Pack).
    void RemovePackLeftovers();
    // Whether `path` is a table with this table's version, lengths and fields.
    bool HoldsThisStructure(const std::string& path);

    std::array<std::unique_ptr<NVO_IndexFile>, kIndexSlots> indexFiles_;
    // One past the last filled slot: every write walks the slots three times, and a table
    // rarely has more than one or two index files open.
    int slotsInUse_ = 0;
    void CountSlots();
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
    bool filterStale_ = false;
    NVobjIndexTag* currentTag_ = nullptr;
    std::string currentTagName_;
    // The filter expression, when the filter was given as text; filter_ then tests with it.
    std::unique_ptr<TnvExpHandler> filterExpression_;
    std::string filterText_;
    // Destroyed explicitly in the right order: everything holding the link, then the link,
    // then the tables it reads.
    std::unique_ptr<NVO_dBExpTable> expTable_;
    std::unique_ptr<NVO_dBIndexTable> indexTable_;
    std::unique_ptr<TnvExpUserLink> link_;
    nvlocale::TnvPageChoice pages_;
};
