#include "nv6_dbsy.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <initializer_list>

#include "nv6_bld.h"
#include "nv6_bytes.h"
#include "nv6_date.h"
#include "nv6_dbex.h"
#include "nv6_encrxm.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"
#include "nv6_ixop.h"
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

// Scratch names in one directory for the files of a copy and for old files moved aside:
// each name is free on disk (also with the companion extensions given) and not handed out
// before, as names picked in one go need not exist yet.
// Free names for the files of a copy-and-swap: "STEM.KIND-UNIQUE.EXT" beside the file they
// stand for, so that whatever a crash leaves sits next to that file in a listing and says
// what it is.
class ScratchNames {
public:
    std::string Take(const std::string& beside, std::string_view kind, std::string_view ext,
                     std::initializer_list<std::string_view> companions = {}) {
        const std::string stem = beside.substr(0, beside.size() - ExtensionOf(beside).size());
        for (;;) {
            const std::string base = stem + "." + std::string(kind) + "-" + LowerAscii(UniqueName());
            bool free = std::find(taken_.begin(), taken_.end(), base) == taken_.end() &&
                        !NvOS().Exists(base + std::string(ext));
            for (std::string_view companion : companions) free = free && !NvOS().Exists(base + std::string(companion));
            if (!free) continue;
            taken_.push_back(base);
            return base + std::string(ext);
        }
    }

private:
    std::vector<std::string> taken_;
};

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

// The cursor holds the index locks while it positions and searches in an order, so that no
// other program changes a tag under the walk: on a shared table, and under the ClipLock
// protocol always. On a shared table the tags first read again the pages another program
// may have changed since.
class ClipScope {
public:
    ClipScope(NVO_dBHandler& cursor, bool when)
        : cursor_(cursor), on_(when && (cursor.Shared() || cursor.LockProtocol() == TnvLokProtocol::ClipLock)) {
        if (!on_) return;
        cursor_.LockIndexes();
        try {
            for (int slot = 1; slot <= NVO_dBHandler::kIndexSlots; ++slot)
                if (NVobjIndexFile* file = cursor_.IndexFileCore(slot)) file->RefreshShared();
        } catch (...) {
            cursor_.UnlockIndexes();
            throw;
        }
    }
    ~ClipScope() {
        if (!on_) return;
        try {
            cursor_.UnlockIndexes();
        } catch (const Exception&) {
            // The operation's own result or error matters more than a failed unlock.
        }
    }
    ClipScope(const ClipScope&) = delete;
    ClipScope& operator=(const ClipScope&) = delete;

private:
    NVO_dBHandler& cursor_;
    bool on_;
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

// ---- index core files in slots ----

NVO_CoreIndexFile::NVO_CoreIndexFile(std::unique_ptr<NVobjIndexFile> file) : file_(std::move(file)) {
    if (file_) NVO_IndexFile::SetLockProtocol(file_->lockProtocol);
}

NVO_CoreIndexFile::~NVO_CoreIndexFile() {
    try {
        ReleasePages();
    } catch (...) {
        // Nothing can be reported from here; CloseIndex and CloseIndexes release first.
    }
}

NVO_DiskFile* NVO_CoreIndexFile::DiskFile() { return file_ ? file_->diskFile.get() : nullptr; }

void NVO_CoreIndexFile::RecordChanged(int32_t record, bool appending) {
    if (file_) file_->RecordChanged(record, appending);
}

void NVO_CoreIndexFile::Reindex() {
    if (!file_) return;
    ReleasePages();
    file_->Reindex();
}

void NVO_CoreIndexFile::SetLockProtocol(TnvLokProtocol protocol) {
    NVO_IndexFile::SetLockProtocol(protocol);
    if (file_) file_->SetLockProtocol(protocol);
}

void NVO_CoreIndexFile::ReleasePages() {
    if (!file_) return;
    for (int i = 0; i < file_->TagCount(); ++i) file_->TagByNumber(i)->PageRelease();
}

// ---- construction ----

NVO_dBHandler::NVO_dBHandler(const std::string& fileName, bool shared, bool readWrite,
                             const std::string& password)
    : NVO_dBaseFld(fileName, shared, readWrite, password) {
    expTable_ = std::make_unique<NVO_dBExpTable>(*this);
    indexTable_ = std::make_unique<NVO_dBIndexTable>(*this);
    link_ = NvBuildTableLink(*expTable_);
    SetCodePages(nvlocale::ChoosePages(Header().bytes[29]));
}

void NVO_dBHandler::SetCodePages(const nvlocale::TnvPageChoice& pages) {
    pages_ = pages;
    link_->textPage = &pages_.Stored();
}

std::string NVO_dBHandler::UpperText(std::string_view text) const { return link_->UpperCase(text); }

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
    return std::make_unique<NVO_dBIndexExpression>(*link_, text, options, this);
}

void NVO_dBHandler::SetIndexFile(int slot, std::unique_ptr<NVO_IndexFile> file) {
    if (slot < 1 || slot > kIndexSlots) return;
    // The current tag must not outlive the file it belongs to.
    NVobjIndexFile* replaced = IndexFileCore(slot);
    if (currentTag_ && replaced && currentTag_->File() == replaced) SetOrder("", true);
    if (file) file->SetLockProtocol(LockProtocol());
    indexFiles_[static_cast<std::size_t>(slot - 1)] = std::move(file);
    CountSlots();
}

void NVO_dBHandler::CountSlots() {
    slotsInUse_ = kIndexSlots;
    while (slotsInUse_ > 0 && !indexFiles_[static_cast<std::size_t>(slotsInUse_ - 1)]) --slotsInUse_;
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

bool NVO_dBHandler::TagStep(int32_t code, int32_t step, int32_t& record) {
    NVobjIndexTag* tag = currentTag_;
    int32_t r = tag->TagMove(code);
    SetEof(tag->AtEOF());
    SetBof(tag->AtBOF());
    // The filter set answers for each record the tag yields; no record is read for it.
    while (r > 0 && !Eof() && !Bof() && FilterActive() && filterSet_ && !filterSet_->Test(r)) {
        r = tag->TagMove(step);
        SetEof(tag->AtEOF());
        SetBof(tag->AtBOF());
    }
    if (Eof() || Bof()) return false;
    if (r < 1) {
        SetEof(true);
        return false;
    }
    record = TagRecord(*tag, r);
    return true;
}

int32_t NVO_dBHandler::TagRecord(const NVobjIndexTag& tag, int32_t record) {
    if (record > RecordCount()) {
        ReadHeader();
        if (record > RecordCount()) tag.RaiseCorrupt();
    }
    return record;
}

void NVO_dBHandler::Go(int32_t target) {
    if (State() != TnvDBFState::Normal) {
        NVO_dBaseFld::Go(target);
        return;
    }
    ClipScope clip(*this, currentTag_ != nullptr);
    outOfOrder_ = false;
    positioned_ = false;
    SetEof(false);
    SetBof(false);
    const bool readAhead = readAheadOn_;
    int32_t step = (target == -5 || target == -3) ? -1 : (target == -4 ? -2 : target);
    int32_t code = target;
    bool accepted = false;
    bool byTag = false;
    do {
        int32_t read = code;
        if (currentTag_ && code < 0) {
            if (readAheadOn_) SetReadAhead(false);
            if (!TagStep(code, step, read)) break;
            byTag = true;
        } else {
            bool bySet = FilterActive() && filterSet_ && code < 0 && code != -5;
            if (bySet && !FilterStep(code, read)) break;
        }
        NVO_dBaseFld::Go(read);
        if (target == 0 || target > RecordCount()) {
            BlankRecord();
            if (readAhead != readAheadOn_) SetReadAhead(readAhead);
            return;
        }
        if (Eof() || Bof()) break;
        if (code < 0)
            accepted = (RecordPointer()[0] == ' ' || ShowDeleted()) && RecordAccepted();
        else
            accepted = true;
        code = step;
    } while (!accepted);
    if (readAhead != readAheadOn_) SetReadAhead(readAhead);
    positioned_ = !Eof() && !Bof();
    if (currentTag_ && !byTag && positioned_) {
        int32_t record = CurrentRecord();
        outOfOrder_ = currentTag_->KeySync(record) != record;
    }
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
    if (currentTag_) {
        TagSkip(n);
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

void NVO_dBHandler::TagSkip(int32_t n) {
    ClipScope clip(*this, true);
    NVobjIndexTag* tag = currentTag_;
    const bool forward = n > 0;
    const int32_t steps = forward ? n : -n;
    // A chain dropped by a flush or a rebuild starts again from the cursor's record.
    int32_t current = CurrentRecord();
    if (!tag->Root() && current >= 1 && current <= RecordCount()) tag->KeySync(current);
    bool early = false;
    int32_t record = 0;
    for (int32_t i = 0; i < steps; ++i) {
        int32_t r = tag->TagMove(forward ? -1 : -2);
        if (r == 0) {
            record = tag->TagMove(forward ? -4 : -3);
            early = true;
            break;
        }
        record = r;
    }
    if (record == 0) {
        // Nothing in the order (an empty tag or an empty range).
        SetEof(true);
        SetBof(true);
        positioned_ = false;
        return;
    }
    TagRecord(*tag, record);
    // The tag already stands on the record: it is read by number, without a new search.
    currentTag_ = nullptr;
    try {
        Go(record);
    } catch (...) {
        currentTag_ = tag;
        throw;
    }
    currentTag_ = tag;
    if (early) {
        if (forward)
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
    for (int i = 0; i < slotsInUse_; ++i) {
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
    for (int i = 0; i < slotsInUse_; ++i)
        if (NVO_IndexFile* index = indexFiles_[static_cast<std::size_t>(i)].get(); index && index->DiskFile())
            index->UnlockIndex();
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
    std::exception_ptr error;
    if (code == nvnotify::kAfterWrite) {
        int32_t record = CurrentRecord();
        // The record is on disk: every index file must hear of it, whatever another one or
        // the filter makes of it. The first index error is raised once all were told.
        for (int i = 0; i < slotsInUse_; ++i) {
            NVO_IndexFile* index = indexFiles_[static_cast<std::size_t>(i)].get();
            if (!index) continue;
            try {
                index->RecordChanged(record, value == 0);
            } catch (...) {
                if (!error) error = std::current_exception();
            }
        }
        if (filter_ && filterSet_ && record > 0) {
            bool passes = false;
            try {
                passes = filter_->Accepts(*this);
            } catch (const Exception&) {
                // A record the filter cannot judge is not shown; the write itself stands.
                passes = false;
            }
            filterSet_->Change(record, passes ? 1 : 0);
        }
        if (currentTag_ && record > 0) {
            try {
                // The update changed pages of the current tag's open chain; they go to the
                // file now, while the write still holds the index locks, not at some later move.
                // A chain the update left on the record stays open, so KeySync finds it there.
                if (error)
                    currentTag_->PageRelease();
                else
                    currentTag_->FlushChain();
                int32_t at = currentTag_->KeySync(record);
                outOfOrder_ = at != record;
                if (!outOfOrder_) {
                    SetEof(currentTag_->AtEOF());
                    SetBof(currentTag_->AtBOF());
                }
            } catch (...) {
                if (!error) error = std::current_exception();
            }
        }
        if (FilterActive() && filterSet_ && !outOfOrder_ && record > 0)
            outOfOrder_ = !filterSet_->Test(record);
    } else if (code == nvnotify::kAfterFlush) {
        // A flush puts every page a tag holds on disk, not only the current tag's.
        for (auto& index : indexFiles_)
            if (index) index->ReleasePages();
        for (auto& index : indexFiles_)
            if (index && index->DiskFile()) index->DiskFile()->Flush();
        if (currentTag_) {
            currentTag_->TagReset(1);
            int32_t record = CurrentRecord();
            if (record >= 1 && record <= RecordCount()) outOfOrder_ = currentTag_->KeySync(record) != record;
        }
    }
    NVO_dBaseFld::Notify(code, value);
    if (error) std::rethrow_exception(error);
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
        // A core file keeps its own name part, which FindIndexFile compares.
        if (NVobjIndexFile* core = index->Core())
            core->Rename(dir + newBase + ExtensionOf(file->FileName()));
        else
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
    try {
        FillFilterSet();
    } catch (...) {
        DropFilter();
        throw;
    }
}

void NVO_dBHandler::DropFilter() {
    filter_.reset();
    filterExpression_.reset();
    if (filterSet_) filterSet_->ClearAll();
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
        if (filterExpression_->OperandCount() > 0) {
            filter_ = std::make_unique<ExpressionFilter>(*filterExpression_);
            FillFilterSet();
        }
    } catch (...) {
        // A set filled up to a failing record would show the records before it and hide
        // the rest: no filter at all instead. The text stays for the caller to correct.
        DropFilter();
        throw;
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
    filterStale_ = false;
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
            CopyExactStructure(newName, "", false, newName);
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

void NVO_dBHandler::CopyExactStructure(const std::string& newName, const std::string& password,
                                       bool descriptorsInMemory, const std::string& memoTable) {
    const int h = HeaderLength();
    std::vector<uint8_t> header(static_cast<std::size_t>(h));
    if (NVO_dBaseFld::ReadAt(0, header.data(), h) < h) NvRaise(TnvMsg::ReadError, {FileName()});
    const int area = std::max(nvdbf::DescriptorAreaLength(Version(), h), 0);
    uint8_t* descriptors = header.data() + nvdbf::kHeaderSize;
    if (Enciphered()) DecipherInPlace(ReadPassword(), descriptors, static_cast<std::size_t>(area));
    if (descriptorsInMemory) {
        // A password change writes the descriptors as the engine keeps them (with the
        // offsets and numbers it computed), as the whole area is enciphered anew anyway.
        for (int i = 0; i < FieldCount() && (i + 1) * nvdbf::kDescriptorSize <= area; ++i) {
            const auto& d = Descriptor(i).bytes;
            std::copy(d.begin(), d.end(), descriptors + i * nvdbf::kDescriptorSize);
        }
    }
    EncipherInPlace(password, descriptors, static_cast<std::size_t>(area));
    const nvlocale::LocalDateTime today = nvlocale::Now();
    header[1] = static_cast<uint8_t>(today.year % 100);
    header[2] = static_cast<uint8_t>(today.month);
    header[3] = static_cast<uint8_t>(today.day);
    nvbytes::StoreLE32(header.data() + 4, 0);
    header[15] = password.empty() ? 0 : 1;
    const std::string path = DefaultExt(newName, ".DBF");
    {
        NVO_DiskFile table(path, false, true);
        table.CreateNew();
        table.WriteAt(0, header.data(), h);
        const uint8_t end = nvdbf::kEndOfFile;
        table.WriteAt(h, &end, 1);
        table.Flush();
        table.Close();
    }
    const std::string memoPath = HasMemo() ? NVobjMemoBase::MemoFileName(FileName(), Version()) : "";
    if (memoPath.empty() || !NvOS().Exists(memoPath)) return;
    // An empty memo file of the same kind and block size: the source's header, emptied.
    NVobjMemoBase* memo = MemoFile();
    const int64_t headerBytes =
        std::min<int64_t>(memo->FileSize(), std::max<int64_t>(512, memo->BlockSize()));
    std::vector<uint8_t> memoHeader(static_cast<std::size_t>(std::max<int64_t>(headerBytes, 0)));
    if (memo->ReadAt(0, memoHeader.data(), headerBytes) < headerBytes) NvRaise(TnvMsg::ReadError, {memo->FileName()});
    const std::string newMemo = NVobjMemoBase::MemoFileName(path, Version());
    {
        NVO_DiskFile file(newMemo, false, true);
        file.CreateNew();
        file.WriteAt(0, memoHeader.data(), headerBytes);
        file.Close();
    }
    std::unique_ptr<NVobjMemoBase> copy = NVobjMemoBase::Create(path, Version(), false, true);
    copy->Zap();
    copy->SetTableName(memoTable);
    copy->Flush();
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

namespace {

// Writes `to` as a copy of the open file `from` with every 512-byte piece (the unit index
// pages are enciphered in) taken from `oldPassword` to `newPassword`.
void RekeyedCopy(NVO_DiskFile& from, const std::string& to, const std::string& oldPassword,
                 const std::string& newPassword) {
    NVO_DiskFile out(to, false, true);
    out.CreateNew();
    const int64_t size = from.FileSize();
    uint8_t piece[512];
    for (int64_t at = 0; at < size; at += int64_t(sizeof piece)) {
        const int64_t n = std::min<int64_t>(int64_t(sizeof piece), size - at);
        if (from.ReadAt(at, piece, n) != n) NvRaise(TnvMsg::ReadError, {from.FileName()});
        Recipher(oldPassword, newPassword, piece, static_cast<std::size_t>(n));
        out.WriteAt(at, piece, n);
    }
    out.Flush();
    out.Close();
}

}  // namespace

std::vector<std::string> NVO_dBHandler::ClosedIndexFiles(const std::vector<std::string>& given) {
    std::vector<std::string> closed;
    auto add = [&](const std::string& path) {
        if (FindIndexFile(path) != 0) return;
        for (const std::string& known : closed)
            if (LowerAscii(known) == LowerAscii(path)) return;
        closed.push_back(path);
    };
    for (const std::string& name : given) {
        if (TrimmedText(name).empty()) continue;
        const std::string path = ResolveIndexName(name);
        if (!NvOS().Exists(path)) NvRaise(TnvMsg::FileNotFound, {path});
        add(path);
    }
    // The production index belongs to the table whether it is open or not.
    for (const char* ext : {"cdx", "mdx"}) {
        const std::string path = NvFindFileNoCase(NvCompanionName(FileName(), ext));
        if (NvOS().Exists(path)) add(path);
    }
    return closed;
}

void NVO_dBHandler::ReplaceByCopy(const std::string& password, bool keepDeleted,
                                  const std::vector<std::string>* closedIndexes, bool packNames,
                                  bool noRecords) {
    const std::string table = FileName();
    const std::string dir = DirectoryOf(table);
    ScratchNames names;
    const std::string temp =
        packNames ? PackScratchName("tmp") : names.Take(table, "new", ".dbf", {".dbt", ".fpt"});
    const std::string tempMemo = HasMemo() ? NVobjMemoBase::MemoFileName(temp, Version()) : "";
    // Index files re-keyed along with the table: (the file, its re-keyed copy), the open
    // ones with their disk file.
    struct IndexCopy {
        std::string path;
        std::string copy;
        NVO_DiskFile* open;
    };
    std::vector<IndexCopy> indexes;
    auto removeTemp = [&] {
        if (!tempMemo.empty()) NvOS().Unlink(tempMemo);
        NvOS().Unlink(temp);
        for (const IndexCopy& index : indexes) NvOS().Unlink(index.copy);
    };
    try {
        NvLockFileRetry(*this, "CopyFile");
        try {
            ReadHeader();
            StatusUpdate(-1, 6, RecordCount());
            CopyExactStructure(temp, password, keepDeleted, table);
            NVO_dBHandler target(temp, false, true, password);
            if (!noRecords) {
                CopyRecordsTo(target, keepDeleted);
            } else if (NVobjMemoBase* memo = target.HasMemo() ? target.MemoFile() : nullptr) {
                memo->Zap();
            }
            target.Flush();
        } catch (...) {
            StatusUpdate(0, 0, 0);
            Unlock();
            throw;
        }
        StatusUpdate(0, 0, 0);
        Unlock();
        if (closedIndexes) {
            const std::string old = Enciphered() ? ReadPassword() : std::string();
            for (auto& slot : indexFiles_) {
                NVO_DiskFile* file = slot ? slot->DiskFile() : nullptr;
                if (!file) continue;
                // Pages held in memory go to the file first, under the key it has now.
                slot->ReleasePages();
                indexes.push_back({file->FileName(), "", file});
            }
            for (const std::string& path : *closedIndexes) indexes.push_back({path, "", nullptr});
            for (IndexCopy& index : indexes) {
                index.copy = names.Take(index.path, "new", ExtensionOf(index.path));
                if (index.open) {
                    RekeyedCopy(*index.open, index.copy, old, password);
                } else {
                    NVO_DiskFile source(index.path, false, false);
                    source.Open();
                    RekeyedCopy(source, index.copy, old, password);
                }
            }
        }
    } catch (...) {
        removeTemp();
        throw;
    }

    // Old files go aside under a name of their own (a complete table with its memo and
    // index files), the copies move into place, and only then are the old files removed: a
    // crash at any point leaves one complete set on disk.
    const std::string memo = HasMemo() ? NVobjMemoBase::MemoFileName(table, Version()) : "";
    const bool memoExists = !memo.empty() && NvOS().Exists(memo);
    const std::string asideTable =
        packNames ? PackScratchName("old") : names.Take(table, "old", ".dbf", {".dbt", ".fpt"});
    const std::string asideMemo =
        HasMemo() ? NVobjMemoBase::MemoFileName(asideTable, Version()) : "";
    std::vector<std::string> asideIndexes;
    for (const IndexCopy& index : indexes)
        asideIndexes.push_back(names.Take(index.path, "old", ExtensionOf(index.path)));
    CloseMemoObject();
    Close();
    for (const IndexCopy& index : indexes)
        if (index.open) index.open->Close();
    auto reopenIndexes = [&] {
        for (const IndexCopy& index : indexes)
            if (index.open) index.open->Open();
    };
    std::vector<std::pair<std::string, std::string>> moved;
    auto move = [&](const std::string& from, const std::string& to) {
        if (!NvOS().RenameNoReplace(from, to)) NvRaise(TnvMsg::RenameError, {from});
        moved.emplace_back(from, to);
    };
    try {
        move(table, asideTable);
        if (memoExists) move(memo, asideMemo);
        for (std::size_t i = 0; i < indexes.size(); ++i) move(indexes[i].path, asideIndexes[i]);
        if (memoExists) move(tempMemo, memo);
        for (const IndexCopy& index : indexes) move(index.copy, index.path);
        move(temp, table);
    } catch (...) {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            NvOS().RenameNoReplace(it->second, it->first);
        removeTemp();
        try {
            ReopenReplacedFile();
            reopenIndexes();
        } catch (const Exception&) {
        }
        throw;
    }
    // A memo file goes before its table: a table left alone still proves whose it was.
    if (memoExists) NvOS().Unlink(asideMemo);
    NvOS().Unlink(asideTable);
    if (!memoExists && !tempMemo.empty()) NvOS().Unlink(tempMemo);
    for (const std::string& aside : asideIndexes) NvOS().Unlink(aside);
    // The window holds records of the file that was replaced (under its old key, too).
    DropWindow();
    ReopenReplacedFile();
    reopenIndexes();
}

NVobjMemoBase* NVO_dBHandler::OpenForChange() {
    if (!ReadWrite()) NvRaise(TnvMsg::AccessDenied, {FileName()});
    // The memo file is otherwise opened on first use, which would be after the table had
    // changed.
    NVobjMemoBase* memo = nullptr;
    if (HasMemo() && NvOS().Exists(NVobjMemoBase::MemoFileName(FileName(), Version()))) memo = MemoFile();
    CheckIndexesWritable();
    return memo;
}

void NVO_dBHandler::CheckIndexesWritable() {
    for (auto& slot : indexFiles_) {
        NVO_DiskFile* file = slot ? slot->DiskFile() : nullptr;
        if (file && !file->ReadWrite()) NvRaise(TnvMsg::AccessDenied, {file->FileName()});
    }
}

std::string NVO_dBHandler::PackScratchName(std::string_view kind) const {
    const std::string table = FileName();
    const std::string ext = ExtensionOf(table);
    return table.substr(0, table.size() - ext.size()) + ".pack-" + std::string(kind) + ".dbf";
}

bool NVO_dBHandler::HoldsThisStructure(const std::string& path) {
    try {
        NVO_dBaseDBF other(path, false, false, ReadPassword());
        if (other.Version() != Version() || other.HeaderLength() != HeaderLength() ||
            other.RecordLength() != RecordLength() || other.FieldCount() != FieldCount())
            return false;
        for (int i = 0; i < FieldCount(); ++i) {
            const TnvFieldDescriptor& a = Descriptor(i);
            const TnvFieldDescriptor& b = other.Descriptor(i);
            if (a.Name() != b.Name() || a.Type() != b.Type() || a.Length() != b.Length() ||
                a.Decimals() != b.Decimals())
                return false;
        }
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void NVO_dBHandler::RemovePackLeftovers() {
    for (const char* kind : {"tmp", "old"}) {
        const std::string scratch = PackScratchName(kind);
        const std::string memo = HasMemo() ? NVobjMemoBase::MemoFileName(scratch, Version()) : "";
        const bool table = NvOS().Exists(scratch);
        const bool memoFile = !memo.empty() && NvOS().Exists(memo);
        if (!table && !memoFile) continue;
        // Only a copy of this very table is known to be a pack's; a memo file without its
        // table at least has to read as a memo file of this table's kind.
        if (table && !HoldsThisStructure(scratch)) NvRaise(TnvMsg::PackNameInTheWay, {scratch});
        if (!table) {
            try {
                NVobjMemoBase::Create(scratch, Version(), false, false);
            } catch (const Exception&) {
                NvRaise(TnvMsg::PackNameInTheWay, {memo});
            }
        }
        if (memoFile && !NvOS().Unlink(memo)) NvRaise(TnvMsg::AccessDenied, {memo});
        if (table && !NvOS().Unlink(scratch)) NvRaise(TnvMsg::AccessDenied, {scratch});
    }
}

void NVO_dBHandler::Pack() {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"Pack", FileName()});
    OpenForChange();
    RemovePackLeftovers();
    bool readAhead = readAheadOn_;
    // The copy runs in natural order; the order comes back once the indexes are rebuilt.
    const std::string order = currentTagName_;
    if (currentTag_) SetOrder("", true);
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
        ReplaceByCopy(ReadPassword(), false, nullptr, true);
    } catch (...) {
        restore();
        if (!order.empty()) SetOrder(order, true);
        throw;
    }
    // The record numbers changed: a filter set built before no longer fits.
    FillFilterSet();
    restore();
    RebuildIndexes(order);
}

void NVO_dBHandler::Zap() {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"Zap", FileName()});
    OpenForChange();
    RemovePackLeftovers();
    // The tag's pages name records that are about to go: natural order until the rebuild.
    const std::string order = currentTagName_;
    if (currentTag_) SetOrder("", true);
    bool readAhead = readAheadOn_;
    SetReadAhead(false);
    try {
        ReplaceByCopy(ReadPassword(), false, nullptr, true, true);
    } catch (...) {
        SetReadAhead(readAhead);
        if (!order.empty()) SetOrder(order, true);
        throw;
    }
    if (filterSet_) filterSet_->ClearAll();
    SetReadAhead(readAhead);
    Go(-3);
    RebuildIndexes(order);
}

void NVO_dBHandler::SetPassword(const std::string& password) { ChangePassword(password, {}); }

void NVO_dBHandler::ChangePassword(const std::string& password, const std::vector<std::string>& indexFiles) {
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"SetPassword", FileName()});
    if (Enciphered() && password == ReadPassword()) return;
    if (!Enciphered() && password.empty()) return;
    // Every index of the table is re-keyed in the same swap as the table: one left under
    // the old key would read as damaged afterwards.
    const std::vector<std::string> closed = ClosedIndexFiles(indexFiles);
    int32_t remembered = CurrentRecord();
    // Even an empty table goes through a copy: its descriptors and header change together
    // only by replacing the file.
    bool showDeleted = ShowDeleted();
    bool filter = filterRequested_;
    SetShowDeleted(true);
    filterRequested_ = false;
    // Every record keeps its number, so that the index pages stay right: the copy runs in
    // natural order whatever the order (a unique tag would leave records out).
    NVobjIndexTag* tag = currentTag_;
    if (tag) tag->PageRelease();
    currentTag_ = nullptr;
    try {
        ReplaceByCopy(password, true, &closed);
    } catch (...) {
        currentTag_ = tag;
        SetShowDeleted(showDeleted);
        filterRequested_ = filter;
        throw;
    }
    currentTag_ = tag;
    SetShowDeleted(showDeleted);
    filterRequested_ = filter;
    AdoptPassword(password);
    Go(remembered);
}

// ---- orders: index files and tags ----

namespace {

std::string NamePart(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The four index formats the cursor knows by extension (others may not be open yet).
bool IsIndexExtension(std::string_view path) {
    return NvHasExt(path, "ndx") || NvHasExt(path, "ntx") || NvHasExt(path, "cdx") || NvHasExt(path, "mdx");
}

bool IsCompoundIndex(std::string_view path) { return NvHasExt(path, "cdx") || NvHasExt(path, "mdx"); }

// The name a slot's file answers to in FindIndexFile.
std::string SlotFileName(NVO_IndexFile& file) {
    if (NVobjIndexFile* core = file.Core()) return core->FileName();
    if (NVO_DiskFile* disk = file.DiskFile()) return NamePart(disk->FileName());
    return std::string();
}

// Field names of `list` split at ";", trimmed; empty names dropped.
std::vector<std::string> SplitFieldNames(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(';', start);
        if (end == std::string_view::npos) end = list.size();
        std::string name = TrimmedText(list.substr(start, end - start));
        if (!name.empty()) names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

}  // namespace

NVobjIndexFile* NVO_dBHandler::IndexFileCore(int slot) const {
    NVO_IndexFile* file = IndexFile(slot);
    return file ? file->Core() : nullptr;
}

std::string NVO_dBHandler::ResolveIndexName(std::string_view name) const {
    std::string path = TrimmedText(name);
    if (path.empty()) return path;
    if (path.find_first_of("/\\") == std::string::npos) path = DirectoryOf(FileName()) + path;
    // The extension added here is ours, not the caller's: the file may carry it in capitals.
    if (NvHasExt(path, "")) path = NvFindFileNoCase(path + ".ndx");
    return path;
}

int NVO_dBHandler::FindIndexFile(std::string_view name) const {
    std::string wanted = TrimmedText(name);
    if (wanted.empty()) return 0;
    wanted = LowerAscii(NamePart(ResolveIndexName(wanted)));
    int found = 0;
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
        NVO_IndexFile* file = IndexFile(slot);
        if (file && LowerAscii(SlotFileName(*file)) == wanted) found = slot;
    }
    return found;
}

int NVO_dBHandler::OpenIndex(std::string_view name) {
    if (TrimmedText(name).empty()) return -1;
    const std::string path = ResolveIndexName(name);
    if (FindIndexFile(path) != 0) return -1;
    int slot = 0;
    for (int i = 1; i <= kIndexSlots && slot == 0; ++i)
        if (!IndexFile(i)) slot = i;
    // The 63 slots are all the cursor maintains; a 64th file would silently go stale.
    if (slot == 0) NvRaise(TnvMsg::TooManyIndexFiles, {path, FileName()});
    if (!IsIndexExtension(path)) NvRaise(TnvMsg::FileNotFound, {path});
    std::unique_ptr<NVobjIndexFile> file = NvOpenIndexFile(&IndexTable(), path, false, false, Shared());
    if (file && file->corrupt) NvRaise(TnvMsg::IndexCorrupted, {path});
    if (!file || !file->opened) NvRaise(TnvMsg::FileNotFound, {path});
    SetIndexFile(slot, std::make_unique<NVO_CoreIndexFile>(std::move(file)));
    return 0;
}

std::vector<std::string> NVO_dBHandler::SplitIndexList(std::string_view list) {
    while (!list.empty() && (list.back() == ' ' || list.back() == '\t' || list.back() == ',' || list.back() == ';'))
        list.remove_suffix(1);
    std::vector<std::string> names;
    std::string name;
    bool quoted = false;
    auto take = [&] {
        std::string trimmed = TrimmedText(name);
        if (!trimmed.empty()) names.push_back(std::move(trimmed));
        name.clear();
    };
    for (char c : list) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ',' || c == ';'))
            take();
        else
            name += c;
    }
    take();
    return names;
}

int NVO_dBHandler::OpenIndexFiles(std::string_view list, std::string_view tagName) {
    CloseIndexes();
    std::vector<std::string> names = SplitIndexList(list);
    if (names.empty()) return 1;
    for (const std::string& name : names) {
        int result = OpenIndex(name);
        if (result != 0) return result;
    }
    SetOrder(tagName, true);
    return 0;
}

void NVO_dBHandler::CloseSlot(int slot) {
    auto& file = indexFiles_[static_cast<std::size_t>(slot - 1)];
    if (!file) return;
    // The slot is emptied even when the last pages cannot be written; the error still shows.
    std::unique_ptr<NVO_IndexFile> closing = std::move(file);
    CountSlots();
    closing->ReleasePages();
}

int NVO_dBHandler::CloseIndex(std::string_view name) {
    if (TrimmedText(name).empty()) return 1;
    int slot = FindIndexFile(name);
    if (slot == 0) return 1;
    NVobjIndexFile* core = IndexFileCore(slot);
    if (currentTag_ && core && currentTag_->File() == core) SetOrder("", true);
    CloseSlot(slot);
    return 0;
}

void NVO_dBHandler::CloseIndexes() {
    bool hadTag = currentTag_ != nullptr;
    currentTag_ = nullptr;
    currentTagName_.clear();
    std::exception_ptr error;
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
        try {
            CloseSlot(slot);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    if (hadTag) SetReadAhead(true);
    if (error) std::rethrow_exception(error);
}

NVobjIndexTag* NVO_dBHandler::FindTag(std::string_view name, int* slot) const {
    std::string wanted = TrimmedText(name);
    if (wanted.empty()) return nullptr;
    for (int i = 1; i <= kIndexSlots; ++i) {
        NVobjIndexFile* core = IndexFileCore(i);
        if (!core) continue;
        if (NVobjIndexTag* tag = core->TagByName(wanted)) {
            if (slot) *slot = i;
            return tag;
        }
    }
    return nullptr;
}

int NVO_dBHandler::SetOrder(std::string_view tagName, bool keepPosition) {
    const std::string name = TrimmedText(tagName);
    if (name.empty()) {
        ClearRange();
        if (currentTag_) currentTag_->PageRelease();
        currentTag_ = nullptr;
        currentTagName_.clear();
        SetReadAhead(true);
        if (!keepPosition) Go(-3);
        return 0;
    }
    int slot = 0;
    NVobjIndexTag* tag = FindTag(name, &slot);
    if (!tag) NvRaise(TnvMsg::CannotFindTag, {std::string(tagName)});
    ClearRange();
    if (currentTag_) currentTag_->PageRelease();
    SetReadAhead(false);
    currentTagName_ = nvlocale::AnsiUpperCase(name);
    currentTag_ = tag;
    tag->TagReset(1);
    const int32_t record = CurrentRecord();
    if (keepPosition && record >= 1 && record <= RecordCount()) {
        Go(record);
        if (positioned_ && !outOfOrder_) return slot;
    }
    Go(-3);
    return slot;
}

NVobjIndexTag* NVO_dBHandler::TagByOrdinal(int n) const {
    if (n < 1) return nullptr;
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
        NVobjIndexFile* core = IndexFileCore(slot);
        if (!core) continue;
        if (n <= core->TagCount()) return core->TagByNumber(n - 1);
        n -= core->TagCount();
    }
    return nullptr;
}

bool NVO_dBHandler::TagKeyValue(int n, TnvVariant& value) {
    NVobjIndexTag* tag = TagByOrdinal(n);
    if (!tag) return false;
    bool ok = true;
    if (!tag->KeyEvaluate(value, ok)) value.Clear();
    return true;
}

// ---- orders: searches and ranges ----

void NVO_dBHandler::KeyFromText(NVobjIndexTag& tag, std::string_view text, NVobjIndexKeyData& key) const {
    key = NVobjIndexKeyData(256);
    auto refuse = [&]() { NvRaise(TnvMsg::KeyNotForTag, {std::string(text), tag.tagName}); };
    switch (tag.keyType) {
        case 'N': {
            double number = 0;
            std::string trimmed = TrimmedText(text);
            if (trimmed.empty()) refuse();
            if (!nvlocale::TryParseNumber(trimmed, number, '.') &&
                !nvlocale::TryParseNumber(trimmed, number, nvlocale::DecimalSeparator()))
                refuse();
            key.PutNumber(number);
            break;
        }
        case 'D': {
            int32_t day = 0;
            try {
                day = DBFDate.TextToDay(TrimmedText(text));
            } catch (const Exception&) {
                refuse();
            }
            key.PutDate(day);
            break;
        }
        default:
            key.PutString(text);
            break;
    }
    key.recNo = -1;
    key.reference = -1;
}

bool NVO_dBHandler::FindKey(const NVobjIndexKeyData& key) {
    NVobjIndexTag* tag = currentTag_;
    NVobjIndexKeyData search(key);
    int32_t record = 0;
    if (tag->reverseNavigation) {
        // Walked backwards, the first match in the tag's order is the physically last equal
        // key: search past the equal keys, then step back one (a prior in tag order terms
        // is a next here).
        search.reference = NVobjIndexTag::kAfterEqual;
        tag->KeyFind(search);
        record = tag->TagMove(-1);
    } else {
        search.reference = -1;
        record = tag->KeyFind(search);
    }
    found_ = false;
    if (record < 1) {
        Go(-4);
        SetEof(true);
        positioned_ = false;
        return false;
    }
    NVO_dBaseFld::Go(TagRecord(*tag, record));
    outOfOrder_ = false;
    positioned_ = !Eof() && !Bof();
    while (!Eof() && (!RecordAccepted() || (RecordPointer()[0] != ' ' && !ShowDeleted()))) Skip(1);
    if (!Eof()) {
        NVobjIndexKeyData formatted(key);
        tag->KeyFormat(formatted, true);
        int32_t position = 0;
        int c = formatted.Compare(&tag->currentKey, position, tag->Collation(), -1);
        // Only text matches as a prefix, as in the search: a binary image (a CDX number
        // without its trailing zero bytes) may begin another value's image.
        found_ = c == 0 || (!ExactMatch() && formatted.Kind() == TnvVariant::kCharacter &&
                            formatted.Length() < position);
    }
    if (!found_) {
        Go(-4);
        SetEof(true);
        positioned_ = false;
    }
    return found_;
}

bool NVO_dBHandler::Find(std::string_view key) {
    // The text becomes a key of the order's type first; formatting it reads no page.
    NVobjIndexKeyData value;
    if (currentTag_ && RecordCount() > 0) KeyFromText(*currentTag_, key, value);
    return Find(value);
}

bool NVO_dBHandler::Find(const NVobjIndexKeyData& key) {
    found_ = false;
    if (RecordCount() == 0) return false;
    ClipScope clip(*this, true);
    if (!currentTag_) {
        Go(-4);
        SetEof(true);
        positioned_ = false;
        return false;
    }
    return FindKey(key);
}

int32_t NVO_dBHandler::FindInTag(std::string_view tagName, std::string_view key) {
    ClipScope clip(*this, true);
    std::string_view name = tagName.substr(0, std::min<std::size_t>(tagName.size(), 80));
    NVobjIndexTag* tag = FindTag(name);
    if (!tag) return -1;
    NVobjIndexKeyData value;
    KeyFromText(*tag, key, value);
    const bool exact = ExactMatch();
    SetExactMatch(true);
    int32_t record = 0;
    try {
        record = tag->KeyLookup(value, true);
    } catch (...) {
        SetExactMatch(exact);
        throw;
    }
    SetExactMatch(exact);
    return record;
}

bool NVO_dBHandler::SetRange(std::string_view low, std::string_view high, bool lowFlag, bool highFlag,
                             bool modeFlag) {
    if (!currentTag_) return false;
    NVobjIndexKeyData lowKey, highKey;
    if (!low.empty()) KeyFromText(*currentTag_, low, lowKey);
    if (!high.empty()) KeyFromText(*currentTag_, high, highKey);
    bool changed = currentTag_->SetRange(low.empty() ? nullptr : &lowKey, modeFlag, lowFlag, highFlag,
                                         high.empty() ? nullptr : &highKey);
    if (!changed) return false;
    Go(-3);
    if (Bof()) BlankRecord();
    return true;
}

void NVO_dBHandler::ClearRange() {
    if (!currentTag_) return;
    if (!currentTag_->SetRange(nullptr, false, false, false, nullptr)) return;
    // Dropping the range moved the tag to its top; the next skip starts from the cursor.
    const int32_t record = CurrentRecord();
    if (record >= 1 && record <= RecordCount()) outOfOrder_ = currentTag_->KeySync(record) != record;
}

// ---- orders: locate ----

NVobjIndexTag* NVO_dBHandler::ServingTag(const std::string& wanted, bool partial) {
    // A tag serves only when its key is nothing but plain fields joined by "+": any function
    // around a field (UPPER, STR, DTOS) would answer a different question than the scan.
    auto fieldList = [this](const NVobjIndexTag& tag) {
        std::string list;
        std::string_view text = tag.keyExpression;
        const std::string alias = nvlocale::AnsiUpperCase(Alias());
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('+', start);
            if (end == std::string_view::npos) end = text.size();
            std::string part = nvlocale::AnsiUpperCase(TrimmedText(text.substr(start, end - start)));
            for (std::string_view qualifier : {std::string_view("->"), std::string_view(".")}) {
                std::size_t at = part.find(qualifier);
                if (at != std::string::npos && part.substr(0, at) == alias) part = part.substr(at + qualifier.size());
            }
            if (part.empty() || FieldNumber(part) == 0) return std::string();
            list += part + ";";
            start = end + 1;
        }
        return list;
    };
    auto serves = [&](NVobjIndexTag* tag) {
        if (!tag) return false;
        std::string list = fieldList(*tag);
        if (list.empty()) return false;
        return list == wanted || (partial && list.size() > wanted.size() && list.compare(0, wanted.size(), wanted) == 0);
    };
    if (serves(currentTag_)) return currentTag_;
    for (int n = 1;; ++n) {
        NVobjIndexTag* tag = TagByOrdinal(n);
        if (!tag) return nullptr;
        if (tag->hasFor || !tag->forExpression.empty()) continue;
        if (serves(tag)) return tag;
    }
}

bool NVO_dBHandler::LocateScan(const std::vector<std::string>& fields, const std::vector<std::string>& wanted,
                               int32_t startRecord, bool partial, bool caseInsensitive) {
    const bool readAhead = readAheadOn_;
    if (!currentTag_) SetReadAhead(true);
    bool found = false;
    try {
        if (startRecord > 0) {
            if (startRecord < RecordCount()) {
                Go(startRecord);
                Go(-1);
            } else {
                SetEof(true);
            }
        } else {
            Go(-3);
        }
        while (!Eof() && !Bof() && !found) {
            bool all = true;
            for (std::size_t i = 0; i < fields.size() && all; ++i) {
                std::string text = GetTextByName(fields[i]);
                if (caseInsensitive) text = UpperText(text);
                if (partial && i + 1 == fields.size())
                    all = text.compare(0, wanted[i].size(), wanted[i]) == 0 && text.size() >= wanted[i].size();
                else
                    all = text == wanted[i];
            }
            if (all)
                found = true;
            else
                Go(-1);
        }
    } catch (...) {
        SetReadAhead(readAhead);
        throw;
    }
    SetReadAhead(readAhead);
    return found;
}

bool NVO_dBHandler::Locate(std::string_view fieldNames, const std::vector<TnvValue>& values, int32_t startRecord,
                           bool partial, bool caseInsensitive) {
    Go(-3);
    if (!positioned_) return false;
    const std::vector<std::string> fields = SplitFieldNames(fieldNames);
    if (fields.empty()) return false;
    std::string wanted;
    std::string names;
    for (const std::string& field : fields) {
        names += (names.empty() ? "" : ";") + field;
        std::string name;
        for (char c : field)
            if (c != ' ') name += c;
        wanted += nvlocale::AnsiUpperCase(name) + ";";
    }
    // The search record is built aside, so a failed search leaves the record buffer alone.
    std::vector<uint8_t> search(static_cast<std::size_t>(RecordLength()), ' ');
    FillFromValues(search.data(), names, values);

    NVobjIndexTag* remembered = currentTag_;
    const bool ranged = remembered && remembered->HasRange();
    NVobjIndexTag* serving = nullptr;
    // A partial search through a tag matches a key prefix, which is the scan's partial
    // comparison only for a character field; a case-insensitive one no plain tag can answer.
    const std::string& last = fields.back();
    const bool lastIsText = FieldNumber(last) > 0 && FieldType(FieldNumber(last)) == 'C';
    if (!ranged && startRecord <= 0 && !caseInsensitive && (!partial || lastIsText))
        serving = ServingTag(wanted, partial);

    struct PointerScope {
        NVO_dBHandler& cursor;
        ~PointerScope() { cursor.SetRecordPointer(nullptr); }
    };
    bool found = false;
    try {
        if (serving) {
            NVobjIndexKeyData key(256);
            {
                PointerScope scope{*this};
                SetRecordPointer(search.data());
                bool ok = true;
                serving->KeyEvaluate(key, ok);
            }
            currentTag_ = serving;
            const bool exact = ExactMatch();
            SetExactMatch(!partial);
            try {
                ClipScope clip(*this, true);
                found = FindKey(key);
            } catch (...) {
                SetExactMatch(exact);
                throw;
            }
            SetExactMatch(exact);
        } else {
            std::vector<std::string> texts;
            {
                PointerScope scope{*this};
                SetRecordPointer(search.data());
                for (const std::string& field : fields) {
                    std::string text = GetTextByName(field);
                    texts.push_back(caseInsensitive ? UpperText(text) : text);
                }
            }
            // Under a range the scan keeps to the range's records, in the tag's order.
            if (!ranged) currentTag_ = nullptr;
            found = LocateScan(fields, texts, startRecord, partial, caseInsensitive);
        }
    } catch (...) {
        if (serving && serving != remembered) serving->PageRelease();
        currentTag_ = remembered;
        throw;
    }
    // A tag borrowed for the search gives its chain back; only the current tag keeps one.
    if (serving && serving != remembered) serving->PageRelease();
    currentTag_ = remembered;
    if (found) Go(CurrentRecord());
    found_ = found;
    return found;
}

// ---- orders: building ----

int NVO_dBHandler::IndexOn(std::string_view fileName, std::string_view tagName, int sortOption,
                           bool duplicatesAllowed, std::string_view forExpression, std::string_view keyExpression) {
    const std::string path = ResolveIndexName(fileName);
    if (path.empty() || !IsIndexExtension(path)) NvRaise(TnvMsg::FileNotFound, {path});
    const bool compound = IsCompoundIndex(path);
    std::string name = TrimmedText(tagName);
    if (compound && name.empty()) NvRaise(TnvMsg::CannotFindTag, {std::string(tagName)});
    if (!compound) name = BaseName(path);
    // Expressions that do not compile are refused before any file is made or replaced.
    CompileExpression(keyExpression);
    if (!TrimmedText(forExpression).empty()) CompileExpression(forExpression);

    CloseIndexes();
    const bool readAhead = readAheadOn_;
    SetReadAhead(true);
    const bool ascending = sortOption == 0 || sortOption == 7;
    const bool upperKeys = sortOption == 7 || sortOption == 8;
    std::unique_ptr<NVobjIndexFile> file;
    auto fail = [&](bool removeFile) {
        SetState(TnvDBFState::Normal);
        file.reset();
        // A single-tag file was made anew; half built it is no index at all.
        if (removeFile && !compound) NvOS().Unlink(path);
        SetReadAhead(readAhead);
    };
    try {
        file = NvOpenIndexFile(&IndexTable(), path, true, !compound, Shared());
        if (file && file->corrupt) NvRaise(TnvMsg::IndexCorrupted, {path});
        if (!file || !file->opened) NvRaise(TnvMsg::FileNotFound, {path});
    } catch (...) {
        fail(false);
        throw;
    }
    bool built = false;
    try {
        file->upperCaseKeys = upperKeys;
        if (compound && file->TagByName(name)) file->TagDelete(name);
        SetState(TnvDBFState::IndexBuild);
        built = file->TagAdd(name, keyExpression, !duplicatesAllowed, ascending, TrimmedText(forExpression));
        SetState(TnvDBFState::Normal);
        for (int i = 0; i < file->TagCount(); ++i) file->TagByNumber(i)->PageRelease();
        if (file->diskFile) file->diskFile->Flush();
    } catch (...) {
        fail(true);
        throw;
    }
    if (!built) {
        fail(true);
        NvRaise(TnvMsg::IndexTagNotBuilt, {name, path});
    }
    file.reset();
    SetReadAhead(readAhead);
    return 0;
}

void NVO_dBHandler::RebuildIndexes(const std::string& order) {
    const bool readAhead = readAheadOn_;
    SetReadAhead(true);
    SetState(TnvDBFState::IndexBuild);
    try {
        for (auto& index : indexFiles_)
            if (index) index->Reindex();
    } catch (...) {
        SetState(TnvDBFState::Normal);
        SetReadAhead(readAhead);
        throw;
    }
    SetState(TnvDBFState::Normal);
    SetReadAhead(readAhead);
    if (!order.empty())
        SetOrder(order, false);
    else
        Go(-3);
}

void NVO_dBHandler::Reindex() {
    CheckIndexesWritable();
    const std::string order = currentTagName_;
    SetOrder("", true);
    RebuildIndexes(order);
}

int NVO_dBHandler::DeleteTag(std::string_view tagName) {
    const std::string name = TrimmedText(tagName);
    if (name.empty()) return 1;
    int slot = 0;
    NVobjIndexTag* tag = FindTag(name, &slot);
    if (!tag) return 1;
    return DeleteTagAt(slot, tag);
}

int NVO_dBHandler::DeleteTagIn(std::string_view fileName, std::string_view tagName) {
    const std::string name = TrimmedText(tagName);
    if (name.empty()) return 1;
    const int slot = FindIndexFile(fileName);
    NVobjIndexFile* core = slot ? IndexFileCore(slot) : nullptr;
    NVobjIndexTag* tag = core ? core->TagByName(name) : nullptr;
    if (!tag) return 1;
    return DeleteTagAt(slot, tag);
}

int NVO_dBHandler::DeleteTagAt(int slot, NVobjIndexTag* tag) {
    if (tag == currentTag_) SetOrder("", true);
    NVobjIndexFile* core = IndexFileCore(slot);
    const std::string stored = tag->tagName;
    tag->PageRelease();
    if (!core->TagDelete(stored)) return -1;
    if (core->TagCount() == 0) CloseSlot(slot);
    return 0;
}

void NVO_dBHandler::DeleteIndexFile(std::string_view name) {
    const std::string path = ResolveIndexName(name);
    if (Shared()) NvRaise(TnvMsg::RequiresFullAccess, {"DeleteIndexFile", FileName()});
    CloseIndex(path);
    // Nothing to do for a name that is no file; in particular the table keeps its mark of
    // a production index that exists under another spelling.
    if (!NvOS().Exists(path)) return;
    if (!NvOS().Unlink(path)) NvRaise(TnvMsg::AccessDenied, {path});
    // Only a CDX or MDX file beside the table with its base name is its production index;
    // the family's programs compare those names without regard to case.
    auto stem = [](const std::string& file) {
        const std::string full = NvExpandFileName(file);
        return LowerAscii(DirectoryOf(full) + BaseName(full));
    };
    if (ProductionIndex() && HoldsNamedTags(path) && stem(path) == stem(FileName())) {
        SetProductionIndex(false);
        WriteHeader();
    }
}

bool NVO_dBHandler::HoldsNamedTags(std::string_view fileName) { return IsCompoundIndex(fileName); }

// ---- relative positions ----

bool NVO_dBHandler::RecordVisible() {
    return (RecordPointer()[0] == ' ' || ShowDeleted()) && RecordAccepted();
}

double NVO_dBHandler::RelativePosition() {
    const int32_t count = RecordCount();
    const int32_t record = CurrentRecord();
    if (count <= 0 || record < 1) return 0;
    if (record > count) return 1;
    if (!currentTag_) return static_cast<double>(record) / count;
    ClipScope clip(*this, true);
    // A write or a read by number may have left the tag's path elsewhere; a record the
    // order does not hold (FOR, range) has no place in it.
    if (currentTag_->KeySync(record) != record) return 0;
    return currentTag_->RelativePosition();
}

void NVO_dBHandler::GoRelative(double fraction) {
    fraction = fraction > 0 ? std::min(fraction, 1.0) : 0.0;
    const int32_t count = RecordCount();
    if (!currentTag_) {
        if (count <= 0) {
            Go(-3);
            return;
        }
        Go(std::clamp<int32_t>(static_cast<int32_t>(std::lround(fraction * count)), 1, count));
    } else {
        NVobjIndexTag* tag = currentTag_;
        int32_t record = 0;
        {
            ClipScope clip(*this, true);
            record = tag->TagMoveRelative(fraction);
        }
        if (record < 1) {
            Go(-3);
            return;
        }
        TagRecord(*tag, record);
        // The tag already stands on the record: it is read by number, without a new search.
        currentTag_ = nullptr;
        try {
            Go(record);
        } catch (...) {
            currentTag_ = tag;
            throw;
        }
        currentTag_ = tag;
    }
    if (Eof() || Bof() || RecordVisible()) return;
    Go(-1);
    if (Eof()) Go(-4);
}
