#pragma once

// The page-object tree builder the NDX and MDX builds used before they wrote their pages in
// place: kept as the reference the in-place builder's blocks are compared with.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_indx.h"
#include "nv6_sort.h"

// Writes a tag's tree bottom-up from keys delivered in order, one page buffer per level,
// each page written once through the format's PageStore, its highest key passed up a level.
// A full page waits until the level's next page fills, so that at Finish the last page of a
// level can take entries from it: no level ends in a page of a single pointer, which the
// formats would write as an interior page without a key. For the formats whose interior
// entries carry the highest key of each subtree (NDX, MDX); the tag's file must be
// positioned (next page) where the pages go.
class NVobjPageBuilder {
public:
    // `emptyRoot` writes the root of a tree without keys; none: one empty leaf page.
    explicit NVobjPageBuilder(NVobjIndexTag* tag, std::function<void()> emptyRoot = {});
    ~NVobjPageBuilder();
    NVobjPageBuilder(const NVobjPageBuilder&) = delete;
    NVobjPageBuilder& operator=(const NVobjPageBuilder&) = delete;

    // Adds the next key (already in key-image form) with its record number.
    void Add(const TnvVariant& key, int32_t recNo);
    // The same for a key given as its kind and bytes (a key the sort delivered undecoded).
    void Add(uint8_t kind, const uint8_t* bytes, int length, int32_t recNo);
    // Writes the pages still held from the leaves up and makes the top one the tag's root;
    // marks the header dirty. Returns the root's address. Later calls only return it.
    int32_t Finish();

private:
    struct Level {
        std::unique_ptr<NVobjIndexKey> open;  // being filled
        std::unique_ptr<NVobjIndexKey> held;  // full, not yet known not to be the level's last
    };
    std::unique_ptr<NVobjIndexKey> NewPage(std::size_t level) const;
    void Push(std::size_t level, uint8_t kind, const uint8_t* bytes, int length, int32_t reference);
    void Write(std::size_t level, NVobjIndexKey& page);

    NVobjIndexTag* tag_;
    std::function<void()> emptyRoot_;
    std::vector<Level> levels_;
    std::vector<std::unique_ptr<NVobjIndexKeyData>> spare_;  // entries of written pages
    bool finished_ = false;
};

inline NVobjPageBuilder::NVobjPageBuilder(NVobjIndexTag* tag, std::function<void()> emptyRoot)
    : tag_(tag), emptyRoot_(std::move(emptyRoot)) {}

inline NVobjPageBuilder::~NVobjPageBuilder() = default;

inline void NVobjPageBuilder::Add(const TnvVariant& key, int32_t recNo) { Push(0, key.Kind(), key.Data(), key.Length(), recNo); }

inline void NVobjPageBuilder::Add(uint8_t kind, const uint8_t* bytes, int length, int32_t recNo) {
    Push(0, kind, bytes, length, recNo);
}

inline std::unique_ptr<NVobjIndexKey> NVobjPageBuilder::NewPage(std::size_t level) const {
    auto page = std::make_unique<NVobjIndexKey>(tag_, nullptr);
    page->kind = level == 0 ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
    // A page fills to the most entries the tag takes; growing to that one entry at a time
    // cost an allocation every few keys.
    page->Reserve(tag_->maxEntries + 1);
    return page;
}

inline void NVobjPageBuilder::Push(std::size_t level, uint8_t kind, const uint8_t* bytes, int length, int32_t reference) {
    // Deeper than any tree of these formats can be: the key stream cannot be right.
    if (level >= static_cast<std::size_t>(NVobjIndexTag::kMaxDepth)) tag_->RaiseCorrupt();
    if (levels_.size() <= level) levels_.push_back(Level{NewPage(level), nullptr});
    if (levels_[level].open->Count() >= tag_->maxEntries) {
        // The open page is full; the one held before it is now known to have a successor.
        std::unique_ptr<NVobjIndexKey> done = std::move(levels_[level].held);
        levels_[level].held = std::move(levels_[level].open);
        levels_[level].open = NewPage(level);
        if (done) {
            Write(level, *done);
            // Its entries serve the pages to come: no allocation per key.
            while (done->Count() > 0) spare_.push_back(done->ExtractAt(done->Count() - 1));
        }
    }
    std::unique_ptr<NVobjIndexKeyData> entry;
    if (spare_.empty()) {
        entry = std::make_unique<NVobjIndexKeyData>();
    } else {
        entry = std::move(spare_.back());
        spare_.pop_back();
    }
    entry->SetLength(length);
    nvbytes::CopyShort(entry->Data(), bytes, static_cast<std::size_t>(std::max(length, 0)));
    entry->SetKind(kind);
    entry->recNo = 0;
    entry->reference = reference;
    levels_[level].open->Add(entry.release());
}

inline void NVobjPageBuilder::Write(std::size_t level, NVobjIndexKey& page) {
    page.address = tag_->File()->NewPage();
    if (page.address <= 0) tag_->RaiseCorrupt();
    tag_->PageStore(page);
    const TnvVariant high(*page.Items(page.Count() - 1));
    Push(level + 1, high.Kind(), high.Data(), high.Length(), page.address);
}

inline int32_t NVobjPageBuilder::Finish() {
    if (finished_) return tag_->root;
    finished_ = true;
    if (levels_.empty()) {
        if (emptyRoot_) {
            emptyRoot_();
            return tag_->root;
        }
        levels_.push_back(Level{NewPage(0), nullptr});
    }
    for (std::size_t level = 0;; ++level) {
        std::unique_ptr<NVobjIndexKey> held = std::move(levels_[level].held);
        std::unique_ptr<NVobjIndexKey> open = std::move(levels_[level].open);
        if (!held && level + 1 == levels_.size()) {
            // One page at the top level: the root.
            open->address = tag_->File()->NewPage();
            if (open->address <= 0) tag_->RaiseCorrupt();
            tag_->PageStore(*open);
            tag_->root = open->address;
            break;
        }
        if (held) {
            // A last page under half full takes entries from the full one before it, so that
            // an interior page keeps keys besides its right-most pointer.
            const int total = held->Count() + open->Count();
            while (open->Count() < held->Count() / 2 && open->Count() < total / 2)
                open->InsertAt(0, held->ExtractAt(held->Count() - 1));
            Write(level, *held);
        }
        Write(level, *open);
    }
    tag_->dirty = true;
    return tag_->root;
}
