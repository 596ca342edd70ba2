// The table file: NVO_dBaseDBF opens a .dbf, validates its 32-byte header and field
// descriptors, reads and writes whole records at H + R x (n - 1), keeps the header's record
// count, date and change stamp current, and takes the append, table and record locks at the
// offsets of the table's lock protocol so that other programs sharing the file see them.
//
// It sits on NVO_DiskFile (nv6_disk.h) and under the field layer (NVO_dBaseFld, nv6_fld.h).
// The object owns its buffers, descriptors and memo object; it is not copyable and is used
// from one thread. Every failure is an engine exception (nv6_glbl.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_disk.h"
#include "nv6_memo.h"

// Version bytes a table may carry.
namespace nvdbf {
constexpr uint8_t kVerPlain3 = 0x03;   // no memo file
constexpr uint8_t kVerPlain4 = 0x04;   // no memo file
constexpr uint8_t kVerVfp = 0x30;      // Visual FoxPro: binary field kinds, 263-byte extra area
constexpr uint8_t kVerDb3Memo = 0x83;  // dBase III with .dbt
constexpr uint8_t kVerDb4Memo = 0x8B;  // dBase IV with .dbt
constexpr uint8_t kVerFoxMemo = 0xF5;  // FoxPro with .fpt

constexpr int kHeaderSize = 32;
constexpr int kDescriptorSize = 32;
constexpr int kVfpExtraArea = 263;
constexpr uint8_t kTerminator = 0x0D;
constexpr uint8_t kEndOfFile = 0x1A;

constexpr uint8_t kFlagProductionIndex = 0x01;
constexpr uint8_t kFlagMemo = 0x02;
constexpr uint8_t kFlagContainer = 0x04;

// True for the six version bytes the engine reads.
bool IsKnownVersion(uint8_t version);
// Bytes between the descriptors' start (offset 32) and the records that hold descriptors:
// H - 33, or H - 296 for Visual FoxPro. Negative for a header too short for its version.
int DescriptorAreaLength(uint8_t version, int headerLength);
// The version byte says the table has a memo file (for 0x30: only with the flags bit).
bool VersionHasMemo(uint8_t version, uint8_t flags);
}  // namespace nvdbf

// One 32-byte field descriptor as stored, plus the two numbers the engine keeps in it while
// the table is open (offset in the record at 12, field number at 26).
struct TnvFieldDescriptor {
    std::array<uint8_t, nvdbf::kDescriptorSize> bytes{};

    // Name up to the first zero byte of the first 11 bytes.
    std::string Name() const;
    char Type() const { return static_cast<char>(bytes[11]); }
    uint8_t LengthByte() const { return bytes[16]; }
    uint8_t DecimalsByte() const { return bytes[17]; }
    // Field length in bytes: for C the two bytes 16-17 together, otherwise byte 16.
    int Length() const;
    // Decimal count: 0 for C (its byte 17 is the length's high byte).
    int Decimals() const { return Type() == 'C' ? 0 : bytes[17]; }
    int Offset() const;
    int Number() const;
    void SetOffset(int offset);
    void SetNumber(int number);
};

// The 32-byte header image as last read or about to be written.
struct TnvDBFHeader {
    std::array<uint8_t, nvdbf::kHeaderSize> bytes{};

    uint8_t Version() const { return bytes[0]; }
    int HeaderLength() const;
    int RecordLength() const;
    uint32_t StoredCount() const;
    bool Enciphered() const { return bytes[15] != 0; }
    uint32_t ChangeStamp() const;
    uint8_t Flags() const { return bytes[28]; }
};

// State of the table object (record reads and writes put it back to Normal, except during a
// password change).
enum class TnvDBFState : int { Normal = 1, IndexBuild = 4, PasswordChange = 5 };

// Notify codes.
namespace nvnotify {
constexpr int kBlanked = 0;       // the record buffer was blanked for a new record
constexpr int kOpened = 2;        // the table was opened
constexpr int kBeforeRead = 4;    // value: the requested target
constexpr int kBeforeWrite = 5;   // value: record number, 0 for an append
constexpr int kAfterRead = 6;     // value: record number
constexpr int kAfterWrite = 7;    // value: record number, 0 for an append
constexpr int kAfterFlush = 8;    // value: current record number
}  // namespace nvnotify

// Bits of TableChanged's result.
constexpr uint8_t kTableWrittenByUs = 0x01;
constexpr uint8_t kTableChangedByOthers = 0x02;

class NVO_dBaseDBF : public NVO_DiskFile {
public:
    // Opens the table (".DBF" is added to a name without extension) and reads its header and
    // descriptors. Raises "File %s could not be found", "Error on Read of file %s", "Table
    // Header for %s is invalid" or a password error; the file is closed again then.
    NVO_dBaseDBF(const std::string& fileName, bool shared, bool readWrite,
                 const std::string& password);
    // Writes a header still pending; never throws (a failure is reported on stderr).
    ~NVO_dBaseDBF() override;

    // --- virtual operations, in slot order -----------------------------------------------
    // Appends the record buffer as record N + 1 (live), with the end-of-file byte after it,
    // under the append lock. Raises "Can not Lock file %s" when the lock stays taken.
    virtual void Append();
    // Event hook; codes in nvnotify. Codes 6 and 7 clear record-modified and reset the state.
    virtual void Notify(int code, int32_t value);
    // Reads a record into the record buffer: a record number, or -1 next, -2 prior, -3 top,
    // -4 bottom, -5 current, in natural order. N + 1 sets end-of-file; beyond that raises
    // "Record number %d is not in table %s"; 0 does nothing.
    virtual void Go(int32_t target);
    // One attempt at the append lock; false when another holder has it.
    virtual bool LockAppend();
    // One attempt at the table lock (lock base, lock length); re-reads the header on success.
    virtual bool LockTable();
    // One attempt at the whole-file lock (0, 0x7FFFFFFF) taken as a table lock.
    virtual bool LockTableFull();
    // Drops one hold; when the last hold of a table lock goes, writes a deferred header.
    virtual bool UnlockTable();
    // One attempt at the lock of the current record; false without a current record.
    virtual bool LockRecord();
    // Writes the record buffer over record n; n outside 1..N appends instead.
    virtual void WriteRecord(int32_t n);
    // Sets the protocol and its lock base, append offset and lock length (above 3: kept).
    virtual void SetLockProtocol(TnvLokProtocol protocol);
    // Whether an index file is open on the table (the cursor knows; false here).
    virtual bool HasIndexFiles() const { return false; }

    // Flushes the file, then the memo file, then Notify(8, current record). An exclusive
    // table's header kept back by appends and record writes is written first.
    void Flush() override;
    // Writes the header an exclusive table kept back, then closes.
    bool Close() override;
    // While write-behind is on (a bulk write of an exclusive table), appends and record
    // writes leave the header for Flush, Close or the end of the write-behind.
    void SetWriteBehind(int64_t bytes) override;
    // Renames the table (and its memo file) and reopens it.
    void Rename(std::string_view newName) override;

    // --- non-virtual operations ------------------------------------------------------------
    // Shared tables: re-reads the header image and the record count from the file size and
    // notes changes by others. Exclusive tables: only clears the changed-by-others flag.
    void ReadHeader();
    // Writes the header (count, date, stamp, flags, user id) when read-write, dirty and not
    // under a table lock.
    void WriteHeader();
    // Re-reads the header; returns kTableWrittenByUs | kTableChangedByOthers as they were
    // since the last call, and clears both.
    uint8_t TableChanged();
    void SetUserId(int32_t value) { userId_ = value; }
    // The table's memo object, created on first use; nullptr when the table has none.
    NVobjMemoBase* MemoFile();

    // --- state, read by the layers above -------------------------------------------------------
    uint8_t Version() const { return version_; }
    const std::string& Alias() const { return alias_; }
    int32_t RecordCount() const { return count_; }
    int HeaderLength() const { return headerLength_; }
    int RecordLength() const { return recordLength_; }
    int FieldCount() const { return static_cast<int>(descriptors_.size()); }
    int32_t CurrentRecord() const { return current_; }
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    bool Enciphered() const { return enciphered_; }
    bool HasMemo() const { return hasMemo_; }
    bool ProductionIndex() const { return productionIndex_; }
    bool TableLocked() const { return tableLocked_; }
    bool RecordModified() const { return recordModified_; }
    bool HeaderDirty() const { return headerDirty_; }
    const TnvDBFHeader& Header() const { return header_; }
    TnvLokProtocol LockProtocol() const { return protocol_; }
    TnvDBFState State() const { return state_; }
    void SetState(TnvDBFState state) { state_ = state; }
    bool ShowDeleted() const { return showDeleted_; }
    void SetShowDeleted(bool value) { showDeleted_ = value; }
    bool AutoFlush() const { return autoFlush_; }
    void SetAutoFlush(bool value) { autoFlush_ = value; }
    bool ExactMatch() const { return exactMatch_; }
    void SetExactMatch(bool value) { exactMatch_ = value; }
    // Sets the production-index flag of header byte 28 (written with the next header).
    void SetProductionIndex(bool value);

    // The current record image (R bytes, deletion flag first). Normally the record buffer;
    // the cursor may point it at its read-ahead buffer and searches at a scratch buffer.
    uint8_t* RecordPointer() { return rec_; }
    const uint8_t* RecordPointer() const { return rec_; }
    // REQUIRES: `record` has at least RecordLength() bytes and outlives its use; nullptr
    // returns to the record buffer.
    void SetRecordPointer(uint8_t* record) { rec_ = record ? record : recordBuffer_.data(); }
    uint8_t* RecordBuffer() { return recordBuffer_.data(); }
    const uint8_t* OldRecord() const { return oldRecord_.data(); }
    // Replaces the copy of the record as read before editing with `image` (RecordLength()
    // bytes): a record being inserted starts from its blank image.
    void SetOldRecord(const uint8_t* image) {
        std::copy(image, image + recordLength_, oldRecord_.begin());
    }
    const TnvFieldDescriptor& Descriptor(int index) const { return descriptors_.at(index); }

protected:
    // Creates the memo object for this table's version byte with the table's modes, lock
    // protocol and cipher keys. "File %s could not be found" when the memo file is missing.
    virtual std::unique_ptr<NVobjMemoBase> CreateMemoObject();
    // The keys the memo file (and index files) encipher with on this table's behalf.
    TnvCipherKeys CipherKeys() const;

    TnvFieldDescriptor& MutableDescriptor(int index) { return descriptors_.at(index); }
    // Called when a header read reveals records or a change stamp written by another program,
    // so that anything kept from the file (a read-ahead window) can be dropped.
    virtual void ChangedByOthers() {}
    // Removes every record: the count becomes 0, the file ends with the end-of-file byte at
    // H and the header is written. Needs full access, as Truncate does.
    void TruncateRecords();
    // Frees the memo object (it is created again on next use).
    void CloseMemoObject() { memo_.reset(); }
    // After the table file was replaced under its name: opens it again and takes the header
    // and record count from the new file. Raises "Table Header for %s is invalid" when its
    // header or record length differ from the ones the descriptors describe.
    void ReopenReplacedFile();
    // Makes `password` the table's only password (empty: plain) for a table without
    // records: rewrites the descriptor area enciphered with it (plain when empty), sets
    // header byte 15 and hands the memo object the new keys.
    // REQUIRES: RecordCount() == 0, read-write.
    void SetPasswordOfEmptyTable(const std::string& password);
    // Takes `password` as the read and write password of a table whose files were just
    // replaced by a copy enciphered with it.
    void AdoptPassword(const std::string& password);
    void SetRecordModified(bool value) { recordModified_ = value; }
    void SetHeaderDirty() { headerDirty_ = true; }
    void SetCurrentRecord(int32_t n) { current_ = n; }
    void SetEof(bool value) { eof_ = value; }
    void SetBof(bool value) { bof_ = value; }
    const std::string& ReadPassword() const { return readPassword_; }
    const std::string& WritePassword() const { return writePassword_; }

private:
    void LoadDescriptors();
    void ValidateLayout(int64_t fileSize);
    int64_t RecordOffset(int32_t n) const;
    int32_t CountFromSize(int64_t fileSize) const;
    // Takes the append lock, waiting up to 100 x 50 ms; raises "Can not Lock file %s".
    // Returns the file object that holds it (this one, or the side handle when this one
    // already holds a record lock) for ReleaseAppendLock.
    NVO_DiskFile& AcquireAppendLock();
    void ReleaseAppendLock(NVO_DiskFile& holder);
    // Runs `work` holding the append lock, released also when `work` raises.
    template <class Work>
    void UnderAppendLock(Work&& work);
    // Writes the record image (enciphered through the work buffer when needed).
    void WriteImage(int64_t offset, bool withEndOfFile);
    // After a record write or append: Notify(7), the old-record copy, the auto flush; the
    // copy is made also when Notify raises, whose error is then raised.
    void AfterWrite(int32_t value);
    void ReadRecord(int32_t n);

    TnvDBFHeader header_;
    std::string alias_;
    bool headerDirty_ = false;
    TnvDBFState state_ = TnvDBFState::Normal;
    int32_t count_ = 0;
    int headerLength_ = 0;
    int recordLength_ = 0;
    std::vector<TnvFieldDescriptor> descriptors_;
    int32_t current_ = 0;
    std::vector<uint8_t> recordBuffer_;
    uint8_t* rec_ = nullptr;
    std::vector<uint8_t> oldRecord_;
    std::vector<uint8_t> workBuffer_;
    bool eof_ = false;
    bool bof_ = true;
    bool tableLocked_ = false;
    uint8_t version_ = 0;
    bool productionIndex_ = false;
    bool memoFlagBit_ = false;
    bool containerFlag_ = false;
    uint32_t lastStamp_ = 0;
    bool changedByOthers_ = false;
    bool writtenByUs_ = false;
    bool recordModified_ = false;
    bool showDeleted_ = true;
    bool exactMatch_ = false;
    bool autoFlush_ = false;
    bool headerDeferred_ = false;  // exclusive: the header waits for Flush, Close or UnlockTable
    bool enciphered_ = false;
    std::string readPassword_;
    std::string writePassword_;
    bool hasMemo_ = false;
    int32_t userId_ = 0;
    TnvLokProtocol protocol_ = TnvLokProtocol::Default;
    TnvTableLockNumbers lockNumbers_;
    std::unique_ptr<NVobjMemoBase> memo_;
    // A second handle on the table for the append lock while this object holds a record lock
    // (a file object holds one range at a time; the OS locks belong to the handle).
    std::unique_ptr<NVO_DiskFile> appendLockFile_;
};
