// Disk files: `NVO_DiskFile`, the one file object every table, memo and index file is or
// owns; the lock protocols that put record, table and index locks at the byte offsets the
// other programs of the xBase family use; and the process-wide list of open files.
//
// A file object opens exclusive (no other handle may open the file) or shared, reads and
// writes at explicit offsets and holds at most one byte-range lock, counted. It reaches the
// operating system only through nv6_os.h, so tests can inject failures. Failures raise
// ENorvaneError with the file's full path; a refused lock is a false result, not an error.
// Not thread-safe (the engine is single-threaded); locks coordinate processes and separate
// file objects of one process alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

#include "nv6_coll.h"

// ---- File names ----

// The name the file layer keeps for `name`: unchanged when it is absolute, contains a double
// backslash, or has a colon after its second character; otherwise made absolute from the
// current directory (lexically: "." and ".." folded, symbolic links kept, need not exist).
std::string NvExpandFileName(std::string_view name);

// `path` itself when it exists; otherwise the one entry of its directory whose name equals
// its last component without regard to (ASCII) letter case; otherwise `path` unchanged (no
// match, or several). For names the engine derives itself: the default table extension, a
// memo file, an index file, since the family's programs treat names case-insensitively.
std::string NvFindFileNoCase(std::string_view path);

// `tablePath` with its extension replaced by `ext` ("dbt" or ".dbt"), the new extension
// taking the letter case of the table's own: "people.dbf" -> "people.dbt", "PEOPLE.DBF" ->
// "PEOPLE.DBT", "Data.Dbf" -> "Data.Dbt". A table without an extension gives lower case
// when its name has lower-case letters and no upper-case ones, else upper case.
std::string NvCompanionName(std::string_view tablePath, std::string_view ext);

// True when the last path component of `path` has the extension `ext` ("ndx" or ".ndx"),
// compared without regard to letter case. An empty `ext` matches a name without extension.
bool NvHasExt(std::string_view path, std::string_view ext);

// ---- The file object ----

class NVO_DiskFile {
public:
    // The length of the whole-file lock (`LockFile`), also the table's full lock.
    static constexpr int64_t kFullLockLength = 2147483647;

    // Remembers the expanded name and whether the file exists now; does not open it.
    NVO_DiskFile(std::string_view fileName, bool shared, bool readWrite);
    // Closes the file (releasing its lock). Never throws: a failure goes to stderr.
    // Descendants that override Close must call their own Close in their destructor.
    virtual ~NVO_DiskFile();
    NVO_DiskFile(const NVO_DiskFile&) = delete;
    NVO_DiskFile& operator=(const NVO_DiskFile&) = delete;

    // 1. Releases the lock, leaves the file list and closes the handle. True when the file
    //    was closed cleanly (or already was); false when the OS reported an error on close,
    //    in which case the object is closed all the same.
    virtual bool Close();
    // 2. Size in bytes. Closed or OS failure: "Error getting FileSize for file %s".
    virtual int64_t FileSize();
    // 3. Writes the OS buffers of the file to the device; clears Written. Nothing when
    //    closed. Failure: "Error on Flush for file %s".
    virtual void Flush();
    // 4. Shared: LockRange(0, kFullLockLength). Exclusive: true, no lock and no hold taken.
    virtual bool LockFile();
    // 5. Takes the file's one lock (non-blocking) or adds a hold when the same range is held;
    //    false when refused or when a different range is held. Exclusive files only count.
    virtual bool LockRange(int64_t offset, int64_t length);
    // 6. Reads up to `length` bytes at `offset`; returns the bytes read (fewer only at end
    //    of file). Closed or OS failure: "Error on Read of file %s", LastCount -1.
    virtual int64_t ReadAt(int64_t offset, void* buffer, int64_t length);
    // 7. Closes, renames to `newName` (expanded) and reopens under the new name. Never
    //    replaces an existing file. Failure: "Error on Rename of file %s" (old name), the
    //    file left closed; a failed close: "Error in Close of file %s".
    virtual void Rename(std::string_view newName);
    // 8. Opens the file with the object's modes (closing it first when open). A file that
    //    did not exist at construction and was not created since: "File %s could not be
    //    found"; refused by the OS or by another holder's share mode: "Access denied to
    //    file %s".
    virtual void Open();
    // 9. Creates the file, or empties an existing one no other handle has open, then opens
    //    it with the object's modes. Refused or failed: "Could not create file %s", and an
    //    existing file keeps its contents.
    virtual void CreateNew();
    // 10. Progress of long operations; does nothing here.
    virtual void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3);
    // 11. Cuts (or extends) the file to `size` bytes. Needs read-write and HasFullAccess,
    //     else "%s requires full access to file %s" ("Truncate"); OS failure: "Error in
    //     Truncate of file %s".
    virtual void Truncate(int64_t size);
    // 12. Drops one hold; the last hold of a shared file releases the range. OS failure:
    //     "Error in Unlock of file %s" (the hold stays). True otherwise.
    virtual bool Unlock();
    // 13. Writes all `length` bytes at `offset`. Closed, read-only, or the OS moved fewer
    //     bytes: "Error writing to %s", LastCount -1, Written false.
    virtual void WriteAt(int64_t offset, const void* buffer, int64_t length);

    // Write-behind for a file no other program can see (not shared): writes that continue
    // or overlap the bytes held so far are gathered, up to `bytes`, into one OS write. A
    // read of held bytes, Flush, Truncate, Rename and Close write them first; FileSize
    // counts them. 0 (the default) writes the held bytes and turns it off; a shared file
    // never holds any.
    virtual void SetWriteBehind(int64_t bytes);
    bool WritingBehind() const { return writeBehind_ > 0 && !shared_; }
    // Writes the held bytes. OS failure: "Error writing to %s", and they are dropped.
    void WriteHeld();

    // True when not shared, or while the held lock is exactly the LockFile range.
    bool HasFullAccess() const;
    // Adds one hold to the lock without asking the OS (the caller already holds the range
    // through a wider lock).
    void AddLockHold() { ++lockHolds_; }

    // OS handle while open; -1 while closed (0 is a valid descriptor here).
    int Handle() const { return handle_; }
    bool Exists() const { return exists_; }
    // Full path as the object holds it; every message names the file by it.
    const std::string& FileName() const { return fileName_; }
    // Offset just past the last transfer; 0 after Open.
    int64_t Position() const { return position_; }
    bool Shared() const { return shared_; }
    bool ReadWrite() const { return readWrite_; }
    // Bytes moved by the last ReadAt/WriteAt; -1 when it failed.
    int64_t LastCount() const { return lastCount_; }
    int32_t LockHolds() const { return lockHolds_; }
    int64_t LockOffset() const { return lockOffset_; }
    int64_t LockLength() const { return lockLength_; }
    bool Written() const { return written_; }
    bool Closed() const { return closed_; }
    // Goes up whenever the file's bytes may have changed through this object (a write, a
    // truncation, an open or a close): copies of its bytes kept elsewhere are current only
    // while it stays the same.
    uint64_t Changes() const { return changes_; }
    // Goes up each time a shared file takes its lock from the OS: what was checked under
    // one hold of the lock tells nothing about the next.
    uint64_t LockEpoch() const { return lockEpoch_; }
    // Modes for the next Open (a table reopened exclusive for a pack, for example).
    void SetShared(bool shared) { shared_ = shared; }
    void SetReadWrite(bool readWrite) { readWrite_ = readWrite; }

protected:
    int handle_ = -1;
    bool exists_ = false;
    std::string fileName_;
    int64_t position_ = 0;
    bool shared_ = false;
    bool readWrite_ = false;
    int64_t lastCount_ = 0;
    int32_t lockHolds_ = 0;
    int64_t lockOffset_ = 0;
    int64_t lockLength_ = 0;
    bool written_ = false;
    bool closed_ = true;
    // The OS handle allows writing. A read-only object still opens read-write when the
    // permissions allow, because a read lock on a read-only handle cannot keep other
    // readers out; without write permission it locks with read locks, which exclude
    // writers only.
    bool osWritable_ = false;
    uint64_t changes_ = 0;
    uint64_t lockEpoch_ = 0;

private:
    friend class NVobjFileColl;
    void WriteThrough(int64_t offset, const unsigned char* bytes, int64_t length);

    std::vector<unsigned char> held_;  // bytes written but not yet given to the OS
    int64_t heldAt_ = 0;               // the file offset of held_[0]
    int64_t writeBehind_ = 0;          // most bytes held; 0 = off
    // While holding: no byte at or after this offset has reached the OS (-1: not known yet).
    int64_t untouchedFrom_ = -1;

    // Shutdown: releases the lock and closes the handle without any other work.
    void ReleaseAtShutdown();

    // A file no other program can see is read through a map of it: a record or page read
    // out of order then costs a copy instead of a system call. Only short reads use it (long
    // ones are sequential and gain nothing), so only the pages they touch become resident.
    static constexpr int64_t kMappedReadMax = 16 << 10;
    // The `length` bytes at `offset` in the map, mapping the file (again) as needed; nullptr
    // when they must be read from the file.
    const unsigned char* Mapped(int64_t offset, int64_t length);
    void Unmap();
    const unsigned char* map_ = nullptr;
    int64_t mapLength_ = 0;
    // The file's length as far as this object knows it (-1: ask the OS), kept up by its
    // own writes: nobody else may write the file while it is mapped.
    int64_t knownSize_ = -1;
};

// Write-behind on a file for the length of one operation (a tag build, say): Finish writes
// what is held, raising on failure; leaving the scope without Finish (the operation
// failed) writes it as well as it can and keeps quiet. Nothing for a null or shared file.
class NvWriteBehindScope {
public:
    static constexpr int64_t kDefaultBytes = int64_t{256} << 10;
    explicit NvWriteBehindScope(NVO_DiskFile* file, int64_t bytes = kDefaultBytes);
    ~NvWriteBehindScope();
    NvWriteBehindScope(const NvWriteBehindScope&) = delete;
    NvWriteBehindScope& operator=(const NvWriteBehindScope&) = delete;
    void Finish();

private:
    NVO_DiskFile* file_;
};

// ---- The list of open files ----

// Every open NVO_DiskFile, in opening order. Does not own them. One instance for the
// process, created on first use and never destroyed, so files may close in any order,
// even from static destructors.
class NVobjFileColl : public TnvCollection<NVO_DiskFile> {
public:
    static NVobjFileColl& Instance();
    // True once Instance() has been called.
    static bool Created();
    // Releases every listed file's lock and closes its handle, then empties the list. Run
    // at process exit; callable earlier (the objects stay usable: they are closed).
    void ReleaseAll();

protected:
    void FreeItem(NVO_DiskFile*) override {}

private:
    NVobjFileColl() = default;
};

// The shutdown walk over the list of open files (NVobjFileColl::ReleaseAll).
void NvShutdownFiles();

// ---- Lock protocols ----

enum class TnvLokProtocol : int32_t { Default = 0, DB4Lock = 1, ClipLock = 2, FoxLock = 3 };

// True for the four protocols above.
bool NvIsLockProtocol(TnvLokProtocol protocol);

// A byte range to lock.
struct TnvLockRange {
    int64_t offset = 0;
    int64_t length = 0;
    bool operator==(const TnvLockRange&) const = default;
};

// The three numbers a table keeps for its protocol.
struct TnvTableLockNumbers {
    int64_t lockBase = 0x40000000;
    int64_t appendOffset = 0x7FFFFFFE;
    int64_t lockLength = 0x3FFFFFFF;

    // One byte at the append offset, held while a record is appended.
    TnvLockRange AppendLock() const { return {appendOffset, 1}; }
    // The table-wide lock.
    TnvLockRange TableLock() const { return {lockBase, lockLength}; }
    // The whole-file range of LockFile (copying a table, truncating a shared file).
    static TnvLockRange FullLock() { return {0, NVO_DiskFile::kFullLockLength}; }
};

// Sets `numbers` for `protocol`; a value outside the four protocols leaves them unchanged
// and returns false.
bool NvSetTableLockNumbers(TnvLokProtocol protocol, TnvTableLockNumbers& numbers);

// The lock of record `recNo` (1-based) of a table with header length `headerLength` and
// record length `recordLength`; `indexOpen` when an index file is open on the cursor.
// False (range unchanged) for a value outside the four protocols.
bool NvRecordLockRange(TnvLokProtocol protocol, int32_t recNo, bool indexOpen,
                       int64_t headerLength, int64_t recordLength, TnvLockRange& range);

// Sets the index-file lock range for `protocol`; outside the four, unchanged and false.
bool NvSetIndexLockRange(TnvLokProtocol protocol, TnvLockRange& range);

// Retry rule shared by index and table-wide locks: 100 attempts, 50 ms apart.
constexpr int kNvLockWaitMs = 5000;
constexpr int kNvLockStepMs = 50;
constexpr int kNvLockAttempts = kNvLockWaitMs / kNvLockStepMs;

// Locks an index file for a change (or a read under ClipLock), retrying; "Can not Lock
// file %s" when every attempt is refused. A file that is not shared is not locked (no hold
// is taken); a shared one holds the range until the caller's Unlock.
void NvLockIndexFile(NVO_DiskFile& indexFile, const TnvLockRange& range);

// Takes `file.LockFile()`, retrying; "%s requires full access to file %s" with `operation`
// ("CopyFile") when every attempt is refused.
void NvLockFileRetry(NVO_DiskFile& file, std::string_view operation);
