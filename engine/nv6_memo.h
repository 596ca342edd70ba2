// Memo files: the companion file that holds the variable-length values (M, B and G fields)
// of a table. `NVobjMemoBase` is the disk file with the value operations; `NVobjMemo` is the
// dBase III `.dbt`, `NVobjMemo4` the dBase IV `.dbt` with its free-block chain, and
// `NVobjFXMemo20` the FoxPro / Visual FoxPro `.fpt`.
//
// A value is named by the number of its first block; 0 means no value. The memo object knows
// nothing of fields or records: the table creates it with `NVobjMemoBase::Create` from its
// file name, version byte and modes, then hands it a lock protocol and its cipher keys, and
// stores in its records the block numbers the writes return. Every block number and length
// read from the file is checked against the file before it is used, so a damaged file gives
// "Memo record is bad in %s" rather than a wild read, a huge allocation or an endless walk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nv6_disk.h"
#include "nv6_encrxm.h"

class NVobjMemoBase : public NVO_DiskFile {
public:
    // The memo file name of a table: the trimmed table name with its extension replaced by
    // ".fpt" (versions 0x30, 0xF5) or ".dbt" (0x83, 0x8B), in the letter case of the table's
    // own extension; an existing file that differs only in letter case is preferred.
    // Other versions have no memo file: empty result.
    static std::string MemoFileName(std::string_view tableFileName, uint8_t version);

    // Opens the memo file of a table of `version` (0x83, 0x8B, 0xF5 or 0x30) with the table's
    // modes and reads its header. Missing file: "File %s could not be found"; an unreadable
    // or impossible header (block size 0, say): "Memo record is bad in %s". Other versions:
    // nullptr. The lock protocol starts as Default and the keys as plain.
    static std::unique_ptr<NVobjMemoBase> Create(std::string_view tableFileName, uint8_t version,
                                                 bool shared, bool readWrite);

    ~NVobjMemoBase() override = default;

    // The table's version byte this memo file was opened for.
    uint8_t Version() const { return version_; }
    // Bytes per block: 512 for dBase III, from the header otherwise.
    uint32_t BlockSize() const { return blockSize_; }
    // Bytes of the value block header: 0 for dBase III, 8 otherwise.
    uint32_t BlockHeaderSize() const { return blockHeaderSize_; }

    // The table's cipher state: values are deciphered with `readKey` and enciphered with
    // `writeKey` while `enciphered` is set. For dBase III a non-empty read key also means the
    // stored value carries a 4-byte length prefix, a non-empty write key that it gets one.
    void SetKeys(const TnvCipherKeys& keys) { keys_ = keys; }
    const TnvCipherKeys& Keys() const { return keys_; }

    // Length in bytes of the value starting at `block` (without block header, prefix or
    // terminator); 0 for block 0. A block outside the file or a damaged value: "Memo record
    // is bad in %s".
    uint32_t MemoSize(uint32_t block);

    // Reads the value at `block` into `buffer`. On entry `length` is the room in buffer, on
    // exit the bytes delivered (a longer value is cut to the room). Room 0: nothing happens.
    // Block 0: length 0 and buffer[0] = 0. Enciphered tables: deciphered with the read key.
    void MemoRead(uint8_t* buffer, uint32_t block, uint32_t& length);

    // Stores `length` bytes of `text` as the new value of a field whose value starts at
    // `block` (0: none); on exit `block` is the value's first block, which is also returned.
    // An empty text writes nothing and returns 0 (a dBase IV value it replaces is freed).
    // Shared files are locked for the write ("Can not Lock file %s" after the retries). The
    // old value decides between reuse and a new place; a damaged old value: "Memo record is
    // bad in %s", nothing written.
    uint32_t MemoWrite(const uint8_t* text, uint32_t& block, uint32_t& length);

    // The whole value at `block` as bytes (empty for block 0).
    std::string ReadValue(uint32_t block);
    // Writes `text` as the new value of a field now holding `block`; returns the new block.
    uint32_t WriteValue(std::string_view text, uint32_t block);

    // Re-keys one value for a password change: reads it with the read key and writes it back
    // with the write key (set both, and `enciphered`, with SetKeys first). Returns the block
    // the value now starts at, which the caller stores in the record: a dBase III value that
    // gains its length prefix can need one more block and then moves. Block 0: 0.
    uint32_t RekeyValue(uint32_t block);

    // Empties the file for a zapped table: the next free block (or dBase IV free chain) is
    // set to the first block after the 512-byte header and the file cut to 512 bytes (a
    // dBase IV file to its one header block). Needs full access, as Truncate does.
    void Zap();

    // 5. Sets the protocol whose lock serialises writes of a shared memo file. Values
    //    outside the four protocols keep the current region.
    virtual void SetLockProtocol(TnvLokProtocol protocol);
    TnvLokProtocol LockProtocol() const { return protocol_; }
    // The region a shared write locks.
    TnvLockRange WriteLockRange() const { return lockRange_; }

    // 6. Renames the memo file after its table: `newTableName` with this file's extension.
    //    dBase III and IV also put the new base name into the header.
    virtual void RenameMemo(std::string_view newTableName);
    // dBase III and IV: writes the base name of `tableName` (8 characters at most) into the
    // header's name field. The others keep no name: nothing happens.
    void SetTableName(std::string_view tableName);

protected:
    NVobjMemoBase(std::string_view fileName, uint8_t version, bool shared, bool readWrite);

    // Reads and checks the header after Open; sets block size and block header size.
    virtual void ReadFileHeader() {}
    // Number of blocks at the start of the file that belong to the header.
    virtual uint32_t HeaderBlocks() const { return 1; }

    // 1. Chooses the first block for a value needing `needed` blocks, given the old value at
    //    `oldBlock` (0: none) that occupied `oldBlocks` blocks.
    virtual uint32_t AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) = 0;
    // 2. Gives a value's blocks back (dBase IV only).
    virtual void FreeBlocks(uint32_t /*block*/) {}
    // 3. Writes the end-of-value mark at `place` (dBase III only: 0x1A 0x1A).
    virtual void WriteTerminator(uint8_t* /*place*/) {}
    virtual uint32_t TerminatorSize() const { return 0; }
    // 4. Checks the value at `block` and gives its stored size: block header (or length
    //    prefix) plus value bytes. REQUIRES: `block` lies inside the file, after the header.
    virtual uint32_t ReadBlockLength(uint32_t block, int64_t fileSize) = 0;
    // Fills the block header of a value of `length` bytes (8 bytes; not for dBase III).
    virtual void PutBlockHeader(uint8_t* /*out*/, uint32_t /*length*/) {}
    // Where the value bytes start in the first block when reading / writing.
    virtual uint32_t ReadOffset() const { return blockHeaderSize_; }
    virtual uint32_t WriteOffset() const { return blockHeaderSize_; }
    // Sets the next-free fields of the first header bytes for an emptied file.
    virtual void ZapHeader(uint8_t* header) = 0;
    // True when the header carries the table's base name at offset 8.
    virtual bool NamesTable() const { return false; }
    // Length of a zapped file.
    virtual uint32_t ZapSize() const { return 512; }

    // Helpers for the formats.
    [[noreturn]] void RaiseBad() const;
    // Reads exactly `length` bytes at `offset`, "Memo record is bad in %s" when the file
    // ends first.
    void ReadExact(int64_t offset, void* buffer, uint32_t length);
    // Raises "Error writing to %s" unless `blocks` blocks from `block` stay within the
    // 32-bit offsets of the file layer.
    void CheckRoom(uint64_t block, uint64_t blocks) const;
    // Blocks needed for `bytes` bytes.
    uint32_t BlocksFor(uint64_t bytes) const {
        return static_cast<uint32_t>((bytes + blockSize_ - 1) / blockSize_);
    }
    // The append rule of dBase III and FoxPro: reuse the old first block when the old value
    // had at least `needed` blocks, else take the header's next free block and advance it.
    uint32_t ReuseOrAppend(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks, bool bigEndian);

    uint8_t version_;
    uint32_t blockSize_ = 512;
    uint32_t blockHeaderSize_ = 0;
    TnvCipherKeys keys_;

private:
    // The checked stored size of the value at `block` (block header or prefix included).
    uint32_t StoredSize(uint32_t block);
    void LockForWrite();
    void UnlockAfterWrite();

    TnvLokProtocol protocol_ = TnvLokProtocol::Default;
    TnvLockRange lockRange_{0x7FFFFFFD, 1};
};

// dBase III memo file (.dbt of version 0x83): 512-byte blocks, values ended by 0x1A 0x1A,
// rewritten in place when they still fit, appended otherwise; old blocks are never reused.
class NVobjMemo : public NVobjMemoBase {
public:
    NVobjMemo(std::string_view fileName, bool shared, bool readWrite)
        : NVobjMemoBase(fileName, 0x83, shared, readWrite) {}

protected:
    uint32_t AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) override;
    void WriteTerminator(uint8_t* place) override;
    uint32_t TerminatorSize() const override { return 2; }
    uint32_t ReadBlockLength(uint32_t block, int64_t fileSize) override;
    uint32_t ReadOffset() const override { return keys_.readKey.empty() ? 0 : 4; }
    uint32_t WriteOffset() const override { return keys_.writeKey.empty() ? 0 : 4; }
    void ZapHeader(uint8_t* header) override;
    bool NamesTable() const override { return true; }
};

// dBase IV memo file (.dbt of version 0x8B): block size from the header, 8-byte block
// headers, freed runs kept in a chain and reused first fit.
class NVobjMemo4 : public NVobjMemoBase {
public:
    NVobjMemo4(std::string_view fileName, bool shared, bool readWrite)
        : NVobjMemoBase(fileName, 0x8B, shared, readWrite) {}

protected:
    void ReadFileHeader() override;
    uint32_t AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) override;
    void FreeBlocks(uint32_t block) override;
    uint32_t ReadBlockLength(uint32_t block, int64_t fileSize) override;
    void PutBlockHeader(uint8_t* out, uint32_t length) override;
    void ZapHeader(uint8_t* header) override;
    bool NamesTable() const override { return true; }
    uint32_t ZapSize() const override { return blockSize_; }

private:
    // One element of the free chain: its first block, the next element and its length.
    struct FreeRun {
        uint32_t block;
        uint32_t next;
        uint32_t length;
        uint8_t raw[32];
    };
    // Blocks wholly inside the file (the chain ends at the first number not below it).
    uint32_t EndBlock();
    // Reads and checks the chain element at `block` against `end`; `seen` sums the run
    // lengths walked so far, which cannot exceed the file unless the chain loops.
    FreeRun ReadRun(uint32_t block, uint32_t end, uint64_t& seen);
    // Walks the whole chain, raising on any damage, before anything is changed.
    void CheckChain();
    void ReadHead(uint8_t* head32);
    void WriteHead(const uint8_t* head32);
};

// FoxPro memo file (.fpt of versions 0xF5 and 0x30): a 512-byte header, block size from
// it, big-endian 8-byte block headers of type and length; rewritten in place when a value
// still fits, appended otherwise.
class NVobjFXMemo20 : public NVobjMemoBase {
public:
    NVobjFXMemo20(std::string_view fileName, uint8_t version, bool shared, bool readWrite)
        : NVobjMemoBase(fileName, version, shared, readWrite) {}

protected:
    void ReadFileHeader() override;
    uint32_t HeaderBlocks() const override { return BlocksFor(512); }
    uint32_t AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) override;
    uint32_t ReadBlockLength(uint32_t block, int64_t fileSize) override;
    void PutBlockHeader(uint8_t* out, uint32_t length) override;
    void ZapHeader(uint8_t* header) override;
};
