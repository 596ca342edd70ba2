#include "nv6_disk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "nv6_glbl.h"
#include "nv6_os.h"

// ---- File names ----

std::string NvExpandFileName(std::string_view name) {
    // Names in a form the family's own path rules keep (UNC "\\server", "C:" after a prefix)
    // and names already absolute are taken as given.
    if (name.find("\\\\") != std::string_view::npos) return std::string(name);
    if (name.size() > 2 && name.find(':', 2) != std::string_view::npos) return std::string(name);
    if (!name.empty() && name.front() == '/') return std::string(name);
    return NvAbsolutePath(name);
}

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Start of the last path component.
std::size_t LeafStart(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// Position of the extension's dot in the last component, or npos. A leading dot (".hidden")
// is part of the name, not an extension.
std::size_t ExtDot(std::string_view path) {
    std::size_t leaf = LeafStart(path);
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || dot <= leaf) return std::string_view::npos;
    return dot;
}

std::string_view StripDot(std::string_view ext) {
    if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
    return ext;
}

}  // namespace

std::string NvFindFileNoCase(std::string_view path) {
    std::string given(path);
    NvPlatform& os = NvOS();
    if (given.empty() || os.Exists(given)) return given;
    std::size_t leaf = LeafStart(path);
    std::string_view name = path.substr(leaf);
    if (name.empty()) return given;
    std::string directory(path.substr(0, leaf));
    std::vector<std::string> entries;
    if (!os.ListDirectory(directory.empty() ? std::string(".") : directory, entries)) return given;
    const std::string* found = nullptr;
    for (const std::string& entry : entries) {
        if (!SameNoCase(entry, name)) continue;
        if (found) return given;  // ambiguous: do not guess between "a.DBT" and "A.dbt"
        found = &entry;
    }
    return found ? directory + *found : given;
}

std::string NvCompanionName(std::string_view tablePath, std::string_view ext) {
    ext = StripDot(ext);
    std::size_t dot = ExtDot(tablePath);
    std::string_view base = tablePath.substr(0, dot);
    std::string_view model;  // the letters whose case the new extension follows
    if (dot != std::string_view::npos) model = tablePath.substr(dot + 1);

    bool anyLower = false, anyUpper = false;
    char lastCase = 0;  // 'l' or 'u': case of the model's last letter
    std::string_view caseSource = model.empty() ? tablePath.substr(LeafStart(tablePath)) : model;
    for (char c : caseSource) {
        if (IsLower(c)) anyLower = true, lastCase = 'l';
        if (IsUpper(c)) anyUpper = true, lastCase = 'u';
    }
    if (model.empty() || lastCase == 0) lastCase = (anyLower && !anyUpper) ? 'l' : 'u';

    std::string result(base);
    result += '.';
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char want = lastCase;
        if (i < model.size()) {
            if (IsLower(model[i])) want = 'l';
            else if (IsUpper(model[i])) want = 'u';
        }
        result += want == 'l' ? AsciiLower(ext[i]) : AsciiUpper(ext[i]);
    }
    return result;
}

bool NvHasExt(std::string_view path, std::string_view ext) {
    ext = StripDot(ext);
    std::size_t dot = ExtDot(path);
    if (dot == std::string_view::npos) return ext.empty();
    return SameNoCase(path.substr(dot + 1), ext);
}

// ---- NVO_DiskFile ----

NVO_DiskFile::NVO_DiskFile(std::string_view fileName, bool shared, bool readWrite)
    : fileName_(NvExpandFileName(fileName)), shared_(shared), readWrite_(readWrite) {
    exists_ = !fileName_.empty() && NvOS().Exists(fileName_);
}

NVO_DiskFile::~NVO_DiskFile() {
    try {
        if (!NVO_DiskFile::Close())
            std::fprintf(stderr, "%s\n", NvMessage(TnvMsg::CloseError, {fileName_}).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "%s\n", NvMessage(TnvMsg::CloseError, {fileName_}).c_str());
    }
}

bool NVO_DiskFile::Close() {
    if (closed_) return true;
    ++changes_;
    if (!held_.empty()) {
        try {
            WriteHeld();
        } catch (...) {
            // The held bytes are lost: closing must still happen, and the caller learn it.
            NVO_DiskFile::Close();
            throw;
        }
    }
    Unmap();
    NvPlatform& os = NvOS();
    if (lockHolds_ > 0 && shared_) {
        // Closing the handle drops the lock anyway, so a refused unlock is not worth
        // keeping the handle open for.
        os.RangeLock(handle_, lockOffset_, lockLength_, NvRangeLock::Unlock);
    }
    lockHolds_ = 0;
    if (NVobjFileColl::Created()) NVobjFileColl::Instance().Extract(this);
    bool ok = os.Close(handle_);
    handle_ = -1;
    closed_ = true;
    position_ = 0;
    return ok;
}

int64_t NVO_DiskFile::FileSize() {
    int64_t size = closed_ ? -1 : NvOS().Size(handle_);
    if (size < 0) NvRaise(TnvMsg::FileSizeError, {fileName_});
    if (!held_.empty()) size = std::max(size, heldAt_ + static_cast<int64_t>(held_.size()));
    return size;
}

void NVO_DiskFile::Flush() {
    if (closed_) return;
    WriteHeld();
    if (!NvOS().Fsync(handle_)) NvRaise(TnvMsg::FlushError, {fileName_});
    written_ = false;
}

bool NVO_DiskFile::LockFile() {
    if (!shared_) return true;
    return LockRange(0, kFullLockLength);
}

bool NVO_DiskFile::LockRange(int64_t offset, int64_t length) {
    if (!shared_) {
        ++lockHolds_;
        lockOffset_ = offset;
        lockLength_ = length;
        return true;
    }
    if (lockHolds_ > 0) {
        if (offset != lockOffset_ || length != lockLength_) return false;
        ++lockHolds_;
        return true;
    }
    lockOffset_ = offset;
    lockLength_ = length;
    // A length of 0 would mean "to the end of all offsets" to the OS: never ask for it.
    if (closed_ || offset < 0 || length <= 0) return false;
    NvRangeLock kind = osWritable_ ? NvRangeLock::Write : NvRangeLock::Read;
    if (!NvOS().RangeLock(handle_, offset, length, kind)) return false;
    lockHolds_ = 1;
    ++lockEpoch_;
    return true;
}

int64_t NVO_DiskFile::ReadAt(int64_t offset, void* buffer, int64_t length) {
    if (closed_ || offset < 0 || length < 0 || offset > std::numeric_limits<int64_t>::max() - length ||
        (length > 0 && !buffer)) {
        lastCount_ = -1;
        NvRaise(TnvMsg::ReadError, {fileName_});
    }
    if (!held_.empty() && offset < heldAt_ + static_cast<int64_t>(held_.size()) && offset + length > heldAt_)
        WriteHeld();
    if (const unsigned char* mapped = Mapped(offset, length)) {
        if (length > 0) std::memcpy(buffer, mapped, static_cast<std::size_t>(length));
        lastCount_ = length;
        position_ = offset + length;
        return length;
    }
    NvPlatform& os = NvOS();
    auto* bytes = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < length) {
        int64_t n = os.PRead(handle_, bytes + done, length - done, offset + done);
        if (n < 0) {
            lastCount_ = -1;
            NvRaise(TnvMsg::ReadError, {fileName_});
        }
        if (n == 0) break;  // end of file
        done += n;
    }
    lastCount_ = done;
    position_ = offset + length;
    return done;
}

const unsigned char* NVO_DiskFile::Mapped(int64_t offset, int64_t length) {
    // Tests put a platform in between to count and fail reads: they must see every one.
    if (shared_ || length > kMappedReadMax || &NvOS() != &NvPosixPlatform()) return nullptr;
    if (offset + length <= mapLength_) return map_ + offset;
    if (knownSize_ < 0) knownSize_ = NvOS().Size(handle_);
    if (offset + length > knownSize_) return nullptr;  // a short read at the end of the file
    // A growing file is mapped again only once it has grown by an eighth, so that appends
    // with reads just behind them do not map it at every record.
    if (map_ && knownSize_ - mapLength_ < std::max<int64_t>(mapLength_ / 8, int64_t{1} << 20)) return nullptr;
    Unmap();
    map_ = static_cast<const unsigned char*>(NvPosixPlatform().MapForReading(handle_, knownSize_));
    if (!map_) return nullptr;
    mapLength_ = knownSize_;
    return map_ + offset;
}

void NVO_DiskFile::Unmap() {
    if (map_) NvPosixPlatform().Unmap(map_, mapLength_);
    map_ = nullptr;
    mapLength_ = 0;
}

void NVO_DiskFile::Rename(std::string_view newName) {
    if (!Close()) NvRaise(TnvMsg::CloseError, {fileName_});
    std::string target = NvExpandFileName(newName);
    if (target.empty() || !NvOS().RenameNoReplace(fileName_, target))
        NvRaise(TnvMsg::RenameError, {fileName_});
    fileName_ = target;
    Open();
}

void NVO_DiskFile::Open() {
    if (!exists_) NvRaise(TnvMsg::FileNotFound, {fileName_});
    if (!closed_) Close();
    NvPlatform& os = NvOS();
    bool writable = true;
    int handle = os.Open(fileName_, true, false);
    if (handle < 0 && !readWrite_ && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        writable = false;
        handle = os.Open(fileName_, false, false);
    }
    if (handle < 0) NvRaise(TnvMsg::AccessDenied, {fileName_});
    if (!os.ShareLock(handle, shared_ ? NvShareLock::Shared : NvShareLock::Exclusive)) {
        os.Close(handle);
        NvRaise(TnvMsg::AccessDenied, {fileName_});
    }
    handle_ = handle;
    ++changes_;
    osWritable_ = writable;
    knownSize_ = -1;
    closed_ = false;
    position_ = 0;
    lockHolds_ = 0;
    NVobjFileColl& files = NVobjFileColl::Instance();
    if (files.IndexOf(this) < 0) files.Add(this);
}

void NVO_DiskFile::CreateNew() {
    if (!closed_) Close();
    NvPlatform& os = NvOS();
    // Never O_TRUNC: the file is emptied only once the exclusive share lock proves that no
    // other handle (another program's table, say) has it open.
    int handle = os.Open(fileName_, true, true);
    if (handle < 0) NvRaise(TnvMsg::CouldNotCreate, {fileName_});
    bool ok = os.ShareLock(handle, NvShareLock::Exclusive) && os.Truncate(handle, 0);
    ok = os.Close(handle) && ok;
    if (!ok) NvRaise(TnvMsg::CouldNotCreate, {fileName_});
    exists_ = true;
    Open();
}

void NVO_DiskFile::StatusUpdate(int32_t, int32_t, int32_t) {}

void NVO_DiskFile::Truncate(int64_t size) {
    if (!readWrite_ || !HasFullAccess()) NvRaise(TnvMsg::RequiresFullAccess, {"Truncate", fileName_});
    WriteHeld();
    if (untouchedFrom_ >= 0) untouchedFrom_ = std::max(untouchedFrom_, size);
    ++changes_;
    // Bytes cut off the end must never be touched through the map.
    Unmap();
    knownSize_ = -1;
    if (closed_ || size < 0 || !NvOS().Truncate(handle_, size))
        NvRaise(TnvMsg::TruncateError, {fileName_});
    position_ = size;
}

bool NVO_DiskFile::Unlock() {
    if (lockHolds_ <= 0) return true;
    if (shared_ && lockHolds_ == 1 && !closed_) {
        if (!NvOS().RangeLock(handle_, lockOffset_, lockLength_, NvRangeLock::Unlock))
            NvRaise(TnvMsg::UnlockError, {fileName_});
    }
    --lockHolds_;
    return true;
}

void NVO_DiskFile::WriteAt(int64_t offset, const void* buffer, int64_t length) {
    written_ = false;
    ++changes_;
    if (closed_ || !readWrite_ || offset < 0 || length < 0 ||
        offset > std::numeric_limits<int64_t>::max() - length || (length > 0 && !buffer)) {
        lastCount_ = -1;
        NvRaise(TnvMsg::WriteError, {fileName_});
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (writeBehind_ > 0 && !shared_) {
        const int64_t heldEnd = heldAt_ + static_cast<int64_t>(held_.size());
        bool continues = !held_.empty() && offset >= heldAt_ && offset + length - heldAt_ <= writeBehind_;
        if (continues && offset > heldEnd) {
            // A write past a gap: a tag build writes the pages it reserved ahead later on. The
            // gap may be held as zeros only where the file never had bytes, which it reads as
            // zeros anyway, and whatever comes for the gap later lands on top.
            if (untouchedFrom_ < 0) {
                untouchedFrom_ = NvOS().Size(handle_);
                if (untouchedFrom_ < 0) untouchedFrom_ = std::numeric_limits<int64_t>::max();
            }
            continues = heldEnd >= untouchedFrom_;
        }
        if (!continues) WriteHeld();
        if (continues || length < writeBehind_) {
            if (held_.empty()) heldAt_ = offset;
            const auto at = static_cast<std::size_t>(offset - heldAt_);
            if (held_.size() < at + static_cast<std::size_t>(length)) held_.resize(at + static_cast<std::size_t>(length));
            if (length > 0) std::memcpy(held_.data() + at, bytes, static_cast<std::size_t>(length));
            lastCount_ = length;
            position_ = offset + length;
            written_ = true;
            return;
        }
    } else if (!held_.empty()) {
        WriteHeld();
    }
    WriteThrough(offset, bytes, length);
}

void NVO_DiskFile::WriteThrough(int64_t offset, const unsigned char* bytes, int64_t length) {
    NvPlatform& os = NvOS();
    int64_t done = 0;
    while (done < length) {
        int64_t n = os.PWrite(handle_, bytes + done, length - done, offset + done);
        if (n <= 0) {  // an error, or a write that makes no progress (device full)
            lastCount_ = -1;
            written_ = false;
            NvRaise(TnvMsg::WriteError, {fileName_});
        }
        done += n;
    }
    lastCount_ = done;
    position_ = offset + length;
    written_ = true;
    if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, offset + length);
    if (untouchedFrom_ >= 0) untouchedFrom_ = std::max(untouchedFrom_, offset + length);
}

void NVO_DiskFile::SetWriteBehind(int64_t bytes) {
    if (bytes <= 0 || shared_) {
        writeBehind_ = 0;
        WriteHeld();
        untouchedFrom_ = -1;
        return;
    }
    writeBehind_ = bytes;
    held_.reserve(static_cast<std::size_t>(bytes));
}

void NVO_DiskFile::WriteHeld() {
    if (held_.empty()) return;
    std::vector<unsigned char> bytes;
    bytes.swap(held_);  // dropped whatever happens: a second attempt would write them twice
    // The buffer itself serves the next bytes held: a new one would take fresh pages each
    // time, and their first touch costs more than the write.
    struct KeepBuffer {
        std::vector<unsigned char>& bytes;
        std::vector<unsigned char>& held;
        ~KeepBuffer() {
            bytes.clear();
            if (held.empty()) held.swap(bytes);
        }
    } keep{bytes, held_};
    const int64_t position = position_;
    const int64_t lastCount = lastCount_;
    if (closed_) NvRaise(TnvMsg::WriteError, {fileName_});
    WriteThrough(heldAt_, bytes.data(), static_cast<int64_t>(bytes.size()));
    position_ = position;
    lastCount_ = lastCount;
}

bool NVO_DiskFile::HasFullAccess() const {
    if (!shared_) return true;
    return lockHolds_ > 0 && lockOffset_ == 0 && lockLength_ == kFullLockLength;
}

void NVO_DiskFile::ReleaseAtShutdown() {
    if (closed_) return;
    try {
        WriteHeld();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    Unmap();
    NvPlatform& os = NvOS();
    if (lockHolds_ > 0 && shared_) os.RangeLock(handle_, lockOffset_, lockLength_, NvRangeLock::Unlock);
    lockHolds_ = 0;
    os.Close(handle_);
    handle_ = -1;
    closed_ = true;
    position_ = 0;
}

NvWriteBehindScope::NvWriteBehindScope(NVO_DiskFile* file, int64_t bytes)
    : file_(file && !file->Shared() && !file->Closed() ? file : nullptr) {
    if (file_) file_->SetWriteBehind(bytes);
}

NvWriteBehindScope::~NvWriteBehindScope() {
    if (!file_) return;
    try {
        file_->SetWriteBehind(0);
    } catch (...) {
        // The operation is failing already; its own error is the one to report.
    }
}

void NvWriteBehindScope::Finish() {
    NVO_DiskFile* file = file_;
    file_ = nullptr;
    if (file) file->SetWriteBehind(0);
}

// ---- NVobjFileColl ----

namespace {
NVobjFileColl* g_files = nullptr;
}

NVobjFileColl& NVobjFileColl::Instance() {
    if (!g_files) {
        // Never destroyed: file objects that outlive main (statics) still find it, and the
        // exit handler walks it without any destruction-order question.
        g_files = new NVobjFileColl;
        std::atexit(NvShutdownFiles);
    }
    return *g_files;
}

bool NVobjFileColl::Created() { return g_files != nullptr; }

void NVobjFileColl::ReleaseAll() {
    std::vector<NVO_DiskFile*> files;
    for (int i = 0; i < Count(); ++i) files.push_back(Items(i));
    for (NVO_DiskFile* file : files) file->ReleaseAtShutdown();
    FreeAll();
}

void NvShutdownFiles() {
    if (g_files) g_files->ReleaseAll();
}

// ---- Lock protocols ----

bool NvIsLockProtocol(TnvLokProtocol protocol) {
    auto p = static_cast<int32_t>(protocol);
    return p >= 0 && p <= 3;
}

bool NvSetTableLockNumbers(TnvLokProtocol protocol, TnvTableLockNumbers& numbers) {
    switch (protocol) {
        case TnvLokProtocol::Default:
        case TnvLokProtocol::FoxLock:
            numbers = {0x40000000, 0x7FFFFFFE, 0x3FFFFFFF};
            return true;
        case TnvLokProtocol::DB4Lock:
            numbers = {0x40000000, 0xEFFFFFFF, 0xB0000000};
            return true;
        case TnvLokProtocol::ClipLock:
            numbers = {1000000000, 1000000000, 1000000000};
            return true;
    }
    return false;
}

bool NvRecordLockRange(TnvLokProtocol protocol, int32_t recNo, bool indexOpen,
                       int64_t headerLength, int64_t recordLength, TnvLockRange& range) {
    const int64_t n = recNo;
    switch (protocol) {
        case TnvLokProtocol::Default:
        case TnvLokProtocol::FoxLock:
            range = indexOpen ? TnvLockRange{0x7FFFFFFE - n, 1}
                              : TnvLockRange{0x40000000 + headerLength + recordLength * (n - 1), 1};
            return true;
        case TnvLokProtocol::DB4Lock:
            range = {0xEFFFFFFF - n - 1, 1};
            return true;
        case TnvLokProtocol::ClipLock:
            range = {1000000000 + n, 1};
            return true;
    }
    return false;
}

bool NvSetIndexLockRange(TnvLokProtocol protocol, TnvLockRange& range) {
    switch (protocol) {
        case TnvLokProtocol::Default:
        case TnvLokProtocol::FoxLock:
            range = {0x7FFFFFFD, 1};
            return true;
        case TnvLokProtocol::DB4Lock:
            range = {0xEFFFFFFE, 2};
            return true;
        case TnvLokProtocol::ClipLock:
            range = {1000000000, 1};
            return true;
    }
    return false;
}

namespace {

// Up to kNvLockAttempts tries, kNvLockStepMs apart (no wait after the last one).
template <class Try>
bool Retry(Try attempt) {
    for (int i = 1; i <= kNvLockAttempts; ++i) {
        if (attempt()) return true;
        if (i < kNvLockAttempts) NvOS().SleepMs(kNvLockStepMs);
    }
    return false;
}

}  // namespace

void NvLockIndexFile(NVO_DiskFile& indexFile, const TnvLockRange& range) {
    if (!indexFile.Shared()) return;
    if (!Retry([&] { return indexFile.LockRange(range.offset, range.length); }))
        NvRaise(TnvMsg::CannotLockFile, {indexFile.FileName()});
}

void NvLockFileRetry(NVO_DiskFile& file, std::string_view operation) {
    if (!Retry([&] { return file.LockFile(); }))
        NvRaise(TnvMsg::RequiresFullAccess, {operation, file.FileName()});
}
