// TNorvaneDataSet: the record set over one table of the engine. It adapts an engine cursor
// (a DBFObject) to the framework's TDataSet so that grids, data sources and field objects
// can show and edit the table: the record buffers hold the raw record images, bookmarks are
// record numbers, navigation is the cursor's positioning, field values are converted
// between the record image and the framework's native formats, edits take record locks, and
// memo fields are reached through TNRBlobStream.
//
// Buffer layout (R = the table's record length with the deletion flag, C = the size of the
// calculated-field area):
//   0        R   the record image as on disk (byte 0 is "*" for a deleted record)
//   R        C   calculated fields: per field a has-value byte and the field's data
//   R+C      4   record number, little-endian   (the info offset)
//   R+C+5    1   bookmark flag
//   R+C+8   11   bookmark: the record number as 10 right-aligned digits and a zero byte
// Buffers are R + C + 19 bytes and start zero-filled.
//
// The cursor's record pointer is turned to the buffer an operation works on and back to the
// cursor's own image afterwards, except in dsFilter, where field reads see the record the
// cursor is testing. Directories come from DatabaseName: "Default Directory" (the program's
// own directory), an alias of norvane.cfg (nv_alias.h), or the text itself.
//
// The record set owns its cursor, its index-file list and its master link. Not copyable; one
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db_dataset.h"
#include "db_defs.h"
#include "db_links.h"
#include "db_strings.h"
#include "nv_cursor.h"

// How integer numeric fields of ten or more digits are presented (as ftInteger, ftLargeint
// or ftFloat).
enum TnvIntFields { asInteger, asLargeInt, asFloat };

class TNorvaneDataSet;
// Progress of a long engine operation (index builds, copies).
using TnvStatusReport = std::function<void(TNorvaneDataSet&, int32_t stat1, int32_t stat2, int32_t stat3)>;

class TNorvaneDataSet : public TDataSet {
public:
    // A closed record set with every property at its initial value.
    TNorvaneDataSet();
    // Closes the table (a pending edit is dropped, its lock released).
    ~TNorvaneDataSet() override;

    // --- published properties (the framework's Active, AutoCalcFields, Filter, Filtered,
    //     FilterOptions and events are inherited) ----------------------------------------
    // Flush the files after every record write (passed to an open cursor at once).
    bool AutoFlush() const { return autoFlush_; }
    void SetAutoFlush(bool value);
    // Alias name, directory or "Default Directory" (the program's own directory).
    const std::string& DatabaseName() const { return databaseName_; }
    // Closed only. A directory not in the alias list is added to it as name=name.
    void SetDatabaseName(const std::string& value);
    // Password the table is opened with.
    const std::string& EncryptionKey() const { return encryptionKey_; }
    // Closed only.
    void SetEncryptionKey(const std::string& value);
    // RecordCount counts the visible records instead of taking the header count.
    bool ExactCount() const { return exactCount_; }
    void SetExactCount(bool value) { exactCount_ = value; }
    // Open the table unshared (pack, zap and index changes need it).
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value) { exclusive_ = value; }
    // One definition per tag of the open index files (see UpdateIndexDefs).
    TIndexDefs& IndexDefs() { return indexDefs_; }
    // The index files opened with the table; editing the list in place reopens them.
    TStringList& IndexFiles() { return indexFiles_; }
    void SetIndexFiles(const TStringList& value);
    // The tag giving the order; empty: natural order. Setting it keeps the record when the
    // new order has it, and raises "Cannot find index tag %s" for an unknown name.
    const std::string& IndexName() const { return indexName_; }
    void SetIndexName(const std::string& value);
    // Field type of integer numeric fields of ten or more digits (read at open).
    TnvIntFields LargeIntegerAs() const { return largeIntegerAs_; }
    void SetLargeIntegerAs(TnvIntFields value) { largeIntegerAs_ = value; }
    // Locking convention shared with other programs (passed to an open cursor at once).
    TnvLokProtocol LockProtocol() const { return lockProtocol_; }
    void SetLockProtocol(TnvLokProtocol value);
    // Master fields (";"-separated) whose values range the detail on its current tag.
    const std::string& MasterFields() const { return masterLink_->FieldNames(); }
    void SetMasterFields(const std::string& value);
    // The master of a master/detail link; none by default.
    TDataSource* MasterSource() const { return masterLink_->DataSource(); }
    // "Circular datalinks are not allowed" when `source` leads back to this record set.
    void SetMasterSource(TDataSource* source);
    // Open: the requested value or the cursor's being read-only.
    bool ReadOnly() const;
    void SetReadOnly(bool value) { readOnly_ = value; }
    const std::string& TableName() const { return tableName_; }
    // Closed only; a different name clears IndexFiles.
    void SetTableName(const std::string& value);
    // Convert text between the OEM code page on disk and the ANSI code page in fields.
    bool TranslateASCII() const { return translateASCII_; }
    void SetTranslateASCII(bool value) { translateASCII_ = value; }
    // The page the user chose for this table (an OEM page, or an ANSI page the text is
    // stored in); 0 lets the header's language driver byte and the configured default
    // choose. Kept while the record set reopens the same table; a new TableName clears it.
    int CodePage() const { return codePage_; }
    // Applies to an open table at once (the buffers are read again). An unknown page
    // raises "Code page %d is not supported".
    void SetCodePage(int page);
    // The pages text is read with: the open cursor's, else what an open would choose
    // without the header (the chosen page or the default pair).
    nvlocale::TnvPageChoice CodePages() const;
    // Visit records marked deleted (passed to an open cursor at once).
    bool UseDeleted() const { return useDeleted_; }
    void SetUseDeleted(bool value);
    // User number the table keeps for lock bookkeeping.
    int UserID() const { return userID_; }
    void SetUserID(int value);
    // Progress reports of long engine operations; none: dropped.
    TnvStatusReport OnStatus;

    // --- public operations -------------------------------------------------------------
    // The open cursor; null while closed.
    DBFObject* Cursor() const { return cursor_.get(); }
    // The table's directory as DatabaseName resolves it, with a trailing delimiter (empty:
    // the current directory).
    std::string Directory() const;
    // The active record is marked deleted (any flag but a blank).
    bool IsDeleted();
    // Removes the deletion mark of the current record, with the steps and events of Delete.
    void Undelete();
    // Removes the deleted records (natural order and no filter meanwhile); first record.
    void Pack();
    // Removes every record; first record.
    void Zap();
    // Changes the table's password (empty: none) and with it the memo file's, the
    // production index's and every index file's of IndexFiles, all or nothing; the record
    // set stays on its record and EncryptionKey becomes the new password. The table must be
    // open exclusive: "SetPassword requires full access to file %s".
    void ChangePassword(const std::string& password);
    // Bit 0: this program wrote a record since the last call; bit 1: another program changed
    // the table. Both are cleared.
    int HasChanged();
    // Key range on the current order (texts in ANSI; empty Low and High remove it). The
    // short form goes to the first record when the range was set and compares the high
    // bound in full; the long form passes the flags and always goes to the first record.
    // Nothing happens in natural order.
    void SetRange(const std::string& low, const std::string& high);
    void SetRange(const std::string& low, const std::string& high, int lowFlag, int highFlag,
                  int modeFlag);

    // The active record's place in the current order, from 0 (first) to 1 (last): record
    // number / record count in natural order, the key's place in the tag otherwise, read
    // from the tag's page path. Nothing is walked, so hidden deleted and filtered records
    // still count. 0 for an empty record set.
    double RelativePosition();
    // Goes to the record at `fraction` of the current order (the nearest visible one) as a
    // bookmark jump does: BeforeScroll, the buffers refilled around it, AfterScroll. 0 and 1
    // are First and Last, which are exact.
    void SetRelativePosition(double fraction);

    // Index-tag enumeration over the open index files (1-based across files in slot order);
    // empty texts and 0 when there is no such tag.
    int TagCount();
    // Tag name and key expression by position; position of the current tag (0: natural).
    std::string TagName(int position);
    std::string TagExpression(int position);
    int CurrentTagPosition();
    // Rebuilds IndexDefs from the open index files.
    void UpdateIndexDefs();
    // The key of the current record under the tag at that position, as text; empty when
    // there is no such tag.
    std::string KeyValue(int position);
    // Rebuilds every tag of every open index file; first record.
    void Reindex();
    // Builds a tag (`indexFile` a full path whose extension gives the format); the record
    // set's index files are opened again afterwards and it goes to its first record.
    // Meanwhile CheckActive reports "Table is busy building an index".
    void IndexOn(const std::string& indexFile, const std::string& tagName, const std::string& keyExpression,
                 const std::string& forExpression, bool notUnique, bool descending);
    // Removes the named tag from the open index file `fileName` (a name part or a path;
    // empty: whichever open file holds the tag): 0 deleted, -1 refused by the file, 1 no
    // such tag in it.
    int DeleteTag(const std::string& fileName, const std::string& tagName);
    // Removes an index file of the table from the disk (see NVO_dBHandler::DeleteIndexFile)
    // and its entries from IndexFiles, without reopening the others.
    void DeleteIndexFile(const std::string& fileName);
    // The tags of the open index file `fileName` in the file's own order; none when no such
    // file is open.
    struct TagDefinition {
        std::string name;
        std::string expression;
        std::string forExpression;
        bool unique = false;
        bool descending = false;
    };
    std::vector<TagDefinition> FileTags(const std::string& fileName);
    // The first open tag (in tag order) that orders the records by `fieldName` alone: its
    // key is the field or UPPER of it (blanks and letter case aside, the table's alias in
    // front allowed), it has no FOR condition and is not unique (those hide records).
    // Empty when there is none.
    std::string TagOrderingBy(const std::string& fieldName);
    // Whether files of this name hold many named tags rather than one named after the file.
    static bool HoldsNamedTags(const std::string& fileName) { return NVO_dBHandler::HoldsNamedTags(fileName); }

    // --- framework operations (see TDataSet for their contracts) -------------------------
    // The framework's check, then "Table is busy building an index" during IndexOn.
    void CheckActive() override;
    int GetRecNo() override;
    void SetRecNo(int value) override;
    bool IsSequenced() override;
    // The field is used by the current tag's key (false in natural order).
    bool GetIsIndexField(TField* field);
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
    bool GetFieldData(TField* field, void* buffer) override;
    void SetFieldData(TField* field, const void* buffer) override;
    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
    int Translate(const char* src, char* dest, bool toOem) override;
    bool GetCurrentRecord(TRecordBuffer buffer) override;
    TDataSource* GetDataSource() override { return MasterSource(); }
    void Post() override;
    bool Locate(const std::string& keyFields, const TVariant& keyValues,
                TLocateOptions options) override;
    TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                    const std::string& resultFields) override;
    void SetFiltered(bool value) override;
    void SetFilterOptions(TFilterOptions value) override;

protected:
    std::vector<uint8_t> AllocRecordBuffer() override;
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    int GetRecordSize() override { return recordSize_; }
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() const override { return cursor_ != nullptr; }
    void InternalInitFieldDefs() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    void InternalGotoBookmark(const uint8_t* bookmark) override;
    void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) override;
    void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalDelete() override;
    void InternalPost() override;
    void InternalEdit() override;
    void InternalCancel() override;
    void InternalRefresh() override;
    int GetRecordCount() override;
    bool GetCanModify() override { return !ReadOnly(); }
    void ClearCalcFields(TRecordBuffer buffer) override;
    void FreeFieldBuffers() override;
    void SetFilterText(const std::string& value) override;
    void DoAfterInsert() override;
    // The recall step of Undelete.
    virtual void InternalUndelete();

private:
    friend class DBFObject;
    friend class TNRBlobStream;

    // --- for the cursor ---
    // OnFilterRecord's verdict on the record the cursor is testing (true when it does not
    // apply).
    bool FilterRecordAccepts();
    void ReportStatus(int32_t stat1, int32_t stat2, int32_t stat3);

    // --- for the blob stream ---
    // The record buffer that serves field access in the current state; null when none.
    TRecordBuffer ServingBuffer();
    // The text a stream left for a field of the record being edited; null when none.
    const std::string* PendingMemo(int fieldNo) const;
    void SetPendingMemo(int fieldNo, std::string oemText);
    // Code-page conversion of `n` bytes in place, when TranslateASCII is on.
    void TranslateBytes(uint8_t* bytes, size_t n, bool toOem) const;

    // Points the cursor's record image at a buffer for the guard's lifetime and back to
    // where it was; in dsFilter the cursor's own choice (the record under test) stays.
    class PointerGuard {
    public:
        PointerGuard(TNorvaneDataSet& ds, uint8_t* buffer)
            : cursor_(ds.cursor_.get()), active_(cursor_ && ds.State() != dsFilter) {
            if (!active_) return;
            previous_ = cursor_->RecordPointer();
            cursor_->SetRecordPointer(buffer);
        }
        ~PointerGuard() {
            if (active_) cursor_->SetRecordPointer(previous_ == cursor_->RecordBuffer() ? nullptr : previous_);
        }
        PointerGuard(const PointerGuard&) = delete;
        PointerGuard& operator=(const PointerGuard&) = delete;

    private:
        DBFObject* cursor_;
        bool active_;
        uint8_t* previous_ = nullptr;
    };

    std::unique_ptr<DBFObject> CreateCursor(bool readOnly, bool shared);
    void CheckCursor() const;
    int32_t BufferRecNo(TRecordBuffer buffer) const;
    void SetBufferRecNo(TRecordBuffer buffer, int32_t recNo);
    // Writes the texts streams left for the active buffer's memo fields into the memo file
    // and their block numbers into the image.
    void WritePendingMemos(TRecordBuffer buffer);
    void ReleaseEditLock();
    // Sets (or clears) the active record's deletion mark under a record lock, the record read
    // again first; false when the write failed (the image is then read back from the file).
    // "Record is locked by another user" when the lock is refused.
    bool WriteDeletionMark(bool deleted);
    // Switches the cursor's filter on with the expression and options.
    void ApplyFilter(const std::string& text, TFilterOptions options);
    bool HasCurrentTag() const;
    // The master is open and has a record.
    bool MasterReady() const;
    // The detail's key for the master's current record; a one-character text of code 1
    // while the master inserts. "Master/Detail relation failed, no index open for %s"
    // without a current tag.
    std::string MasterKey();
    // The master range without moving the record set (at open and after an order change).
    void ApplyMasterRange();
    // The cursor's range call with the texts converted to OEM; whether the range was set.
    bool CursorRange(const std::string& low, const std::string& high, int lowFlag, int highFlag,
                     int modeFlag);
    void MasterChanged();
    void MasterDisabled();
    void IndexFilesChanged();
    // The path of an entry of IndexFiles: `defaultExt` added when it has no extension, the
    // table's directory when it has none, the letter case of an existing file; empty for a
    // blank entry.
    std::string IndexEntryPath(const std::string& entry, const char* defaultExt) const;
    // Opens one entry of IndexFiles (extension and directory added when missing).
    void OpenIndexEntry(const std::string& entry, const char* defaultExt, bool listChange);
    void ReopenIndexFiles();
    // After the cursor was put back on a record in a new order: stays there when the order
    // reaches it, else goes to the first record; errors are swallowed.
    void StayOrFirst();
    // The names of the table fields an expression uses.
    std::vector<std::string> KeyFieldNames(const std::string& expression);
    // Locate and Lookup values for the cursor: texts in OEM, dates in the display form.
    std::vector<TnvValue> SearchValues(const TVariant& values) const;
    // Reads or writes one table field in the framework's native format.
    bool ReadTableField(TField* field, TRecordBuffer record, void* out);
    void WriteTableField(TField* field, TRecordBuffer record, const void* value);

    std::string databaseName_;
    std::unique_ptr<DBFObject> cursor_;
    bool bofPending_ = false;
    bool eofPending_ = false;
    bool exclusive_ = false;
    // Wider than the table's 16-bit record length: a long record plus calculated fields and
    // bookkeeping must not wrap around.
    int32_t recordSize_ = 0;
    int32_t infoOffset_ = 0;
    int32_t bookmarkOffset_ = 0;
    int32_t bufferSize_ = 0;
    TIndexDefs indexDefs_;
    TStringList indexFiles_;
    std::string indexName_;
    bool readOnly_ = false;
    std::string tableName_;
    bool useDeleted_ = false;
    bool autoFlush_ = false;
    std::string encryptionKey_;
    bool readAhead_ = false;
    TnvLokProtocol lockProtocol_ = TnvLokProtocol::Default;
    bool exactCount_ = false;
    int busy_ = 0;
    int userID_ = 0;
    bool editing_ = false;
    bool translateASCII_ = true;
    int codePage_ = 0;
    std::unique_ptr<TMasterDataLink> masterLink_;
    bool noEvents_ = false;
    bool updatingIndexDefs_ = false;
    TRecordBuffer keyBuffer_ = nullptr;
    TnvIntFields largeIntegerAs_ = asInteger;
    bool masterRange_ = false;
    // Field number -> OEM text of a memo edited through a stream, until post or cancel.
    std::map<int, std::string> pendingMemos_;
};
