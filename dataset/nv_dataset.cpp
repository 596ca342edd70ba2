#include "nv_dataset.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "db_conv.h"
#include "nv6_cnst.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_date.h"
#include "nv6_indx.h"
#include "nv6_sql.h"
#include "nv_alias.h"
#include "nv_blob.h"

namespace {

constexpr int kBookmarkSize = 11;
constexpr const char* kDefaultDirectory = "Default Directory";

[[noreturn]] void RecordSetError(TnvMsg id, std::initializer_list<TnvFmtArg> args = {}) {
    DatabaseError(NvMessage(id, args));
}

// CollectNames category of table field names.
constexpr int kFieldNameCategory = 17;

// Items of a ";"-separated list, each trimmed, the last one whatever its length; empty
// items are dropped.
std::vector<std::string> SplitList(std::string_view list) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t semi = list.find(';', start);
        std::string item = Trim(list.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
        if (!item.empty()) out.push_back(std::move(item));
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    return out;
}

std::string ValueAsText(const TnvValue& v) {
    switch (v.GetKind()) {
        case TnvValue::Kind::Text: return v.AsText();
        case TnvValue::Kind::Number: return nvlocale::FormatShortest(v.AsNumber(), '.');
        case TnvValue::Kind::Boolean: return v.AsBoolean() ? "T" : "F";
        default: return {};
    }
}

bool IsDelimiter(char c) { return c == '/' || c == '\\'; }

bool HasExtension(const std::string& name) {
    size_t slash = name.find_last_of("/\\");
    size_t dot = name.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
           dot + 1 < name.size();
}

std::string ProgramDirectory() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path().string();
}

// The record number of a bookmark text (blanks, digits, a zero byte); -1 when it is none.
int32_t ParseBookmark(const char* text, size_t size) {
    size_t len = strnlen(text, size);
    std::string_view s(text, len);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    if (s.empty()) return -1;
    int32_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size()) return -1;
    return n;
}

void StoreLE(uint8_t* p, int64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

}  // namespace

TNorvaneDataSet::TNorvaneDataSet() : masterLink_(std::make_unique<TMasterDataLink>(this)) {
    SetBookmarkSize(kBookmarkSize);
    indexFiles_.OnChange = [this](TStringList&) { IndexFilesChanged(); };
    masterLink_->OnMasterChange = [this] { MasterChanged(); };
    masterLink_->OnMasterDisable = [this] { MasterDisabled(); };
}

TNorvaneDataSet::~TNorvaneDataSet() {
    Destroying();
    Close();
    indexFiles_.OnChange = nullptr;
    masterLink_->OnMasterChange = nullptr;
    masterLink_->OnMasterDisable = nullptr;
}

// ------------------------------------------------------------------ properties

void TNorvaneDataSet::SetAutoFlush(bool value) {
    autoFlush_ = value;
    if (cursor_) cursor_->SetAutoFlush(value);
}

void TNorvaneDataSet::SetDatabaseName(const std::string& value) {
    if (value == databaseName_) return;
    CheckInactive();
    std::string name = value;
    if (!SameText(name, kDefaultDirectory)) {
        while (name.size() > 1 && IsDelimiter(name.back())) name.pop_back();
        if (!name.empty() && !NvAliasDirectory(name)) NvAddAlias(name, name);
    }
    databaseName_ = std::move(name);
    DataEvent(dePropertyChange, 0);
}

void TNorvaneDataSet::SetEncryptionKey(const std::string& value) {
    CheckInactive();
    encryptionKey_ = value;
}

void TNorvaneDataSet::SetTableName(const std::string& value) {
    CheckInactive();
    if (value != tableName_ && !IsLoading() && !IsDesigning()) {
        indexFiles_.Clear();
        codePage_ = 0;
    }
    tableName_ = value;
    DataEvent(dePropertyChange, 0);
}

void TNorvaneDataSet::SetCodePage(int page) {
    nvlocale::TnvPageChoice choice;
    if (page != 0 && !nvlocale::ChoiceForPage(page, choice))
        DatabaseErrorFmt("Code page %d is not supported", {std::to_string(page)});
    codePage_ = page;
    if (!cursor_) return;
    cursor_->SetCodePages(page == 0 ? nvlocale::ChoosePages(cursor_->Header().bytes[29]) : choice);
    // The buffers hold raw bytes: the fields read them in the new pages once shown again.
    if (State() == dsBrowse) {
        if (IsEmpty())
            DataEvent(deDataSetChange, 0);
        else
            Resync({});
    }
}

nvlocale::TnvPageChoice TNorvaneDataSet::CodePages() const {
    if (cursor_) return cursor_->CodePages();
    NvLoadConfiguredCodePages();
    nvlocale::TnvPageChoice choice = nvlocale::DefaultPages();
    if (codePage_ != 0) nvlocale::ChoiceForPage(codePage_, choice);
    return choice;
}

void TNorvaneDataSet::SetLockProtocol(TnvLokProtocol value) {
    lockProtocol_ = value;
    if (cursor_) cursor_->SetLockProtocol(value);
}

void TNorvaneDataSet::SetUseDeleted(bool value) {
    useDeleted_ = value;
    if (cursor_) cursor_->SetShowDeleted(value);
}

void TNorvaneDataSet::SetUserID(int value) {
    userID_ = value;
    if (cursor_) cursor_->SetUserId(value);
}

bool TNorvaneDataSet::ReadOnly() const {
    if (cursor_) return readOnly_ || !cursor_->ReadWrite();
    return readOnly_;
}

void TNorvaneDataSet::SetMasterFields(const std::string& value) { masterLink_->SetFieldNames(value); }

void TNorvaneDataSet::SetMasterSource(TDataSource* source) {
    if (source && IsLinkedTo(source)) DatabaseError(dbmsg::SCircularDataLink);
    masterLink_->SetDataSource(source);
}

void TNorvaneDataSet::SetIndexFiles(const TStringList& value) {
    indexDefs_.SetUpdated(false);
    indexDefs_.Clear();
    if (&value != &indexFiles_) {
        // The copy is this assignment, not an edit of the list: no reopening by the notifier.
        auto notify = std::move(indexFiles_.OnChange);
        indexFiles_.OnChange = nullptr;
        indexFiles_.Assign(value);
        indexFiles_.OnChange = std::move(notify);
    }
    if (indexFiles_.Empty() || !cursor_) return;
    cursor_->SetRecordPointer(nullptr);
    cursor_->CloseIndexes();
    for (const std::string& entry : indexFiles_.Items()) OpenIndexEntry(entry, ".ndx", false);
    UpdateIndexDefs();
    cursor_->SetOrder(indexName_, false);
    if (Active()) First();
}

std::string TNorvaneDataSet::IndexEntryPath(const std::string& entry, const char* defaultExt) const {
    std::string name = Trim(entry);
    if (name.empty()) return name;
    if (!HasExtension(name)) name += defaultExt;
    if (name.find_first_of("/\\") == std::string::npos) name = Directory() + name;
    return NvFindFileNoCase(NvExpandFileName(name));
}

void TNorvaneDataSet::OpenIndexEntry(const std::string& entry, const char* defaultExt, bool listChange) {
    const std::string path = IndexEntryPath(entry, defaultExt);
    if (path.empty()) return;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) RecordSetError(TnvMsg::CannotFindFile, {path});
    int result = cursor_->OpenIndex(path);
    if (listChange && result == -1) RecordSetError(TnvMsg::IndexAlreadyOpen, {path});
    if (result > 0 || (listChange && result != 0)) RecordSetError(TnvMsg::ErrorGetting, {path});
}

void TNorvaneDataSet::IndexFilesChanged() {
    if (IsLoading() || !cursor_) return;
    indexDefs_.SetUpdated(false);
    cursor_->SetRecordPointer(nullptr);
    int32_t record = Active() && !IsEmpty() ? BufferRecNo(ActiveBuffer()) : 0;
    cursor_->CloseIndexes();
    if (indexFiles_.Empty()) {
        indexName_.clear();
    } else {
        for (const std::string& entry : indexFiles_.Items()) OpenIndexEntry(entry, ".NDX", true);
    }
    UpdateIndexDefs();
    cursor_->SetOrder(indexName_, true);
    if (Active() && record > 0) {
        cursor_->Go(record);
        StayOrFirst();
    }
    SetActive(cursor_ != nullptr);
}

void TNorvaneDataSet::StayOrFirst() {
    // The record left in the new order stays the active one; otherwise the order starts
    // at its top. Neither failing makes the record set unusable.
    try {
        if (cursor_->OutOfOrder() || cursor_->Eof() || cursor_->Bof()) {
            First();
        } else {
            bofPending_ = eofPending_ = false;
            Resync({rmExact, rmCenter});
        }
    } catch (const Exception&) {
    }
}

void TNorvaneDataSet::SetIndexName(const std::string& value) {
    std::string previous = indexName_;
    indexName_ = value;
    if (!cursor_) return;
    cursor_->SetRecordPointer(nullptr);
    int32_t record = Active() && !IsEmpty() && !Eof() && !Bof() ? BufferRecNo(ActiveBuffer()) : 0;
    if (Active()) CheckBrowseMode();
    try {
        cursor_->SetOrder(value, false);
    } catch (...) {
        indexName_ = previous;
        throw;
    }
    if (record > 0) cursor_->Go(record);
    ApplyMasterRange();
    if (!Active()) return;
    if (record > 0) {
        StayOrFirst();
    } else {
        try {
            First();
        } catch (const Exception&) {
        }
    }
    DoAfterScroll();
}

std::string TNorvaneDataSet::Directory() const {
    std::string dir;
    if (SameText(databaseName_, kDefaultDirectory)) {
        dir = ProgramDirectory();
    } else if (auto alias = NvAliasDirectory(databaseName_)) {
        dir = *alias;
    } else {
        dir = databaseName_;
    }
    if (!dir.empty() && !IsDelimiter(dir.back())) dir += '/';
    return dir;
}

// ------------------------------------------------------------------ cursor hooks

bool TNorvaneDataSet::FilterRecordAccepts() {
    if (noEvents_ || State() == dsInactive || !Filtered() || !OnFilterRecord) return true;
    TDataSetState save = SetTempState(dsFilter);
    bool accept = true;
    try {
        OnFilterRecord(*this, accept);
    } catch (...) {
        RestoreState(save);
        throw;
    }
    RestoreState(save);
    return accept;
}

void TNorvaneDataSet::ReportStatus(int32_t stat1, int32_t stat2, int32_t stat3) {
    if (noEvents_) return;
    if (OnStatus) OnStatus(*this, stat1, stat2, stat3);
}

// ------------------------------------------------------------------ opening

std::unique_ptr<DBFObject> TNorvaneDataSet::CreateCursor(bool readOnly, bool shared) {
    if (tableName_.empty()) RecordSetError(TnvMsg::TableNameMissing);
    if (!HasExtension(tableName_)) tableName_ += ".DBF";
    std::string path = NvExpandFileName(Directory() + tableName_);
    path = NvFindFileNoCase(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) RecordSetError(TnvMsg::CannotFindFile, {path});
    NvLoadConfiguredCodePages();
    auto cursor = std::make_unique<DBFObject>(path, shared, !readOnly, encryptionKey_, this);
    nvlocale::TnvPageChoice choice;
    if (codePage_ != 0 && nvlocale::ChoiceForPage(codePage_, choice)) cursor->SetCodePages(choice);
    return cursor;
}

void TNorvaneDataSet::CheckCursor() const {
    if (!cursor_) DatabaseError(dbmsg::SDataSetClosed);
}

void TNorvaneDataSet::InternalOpen() {
    cursor_ = CreateCursor(readOnly_, !exclusive_);
    cursor_->SetAutoFlush(autoFlush_);
    cursor_->SetShowDeleted(useDeleted_);
    cursor_->SetReadAhead(readAhead_);
    cursor_->SetLockProtocol(lockProtocol_);
    cursor_->SetUserId(userID_);

    InternalInitFieldDefs();
    FieldDefs().SetUpdated(true);
    if (DefaultFields()) CreateFields();
    BindFields(true);

    recordSize_ = cursor_->RecordLength();
    infoOffset_ = recordSize_ + CalcFieldsSize();
    bookmarkOffset_ = infoOffset_ + 8;
    bufferSize_ = infoOffset_ + 19;

    if (Filtered()) ApplyFilter(Filter(), FilterOptions());
    InternalFirst();
    SetIndexFiles(indexFiles_);
    editing_ = false;
    pendingMemos_.clear();
    ApplyMasterRange();
}

void TNorvaneDataSet::InternalClose() {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    pendingMemos_.clear();
    editing_ = false;
    bofPending_ = eofPending_ = false;
    cursor_.reset();
}

void TNorvaneDataSet::InternalInitFieldDefs() {
    FieldDefs().Clear();
    std::unique_ptr<DBFObject> temporary;
    DBFObject* cursor = cursor_.get();
    if (!cursor) {
        temporary = CreateCursor(true, true);
        cursor = temporary.get();
    }
    bool vfp = cursor->Version() == nvdbf::kVerVfp;
    for (int i = 1; i <= cursor->FieldCount(); ++i) {
        char type = cursor->FieldType(i);
        int length = cursor->FieldLength(i);
        int decimals = cursor->FieldDecimals(i);
        TFieldType ft = ftUnknown;
        int size = 0;
        switch (type) {
            case 'C':
                ft = ftString;
                size = length;
                break;
            case 'D': ft = ftDate; break;
            case 'N':
            case 'F':
                if (decimals > 0)
                    ft = ftFloat;
                else if (length <= 4)
                    ft = ftSmallint;
                else if (length <= 9)
                    ft = ftInteger;
                else
                    ft = largeIntegerAs_ == asLargeInt ? ftLargeint
                         : largeIntegerAs_ == asFloat  ? ftFloat
                                                       : ftInteger;
                break;
            case 'I': ft = ftInteger; break;
            case 'L': ft = ftBoolean; break;
            case 'M': ft = ftMemo; break;
            // In a Visual FoxPro table B is an 8-byte double held in the record, not a memo.
            case 'B': ft = vfp ? ftFloat : ftBlob; break;
            case 'G': ft = ftBlob; break;
            case 'T': ft = ftDateTime; break;
            case 'Y': ft = ftCurrency; break;
            default: break;
        }
        if (ft == ftUnknown) continue;
        FieldDefs().Add(cursor->FieldName(i), ft, size, false, i);
    }
}

std::vector<uint8_t> TNorvaneDataSet::AllocRecordBuffer() {
    return std::vector<uint8_t>(bufferSize_, 0);
}

void TNorvaneDataSet::ClearCalcFields(TRecordBuffer buffer) {
    if (buffer && CalcFieldsSize() > 0)
        std::memset(buffer + recordSize_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void TNorvaneDataSet::CheckActive() {
    if (updatingIndexDefs_) return;
    TDataSet::CheckActive();
    if (busy_ == 1) RecordSetError(TnvMsg::BusyBuildingIndex);
    if (busy_ == 2) RecordSetError(TnvMsg::BusyCopying);
}

// ------------------------------------------------------------------ buffers and bookmarks

int32_t TNorvaneDataSet::BufferRecNo(TRecordBuffer buffer) const {
    const uint8_t* p = buffer + infoOffset_;
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

void TNorvaneDataSet::SetBufferRecNo(TRecordBuffer buffer, int32_t recNo) {
    StoreLE(buffer + infoOffset_, recNo, 4);
}

void TNorvaneDataSet::GetBookmarkData(TRecordBuffer buffer, uint8_t* data) {
    std::memcpy(data, buffer + bookmarkOffset_, kBookmarkSize);
}

void TNorvaneDataSet::SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) {
    std::memcpy(buffer + bookmarkOffset_, data, kBookmarkSize);
}

TBookmarkFlag TNorvaneDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
    return static_cast<TBookmarkFlag>(buffer[infoOffset_ + 5]);
}

void TNorvaneDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
    buffer[infoOffset_ + 5] = static_cast<uint8_t>(flag);
}

bool TNorvaneDataSet::BookmarkValid(const TBookmark& bookmark) {
    if (!cursor_ || bookmark.empty()) return false;
    int32_t n = ParseBookmark(bookmark.data(), bookmark.size());
    return n > 0 && n <= cursor_->RecordCount();
}

int TNorvaneDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    if (a.empty() && b.empty()) return 0;
    if (a.empty()) return -1;
    if (b.empty()) return 1;
    int32_t x = ParseBookmark(a.data(), a.size());
    int32_t y = ParseBookmark(b.data(), b.size());
    return x < y ? -1 : x > y ? 1 : 0;
}

void TNorvaneDataSet::InternalGotoBookmark(const uint8_t* bookmark) {
    CheckCursor();
    cursor_->SetRecordPointer(nullptr);
    int32_t n = ParseBookmark(reinterpret_cast<const char*>(bookmark), kBookmarkSize);
    if (n < 0) DatabaseError(NvMessage(TnvMsg::BookmarkInvalid, {}) + tableName_);
    cursor_->Go(n);
}

void TNorvaneDataSet::InternalSetToRecord(TRecordBuffer buffer) {
    InternalGotoBookmark(buffer + bookmarkOffset_);
}

// ------------------------------------------------------------------ navigation

void TNorvaneDataSet::InternalFirst() {
    bofPending_ = true;
    eofPending_ = false;
}

void TNorvaneDataSet::InternalLast() {
    CheckCursor();
    cursor_->SetRecordPointer(nullptr);
    cursor_->Go(-4);
    eofPending_ = true;
    // The crack after the last record is not also the one before the first.
    bofPending_ = false;
}

TGetResult TNorvaneDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
    if (!cursor_) return grError;
    TGetResult result = grOK;
    bool moved = false;
    try {
        PointerGuard guard(*this, buffer);
        switch (mode) {
            case gmCurrent:
                if (bofPending_)
                    result = grBOF;
                else if (eofPending_)
                    result = grEOF;
                else {
                    cursor_->Go(-5);
                    moved = true;
                }
                break;
            case gmNext:
                if (bofPending_) {
                    bofPending_ = false;
                    cursor_->Go(-3);
                    moved = true;
                } else if (eofPending_) {
                    result = grEOF;
                } else {
                    cursor_->Go(-1);
                    moved = true;
                }
                break;
            case gmPrior:
                if (bofPending_) {
                    result = grBOF;
                } else if (eofPending_ && !(State() == dsInsert && ActiveRecord() != 0)) {
                    eofPending_ = false;
                    cursor_->Go(-4);
                    moved = true;
                } else {
                    cursor_->Go(-2);
                    moved = true;
                }
                break;
        }
    } catch (const EAbort&) {
        throw;
    } catch (...) {
        if (doCheck) RecordSetError(TnvMsg::RecordBeyondRange);
        return grError;
    }
    if (moved) {
        if (cursor_->Eof())
            result = grEOF;
        else if (cursor_->Bof())
            result = grBOF;
    }
    if (result == grOK) {
        SetBufferRecNo(buffer, cursor_->CurrentRecord());
        SetBookmarkFlag(buffer, bfCurrent);
        GetCalcFields(buffer);
        char text[kBookmarkSize + 1];
        std::snprintf(text, sizeof text, "%10d", static_cast<int>(cursor_->CurrentRecord()));
        std::memcpy(buffer + bookmarkOffset_, text, kBookmarkSize);
    }
    return result;
}

int TNorvaneDataSet::GetRecordCount() {
    CheckCursor();
    if (!exactCount_) return cursor_->RecordCount();
    cursor_->SetRecordPointer(nullptr);
    int32_t saved = cursor_->CurrentRecord();
    int count = 0;
    cursor_->Go(-3);
    while (!cursor_->Eof() && !cursor_->Bof()) {
        ++count;
        cursor_->Go(-1);
    }
    if (saved > 0 && saved <= cursor_->RecordCount()) cursor_->Go(saved);
    return count;
}

int TNorvaneDataSet::GetRecNo() {
    TRecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : (IsEmpty() ? nullptr : ActiveBuffer());
    return buffer ? BufferRecNo(buffer) : 0;
}

void TNorvaneDataSet::SetRecNo(int value) {
    CheckBrowseMode();
    if (value < 1 || value > cursor_->RecordCount()) return;
    cursor_->SetRecordPointer(nullptr);
    cursor_->Go(value);
    CursorPosChanged();
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

double TNorvaneDataSet::RelativePosition() {
    CheckActive();
    if (IsEmpty()) return 0;
    // While a record is edited or inserted the cursor keeps the place it has: moving it
    // would read the record again under the edit.
    if (State() == dsBrowse) UpdateCursorPos();
    cursor_->SetRecordPointer(nullptr);
    return cursor_->RelativePosition();
}

void TNorvaneDataSet::SetRelativePosition(double fraction) {
    CheckBrowseMode();
    if (!(fraction > 0)) {
        First();
        return;
    }
    if (fraction >= 1) {
        Last();
        return;
    }
    DoBeforeScroll();
    cursor_->SetRecordPointer(nullptr);
    cursor_->GoRelative(fraction);
    if (cursor_->Eof() || cursor_->Bof()) {
        // Nothing visible where the order was: refill from the top, as First does.
        InternalFirst();
        Resync({});
    } else {
        bofPending_ = eofPending_ = false;
        Resync({rmExact, rmCenter});
    }
    DoAfterScroll();
}

std::vector<std::string> TNorvaneDataSet::KeyFieldNames(const std::string& expression) {
    TnvExpHandler handler(&cursor_->ExpressionLink(), expression);
    std::string names;
    handler.CollectNames(kFieldNameCategory, names);
    return SplitList(names);
}

bool TNorvaneDataSet::GetIsIndexField(TField* field) {
    if (!HasCurrentTag()) return false;
    std::string name = AnsiUpperCase(field->FieldName());
    for (const std::string& n : KeyFieldNames(cursor_->CurrentTag()->KeyExpressionText()))
        if (AnsiUpperCase(n) == name) return true;
    return false;
}

bool TNorvaneDataSet::IsSequenced() { return !HasCurrentTag() && !Filtered(); }

bool TNorvaneDataSet::IsDeleted() {
    if (!Active() || IsEmpty()) return false;
    TRecordBuffer buffer = ActiveBuffer();
    // Any flag but a blank, as the cursor judges when it passes over deleted records.
    return buffer && buffer[0] != ' ';
}

// ------------------------------------------------------------------ field access

TRecordBuffer TNorvaneDataSet::ServingBuffer() {
    switch (State()) {
        case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
        case dsEdit:
        case dsInsert:
        case dsNewValue: return ActiveBuffer();
        case dsSetKey: return keyBuffer_;
        case dsCalcFields: return CalcBuffer();
        case dsFilter: return cursor_ ? cursor_->RecordPointer() : nullptr;
        case dsOldValue:
            if (editing_ && cursor_) return const_cast<uint8_t*>(cursor_->OldRecord());
            return ActiveBuffer();
        default: return nullptr;
    }
}

bool TNorvaneDataSet::GetFieldData(TField* field, void* buffer) {
    if (State() == dsBrowse && IsEmpty()) return false;
    TRecordBuffer record = ServingBuffer();
    if (field->FieldNo() <= 0) {
        TDataSetState s = State();
        if (s == dsBrowse || s == dsEdit || s == dsInsert || s == dsCalcFields) {
            if (!record) return false;
            const uint8_t* p = record + recordSize_ + field->Offset();
            if (p[0] == 0) return false;
            if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
            return true;
        }
        if (buffer) std::memset(buffer, 0, static_cast<size_t>(field->DataSize()));
        return true;
    }
    // No record applies to this state (a key buffer this record set does not keep): the
    // field has no value rather than an unfilled one.
    if (!record || !cursor_) return false;
    return ReadTableField(field, record, buffer);
}

bool TNorvaneDataSet::ReadTableField(TField* field, TRecordBuffer record, void* out) {
    PointerGuard guard(*this, record);
    const int n = field->FieldNo();
    const size_t dataSize = static_cast<size_t>(std::max(field->DataSize(), 0));
    if (out && dataSize > 0) std::memset(out, 0, dataSize);
    switch (field->DataType()) {
        case ftString: {
            std::string text = cursor_->GetText(n);
            if (text.empty()) return false;
            if (out) std::memcpy(out, text.data(), std::min(text.size(), dataSize > 0 ? dataSize - 1 : 0));
            return true;
        }
        case ftSmallint:
        case ftInteger:
        case ftLargeint: {
            long double v = std::round(cursor_->GetNumber(n));
            int bytes = static_cast<int>(dataSize);
            long double lo = bytes == 2 ? INT16_MIN : bytes == 4 ? INT32_MIN : static_cast<long double>(INT64_MIN);
            long double hi = bytes == 2 ? INT16_MAX : bytes == 4 ? INT32_MAX : static_cast<long double>(INT64_MAX);
            // Cutting a wider number to the field's bytes would show a different one.
            if (!(v >= lo && v <= hi)) DatabaseErrorFmt(dbmsg::SFieldValueError, {field->DisplayName()});
            if (out) StoreLE(static_cast<uint8_t*>(out), static_cast<int64_t>(v), bytes);
            return true;
        }
        case ftFloat:
        case ftCurrency: {
            double v = static_cast<double>(cursor_->GetNumber(n));
            if (out) std::memcpy(out, &v, sizeof v);
            return true;
        }
        case ftBoolean: {
            uint8_t v = cursor_->GetLogical(n) ? 1 : 0;
            if (out) std::memcpy(out, &v, 1);
            return true;
        }
        case ftDate: {
            std::string raw = cursor_->GetRaw(n);
            while (!raw.empty() && raw.back() == ' ') raw.pop_back();
            if (raw.size() != 8 || raw == "00000000") return false;
            int y = 0, m = 0, d = 0;
            auto digits = [&](int from, int count, int& value) {
                auto [end, ec] = std::from_chars(raw.data() + from, raw.data() + from + count, value);
                return ec == std::errc() && end == raw.data() + from + count;
            };
            TDateTime date = 0;
            if (!digits(0, 4, y) || !digits(4, 2, m) || !digits(6, 2, d) || !TryEncodeDate(y, m, d, date))
                return false;
            int32_t day = DateTimeToTimeStamp(date).Date;
            if (out) std::memcpy(out, &day, sizeof day);
            return true;
        }
        case ftDateTime: {
            double v = static_cast<double>(cursor_->GetNumber(n));
            if (v == 0) return false;
            if (out) std::memcpy(out, &v, sizeof v);
            return true;
        }
        case ftMemo:
        case ftBlob:
        case ftGraphic: {
            if ((State() == dsEdit || State() == dsInsert) && record == ActiveBuffer())
                if (const std::string* pending = PendingMemo(n)) return !pending->empty();
            return std::llround(cursor_->GetNumber(n)) != 0;
        }
        default: return false;
    }
}

void TNorvaneDataSet::SetFieldData(TField* field, const void* buffer) {
    TDataSetState s = State();
    if (!IsWriteMode(s)) DatabaseError(dbmsg::SNotEditing);
    if (s == dsSetKey) {
        if (field->FieldNo() <= 0 || (FieldDefs().Count() > 0 && !GetIsIndexField(field)))
            DatabaseErrorFmt(dbmsg::SNotIndexField, {field->DisplayName()});
    }
    TRecordBuffer record = ServingBuffer();
    if (field->FieldNo() < 1) {
        if (record) {
            uint8_t* p = record + recordSize_ + field->Offset();
            size_t n = static_cast<size_t>(field->DataSize());
            p[0] = buffer ? 1 : 0;
            if (buffer)
                std::memcpy(p + 1, buffer, n);
            else
                std::memset(p + 1, 0, n);
        }
    } else {
        if (s == dsCalcFields) DatabaseError(dbmsg::SNotEditing);
        if (field->ReadOnly() && s != dsSetKey && s != dsFilter)
            DatabaseErrorFmt(dbmsg::SFieldReadOnly, {field->DisplayName()});
        field->Validate(buffer);
        if (field->FieldKind() != fkInternalCalc && record && cursor_) WriteTableField(field, record, buffer);
    }
    if (s < dsSetKey || s > dsNewValue) DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

void TNorvaneDataSet::WriteTableField(TField* field, TRecordBuffer record, const void* value) {
    PointerGuard guard(*this, record);
    const int n = field->FieldNo();
    const auto* bytes = static_cast<const uint8_t*>(value);
    switch (field->DataType()) {
        case ftString: {
            std::string text;
            if (value) text.assign(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), static_cast<size_t>(field->DataSize())));
            cursor_->PutText(n, text);
            break;
        }
        case ftSmallint: {
            int16_t v = 0;
            if (value) std::memcpy(&v, bytes, sizeof v);
            cursor_->SetNumber(n, v);
            break;
        }
        case ftInteger: {
            int32_t v = 0;
            if (value) std::memcpy(&v, bytes, sizeof v);
            cursor_->SetNumber(n, v);
            break;
        }
        case ftLargeint: {
            int64_t v = 0;
            if (value) std::memcpy(&v, bytes, sizeof v);
            cursor_->SetNumber(n, static_cast<long double>(v));
            break;
        }
        case ftFloat:
        case ftCurrency:
        case ftDateTime: {
            double v = 0;
            if (value) std::memcpy(&v, bytes, sizeof v);
            cursor_->SetNumber(n, v);
            break;
        }
        case ftBoolean: cursor_->SetLogical(n, value && bytes[0] != 0); break;
        case ftDate: {
            std::string text(8, ' ');
            if (value) {
                int32_t day = 0;
                std::memcpy(&day, bytes, sizeof day);
                if (day > 0) {
                    TTimeStamp stamp;
                    stamp.Date = day;
                    int y = 0, m = 0, d = 0;
                    DecodeDate(TimeStampToDateTime(stamp), y, m, d);
                    if (y >= 1 && y <= 9999) {
                        char buf[16];
                        std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
                        text = buf;
                    }
                }
            }
            cursor_->PutRaw(n, text);
            break;
        }
        default: break;  // memo and blob values go through TNRBlobStream
    }
}

std::unique_ptr<TStream> TNorvaneDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
    if (!field->IsBlob()) DatabaseErrorFmt(dbmsg::SNotBlobField, {field->DisplayName()});
    return std::make_unique<TNRBlobStream>(field, mode);
}

const std::string* TNorvaneDataSet::PendingMemo(int fieldNo) const {
    auto it = pendingMemos_.find(fieldNo);
    return it == pendingMemos_.end() ? nullptr : &it->second;
}

void TNorvaneDataSet::SetPendingMemo(int fieldNo, std::string oemText) {
    pendingMemos_[fieldNo] = std::move(oemText);
}

void TNorvaneDataSet::WritePendingMemos(TRecordBuffer buffer) {
    if (pendingMemos_.empty()) return;
    PointerGuard guard(*this, buffer);
    for (auto& [fieldNo, text] : pendingMemos_) {
        int32_t block = cursor_->WriteMemo(fieldNo, reinterpret_cast<const uint8_t*>(text.data()),
                                           static_cast<int32_t>(text.size()));
        cursor_->SetNumber(fieldNo, block);
    }
}

void TNorvaneDataSet::TranslateBytes(uint8_t* bytes, size_t n, bool toOem) const {
    if (!translateASCII_ || !bytes || n == 0) return;
    const nvlocale::TnvPageChoice pages = CodePages();
    if (!pages.translate) return;
    const auto& t = nvlocale::TnvTranslation::For(pages.oem, pages.ansi);
    if (toOem)
        t.ToOem(bytes, bytes, n);
    else
        t.ToAnsi(bytes, bytes, n);
}

int TNorvaneDataSet::Translate(const char* src, char* dest, bool toOem) {
    if (!src) {
        if (dest) *dest = '\0';
        return 0;
    }
    size_t n = std::strlen(src);
    if (dest) {
        auto* s = reinterpret_cast<const uint8_t*>(src);
        auto* d = reinterpret_cast<uint8_t*>(dest);
        if (translateASCII_) {
            if (dest != src) std::memmove(d, s, n);
            TranslateBytes(d, n, toOem);
            d[n] = 0;
        } else if (dest != src) {
            std::memmove(dest, src, n + 1);
        }
    }
    return static_cast<int>(n);
}

bool TNorvaneDataSet::GetCurrentRecord(TRecordBuffer buffer) {
    if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
    UpdateCursorPos();
    // The active buffer holds what the cursor read for this record.
    std::memcpy(buffer, ActiveBuffer(), static_cast<size_t>(recordSize_));
    return true;
}

// ------------------------------------------------------------------ editing

void TNorvaneDataSet::InternalInitRecord(TRecordBuffer buffer) {
    CheckCursor();
    {
        PointerGuard guard(*this, buffer);
        cursor_->BlankRecord();
        if (State() != dsEdit) cursor_->SetOldRecord(buffer);
    }
    std::memset(buffer + infoOffset_, 0, static_cast<size_t>(bufferSize_ - infoOffset_));
    if (State() != dsEdit) pendingMemos_.clear();
}

void TNorvaneDataSet::DoAfterInsert() {
    if (cursor_) cursor_->MarkAfterLast();
    TDataSet::DoAfterInsert();
}

void TNorvaneDataSet::InternalEdit() {
    CheckCursor();
    TRecordBuffer buffer = ActiveBuffer();
    int32_t n = BufferRecNo(buffer);
    cursor_->SetRecordPointer(nullptr);
    cursor_->Go(n);
    if (!cursor_->LockRecord()) RecordSetError(TnvMsg::RecordLockedByOther);
    try {
        // What another program wrote before the lock was taken is what the edit starts from.
        PointerGuard guard(*this, buffer);
        cursor_->Go(n);
    } catch (...) {
        cursor_->Unlock();
        throw;
    }
    editing_ = true;
    pendingMemos_.clear();
}

void TNorvaneDataSet::ReleaseEditLock() {
    if (!editing_) return;
    editing_ = false;
    if (cursor_) cursor_->Unlock();
}

void TNorvaneDataSet::InternalPost() {
    TDataSet::InternalPost();
    CheckCursor();
    TRecordBuffer buffer = ActiveBuffer();
    {
        PointerGuard guard(*this, buffer);
        WritePendingMemos(buffer);
        if (State() == dsEdit)
            cursor_->WriteRecord(BufferRecNo(buffer));
        else
            cursor_->Append();
    }
    pendingMemos_.clear();
    ReleaseEditLock();
    bofPending_ = eofPending_ = false;
}

void TNorvaneDataSet::InternalAddRecord(TRecordBuffer buffer, bool) {
    CheckCursor();
    {
        PointerGuard guard(*this, buffer);
        WritePendingMemos(buffer);
        cursor_->Append();
    }
    pendingMemos_.clear();
    ReleaseEditLock();
}

void TNorvaneDataSet::InternalCancel() {
    pendingMemos_.clear();
    ReleaseEditLock();
}

void TNorvaneDataSet::FreeFieldBuffers() {
    if (State() != dsEdit && State() != dsInsert) pendingMemos_.clear();
}

void TNorvaneDataSet::Post() {
    TDataSet::Post();
    if (State() == dsSetKey) SetState(dsBrowse);
}

void TNorvaneDataSet::InternalRefresh() {
    CheckCursor();
    cursor_->SetRecordPointer(nullptr);
    // Records other programs appended since the last look become reachable.
    cursor_->ReadHeader();
    if (!IsEmpty()) {
        int32_t n = BufferRecNo(ActiveBuffer());
        if (n > 0 && n <= cursor_->RecordCount()) cursor_->Go(n);
    }
    // The set follows this program's own writes record by record; a whole pass is due only
    // when another program changed the table.
    if (cursor_->FilterActive() && cursor_->FilterStale()) {
        cursor_->Refilter();
        CursorPosChanged();
    }
}

bool TNorvaneDataSet::WriteDeletionMark(bool deleted) {
    CheckCursor();
    TRecordBuffer buffer = ActiveBuffer();
    int32_t n = BufferRecNo(buffer);
    bool showDeleted = cursor_->ShowDeleted();
    // A change of the mark discards an edit in progress, and with it the edit's lock.
    pendingMemos_.clear();
    ReleaseEditLock();
    cursor_->SetRecordPointer(nullptr);
    cursor_->Go(n);
    // The mark is written with the whole record image, so the record is locked and read
    // again first: a change another program made is not overwritten.
    if (!cursor_->LockRecord()) RecordSetError(TnvMsg::RecordLockedByOther);
    bool failed = false;
    try {
        PointerGuard guard(*this, buffer);
        cursor_->SetShowDeleted(true);
        cursor_->Go(n);
        if (deleted)
            cursor_->DeleteRecord();
        else
            cursor_->RecallRecord();
    } catch (...) {
        failed = true;
    }
    cursor_->SetShowDeleted(showDeleted);
    cursor_->Unlock();
    if (failed) {
        // The image keeps the change only if it reached the file; read it back to know.
        try {
            PointerGuard guard(*this, buffer);
            cursor_->Go(n);
        } catch (...) {
        }
    }
    return !failed;
}

void TNorvaneDataSet::InternalDelete() {
    if (!WriteDeletionMark(true)) RecordSetError(TnvMsg::CannotDeleteRecord);
    cursor_->SetRecordPointer(nullptr);
    cursor_->Go(-5);
    if (cursor_->Eof()) {
        cursor_->Go(-2);
        cursor_->MarkEof();
    }
}

void TNorvaneDataSet::Undelete() {
    CheckActive();
    if (State() == dsInsert || State() == dsSetKey) {
        Cancel();
        return;
    }
    if (IsEmpty()) DatabaseError(dbmsg::SDataSetEmpty);
    CheckCanModify();
    DataEvent(deCheckBrowseMode, 0);
    DoBeforeScroll();
    UpdateCursorPos();
    InternalUndelete();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoAfterScroll();
}

void TNorvaneDataSet::InternalUndelete() {
    if (!WriteDeletionMark(false)) RecordSetError(TnvMsg::CannotRecallRecord);
}

// ------------------------------------------------------------------ searching

std::vector<TnvValue> TNorvaneDataSet::SearchValues(const TVariant& values) const {
    auto one = [this](const TVariant& v) {
        switch (v.GetKind()) {
            case TVariant::Kind::Empty:
            case TVariant::Kind::Null: return TnvValue();
            case TVariant::Kind::Boolean: return TnvValue::Boolean(v.AsBoolean());
            case TVariant::Kind::Integer:
            case TVariant::Kind::Float: return TnvValue::Number(v.AsFloat());
            case TVariant::Kind::DateTime: {
                auto day = static_cast<int32_t>(std::floor(v.AsDateTime())) + TnvDBFDate::kDayOffset;
                return TnvValue::Text(DBFDate.DayToText(day));
            }
            default: {
                std::string text = v.AsString();
                TranslateBytes(reinterpret_cast<uint8_t*>(text.data()), text.size(), true);
                return TnvValue::Text(std::move(text));
            }
        }
    };
    std::vector<TnvValue> out;
    if (values.IsArray())
        for (const TVariant& v : values.Items()) out.push_back(one(v));
    else
        out.push_back(one(values));
    return out;
}

bool TNorvaneDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                             TLocateOptions options) {
    CheckActive();
    CheckBrowseMode();
    int32_t saved = IsEmpty() ? 0 : BufferRecNo(ActiveBuffer());
    cursor_->SetRecordPointer(nullptr);
    eofPending_ = false;
    bool found = cursor_->Locate(keyFields, SearchValues(keyValues), 0, options.Contains(loPartialKey),
                                 options.Contains(loCaseInsensitive));
    CursorPosChanged();
    if (!found) {
        if (saved > 0 && saved <= cursor_->RecordCount()) cursor_->Go(saved);
        return false;
    }
    bofPending_ = false;
    DoBeforeScroll();
    Resync({rmExact, rmCenter});
    DoAfterScroll();
    return true;
}

TVariant TNorvaneDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues,
                                 const std::string& resultFields) {
    CheckActive();
    CheckBrowseMode();
    int32_t saved = IsEmpty() ? 0 : BufferRecNo(ActiveBuffer());
    eofPending_ = false;
    TVariant result = TVariant::Null();
    auto restore = [&] {
        cursor_->SetRecordPointer(nullptr);
        if (saved > 0 && saved <= cursor_->RecordCount()) cursor_->Go(saved);
        CursorPosChanged();
    };
    try {
        TRecordBuffer temp = TempBuffer();
        cursor_->SetRecordPointer(temp);
        if (cursor_->Locate(keyFields, SearchValues(keyValues), 0, false, false)) {
            // The search may have used buffers of its own: the record found is read into
            // the temporary buffer.
            cursor_->SetRecordPointer(temp);
            cursor_->Go(cursor_->CurrentRecord());
            TDataSetState save = SetTempState(dsCalcFields);
            try {
                CalculateFields(temp);
                result = FieldValues(resultFields);
            } catch (...) {
                RestoreState(save);
                throw;
            }
            RestoreState(save);
        }
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return result;
}

// ------------------------------------------------------------------ filters

void TNorvaneDataSet::ApplyFilter(const std::string& text, TFilterOptions options) {
    CheckCursor();
    cursor_->SetRecordPointer(nullptr);
    cursor_->SetFiltered(true);
    try {
        // The expression's texts compare with the stored bytes: they go to the table's page.
        std::string stored = text;
        TranslateBytes(reinterpret_cast<uint8_t*>(stored.data()), stored.size(), true);
        cursor_->SetFilter(stored, options.Contains(foCaseInsensitive), !options.Contains(foNoPartialCompare));
    } catch (...) {
        // The cursor dropped the filter; the record set must not claim one.
        cursor_->SetFiltered(false);
        TDataSet::SetFiltered(false);
        throw;
    }
}

void TNorvaneDataSet::SetFilterText(const std::string& value) {
    if (Active() && Filtered()) {
        CheckBrowseMode();
        ApplyFilter(value, FilterOptions());
        First();
    }
    TDataSet::SetFilterText(value);
}

void TNorvaneDataSet::SetFilterOptions(TFilterOptions value) {
    if (Active() && Filtered()) {
        CheckBrowseMode();
        ApplyFilter(Filter(), value);
        First();
    }
    TDataSet::SetFilterOptions(value);
}

void TNorvaneDataSet::SetFiltered(bool value) {
    if (!Active()) {
        TDataSet::SetFiltered(value);
        return;
    }
    CheckBrowseMode();
    if (value != Filtered()) {
        TDataSet::SetFiltered(value);
        cursor_->SetFiltered(value);
        if (value) ApplyFilter(Filter(), FilterOptions());
    }
    First();
}

// ------------------------------------------------------------------ master / detail

namespace {
// The master key of a master that is inserting: the detail keeps its range.
const std::string kMasterInserting(1, '\x01');
}  // namespace

bool TNorvaneDataSet::HasCurrentTag() const { return cursor_ && cursor_->CurrentTag(); }

bool TNorvaneDataSet::MasterReady() const {
    TDataSet* master = masterLink_->DataSet();
    return master && master->Active() && !master->IsEmpty();
}

std::string TNorvaneDataSet::MasterKey() {
    if (!HasCurrentTag()) RecordSetError(TnvMsg::MasterDetailNoIndex, {tableName_});
    TDataSet* master = masterLink_->DataSet();
    if (master->State() == dsInsert) return kMasterInserting;
    if (MasterFields().empty()) return {};
    std::vector<std::string> masterNames = SplitList(MasterFields());
    std::vector<TnvValue> values;
    for (const std::string& name : masterNames) values.push_back(TnvValue::Text(master->FieldByName(name).AsString()));
    std::string expression = cursor_->CurrentTag()->KeyExpressionText();
    std::vector<std::string> keyNames = KeyFieldNames(expression);
    if (keyNames.size() < masterNames.size()) RecordSetError(TnvMsg::MasterDetailMismatch, {tableName_});
    std::string names;
    for (size_t i = 0; i < masterNames.size(); ++i) names += keyNames[i] + ";";
    std::vector<uint8_t> scratch(static_cast<size_t>(cursor_->RecordLength()), ' ');
    cursor_->FillFromValues(scratch.data(), names, values);
    PointerGuard guard(*this, scratch.data());
    TnvExpHandler handler(&cursor_->ExpressionLink(), expression);
    TnvValue key;
    handler.Evaluate(key);
    return ValueAsText(key);
}

void TNorvaneDataSet::ApplyMasterRange() {
    if (!MasterReady()) return;
    std::string key = MasterKey();
    if (key != kMasterInserting) CursorRange(key, key, 1, 1, 1);
}

void TNorvaneDataSet::MasterChanged() {
    if (!Active() || !MasterReady()) return;
    CheckBrowseMode();
    std::string key = MasterKey();
    if (key != kMasterInserting) SetRange(key, key, 1, 1, 1);
}

void TNorvaneDataSet::MasterDisabled() {
    if (Active()) SetRange("", "");
}

// ------------------------------------------------------------------ ranges

bool TNorvaneDataSet::CursorRange(const std::string& low, const std::string& high, int lowFlag,
                                  int highFlag, int modeFlag) {
    if (!HasCurrentTag()) return false;
    auto oem = [this](const std::string& text) {
        std::string out = text.substr(0, 255);
        TranslateBytes(reinterpret_cast<uint8_t*>(out.data()), out.size(), true);
        return out;
    };
    cursor_->SetRecordPointer(nullptr);
    bool set = cursor_->SetRange(oem(low), oem(high), lowFlag != 0, highFlag != 0, modeFlag != 0);
    CursorPosChanged();
    return set;
}

void TNorvaneDataSet::SetRange(const std::string& low, const std::string& high) {
    CheckBrowseMode();
    if (!HasCurrentTag()) return;
    if (CursorRange(low, high, 1, 1, 0)) First();
}

void TNorvaneDataSet::SetRange(const std::string& low, const std::string& high, int lowFlag,
                               int highFlag, int modeFlag) {
    CheckBrowseMode();
    if (!HasCurrentTag()) return;
    CursorRange(low, high, lowFlag, highFlag, modeFlag);
    First();
}

// ------------------------------------------------------------------ maintenance

void TNorvaneDataSet::Pack() {
    CheckActive();
    CheckBrowseMode();
    std::string order = indexName_;
    cursor_->SetRecordPointer(nullptr);
    cursor_->SetOrder("", true);
    bool filtered = Filtered();
    bool requested = cursor_->FilterRequested();
    cursor_->AllowReadAhead(false);
    // The pack keeps the records the cursor reaches: with a filter on it would drop the
    // live records the filter hides.
    auto restore = [&] {
        cursor_->SetFilterRequested(requested);
        if (filtered) TDataSet::SetFiltered(true);
        cursor_->SetOrder(order, false);
    };
    TDataSet::SetFiltered(false);
    cursor_->SetFilterRequested(false);
    try {
        cursor_->SetRecordPointer(nullptr);
        cursor_->Pack();
    } catch (...) {
        restore();
        First();
        throw;
    }
    restore();
    First();
}

void TNorvaneDataSet::ChangePassword(const std::string& password) {
    CheckActive();
    CheckBrowseMode();
    std::vector<std::string> files;
    for (const std::string& entry : indexFiles_.Items()) {
        std::string path = IndexEntryPath(entry, ".ndx");
        if (!path.empty()) files.push_back(path);
    }
    cursor_->SetRecordPointer(nullptr);
    cursor_->ChangePassword(password, files);
    // The table now opens with the new password only.
    encryptionKey_ = password;
    Refresh();
}

void TNorvaneDataSet::Zap() {
    CheckActive();
    CheckBrowseMode();
    cursor_->SetRecordPointer(nullptr);
    cursor_->Zap();
    First();
}

void TNorvaneDataSet::Reindex() {
    CheckBrowseMode();
    cursor_->SetRecordPointer(nullptr);
    cursor_->Reindex();
    // The rebuild leaves the cursor at the top of its order.
    First();
}

void TNorvaneDataSet::IndexOn(const std::string& indexFile, const std::string& tagName,
                              const std::string& keyExpression, const std::string& forExpression,
                              bool notUnique, bool descending) {
    CheckBrowseMode();
    indexDefs_.SetUpdated(false);
    busy_ = 1;
    DisableControls();
    auto finish = [this] {
        busy_ = 0;
        EnableControls();
    };
    try {
        cursor_->SetRecordPointer(nullptr);
        cursor_->IndexOn(indexFile, tagName, descending ? 1 : 0, notUnique, forExpression, keyExpression);
    } catch (...) {
        finish();
        ReopenIndexFiles();
        throw;
    }
    finish();
    ReopenIndexFiles();
}

void TNorvaneDataSet::ReopenIndexFiles() {
    // The build leaves every index file closed; the record set's own list comes back, and
    // with it the order, starting at the first record.
    try {
        SetIndexFiles(indexFiles_);
    } catch (...) {
        First();
        throw;
    }
    First();
}

int TNorvaneDataSet::DeleteTag(const std::string& fileName, const std::string& tagName) {
    CheckActive();
    indexDefs_.SetUpdated(false);
    cursor_->SetRecordPointer(nullptr);
    int result = Trim(fileName).empty() ? cursor_->DeleteTag(tagName) : cursor_->DeleteTagIn(fileName, tagName);
    if (!cursor_->CurrentTag() && !indexName_.empty() && SameText(Trim(tagName), indexName_)) indexName_.clear();
    return result;
}

void TNorvaneDataSet::DeleteIndexFile(const std::string& fileName) {
    CheckActive();
    indexDefs_.SetUpdated(false);
    cursor_->SetRecordPointer(nullptr);
    const std::string path = IndexEntryPath(fileName, ".ndx");
    // The list forgets the file first: a later reopening must not look for it.
    TStringList kept;
    for (const std::string& entry : indexFiles_.Items())
        if (IndexEntryPath(entry, ".ndx") != path) kept.Add(entry);
    if (kept.Count() != indexFiles_.Count()) {
        auto notify = std::move(indexFiles_.OnChange);
        indexFiles_.OnChange = nullptr;
        indexFiles_.Assign(kept);
        indexFiles_.OnChange = std::move(notify);
    }
    const bool wasCurrent = cursor_->CurrentTag() != nullptr;
    cursor_->DeleteIndexFile(path);
    if (wasCurrent && !cursor_->CurrentTag()) {
        indexName_.clear();
        if (Active()) First();
    }
}

std::vector<TNorvaneDataSet::TagDefinition> TNorvaneDataSet::FileTags(const std::string& fileName) {
    CheckActive();
    std::vector<TagDefinition> tags;
    const int slot = cursor_->FindIndexFile(fileName);
    NVobjIndexFile* file = slot ? cursor_->IndexFileCore(slot) : nullptr;
    if (!file) return tags;
    for (int i = 0; i < file->TagCount(); ++i) {
        const NVobjIndexTag& tag = *file->TagByNumber(i);
        // The expression as it was written; the compiled one is rebuilt without blanks.
        std::string expression = tag.keyExpression.empty() ? tag.KeyExpressionText() : tag.keyExpression;
        tags.push_back({tag.tagName, Trim(expression), Trim(tag.forExpression), tag.unique, !tag.ascending});
    }
    return tags;
}

namespace {

// The field a key expression orders by when it is nothing but one field, perhaps inside
// UPPER() and after an alias; empty otherwise. `text` is upper-cased without blanks.
std::string SoleField(std::string text, const std::string& alias) {
    if (text.size() > 7 && text.compare(0, 6, "UPPER(") == 0 && text.back() == ')')
        text = text.substr(6, text.size() - 7);
    for (const std::string_view arrow : {std::string_view("->"), std::string_view(".")}) {
        const size_t at = text.find(arrow);
        if (at == std::string::npos) continue;
        if (text.compare(0, at, alias) != 0) return {};
        text = text.substr(at + arrow.size());
        break;
    }
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return {};
    return text;
}

std::string Squeezed(const std::string& text) {
    std::string out;
    for (char c : AnsiUpperCase(text))
        if (c != ' ' && c != '\t') out += c;
    return out;
}

}  // namespace

std::string TNorvaneDataSet::TagOrderingBy(const std::string& fieldName) {
    CheckActive();
    const std::string wanted = Squeezed(fieldName);
    const std::string alias = Squeezed(cursor_->Alias());
    for (int n = 1; NVobjIndexTag* tag = cursor_->TagByOrdinal(n); ++n) {
        if (tag->unique || !Trim(tag->forExpression).empty()) continue;
        const std::string expression = tag->keyExpression.empty() ? tag->KeyExpressionText() : tag->keyExpression;
        if (!wanted.empty() && SoleField(Squeezed(expression), alias) == wanted) return tag->tagName;
    }
    return {};
}

int TNorvaneDataSet::HasChanged() {
    CheckActive();
    return cursor_->TableChanged();
}

int TNorvaneDataSet::TagCount() {
    CheckActive();
    int count = 0;
    for (int slot = 1; slot <= NVO_dBHandler::kIndexSlots; ++slot)
        if (NVobjIndexFile* file = cursor_->IndexFileCore(slot)) count += file->TagCount();
    return count;
}

std::string TNorvaneDataSet::TagName(int position) {
    CheckActive();
    NVobjIndexTag* tag = cursor_->TagByOrdinal(position);
    return tag ? tag->tagName : std::string();
}

std::string TNorvaneDataSet::TagExpression(int position) {
    CheckActive();
    NVobjIndexTag* tag = cursor_->TagByOrdinal(position);
    return tag ? tag->KeyExpressionText() : std::string();
}

int TNorvaneDataSet::CurrentTagPosition() {
    CheckActive();
    NVobjIndexTag* current = cursor_->CurrentTag();
    if (!current) return 0;
    for (int n = 1; NVobjIndexTag* tag = cursor_->TagByOrdinal(n); ++n)
        if (SameText(tag->tagName, current->tagName)) return n;
    return 0;
}

std::string TNorvaneDataSet::KeyValue(int position) {
    CheckActive();
    TRecordBuffer record = ServingBuffer();
    if (!record) return {};
    PointerGuard guard(*this, record);
    TnvVariant value;
    if (!cursor_->TagKeyValue(position, value)) return {};
    std::string text = value.AsString();
    TranslateBytes(reinterpret_cast<uint8_t*>(text.data()), text.size(), false);
    return text;
}

void TNorvaneDataSet::UpdateIndexDefs() {
    if (!cursor_) return;
    updatingIndexDefs_ = true;
    try {
        indexDefs_.Clear();
        for (int n = 1; n <= TagCount(); ++n) {
            std::string expression = TagExpression(n);
            if (expression.find('(') != std::string::npos) {
                indexDefs_.Add(TagName(n), expression, {ixExpression});
                continue;
            }
            std::string fields;
            for (char c : expression) {
                if (c == '+' || c == '-')
                    fields += ';';
                else if (c != ' ')
                    fields += c;
            }
            indexDefs_.Add(TagName(n), fields, {});
        }
    } catch (...) {
        updatingIndexDefs_ = false;
        throw;
    }
    updatingIndexDefs_ = false;
    indexDefs_.SetUpdated(true);
}
