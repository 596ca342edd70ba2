// A small in-memory record set for the framework's tests: rows of fixed-layout record
// images, bookmarks by row id, OnFilterRecord applied while the cursor walks, memo text kept
// beside the rows and written when the record is posted, and a log of the operations the
// framework calls, so tests can check call order.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db_dataset.h"
#include "nv6_lcal.h"

struct TMemColumn {
    std::string name;
    TFieldType type;
    int size = 0;
};

class TMemDataSet : public TDataSet {
public:
    explicit TMemDataSet(std::vector<TMemColumn> columns) : columns_(std::move(columns)) {
        int off = 0;
        for (const auto& c : columns_) {
            offsets_.push_back(off);
            off += 1 + NativeSize(c);
        }
        recordSize_ = off;
    }
    ~TMemDataSet() override {
        Destroying();
        Close();
    }

    // --- test controls ---------------------------------------------------------------
    std::vector<std::string> log;
    std::set<int> lockedIds;    // InternalEdit refuses these rows
    int failPostCount = 0;       // InternalPost raises this many times
    bool failPostEngine = false; // InternalPost raises an engine error
    int failReadId = -1;         // GetRecord fails on this row
    bool failOpen = false;
    bool translateOem = false;   // Translate converts between code pages 1252 and 437

    // Adds a row with values in column order (unassigned: null) while closed or open.
    void AddRow(const std::vector<TVariant>& values) {
        Row r;
        r.id = nextId_++;
        r.image.assign(static_cast<size_t>(recordSize_), 0);
        for (size_t i = 0; i < values.size() && i < columns_.size(); ++i) PutRaw(r, i, values[i]);
        rows_.push_back(std::move(r));
    }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    std::string StoredBlob(int row, int col) {
        auto it = rows_[static_cast<size_t>(row)].blobs.find(col);
        return it == rows_[static_cast<size_t>(row)].blobs.end() ? "" : it->second;
    }
    // The raw stored bytes of a string column (what "disk" holds).
    std::string StoredText(int row, int col) {
        const uint8_t* p = rows_[static_cast<size_t>(row)].image.data() + offsets_[static_cast<size_t>(col)];
        return std::string(reinterpret_cast<const char*>(p + 1));
    }
    int32_t StoredInt32(int row, int col) {
        int32_t v;
        std::memcpy(&v, rows_[static_cast<size_t>(row)].image.data() + offsets_[static_cast<size_t>(col)] + 1, 4);
        return v;
    }
    double StoredDouble(int row, int col) {
        double v;
        std::memcpy(&v, rows_[static_cast<size_t>(row)].image.data() + offsets_[static_cast<size_t>(col)] + 1, 8);
        return v;
    }

    // Exposed for tests of the ring.
    using TDataSet::ActiveRecord;
    using TDataSet::BufferCount;
    using TDataSet::BufferedCount;
    using TDataSet::CalcFieldsSize;

    bool GetFieldData(TField* field, void* buffer) override {
        TRecordBuffer buf = ActiveRecBuf();
        if (!buf) return false;
        if (field->FieldNo() <= 0) {
            if (State() == dsFilter) return false;
            const uint8_t* p = buf + recordSize_ + field->Offset();
            if (p[0] == 0) return false;
            if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
            return true;
        }
        size_t col = static_cast<size_t>(field->FieldNo() - 1);
        const uint8_t* p = buf + offsets_[col];
        if (p[0] == 0) return false;
        if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(NativeSize(columns_[col])));
        return true;
    }

    void SetFieldData(TField* field, const void* buffer) override {
        if (!IsWriteMode(State())) DatabaseError(dbmsg::SNotEditing);
        TRecordBuffer buf = ActiveRecBuf();
        if (!buf) return;
        if (field->FieldNo() <= 0) {
            uint8_t* p = buf + recordSize_ + field->Offset();
            p[0] = buffer ? 1 : 0;
            size_t n = static_cast<size_t>(field->DataSize());
            if (buffer) std::memcpy(p + 1, buffer, n); else std::memset(p + 1, 0, n);
        } else {
            if (State() == dsCalcFields) DatabaseError(dbmsg::SNotEditing);
            if (field->ReadOnly()) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {field->DisplayName()});
            field->Validate(buffer);
            size_t col = static_cast<size_t>(field->FieldNo() - 1);
            uint8_t* p = buf + offsets_[col];
            size_t n = static_cast<size_t>(NativeSize(columns_[col]));
            p[0] = buffer ? 1 : 0;
            if (buffer) std::memcpy(p + 1, buffer, n); else std::memset(p + 1, 0, n);
        }
        if (State() < dsSetKey || State() > dsNewValue)
            DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
    }

    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;

    int Translate(const char* src, char* dest, bool toOem) override {
        log.push_back(toOem ? "Translate(toOem)" : "Translate(toAnsi)");
        int n = TDataSet::Translate(src, dest, toOem);
        if (translateOem && dest) {
            auto* d = reinterpret_cast<uint8_t*>(dest);
            if (toOem) nvlocale::AnsiToOem(d, d, static_cast<size_t>(n));
            else nvlocale::OemToAnsi(d, d, static_cast<size_t>(n));
        }
        return n;
    }

    int GetRecordCount() override {
        CheckActive();
        int n = 0;
        for (size_t i = 0; i < rows_.size(); ++i) n += Accepted(i) ? 1 : 0;
        return n;
    }

    int GetRecNo() override {
        TRecordBuffer buf = State() == dsCalcFields ? CalcBuffer() : (IsEmpty() ? nullptr : ActiveBuffer());
        if (!buf || GetBookmarkFlag(buf) != bfCurrent) return 0;
        int id = IdOf(buf);
        int n = 0;
        for (size_t i = 0; i < rows_.size(); ++i) {
            if (!Accepted(i)) continue;
            ++n;
            if (rows_[i].id == id) return n;
        }
        return 0;
    }

    void SetRecNo(int n) override {
        CheckBrowseMode();
        int k = 0;
        for (size_t i = 0; i < rows_.size(); ++i) {
            if (!Accepted(i) || ++k != n) continue;
            DoBeforeScroll();
            cur_ = static_cast<int>(i);
            Resync({rmCenter});
            DoAfterScroll();
            return;
        }
    }

    bool BookmarkValid(const TBookmark& b) override {
        if (b.size() != 4) return false;
        int32_t id;
        std::memcpy(&id, b.data(), 4);
        return IndexOfId(id) >= 0;
    }
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) override {
        if (a.empty() || b.empty()) return a.empty() && b.empty() ? 0 : a.empty() ? -1 : 1;
        int32_t x, y;
        std::memcpy(&x, a.data(), 4);
        std::memcpy(&y, b.data(), 4);
        int ix = IndexOfId(x), iy = IndexOfId(y);
        return ix < iy ? -1 : ix > iy ? 1 : 0;
    }

    // The field reads of OnFilterRecord come from this row.
    TRecordBuffer ActiveRecBuf() {
        switch (State()) {
            case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
            case dsEdit:
            case dsInsert: return ActiveBuffer();
            case dsCalcFields: return CalcBuffer();
            case dsFilter: return rows_[filterRow_].image.data();
            default: return nullptr;
        }
    }

    std::map<int, std::string> pendingBlobs;  // column -> edited memo text, until post

protected:
    std::vector<uint8_t> AllocRecordBuffer() override {
        return std::vector<uint8_t>(static_cast<size_t>(recordSize_ + CalcFieldsSize() + 5), 0);
    }

    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override {
        log.push_back(mode == gmCurrent ? "GetRecord(current)" : mode == gmNext ? "GetRecord(next)" : "GetRecord(prior)");
        int n = static_cast<int>(rows_.size());
        switch (mode) {
            case gmCurrent:
                if (cur_ < 0) return grBOF;
                if (cur_ >= n) return grEOF;
                if (!Accepted(static_cast<size_t>(cur_))) return grError;
                break;
            case gmNext:
                do { ++cur_; } while (cur_ < n && !Accepted(static_cast<size_t>(cur_)));
                if (cur_ >= n) { cur_ = n; return grEOF; }
                break;
            case gmPrior:
                do { --cur_; } while (cur_ >= 0 && !Accepted(static_cast<size_t>(cur_)));
                if (cur_ < 0) { cur_ = -1; return grBOF; }
                break;
        }
        const Row& r = rows_[static_cast<size_t>(cur_)];
        if (r.id == failReadId) {
            if (doCheck) DatabaseError("Record request beyond range of table");
            return grError;
        }
        std::memcpy(buffer, r.image.data(), static_cast<size_t>(recordSize_));
        std::memcpy(buffer + InfoOffset(), &r.id, 4);
        SetBookmarkFlag(buffer, bfCurrent);
        GetCalcFields(buffer);
        return grOK;
    }

    int GetRecordSize() override { return recordSize_; }

    void InternalOpen() override {
        log.push_back("InternalOpen");
        if (failOpen) DatabaseError("cannot open");
        InternalInitFieldDefs();
        FieldDefs().SetUpdated(true);
        if (DefaultFields()) CreateFields();
        BindFields(true);
        SetBookmarkSize(4);
        open_ = true;
        InternalFirst();
    }
    void InternalClose() override {
        log.push_back("InternalClose");
        BindFields(false);
        if (DefaultFields()) DestroyFields();
        open_ = false;
    }
    bool IsCursorOpen() const override { return open_; }
    void InternalInitFieldDefs() override {
        FieldDefs().Clear();
        for (const auto& c : columns_) FieldDefs().Add(c.name, c.type, c.size);
    }
    void InternalFirst() override { cur_ = -1; }
    void InternalLast() override { cur_ = static_cast<int>(rows_.size()); }
    void InternalSetToRecord(TRecordBuffer buffer) override { InternalGotoBookmark(buffer + InfoOffset()); }
    void InternalGotoBookmark(const uint8_t* bookmark) override {
        int32_t id;
        std::memcpy(&id, bookmark, 4);
        int i = IndexOfId(id);
        if (i < 0) DatabaseError("Bookmark is invalid");
        cur_ = i;
    }
    void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) override { std::memcpy(data, buffer + InfoOffset(), 4); }
    void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) override { std::memcpy(buffer + InfoOffset(), data, 4); }
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override { return static_cast<TBookmarkFlag>(buffer[InfoOffset() + 4]); }
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override { buffer[InfoOffset() + 4] = static_cast<uint8_t>(flag); }
    void InternalInitRecord(TRecordBuffer buffer) override {
        log.push_back("InternalInitRecord");
        std::memset(buffer, 0, static_cast<size_t>(recordSize_));
    }
    void ClearCalcFields(TRecordBuffer buffer) override {
        std::memset(buffer + recordSize_, 0, static_cast<size_t>(CalcFieldsSize()));
    }
    void InternalAddRecord(TRecordBuffer buffer, bool append) override {
        log.push_back(append ? "InternalAddRecord(append)" : "InternalAddRecord(insert)");
        StoreNew(buffer, append ? static_cast<int>(rows_.size()) : std::clamp(cur_, 0, static_cast<int>(rows_.size())));
    }
    void InternalPost() override {
        log.push_back("InternalPost");
        if (failPostEngine) throw ENorvaneError("disk full");
        if (failPostCount > 0) {
            --failPostCount;
            DatabaseError("post failed");
        }
        TDataSet::InternalPost();
        TRecordBuffer buf = ActiveBuffer();
        if (State() == dsEdit) {
            Row& r = rows_[static_cast<size_t>(cur_)];
            std::memcpy(r.image.data(), buf, static_cast<size_t>(recordSize_));
            for (auto& [col, text] : pendingBlobs) r.blobs[col] = text;
        } else {
            int at = GetBookmarkFlag(buf) == bfEOF ? static_cast<int>(rows_.size())
                                                   : std::clamp(cur_, 0, static_cast<int>(rows_.size()));
            StoreNew(buf, at);
        }
        pendingBlobs.clear();
    }
    void InternalEdit() override {
        log.push_back("InternalEdit");
        if (lockedIds.count(rows_[static_cast<size_t>(cur_)].id)) DatabaseError("Record is locked by another user");
    }
    void InternalCancel() override { log.push_back("InternalCancel"); }
    void InternalDelete() override {
        log.push_back("InternalDelete");
        rows_.erase(rows_.begin() + cur_);
    }
    void InternalInsert() override { log.push_back("InternalInsert"); }
    void FreeFieldBuffers() override { pendingBlobs.clear(); }

    void DoBeforeOpen() override { log.push_back("BeforeOpen"); TDataSet::DoBeforeOpen(); }
    void DoAfterOpen() override { log.push_back("AfterOpen"); TDataSet::DoAfterOpen(); }
    void DoBeforeClose() override { log.push_back("BeforeClose"); TDataSet::DoBeforeClose(); }
    void DoAfterClose() override { log.push_back("AfterClose"); TDataSet::DoAfterClose(); }
    void DoBeforeInsert() override { log.push_back("BeforeInsert"); TDataSet::DoBeforeInsert(); }
    void DoAfterInsert() override { log.push_back("AfterInsert"); TDataSet::DoAfterInsert(); }
    void DoBeforeEdit() override { log.push_back("BeforeEdit"); TDataSet::DoBeforeEdit(); }
    void DoAfterEdit() override { log.push_back("AfterEdit"); TDataSet::DoAfterEdit(); }
    void DoBeforePost() override { log.push_back("BeforePost"); TDataSet::DoBeforePost(); }
    void DoAfterPost() override { log.push_back("AfterPost"); TDataSet::DoAfterPost(); }
    void DoBeforeCancel() override { log.push_back("BeforeCancel"); TDataSet::DoBeforeCancel(); }
    void DoAfterCancel() override { log.push_back("AfterCancel"); TDataSet::DoAfterCancel(); }
    void DoBeforeDelete() override { log.push_back("BeforeDelete"); TDataSet::DoBeforeDelete(); }
    void DoAfterDelete() override { log.push_back("AfterDelete"); TDataSet::DoAfterDelete(); }
    void DoBeforeScroll() override { log.push_back("BeforeScroll"); TDataSet::DoBeforeScroll(); }
    void DoAfterScroll() override { log.push_back("AfterScroll"); TDataSet::DoAfterScroll(); }
    void DoOnNewRecord() override { log.push_back("OnNewRecord"); TDataSet::DoOnNewRecord(); }

private:
    friend class TMemBlobStream;
    struct Row {
        int id = 0;
        std::vector<uint8_t> image;
        std::map<int, std::string> blobs;
    };

    static int NativeSize(const TMemColumn& c) {
        switch (c.type) {
            case ftString: return c.size + 1;
            case ftSmallint: return 2;
            case ftInteger: case ftDate: return 4;
            case ftLargeint: case ftFloat: case ftCurrency: case ftDateTime: return 8;
            case ftBoolean: return 1;
            default: return 0;  // memo: only the has-value byte
        }
    }
    int InfoOffset() const { return recordSize_ + const_cast<TMemDataSet*>(this)->CalcFieldsSize(); }
    int IdOf(TRecordBuffer buf) const { int32_t id; std::memcpy(&id, buf + InfoOffset(), 4); return id; }
    int IndexOfId(int id) const {
        for (size_t i = 0; i < rows_.size(); ++i)
            if (rows_[i].id == id) return static_cast<int>(i);
        return -1;
    }

    bool Accepted(size_t row) {
        if (!Filtered() || !OnFilterRecord) return true;
        size_t saveRow = filterRow_;
        filterRow_ = row;
        TDataSetState save = SetTempState(dsFilter);
        bool accept = true;
        try {
            OnFilterRecord(*this, accept);
        } catch (...) {
            RestoreState(save);
            filterRow_ = saveRow;
            throw;
        }
        RestoreState(save);
        filterRow_ = saveRow;
        return accept;
    }

    void StoreNew(TRecordBuffer buf, int at) {
        Row r;
        r.id = nextId_++;
        r.image.assign(buf, buf + recordSize_);
        r.blobs = pendingBlobs;
        rows_.insert(rows_.begin() + at, std::move(r));
        cur_ = at;
    }

    void PutRaw(Row& r, size_t col, const TVariant& v) {
        if (v.IsClear()) return;
        uint8_t* p = r.image.data() + offsets_[col];
        p[0] = 1;
        switch (columns_[col].type) {
            case ftString: {
                std::string s = v.AsString().substr(0, static_cast<size_t>(columns_[col].size));
                std::memcpy(p + 1, s.data(), s.size());
                break;
            }
            case ftSmallint: { int16_t x = static_cast<int16_t>(v.AsInteger()); std::memcpy(p + 1, &x, 2); break; }
            case ftInteger: { int32_t x = static_cast<int32_t>(v.AsInteger()); std::memcpy(p + 1, &x, 4); break; }
            case ftLargeint: { int64_t x = v.AsInteger(); std::memcpy(p + 1, &x, 8); break; }
            case ftFloat: case ftCurrency: { double x = v.AsFloat(); std::memcpy(p + 1, &x, 8); break; }
            case ftBoolean: p[1] = v.AsBoolean() ? 1 : 0; break;
            case ftMemo: r.blobs[static_cast<int>(col)] = v.AsString(); break;
            default: p[0] = 0; break;
        }
    }

    std::vector<TMemColumn> columns_;
    std::vector<int> offsets_;
    int recordSize_ = 0;
    std::vector<Row> rows_;
    int nextId_ = 1;
    int cur_ = -1;
    bool open_ = false;
    size_t filterRow_ = 0;
};

// Memo stream: reads the posted text (or the text edited so far), keeps what is written
// beside the record until it is posted.
class TMemBlobStream : public TMemoryStream {
public:
    TMemBlobStream(TMemDataSet& ds, TField& field, TBlobStreamMode mode) : ds_(ds), field_(field), mode_(mode) {
        int col = field.FieldNo() - 1;
        if (mode != bmRead) {
            if (field.ReadOnly()) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {field.DisplayName()});
            if (ds.State() != dsEdit && ds.State() != dsInsert) DatabaseError(dbmsg::SNotEditing);
        }
        if (mode == bmWrite) {
            modified_ = true;
            return;
        }
        auto it = ds.pendingBlobs.find(col);
        std::string text;
        if (it != ds.pendingBlobs.end()) {
            text = it->second;
        } else if (TRecordBuffer buf = ds.ActiveRecBuf(); buf && ds.State() != dsInsert) {
            int i = ds.IndexOfId(ds.IdOf(buf));
            if (i >= 0) text = ds.StoredBlob(i, col);
        }
        Write(text.data(), static_cast<int64_t>(text.size()));
        SetPosition(0);
    }
    int64_t Write(const void* buffer, int64_t count) override {
        if (mode_ != bmRead) modified_ = true;
        return TMemoryStream::Write(buffer, count);
    }
    ~TMemBlobStream() override {
        if (!modified_ || (ds_.State() != dsEdit && ds_.State() != dsInsert)) return;
        int col = field_.FieldNo() - 1;
        ds_.pendingBlobs[col] = AsString();
        TRecordBuffer buf = ds_.ActiveBuffer();
        buf[ds_.offsets_[static_cast<size_t>(col)]] = Size() > 0 ? 1 : 0;
        ds_.DataEvent(deFieldChange, reinterpret_cast<intptr_t>(&field_));
    }

private:
    TMemDataSet& ds_;
    TField& field_;
    TBlobStreamMode mode_;
    bool modified_ = false;
};

inline std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
    return std::make_unique<TMemBlobStream>(*this, *field, mode);
}

// A grid's link: counts every notification and can read the rows it would draw.
class TGridLink : public TDataLink {
public:
    int activeChanged = 0, dataSetChanged = 0, scrolled = 0, recordChanged = 0,
        editingChanged = 0, updateData = 0, checkBrowse = 0, layoutChanged = 0;
    std::vector<int> distances;
    std::vector<TField*> changedFields;
    std::function<void()> onUpdateData;

    void Reset() {
        activeChanged = dataSetChanged = scrolled = recordChanged = editingChanged = updateData =
            checkBrowse = layoutChanged = 0;
        distances.clear();
        changedFields.clear();
    }
    // The value of `field` on every row of the window, as a grid paints them.
    std::vector<std::string> Rows(const std::string& field) {
        std::vector<std::string> out;
        int old = ActiveRecord();
        for (int i = 0; i < RecordCount(); ++i) {
            SetActiveRecord(i);
            out.push_back(DataSet()->FieldByName(field).AsString());
        }
        SetActiveRecord(old);
        return out;
    }

protected:
    void ActiveChanged() override { ++activeChanged; }
    void DataSetChanged() override { ++dataSetChanged; }
    void DataSetScrolled(int d) override { ++scrolled; distances.push_back(d); }
    void RecordChanged(TField* f) override { ++recordChanged; changedFields.push_back(f); }
    void EditingChanged() override { ++editingChanged; }
    void UpdateData() override { ++updateData; if (onUpdateData) onUpdateData(); }
    void CheckBrowseMode() override { ++checkBrowse; }
    void LayoutChanged() override { ++layoutChanged; }
};

// The columns most tests use: an id, a name, an amount and a flag.
inline std::vector<TMemColumn> PeopleColumns() {
    return {{"ID", ftInteger, 0}, {"NAME", ftString, 10}, {"AMOUNT", ftFloat, 0}, {"ACTIVE", ftBoolean, 0}};
}

inline void FillPeople(TMemDataSet& ds, int n) {
    for (int i = 1; i <= n; ++i)
        ds.AddRow({i, "N" + std::to_string(i), i * 1.5, i % 2 == 0});
}
