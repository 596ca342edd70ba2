// The NTX single-index format over the index core: `NVobjNTXFile` holds one tag, a 1,024-byte
// header at offset 0 followed by 1,024-byte pages; `NVobjNTXTag` maps the file's true B-tree
// (real keys in interior pages, reached through each page's offset table) onto the core's
// B+ view and back; `NVobjSortNTX` writes a new tree bottom-up from sorted keys. Every key is
// text, numbers and dates included. Addresses are byte offsets. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nv6_indx.h"
#include "nv6_sort.h"

class NVobjNTXFile;

// The one order of an NTX file.
class NVobjNTXTag : public NVobjIndexTag {
public:
    static constexpr int kPage = 1024;
    // Offsets of the header fields other programs of the family also read.
    static constexpr int kKeyExprAt = 22;
    static constexpr int kUniqueAt = 278;
    static constexpr int kDescendingAt = 279;
    static constexpr int kDescendingAltAt = 280;
    static constexpr int kForExprAt = 282;
    // Where the header bytes we do not interpret begin (a tag name in some programs).
    static constexpr int kKeptFrom = 538;

    // One entry as it sits in a page: key text, record number and left child (0 in leaves).
    struct Entry {
        std::string key;
        int32_t recNo = 0;
        int32_t child = 0;
    };

    NVobjNTXTag(NVobjIndexFile* file, int32_t headerAddress);
    ~NVobjNTXTag() override;

    // Character keys as text (upper-cased when the file asks), dates as "yyyymmdd" (blank:
    // 8 blanks), numbers as fixed-point digit text with the complement for negatives.
    void KeyFormat(TnvVariant& value, bool partial) override;
    // Stores the definition, derives key type, length and decimals from one evaluation,
    // writes the header and either an empty root (table without records) or the built tree.
    bool TagCreate(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                   std::string_view forExpression) override;
    // The framework's insertion; a leaf entry's record number is its reference.
    bool KeyAdd(NVobjIndexKeyData& key) override;
    // The root offset as the header holds it now.
    int32_t RootPage() override;
    // Decodes one page into the B+ view (separators carried from the parent); nonzero when
    // the page cannot be right.
    int PageLoad(int32_t address, NVobjIndexKey& page) override;
    // Encodes one page object back into the B-tree, splitting it when it does not fit.
    int PageStore(NVobjIndexKey& page) override;
    // Reads and checks the header, compiles both expressions; false when it cannot be right.
    bool TagLoad() override;
    // Writes the header when dirty.
    void TagStore() override;
    // An interior page needs a key besides its right-most pointer; a leaf needs a key of its
    // own besides the separator it shows from above (none at the right edge).
    bool PageUnderfull(const NVobjIndexKey& page) const override;
    // Interior pages store their entries but the right-most pointer; leaves all but the
    // separator they show from above.
    int StoredKeys(const NVobjIndexKey& page) const override;

    // Sets key length and the page geometry (half page, items, entry length) derived from it.
    void SetKeyLength(int16_t length);
    // The header's maximum items per page (the framework's maximum carries one more entry:
    // the separator a leaf borrows from its parent).
    int16_t MaxItems() const { return maxItems_; }
    // Writes the header image now (dirty or not).
    void WriteHeader();
    // Writes a page image: `keys` counted entries, then the right-most child (interior pages).
    void WritePage(int32_t address, const Entry* entries, int keys, int32_t rightChild);
    // The key image of `value` as it is written into a page (blank-padded, cut to key length).
    std::string PageKey(const TnvVariant& value) const;

    int16_t decimals = 0;

private:
    struct Raw;
    bool ReadRaw(int32_t address, Raw& raw);
    bool RightMost(const NVobjIndexKey& page) const;
    void SplitPage(NVobjIndexKey& page, bool rightMost);
    NVobjNTXFile* NtxFile() const;

    int16_t maxItems_ = 0;
    std::vector<uint8_t> header_;  // the header as read, so uninterpreted bytes survive a rewrite
    std::unordered_map<int32_t, int32_t> parents_;  // page -> parent page seen since the last change
};

// Sorts a tag's keys and writes its tree bottom-up: leaves take an even share of the keys,
// the key after a complete page goes up as a real entry with that page as its left child,
// and an interior page ends in its right-most pointer. A complete page waits until the
// level's next one completes, so that at the end the level's last page can take keys from
// it (or the two become one): no page is left without a key. Each page is written once.
class NVobjSortNTX : public TnvSort {
public:
    // A sort over the tag's key length + 1, unique as the tag; descending tags sort their keys
    // complemented (so a key still sorts after the longer keys it begins).
    explicit NVobjSortNTX(NVobjNTXTag* tag);
    ~NVobjSortNTX() override;

    // Runs the record pass of the tag's table, writes the tree from the file's next page on,
    // makes the top page the root (an empty leaf when no key came) and writes the header.
    // Returns the number of keys written.
    int32_t Build();

private:
    class Flipped;
    // Keys with their left children (0 in leaves), then the right-most child.
    struct Page {
        std::vector<NVobjNTXTag::Entry> keys;
        int32_t right = 0;
    };
    struct Level {
        Page open;                     // being filled
        Page held;                     // complete, waiting for the level's next page
        NVobjNTXTag::Entry separator;  // the key between `held` and `open`
        bool holding = false;
        int share = 0;                 // keys a page takes before it is complete
        int64_t expected = 0;          // keys expected at this level (for the share)
    };

    Level& At(std::size_t level);
    // The next key of a level; at level 1 and above it follows the child it separates.
    void AddKey(std::size_t level, NVobjNTXTag::Entry entry);
    // The child after the keys a level has so far.
    void AddChild(std::size_t level, int32_t child);
    int32_t Write(const Page& page);
    int32_t Finish();
    // A key's text, in the buffer of one already written when there is one.
    std::string KeyText(std::string_view key);

    NVobjNTXTag* tag_;
    std::vector<Level> levels_;
    std::vector<std::string> spare_;
    bool finished_ = false;
};

// One NTX file.
class NVobjNTXFile : public NVobjIndexFile {
public:
    // Opens `path` (".ntx" added when it has no extension); with `create` and (`overwrite`
    // or no such file) a new file is made. None when the file does not exist.
    static std::unique_ptr<NVobjNTXFile> Open(TnvIndexTable* table, std::string_view path, bool create,
                                              bool overwrite, bool shared);
    // The tag name of a file: its base name upper-cased, cut to 10 characters.
    static std::string TagNameOf(std::string_view path);

    NVobjNTXFile(TnvIndexTable* table, std::string_view fileName);
    ~NVobjNTXFile() override;

    // Makes the one tag, its header at offset 0. When the build is refused or fails the file
    // is left empty, without a tag.
    bool TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                std::string_view forExpression) override;
    int32_t NewPage() override;
    int32_t SetEnd() override;
    // Builds the tag again from the table in a scratch file that then replaces this file's
    // contents; a build that fails leaves the file as it was. The change counter moves on.
    void Reindex() override;
    // Counts the change in the header, on from the count another program left (so other
    // users see it), then updates the tag.
    bool RecordChanged(int32_t record, bool appending) override;
    // Shared files: whether the header's change counter moved since it was last read; the
    // counter read is taken.
    bool ChangedByOther() override;
    bool CountsChanges() const override { return true; }
    // Makes the file an empty index for its tag: header and one empty root at 1,024.
    void Zap() override;
    NVobjNTXTag* Tag() const { return static_cast<NVobjNTXTag*>(TagByNumber(0)); }

    uint16_t changeCounter = 1;
};
