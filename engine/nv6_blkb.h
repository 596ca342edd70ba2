// A bottom-up tree writer that fills page images in place, for the index formats whose pages
// are runs of fixed-size entries (a pointer and a key of fixed length) and whose interior
// entries carry the highest key of each subtree (NDX, MDX). Not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_indx.h"

// Keys delivered in order go straight into the open leaf image as the format encodes them;
// a written page's highest key goes up a level as its stored bytes. The pages come out in
// the order and shape the NDX and MDX builds have always written: a full page waits until
// the level's next page fills, and at Finish the last page of a level takes entries from the
// one before it when it is under half full, so that no level ends in a page of a single
// pointer. Each page gets its address (the file's NewPage) when it is written. The tag's
// file must be positioned where the pages go.
class NVobjBlockBuilder {
public:
    // Where things are in a page image.
    struct Layout {
        int pageSize = 0;
        int entriesAt = 0;          // the first entry
        int keyAt = 0;              // the key within an entry
        int keyBytes = 0;           // stored key bytes, copied as they are into interior entries
        int leafPointerAt = 0;      // the record number within a leaf entry
        int interiorPointerAt = 0;  // the child within an interior entry
    };
    // Completes a page image (count, chain, what the format leaves out) and writes it at
    // `address`. The image is the builder's own and may be changed.
    using Store = std::function<void(int32_t address, uint8_t* page, int count, bool interior)>;

    // Padding longer than this goes through memset.
    static constexpr int kMaxKeyBytes = 256;

    // `emptyRoot` writes the root of a tree without keys; none: one empty leaf page.
    NVobjBlockBuilder(NVobjIndexTag* tag, const Layout& layout, Store store, std::function<void()> emptyRoot = {});
    NVobjBlockBuilder(const NVobjBlockBuilder&) = delete;
    NVobjBlockBuilder& operator=(const NVobjBlockBuilder&) = delete;

    // Opens the next leaf entry for `recNo` and returns its key bytes (zeroed, keyBytes of
    // them) for the caller to encode the key into before the next call.
    uint8_t* AddLeaf(int32_t recNo) {
        // Most keys land in an open leaf with room: no level to make, no page to write.
        if (!levels_.empty() && levels_[0].openCount < maxEntries_) {
            uint8_t* entry = Entry(levels_[0].open, levels_[0].openCount++);
            nvbytes::StoreLE32(entry + layout_.leafPointerAt, static_cast<uint32_t>(recNo));
            return entry + layout_.keyAt;
        }
        return Slot(0, recNo);
    }
    // Stores `length` bytes of text as a key of `width` bytes: cut, or padded with blanks.
    static void StoreText(uint8_t* at, const uint8_t* text, int length, int width);
    // Writes the pages still held from the leaves up and makes the top one the tag's root;
    // marks the header dirty. Returns the root's address. Later calls only return it.
    int32_t Finish();

private:
    struct Level {
        std::vector<uint8_t> open;  // being filled
        std::vector<uint8_t> held;  // full, not yet known not to be the level's last
        std::vector<uint8_t> high;  // the key a page being written passes up
        int openCount = 0;
        int heldCount = 0;
        bool hasHeld = false;
    };
    uint8_t* Slot(std::size_t level, int32_t reference);
    uint8_t* Entry(std::vector<uint8_t>& page, int index) {
        return page.data() + layout_.entriesAt + static_cast<std::size_t>(index) * entryLength_;
    }
    // Gives the page an address, stores it and passes its highest key up a level.
    void Write(std::size_t level, std::vector<uint8_t>& page, int count);
    int32_t NewAddress();

    NVobjIndexTag* tag_;
    Layout layout_;
    int entryLength_;
    int maxEntries_;
    Store store_;
    std::function<void()> emptyRoot_;
    std::vector<Level> levels_;
    bool finished_ = false;
};
