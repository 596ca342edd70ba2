#include "db_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "db_conv.h"
#include "db_links.h"

namespace {

// Items of a ";"-separated list, each trimmed; empty items are dropped. The last item is
// read whatever its length.
std::vector<std::string> SplitNames(std::string_view names) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= names.size()) {
        size_t semi = names.find(';', start);
        size_t end = semi == std::string_view::npos ? names.size() : semi;
        std::string item = Trim(names.substr(start, end - start));
        if (!item.empty()) out.push_back(std::move(item));
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    return out;
}

}  // namespace

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
    // Only plain bookkeeping here: the descendant has already closed the cursor.
    for (TDataSource* source : dataSources_) {
        source->dataSet_ = nullptr;
        source->UpdateState();
    }
    dataSources_.clear();
}

// ------------------------------------------------------------------ opening, closing

void TDataSet::SetActive(bool value) {
    if (IsLoading()) {
        streamedActive_ = value;
        return;
    }
    if (Active() == value) return;
    if (value) {
        DoBeforeOpen();
        try {
            DoInternalOpen();
        } catch (...) {
            state_ = dsInactive;
            CloseCursor();
            throw;
        }
        SetState(dsBrowse);
        DoAfterOpen();
        if (!IsEmpty()) DoAfterScroll();
    } else {
        bool events = !componentState_.Contains(csDestroying);
        if (events) DoBeforeClose();
        SetState(dsInactive);
        CloseCursor();
        if (events) DoAfterClose();
    }
}

void TDataSet::DoInternalOpen() {
    defaultFields_ = fields_.empty();
    InternalOpen();
    internalOpenComplete_ = true;
    UpdateBufferCount();
    bof_ = true;
}

void TDataSet::CloseCursor() {
    FreeBuffers();
    if (internalOpenComplete_ || IsCursorOpen()) InternalClose();
    internalOpenComplete_ = false;
    calcBuffer_ = nullptr;
    modified_ = false;
}

void TDataSet::Loaded() {
    componentState_.Exclude(csLoading).Exclude(csReading);
    if (!streamedActive_) return;
    try {
        SetActive(true);
    } catch (...) {
        // At design time the error is shown and the form still loads.
        if (IsDesigning())
            InternalHandleException();
        else
            throw;
    }
}

void TDataSet::CheckActive() {
    if (!Active()) DatabaseError(dbmsg::SDataSetClosed);
}

void TDataSet::CheckInactive() {
    if (!Active()) return;
    if (IsLoading() || IsDesigning())
        Close();
    else
        DatabaseError(dbmsg::SDataSetOpen);
}

void TDataSet::CheckCanModify() {
    if (!CanModify()) DatabaseError(dbmsg::SDataSetReadOnly);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode, 0);
    switch (state_) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (modified_)
                Post();
            else
                Cancel();
            break;
        case dsSetKey: Post(); break;
        default: break;
    }
}

// ------------------------------------------------------------------------- states

void TDataSet::SetState(TDataSetState value) {
    if (state_ == value) return;
    state_ = value;
    modified_ = false;
    DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
    TDataSetState old = state_;
    state_ = value;
    ++tempStateDepth_;
    return old;
}

void TDataSet::RestoreState(TDataSetState value) {
    state_ = value;
    if (tempStateDepth_ > 0) --tempStateDepth_;
}

// ---------------------------------------------------------------------- the ring

TRecordBuffer TDataSet::ActiveBuffer() {
    if (buffers_.empty()) return nullptr;
    return buffers_[static_cast<size_t>(activeRecord_)].data();
}

TRecordBuffer TDataSet::TempBuffer() {
    if (buffers_.empty()) return nullptr;
    return buffers_[static_cast<size_t>(recordCount_)].data();
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int wanted = 1;
    for (TDataSource* source : dataSources_)
        for (TDataLink* link : source->links_) wanted = std::max(wanted, link->BufferCount());
    SetBufferCount(wanted);
}

void TDataSet::SetBufferCount(int value) {
    if (value < 1) value = 1;
    if (value == bufferCount_) return;
    int shift = 0;
    if (value < bufferCount_) {
        // Keep the active record: drop records from the front until it fits.
        if (activeRecord_ >= value) {
            int d = activeRecord_ - value + 1;
            std::rotate(buffers_.begin(), buffers_.begin() + d, buffers_.end());
            recordCount_ -= d;
            activeRecord_ -= d;
            currentRecord_ = currentRecord_ >= d ? currentRecord_ - d : -1;
            shift = -d;
        }
        if (recordCount_ > value) {
            recordCount_ = value;
            if (currentRecord_ >= value) currentRecord_ = -1;
        }
        // The buffer after the last kept record must stay: it is the spare.
        while (static_cast<int>(buffers_.size()) > value + 1) {
            FreeRecordBuffer(buffers_.back());
            buffers_.pop_back();
        }
        bufferCount_ = value;
    } else {
        bool hadRecords = recordCount_ > 0;
        while (static_cast<int>(buffers_.size()) < value + 1) buffers_.push_back(AllocRecordBuffer());
        bufferCount_ = value;
        GetNextRecords();
        if (hadRecords && recordCount_ < bufferCount_) shift = GetPriorRecords();
    }
    AdjustLinks(shift);
}

void TDataSet::AdjustLinks(int shift) {
    for (TDataSource* source : dataSources_)
        for (TDataLink* link : source->links_)
            if (link->Active()) {
                link->firstRecord_ += shift;
                link->UpdateRange();
            }
}

void TDataSet::FreeBuffers() {
    for (auto& b : buffers_) FreeRecordBuffer(b);
    buffers_.clear();
    bufferCount_ = 0;
    recordCount_ = 0;
    activeRecord_ = 0;
    currentRecord_ = -1;
    bof_ = eof_ = true;
}

void TDataSet::MoveBuffer(int curIndex, int newIndex) {
    if (curIndex == newIndex) return;
    auto b = buffers_.begin();
    if (curIndex < newIndex)
        std::rotate(b + curIndex, b + curIndex + 1, b + newIndex + 1);
    else
        std::rotate(b + newIndex, b + curIndex, b + curIndex + 1);
}

void TDataSet::ClearBuffers() {
    recordCount_ = 0;
    activeRecord_ = 0;
    currentRecord_ = -1;
    bof_ = eof_ = true;
}

void TDataSet::ActivateBuffers() {
    recordCount_ = 1;
    activeRecord_ = 0;
    currentRecord_ = 0;
    bof_ = eof_ = false;
}

void TDataSet::SetCurrentRecord(int index) {
    if (currentRecord_ == index) return;
    TRecordBuffer buffer = Buffer(index);
    switch (GetBookmarkFlag(buffer)) {
        case bfCurrent:
        case bfInserted: InternalSetToRecord(buffer); break;
        case bfBOF: InternalFirst(); break;
        case bfEOF: InternalLast(); break;
    }
    currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
    if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

bool TDataSet::ReadRecord(TRecordBuffer buffer, TGetMode mode) {
    try {
        return GetRecord(buffer, mode, true) == grOK;
    } catch (...) {
        // Where a failed read left the cursor is unknown.
        CursorPosChanged();
        throw;
    }
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (recordCount_ > 0) {
        SetCurrentRecord(recordCount_ - 1);
        // The last buffer is a record being inserted: the cursor stands on the record it
        // displaced, which is the next one to show.
        if (state_ == dsInsert && currentRecord_ == activeRecord_ &&
            GetBookmarkFlag(ActiveBuffer()) == bfInserted)
            mode = gmCurrent;
    }
    bool ok = ReadRecord(Buffer(recordCount_), mode);
    if (ok) {
        if (recordCount_ == 0)
            ActivateBuffers();
        else if (recordCount_ < bufferCount_)
            ++recordCount_;
        else
            MoveBuffer(0, recordCount_);
        currentRecord_ = recordCount_ - 1;
    } else {
        CursorPosChanged();
    }
    return ok;
}

bool TDataSet::GetPriorRecord() {
    if (recordCount_ > 0) SetCurrentRecord(0);
    bool ok = ReadRecord(Buffer(recordCount_), gmPrior);
    if (ok) {
        if (recordCount_ == 0) {
            ActivateBuffers();
        } else {
            MoveBuffer(recordCount_, 0);
            if (recordCount_ < bufferCount_) {
                ++recordCount_;
                ++activeRecord_;
            }
        }
        currentRecord_ = 0;
    } else {
        CursorPosChanged();
    }
    return ok;
}

int TDataSet::GetNextRecords() {
    int n = 0;
    while (recordCount_ < bufferCount_ && GetNextRecord()) ++n;
    return n;
}

int TDataSet::GetPriorRecords() {
    int n = 0;
    while (recordCount_ < bufferCount_ && GetPriorRecord()) ++n;
    return n;
}

void TDataSet::Resync(TResyncMode mode) {
    if (mode.Contains(rmExact)) {
        CursorPosChanged();
        if (GetRecord(Buffer(recordCount_), gmCurrent, true) != grOK)
            DatabaseError(dbmsg::SRecordNotFound);
    } else if (GetRecord(Buffer(recordCount_), gmCurrent, false) != grOK &&
               GetRecord(Buffer(recordCount_), gmNext, false) != grOK &&
               GetRecord(Buffer(recordCount_), gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange, 0);
        return;
    }
    int count = mode.Contains(rmCenter) ? (bufferCount_ - 1) / 2 : activeRecord_;
    MoveBuffer(recordCount_, 0);
    ActivateBuffers();
    try {
        while (count > 0 && GetPriorRecord()) --count;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange, 0);
        throw;
    }
    DataEvent(deDataSetChange, 0);
}

// -------------------------------------------------------------------- navigation

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        bof_ = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    bof_ = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        eof_ = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    eof_ = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
    CheckBrowseMode();
    int moved = 0;
    DoBeforeScroll();
    if (!((distance > 0 && !eof_) || (distance < 0 && !bof_))) return 0;
    bof_ = eof_ = false;
    int oldCount = recordCount_;
    int scroll = 0;  // how far the ring's contents moved (negative: towards buffer 0)
    auto finish = [&] {
        if (recordCount_ != oldCount)
            DataEvent(deDataSetChange, 0);
        else
            DataEvent(deDataSetScroll, scroll);
    };
    try {
        while (distance > 0) {
            if (activeRecord_ < recordCount_ - 1) {
                ++activeRecord_;
            } else {
                int before = recordCount_;
                if (!GetNextRecord()) {
                    eof_ = true;
                    break;
                }
                if (recordCount_ == before) --scroll;
                activeRecord_ = recordCount_ - 1;
            }
            --distance;
            ++moved;
        }
        while (distance < 0) {
            if (activeRecord_ > 0) {
                --activeRecord_;
            } else {
                if (!GetPriorRecord()) {
                    bof_ = true;
                    break;
                }
                ++scroll;
                activeRecord_ = 0;
            }
            ++distance;
            --moved;
        }
    } catch (...) {
        finish();
        DoAfterScroll();
        throw;
    }
    finish();
    DoAfterScroll();
    return moved;
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    DoBeforeRefresh();
    UpdateCursorPos();
    InternalRefresh();
    Resync({});
    DoAfterRefresh();
}

// ---------------------------------------------------------------------- editing

void TDataSet::InitRecord(TRecordBuffer buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    DoBeforeInsert();
    DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        UpdateCursorPos();
        FreeFieldBuffers();
        SetState(dsBrowse);
        Resync({});
        throw;
    }
    DataEvent(deDataSetChange, 0);
    DoAfterInsert();
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    TBookmark old = Bookmark();
    MoveBuffer(recordCount_, activeRecord_);
    // The buffers from the active one on moved down: where the cursor is, is unknown.
    CursorPosChanged();
    TRecordBuffer buffer = ActiveBuffer();
    InitRecord(buffer);
    if (recordCount_ == 0)
        SetBookmarkFlag(buffer, bfBOF);
    else if (static_cast<int>(old.size()) == bookmarkSize_ && bookmarkSize_ > 0)
        SetBookmarkData(buffer, reinterpret_cast<const uint8_t*>(old.data()));
    if (recordCount_ < bufferCount_) ++recordCount_;
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    TRecordBuffer buffer = Buffer(0);
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    recordCount_ = 1;
    bof_ = false;
    GetPriorRecords();
    InternalLast();
    EndInsertAppend();
}

void TDataSet::AddRecordWith(const std::vector<TVariant>& values, bool append) {
    if (append)
        Append();
    else
        Insert();
    try {
        for (size_t i = 0; i < values.size() && i < fields_.size(); ++i)
            if (!values[i].IsEmpty()) fields_[i]->SetValue(values[i]);
        UpdateRecord();
        DoBeforePost();
        // The cursor goes where the record belongs: on the record it displaces, or to an end.
        UpdateCursorPos();
        InternalAddRecord(ActiveBuffer(), append);
    } catch (...) {
        Cancel();
        throw;
    }
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoAfterPost();
}

void TDataSet::Edit() {
    if (state_ == dsEdit || state_ == dsInsert) return;
    if (recordCount_ == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    DoBeforeEdit();
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange, 0);
    DoAfterEdit();
}

void TDataSet::UpdateRecord() {
    if (!IsWriteMode(state_)) DatabaseError(dbmsg::SNotEditing);
    DataEvent(deUpdateRecord, 0);
}

void TDataSet::InternalPost() {
    for (auto& f : fields_)
        if (f->Required() && f->FieldKind() == fkData && !f->ReadOnly() && f->IsNull())
            DatabaseErrorFmt(dbmsg::SFieldRequired, {f->DisplayName()});
}

void TDataSet::Post() {
    UpdateRecord();
    if (state_ != dsEdit && state_ != dsInsert) return;
    DataEvent(deCheckBrowseMode, 0);
    DoBeforePost();
    CheckOperation([this] { InternalPost(); }, OnPostError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoAfterPost();
}

void TDataSet::Cancel() {
    if (state_ != dsEdit && state_ != dsInsert) return;
    DataEvent(deCheckBrowseMode, 0);
    DoBeforeCancel();
    bool scrollEvents = state_ == dsInsert;
    if (scrollEvents) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoAfterCancel();
    if (scrollEvents) DoAfterScroll();
}

void TDataSet::Delete() {
    CheckActive();
    if (state_ == dsInsert || state_ == dsSetKey) {
        Cancel();
        return;
    }
    if (recordCount_ == 0) DatabaseError(dbmsg::SDataSetEmpty);
    CheckCanModify();
    DataEvent(deCheckBrowseMode, 0);
    DoBeforeDelete();
    DoBeforeScroll();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoAfterDelete();
    DoAfterScroll();
}

void TDataSet::CheckOperation(const std::function<void()>& operation,
                              const TDataSetErrorEvent& onError) {
    for (;;) {
        try {
            UpdateCursorPos();
            operation();
            return;
        } catch (EDatabaseError& e) {
            TDataAction action = daFail;
            if (onError) onError(*this, e, action);
            if (action == daFail) throw;
            if (action == daAbort) Abort();
        }
    }
}

// --------------------------------------------------------------------- controls

void TDataSet::DisableControls() {
    if (disableCount_ == 0) {
        disableState_ = state_;
        enableEvent_ = deDataSetChange;
    }
    ++disableCount_;
}

void TDataSet::EnableControls() {
    if (disableCount_ == 0) return;
    if (--disableCount_ != 0) return;
    if (disableState_ != state_) DataEvent(deUpdateState, 0);
    if (disableState_ != dsInactive && state_ != dsInactive) DataEvent(enableEvent_, 0);
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
    switch (event) {
        case deFieldChange: {
            TField* field = reinterpret_cast<TField*>(info);
            if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc)
                modified_ = true;
            UpdateCalcFields();
            field->Change();
            break;
        }
        case dePropertyChange: fieldDefs_.SetUpdated(false); break;
        default: break;
    }
    bool notify = !(ControlsDisabled() || tempStateDepth_ > 0 || state_ == dsBlockRead);
    if (notify) {
        std::vector<TDataSource*> sources = dataSources_;
        for (TDataSource* s : sources)
            if (std::find(dataSources_.begin(), dataSources_.end(), s) != dataSources_.end())
                s->DataEvent(event, info);
    } else if ((event == deUpdateState && state_ == dsInactive) || event == deLayoutChange) {
        enableEvent_ = deLayoutChange;
    }
}

void TDataSet::AddDataSource(TDataSource* source) {
    dataSources_.push_back(source);
    source->dataSet_ = this;
    UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
    source->dataSet_ = nullptr;
    dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source),
                       dataSources_.end());
    source->UpdateState();
    UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(TDataSource* source) {
    for (int guard = 0; source && guard < 1000; ++guard) {
        TDataSet* ds = source->DataSet();
        if (!ds) break;
        if (ds == this) return true;
        source = ds->GetDataSource();
    }
    return false;
}

// -------------------------------------------------------------------- bookmarks

bool TDataSet::BookmarkAvailable() {
    return (state_ == dsBrowse || state_ == dsEdit || state_ == dsInsert) && !IsEmpty() &&
           GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::Bookmark() {
    if (!BookmarkAvailable() || bookmarkSize_ <= 0) return {};
    TBookmark b(static_cast<size_t>(bookmarkSize_), '\0');
    GetBookmarkData(ActiveBuffer(), reinterpret_cast<uint8_t*>(b.data()));
    return b;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (bookmark.empty()) return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(reinterpret_cast<const uint8_t*>(bookmark.data()));
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

// ----------------------------------------------------------------------- fields

void TDataSet::InitFieldDefs() {
    if (fieldDefs_.Updated()) return;
    InternalInitFieldDefs();
    fieldDefs_.SetUpdated(true);
}

TField& TDataSet::Fields(int index) const {
    if (index < 0 || index >= FieldCount()) DatabaseError(dbmsg::SFieldIndexError);
    return *fields_[static_cast<size_t>(index)];
}

TField* TDataSet::FindField(std::string_view name) const {
    for (auto& f : fields_)
        if (SameText(f->FieldName(), name)) return f.get();
    return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
    TField* f = FindField(name);
    if (!f) DatabaseErrorFmt(dbmsg::SFieldNotFound, {name});
    return *f;
}

TField* TDataSet::FieldByNumber(int fieldNo) const {
    for (auto& f : fields_)
        if (f->FieldKind() == fkData && f->FieldNo() == fieldNo) return f.get();
    return nullptr;
}

void TDataSet::GetFieldList(std::vector<TField*>& list, std::string_view fieldNames) const {
    for (const std::string& name : SplitNames(fieldNames)) list.push_back(&FieldByName(name));
}

TVariant TDataSet::FieldValues(std::string_view fieldNames) {
    std::vector<TField*> list;
    GetFieldList(list, fieldNames);
    if (list.size() == 1) return list[0]->Value();
    std::vector<TVariant> values;
    for (TField* f : list) values.push_back(f->Value());
    return TVariant(std::move(values));
}

void TDataSet::SetFieldValues(std::string_view fieldNames, const TVariant& values) {
    std::vector<TField*> list;
    GetFieldList(list, fieldNames);
    if (list.size() == 1 && !values.IsArray()) {
        list[0]->SetValue(values);
        return;
    }
    for (size_t i = 0; i < list.size(); ++i) list[i]->SetValue(values[i]);
}

void TDataSet::AddField(std::unique_ptr<TField> field, std::string name, TFieldKind kind) {
    CheckInactive();
    if (FindField(name)) DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {name});
    field->dataSet_ = this;
    field->fieldName_ = std::move(name);
    field->fieldKind_ = kind;
    fields_.push_back(std::move(field));
}

void TDataSet::CreateFields() {
    for (int i = 0; i < fieldDefs_.Count(); ++i) {
        const TFieldDef& def = fieldDefs_[i];
        if (FindField(def.Name())) continue;
        std::unique_ptr<TField> f = NewDefaultField(def.DataType(), def.Size(), def.Name());
        f->SetRequired(def.Required());
        if (def.Precision() > 0)
            if (auto* ff = dynamic_cast<TFloatField*>(f.get())) ff->SetPrecision(def.Precision());
        f->dataSet_ = this;
        f->fieldName_ = def.Name();
        fields_.push_back(std::move(f));
    }
}

void TDataSet::DestroyFields() {
    fields_.clear();
    DataEvent(deFieldListChange, 0);
}

void TDataSet::BindFields(bool binding) {
    calcFieldsSize_ = 0;
    internalCalcFields_ = false;
    for (auto& fp : fields_) {
        TField& f = *fp;
        if (!binding) {
            if (f.fieldKind_ == fkData || f.fieldKind_ == fkInternalCalc) f.fieldNo_ = 0;
            continue;
        }
        if (f.fieldKind_ == fkCalculated || f.fieldKind_ == fkLookup) {
            if (f.IsBlob()) DatabaseErrorFmt(dbmsg::SInvalidCalcType, {f.DisplayName()});
            if (f.fieldKind_ == fkLookup &&
                (!f.lookupDataSet_ || f.keyFields_.empty() || f.lookupKeyFields_.empty() ||
                 f.lookupResultField_.empty()))
                DatabaseErrorFmt(dbmsg::SLookupInfoError, {f.DisplayName()});
            f.fieldNo_ = 0;
            f.offset_ = calcFieldsSize_;
            calcFieldsSize_ += f.DataSize() + 1;
            continue;
        }
        const TFieldDef& def = fieldDefs_.Find(f.fieldName_);
        if (def.DataType() != f.DataType())
            DatabaseErrorFmt(dbmsg::SFieldTypeMismatch,
                             {f.DisplayName(), FieldTypeName(f.DataType()), FieldTypeName(def.DataType())});
        f.fieldNo_ = def.FieldNo();
        if (f.fieldKind_ == fkInternalCalc) internalCalcFields_ = true;
    }
}

// -------------------------------------------------------------- calculated fields

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (calcFieldsSize_ == 0 && !internalCalcFields_) return;
    TDataSetState save = SetTempState(dsCalcFields);
    try {
        CalculateFields(buffer);
    } catch (...) {
        RestoreState(save);
        throw;
    }
    RestoreState(save);
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
    calcBuffer_ = buffer;
    if (state_ != dsInternalCalc) {
        ClearCalcFields(calcBuffer_);
        for (auto& f : fields_)
            if (f->FieldKind() == fkLookup) CalcLookupValue(*f);
    }
    DoOnCalcFields();
}

void TDataSet::CalcLookupValue(TField& field) {
    TDataSet* target = field.LookupDataSet();
    if (!target || !target->Active()) return;
    TVariant key = FieldValues(field.KeyFields());
    field.SetValue(target->Lookup(field.LookupKeyFields(), key, field.LookupResultField()));
}

void TDataSet::UpdateCalcFields() {
    if (state_ != dsSetKey && autoCalcFields_ && (calcFieldsSize_ > 0 || internalCalcFields_) &&
        !IsEmpty())
        GetCalcFields(ActiveBuffer());
}

// ---------------------------------------------------------------------- blobs etc.

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }

int TDataSet::Translate(const char* src, char* dest, bool) {
    if (!src) {
        if (dest) *dest = '\0';
        return 0;
    }
    size_t n = std::strlen(src);
    if (dest && dest != src) std::memmove(dest, src, n + 1);
    return static_cast<int>(n);
}

// ---------------------------------------------------------------------- searching

bool TDataSet::RecordMatches(const std::vector<TField*>& fields, const TVariant& values,
                             TLocateOptions options) {
    bool single = fields.size() == 1 && !values.IsArray();
    if (!single && values.Count() < fields.size()) return false;
    for (size_t i = 0; i < fields.size(); ++i) {
        TField& f = *fields[i];
        const TVariant& key = single ? values : values[i];
        if (key.IsClear()) {
            if (!f.IsNull()) return false;
            continue;
        }
        if (f.IsNull()) return false;
        switch (f.DataType()) {
            case ftString:
            case ftMemo: {
                std::string a = f.AsString(), b = key.AsString();
                if (options.Contains(loCaseInsensitive)) {
                    a = AnsiUpperCase(a);
                    b = AnsiUpperCase(b);
                }
                if (options.Contains(loPartialKey)) {
                    if (a.compare(0, b.size(), b) != 0) return false;
                } else if (a != b) {
                    return false;
                }
                break;
            }
            case ftBoolean:
                if (f.AsBoolean() != key.AsBoolean()) return false;
                break;
            case ftDate:
            case ftDateTime:
            case ftTime:
                if (f.AsDateTime() != key.AsDateTime()) return false;
                break;
            default:
                if (f.AsFloat() != key.AsFloat()) return false;
                break;
        }
    }
    return true;
}

bool TDataSet::ScanForRecord(const std::vector<TField*>& fields, const TVariant& values,
                             TLocateOptions options) {
    TRecordBuffer buffer = TempBuffer();
    CursorPosChanged();
    InternalFirst();
    while (GetRecord(buffer, gmNext, true) == grOK) {
        TDataSetState save = SetTempState(dsCalcFields);
        bool found;
        try {
            CalculateFields(buffer);
            found = RecordMatches(fields, values, options);
        } catch (...) {
            RestoreState(save);
            throw;
        }
        RestoreState(save);
        if (found) return true;
    }
    return false;
}

bool TDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                      TLocateOptions options) {
    CheckBrowseMode();
    std::vector<TField*> fields;
    GetFieldList(fields, keyFields);
    if (!ScanForRecord(fields, keyValues, options)) return false;
    DoBeforeScroll();
    Resync({rmExact, rmCenter});
    DoAfterScroll();
    return true;
}

TVariant TDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields) {
    CheckBrowseMode();
    std::vector<TField*> fields;
    GetFieldList(fields, keyFields);
    if (!ScanForRecord(fields, keyValues, {})) return TVariant::Null();
    TDataSetState save = SetTempState(dsCalcFields);
    TVariant result;
    try {
        calcBuffer_ = TempBuffer();
        result = FieldValues(resultFields);
    } catch (...) {
        RestoreState(save);
        throw;
    }
    RestoreState(save);
    return result;
}
