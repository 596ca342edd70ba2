// The CDX compound index format over the index core: `NVobjCDXFile` holds any number of tags
// in one file of 512-byte nodes, listed by name in a structural tag at offset 0; `NVobjCDXTag`
// turns compressed leaves and big-endian interior nodes into page objects and back, and keeps
// numeric and date keys as byte-sortable 8-byte images and general-collation keys as weight
// strings; `NVobjSortCDX` fills a new tag bottom-up from the sort. Addresses are byte offsets.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_indx.h"
#include "nv6_sort.h"

// Collation settings: the process-wide choice for tags created next, and a tag's own.
enum : uint8_t { kCdxCollationNone = 0, kCdxCollationMachine = 1, kCdxCollationGeneral = 2 };

// The collation the next created CDX tag gets (1 machine, 2 general); every CDX open resets
// it to machine, the cursor sets it for the general-collation sort options.
void NvCdxSetCollation(uint8_t collation);
uint8_t NvCdxCollation();

// Whether a leaf gains and loses entries in its stored form (the default); off, every edited
// leaf is decoded and encoded whole. The files written are the same either way, which is what
// switching it off is for.
void NvCdxSetEditInPlace(bool on);

// The general-collation weight string of `text` (primary weights, then the secondary ones
// without trailing 0xF0), at most `limit` bytes.
std::string NvCdxGeneralKey(std::string_view text, int limit);

// The 8-byte sortable image of a number (big-endian; negative values inverted, others with
// the sign bit set); `partial` drops trailing 0x00 bytes (at least one byte stays).
std::string NvCdxNumberImage(double value, bool partial);

// Leaf entry bit layout of one node.
struct TnvCdxLeafLayout {
    uint32_t recordMask = 0;
    uint8_t duplicateMask = 0;
    uint8_t trailingMask = 0;
    uint8_t recordBits = 0;
    uint8_t duplicateBits = 0;
    uint8_t trailingBits = 0;
    uint8_t bytes = 0;
};

// The layout for `keyLength` holding record numbers up to `largest`; `bytes` is the entry
// size to start from (2 when a node is rewritten, 3 in the builder and for an empty root).
TnvCdxLeafLayout NvCdxLeafLayout(int keyLength, uint32_t largest, int bytes);

class NVobjCDXFile;

// One tag of a CDX file (or the file's structural tag).
class NVobjCDXTag : public NVobjIndexTag {
public:
    static constexpr int kNode = 512;
    static constexpr int kHeader = 1024;
    static constexpr int kKeyArea = 488;

    // A tag whose header is at `headerAddress`; -1 makes a new header (two new pages, dirty).
    NVobjCDXTag(NVobjCDXFile* file, int32_t headerAddress, bool structural);
    ~NVobjCDXTag() override;

    // Character keys as text (partial: trailing blanks dropped), cut to the key length and,
    // under the general collation, turned into weights (binary); numbers and dates as the
    // 8-byte image (partial: trailing 0x00 dropped). A binary value is taken as an image.
    void KeyFormat(TnvVariant& value, bool partial) override;
    // Stores the definition, derives key type and length from one evaluation, writes a zeroed
    // header and builds the tag from every record (an empty root leaf without records).
    bool TagCreate(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                   std::string_view forExpression) override;
    // Record number := reference, then the framework's insertion (equal keys by record).
    bool KeyAdd(NVobjIndexKeyData& key) override;
    // The root address as the header holds it now.
    int32_t RootPage() override;
    // Decodes one node; nonzero for a node that cannot be right (see the checks in the unit).
    int PageLoad(int32_t address, NVobjIndexKey& page) override;
    // Encodes one page object, splitting it first (by bytes for leaves, by count otherwise).
    int PageStore(NVobjIndexKey& page) override;
    // Reads and checks the header; false (file corrupt) when it cannot describe a tag.
    bool TagLoad() override;
    // Writes the header when dirty.
    void TagStore() override;
    // Links the survivor of a merge to the node beyond the one that went.
    void PageMerged(NVobjIndexKey& gone, NVobjIndexKey& survivor) override;
    // A node decodes from its own bytes alone.
    int32_t ReusablePageBytes() const override { return kNode; }
    bool PageFits(const NVobjIndexKey& page) const override { return InParentRange(page); }
    // Keys PutKeyValue gives back unchanged: machine-collation text without NUL bytes or
    // trailing blanks, number images without trailing zero bytes, each within the key length.
    bool EntryAsStored(const NVobjIndexKeyData& key) const override;

    // Key length and the interior geometry that follows from it.
    void SetKeyLength(int16_t length);
    // Writes an empty root leaf at a new page and makes it the root.
    void WriteEmptyRoot();
    // Whether keys are weight strings (general collation, not the structural tag).
    bool General() const { return collation == kCdxCollationGeneral && !structural_; }
    bool Structural() const { return structural_; }
    // The largest record number a leaf of this tag must hold (header addresses for the
    // structural tag).
    uint32_t LargestRecord() const;
    // Encodes leaf entries into a node image with the given layout; false when they do not
    // fit in the key area.
    bool EncodeLeaf(const NVobjIndexKey& page, int first, int count, const TnvCdxLeafLayout& layout,
                    uint16_t attributes, int32_t left, int32_t right, uint8_t* node) const;
    // Encodes interior entries into a node image.
    void EncodeInterior(const NVobjIndexKey& page, int first, int count, uint16_t attributes, int32_t left,
                        int32_t right, uint8_t* node) const;
    // Bytes a leaf entry of `value` stores after `previous` (null for a node's first entry).
    int StoredBytes(const TnvVariant& value, const TnvVariant* previous) const;

    uint8_t options = 0x60;
    uint8_t collation = kCdxCollationMachine;
    int32_t changeCounter = 0;

private:
    class StoredLeaf;
    int64_t knownPages_ = 0;  // pages in the file when its size was last asked for
    NVobjCDXFile* CdxFile() const;
    // Writes the first `n` entries of `page` to a new node linked in before it.
    void SplitOff(NVobjIndexKey& page, int n);
    // Points the sibling pointer at `offset` (4 left, 8 right) of the node at `address` at
    // `target`.
    void PatchSibling(int32_t address, int offset, int32_t target);
    // The value of key bytes as this tag reads them (text for machine character tags).
    void PutKeyValue(NVobjIndexKeyData& entry, const uint8_t* bytes, int length) const;
    // Checks that a freshly loaded child lies inside the range its parent entry gives it.
    bool InParentRange(const NVobjIndexKey& page) const;

    bool structural_;
};

// Builds a CDX tag bottom-up from the sorted keys: one page buffer per level, leaves closed by
// free space and interior nodes by count, each node written once with its sibling links.
class NVobjSortCDX : public TnvSort {
public:
    // A sort for `tag` (key length + 1, ascending, the tag's unique); `largestRecord` is the
    // highest record number the keys carry (the table's record count).
    NVobjSortCDX(NVobjCDXTag* tag, int32_t largestRecord);
    ~NVobjSortCDX() override;

    // Runs the record pass of the tag's table into the sort, drains it into the tree and
    // makes the top node the tag's root (an empty root leaf when no key came); the header is
    // marked dirty. Returns the number of keys written.
    int32_t Build();
    // Adds one key (already in image form) in order; Build feeds it from the sort.
    void Add(const TnvVariant& key, int32_t recNo);
    // The same for a key as the sort holds it (the form the record pass gave it).
    void Add(const TnvSortKey& key);
    // Writes the partly filled nodes from the leaves up; the top one becomes the root.
    void Finish();

private:
    struct Level;
    struct Leaf;
    void Push(int level, const TnvVariant& key, int32_t recNo, int32_t reference);
    void Push(int level, uint8_t kind, const uint8_t* bytes, int length, int32_t recNo, int32_t reference);
    void PushLeaf(uint8_t kind, const uint8_t* bytes, int length, int32_t recNo);
    void Write(int level, bool root, int32_t right);
    void WriteLeaf(bool root, int32_t right);
    const TnvCdxLeafLayout& Layout();

    NVobjCDXTag* tag_;
    int32_t largest_;
    TnvCdxLeafLayout layout_{};
    TnvVariant work_;     // a number key being put into its image form
    TnvVariant decoded_;  // a number or date key the sort delivered
    int32_t layoutFor_ = -1;
    std::unique_ptr<Leaf> leaf_;                  // the leaf being filled (level 0)
    std::vector<std::unique_ptr<Level>> levels_;  // the interior levels (index 0 unused)
    bool finished_ = false;
};

// One CDX file: the structural tag and the tags it lists.
class NVobjCDXFile : public NVobjIndexFile {
public:
    // Longest tag name the structural tag can hold.
    static constexpr int kMaxTagName = 10;

    // Opens `path` (".cdx" added when it has no extension); with `create` and (`overwrite` or
    // no such file) a new file with an empty structural tag is made. None when the file does
    // not exist; a file whose directory or a tag header cannot be read is returned with its
    // corrupt flag set.
    static std::unique_ptr<NVobjCDXFile> Open(TnvIndexTable* table, std::string_view path, bool create,
                                              bool overwrite, bool shared);

    NVobjCDXFile(TnvIndexTable* table, std::string_view fileName);
    ~NVobjCDXFile() override;

    // Builds a tag (replacing one of the same name once the new one is built). Names of more
    // than 10 characters (or none) are refused.
    bool TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                std::string_view forExpression) override;
    // Removes a tag's directory entry; without tags left the file is rebuilt empty.
    bool TagDelete(std::string_view name) override;
    int32_t NewPage() override;
    int32_t SetEnd() override;
    // Rebuilds every tag with its own collation into a scratch file that replaces this one's
    // contents only when all tags are built.
    void Reindex() override;
    // Updates every tag; when any changed, the file's change counter (as the file holds it
    // now) goes up and is written.
    bool RecordChanged(int32_t record, bool appending) override;
    // Shared files: whether the change counter on disk differs from the one last seen; when
    // it does, the new counter is taken.
    bool ChangedByOther() override;
    bool CountsChanges() const override { return true; }

    NVobjCDXTag* Structural() const { return structural_.get(); }
    NVobjCDXTag* Tag(int i) const { return static_cast<NVobjCDXTag*>(TagByNumber(i)); }

    bool building = false;

private:
    // Reads the structural tag and the tags it lists (file longer than 512 bytes).
    void ReadDirectory();
    // Writes a new empty structural tag (header at 0, empty root leaf at 1,024).
    void MakeEmpty();
    // Empties an exclusive file in place once its last tag is gone.
    void StartOverInPlace();
    // Removes the tag named `upperName` and its directory entry; whether it existed.
    bool DropTag(const std::string& upperName);
    void ReleaseAll();

    std::unique_ptr<NVobjCDXTag> structural_;
};
