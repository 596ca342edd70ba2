// TnvSort: the engine's external sort for building index tags. Keys (character, numeric, date
// or binary `TnvVariant`s, each with its record number) are encoded as byte strings that
// compare in the tag's order and sorted in batches; every sorted batch but the last is
// written as a run to a temporary file, and retrieval merges the runs. It sits between the value helpers (nv6_tool) below and the format builders
// (NVobjSortNdx, NVobjSortCDX, ...) above, which derive from it. The record pass that feeds a
// sort from a table is `NvSortRecords`, written against the small `TnvSortRecordSource`
// interface so the cursor can be plugged in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "nv6_coll.h"
#include "nv6_tool.h"

class NVobjIndexKey;
class NVobjIndexKeyData;
class NVobjIndexTag;

// A key as the sort holds it, before it is decoded: its kind (a `TnvVariant` kind), the bytes
// of its sorted form (character keys: the text without trailing blanks; binary keys: the
// bytes as added) and its record number. Valid until the sort is asked for the next key.
struct TnvSortKey {
    uint8_t kind = 0;
    const uint8_t* bytes = nullptr;
    int length = 0;
    int32_t recNo = 0;
};

class TnvSort : public TnvSortOwner {
public:
    // Longest key (without the record number) any sort accepts.
    static constexpr int kMaxKeyLength = 240;
    // Memory for the batch being collected and the buffers the runs are read back through: a
    // tag build of any size stays within it.
    static constexpr std::size_t kDefaultMemoryBudget = std::size_t{64} << 20;

    // Raises "Sort key length must be 1-%d bytes, is %d" unless 1 <= maxKeyLength <= 240.
    // `collation` (256 bytes, may be null, must outlive the sort) orders character key bytes.
    TnvSort(int maxKeyLength, const uint8_t* collation, bool ascending, bool unique);
    ~TnvSort() override;
    TnvSort(const TnvSort&) = delete;
    TnvSort& operator=(const TnvSort&) = delete;

    // Adds one key. Raises "Cannot add sort keys after beginning retrieval" once a key has been
    // asked for, "Sort key length must be 1-%d bytes, is %d" when the value is longer than the
    // maximum, and "Variant type cannot be sorted" for logical and empty values.
    void AddKey(const TnvVariant& value, int32_t recNo);

    // The next key in order, decoded into `result` with the kind it was added with, and its
    // record number; false when all keys have been delivered. The first call ends adding.
    bool NextKey(TnvVariant& result, int32_t& recNo);

    // As NextKey; in a unique sort, keys equal to the one delivered before are skipped, so of
    // each value only the first in order (the lowest record number) comes out.
    bool NextUnique(TnvVariant& result, int32_t& recNo);
    // As NextUnique, without decoding: a page builder that takes text or bytes copies them
    // once, where a decoded value would be copied twice.
    bool NextUniqueKey(TnvSortKey& key);
    // The value of a key NextUniqueKey delivered, as NextUnique decodes it.
    void DecodeKey(const TnvSortKey& key, TnvVariant& result) const;

    // Number of keys added.
    int32_t KeyCount() const { return keysAdded_; }
    // Number of sorted runs so far, in memory and in the temporary file (the batch being
    // collected becomes one when retrieval begins).
    int RunCount() const { return static_cast<int>(runs_.size()); }
    // Sets the memory budget (at least 64 KB); only before the first key is added.
    void SetMemoryBudget(std::size_t bytes);
    std::size_t MemoryBudget() const { return budget_; }
    bool IsUnique() const { return unique_; }
    int MaxKeyLength() const { return maxKeyLength_; }

    bool Ascending() const { return ascending_; }

    // TnvSortOwner: what the runs compare with.
    const uint8_t* CollationTable() const override { return collation_; }
    bool Descending() const override { return !ascending_; }

private:
    struct Entry;
    class SpillFile;
    struct Run;
    class Order;

    std::size_t Encode(const TnvVariant& value, int32_t recNo, uint8_t* key) const;
    void Keep(const uint8_t* key, std::size_t length);
    void CloseBatch(bool last);
    void SortEntries();
    void SortGroup(Entry* group, Entry* room, std::size_t n, int shift);
    bool EntryBefore(const Entry& a, const Entry& b) const;
    void MergeRuns();
    bool Step(Run& run);
    void BeginRetrieval();
    bool Pop(const uint8_t*& bytes, int& length);
    bool RunBefore(std::size_t a, std::size_t b) const;
    bool Ahead(std::size_t a, std::size_t b) const;
    // The parts of a sorted key as NextUniqueKey hands them out.
    void Split(const uint8_t* bytes, int length, TnvSortKey& key) const;
    void Decode(const uint8_t* bytes, int length, TnvVariant& result, int32_t& recNo) const;
    bool PopUnique(const uint8_t*& bytes, int& length);
    bool SameValue(const uint8_t* a, int lengthA, const uint8_t* b, int lengthB) const;

    bool unique_;
    bool ascending_;
    int maxKeyLength_;
    const uint8_t* collation_;
    uint8_t rank_[256];    // order of character key bytes: identity unless a collation is given
    uint8_t unrank_[256];  // the byte of each rank
    int32_t keysAdded_ = 0;
    bool accepting_ = true;
    std::size_t budget_ = 0;
    std::size_t batchBytes_ = 0;

    // Keys of the batch being collected: a plain buffer and its fill, as a vector's range
    // insert costs more than the copy itself on every key.
    std::unique_ptr<uint8_t[]> batch_;
    std::size_t batchUsed_ = 0;
    std::vector<Entry> entries_;   // and where each one is
    std::vector<Entry> scratch_;   // room for sorting entries_
    std::vector<uint8_t> gather_;  // a sorted batch on its way to the spill file
    std::unique_ptr<SpillFile> spill_;
    std::vector<std::unique_ptr<Run>> runs_;  // in the order they were made
    std::vector<std::size_t> tree_;           // the merge's tree of losers (BeginRetrieval)
    std::vector<uint8_t> live_;               // whether each run still has a key
    bool taken_ = false;                      // the winner's key was delivered, its run not yet moved on
    std::vector<uint8_t> path_;               // the key last taken off the runs
    std::vector<uint8_t> last_;               // last value delivered by NextUnique (tag + key bytes)
    bool haveLast_ = false;
};

// Where the record pass takes its records from: the table cursor in its index-building
// state, or anything else that can be walked once.
class TnvSortRecordSource {
public:
    virtual ~TnvSortRecordSource() = default;
    // Records in the table when the pass starts (the total of the progress reports).
    virtual int32_t RecordCount() = 0;
    // Moves to the first record on the first call and to the following one after; false
    // when there is none left.
    virtual bool NextRecord() = 0;
    // Number of the record the source stands on.
    virtual int32_t RecordNumber() = 0;
    // Whether the record qualifies (true when the tag has no FOR condition).
    virtual bool ForHolds() = 0;
    // The record's key, evaluated and formatted as the tag stores it.
    virtual void KeyValue(TnvVariant& key) = 0;
};

// Receives progress as (stat1, stat2, stat3), the three numbers of a status report.
using TnvSortProgress = std::function<void(int32_t, int32_t, int32_t)>;

// Phase 1 of a build: walks every record of `source`, adding the key of each qualifying one
// with its record number. Reports (-1, 1, record count), (1, record number, 0) per record read
// and (0, 0, 0) at the end. Returns the number of keys added. `progress` may be empty.
int32_t NvSortRecords(TnvSort& sort, TnvSortRecordSource& source, const TnvSortProgress& progress);

// Phase 2 of a build: drains `sort` with NextUnique into `sink` (key, record number).
// Reports (-1, 2, total), (2, n, 0) for the n-th key and (0, 0, 0) at the end. Returns the
// number of keys delivered.
int32_t NvSortDrain(TnvSort& sort, int32_t total, const TnvSortProgress& progress,
                    const std::function<void(const TnvVariant&, int32_t)>& sink);

// As NvSortDrain, with the keys undecoded (NextUniqueKey).
int32_t NvSortDrainKeys(TnvSort& sort, int32_t total, const TnvSortProgress& progress,
                        const std::function<void(const TnvSortKey&)>& sink);

// The record pass of a tag build: every record of the tag's table, deleted ones included and
// whatever the filter (the table is in its index-building state meanwhile), the FOR condition
// applied, the key evaluated and formatted as the tag stores it (`partialKeys`: the partial
// form, which drops the padding the format adds back when it writes the page).
class TnvTagRecordSource : public TnvSortRecordSource {
public:
    TnvTagRecordSource(NVobjIndexTag& tag, bool partialKeys);
    int32_t RecordCount() override { return count_; }
    bool NextRecord() override;
    int32_t RecordNumber() override { return record_; }
    bool ForHolds() override;
    void KeyValue(TnvVariant& key) override;

private:
    NVobjIndexTag& tag_;
    bool partial_;
    int32_t count_;
    int32_t record_ = 0;
};

// Both phases of a tag build: the record pass into `sort`, then the sorted keys into `sink`,
// with the table's progress reports, the table in its index-building state throughout and
// put back where it was afterwards (also when a key expression raises). Returns the number
// of keys delivered.
int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, bool partialKeys,
                   const std::function<void(const TnvVariant&, int32_t)>& sink);
// The same with the format's own record pass (keys in another form than the tag's).
int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source,
                   const std::function<void(const TnvVariant&, int32_t)>& sink);
// The same with the keys undecoded (NvSortDrainKeys).
int32_t NvBuildTagKeys(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source,
                       const std::function<void(const TnvSortKey&)>& sink);
