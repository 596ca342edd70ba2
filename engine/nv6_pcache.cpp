#include "nv6_pcache.h"

#include <cstring>

void TnvPageCache::Link(int32_t slot) {
    Page& page = slots_[static_cast<std::size_t>(slot)];
    page.newer = -1;
    page.older = newest_;
    if (newest_ >= 0) slots_[static_cast<std::size_t>(newest_)].newer = slot;
    newest_ = slot;
    if (oldest_ < 0) oldest_ = slot;
}

void TnvPageCache::Unlink(int32_t slot) {
    Page& page = slots_[static_cast<std::size_t>(slot)];
    (page.newer >= 0 ? slots_[static_cast<std::size_t>(page.newer)].older : newest_) = page.older;
    (page.older >= 0 ? slots_[static_cast<std::size_t>(page.older)].newer : oldest_) = page.newer;
    page.newer = page.older = -1;
}

void TnvPageCache::Free(int32_t slot) {
    Unlink(slot);
    Page& page = slots_[static_cast<std::size_t>(slot)];
    bytes_ -= static_cast<int64_t>(page.bytes.size());
    at_.Erase(page.address);
    page.bytes.clear();
    const auto capacity = static_cast<int64_t>(page.bytes.capacity());
    if (spareBytes_ + capacity > kSpareBytes)
        std::vector<uint8_t>().swap(page.bytes);
    else
        spareBytes_ += capacity;
    free_.push_back(slot);
}

bool TnvPageCache::Get(int64_t address, void* buffer, int32_t length) {
    const int32_t* slot = at_.Find(address);
    if (!slot) return false;
    Page& page = slots_[static_cast<std::size_t>(*slot)];
    if (length < 0 || static_cast<std::size_t>(length) > page.bytes.size()) return false;
    if (newest_ != *slot) {
        Unlink(*slot);
        Link(*slot);
    }
    std::memcpy(buffer, page.bytes.data(), static_cast<std::size_t>(length));
    return true;
}

void TnvPageCache::Put(int64_t address, const void* bytes, int32_t length) {
    if (length <= 0 || length > budget_ || address % kAlign != 0) return;
    if (const int32_t* found = at_.Find(address)) {
        const int32_t slot = *found;
        const Page& page = slots_[static_cast<std::size_t>(slot)];
        if (page.bytes.size() > static_cast<std::size_t>(length) &&
            std::memcmp(page.bytes.data(), bytes, static_cast<std::size_t>(length)) == 0) {
            Unlink(slot);
            Link(slot);
            return;
        }
    }
    Drop(address, length);
    while (bytes_ + length > budget_ && oldest_ >= 0) Free(oldest_);
    int32_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
        spareBytes_ -= static_cast<int64_t>(slots_[static_cast<std::size_t>(slot)].bytes.capacity());
    } else {
        slot = static_cast<int32_t>(slots_.size());
        slots_.emplace_back();
    }
    Page& page = slots_[static_cast<std::size_t>(slot)];
    const auto* from = static_cast<const uint8_t*>(bytes);
    page.address = address;
    page.bytes.assign(from, from + length);
    Link(slot);
    at_.Set(address, slot);
    bytes_ += length;
    if (length > longest_) longest_ = length;
}

void TnvPageCache::Drop(int64_t address, int64_t length) {
    if (length <= 0 || at_.Size() == 0) return;
    // A copy starting up to one longest copy before the range may reach into it.
    int64_t from = address - longest_ + 1;
    from = from < 0 ? 0 : (from + kAlign - 1) / kAlign * kAlign;
    for (int64_t at = from; at < address + length; at += kAlign) {
        const int32_t* slot = at_.Find(at);
        if (!slot) continue;
        const Page& page = slots_[static_cast<std::size_t>(*slot)];
        if (page.address + static_cast<int64_t>(page.bytes.size()) <= address) continue;
        Free(*slot);
    }
}

void TnvPageCache::Clear() {
    while (oldest_ >= 0) Free(oldest_);
    bytes_ = 0;
    longest_ = 0;
}
