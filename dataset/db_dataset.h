// TDataSet: the base of every record set: the state machine, the ring of record buffers
// around the active record, navigation, editing, bookmarks, calculated fields, the field list
// and the notifications to data sources.
//
// A descendant supplies the storage by overriding the protected virtual operations (cursor
// movement with GetRecord, record buffers, bookmarks, field data, posting and deleting); this
// class decides when they are called. The dataset owns its record buffers (byte vectors), its
// field definitions and its field objects; data sources and the controls behind them attach
// to it and are only pointed at. Not thread-safe: one user-interface thread.
//
// The ring holds BufferCount() buffers, as many as the largest attached data link asks for
// (at least 1), plus one spare (the temporary buffer) that GetRecord reads into before it is
// moved into the ring. Buffers 0..BufferedCount()-1 hold records in order; ActiveRecord() is
// the one the fields show. CurrentRecord() is the buffer whose record the descendant's cursor
// is on (-1: unknown; UpdateCursorPos puts it back on the active one).
//
// A descendant's destructor must call Destroying() and then Close(), so that the base never
// calls a virtual operation of an object that is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db_consts.h"
#include "db_defs.h"
#include "db_fields.h"
#include "db_stream.h"
#include "db_types.h"
#include "db_variant.h"

class TDataSource;
class TDataLink;

// A bookmark: BookmarkSize() bytes identifying a record; empty when there is none.
using TBookmark = std::string;

enum TComponentStateItem { csLoading, csReading, csDesigning, csDestroying };
using TComponentState = TSet<TComponentStateItem>;

class TDataSet;
using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
using TDataSetErrorEvent = std::function<void(TDataSet&, EDatabaseError&, TDataAction&)>;
using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

class TDataSet {
public:
    TDataSet();
    TDataSet(const TDataSet&) = delete;
    TDataSet& operator=(const TDataSet&) = delete;
    virtual ~TDataSet();

    // --- opening and state ------------------------------------------------------------
    // BeforeOpen, InternalOpen, buffers filled, dsBrowse, AfterOpen, AfterScroll (when not
    // empty). A failed open leaves the dataset closed and passes the error on.
    void Open() { SetActive(true); }
    // BeforeClose, dsInactive, buffers freed, InternalClose, AfterClose. Pending edits are
    // dropped (call Post or Cancel first).
    void Close() { SetActive(false); }
    bool Active() const { return state_ != dsInactive && state_ != dsOpening; }
    void SetActive(bool value);
    TDataSetState State() const { return state_; }
    // "Cannot perform this operation on a closed dataset" when closed.
    virtual void CheckActive();
    // "Cannot perform this operation on an open dataset" when open (closes instead while
    // loading from a form file or at design time).
    void CheckInactive();
    // Active, then posts (when modified) or cancels a pending edit; posts a key edit.
    void CheckBrowseMode();
    TComponentState ComponentState() const { return componentState_; }
    bool IsLoading() const { return componentState_.Contains(csLoading); }
    bool IsDesigning() const { return componentState_.Contains(csDesigning); }
    // Enters and leaves the "loading from a form file" condition; Loaded applies an Active
    // value set meanwhile.
    void BeginLoading() { componentState_.Include(csLoading).Include(csReading); }
    virtual void Loaded();

    // --- navigation ------------------------------------------------------------------
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // Moves by `distance` records (negative: back); returns how many it moved (signed).
    int MoveBy(int distance);
    bool Bof() const { return bof_; }
    bool Eof() const { return eof_; }
    // No record in the buffers.
    bool IsEmpty() const { return activeRecord_ >= recordCount_; }
    // Reads the current record again and refills the buffers around it.
    void Refresh();
    // Refills the buffers around the cursor's record; rmExact raises "Record not found" when
    // that record is gone (else a neighbour is taken); rmCenter puts it in the middle.
    void Resync(TResyncMode mode);
    // Record number and count, as the descendant defines them (-1: not supported).
    virtual int GetRecNo() { return -1; }
    virtual void SetRecNo(int) {}
    int RecNo() { return GetRecNo(); }
    int RecordCount() { return GetRecordCount(); }
    // True when record numbers are positions (no order or filter reshuffles them).
    virtual bool IsSequenced() { return true; }

    // --- editing ---------------------------------------------------------------------
    void Append();
    void Insert();
    void Edit();
    // Virtual so a descendant can finish a key edit after the framework's post.
    virtual void Post();
    void Cancel();
    void Delete();
    // Inserts / appends a record with the values in field order (unassigned values are
    // skipped) and posts it through InternalAddRecord.
    void InsertRecord(const std::vector<TVariant>& values) { AddRecordWith(values, false); }
    void AppendRecord(const std::vector<TVariant>& values) { AddRecordWith(values, true); }
    // "Dataset not in edit or insert mode" outside the write states; else asks the
    // controls to write their pending values (deUpdateRecord).
    void UpdateRecord();
    bool Modified() const { return modified_; }
    bool CanModify() { return GetCanModify(); }

    // --- controls --------------------------------------------------------------------
    // Nested: notifications stop until as many EnableControls; then one deDataSetChange
    // (or deLayoutChange) and, when the state changed, deUpdateState is sent.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return disableCount_ != 0; }
    // Sends a notification to every data source (and so to every link). deFieldChange also
    // marks the record modified, recomputes calculated fields and runs the field's OnChange;
    // dePropertyChange marks the field definitions out of date. `info` is a TField* for
    // deFieldChange/deRecordChange, a scroll distance for deDataSetScroll, a TField** for
    // deFocusControl.
    virtual void DataEvent(TDataEvent event, intptr_t info);
    // The master source (none in the base).
    virtual TDataSource* GetDataSource() { return nullptr; }
    TDataSource* DataSource() { return GetDataSource(); }
    // True when `source` shows this dataset or one of its masters' chain leads to it.
    bool IsLinkedTo(TDataSource* source);

    // --- bookmarks -------------------------------------------------------------------
    // The active record's bookmark; empty when there is no real record there.
    TBookmark Bookmark();
    // Goes to the bookmarked record (BeforeScroll, Resync exact and centred, AfterScroll);
    // nothing for an empty bookmark.
    void GotoBookmark(const TBookmark& bookmark);
    void SetBookmark(const TBookmark& bookmark) { GotoBookmark(bookmark); }
    bool BookmarkAvailable();
    int BookmarkSize() const { return bookmarkSize_; }
    virtual bool BookmarkValid(const TBookmark&) { return false; }
    // Negative, 0 or positive in record order.
    virtual int CompareBookmarks(const TBookmark&, const TBookmark&) { return 0; }

    // --- fields ----------------------------------------------------------------------
    TFieldDefs& FieldDefs() { return fieldDefs_; }
    // Fills the field definitions (InternalInitFieldDefs) unless they are up to date.
    void InitFieldDefs();
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    // "Field index out of range" outside 0..FieldCount()-1.
    TField& Fields(int index) const;
    TField* FindField(std::string_view name) const;
    // "Field '%s' not found" when there is none.
    TField& FieldByName(std::string_view name) const;
    // The data field with that number, or null.
    TField* FieldByNumber(int fieldNo) const;
    // The fields of a ";"-separated name list, in its order.
    void GetFieldList(std::vector<TField*>& list, std::string_view fieldNames) const;
    // One field's value, or an array of the values of a ";"-separated list.
    TVariant FieldValues(std::string_view fieldNames);
    void SetFieldValues(std::string_view fieldNames, const TVariant& values);
    // A persistent field made before opening; the dataset owns it. Raises "Duplicate field
    // name '%s'" and, while open, "Cannot perform this operation on an open dataset".
    template <class F, class... Args>
    F& CreateField(std::string name, TFieldKind kind = fkData, Args&&... args) {
        auto field = std::make_unique<F>(std::forward<Args>(args)...);
        F& ref = *field;
        AddField(std::move(field), std::move(name), kind);
        return ref;
    }
    // True when the fields were made from the definitions at open (none were persistent).
    bool DefaultFields() const { return defaultFields_; }
    bool AutoCalcFields() const { return autoCalcFields_; }
    void SetAutoCalcFields(bool v) { autoCalcFields_ = v; }

    // Field data in the native format of the field's type (see TFieldType), from the buffer
    // that serves the current state; false when the field has no value. A descendant reads
    // calculated and lookup fields from the calculated-field area at the field's Offset and,
    // in dsCalcFields, reads every field from CalcBuffer().
    virtual bool GetFieldData(TField* field, void* buffer) = 0;
    // Stores a native value (null: no value) and sends deFieldChange.
    virtual void SetFieldData(TField* field, const void* buffer) = 0;
    // A stream over a blob or memo field of the current record; the caller owns it. The
    // base, having no blob storage, returns null.
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);
    // Converts the zero-terminated text `src` to the storage code page (toOem) or back,
    // into `dest` (may equal src); returns its length. The base copies unchanged.
    virtual int Translate(const char* src, char* dest, bool toOem);
    // Copies the cursor's current record image into `buffer`; false when there is none.
    virtual bool GetCurrentRecord(TRecordBuffer) { return false; }

    // --- searching -------------------------------------------------------------------
    // Goes to the first record whose key fields hold the key values (one value, or an array
    // for a ";" list); true when found. loCaseInsensitive and loPartialKey (prefix) apply
    // to text. Not found: the dataset stays where it was. The base scans every record.
    virtual bool Locate(const std::string& keyFields, const TVariant& keyValues,
                        TLocateOptions options);
    // The value of the result fields in the first record matching the key (case-sensitive,
    // whole values), Null when there is none; the dataset does not move.
    virtual TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                            const std::string& resultFields);

    // --- filter ----------------------------------------------------------------------
    const std::string& Filter() const { return filterText_; }
    void SetFilter(const std::string& text) { SetFilterText(text); }
    bool Filtered() const { return filtered_; }
    virtual void SetFiltered(bool value) { filtered_ = value; }
    TFilterOptions FilterOptions() const { return filterOptions_; }
    virtual void SetFilterOptions(TFilterOptions value) { filterOptions_ = value; }

    // --- events ----------------------------------------------------------------------
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
    TDataSetNotifyEvent OnCalcFields, OnNewRecord;
    TFilterRecordEvent OnFilterRecord;
    TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;

protected:
    // --- what a descendant provides ----------------------------------------------------
    // A zero-filled record buffer of the descendant's layout.
    virtual std::vector<uint8_t> AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(std::vector<uint8_t>& buffer) { buffer.clear(); }
    // Reads the current, next or prior record of the cursor into `buffer` (setting its
    // bookmark and flag bfCurrent and computing calculated fields); grBOF / grEOF when there
    // is none, grError on failure (raising instead when doCheck).
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
    // Bytes of a record image (without calculated fields and bookkeeping).
    virtual int GetRecordSize() = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalClose() = 0;
    virtual bool IsCursorOpen() const = 0;
    // Fills FieldDefs() for the current table.
    virtual void InternalInitFieldDefs() = 0;
    // Positions the cursor before the first / after the last record.
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    // Positions the cursor on the record of the buffer / the bookmark.
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual void InternalGotoBookmark(const uint8_t* bookmark) = 0;
    virtual void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) = 0;
    virtual void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
    // Blanks a new record image.
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    // Stores `buffer` as a new record (InsertRecord/AppendRecord).
    virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
    // Deletes the cursor's record.
    virtual void InternalDelete() = 0;
    // Writes the active buffer (edit) or adds it (insert). The base checks required fields:
    // "Field '%s' must have a value".
    virtual void InternalPost();
    virtual void InternalEdit() {}
    virtual void InternalCancel() {}
    virtual void InternalInsert() {}
    virtual void InternalRefresh() {}
    // Reports an error the dataset could not raise (opening a dataset at design time).
    virtual void InternalHandleException() {}
    virtual int GetRecordCount() { return -1; }
    virtual bool GetCanModify() { return true; }
    // Zero-fills the calculated-field area of a buffer.
    virtual void ClearCalcFields(TRecordBuffer) {}
    // Drops per-record field caches (after post, cancel, delete).
    virtual void FreeFieldBuffers() {}
    virtual void SetFilterText(const std::string& value) { filterText_ = value; }

    // --- event hooks (override to add behaviour around the event) ----------------------
    virtual void DoBeforeOpen() { Fire(BeforeOpen); }
    virtual void DoAfterOpen() { Fire(AfterOpen); }
    virtual void DoBeforeClose() { Fire(BeforeClose); }
    virtual void DoAfterClose() { Fire(AfterClose); }
    virtual void DoBeforeInsert() { Fire(BeforeInsert); }
    virtual void DoAfterInsert() { Fire(AfterInsert); }
    virtual void DoBeforeEdit() { Fire(BeforeEdit); }
    virtual void DoAfterEdit() { Fire(AfterEdit); }
    virtual void DoBeforePost() { Fire(BeforePost); }
    virtual void DoAfterPost() { Fire(AfterPost); }
    virtual void DoBeforeCancel() { Fire(BeforeCancel); }
    virtual void DoAfterCancel() { Fire(AfterCancel); }
    virtual void DoBeforeDelete() { Fire(BeforeDelete); }
    virtual void DoAfterDelete() { Fire(AfterDelete); }
    virtual void DoBeforeScroll() { Fire(BeforeScroll); }
    virtual void DoAfterScroll() { Fire(AfterScroll); }
    virtual void DoBeforeRefresh() { Fire(BeforeRefresh); }
    virtual void DoAfterRefresh() { Fire(AfterRefresh); }
    virtual void DoOnCalcFields() { Fire(OnCalcFields); }
    virtual void DoOnNewRecord() { Fire(OnNewRecord); }

    // --- the buffer ring, for descendants ----------------------------------------------
    int ActiveRecord() const { return activeRecord_; }
    int BufferCount() const { return bufferCount_; }
    // Records held in the ring.
    int BufferedCount() const { return recordCount_; }
    int CurrentRecord() const { return currentRecord_; }
    TRecordBuffer Buffer(int index) { return buffers_[static_cast<size_t>(index)].data(); }
    TRecordBuffer ActiveBuffer();
    // The spare buffer after the last record held.
    TRecordBuffer TempBuffer();
    // The buffer calculated fields are being computed for (valid in dsCalcFields).
    TRecordBuffer CalcBuffer() const { return calcBuffer_; }
    // Bytes of the calculated-field area: per calculated or lookup field one has-value
    // byte and the field's data.
    int CalcFieldsSize() const { return calcFieldsSize_; }
    void SetBookmarkSize(int size) { bookmarkSize_ = size; }

    void SetState(TDataSetState value);
    // Enters a temporary state without notifying anyone; returns the state to restore.
    TDataSetState SetTempState(TDataSetState value);
    void RestoreState(TDataSetState value);
    void SetModified(bool value) { modified_ = value; }
    // Puts the cursor on the active record when it is elsewhere.
    void UpdateCursorPos();
    // The cursor moved on its own: CurrentRecord() becomes unknown.
    void CursorPosChanged() { currentRecord_ = -1; }
    // Computes the calculated (and lookup) fields of `buffer` in state dsCalcFields.
    void GetCalcFields(TRecordBuffer buffer);
    virtual void CalculateFields(TRecordBuffer buffer);
    // Blanks a new record: InternalInitRecord, ClearCalcFields, flag bfInserted.
    virtual void InitRecord(TRecordBuffer buffer);
    // Runs `operation` until it succeeds; an EDatabaseError goes to `onError`, whose action
    // decides: daFail raises it again, daAbort raises EAbort, daRetry runs it again.
    void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& onError);
    // "Cannot modify a read-only dataset".
    void CheckCanModify();
    // Field lifecycle for InternalOpen / InternalClose.
    void CreateFields();
    void DestroyFields();
    // Binding gives data fields their numbers from the definitions (raising "Field '%s' not
    // found" or a type mismatch) and lays out the calculated-field area.
    void BindFields(bool binding);
    // Asks the ring for the size the links need (after links came or went).
    void UpdateBufferCount();
    void Destroying() { componentState_.Include(csDestroying); }
    void Fire(const TDataSetNotifyEvent& event) {
        if (event) event(*this);
    }

private:
    friend class TDataSource;
    friend class TDataLink;

    void AddField(std::unique_ptr<TField> field, std::string name, TFieldKind kind);
    void AddDataSource(TDataSource* source);
    void RemoveDataSource(TDataSource* source);
    void DoInternalOpen();
    void CloseCursor();
    void SetBufferCount(int value);
    void FreeBuffers();
    void MoveBuffer(int curIndex, int newIndex);
    void ClearBuffers();
    void ActivateBuffers();
    void SetCurrentRecord(int index);
    bool ReadRecord(TRecordBuffer buffer, TGetMode mode);
    bool GetNextRecord();
    bool GetPriorRecord();
    int GetNextRecords();
    int GetPriorRecords();
    void BeginInsertAppend();
    void EndInsertAppend();
    void AddRecordWith(const std::vector<TVariant>& values, bool append);
    void UpdateCalcFields();
    void CalcLookupValue(TField& field);
    bool RecordMatches(const std::vector<TField*>& fields, const TVariant& values,
                       TLocateOptions options);
    // Scans from the first record for a match, leaving it in the temporary buffer.
    bool ScanForRecord(const std::vector<TField*>& fields, const TVariant& values,
                       TLocateOptions options);
    void AdjustLinks(int shift);

    TDataSetState state_ = dsInactive;
    TComponentState componentState_;
    bool streamedActive_ = false;
    bool internalOpenComplete_ = false;
    bool defaultFields_ = false;
    bool internalCalcFields_ = false;
    bool modified_ = false;
    bool bof_ = true;
    bool eof_ = true;
    bool autoCalcFields_ = true;
    bool filtered_ = false;
    std::string filterText_;
    TFilterOptions filterOptions_;
    int disableCount_ = 0;
    int tempStateDepth_ = 0;
    TDataSetState disableState_ = dsInactive;
    TDataEvent enableEvent_ = deDataSetChange;

    std::vector<std::vector<uint8_t>> buffers_;
    int bufferCount_ = 0;
    int recordCount_ = 0;
    int activeRecord_ = 0;
    int currentRecord_ = -1;
    TRecordBuffer calcBuffer_ = nullptr;
    int calcFieldsSize_ = 0;
    int bookmarkSize_ = 0;

    TFieldDefs fieldDefs_;
    std::vector<std::unique_ptr<TField>> fields_;
    std::vector<TDataSource*> dataSources_;
};
