#include "nv6_memo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_glbl.h"

namespace {

// The file layer moves data at 32-bit signed offsets; a memo never grows past them.
constexpr uint64_t kMaxFileBytes = 0x7FFFFFFF;

// Limits of a block size read from a header. Below 32 a dBase IV free-run header would
// spill into the next block; above 64 KB no program of the family writes, and a damaged
// header must not make every write allocate a huge buffer.
constexpr uint32_t kMaxBlockSize = 65536;
constexpr uint32_t kMinDb4BlockSize = 32;

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Position of the extension's dot in the last path component, or npos.
std::size_t ExtensionDot(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return dot;
    if (slash != std::string_view::npos && dot < slash) return std::string_view::npos;
    return dot;
}

std::string_view BaseName(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

}  // namespace

// ---- Opening ----

std::string NVobjMemoBase::MemoFileName(std::string_view tableFileName, uint8_t version) {
    std::string_view ext;
    switch (version) {
        case 0x30:
        case 0xF5: ext = ".fpt"; break;
        case 0x83:
        case 0x8B: ext = ".dbt"; break;
        default: return {};
    }
    return NvFindFileNoCase(NvCompanionName(Trimmed(tableFileName), ext));
}

std::unique_ptr<NVobjMemoBase> NVobjMemoBase::Create(std::string_view tableFileName,
                                                     uint8_t version, bool shared,
                                                     bool readWrite) {
    const std::string name = MemoFileName(tableFileName, version);
    std::unique_ptr<NVobjMemoBase> memo;
    switch (version) {
        case 0x83: memo = std::make_unique<NVobjMemo>(name, shared, readWrite); break;
        case 0x8B: memo = std::make_unique<NVobjMemo4>(name, shared, readWrite); break;
        case 0x30:
        case 0xF5: memo = std::make_unique<NVobjFXMemo20>(name, version, shared, readWrite); break;
        default: return nullptr;
    }
    memo->Open();
    memo->ReadFileHeader();
    return memo;
}

NVobjMemoBase::NVobjMemoBase(std::string_view fileName, uint8_t version, bool shared,
                             bool readWrite)
    : NVO_DiskFile(fileName, shared, readWrite), version_(version) {}

// ---- Helpers ----

void NVobjMemoBase::RaiseBad() const { NvRaise(TnvMsg::MemoRecordBad, {FileName()}); }

void NVobjMemoBase::ReadExact(int64_t offset, void* buffer, uint32_t length) {
    if (ReadAt(offset, buffer, length) != int64_t(length)) RaiseBad();
}

void NVobjMemoBase::CheckRoom(uint64_t block, uint64_t blocks) const {
    if ((block + blocks) * blockSize_ > kMaxFileBytes) NvRaise(TnvMsg::WriteError, {FileName()});
}

uint32_t NVobjMemoBase::ReuseOrAppend(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks,
                                      bool bigEndian) {
    if (oldBlock != 0 && oldBlocks >= needed) return oldBlock;
    uint8_t head[8];
    ReadExact(0, head, sizeof head);
    const uint32_t next = bigEndian ? nvbytes::LoadBE32(head) : nvbytes::LoadLE32(head);
    // A next free block inside the header would have the value overwrite it.
    if (next < HeaderBlocks()) RaiseBad();
    CheckRoom(next, needed);
    if (bigEndian) {
        nvbytes::StoreBE32(head, next + needed);
    } else {
        nvbytes::StoreLE32(head, next + needed);
    }
    WriteAt(0, head, sizeof head);
    return next;
}

uint32_t NVobjMemoBase::StoredSize(uint32_t block) {
    const int64_t size = FileSize();
    const uint64_t start = uint64_t(block) * blockSize_;
    if (block < HeaderBlocks() || start >= uint64_t(size)) RaiseBad();
    const uint32_t stored = ReadBlockLength(block, size);
    if (stored < ReadOffset() || start + stored > uint64_t(size)) RaiseBad();
    return stored;
}

void NVobjMemoBase::LockForWrite() {
    if (Shared()) NvLockIndexFile(*this, lockRange_);
}

void NVobjMemoBase::UnlockAfterWrite() {
    if (Shared()) Unlock();
}

// ---- Values ----

uint32_t NVobjMemoBase::MemoSize(uint32_t block) {
    if (block == 0) return 0;
    return StoredSize(block) - ReadOffset();
}

void NVobjMemoBase::MemoRead(uint8_t* buffer, uint32_t block, uint32_t& length) {
    if (length == 0) return;
    if (block == 0) {
        length = 0;
        buffer[0] = 0;
        return;
    }
    const uint32_t n = StoredSize(block) - ReadOffset();
    length = std::min(length, n);
    if (length == 0) return;
    ReadExact(int64_t(block) * blockSize_ + ReadOffset(), buffer, length);
    keys_.DecipherRead(buffer, length);
}

uint32_t NVobjMemoBase::MemoWrite(const uint8_t* text, uint32_t& block, uint32_t& length) {
    if (length == 0 && block == 0) return 0;
    LockForWrite();
    try {
        const uint32_t oldBlocks = block != 0 ? BlocksFor(StoredSize(block)) : 0;
        if (length == 0) {
            // The caller stores 0 for an empty text, so a value block would only be lost.
            FreeBlocks(block);
            block = 0;
        } else {
            const uint32_t offset = WriteOffset();
            const uint32_t needed = BlocksFor(uint64_t(offset) + length + TerminatorSize());
            const uint32_t first = AllocateBlocks(needed, block, oldBlocks);
            std::vector<uint8_t> out(std::size_t(needed) * blockSize_, 0);
            if (blockHeaderSize_ != 0) {
                PutBlockHeader(out.data(), length);
            } else if (offset == 4) {
                nvbytes::StoreLE32(out.data(), length);
            }
            keys_.EncipherWrite(text, out.data() + offset, length);
            WriteTerminator(out.data() + offset + length);
            WriteAt(int64_t(first) * blockSize_, out.data(), int64_t(out.size()));
            block = first;
        }
    } catch (...) {
        try {
            UnlockAfterWrite();
        } catch (...) {
        }
        throw;
    }
    UnlockAfterWrite();
    return block;
}

std::string NVobjMemoBase::ReadValue(uint32_t block) {
    uint32_t length = MemoSize(block);
    if (length == 0) return {};
    std::string value(length, '\0');
    MemoRead(reinterpret_cast<uint8_t*>(value.data()), block, length);
    value.resize(length);
    return value;
}

uint32_t NVobjMemoBase::WriteValue(std::string_view text, uint32_t block) {
    uint32_t length = static_cast<uint32_t>(text.size());
    return MemoWrite(reinterpret_cast<const uint8_t*>(text.data()), block, length);
}

uint32_t NVobjMemoBase::RekeyValue(uint32_t block) {
    if (block == 0) return 0;
    uint32_t length = MemoSize(block);
    std::vector<uint8_t> buffer(std::size_t(length) + 1, 0);
    MemoRead(buffer.data(), block, length);
    return MemoWrite(buffer.data(), block, length);
}

void NVobjMemoBase::Zap() {
    std::vector<uint8_t> head(512, 0);
    ReadAt(0, head.data(), int64_t(head.size()));
    // Cut first: the table is already empty, and a header pointing past the end of a
    // shorter file is harmless, while the reverse would hand out blocks still in use.
    Truncate(ZapSize());
    ZapHeader(head.data());
    WriteAt(0, head.data(), int64_t(head.size()));
    if (ZapSize() < head.size()) Truncate(ZapSize());
}

void NVobjMemoBase::SetLockProtocol(TnvLokProtocol protocol) {
    if (NvSetIndexLockRange(protocol, lockRange_)) protocol_ = protocol;
}

void NVobjMemoBase::RenameMemo(std::string_view newTableName) {
    const std::string& current = FileName();
    const std::size_t ownDot = ExtensionDot(current);
    const std::string ext = ownDot == std::string::npos ? std::string() : current.substr(ownDot);
    std::string_view table = Trimmed(newTableName);
    const std::size_t dot = ExtensionDot(table);
    std::string newName(dot == std::string_view::npos ? table : table.substr(0, dot));
    newName += ext;
    Rename(newName);
    if (ReadWrite()) SetTableName(newName);
}

void NVobjMemoBase::SetTableName(std::string_view tableName) {
    if (!NamesTable()) return;
    uint8_t head[32] = {};
    ReadAt(0, head, sizeof head);
    std::memset(head + 8, 0, 9);
    const std::string_view base = BaseName(Trimmed(tableName));
    std::memcpy(head + 8, base.data(), std::min<std::size_t>(base.size(), 8));
    WriteAt(0, head, sizeof head);
}

// ---- dBase III ----

uint32_t NVobjMemo::AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) {
    return ReuseOrAppend(needed, oldBlock, oldBlocks, false);
}

void NVobjMemo::WriteTerminator(uint8_t* place) {
    place[0] = 0x1A;
    place[1] = 0x1A;
}

uint32_t NVobjMemo::ReadBlockLength(uint32_t block, int64_t fileSize) {
    const int64_t start = int64_t(block) * blockSize_;
    if (!keys_.readKey.empty()) {
        uint8_t prefix[4];
        ReadExact(start, prefix, sizeof prefix);
        const uint64_t total = 4 + uint64_t(nvbytes::LoadLE32(prefix));
        if (start + total > uint64_t(fileSize)) RaiseBad();
        return static_cast<uint32_t>(total);
    }
    // Counted to the first 0x1A or the end of the file: peers write values far longer than
    // 64 KB, and cutting them short would lose their tails on the next save.
    std::vector<uint8_t> chunk(64 * 512);
    int64_t pos = start;
    while (pos < fileSize) {
        const int64_t want = std::min<int64_t>(int64_t(chunk.size()), fileSize - pos);
        const int64_t got = ReadAt(pos, chunk.data(), want);
        if (got <= 0) break;
        const void* mark = std::memchr(chunk.data(), 0x1A, std::size_t(got));
        if (mark != nullptr)
            return static_cast<uint32_t>(pos - start +
                                         (static_cast<const uint8_t*>(mark) - chunk.data()));
        pos += got;
    }
    return static_cast<uint32_t>(pos - start);
}

void NVobjMemo::ZapHeader(uint8_t* header) { nvbytes::StoreLE32(header, 1); }

// ---- dBase IV ----

void NVobjMemo4::ReadFileHeader() {
    uint8_t head[32] = {};
    if (ReadAt(0, head, sizeof head) < 24) RaiseBad();
    const uint32_t size = nvbytes::LoadLE32(head + 20);
    if (size < kMinDb4BlockSize || size > kMaxBlockSize) RaiseBad();
    blockSize_ = size;
    blockHeaderSize_ = 8;
    // A new file holds only the first 24 header bytes; make the header a whole block so the
    // first value starts at block 1.
    const int64_t fileSize = FileSize();
    if (ReadWrite() && fileSize < int64_t(blockSize_)) {
        std::vector<uint8_t> block(blockSize_, 0);
        ReadAt(0, block.data(), fileSize);
        WriteAt(0, block.data(), int64_t(block.size()));
    }
}

uint32_t NVobjMemo4::ReadBlockLength(uint32_t block, int64_t fileSize) {
    const int64_t start = int64_t(block) * blockSize_;
    uint8_t head[8];
    ReadExact(start, head, sizeof head);
    if (head[0] != 0xFF || head[1] != 0xFF) RaiseBad();
    const uint32_t total = nvbytes::LoadLE32(head + 4);
    if (total < 8 || start + int64_t(total) > fileSize) RaiseBad();
    return total;
}

void NVobjMemo4::PutBlockHeader(uint8_t* out, uint32_t length) {
    out[0] = 0xFF;
    out[1] = 0xFF;
    out[2] = 0x08;
    out[3] = 0x00;
    nvbytes::StoreLE32(out + 4, length + 8);
}

void NVobjMemo4::ZapHeader(uint8_t* header) { nvbytes::StoreLE32(header, 1); }

uint32_t NVobjMemo4::EndBlock() { return static_cast<uint32_t>(FileSize() / blockSize_); }

void NVobjMemo4::ReadHead(uint8_t* head32) { ReadExact(0, head32, 32); }

void NVobjMemo4::WriteHead(const uint8_t* head32) { WriteAt(0, head32, 32); }

NVobjMemo4::FreeRun NVobjMemo4::ReadRun(uint32_t block, uint32_t end, uint64_t& seen) {
    if (block == 0) RaiseBad();  // the chain points back into the header
    FreeRun run;
    run.block = block;
    ReadExact(int64_t(block) * blockSize_, run.raw, sizeof run.raw);
    run.next = nvbytes::LoadLE32(run.raw);
    run.length = nvbytes::LoadLE32(run.raw + 4);
    if (run.length == 0 || uint64_t(block) + run.length > end) RaiseBad();
    // Runs do not overlap, so together they fit in the file; more means the chain loops.
    seen += run.length;
    if (seen > end) RaiseBad();
    return run;
}

void NVobjMemo4::CheckChain() {
    uint8_t head[32];
    ReadHead(head);
    const uint32_t end = std::max<uint32_t>(EndBlock(), 1);
    uint64_t seen = 0;
    for (uint32_t current = nvbytes::LoadLE32(head); current < end;)
        current = ReadRun(current, end, seen).next;
}

void NVobjMemo4::FreeBlocks(uint32_t block) {
    if (block == 0) return;
    uint32_t run = BlocksFor(ReadBlockLength(block, FileSize()));
    // The last value may end inside a block the file does not fully hold; its run must not
    // reach past the blocks the chain may use.
    const uint32_t end = EndBlock();
    run = std::min(run, std::max(end, block + 1) - block);
    uint8_t head[32];
    ReadHead(head);
    uint8_t element[32];
    std::memcpy(element, head, sizeof element);
    nvbytes::StoreLE32(element + 4, run);
    WriteAt(int64_t(block) * blockSize_, element, sizeof element);
    nvbytes::StoreLE32(head, block);
    nvbytes::StoreLE32(head + 4, 0);
    WriteHead(head);
}

uint32_t NVobjMemo4::AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t /*oldBlocks*/) {
    // A damaged chain is found before the old value is freed into it.
    CheckChain();
    FreeBlocks(oldBlock);

    uint8_t head[32];
    ReadHead(head);
    uint32_t end = EndBlock();
    if (end == 0) {
        end = 1;
        WriteHead(head);
    }
    uint32_t current = nvbytes::LoadLE32(head);
    uint32_t previous = 0;
    uint32_t successor = 0;
    bool found = false;
    uint64_t seen = 0;
    while (current < end) {
        const FreeRun run = ReadRun(current, end, seen);
        if (run.length < needed) {
            previous = current;
            current = run.next;
            continue;
        }
        if (run.length == needed) {
            successor = run.next;
        } else {
            uint8_t rest[32];
            std::memcpy(rest, run.raw, sizeof rest);
            nvbytes::StoreLE32(rest + 4, run.length - needed);
            successor = current + needed;
            WriteAt(int64_t(successor) * blockSize_, rest, sizeof rest);
        }
        found = true;
        break;
    }
    if (!found) {
        CheckRoom(end, needed);
        current = end;
        successor = end + needed;
    }
    uint8_t link[32];
    if (previous == 0) {
        ReadHead(link);
    } else {
        ReadExact(int64_t(previous) * blockSize_, link, sizeof link);
    }
    nvbytes::StoreLE32(link, successor);
    WriteAt(int64_t(previous) * blockSize_, link, sizeof link);
    return current;
}

// ---- FoxPro ----

void NVobjFXMemo20::ReadFileHeader() {
    uint8_t head[32] = {};
    if (ReadAt(0, head, sizeof head) < 8) RaiseBad();
    const uint32_t size = nvbytes::LoadBE16(head + 6);
    if (size == 0) RaiseBad();
    blockSize_ = size;
    blockHeaderSize_ = 8;
}

uint32_t NVobjFXMemo20::AllocateBlocks(uint32_t needed, uint32_t oldBlock, uint32_t oldBlocks) {
    return ReuseOrAppend(needed, oldBlock, oldBlocks, true);
}

uint32_t NVobjFXMemo20::ReadBlockLength(uint32_t block, int64_t fileSize) {
    const int64_t start = int64_t(block) * blockSize_;
    uint8_t head[8];
    ReadExact(start, head, sizeof head);
    if (nvbytes::LoadBE32(head) > 1) RaiseBad();
    const uint64_t total = 8 + uint64_t(nvbytes::LoadBE32(head + 4));
    if (start + total > uint64_t(fileSize)) RaiseBad();
    return static_cast<uint32_t>(total);
}

void NVobjFXMemo20::PutBlockHeader(uint8_t* out, uint32_t length) {
    nvbytes::StoreBE32(out, 1);
    nvbytes::StoreBE32(out + 4, length);
}

void NVobjFXMemo20::ZapHeader(uint8_t* header) { nvbytes::StoreBE32(header, HeaderBlocks()); }
