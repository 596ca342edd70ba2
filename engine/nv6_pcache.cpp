#include "nv6_pcache.h"

#include <cstring>

bool TnvPageCache::Get(int64_t address, void* buffer, int32_t length) {
    auto found = pages_.find(address);
    if (found == pages_.end() || length < 0 || static_cast<std::size_t>(length) > found->second->bytes.size())
        return false;
    uses_.splice(uses_.begin(), uses_, found->second);
    std::memcpy(buffer, found->second->bytes.data(), static_cast<std::size_t>(length));
    return true;
}

void TnvPageCache::Put(int64_t address, const void* bytes, int32_t length) {
    if (length <= 0 || length > budget_ || address % kAlign != 0) return;
    auto found = pages_.find(address);
    if (found != pages_.end()) {
        Page& page = *found->second;
        if (page.bytes.size() > static_cast<std::size_t>(length) && std::memcmp(page.bytes.data(), bytes, static_cast<std::size_t>(length)) == 0) {
            uses_.splice(uses_.begin(), uses_, found->second);
            return;
        }
    }
    Drop(address, length);
    while (bytes_ + length > budget_ && !uses_.empty()) {
        pages_.erase(uses_.back().address);
        bytes_ -= static_cast<int64_t>(uses_.back().bytes.size());
        uses_.pop_back();
    }
    const auto* from = static_cast<const uint8_t*>(bytes);
    uses_.push_front(Page{address, std::vector<uint8_t>(from, from + length)});
    pages_.emplace(address, uses_.begin());
    bytes_ += length;
    if (length > longest_) longest_ = length;
}

void TnvPageCache::Drop(int64_t address, int64_t length) {
    if (length <= 0 || pages_.empty()) return;
    // A copy starting up to one longest copy before the range may reach into it.
    int64_t from = address - longest_ + 1;
    from = from < 0 ? 0 : (from + kAlign - 1) / kAlign * kAlign;
    for (int64_t at = from; at < address + length; at += kAlign) {
        auto found = pages_.find(at);
        if (found == pages_.end()) continue;
        const Page& page = *found->second;
        if (page.address + static_cast<int64_t>(page.bytes.size()) <= address) continue;
        bytes_ -= static_cast<int64_t>(page.bytes.size());
        uses_.erase(found->second);
        pages_.erase(found);
    }
}

void TnvPageCache::Clear() {
    pages_.clear();
    uses_.clear();
    bytes_ = 0;
    longest_ = 0;
}
