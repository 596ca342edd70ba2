// The NDX single-index format over the index core: `NVobjNDXFile` holds one tag in 512-byte
// blocks (block 0 the header, every other block a page) and `NVobjNDXTag` turns those blocks
// into page objects and back. Addresses are block numbers. Not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_blkb.h"
#include "nv6_indx.h"
#include "nv6_sort.h"

// The one order of an NDX file.
class NVobjNDXTag : public NVobjIndexTag {
public:
    static constexpr int kBlock = 512;

    NVobjNDXTag(NVobjIndexFile* file, int32_t headerAddress);
    ~NVobjNDXTag() override;

    // Character keys as text (partial: trailing blanks dropped); dates and numbers as doubles,
    // a blank date as 1e100 so that it sorts last.
    void KeyFormat(TnvVariant& value, bool partial) override;
    // Stores the definition, derives key type and lengths from one evaluation on the current
    // record, writes the header, then an empty root (no records) or the built tree.
    bool TagCreate(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                   std::string_view forExpression) override;
    // Record number 0, then the framework's insertion (after every equal key).
    bool KeyAdd(NVobjIndexKeyData& key) override;
    // The root block as the header holds it now.
    int32_t RootPage() override;
    // Decodes one block; nonzero when it is short or its count cannot fit.
    int PageLoad(int32_t address, NVobjIndexKey& page) override;
    // Encodes one page object, splitting it first when it holds too many entries.
    int PageStore(NVobjIndexKey& page) override;
    // Reads the header (always valid when it can be read) and compiles the key.
    bool TagLoad() override;
    // Writes the header when dirty.
    void TagStore() override;
    // An interior page stores one key fewer than its entries: the last is a bare pointer.
    int StoredKeys(const NVobjIndexKey& page) const override;

    // Derives entry length and page capacity from the key length.
    void SetKeyLength(int16_t length);
    // Takes the key expression, uniqueness, key type and lengths (dates kept as text
    // included) of `model`, and compiles the key.
    void CopyDefinition(const NVobjNDXTag& model);
    // Writes a zeroed header, then the tree built from every record (an empty root for a
    // table without records) and the header.
    void Fill();
    // Writes the header image now (dirty or not).
    void WriteHeader();
    // The stored form of a key in an entry's key bytes: text blank-padded (cut to the key
    // length), numbers and dates as doubles.
    void StoreKey(const TnvVariant& key, uint8_t* at) const;
    void StoreText(const uint8_t* text, int length, uint8_t* at) const;
    // Completes a block image of `count` entries (its count field) and writes it at `address`.
    void WriteBlock(int32_t address, uint8_t* block, int count, bool interior);
    // Where entries, keys and pointers are in a block.
    NVobjBlockBuilder::Layout BlockLayout() const;

private:
    int16_t storedKeyLength_ = 0;  // the key bytes in an entry (8 for doubles)
    // A date tag whose header says character keys (other programs store dates as their
    // "yyyymmdd" text): its keys are that text, so the stored tree stays readable and
    // records written through us keep the same form.
    bool datesAsText_ = false;
};

// Builds an NDX tag from its table: every record's key through the sort, then the sorted
// keys into the tag's pages bottom-up, starting at the file's next block. The tag's root and
// header are set when Build returns.
class NVobjSortNdx : public TnvSort {
public:
    explicit NVobjSortNdx(NVobjNDXTag* tag);
    // Runs the record pass and writes the tree; returns the number of keys written.
    int32_t Build();

private:
    NVobjNDXTag* tag_;
    NVobjBlockBuilder pages_;
};

// One NDX file.
class NVobjNDXFile : public NVobjIndexFile {
public:
    // Opens `path` (".ndx" added when it has no extension); with `create` and (`overwrite`
    // or no such file) a new file is made. None when the file does not exist.
    static std::unique_ptr<NVobjNDXFile> Open(TnvIndexTable* table, std::string_view path, bool create,
                                              bool overwrite, bool shared);

    NVobjNDXFile(TnvIndexTable* table, std::string_view fileName);
    ~NVobjNDXFile() override;

    // Makes the one tag, its header in block 0. When the build is refused or fails the file
    // is left empty, without a tag.
    bool TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                std::string_view forExpression) override;
    int32_t NewPage() override;
    int32_t SetEnd() override;
    bool PageRead(int64_t address, void* buffer, int32_t length) override;
    void PageWrite(int64_t address, const void* buffer, int32_t length) override;
    // Makes the file an empty index for its tag: header, one empty root at block 1.
    void Zap() override;
    // Builds the tag again from the table in a scratch file that then replaces this file's
    // contents; a build that fails leaves the file as it was.
    void Reindex() override;
    NVobjNDXTag* Tag() const { return static_cast<NVobjNDXTag*>(TagByNumber(0)); }
};
