#include "nv6_blkb.h"

#include <algorithm>
#include <cstring>

#include "nv6_bytes.h"

NVobjBlockBuilder::NVobjBlockBuilder(NVobjIndexTag* tag, const Layout& layout, Store store,
                                     std::function<void()> emptyRoot)
    : tag_(tag),
      layout_(layout),
      entryLength_(tag->entryLength),
      maxEntries_(tag->maxEntries),
      store_(std::move(store)),
      emptyRoot_(std::move(emptyRoot)) {
    // Lengths that cannot lay out a page would write outside the images.
    if (entryLength_ <= 0 || maxEntries_ <= 0 || layout_.keyBytes <= 0 ||
        layout_.keyAt + layout_.keyBytes > entryLength_ ||
        layout_.entriesAt + maxEntries_ * entryLength_ > layout_.pageSize)
        tag_->RaiseCorrupt();
    // Levels are never moved, so that a level's images stay put while a write goes up.
    levels_.reserve(NVobjIndexTag::kMaxDepth);
}

void NVobjBlockBuilder::StoreText(uint8_t* at, const uint8_t* text, int length, int width) {
    static const uint8_t kBlanks[kMaxKeyBytes] = {
#define NV_BLANKS16 ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '
        NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16,
        NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16, NV_BLANKS16,
#undef NV_BLANKS16
    };
    width = std::max(width, 0);
    const int n = std::clamp(length, 0, width);
    // Keys are a few dozen bytes: short copies, no library calls.
    nvbytes::CopyShort(at, text, static_cast<std::size_t>(n));
    if (width - n <= kMaxKeyBytes)
        nvbytes::CopyShort(at + n, kBlanks, static_cast<std::size_t>(width - n));
    else
        std::memset(at + n, ' ', static_cast<std::size_t>(width - n));
}

int32_t NVobjBlockBuilder::NewAddress() {
    const int32_t address = tag_->File()->NewPage();
    if (address <= 0) tag_->RaiseCorrupt();
    return address;
}

uint8_t* NVobjBlockBuilder::Slot(std::size_t level, int32_t reference) {
    // Deeper than any tree of these formats can be: the key stream cannot be right.
    if (level >= static_cast<std::size_t>(NVobjIndexTag::kMaxDepth)) tag_->RaiseCorrupt();
    if (levels_.size() <= level) {
        levels_.emplace_back();
        levels_.back().open.assign(static_cast<std::size_t>(layout_.pageSize), 0);
        levels_.back().held.assign(static_cast<std::size_t>(layout_.pageSize), 0);
    }
    Level& at = levels_[level];
    if (at.openCount >= maxEntries_) {
        // The open page is full; the one held before it is now known to have a successor.
        const bool done = at.hasHeld;
        std::swap(at.held, at.open);
        at.heldCount = at.openCount;
        at.hasHeld = true;
        if (done) Write(level, at.open, maxEntries_);
        std::fill(at.open.begin(), at.open.end(), uint8_t{0});
        at.openCount = 0;
    }
    uint8_t* entry = Entry(at.open, at.openCount++);
    nvbytes::StoreLE32(entry + (level == 0 ? layout_.leafPointerAt : layout_.interiorPointerAt),
                       static_cast<uint32_t>(reference));
    return entry + layout_.keyAt;
}

void NVobjBlockBuilder::Write(std::size_t level, std::vector<uint8_t>& page, int count) {
    // Every page below the top has entries; one without would pass up bytes before its start.
    if (count <= 0) tag_->RaiseCorrupt();
    const int32_t address = NewAddress();
    // The level's own copy of the highest key: the store may blank it (an interior page's
    // right-most key), and a write above passes another key up meanwhile.
    std::vector<uint8_t>& high = levels_[level].high;
    high.assign(Entry(page, count - 1) + layout_.keyAt, Entry(page, count - 1) + layout_.keyAt + layout_.keyBytes);
    store_(address, page.data(), count, level > 0);
    std::memcpy(Slot(level + 1, address), high.data(), static_cast<std::size_t>(layout_.keyBytes));
}

int32_t NVobjBlockBuilder::Finish() {
    if (finished_) return tag_->root;
    finished_ = true;
    if (levels_.empty()) {
        if (emptyRoot_) {
            emptyRoot_();
            return tag_->root;
        }
        levels_.emplace_back();
        levels_.back().open.assign(static_cast<std::size_t>(layout_.pageSize), 0);
    }
    for (std::size_t level = 0;; ++level) {
        Level& at = levels_[level];
        if (!at.hasHeld && level + 1 == levels_.size()) {
            // One page at the top level: the root.
            const int32_t address = NewAddress();
            store_(address, at.open.data(), at.openCount, level > 0);
            tag_->root = address;
            break;
        }
        if (at.hasHeld) {
            // A last page under half full takes entries from the full one before it, so that
            // an interior page keeps keys besides its right-most pointer.
            const int total = at.heldCount + at.openCount;
            int moved = 0;
            while (at.openCount + moved < (at.heldCount - moved) / 2 && at.openCount + moved < total / 2) ++moved;
            if (moved > 0) {
                const std::size_t length = static_cast<std::size_t>(entryLength_);
                std::memmove(Entry(at.open, moved), Entry(at.open, 0), length * at.openCount);
                std::memcpy(Entry(at.open, 0), Entry(at.held, at.heldCount - moved), length * moved);
                std::memset(Entry(at.held, at.heldCount - moved), 0, length * moved);
                at.openCount += moved;
                at.heldCount -= moved;
            }
            Write(level, at.held, at.heldCount);
        }
        Write(level, at.open, at.openCount);
    }
    tag_->dirty = true;
    return tag_->root;
}
