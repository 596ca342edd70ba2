// `TnvAddressMap`: values by page address for the page caches that look an address up on
// every page read, kept page and write. Open addressing with linear probing in one block, so
// that finding, adding and removing allocate nothing (the block only grows, doubling, with
// the number of entries); a removal moves the later entries of its run back into the hole,
// so that no markers of removed entries pile up and slow the searches. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

template <class Key, class Value>
class TnvAddressMap {
public:
    // The value kept for `key`, null when there is none; valid until the next Set or Erase.
    Value* Find(Key key) {
        if (size_ == 0) return nullptr;
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.key == key) return &slot.value;
        }
    }
    // Keeps `value` for `key`, replacing what was kept for it.
    void Set(Key key, Value value) {
        if ((size_ + 1) * 2 > slots_.size()) Grow();
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot = Slot{key, value, true};
                ++size_;
                return;
            }
            if (slot.key == key) {
                slot.value = value;
                return;
            }
        }
    }
    // Forgets `key`; whether it was there.
    bool Erase(Key key) {
        if (size_ == 0) return false;
        std::size_t hole = Home(key);
        for (;; hole = (hole + 1) & mask_) {
            if (!slots_[hole].used) return false;
            if (slots_[hole].key == key) break;
        }
        // An entry further on in the run moves into the hole unless its home lies after the
        // hole (cyclically, up to the entry itself): a search for it would stop at the hole.
        for (std::size_t j = (hole + 1) & mask_; slots_[j].used; j = (j + 1) & mask_) {
            const std::size_t home = Home(slots_[j].key);
            const bool stays = hole <= j ? hole < home && home <= j : hole < home || home <= j;
            if (stays) continue;
            slots_[hole] = slots_[j];
            hole = j;
        }
        slots_[hole].used = false;
        --size_;
        return true;
    }
    void Clear() {
        if (size_ == 0) return;
        for (Slot& slot : slots_) slot.used = false;
        size_ = 0;
    }
    std::size_t Size() const { return size_; }

private:
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
    };

    // Addresses are multiples of a page size: the high bits of a multiplicative hash spread
    // them where their low bits would not.
    std::size_t Home(Key key) const {
        return static_cast<std::size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void Grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        shift_ = 64;
        for (std::size_t n = capacity; n > 1; n >>= 1) --shift_;
        size_ = 0;
        for (const Slot& slot : old)
            if (slot.used) Set(slot.key, slot.value);
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t size_ = 0;
};
