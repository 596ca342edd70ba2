// The MDX multiple-index format over the index core: `NVobjMDXFile` keeps up to 47 tags behind
// a file header and a directory of tag entries in name order, `NVobjMDXTag` turns pages of the
// file's page size into page objects and back (numbers as 12-byte packed decimals, descending
// tags as trees kept in descending order), and `NVobjSortMDX` writes a tag bottom-up from a
// sort. Addresses are 512-byte block numbers. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_blkb.h"
#include "nv6_indx.h"
#include "nv6_sort.h"

// The 12-byte packed-decimal image of a numeric key: exponent + 52, digit count and sign, then
// at most 15 significant digits two to a byte.
void NvMdxPackNumber(double value, uint8_t out[12]);
// The value of a packed-decimal image (counts beyond the 10 digit bytes are clamped).
double NvMdxUnpackNumber(const uint8_t in[12]);

// One order of an MDX file; its header is one page at `headerAddress`.
class NVobjMDXTag : public NVobjIndexTag {
public:
    // Offsets in the tag header page.
    static constexpr int kExpressionAt = 24;
    static constexpr int kExpressionRoom = 221;
    static constexpr int kForAt = 762;

    NVobjMDXTag(NVobjIndexFile* file, int32_t headerAddress, int32_t pageSize);
    ~NVobjMDXTag() override;

    // "C": text (partial: trailing blanks dropped); "D": the day number as a double, a blank
    // date as 1e100; "N": the double as its packed form gives it back.
    void KeyFormat(TnvVariant& value, bool partial) override;
    // Stores the definition, derives key type and lengths from one evaluation, writes the
    // header page and either an empty root or the tag built from every record.
    bool TagCreate(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                   std::string_view forExpression) override;
    // Record number 0, then the framework's insertion (after every equal key).
    bool KeyAdd(NVobjIndexKeyData& key) override;
    // The root block as the header holds it now.
    int32_t RootPage() override;
    // Decodes one page; nonzero when it is short or does not describe a page of this tag.
    int PageLoad(int32_t address, NVobjIndexKey& page) override;
    // Encodes one page object, splitting it first when it holds too many entries.
    int PageStore(NVobjIndexKey& page) override;
    // Reads and checks the header page and compiles the expressions; false when it is invalid.
    bool TagLoad() override;
    // Writes the header page when dirty.
    void TagStore() override;
    // An interior page stores one key fewer than its entries: the last is a bare pointer.
    int StoredKeys(const NVobjIndexKey& page) const override;

    // Derives entry length and page capacity from the key length.
    void SetKeyLength(int16_t length);
    // Writes the header page now (dirty or not).
    void WriteHeader();
    // Writes one zeroed page at a new block and makes it the root, first and last page.
    void WriteEmptyRoot();
    // The stored form of a key in an entry's key bytes: text blank-padded (cut to the key
    // length), numbers packed, dates as doubles.
    void StoreKey(const TnvVariant& key, uint8_t* at) const;
    // Completes the image of a page new at `address` with `count` entries (count, its place
    // at the end of the page chain, no key in an interior page's right-most entry) and
    // writes it.
    void WriteNewPage(int32_t address, uint8_t* page, int count, bool interior);
    // Where entries, keys and pointers are in a page.
    NVobjBlockBuilder::Layout BlockLayout() const;
    // Fills the tag from every record of the table through the sort.
    void Build();
    // Takes the first and last page of the tag's page chain as its header holds them now
    // (another program sharing the file may have added pages).
    void ReadPageChain();

    int32_t pageSize;
    int32_t firstPage = 0;
    int32_t lastPage = 0;
};

// The bottom-up builder of an MDX tag: keys go into the sort in any order and come out into
// one page buffer per tree level; each page is written once, when it is full or at Finish.
// The file's next page must be where the pages go.
class NVobjSortMDX : public TnvSort {
public:
    explicit NVobjSortMDX(NVobjMDXTag* tag);
    ~NVobjSortMDX() override;

    // Hands one key in page order to the page buffers (used by the drain, and directly by
    // callers that already have the keys in order).
    void Write(const TnvVariant& key, int32_t recNo);
    // Runs the record pass over the tag's table and writes the tree; returns the keys written.
    int32_t Build();
    // Writes the partly filled pages from the leaves up and makes the top one the tag's root
    // (one zeroed page when no key came); marks the header dirty. Returns the root block.
    int32_t Finish();

private:
    NVobjMDXTag* tag_;
    NVobjBlockBuilder pages_;
};

// One MDX file.
class NVobjMDXFile : public NVobjIndexFile {
public:
    // File header offsets and the geometry of a new file.
    static constexpr int kBlock = 512;
    static constexpr int kEntryLength = 32;
    static constexpr int kDefaultPageSize = 1024;
    static constexpr int kDefaultBlocksPerPage = 2;
    static constexpr int kMinHeaderArea = 2048;

    // Opens `path` (".mdx" added when it has no extension); with `create` and (`overwrite`
    // or no such file) a new file is made. None when the file does not exist; a file whose
    // header cannot be right comes back with its corrupt flag set.
    static std::unique_ptr<NVobjMDXFile> Open(TnvIndexTable* table, std::string_view path, bool create,
                                              bool overwrite, bool shared);

    NVobjMDXFile(TnvIndexTable* table, std::string_view fileName);
    // Releases the tags, then rewrites the file header when the file was modified.
    ~NVobjMDXFile() override;

    // Replaces a tag of the same name, inserts the new one in name order, builds it and
    // rewrites the directory. More tags than the header area holds raise an error.
    bool TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                std::string_view forExpression) override;
    // Removes the tag (its pages stay until Reindex) and rewrites the directory; Reindex when
    // no tag remains. Whether the tag existed.
    bool TagDelete(std::string_view name) override;
    int32_t NewPage() override;
    int32_t SetEnd() override;
    bool PageRead(int64_t address, void* buffer, int32_t length) override;
    void PageWrite(int64_t address, const void* buffer, int32_t length) override;
    // Cuts the file to its header area and writes every tag anew from the table.
    void Reindex() override;
    // Shared files: the tags' page chains continue from where the headers say, and the file
    // header's next free block follows the file when the update made it grow.
    bool RecordChanged(int32_t record, bool appending) override;
    // Renames the file and writes the new table name into the header.
    void Rename(std::string_view newName) override;

    // Writes date, tag count and next free block into the header area when modified (a
    // shared file under its lock, with the end of the file as it is then).
    void Close();
    // Rewrites the directory from the tag list (count, entries, forward links).
    void WriteDirectory();
    // Most tags this file's header area has directory entries for.
    int MaxTags() const;
    // Whether `block` can start a page of this file (past the header area, inside the file).
    bool PageInFile(int64_t block);
    NVobjMDXTag* Tag(int i) const { return static_cast<NVobjMDXTag*>(TagByNumber(i)); }

    int32_t pageSize = kDefaultPageSize;
    int32_t directoryCapacity = 48;
    int32_t blocksPerPage = kDefaultBlocksPerPage;
    int32_t headerArea = kMinHeaderArea;
    bool modified = false;

private:
    void WriteNewHeader();
    // Cuts an exclusive file back to a new header once its last tag is gone.
    void StartOverInPlace();
    bool ReadHeader();
    // Raises the file header's next free block to the end of the file when it lies below.
    void StoreNextBlock();
    std::vector<uint8_t> ReadHeaderArea();
    int64_t fileSize_ = -1;  // cached for page checks; -1 = ask the disk file
};
