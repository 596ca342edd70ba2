// `TnvPageCache`: copies of index pages as an index file last read or wrote them, looked up
// by byte address and dropped least recently used first when the byte budget is spent. Only
// reads at multiples of kAlign are kept (every index format's pages and headers lie there),
// which lets a write find the copies it touches without an ordered search. The
// cache knows nothing of the file: its owner decides when the copies may stand for the file
// (see NVobjIndexFile::PageRead) and tells it about every write. Not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "nv6_addrmap.h"

class TnvPageCache {
public:
    // Default budget of one open index file: room for every interior page of a tag over
    // some millions of records, so that random seeks read little more than their leaf.
    static constexpr int64_t kDefaultBudget = int64_t{4} << 20;
    static constexpr int64_t kAlign = 512;

    explicit TnvPageCache(int64_t budget = kDefaultBudget) : budget_(budget) {}

    // Copies `length` bytes at `address` into `buffer` when a copy holds all of them.
    bool Get(int64_t address, void* buffer, int32_t length);
    // Keeps a copy of `length` bytes read or written at `address`; a longer copy already
    // kept at the same address stays when these bytes agree with it, so that a short read
    // of a header never shortens it.
    void Put(int64_t address, const void* bytes, int32_t length);
    // Forgets every copy sharing a byte with [address, address + length).
    void Drop(int64_t address, int64_t length);
    void Clear();

    int64_t Bytes() const { return bytes_; }
    std::size_t Pages() const { return at_.Size(); }
    // Bytes held for later copies by slots no copy uses now (at most kSpareBytes).
    int64_t SpareBytes() const { return spareBytes_; }
    static constexpr int64_t kSpareBytes = int64_t{256} << 10;

private:
    // Copies live in slots that are used again, buffer and all, once their copy goes: a
    // shared file forgets its cache on every locked edit and reads the same few pages back,
    // which would otherwise cost an allocation per page.
    struct Page {
        int64_t address = 0;
        std::vector<uint8_t> bytes;
        int32_t newer = -1;
        int32_t older = -1;
    };

    void Link(int32_t slot);
    void Unlink(int32_t slot);
    // Unlinks the copy in `slot` and hands the slot back.
    void Free(int32_t slot);

    int64_t budget_;
    int64_t bytes_ = 0;
    int64_t spareBytes_ = 0;
    int32_t longest_ = 0;
    std::vector<Page> slots_;
    std::vector<int32_t> free_;
    int32_t newest_ = -1;  // most recently used
    int32_t oldest_ = -1;
    TnvAddressMap<int64_t, int32_t> at_;  // slot by address
};
