#include "nv6_dbf.h"

#include "nv6_encrxm.h"

#include <cstdio>
#include <exception>
#include <limits>

#include "nv6_bytes.h"
#include "nv6_encrxm.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_os.h"
#include "nv6_tool.h"

namespace nvdbf {

bool IsKnownVersion(uint8_t version) {
    switch (version) {
        case kVerPlain3:
        case kVerPlain4:
        case kVerVfp:
        case kVerDb3Memo:
        case kVerDb4Memo:
        case kVerFoxMemo:
            return true;
        default:
            return false;
    }
}

int DescriptorAreaLength(uint8_t version, int headerLength) {
    int fixed = kHeaderSize + 1 + (version == kVerVfp ? kVfpExtraArea : 0);
    return headerLength - fixed;
}

bool VersionHasMemo(uint8_t version, uint8_t flags) {
    switch (version) {
        case kVerVfp:
            return (flags & kFlagMemo) != 0;
        case kVerDb3Memo:
        case kVerDb4Memo:
        case kVerFoxMemo:
            return true;
        default:
            return false;
    }
}

}  // namespace nvdbf

// ---- descriptor and header images ----

std::string TnvFieldDescriptor::Name() const {
    std::size_t n = 0;
    while (n < 11 && bytes[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

int TnvFieldDescriptor::Length() const {
    return Type() == 'C' ? bytes[16] + 256 * bytes[17] : bytes[16];
}

int TnvFieldDescriptor::Offset() const {
    return static_cast<int>(nvbytes::LoadLE32(bytes.data() + 12));
}

int TnvFieldDescriptor::Number() const { return nvbytes::LoadLE16(bytes.data() + 26); }

void TnvFieldDescriptor::SetOffset(int offset) {
    nvbytes::StoreLE32(bytes.data() + 12, static_cast<uint32_t>(offset));
}

void TnvFieldDescriptor::SetNumber(int number) {
    nvbytes::StoreLE16(bytes.data() + 26, static_cast<uint16_t>(number));
}

int TnvDBFHeader::HeaderLength() const { return nvbytes::LoadLE16(bytes.data() + 8); }
int TnvDBFHeader::RecordLength() const { return nvbytes::LoadLE16(bytes.data() + 10); }
uint32_t TnvDBFHeader::StoredCount() const { return nvbytes::LoadLE32(bytes.data() + 4); }
uint32_t TnvDBFHeader::ChangeStamp() const { return nvbytes::LoadLE32(bytes.data() + 16); }

// ---- the table object ----

namespace {

// A name the caller gave without extension gets ".DBF"; since the family's programs treat
// names without regard to case, the derived name is looked up the same way.
std::string TableFileName(const std::string& name) {
    std::string withExt = DefaultExt(name, ".DBF");
    if (withExt == name) return withExt;
    return NvFindFileNoCase(NvExpandFileName(withExt));
}

constexpr int64_t kMaxTableSize = int64_t(1) << 31;

}  // namespace

NVO_dBaseDBF::NVO_dBaseDBF(const std::string& fileName, bool shared, bool readWrite,
                           const std::string& password)
    : NVO_DiskFile(TableFileName(fileName), shared, readWrite) {
    if (!Exists()) NvRaise(TnvMsg::FileNotFound, {FileName()});
    readPassword_ = password;
    writePassword_ = password;
    alias_ = nvlocale::AnsiUpperCase(BaseName(FileName()));
    NVO_dBaseDBF::SetLockProtocol(TnvLokProtocol::Default);
    Open();
    tableLocked_ = false;

    if (ReadAt(0, header_.bytes.data(), nvdbf::kHeaderSize) < nvdbf::kHeaderSize)
        NvRaise(TnvMsg::ReadError, {FileName()});
    version_ = header_.Version();
    if (!nvdbf::IsKnownVersion(version_)) NvRaise(TnvMsg::TableHeaderInvalid, {FileName()});
    headerLength_ = header_.HeaderLength();
    recordLength_ = header_.RecordLength();
    uint8_t flags = header_.Flags();
    productionIndex_ = (flags & nvdbf::kFlagProductionIndex) != 0;
    memoFlagBit_ = (flags & nvdbf::kFlagMemo) != 0;
    containerFlag_ = (flags & nvdbf::kFlagContainer) != 0;
    lastStamp_ = header_.ChangeStamp();
    enciphered_ = header_.Enciphered();

    if (!enciphered_ && !password.empty())
        NvRaise(TnvMsg::PasswordForUnencrypted, {FileName()});
    if (enciphered_ && password.empty()) NvRaise(TnvMsg::NoPassword, {FileName()});

    hasMemo_ = nvdbf::VersionHasMemo(version_, flags);
    current_ = 0;
    eof_ = false;
    bof_ = true;

    int64_t size = FileSize();
    ValidateLayout(size);
    count_ = CountFromSize(size);
    LoadDescriptors();

    recordBuffer_.assign(static_cast<std::size_t>(recordLength_) + 1, ' ');
    recordBuffer_[recordLength_] = nvdbf::kEndOfFile;
    rec_ = recordBuffer_.data();
    oldRecord_.assign(static_cast<std::size_t>(recordLength_) + 1, ' ');
    workBuffer_.assign(static_cast<std::size_t>(recordLength_) + 1, ' ');
    showDeleted_ = true;
    exactMatch_ = false;
    autoFlush_ = false;
    userId_ = 0;
    headerDirty_ = false;
    state_ = TnvDBFState::Normal;

    ReadHeader();
    Notify(nvnotify::kOpened, 0);
}

NVO_dBaseDBF::~NVO_dBaseDBF() {
    try {
        if (headerDirty_ && !Closed()) {
            // The object goes away with its table lock: the header it kept back is due now.
            tableLocked_ = false;
            ReadHeader();
            WriteHeader();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Norvane: header of %s not written: %s\n", FileName().c_str(),
                     e.what());
    }
}

void NVO_dBaseDBF::ValidateLayout(int64_t fileSize) {
    bool bad = fileSize >= kMaxTableSize || recordLength_ <= 0 ||
               nvdbf::DescriptorAreaLength(version_, headerLength_) < 0 ||
               headerLength_ > fileSize;
    if (bad) NvRaise(TnvMsg::TableHeaderInvalid, {FileName()});
}

void NVO_dBaseDBF::LoadDescriptors() {
    int area = nvdbf::DescriptorAreaLength(version_, headerLength_);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(area));
    if (area > 0 && ReadAt(nvdbf::kHeaderSize, bytes.data(), area) < area)
        NvRaise(TnvMsg::ReadError, {FileName()});
    // The whole area is one cipher sequence, whatever slack follows the terminator.
    if (enciphered_ && area > 0) DecipherInPlace(readPassword_, bytes.data(), bytes.size());

    // Some writers leave more room after the descriptors than the version byte foresees;
    // the list ends at the first slot that starts with the terminator.
    int slots = area / nvdbf::kDescriptorSize;
    descriptors_.clear();
    int64_t fieldBytes = 0;
    for (int i = 0; i < slots; ++i) {
        const uint8_t* p = bytes.data() + i * nvdbf::kDescriptorSize;
        if (p[0] == nvdbf::kTerminator) break;
        TnvFieldDescriptor d;
        std::copy(p, p + nvdbf::kDescriptorSize, d.bytes.begin());
        fieldBytes += d.Length();
        descriptors_.push_back(d);
    }
    // An enciphered table checks the same sum as its password test (field layer), where a
    // mismatch means a wrong password rather than a damaged file.
    if (!enciphered_ && recordLength_ < 1 + fieldBytes)
        NvRaise(TnvMsg::TableHeaderInvalid, {FileName()});
}

int64_t NVO_dBaseDBF::RecordOffset(int32_t n) const {
    return int64_t(headerLength_) + int64_t(recordLength_) * (int64_t(n) - 1);
}

int32_t NVO_dBaseDBF::CountFromSize(int64_t fileSize) const {
    if (fileSize <= headerLength_ || recordLength_ <= 0) return 0;
    int64_t n = (fileSize - headerLength_) / recordLength_;
    return n > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                    : static_cast<int32_t>(n);
}

// ---- header ----

void NVO_dBaseDBF::ReadHeader() {
    if (!Shared()) {
        changedByOthers_ = false;
        return;
    }
    TnvDBFHeader fresh;
    if (ReadAt(0, fresh.bytes.data(), nvdbf::kHeaderSize) < nvdbf::kHeaderSize)
        NvRaise(TnvMsg::ReadError, {FileName()});
    header_ = fresh;
    int32_t n = CountFromSize(FileSize());
    // Accumulated until TableChanged reports it: appends re-read the header too, and must
    // not hide a change another program made before them.
    bool changed = n != count_ || fresh.ChangeStamp() != lastStamp_;
    if (changed) changedByOthers_ = true;
    count_ = n;
    lastStamp_ = fresh.ChangeStamp();
    if (changed) ChangedByOthers();
}

void NVO_dBaseDBF::WriteHeader() {
    if (!ReadWrite() || !headerDirty_ || tableLocked_) return;
    nvlocale::LocalDateTime now = nvlocale::Now();
    uint32_t stamp = static_cast<uint32_t>(
        ((now.hour * 64 + now.minute) * 64 + now.second) * 1024 + now.millisecond);
    TnvDBFHeader image = header_;
    image.bytes[1] = static_cast<uint8_t>(now.year % 100);
    image.bytes[2] = static_cast<uint8_t>(now.month);
    image.bytes[3] = static_cast<uint8_t>(now.day);
    nvbytes::StoreLE32(image.bytes.data() + 4, static_cast<uint32_t>(count_));
    nvbytes::StoreLE16(image.bytes.data() + 8, static_cast<uint16_t>(headerLength_));
    nvbytes::StoreLE16(image.bytes.data() + 10, static_cast<uint16_t>(recordLength_));
    image.bytes[15] = enciphered_ ? 1 : 0;
    nvbytes::StoreLE32(image.bytes.data() + 16, stamp);
    nvbytes::StoreLE32(image.bytes.data() + 20, static_cast<uint32_t>(userId_));
    image.bytes[28] = static_cast<uint8_t>((productionIndex_ ? nvdbf::kFlagProductionIndex : 0) |
                                           (memoFlagBit_ ? nvdbf::kFlagMemo : 0) |
                                           (containerFlag_ ? nvdbf::kFlagContainer : 0));
    WriteAt(0, image.bytes.data(), nvdbf::kHeaderSize);
    header_ = image;
    lastStamp_ = stamp;
    headerDirty_ = false;
    headerDeferred_ = false;
}

uint8_t NVO_dBaseDBF::TableChanged() {
    ReadHeader();
    uint8_t result = static_cast<uint8_t>((writtenByUs_ ? kTableWrittenByUs : 0) |
                                          (changedByOthers_ ? kTableChangedByOthers : 0));
    writtenByUs_ = false;
    changedByOthers_ = false;
    return result;
}

void NVO_dBaseDBF::SetProductionIndex(bool value) {
    productionIndex_ = value;
    headerDirty_ = true;
}

// ---- records ----

void NVO_dBaseDBF::Notify(int code, int32_t) {
    if (code == nvnotify::kAfterRead || code == nvnotify::kAfterWrite) {
        recordModified_ = false;
        if (state_ != TnvDBFState::PasswordChange) state_ = TnvDBFState::Normal;
    }
}

void NVO_dBaseDBF::Go(int32_t target) {
    if (target == 0) return;
    if (target < -5) NvRaise(TnvMsg::RecordNotInTable, {target, FileName()});
    Notify(nvnotify::kBeforeRead, target);
    if (count_ == 0) ReadHeader();
    int32_t n = target;
    switch (target) {
        case -3:
            n = 1;
            break;
        case -4:
            n = count_;
            break;
        case -1:
            if (current_ >= count_) {
                eof_ = true;
                if (count_ == 0) bof_ = true;
                return;
            }
            n = current_ + 1;
            break;
        case -2:
            if (current_ <= 1) {
                bof_ = true;
                if (count_ == 0) eof_ = true;
                return;
            }
            n = current_ - 1;
            break;
        case -5:
            n = current_;
            break;
        default:
            break;
    }
    if (count_ == 0 && target < 0) {
        eof_ = true;
        bof_ = true;
        return;
    }
    if (n <= 0) {
        bof_ = true;
        return;
    }
    if (n > count_) {
        ReadHeader();
        if (n > count_ + 1) NvRaise(TnvMsg::RecordNotInTable, {n, FileName()});
        if (n == count_ + 1) {
            eof_ = true;
            return;
        }
    }
    ReadRecord(n);
}

void NVO_dBaseDBF::ReadRecord(int32_t n) {
    if (ReadAt(RecordOffset(n), rec_, recordLength_) < recordLength_)
        NvRaise(TnvMsg::ReadError, {FileName()});
    if (enciphered_) DecipherInPlace(readPassword_, rec_, static_cast<std::size_t>(recordLength_));
    current_ = n;
    eof_ = false;
    bof_ = false;
    std::copy(rec_, rec_ + recordLength_, oldRecord_.begin());
    Notify(nvnotify::kAfterRead, n);
}

void NVO_dBaseDBF::WriteImage(int64_t offset, bool withEndOfFile) {
    // The record buffer stays plain; the end-of-file byte after an append is never enciphered.
    EncipherRecord(enciphered_ ? writePassword_ : std::string_view(), rec_, workBuffer_.data(),
                   static_cast<std::size_t>(recordLength_), true);
    WriteAt(offset, workBuffer_.data(), recordLength_ + (withEndOfFile ? 1 : 0));
}

NVO_DiskFile& NVO_dBaseDBF::AcquireAppendLock() {
    TnvLockRange range = lockNumbers_.AppendLock();
    NVO_DiskFile* holder = this;
    bool holdsOther = LockHolds() > 0 && !tableLocked_ &&
                      !(LockOffset() == range.offset && LockLength() == range.length);
    if (holdsOther && Shared()) {
        // This object holds a record lock (one range per file object), so the append lock
        // is taken through a second handle, which the OS treats as another holder.
        if (!appendLockFile_) {
            auto side = std::make_unique<NVO_DiskFile>(FileName(), true, ReadWrite());
            side->Open();
            appendLockFile_ = std::move(side);
        }
        holder = appendLockFile_.get();
    }
    for (int attempt = 0; attempt < kNvLockAttempts; ++attempt) {
        bool got = holder == this ? LockAppend() : holder->LockRange(range.offset, range.length);
        if (got) return *holder;
        NvOS().SleepMs(kNvLockStepMs);
    }
    NvRaise(TnvMsg::CannotLockFile, {FileName()});
}

void NVO_dBaseDBF::ReleaseAppendLock(NVO_DiskFile& holder) {
    if (&holder == this)
        UnlockTable();
    else
        holder.Unlock();
}

template <class Work>
void NVO_dBaseDBF::UnderAppendLock(Work&& work) {
    NVO_DiskFile& holder = AcquireAppendLock();
    try {
        work();
    } catch (...) {
        // The work's failure is the one to report, not a failed release after it.
        try {
            ReleaseAppendLock(holder);
        } catch (...) {
        }
        throw;
    }
    ReleaseAppendLock(holder);
}

void NVO_dBaseDBF::Append() {
    UnderAppendLock([&] {
        Notify(nvnotify::kBeforeWrite, 0);
        recordModified_ = true;
        headerDirty_ = true;
        ReadHeader();
        rec_[0] = ' ';
        int32_t previous = current_;
        ++count_;
        current_ = count_;
        try {
            WriteImage(RecordOffset(count_), true);
        } catch (...) {
            --count_;
            current_ = previous;
            throw;
        }
        // Nobody else can see an exclusive table: during a bulk write its header waits for
        // Flush, Close or the end of the bulk write, the record count living in the file
        // size meanwhile.
        if (Shared() || !WritingBehind())
            WriteHeader();
        else
            headerDeferred_ = true;
    });
    eof_ = false;
    bof_ = false;
    AfterWrite(0);
}

void NVO_dBaseDBF::AfterWrite(int32_t value) {
    // The record is written whatever the layers above make of it: the copy of it as last
    // written must follow, or the next write would take this one's keys for the old ones.
    std::exception_ptr error;
    try {
        Notify(nvnotify::kAfterWrite, value);
    } catch (...) {
        error = std::current_exception();
    }
    std::copy(rec_, rec_ + recordLength_, oldRecord_.begin());
    if (autoFlush_) {
        try {
            Flush();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

void NVO_dBaseDBF::WriteRecord(int32_t n) {
    Notify(nvnotify::kBeforeWrite, n);
    if (Shared() && n > count_) ReadHeader();  // the record may be one another program added
    if (n > count_ || n <= 0) {
        Append();
        return;
    }
    auto write = [&] {
        headerDirty_ = true;
        WriteImage(RecordOffset(n), false);
        current_ = n;
        writtenByUs_ = true;
        ReadHeader();
        if (Shared() || !WritingBehind())
            WriteHeader();
        else
            headerDeferred_ = true;
    };
    // Shared, the header's count could be overtaken by another program's append between
    // reading and writing it, so the append lock is held for both; it is taken before the
    // record is written, so that a lock that cannot be had leaves the record and the header
    // as they were.
    if (Shared())
        UnderAppendLock(write);
    else
        write();
    AfterWrite(n);
}

// ---- locks ----

bool NVO_dBaseDBF::LockAppend() {
    if (tableLocked_) {
        AddLockHold();
        return true;
    }
    TnvLockRange r = lockNumbers_.AppendLock();
    return LockRange(r.offset, r.length);
}

bool NVO_dBaseDBF::LockTable() {
    if (tableLocked_) {
        AddLockHold();
        return true;
    }
    TnvLockRange r = lockNumbers_.TableLock();
    tableLocked_ = LockRange(r.offset, r.length);
    if (tableLocked_) ReadHeader();
    return tableLocked_;
}

bool NVO_dBaseDBF::LockTableFull() {
    if (tableLocked_) {
        AddLockHold();
        return true;
    }
    TnvLockRange r = TnvTableLockNumbers::FullLock();
    tableLocked_ = LockRange(r.offset, r.length);
    if (tableLocked_) ReadHeader();
    return tableLocked_;
}

bool NVO_dBaseDBF::UnlockTable() {
    bool wasLocked = tableLocked_;
    Unlock();
    if (wasLocked && LockHolds() <= 0) {
        tableLocked_ = false;
        WriteHeader();
    }
    return true;
}

bool NVO_dBaseDBF::LockRecord() {
    if (tableLocked_) {
        AddLockHold();
        return true;
    }
    if (current_ <= 0) return false;
    TnvLockRange r;
    if (!NvRecordLockRange(protocol_, current_, HasIndexFiles(), headerLength_, recordLength_, r))
        return false;
    return LockRange(r.offset, r.length);
}

void NVO_dBaseDBF::SetLockProtocol(TnvLokProtocol protocol) {
    protocol_ = protocol;
    NvSetTableLockNumbers(protocol, lockNumbers_);
    if (memo_) memo_->SetLockProtocol(protocol);
}

// ---- file operations ----

void NVO_dBaseDBF::SetWriteBehind(int64_t bytes) {
    if (bytes <= 0 && headerDeferred_ && !Closed()) WriteHeader();
    NVO_DiskFile::SetWriteBehind(bytes);
}

bool NVO_dBaseDBF::Close() {
    if (headerDeferred_ && !Closed()) WriteHeader();
    return NVO_DiskFile::Close();
}

void NVO_dBaseDBF::Flush() {
    if (headerDeferred_ && !Closed()) WriteHeader();
    NVO_DiskFile::Flush();
    if (memo_) memo_->Flush();
    Notify(nvnotify::kAfterFlush, current_);
}

void NVO_dBaseDBF::Rename(std::string_view newName) {
    std::string oldName = FileName();
    NVO_DiskFile::Rename(newName);
    alias_ = nvlocale::AnsiUpperCase(BaseName(FileName()));
    if (!hasMemo_) return;
    // The memo file follows the table under the new base name with its own extension.
    // (dBase III and IV also put the new base name into the memo header).
    memo_.reset();
    std::string oldMemo = NVobjMemoBase::MemoFileName(oldName, version_);
    if (!NVO_DiskFile(oldMemo, false, true).Exists()) return;
    std::unique_ptr<NVobjMemoBase> memo =
        NVobjMemoBase::Create(oldName, version_, false, true);
    if (memo) memo->RenameMemo(FileName());
}

NVobjMemoBase* NVO_dBaseDBF::MemoFile() {
    if (!hasMemo_) return nullptr;
    if (!memo_) memo_ = CreateMemoObject();
    return memo_.get();
}

std::unique_ptr<NVobjMemoBase> NVO_dBaseDBF::CreateMemoObject() {
    std::unique_ptr<NVobjMemoBase> memo =
        NVobjMemoBase::Create(FileName(), version_, Shared(), ReadWrite());
    if (memo) {
        memo->SetLockProtocol(protocol_);
        memo->SetKeys(CipherKeys());
    }
    return memo;
}

TnvCipherKeys NVO_dBaseDBF::CipherKeys() const {
    TnvCipherKeys keys;
    keys.enciphered = enciphered_;
    if (enciphered_) {
        keys.readKey = readPassword_;
        keys.writeKey = writePassword_;
    }
    return keys;
}

// ---- replacing the files ----

void NVO_dBaseDBF::ReopenReplacedFile() {
    memo_.reset();
    if (Closed()) Open();
    TnvDBFHeader fresh;
    if (ReadAt(0, fresh.bytes.data(), nvdbf::kHeaderSize) < nvdbf::kHeaderSize)
        NvRaise(TnvMsg::ReadError, {FileName()});
    // The copy holds the same descriptors but need not keep the padding another program
    // left after them, so only a header too short for them is refused.
    int area = nvdbf::DescriptorAreaLength(version_, fresh.HeaderLength());
    if (fresh.RecordLength() != recordLength_ ||
        area < static_cast<int>(descriptors_.size()) * nvdbf::kDescriptorSize)
        NvRaise(TnvMsg::TableHeaderInvalid, {FileName()});
    headerLength_ = fresh.HeaderLength();
    header_ = fresh;
    lastStamp_ = fresh.ChangeStamp();
    count_ = CountFromSize(FileSize());
    current_ = 0;
    eof_ = false;
    bof_ = true;
    headerDirty_ = false;
}

void NVO_dBaseDBF::SetPasswordOfEmptyTable(const std::string& password) {
    int area = nvdbf::DescriptorAreaLength(version_, headerLength_);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::max(area, 0)), 0);
    if (area > 0 && ReadAt(nvdbf::kHeaderSize, bytes.data(), area) < area)
        NvRaise(TnvMsg::ReadError, {FileName()});
    DecipherInPlace(enciphered_ ? readPassword_ : std::string(), bytes.data(), bytes.size());
    for (std::size_t i = 0; i < descriptors_.size(); ++i) {
        std::size_t at = i * nvdbf::kDescriptorSize;
        if (at + nvdbf::kDescriptorSize > bytes.size()) break;
        std::copy(descriptors_[i].bytes.begin(), descriptors_[i].bytes.end(), bytes.begin() + at);
    }
    EncipherInPlace(password, bytes.data(), bytes.size());
    if (area > 0) WriteAt(nvdbf::kHeaderSize, bytes.data(), area);
    AdoptPassword(password);
    headerDirty_ = true;
    WriteHeader();
}

void NVO_dBaseDBF::AdoptPassword(const std::string& password) {
    readPassword_ = password;
    writePassword_ = password;
    enciphered_ = !password.empty();
    header_.bytes[15] = enciphered_ ? 1 : 0;
    if (memo_) memo_->SetKeys(CipherKeys());
}

void NVO_dBaseDBF::TruncateRecords() {
    count_ = 0;
    current_ = 0;
    headerDirty_ = true;
    const uint8_t end = nvdbf::kEndOfFile;
    WriteAt(headerLength_, &end, 1);
    Truncate(int64_t(headerLength_) + 1);
    WriteHeader();
}
