#include "nv6_dbsy.h"

#include <algorithm>
#include <cstring>

#include "nv6_bld.h"
#include "nv6_bytes.h"
#include "nv6_dbex.h"
#include "nv6_encrxm.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_os.h"
#include "nv6_sql.h"
#include "nv6_sqlt.h"

namespace {

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtensionOf(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return path.substr(dot);
}

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A table name in `dir` that is not taken, for a copy or for old files moved aside.
std::string FreeTableName(const std::string& dir) {
    for (;;) {
        std::string name = dir + LowerAscii(UniqueName()) + ".dbf";
        if (!NvOS().Exists(name)) return name;
    }
}

// The filter test of a filter given as text.
class ExpressionFilter : public TnvRecordFilter {
public:
    explicit ExpressionFilter(TnvExpHandler& handler) : handler_(handler) {}
    bool Accepts(NVO_dBHandler&) override {
        TnvValue value;
        handler_.Evaluate(value);
        return value.IsBoolean() && value.AsBoolean();
    }

private:
    TnvExpHandler& handler_;
};

std::string TrimmedText(std::string_view text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return std::string();
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace

// ---- index file interface ----

void NVO_IndexFile::SetLockProtocol(TnvLokProtocol protocol) {
    NvSetIndexLockRange(protocol, lockRange_);
}

void NVO_IndexFile::LockIndex() {
    if (NVO_DiskFile* file = DiskFile()) NvLockIndexFile(*file, lockRange_);
}

void NVO_IndexFile::UnlockIndex() {
    NVO_DiskFile* file = DiskFile();
    if (file && file->Shared() && file->LockHolds() > 0) file->Unlock();
}

// ---- construction ----

NVO_dBHandler::NVO_dBHandler(const std::string& fileName, bool shared, bool readWrite,
                             const std::string& password)
    : NVO_dBaseFld(fileName, shared, readWrite, password) {
    expTable_ = std::make_unique<NVO_dBExpTable>(*this);
    indexTable_ = std::make_unique<NVO_dBIndexTable>(*this);
    link_ = NvBuildTableLink(*expTable_);
}

NVO_dBHandler::~NVO_dBHandler() {
    filter_.reset();
    filterExpression_.reset();
    filterSet_.reset();
    for (auto& slot : indexFiles_) slot.reset();
    link_.reset();
    indexTable_.reset();
    expTable_.reset();
    readAhead_.clear();
}

TnvExpTable& NVO_dBHandler::ExpressionTable() { return *expTable_; }

std::unique_ptr<TnvIndexExpression> NVO_dBHandler::CompileExpression(std::string_view text, int16_t options) {
    return std::make_unique<NVO_dBIndexExpression>(*link_, text, options);
}

void NVO_dBHandler::SetIndexFile(int slot, std::unique_ptr<NVO_IndexFile> file) {
    if (slot < 1 || slot > kIndexSlots) return;
    if (file) file->SetLockProtocol(LockProtocol());
    indexFiles_[static_cast<std::size_t>(slot - 1)] = std::move(file);
}

NVO_IndexFile* NVO_dBHandler::IndexFile(int slot) const {
    if (slot < 1 || slot > kIndexSlots) return nullptr;
    return indexFiles_[static_cast<std::size_t>(slot - 1)].get();
}

// ---- positioning ----

bool NVO_dBHandler::RecordAccepted() {
    if (!FilterActive()) return true;
    return filterSet_ && filterSet_->Test(CurrentRecord());
}

bool NVO_dBHandler::FilterStep(int32_t code, int32_t& record) {
    const TnvHugeSet& set = *filterSet_;
    int32_t count = RecordCount();
    if (set.Highest() < 1) {
        SetEof(true);
        SetBof(true);
        return false;
    }
    bool up = code == -3 || code == -1;
    int32_t found = -1;
    int32_t current = CurrentRecord();
    switch (code) {
        case -3:
            found = set.NextSet(1);
            break;
        case -4:
            found = set.PriorSet(std::min(set.Highest(), count));
            break;
        case -1:
            found = set.NextSet(current + 1);
            break;
        case -2:
            found = current > 1 ? set.PriorSet(std::min(current - 1, count)) : -1;
            break;
        default:
            break;
    }
    // Bits may remain for records that no longer exist (a set filled before a zap).
    if (found > count) found = -1;
    if (found < 1) {
        if (up)
            SetEof(true);
        else
            SetBof(true);
        return false;
    }
    record = found;
    return true;
}

void NVO_dBHandler::Go(int32_t target) {
    if (State() != TnvDBFState::Normal) {
        NVO_dBaseFld::Go(target);
        return;
    }
    outOfOrder_ = false;
    positioned_ = false;
    SetEof(false);
    SetBof(false);
    int32_t step = (target == -5 || target == -3) ? -1 : (target == -4 ? -2 : target);
    int32_t code = target;
    bool accepted = false;
    do {
        int32_t read = code;
        bool bySet = FilterActive() && filterSet_ && code < 0 && code != -5;
        if (bySet && !FilterStep(code, read)) break;
        NVO_dBaseFld::Go(read);
        if (target == 0 || target > RecordCount()) {
            BlankRecord();
            return;
        }
        if (Eof() || Bof()) break;
        if (code < 0)
            accepted = (RecordPointer()[0] == ' ' || ShowDeleted()) && RecordAccepted();
        else
            accepted = true;
        code = step;
    } while (!accepted);
    positioned_ = !Eof() && !Bof();
    if (FilterActive() && filterSet_ && target > 0 && positioned_ && !outOfOrder_)
        outOfOrder_ = !filterSet_->Test(CurrentRecord());
}

void NVO_dBHandler::Skip(int32_t n) {
    if (n == 0) {
        Go(-5);
        return;
    }
    int32_t steps = n > 0 ? n : -n;
    if (filterRequested_ || !ShowDeleted()) {
        for (int32_t i = 0; i < steps; ++i) {
            Go(n > 0 ? -1 : -2);
            if (Eof() || Bof()) break;
        }
        return;
    }
    int32_t count = RecordCount();
    if (count == 0) {
        Go(-3);
        return;
    }
    int64_t target = int64_t(CurrentRecord()) + n;
    bool limited = target > count || target < 1;
    target = std::clamp<int64_t>(target, 1, count);
    Go(static_cast<int32_t>(target));
    if (limited) {
        if (n > 0)
            SetEof(true);
        else
            SetBof(true);
        positioned_ = false;
    }
}

// ---- read-ahead ----

void NVO_dBHandler::SetReadAhead(bool on) {
    if (!readAheadAllowed_) on = false;
    if (on == readAheadOn_) return;
    readAheadOn_ = on;
    DropWindow();
    if (on) {
        int64_t r = std::max(1, RecordLength());
        int64_t records = std::max<int64_t>(1, kReadAheadBytes / r);
        readAhead_.assign(static_cast<std::size_t>(records * r), 0);
    } else {
        std::vector<uint8_t>().swap(readAhead_);
    }
}

void NVO_dBHandler::AllowReadAhead(bool value) {
    readAheadAllowed_ = value;
    if (!value) SetReadAhead(false);
}

int64_t NVO_dBHandler::ReadAt(int64_t offset, void* buffer, int64_t length) {
    int64_t size = static_cast<int64_t>(readAhead_.size());
    if (!readAheadOn_ || offset < HeaderLength() || length <= 0 || length > size)
        return NVO_dBaseFld::ReadAt(offset, buffer, length);
    if (windowStart_ < 0 || offset < windowStart_ || offset + length > windowEnd_) {
        DropWindow();
        int64_t got = NVO_dBaseFld::ReadAt(offset, readAhead_.data(), size);
        windowStart_ = offset;
        windowEnd_ = offset + std::max<int64_t>(got, 0);
    }
    if (offset >= windowEnd_) return 0;
    int64_t n = std::min(length, windowEnd_ - offset);
    std::memcpy(buffer, readAhead_.data() + (offset - windowStart_), static_cast<std::size_t>(n));
    return n;
}

void NVO_dBHandler::WriteAt(int64_t offset, const void* buffer, int64_t length) {
    NVO_dBaseFld::WriteAt(offset, buffer, length);
    if (!readAheadOn_ || windowStart_ < 0 || length <= 0) return;
    int64_t from = std::max(offset, windowStart_);
    int64_t to = std::min(offset + length, windowEnd_);
    if (from >= to) return;
    std::memcpy(readAhead_.data() + (from - windowStart_),
                static_cast<const uint8_t*>(buffer) + (from - offset),
                static_cast<std::size_t>(to - from));
}

bool NVO_dBHandler::LockRecord() {
    bool locked = NVO_dBaseFld::LockRecord();
    // What the window holds may predate another program's last write of this record, and an
    // edit must start from what the file holds now.
    if (locked && Shared()) {
        DropWindow();
        if (!RecordModified() && CurrentRecord() > 0 && CurrentRecord() <= RecordCount())
            NVO_dBaseFld::Go(CurrentRecord());
    }
    return locked;
}

// ---- writing ----

bool NVO_dBHandler::LockIndexes() {
    for (int i = 0; i < kIndexSlots; ++i) {
        NVO_IndexFile* index = indexFiles_[static_cast<std::size_t>(i)].get();
        if (!index || !index->DiskFile()) continue;
        try {
            index->LockIndex();
        } catch (const Exception&) {
            for (int j = 0; j < i; ++j) {
                NVO_IndexFile* locked = indexFiles_[static_cast<std::size_t>(j)].get();
                if (!locked || !locked->DiskFile()) continue;
                try {
                    locked->UnlockIndex();
                } catch (const Exception&) {
                }
            }
            NvRaise(TnvMsg::CouldNotLockIndexes, {FileName()});
        }
    }
    return true;
}

void NVO_dBHandler::UnlockIndexes() {
    for (auto& index : indexFiles_)
        if (index && index->DiskFile()) index->UnlockIndex();
}

void NVO_dBHandler::Append() {
    LockIndexes();
    try {
        NVO_dBaseFld::Append();
    } catch (...) {
        UnlockIndexes();
        throw;
    }
    UnlockIndexes();
}

void NVO_dBHandler::WriteRecord(int32_t n) {
    outOfOrder_ = false;
    LockIndexes();
    try {
        NVO_dBaseFld::WriteRecord(n);
    } catch (...) {
        UnlockIndexes();
        throw;
    }
    UnlockIndexes();
}

void NVO_dBHandler::Notify(int code, int32_t value) {
    if (code == nvnotify::kAfterWrite) {
        int32_t record = CurrentRecord();
        if (filter_ && filterSet_ && record > 0)
            filterSet_->Change(record, filter_->Accepts(*this) ? 1 : 0);
        for (auto& index : indexFiles_)
            if (index) index->RecordChanged(record, value == 0);
        if (FilterActive() && filterSet_ && !outOfOrder_ && record > 0)
            outOfOrder_ = !filterSet_->Test(record);
    } else if (code == nvnotify::kAfterFlush) {
        for (auto& index : indexFiles_)
            if (index && index->DiskFile()) index->DiskFile()->Flush();
    }
    NVO_dBaseFld::Notify(code, value);
}

void NVO_dBHandler::SetLockProtocol(TnvLokProtocol protocol) {
    NVO_dBaseFld::SetLockProtocol(protocol);
    for (auto& index : indexFiles_)
        if (index) index->SetLockProtocol(protocol);
}

void NVO_dBHandler::Rename(std::string_view newName) {
    std::string oldBase = LowerAscii(BaseName(FileName()));
    NVO_dBaseFld::Rename(newName);
    std::string dir = DirectoryOf(FileName());
    std::string newBase = BaseName(FileName());
    for (auto& index : indexFiles_) {
        NVO_DiskFile* file = index ? index->DiskFile() : nullptr;
        if (!file || LowerAscii(BaseName(file->FileName())) != oldBase) continue;
        file->Rename(dir + newBase + ExtensionOf(file->FileName()));
    }
}

// ---- filter plumbing ----

void NVO_dBHandler::SetFilter(std::unique_ptr<TnvRecordFilter> filter) {
    filterExpression_.reset();
    filterText_.clear();
    filter_ = std::move(filter);
    filterRequested_ = filter_ != nullptr;
    if (!filter_) return;
    FillFilterSet();
}

void NVO_dBHandler::SetFilter(std::string_view expression, bool caseInsensitive, bool wildcards) {
    bool requested = filterRequested_;
    filter_.reset();
    if (!filterSet_) filterSet_ = std::make_unique<TnvHugeSet>();
    std::string text = TrimmedText(expression);
    if (text.empty()) {
        filterExpression_.reset();
        filterText_.clear();
        filterSet_->ClearAll();
        SetFiltered(requested);
        return;
    }
    if (!filterExpression_) filterExpression_ = std::make_unique<TnvExpHandler>(link_.get());
    filterText_ = std::string(expression);
    filterSet_->ClearAll();
    filterExpression_->SetCaseInsensitive(caseInsensitive);
    filterExpression_->SetWildcards(wildcards);
    try {
        filterExpression_->SetExpression(text);
        TnvValue probe;
        filterExpression_->Evaluate(probe);
        if (filterExpression_->ResultType() != nvtBoolean) NvRaisePlain(TnvMsg::FilterMustBeBoolean);
    } catch (...) {
        // The text stays for the caller to show and correct; nothing filters meanwhile.
        filterExpression_.reset();
        filterRequested_ = requested;
        throw;
    }
    if (filterExpression_->OperandCount() > 0) {
        filter_ = std::make_unique<ExpressionFilter>(*filterExpression_);
        FillFilterSet();
    }
    SetFiltered(requested);
}

void NVO_dBHandler::SetFiltered(bool on) { filterRequested_ = on; }

void NVO_dBHandler::Refilter() {
    if (!FilterActive()) return;
    FillFilterSet();
}

void NVO_dBHandler::FillFilterSet() {
    if (!filterSet_) filterSet_ = std::make_unique<TnvHugeSet>();
    filterSet_->ClearAll();
    if (!filter_) return;
    // Every record is read, deleted or not; afterwards the cursor stands where it stood,
    // with an unsaved record image kept as it was.
    struct Restore {
        NVO_dBHandler& cursor;
        int32_t current;
        bool eof, bof, modified, readAhead;
        std::vector<uint8_t> image;
        ~Restore() {
            cursor.SetReadAhead(false);
            cursor.SetReadAhead(readAhead);
            try {
                if (current > 0 && current <= cursor.RecordCount()) cursor.NVO_dBaseFld::Go(current);
            } catch (...) {
            }
            std::memcpy(cursor.RecordPointer(), image.data(), image.size());
            cursor.SetCurrentRecord(current);
            cursor.SetEof(eof);
            cursor.SetBof(bof);
            cursor.SetRecordModified(modified);
        }
    } restore{*this, CurrentRecord(), Eof(), Bof(), RecordModified(), readAheadOn_,
              std::vector<uint8_t>(RecordPointer(), RecordPointer() + RecordLength())};
    SetReadAhead(true);
    for (int32_t n = 1; n <= RecordCount(); ++n) {
        NVO_dBaseFld::Go(n);
        filterSet_->Change(n, filter_->Accepts(*this) ? 1 : 0);
    }
}

// ---- whole-table operations ----

void NVO_dBHandler::CopyStructure(const std::string& newName) {
    std::unique_ptr<NVO_DBFBuild> build;
    switch (Version()) {
        case nvdbf::kVerDb4Memo:
            build = std::make_unique<NVO_DB4Build>(newName);
            break;
        case nvdbf::kVerFoxMemo:
            build = std::make_unique<NVO_DBFoxBuild>(newName);
            break;
        case nvdbf::kVerVfp:
            // No builder writes this format: its header is copied as it stands.
            CopyVfpStructure(newName);
            return;
        default:
            build = std::make_unique<NVO_DBFBuild>(newName);
            break;
    }
    build->SetCreateEnabled(true);
    for (int i = 1; i <= FieldCount(); ++i)
        build->AddField(FieldName(i), std::string(1, FieldType(i)), FieldLength(i),
                        FieldDecimals(i));
    if (build->RecordLength() != RecordLength())
        NvRaise(TnvMsg::CopyLayoutDiffers, {FileName()});
    build->Build();
    if (NVO_DiskFile* table = build->TableFile())
        table->WriteAt(28, Header().bytes.data() + 28, 2);
}

void NVO_dBHandler::CopyVfpStructure(const std::string& newName) {
    const int h = HeaderLength();
    std::vector<uint8_t> header(static_cast<std::size_t>(h));
    if (NVO_dBaseFld::ReadAt(0, header.data(), h) < h) NvRaise(TnvMsg::ReadError, {FileName()});
    const int area = nvdbf::DescriptorAreaLength(Version(), h);
    uint8_t* descriptors = header.data() + nvdbf::kHeaderSize;
    if (Enciphered()) DecipherInPlace(ReadPassword(), descriptors, static_cast<std::size_t>(area));
    for (int i = 0; i < FieldCount(); ++i) {
        if ((i + 1) * nvdbf::kDescriptorSize > area) break;
        const auto& d = Descriptor(i).bytes;
        std::copy(d.begin(), d.end(), descriptors + i * nvdbf::kDescriptorSize);
    }
    nvbytes::StoreLE32(header.data() + 4, 0);
    header[15] = 0;
    const std::string path = DefaultExt(newName, ".DBF");
    {
        NVO_DiskFile table(path, false, true);
        table.CreateNew();
        table.WriteAt(0, header.data(), h);
        const uint8_t end = nvdbf::kEndOfFile;
        table.WriteAt(h, &end, 1);
        table.Close();
    }
    NVobjMemoBase* memo = HasMemo() ? MemoFile() : nullptr;
    if (!memo) return;
    // An empty memo file of the same block size: the next free block follows the 512 bytes
    // of the header.
    const uint32_t blockSize = memo->BlockSize();
    std::vector<uint8_t> memoHeader(512, 0);
    nvbytes::StoreBE32(memoHeader.data(), (512 + blockSize - 1) / blockSize);
    nvbytes::StoreBE16(memoHeader.data() + 6, static_cast<uint16_t>(blockSize));
    NVO_DiskFile memoFile(NVobjMemoBase::MemoFileName(path, Version()), false, true);
    memoFile.CreateNew();
    memoFile.WriteAt(0, memoHeader.data(), static_cast<int64_t>(memoHeader.size()));
    memoFile.Close();
}

void NVO_dBHandler::CopyRecordsTo(NVO_dBHandler& target, bool keepDeleted) {
    NVobjMemoBase* source = nullptr;
    NVobjMemoBase* dest = nullptr;
    bool memoFields = false;
    for (int i = 1; i <= FieldCount(); ++i) memoFields = memoFields || IsMemoField(i);
    const int length = RecordLength();
    Go(-3);
    while (!Eof() && !Bof()) {
        StatusUpdate(6, CurrentRecord(), 0);
        std::memcpy(target.RecordPointer(), RecordPointer(), static_cast<std::size_t>(length));
        uint8_t flag = RecordPointer()[0];
        for (int i = 1; memoFields && i <= FieldCount(); ++i) {
            if (!IsMemoField(i)) continue;
            long double stored = GetNumber(i);
            if (!(stored > 0)) continue;
            if (!source) source = MemoFile();
            if (!dest) dest = target.MemoFile();
            if (!source || !dest) break;
            std::string text = source->ReadValue(static_cast<uint32_t>(stored));
            uint32_t block = dest->WriteValue(text, 0);
            target.SetNumber(i, block);
        }
        target.Append();
        if (keepDeleted && flag != ' ') {
            target.RecordPointer()[0] = flag;
            target.WriteRecord(target.CurrentRecord());
        }
        Go(-1);
    }
}

void NVO_dBHandler::CopyTable(const std::string& newName, const std::string& password) {
    NvLockFileRetry(*this, "CopyFile");
    int32_t remembered = CurrentRecord();
    try {
        ReadHeader();
        StatusUpdate(-1, 6, RecordCount());
        CopyStructure(newName);
        {
            NVO_dBHandler target(newName, false, true, "");
            if (!password.empty()) target.SetPasswordOfEmptyTable(password);
            NvLockFileRetry(target, "CopyFile");
            CopyRecordsTo(target, false);
            target.Unlock();
        }
        StatusUpdate(0, 0, 0);
        Go(remembered);
    } catch (...) {
        StatusUpdate(0, 0, 0);
        Unlock();
        throw;
    }
    Unlock();
}

void NVO_dBHandler::ReplaceByCopy(const std::string& password, bool keepDeleted) {
    const std::string table = FileName();
    const std::string dir = DirectoryOf(table);
    const std::string temp = FreeTableName(dir);
    const std::string tempMemo = HasMemo() ? NVobjMemoBase::MemoFileName(temp, Version()) : "";
    auto removeTemp = [&] {
        NvOS().Unlink(temp);
        if (!tempMemo.empty()) NvOS().Unlink(tempMemo);
    };
    try {
        if (keepDeleted) {
            NvLockFileRetry(*this, "CopyFile");
            try {
                CopyStructure(temp);
                NVO_dBHandler target(temp, false, true, "");
                if (!password.empty()) target.SetPasswordOfEmptyTable(password);
                CopyRecordsTo(target, true);
            } catch (...) {
                Unlock();
                throw;
            }
            Unlock();
        } else {
            CopyTable(temp, password);
        }
    } catch (...) {
        removeTemp();
        throw;
    }

    // Old files go aside under a name of their own (a complete table with its memo), the
    // copy moves into place, and only then are the old files removed: a crash at any point
    // leaves one complete table on disk.
    const std::string memo = HasMemo() ? NVobjMemoBase::MemoFileName(table, Version()) : "";
    const bool memoExists = !memo.empty() && NvOS().Exists(memo);
    const std::string asideTable = FreeTableName(dir);
    const std::string asideMemo =
        HasMemo() ? NVobjMemoBase::MemoFileName(asideTable, Version()) : "";
    CloseMemoObject();
    Close();
    std::vector<std::pair<std::string, std::string>> moved;
    auto move = [&](const std::string& from, const std::string& to) {
        if (!NvOS().RenameNoReplace(from, to)) NvRaise(TnvMsg::RenameError, {from});
        moved.emplace_back(from, to);
    };
    try {
        move(table, asideTable);
        if (memoExists) move(memo, asideMemo);
        if (memoExists) move(tempMemo, memo);
        move(temp, table);
    } catch (...) {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            NvOS().RenameNoReplace(it->second, it->first);
        removeTemp();
        try {
            ReopenReplacedFile();
        } catch (const Exception&) {
        }
        throw;
    }
    NvOS().Unlink(asideTable);
    if (memoExists) NvOS().Unlink(asideMemo);
    if (!memoExists && !tempMemo.empty()) NvOS().Unlink(tempMemo);
    ReopenReplacedFile();
}

void NVO_dBHandler::Pack() {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"Pack", FileName()});
    bool readAhead = readAheadOn_;
    bool filter = filterRequested_;
    bool showDeleted = ShowDeleted();
    SetShowDeleted(false);
    filterRequested_ = false;
    SetReadAhead(false);
    SetReadAhead(true);
    auto restore = [&] {
        SetReadAhead(false);
        SetReadAhead(readAhead);
        filterRequested_ = filter;
        SetShowDeleted(showDeleted);
    };
    try {
        ReplaceByCopy(ReadPassword(), false);
    } catch (...) {
        restore();
        throw;
    }
    StatusUpdate(0, 0, 0);
    // The record numbers changed: a filter set built before no longer fits.
    FillFilterSet();
    for (auto& index : indexFiles_)
        if (index) index->Reindex();
    restore();
    Go(-3);
}

void NVO_dBHandler::Zap() {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"Zap", FileName()});
    SetReadAhead(false);
    bool readAhead = readAheadOn_;
    TruncateRecords();
    if (HasMemo()) {
        if (NVobjMemoBase* memo = MemoFile()) memo->Zap();
        CloseMemoObject();
    }
    if (filterSet_) filterSet_->ClearAll();
    SetReadAhead(readAhead);
    Go(-3);
    for (auto& index : indexFiles_)
        if (index) index->Reindex();
}

void NVO_dBHandler::SetPassword(const std::string& password) {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"SetPassword", FileName()});
    if (Enciphered() && password == ReadPassword()) return;
    if (!Enciphered() && password.empty()) return;
    std::string old = Enciphered() ? ReadPassword() : std::string();
    int32_t remembered = CurrentRecord();
    // Even an empty table goes through a copy: its descriptors and header change together
    // only by replacing the file.
    bool showDeleted = ShowDeleted();
    bool filter = filterRequested_;
    SetShowDeleted(true);
    filterRequested_ = false;
    try {
        ReplaceByCopy(password, true);
    } catch (...) {
        SetShowDeleted(showDeleted);
        filterRequested_ = filter;
        throw;
    }
    SetShowDeleted(showDeleted);
    filterRequested_ = filter;
    AdoptPassword(password);
    for (auto& index : indexFiles_)
        if (index) index->Recrypt(old, password);
    Go(remembered);
}
