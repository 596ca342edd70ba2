// The format-independent core of the index layer: one entry (`NVobjIndexKeyData`), one page
// held in memory (`NVobjIndexKey`, a link in the chain from the root to the current leaf), one
// order (`NVobjIndexTag`, a B+ tree view over its file's pages) and one open index file
// (`NVobjIndexFile`). Formats subclass the tag and the file and override the virtual hooks;
// the tree logic lives here. The table is reached only through `TnvIndexTable`, and key and
// FOR expressions only through `TnvIndexExpression`. Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nv6_addrmap.h"
#include "nv6_coll.h"
#include "nv6_disk.h"
#include "nv6_pcache.h"
#include "nv6_tool.h"

class NVobjIndexTag;
class NVobjIndexFile;

// A compiled expression evaluated on the table's current record (a key or a FOR condition).
class TnvIndexExpression {
public:
    virtual ~TnvIndexExpression() = default;
    // The expression's source text.
    virtual std::string Text() const = 0;
    // Evaluates on the current record into `result` (its kind says what came out).
    virtual void Evaluate(TnvVariant& result) = 0;
    // The length every text result has room for, as the expression's structure gives it
    // (field widths, the sum of a concatenation, ...); 0 when the expression cannot say.
    virtual int32_t ResultLength() const { return 0; }
    // For an expression that is one numeric field alone: the field's value on the current
    // record, read without the general evaluation (true). False for any other expression,
    // which Evaluate serves. A tag build asks it once per record.
    virtual bool NumberValue(double& /*value*/) { return false; }
};

// What an index needs of its table: positions, the old-record buffer and expressions.
class TnvIndexTable {
public:
    virtual ~TnvIndexTable() = default;
    // Compiles `text` against the table with the tag's expression option; raises on error.
    virtual std::unique_ptr<TnvIndexExpression> CompileExpression(std::string_view text, int16_t options) = 0;
    // The current record number (0 = none) and the record count.
    virtual int32_t RecordNumber() const = 0;
    virtual int32_t RecordCount() const = 0;
    // The exact-match setting copied into the file before every key search.
    virtual bool ExactMatch() const = 0;
    // Whether the old-record buffer (the record as last read or written) exists.
    virtual bool HasOldRecord() const = 0;
    // Whether the current record image differs from what was read.
    virtual bool RecordModified() const = 0;
    // Points expression evaluation at the old-record buffer (true) or back at the record (false).
    virtual void UseOldRecord(bool old) = 0;
    // The table's directory (with trailing separator) for index names given without one.
    virtual std::string Directory() const = 0;
    // Whether the table was opened for writing; existing index files open with the same
    // access, so that a table the user may only read can still be browsed in its orders.
    virtual bool ReadWrite() const { return true; }
    // Whether the table is enciphered, and the passwords pages are read and written with
    // (they differ only during a password change).
    virtual bool Enciphered() const { return false; }
    virtual std::string ReadPassword() const { return std::string(); }
    virtual std::string WritePassword() const { return std::string(); }
    // Length and decimals of the field called `name` (case ignored); false when the table
    // has no such field. Formats that size numeric keys by their field ask it.
    virtual bool FieldSize(std::string_view, int& length, int& decimals) const {
        length = decimals = 0;
        return false;
    }
    // The table's own path, whether its header marks a production index, and marking it
    // (the header is rewritten), for compound formats that open under the table's name.
    virtual std::string TableFileName() const { return std::string(); }
    virtual bool HasProductionIndex() const { return false; }
    virtual void MarkProductionIndex() {}
    // A tag build reads every record, deleted ones included, whatever the filter: between
    // BeginBuild and EndBuild, ReadRecordForBuild(n) makes record n current (false when it
    // cannot be read). EndBuild puts the table back where BeginBuild found it. Builds nest.
    virtual void BeginBuild() {}
    virtual bool ReadRecordForBuild(int32_t /*record*/) { return false; }
    virtual void EndBuild() {}
    // Progress of a build as the table reports it (stat1, stat2, stat3).
    virtual void BuildProgress(int32_t /*stat1*/, int32_t /*stat2*/, int32_t /*stat3*/) {}
};

// One entry: the key image (the inherited value), the record number an interior entry carries
// (0 where the format stores none) and the reference (record number in a leaf or a search key,
// child page address in an interior entry).
class NVobjIndexKeyData : public TnvVariant {
public:
    explicit NVobjIndexKeyData(int32_t capacity = 0) : TnvVariant(capacity) {}
    // A new entry with the same value, record number and reference.
    std::unique_ptr<NVobjIndexKeyData> Duplicate() const { return std::make_unique<NVobjIndexKeyData>(*this); }
    // Copies value, record number and reference from `other`.
    void CopyFrom(const NVobjIndexKeyData& other) { *this = other; }

    // Every edit and seek decodes pages into entries and drops them again, a few hundred at
    // a time: entries come from a bounded free list of their own rather than the heap.
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;

    int32_t recNo = 0;
    int32_t reference = 0;
};

class NVobjIndexKey;

// A page a format leaves in its stored form after loading it: a search or a walk reads its
// entries in place, an entry taken out or put in is edited there where the format can, and
// only what copies the page or changes it otherwise turns them into entry objects (most
// pages a seek reads are left again after a few entries).
class NVobjStoredPage {
public:
    virtual ~NVobjStoredPage() = default;
    virtual int Count() const = 0;
    // Entry `index` (0 <= index < Count()), valid until the next call; null when the page
    // must be decoded whole to say.
    virtual const NVobjIndexKeyData* Entry(int index) = 0;
    // Appends every entry to `page` as objects of its own.
    virtual void DecodeAll(NVobjIndexKey& page) = 0;
    // Takes entry `index` out, or puts a copy of `key` in before entry `index`, without
    // decoding the page; false (nothing changed) where the format cannot, and the caller
    // then edits the decoded entries instead.
    virtual bool RemoveAt(int /*index*/) { return false; }
    virtual bool InsertAt(int /*index*/, const NVobjIndexKeyData& /*key*/) { return false; }
};

// One page in memory. The tag owns the root object; every object owns the child open below it.
// While a page is in stored form, Count and Peek read it where it lies and a leaf entry is
// inserted or removed there when the stored form allows; every other access to its entries
// decodes it first, so callers see one page either way.
class NVobjIndexKey : public TnvCollection<NVobjIndexKeyData> {
public:
    enum : uint8_t { kUnset = 0, kNewRoot = 1, kInterior = 2, kLeaf = 3 };

    // An empty page object for `tag` below `parent` (none for the root).
    NVobjIndexKey(NVobjIndexTag* tag, NVobjIndexKey* parent);
    ~NVobjIndexKey() override = default;

    // Every descent opens a page object per level and every release frees them: they come
    // from a bounded free list of their own rather than the heap, like the entries.
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;

    // The entry collection, with the stored form decoded before anything needs objects.
    int Count() const { return stored_ ? stored_->Count() : TnvCollection::Count(); }
    NVobjIndexKeyData* Items(int index) const {
        Expand();
        return TnvCollection::Items(index);
    }
    int IndexOf(const NVobjIndexKeyData* item) const {
        Expand();
        return TnvCollection::IndexOf(item);
    }
    void Add(NVobjIndexKeyData* item) {
        Expand();
        TnvCollection::Add(item);
    }
    void Insert(int index, NVobjIndexKeyData* item) {
        Expand();
        TnvCollection::Insert(index, item);
    }
    bool Extract(NVobjIndexKeyData* item) {
        Expand();
        return TnvCollection::Extract(item);
    }
    void Remove(NVobjIndexKeyData* item) {
        Expand();
        TnvCollection::Remove(item);
    }
    void SwapItems(NVobjIndexKey& other) {
        Expand();
        other.Expand();
        TnvCollection::SwapItems(other);
    }
    void FreeAll() {
        stored_.reset();
        TnvCollection::FreeAll();
    }
    // Entry `index` for reading only, valid until the page changes or is read again: from
    // the stored form where it can, so that a search decodes no entry objects.
    const NVobjIndexKeyData& Peek(int index) const;
    // Hands the page's entries over in stored form (the page must be empty).
    void SetStored(std::unique_ptr<NVobjStoredPage> stored);
    bool Stored() const { return stored_ != nullptr; }
    NVobjStoredPage* StoredPage() const { return stored_.get(); }

    // Clears, reads the page at `address` through the tag's PageLoad, clears dirty.
    void Load(int32_t address);
    // Gives the page an address (NewPage) when it has none, writes it through PageStore
    // (which may split it), clears dirty.
    void Store();
    // Writes the open chain below and then this page, each only when dirty.
    void Flush();

    // Navigation along the open chain; false when there is no entry to move to.
    bool First();
    bool Last();
    bool Next();
    bool Prior();
    // Checks that every level's current index is inside its page (without moving).
    bool Current();
    // Copies the leaf entry's value and reference into `key`; bit 0 = at first, bit 1 = at last.
    int ReadCurrent(NVobjIndexKeyData& key);
    // Positions on (key, record): 0 hit, -1 on the first greater entry, 1 beyond every entry.
    // `record` -1 ignores records; INT32_MAX passes over equal keys.
    int Seek(const NVobjIndexKeyData& key, int32_t record, int prefixResult);
    // Inserts a copy of `key` at the leaf's current entry (after it when `after`).
    void InsertEntry(const NVobjIndexKeyData& key, bool after);
    // Removes the leaf's current entry, fixing the parents' high keys; a page left with too
    // few entries joins a neighbour and a root left with one child gives way to it.
    void DeleteCurrent();
    // Adds `key` (a split-off left part) to the parent just before this page's entry;
    // without a parent the tree grows a new root that keeps this page's address.
    void InsertInParent(const NVobjIndexKeyData& key);
    // Makes `key` this page's high key in the parent (and upward when it is the parent's last).
    void ReplaceInParent(const NVobjIndexKeyData& key);
    // Removes this page's entry from the parent.
    void RemoveFromParent();
    // Called on the root after an entry went: from the bottom of the open chain up, a page
    // the format calls underfull joins a neighbour (the left one, else the right one) and
    // leaves its parent; a root left with a single child takes over that child's entries,
    // so the tree gets one level lower and keeps its root address.
    void Rebalance();
    // Opens the child named by the current entry; `fresh` tells whether a new object was
    // loaded. Raises "Index file %s is corrupted" for a child address that cannot be right.
    NVobjIndexKey* OpenChild(bool& fresh);
    // Index of the entry whose reference is `address`, -1 if none.
    int FindChildEntry(int32_t address) const;
    // The leaf at the bottom of the open chain.
    NVobjIndexKey* Leaf();
    // Opens the path to the entry standing at `fraction` (0..1) of the tree below this page:
    // each level takes the entry covering that share of its entries and hands the rest of
    // the fraction down. False when the leaf reached is empty.
    bool Descend(double fraction);

    // Entry editing used by the formats' loaders and the split.
    void InsertAt(int index, std::unique_ptr<NVobjIndexKeyData> entry);
    std::unique_ptr<NVobjIndexKeyData> ExtractAt(int index);

    bool IsInterior() const { return kind < kLeaf; }
    NVobjIndexKey* Parent() const { return parent_; }
    NVobjIndexKey* Child() const { return child_.get(); }
    NVobjIndexTag* Tag() const { return tag_; }
    int Depth() const { return depth_; }

    int32_t address = 0;
    int32_t leftSibling = -1;
    int32_t rightSibling = -1;
    uint8_t kind = kUnset;
    int32_t current = -1;
    bool dirty = false;
    bool stale = false;
    uint16_t freeSpace = 0;
    uint8_t scratch[12] = {};
    bool atFirst = false;
    bool atLast = false;
    // The file's PagesEpoch() and Writes() when the page was read: a decoded page may be
    // used again only while the file's pages were not forgotten and no write touched it.
    uint64_t readAt = 0;
    uint64_t readWrites = 0;
    // Whether the entries are what decoding the page's bytes gives: true when loaded, kept
    // by inserts of keys in stored form (EntryAsStored) and by removals. A leaf for which it
    // still holds when written stands for its new bytes and may be kept like a page read.
    bool asStored = false;
    // Set when the page was written other than as a leaf of stored entries: its entries
    // may then differ from what its new bytes decode to, so it is not searched again.
    bool storedSinceRead = false;

private:
    friend class NVobjIndexTag;
    void RemoveHere();
    // Moves the entries of the open child into its neighbour, which takes the child's place
    // in the chain; false when the child has no neighbour in this page.
    bool MergeChild();
    void CollapseRoot();
    // The page named by entry `index`, loaded as a child of this page (not opened).
    std::unique_ptr<NVobjIndexKey> LoadChild(int index);
    // Takes `child` as the open child, below this page.
    void Adopt(std::unique_ptr<NVobjIndexKey> child);

    // Decodes the stored form into entry objects. Const because reading entries may need
    // it; the page's contents stay the same.
    void Expand() const {
        if (stored_) ExpandStored();
    }
    void ExpandStored() const;
    // The part of Load that reads the page from the file through PageLoad and checks it.
    void ReadPage(int32_t address);

    NVobjIndexTag* tag_;
    NVobjIndexKey* parent_;
    std::unique_ptr<NVobjIndexKey> child_;
    int depth_ = 0;
    mutable std::unique_ptr<NVobjStoredPage> stored_;
    // Neighbours in the tag's kept pages while the page is kept there (see KeepPages).
    NVobjIndexKey* keptNewer_ = nullptr;
    NVobjIndexKey* keptOlder_ = nullptr;
    // Names the entries as they were read or last written (0: made in memory); a page used
    // again keeps it. Every other change of the entries marks the page dirty first.
    uint64_t serial_ = 0;
    // The parent (address, serial and entry) under which the page with serial fitsSerial_
    // was last found to fit: the same entries under the same parent entry fit again.
    uint64_t fitsSerial_ = 0;
    uint64_t fitsParentSerial_ = 0;
    int32_t fitsParent_ = 0;
    int32_t fitsIndex_ = -1;
};

// One order: a tree of pages in its file. Formats override the twelve virtual operations
// (slots 0..11 in declaration order).
class NVobjIndexTag {
public:
    static constexpr int32_t kAfterEqual = 2147483647;
    // Deepest tree the framework descends before calling the file corrupted.
    static constexpr int kMaxDepth = 48;

    NVobjIndexTag(NVobjIndexFile* file, int32_t headerAddress);
    // Releases the chain, but by then the format's PageStore is gone: every format calls
    // PageRelease in its own destructor.
    virtual ~NVobjIndexTag();
    NVobjIndexTag(const NVobjIndexTag&) = delete;
    NVobjIndexTag& operator=(const NVobjIndexTag&) = delete;

    // 0. Turns an evaluated key value into the key image in place; `partial` trims padding.
    virtual void KeyFormat(TnvVariant& value, bool partial);
    // 1. Stores the definition and compiles both expressions; the base returns false.
    virtual bool TagCreate(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                           std::string_view forExpression);
    // 2. Inserts one key (reference = record number); false when a unique tag already has it.
    virtual bool KeyAdd(NVobjIndexKeyData& key);
    // 3. The root page address.
    virtual int32_t RootPage();
    // 4. Fills `page` (entries, kind, siblings) from the page at `address`.
    virtual int PageLoad(int32_t address, NVobjIndexKey& page);
    // 5. Writes `page`, splitting it when it does not fit.
    virtual int PageStore(NVobjIndexKey& page);
    // 6. Reads the header; false when it is invalid.
    virtual bool TagLoad();
    // 7. Writes the header when dirty; clears dirty.
    virtual void TagStore();
    // 8, 9. (Re)compile the key and FOR expressions when the tag has a table.
    virtual void CompileKey();
    virtual void CompileFor();
    // 10. Evaluates the key on the current record; false without a key handler.
    virtual bool KeyEvaluate(TnvVariant& result, bool& ok);
    // 11. True when the FOR condition exists and holds for the current record.
    virtual bool ForEvaluate();
    // Whether `page` (not the root) holds too few entries to stay in the tree: the base asks
    // a leaf for one entry and an interior page for two children (MDX and NDX keep an
    // interior page's last entry as a bare pointer, so one child would be no key at all).
    virtual bool PageUnderfull(const NVobjIndexKey& page) const;
    // `gone` gave its entries to its neighbour `survivor` and leaves the tree; formats that
    // link the pages of a level link `survivor` to what lay beyond `gone`.
    virtual void PageMerged(NVobjIndexKey& gone, NVobjIndexKey& survivor);
    // Keys the file holds in the page loaded as `page` (the view may add entries the page
    // does not store, such as a bare right-most pointer); the base counts every entry.
    virtual int StoredKeys(const NVobjIndexKey& page) const;
    // When a decoded page depends only on its own bytes, so that it can be used again
    // wherever it is reached from (PageFits still checks it against its parent): the bytes
    // it spans from its address, which must then be a byte address; else 0.
    virtual int32_t ReusablePageBytes() const { return 0; }
    // The checks PageLoad makes of a page against the chain above it, for a page used again.
    virtual bool PageFits(const NVobjIndexKey&) const { return true; }
    // Whether `key`, inserted into a leaf, is exactly the entry PageLoad would decode from
    // the leaf once written (same value, kind, record number and reference); false in the
    // base, so that a written leaf is read again.
    virtual bool EntryAsStored(const NVobjIndexKeyData&) const { return false; }

    // Drops the chain and opens a fresh root; mode 1 repositions on the table's record,
    // mode 2 only opens the root, others go to the top.
    void TagReset(int mode);
    // Writes and frees every open page, then the header when dirty; no current record.
    void PageRelease();
    // Writes the open chain's changed pages, then the header when dirty, and keeps the chain
    // open with its position: true when writing left it as it stood (no page split off or
    // added); otherwise the chain is released as PageRelease does and false is returned.
    bool FlushChain();
    // Whether the open chain (if any) and the header hold nothing unwritten and every page
    // of the chain was read since the file's pages were last forgotten.
    bool ChainUpToDate() const;
    // Takes the flag KeyUpdate sets when it left the chain standing on the record's new
    // entry, written and positioned as KeySync would find it.
    bool TakeSettled() { return std::exchange(settled_, false); }
    // Positions (-1 next, -2 prior, -3 top, -4 bottom, -5 same); returns the record or 0.
    int32_t TagMove(int mode);
    // Repositions on `record` when the current key is not on it; returns the current record.
    int32_t KeySync(int32_t record);
    // Walks every page from the root and tells `problem` what other programs of the family
    // would misread: an interior page without a key, an empty leaf other than an empty root,
    // leaves at unequal depths, a page reached twice, a page that cannot be read (a count
    // beyond its room among them). Returns the number of problems; the chain is released.
    int CheckTree(const std::function<void(const std::string&)>& problem);
    // Finds (key, key.reference); the record when found inside the range, else 0.
    int32_t KeyFind(const NVobjIndexKeyData& key);
    // KeyFind on a fresh chain, leaving the tag's own position untouched.
    int32_t KeyLookup(const NVobjIndexKeyData& key, bool exact);
    // Reads the open chain again from the file (another program changed it) and stands on
    // the same entry; when that entry is gone, the next step either way lands where it would
    // have from the entry's place in the tree as it is now. Nothing when no chain is open.
    void Reload();
    // Brings the tag up to date after `record` was written; whether a key changed.
    bool KeyUpdate(int32_t record, bool appending);
    // Sets (or with empty bounds clears) the range; whether anything changed.
    bool SetRange(const TnvVariant* low, bool prefixHigh, bool lowInclusive, bool highFlag, const TnvVariant* high);
    bool HasRange() const { return rangeLowSet || rangeHighSet; }
    // 0 inside the range; otherwise the side it fails on.
    int RangeStatus();
    std::string KeyExpressionText() const { return keyHandler ? keyHandler->Text() : std::string(); }
    // The current key's place in the order (inside the range when one is set), from 0 at the
    // first key to 1 at the last, estimated from the open path alone: each level adds its
    // entry's index over the page's entries, scaled by the share of the levels above. No
    // walk of the tag; a range costs two more descents. 0 without a current key.
    double RelativePosition();
    // Goes to the key at `fraction` (0..1) of the order (of the range when one is set) by one
    // descent; returns its record, 0 when the order is empty (BOF and EOF set).
    int32_t TagMoveRelative(double fraction);

    // The length of the tag's character keys: what the key expression's structure gives (a
    // field's width, the sum of a concatenation, ...), never what one record happens to
    // hold; only an expression that cannot say falls back to `trial`, a value it gave.
    int32_t CharacterKeyLength(const TnvVariant& trial) const;
    // Writes the left part of an over-full page to new pages (count - count/2 each time)
    // until the rest fits in `maxEntries`; formats call it from PageStore.
    void SplitCountLimited(NVobjIndexKey& page);
    // Raises "Index file %s is corrupted" with the file's name.
    [[noreturn]] void RaiseCorrupt() const;
    // The collation table for character comparisons (never installed: bytes compare unsigned).
    const uint8_t* Collation() const { return nullptr; }
    // Compares a with b with the tag's direction applied.
    int CompareKeys(const TnvVariant& a, const TnvVariant& b, int prefixResult) const;
    NVobjIndexKey* Root() const { return rootPage_.get(); }
    NVobjIndexFile* File() const { return file_; }
    bool AtBOF() const { return atBOF; }
    bool AtEOF() const { return atEOF; }

    std::string formatName = "UNK";
    std::string tagName;
    std::string keyExpression;
    int16_t keyLength = 0;
    int16_t expressionOptions = 10;
    int16_t entryLength = 0;
    int16_t maxEntries = 0;
    int16_t halfPage = 0;
    std::string forExpression;
    NVobjIndexKeyData rangeLow;
    NVobjIndexKeyData rangeHigh;
    // Whether each side has a bound (its key may be empty: the bound of blank keys).
    bool rangeLowSet = false;
    bool rangeHighSet = false;
    int32_t rangeCompareMode = -1;
    uint8_t rangeLowInclusive = 0;
    uint8_t rangeHighFlag = 0;
    int32_t headerAddress = -1;
    int32_t root = 0;
    bool dirty = false;
    bool ascending = true;
    bool unique = false;
    bool hasFor = false;
    char keyType = 'C';
    NVobjIndexKeyData currentKey;
    bool atBOF = false;
    bool atEOF = false;
    bool changed = false;
    bool descendingCompare = false;
    bool reverseNavigation = false;
    bool updateInProgress = false;
    // Whether a leaf holds at most maxEntries entries (false for compressed leaves).
    bool countLimitedLeaves = true;
    std::unique_ptr<TnvIndexExpression> keyHandler;
    std::unique_ptr<TnvIndexExpression> forHandler;

private:
    friend class NVobjIndexKey;
    void RangeTest();
    int32_t MoveTo(int mode);
    void TakeLeaf();
    // Whether the open chain stands on the entry of (key, key.reference): after the cursor
    // went to a record it usually does, and the update's search for the old key is spared.
    bool StandsOn(const NVobjIndexKeyData& key);
    // Where the open path stands in the physical tree: the share of the tree before the
    // current leaf entry and the share the entry itself covers. False without a full path.
    bool PathShare(double& before, double& width) const;
    // The current key's place in walking order (reverse navigation turned around), scaled so
    // that the first key is 0 and the last 1; -1 without a full path.
    double OrderShare() const;
    // The order places of the first and the last key inside the range, found on a chain of
    // their own so that the tag keeps its position; false when the range holds no key.
    bool RangeShares(double& low, double& high);

    // Decoded pages kept after their chain was released (interior pages and the root, of
    // formats whose pages are reusable), most recently kept first, for the next descent
    // through them; at most kKeptEntries entries. Of leaves only the last kKeptLeaves stay:
    // the leaf a cursor stood on is the one the next write of its record starts from, and a
    // leaf just written is the one the cursor goes back to after the write.
    static constexpr int kKeptEntries = 65536;
    static constexpr int kKeptLeaves = 4;
    // Takes the pages of `chain` that may be used again and frees the rest.
    void KeepPages(std::unique_ptr<NVobjIndexKey> chain);
    // Fills `page` from the kept page at `address`; false when none may stand for the file.
    bool ReusePage(int32_t address, NVobjIndexKey& page);
    // The kept page at `address` itself, made the child `parent` opens as Load would leave
    // it; null when none may stand for the file.
    std::unique_ptr<NVobjIndexKey> ReuseChild(int32_t address, NVobjIndexKey* parent);
    // Takes the kept page at `address` out when it may stand for the file.
    std::unique_ptr<NVobjIndexKey> TakeKept(int32_t address);
    void DropKeptPages();
    // Whether `page`, just filled from `kept`, fits below its parent: PageFits, unless the
    // kept page was found to fit under the same parent entry with the same entries both.
    bool KeptPageFits(NVobjIndexKey& page, const NVobjIndexKey& kept) const;
    // Brings the kept pages up to the file as it is now: all go when the file's pages were
    // forgotten or more writes passed than the file remembers, else those written since.
    void CatchUpKeptPages();
    // Takes `page` out of the kept pages and hands it back to the caller.
    std::unique_ptr<NVobjIndexKey> Unkeep(NVobjIndexKey* page);
    // The kept pages are owned here, linked through the pages themselves, most recently kept
    // first: keeping and reusing a page allocates nothing.
    NVobjIndexKey* keptNewest_ = nullptr;
    NVobjIndexKey* keptOldest_ = nullptr;
    TnvAddressMap<int32_t, NVobjIndexKey*> keptAt_;
    int keptEntries_ = 0;
    uint64_t pageSerial_ = 0;
    uint64_t keptEpoch_ = 0;
    uint64_t keptWrites_ = 0;
    // Addresses of the leaves kept last, oldest at keptLeafNext_.
    std::array<int32_t, kKeptLeaves> keptLeaves_{};
    int keptLeafNext_ = 0;

    NVobjIndexFile* file_;
    std::unique_ptr<NVobjIndexKey> rootPage_;
    // The open chain of pages, root first, that Rebalance looks at; kept for its room.
    std::vector<NVobjIndexKey*> rebalanceChain_;
    // Set by Reload when the entry it stood on is gone: 1 when the chain stands on the entry
    // after that place (a step forward takes it without moving), -1 on the one before it (a
    // step back takes it). The next move or reset clears it.
    int gap_ = 0;
    // Set by KeyAdd during an update when the chain stands on the entry it put in.
    bool placed_ = false;
    // See TakeSettled.
    bool settled_ = false;
};

// One open index file: its tags, its table and its disk file. Formats override the file
// operations; the base keeps the plumbing shared by all of them.
class NVobjIndexFile {
public:
    NVobjIndexFile(TnvIndexTable* table, std::string_view fileName);
    // Frees the tags before the disk file. A format whose PageWrite differs frees them in
    // its own destructor, while its overrides still apply.
    virtual ~NVobjIndexFile();
    NVobjIndexFile(const NVobjIndexFile&) = delete;
    NVobjIndexFile& operator=(const NVobjIndexFile&) = delete;

    // 0. Adds a tag; the base cannot.
    virtual bool TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                        std::string_view forExpression);
    // 1. Removes a tag by name; the base cannot.
    virtual bool TagDelete(std::string_view name);
    // 2. Address of a new page at the end of the file; -1 in the base.
    virtual int32_t NewPage();
    // 3. Sets the next page from the file size; -1 in the base.
    virtual int32_t SetEnd();
    // 4. Reads `length` bytes at byte `address`, deciphered for an enciphered table in
    //    512-byte pieces; false on a short read or without a disk file.
    virtual bool PageRead(int64_t address, void* buffer, int32_t length);
    //    Pages come from the file's page cache where its copy may stand for the file: always
    //    for an exclusive file, for a shared one only while it holds the lock under which
    //    RefreshShared or RecordChanged vouched for the cache.
    // 5. Writes `length` bytes at byte `address`, enciphering a copy as PageRead deciphers.
    virtual void PageWrite(int64_t address, const void* buffer, int32_t length);
    // PageRead from the disk file, whatever the cache holds: for the change marks other
    // programs move.
    bool PageReadFromDisk(int64_t address, void* buffer, int32_t length);
    // 6. Rebuilds every tag; nothing in the base.
    virtual void Reindex();
    // 7. Renames the disk file, keeping this file's extension; the name part follows.
    virtual void Rename(std::string_view newName);
    // 8. KeyUpdate on every tag; whether any changed. Called with the file locked: every
    //    tag starts from the file as it is now (open chains are dropped), new pages go after
    //    the end of the file, and the changed pages are written before it returns.
    virtual bool RecordChanged(int32_t record, bool appending);
    // 9. Whether another process changed a shared file since we last read or wrote it; the
    //    mark seen now becomes the one compared next time. Without a change counter the mark
    //    is the file size, which an edit inside existing pages does not move.
    virtual bool ChangedByOther();
    // 10. Stores the protocol and its lock range (unchanged outside the four).
    virtual void SetLockProtocol(TnvLokProtocol protocol);
    // 11. Re-enciphers every whole 512-byte block from the read to the write password.
    virtual void Recrypt();
    // 12. Makes the file an empty index for its tag (single-tag formats); nothing in the base.
    virtual void Zap();

    // Resolves `name` (trimmed, `defaultExt` added when it has none, the table's directory put
    // in front when it has no directory), then creates the disk file when `create` and
    // (`overwrite` or it does not exist), else opens it. False when there is no such file.
    // `created` tells which happened; the name part becomes the file name.
    bool OpenDisk(std::string_view name, std::string_view defaultExt, bool overwrite, bool create, bool shared,
                  bool& created);
    // Builds this file's contents anew beside it: `open` makes an empty scratch file of this
    // format at the path it is given, `build` fills it; then the scratch file's bytes
    // replace this file's and the scratch file goes. When either raises, this file is as it
    // was and the scratch file is gone. The caller reads its directory again afterwards.
    void RebuildThrough(const std::function<std::unique_ptr<NVobjIndexFile>(const std::string&)>& open,
                        const std::function<void(NVobjIndexFile&)>& build);
    // Locks the protocol's range of a shared file, retrying; "Can not Lock file %s".
    void LockIndex();
    // With the file locked, before its tags use pages they hold: when the file is shared and
    // another program may have written it (the change mark moved, or the format keeps no
    // counter to tell), every tag reads its open chain again and new pages go after the end
    // of the file as it is now. Whether that was needed. Exclusive files: false, no I/O.
    bool RefreshShared();
    // Whether the format keeps a change counter that every writer moves.
    virtual bool CountsChanges() const { return false; }
    // For the multiple-tag formats: when this file is the table's own (same directory and
    // base name, ignoring case), the table is marked as having a production index.
    void CheckProductionIndex();
    int TagCount() const { return tags.Count(); }
    NVobjIndexTag* TagByNumber(int i) const { return i >= 0 && i < tags.Count() ? tags.Items(i) : nullptr; }
    NVobjIndexTag* TagByName(std::string_view name) const;
    // For the single-tag formats: builds `made`, already the file's only tag. A refused or
    // failed build leaves the file empty and tagless (the callers that made it remove it).
    bool BuildOnlyTag(NVobjIndexTag* made, std::string_view keyExpression, bool unique, bool ascending,
                      std::string_view forExpression);
    const std::string& FileName() const { return fileName; }
    // The name used in messages: the disk file's full path when open, else the name part.
    std::string MessageName() const;
    TnvIndexTable* Table() const { return table; }

    std::string fileName;
    TnvCollection<NVobjIndexTag> tags;
    TnvIndexTable* table;
    std::unique_ptr<NVO_DiskFile> diskFile;
    bool recordOrderedKeys = false;
    bool upperCaseKeys = false;
    int32_t nextPage = -1;
    bool exactCompare = true;
    bool opened = false;
    bool corrupt = false;
    TnvLokProtocol lockProtocol = TnvLokProtocol::Default;
    TnvLockRange lockRange;

    // Called by ChangedByOther when another program changed the file.
    void ForgetPageCache() {
        pageCache_.Clear();
        ++pagesEpoch_;
    }
    // Whether pages kept in memory may stand for the file now (see PageRead).
    bool PagesTrusted() { return CacheAnswers(); }
    // Goes up whenever the cached pages are forgotten.
    uint64_t PagesEpoch() const { return pagesEpoch_; }
    // Writes through PageWrite so far; the byte ranges of the last kWriteLog of them are
    // remembered, so that a decoded page kept in memory is dropped only when its own bytes
    // were written (our own writes to a shared file under its lock included).
    static constexpr uint64_t kWriteLog = 256;
    uint64_t Writes() const { return writes_; }
    // Whether [address, address + length) may have been written since Writes() was `since`:
    // true when a logged write touched it or the log no longer reaches back that far.
    bool WrittenSince(uint64_t since, int64_t address, int64_t length) const;
    // The range of write number `n` (since < n <= Writes()) while the log holds it.
    void WrittenRange(uint64_t n, int64_t& address, int64_t& length) const {
        const Written& w = writeLog_[(n - 1) % kWriteLog];
        address = w.address;
        length = w.length;
    }
    // Pages cached, for tests.
    const TnvPageCache& PageCache() const { return pageCache_; }

private:
    // Whether the cache may answer a read now; forgets it when the disk file changed behind it.
    bool CacheAnswers();
    // Under the lock, after ChangedByOther looked at the change mark (and forgot the cache
    // when it moved): keeps the cache when `keep` (the format has a mark every writer
    // moves), else forgets it; either way it may answer until the lock is released.
    void VouchForCache(bool keep);

    // The file size as we last saw or left it: the change mark of formats without a counter.
    int64_t seenSize_ = -1;
    TnvPageCache pageCache_;
    // The disk file's Changes() the cache matches, and the lock epoch it was vouched for in.
    uint64_t cacheChanges_ = 0;
    uint64_t vouchedEpoch_ = 0;
    uint64_t pagesEpoch_ = 1;
    bool vouched_ = false;
    struct Written {
        int64_t address = 0;
        int64_t length = 0;
    };
    uint64_t writes_ = 0;
    std::array<Written, kWriteLog> writeLog_{};
};
