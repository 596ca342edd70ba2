#include "nv6_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdlib>
#include <numeric>
#include <string>

#include "nv6_bytes.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"
#include "nv6_os.h"

namespace {

// Kind tags of sort keys; they lead every key, so keys of different kinds never mix and
// the tag travels with the bytes.
constexpr uint8_t kTagBinary = 0x10;
constexpr uint8_t kTagCharacter = 0x20;
constexpr uint8_t kTagNumeric = 0x30;
constexpr uint8_t kTagDate = 0x40;

constexpr int kRecNoBytes = 4;
constexpr uint64_t kSignBit = 0x8000000000000000ull;

}  // namespace

// One key of the batch being collected: its first 8 bytes as a number (bytes beyond the key's
// end count as 0), which decides most comparisons without touching the key, and where it is.
struct TnvSort::Entry {
    uint64_t prefix;
    uint32_t offset;
    uint32_t length;
};

namespace {

constexpr std::size_t kMinBudget = std::size_t{64} << 10;
// Keys are sorted in batches small enough for the processor's caches, whatever the budget:
// sorting them all at once would fetch every key from main memory at random when it is
// delivered. The sorted batches are merged.
constexpr std::size_t kMaxBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kRunBuffer = std::size_t{64} << 10;

uint64_t PrefixOf(const uint8_t* key, std::size_t length) {
    // Every key carries its record number, so all but the shortest are this long.
    if (length >= 8) return nvbytes::LoadBE64(key);
    uint8_t first[8] = {};
    std::memcpy(first, key, length);
    return nvbytes::LoadBE64(first);
}

// Byte-string order: the first differing byte decides, and a key that is a prefix of another
// sorts before it.
int CompareBytes(const uint8_t* x, std::size_t nx, const uint8_t* y, std::size_t ny) {
    const int c = std::memcmp(x, y, std::min(nx, ny));
    if (c != 0) return c;
    return nx == ny ? 0 : (nx < ny ? -1 : 1);
}

// The same for two keys whose prefixes (PrefixOf) are equal. Repeated values make this
// common in a merge, and what is left after the prefix is then mostly a record number:
// too short to be worth a call to memcmp.
int CompareAfterPrefix(const uint8_t* x, std::size_t nx, const uint8_t* y, std::size_t ny) {
    if (nx < 8 || ny < 8) return CompareBytes(x, nx, y, ny);
    const std::size_t n = std::min(nx, ny);
    if (n > 24) return CompareBytes(x, nx, y, ny);
    for (std::size_t i = 8; i < n; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return nx == ny ? 0 : (nx < ny ? -1 : 1);
}

}  // namespace

// The temporary file runs go to when the keys outgrow the budget; removed from its
// directory as soon as it is open, so that nothing is left behind whatever becomes of the
// process.
class TnvSort::SpillFile {
public:
    SpillFile() {
        const char* dir = std::getenv("TMPDIR");
        const std::string base = dir && *dir ? dir : "/tmp";
        static uint32_t serial = 0;
        NvPlatform& os = NvOS();
        for (int attempt = 0; attempt < 100 && handle_ < 0; ++attempt) {
            name_ = base + "/norvane-sort-" + std::to_string(os.NowMs()) + "-" +
                    std::to_string(reinterpret_cast<std::uintptr_t>(this) & 0xFFFFFF) + "-" +
                    std::to_string(++serial) + ".tmp";
            if (!os.Exists(name_)) handle_ = os.Open(name_, true, true);
        }
        if (handle_ < 0) NvRaise(TnvMsg::CouldNotCreate, {name_});
        os.Unlink(name_);
    }
    ~SpillFile() {
        if (handle_ >= 0) NvOS().Close(handle_);
    }
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    int64_t End() const { return end_; }
    void Append(const uint8_t* bytes, std::size_t length) {
        std::size_t done = 0;
        while (done < length) {
            const int64_t n = NvOS().PWrite(handle_, bytes + done, static_cast<int64_t>(length - done),
                                            end_ + static_cast<int64_t>(done));
            if (n <= 0) NvRaise(TnvMsg::WriteError, {name_});
            done += static_cast<std::size_t>(n);
        }
        end_ += static_cast<int64_t>(length);
    }
    std::size_t Read(int64_t offset, uint8_t* buffer, std::size_t length) {
        std::size_t done = 0;
        while (done < length) {
            const int64_t n = NvOS().PRead(handle_, buffer + done, static_cast<int64_t>(length - done),
                                           offset + static_cast<int64_t>(done));
            if (n < 0) NvRaise(TnvMsg::ReadError, {name_});
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    int handle_ = -1;
    int64_t end_ = 0;
};

// A sorted run: (length byte, key bytes) records in the spill file, read back through a
// buffer; or the last batch, left where it was collected with its sorted index.
struct TnvSort::Run {
    std::unique_ptr<uint8_t[]> buffer;  // left uninitialised: it is always written before read
    std::size_t capacity = 0;
    std::size_t at = 0;    // the current key's record in the buffer
    std::size_t have = 0;  // bytes in the buffer
    int64_t next = 0;      // spill file offset of the bytes after the buffer
    int64_t end = 0;       // spill file offset where the run ends
    std::vector<Entry> order;  // in place: the batch's index in delivery order
    std::size_t index = 0;     // in place: the current key's entry
    bool inPlace = false;
    const uint8_t* key = nullptr;
    std::size_t length = 0;
    uint64_t prefix = 0;  // of the key, as in the batch's index
};

TnvSort::TnvSort(int maxKeyLength, const uint8_t* collation, bool ascending, bool unique)
    : unique_(unique), ascending_(ascending), maxKeyLength_(maxKeyLength), collation_(collation) {
    if (maxKeyLength < 1 || maxKeyLength > kMaxKeyLength)
        NvRaise(TnvMsg::SortKeyLength, {kMaxKeyLength, maxKeyLength});
    std::iota(rank_, rank_ + 256, 0);
    if (collation_) {
        // Character bytes are ordered by their collation weight; bytes of equal weight stay
        // distinct, ordered by their own value, so the order is a total one.
        uint8_t order[256];
        std::iota(order, order + 256, 0);
        std::stable_sort(order, order + 256,
                         [this](uint8_t a, uint8_t b) { return collation_[a] < collation_[b]; });
        for (int i = 0; i < 256; ++i) rank_[order[i]] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 256; ++i) unrank_[rank_[i]] = static_cast<uint8_t>(i);
    path_.resize(1 + kMaxKeyLength + kRecNoBytes);
    SetMemoryBudget(kDefaultMemoryBudget);
}

TnvSort::~TnvSort() = default;

void TnvSort::SetMemoryBudget(std::size_t bytes) {
    if (keysAdded_ > 0) return;
    budget_ = std::clamp(bytes, kMinBudget, std::size_t{1} << 31);
    batchBytes_ = std::min(kMaxBatchBytes, budget_ / 8);
}

// Encodes a key so that plain byte order is the sort's order (ascending; a descending sort
// reverses it): kind tag, key bytes (character keys without trailing blanks, ranked by the
// collation), then the record number, complemented in a descending sort so that equal keys
// still come out by rising record.
std::size_t TnvSort::Encode(const TnvVariant& value, int32_t recNo, uint8_t* key) const {
    const int valueLength = value.Length();
    std::size_t length = 1;
    switch (value.Kind()) {
        case TnvVariant::kCharacter: {
            const uint8_t* text = value.Data();
            int n = valueLength;
            while (n > 0 && text[n - 1] == ' ') --n;
            key[0] = kTagCharacter;
            nvbytes::CopyShort(key + 1, text, static_cast<std::size_t>(n));
            length += static_cast<std::size_t>(n);
            break;
        }
        case TnvVariant::kNumeric: {
            // All eight bytes are kept: with fewer, the record number would be compared with
            // the low bytes of a longer image and put 3 (record 20000) after 3.0000001.
            // -0 is stored as 0: one value, so equal keys stay together in record order.
            const double number = value.AsNumber();
            uint64_t bits = std::bit_cast<uint64_t>(number == 0.0 ? 0.0 : number);
            bits = (bits & kSignBit) ? ~bits : (bits | kSignBit);
            key[0] = kTagNumeric;
            nvbytes::StoreBE64(key + 1, bits);
            length += 8;
            break;
        }
        case TnvVariant::kDate:
            key[0] = kTagDate;
            nvbytes::StoreBE32(key + 1, static_cast<uint32_t>(value.AsDate()));
            length += 4;
            break;
        case TnvVariant::kBinary:
            key[0] = kTagBinary;
            if (valueLength > 0) nvbytes::CopyShort(key + 1, value.Data(), static_cast<std::size_t>(valueLength));
            length += static_cast<std::size_t>(valueLength);
            break;
        default:
            NvRaise(TnvMsg::SortVariantType, {});
    }
    const uint32_t rec = static_cast<uint32_t>(recNo);
    nvbytes::StoreBE32(key + length, ascending_ ? rec : ~rec);
    length += kRecNoBytes;
    // With a collation every byte after the tag compares by its rank, the record number's too.
    if (collation_ && key[0] == kTagCharacter)
        for (std::size_t i = 1; i < length; ++i) key[i] = rank_[key[i]];
    return length;
}

void TnvSort::AddKey(const TnvVariant& value, int32_t recNo) {
    if (!accepting_) NvRaise(TnvMsg::SortAddAfterRetrieve, {});
    const int valueLength = value.Length();
    if (valueLength > maxKeyLength_) NvRaise(TnvMsg::SortKeyLength, {maxKeyLength_, valueLength});
    uint8_t key[1 + kMaxKeyLength + kRecNoBytes];
    const std::size_t length = Encode(value, recNo, key);
    Keep(key, length);
    ++keysAdded_;
}

void TnvSort::Keep(const uint8_t* key, std::size_t length) {
    if (batchUsed_ + length > batchBytes_ || (entries_.size() + 1) * sizeof(Entry) > batchBytes_) CloseBatch(false);
    if (!batch_) {
        batch_.reset(new uint8_t[batchBytes_]);
        entries_.reserve(batchBytes_ / sizeof(Entry));
    }
    entries_.push_back(Entry{PrefixOf(key, length), static_cast<uint32_t>(batchUsed_),
                             static_cast<uint32_t>(length)});
    nvbytes::CopyShort(batch_.get() + batchUsed_, key, length);
    batchUsed_ += length;
}

// Sorts the batch and appends it, in order, as a run in the spill file. Runs held in
// memory would each take fresh pages, and on this kind of machine a page's first touch
// costs more than writing its bytes to the file and reading them back. The last batch
// (`last`, when retrieval begins) stays where it is and is delivered through its index, so
// that a sort of one batch never makes a file.
void TnvSort::CloseBatch(bool last) {
    if (entries_.empty()) return;
    SortEntries();
    if (!ascending_) std::reverse(entries_.begin(), entries_.end());
    auto run = std::make_unique<Run>();
    if (last) {
        run->inPlace = true;
        run->buffer = std::move(batch_);
        run->order = std::move(entries_);
        runs_.push_back(std::move(run));
        entries_.clear();
        batchUsed_ = 0;
        return;
    }
    if (!spill_) spill_ = std::make_unique<SpillFile>();
    gather_.resize(batchUsed_ + entries_.size());
    uint8_t* out = gather_.data();
    for (const Entry& e : entries_) {
        *out++ = static_cast<uint8_t>(e.length);
        std::memcpy(out, batch_.get() + e.offset, e.length);
        out += e.length;
    }
    run->next = spill_->End();
    spill_->Append(gather_.data(), gather_.size());
    run->end = spill_->End();
    runs_.push_back(std::move(run));
    entries_.clear();
    batchUsed_ = 0;
    // Each run reads back through a buffer of its own: beyond what the budget holds of them,
    // the runs so far are merged into one.
    const std::size_t room = budget_ > 4 * batchBytes_ ? budget_ - 4 * batchBytes_ : 0;
    if (runs_.size() >= std::max<std::size_t>(2, room / kRunBuffer)) MergeRuns();
}

// Puts the batch's index in ascending key order: a radix sort on the 8-byte prefixes, most
// significant byte first (bytes all keys of a group share are skipped), each group split
// until it is small enough for an insertion sort; keys with one prefix are compared whole.
// No key is ever equal to another (each carries its record number), so the order is the one
// a comparison sort gives. Most batches need two or three passes over their index, where a
// pass for every byte of the prefix took six or seven.
void TnvSort::SortEntries() {
    const std::size_t n = entries_.size();
    scratch_.resize(n);
    SortGroup(entries_.data(), scratch_.data(), n, 56);
}

bool TnvSort::EntryBefore(const Entry& a, const Entry& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.length <= 8 && b.length <= 8) return a.length < b.length;
    return CompareAfterPrefix(batch_.get() + a.offset, a.length, batch_.get() + b.offset, b.length) < 0;
}

void TnvSort::SortGroup(Entry* group, Entry* room, std::size_t n, int shift) {
    constexpr std::size_t kSmall = 48;
    if (n <= kSmall) {
        for (std::size_t i = 1; i < n; ++i) {
            const Entry e = group[i];
            std::size_t j = i;
            for (; j > 0 && EntryBefore(e, group[j - 1]); --j) group[j] = group[j - 1];
            group[j] = e;
        }
        return;
    }
    std::size_t count[256];
    for (;; shift -= 8) {
        if (shift < 0) {
            // One prefix for the whole group: the rest of the keys decides.
            std::sort(group, group + n, [this](const Entry& a, const Entry& b) { return EntryBefore(a, b); });
            return;
        }
        std::memset(count, 0, sizeof count);
        for (std::size_t i = 0; i < n; ++i) ++count[(group[i].prefix >> shift) & 0xFF];
        if (count[(group[0].prefix >> shift) & 0xFF] != n) break;
    }
    std::size_t at[256];
    std::size_t total = 0;
    for (int v = 0; v < 256; ++v) {
        at[v] = total;
        total += count[v];
    }
    for (std::size_t i = 0; i < n; ++i) room[at[(group[i].prefix >> shift) & 0xFF]++] = group[i];
    std::memcpy(group, room, n * sizeof(Entry));
    std::size_t from = 0;
    for (int v = 0; v < 256; ++v) {
        if (count[v] > 1) SortGroup(group + from, room + from, count[v], shift - 8);
        from += count[v];
    }
}

// Merges the runs in the spill file into one run at its end.
void TnvSort::MergeRuns() {
    const std::size_t first = 0;
    auto merged = std::make_unique<Run>();
    merged->next = spill_->End();
    std::vector<std::size_t> heap;
    for (std::size_t i = first; i < runs_.size(); ++i)
        if (Step(*runs_[i])) heap.push_back(i);
    auto after = [this](std::size_t a, std::size_t b) { return RunBefore(b, a); };
    std::make_heap(heap.begin(), heap.end(), after);
    std::vector<uint8_t> out;
    out.reserve(kRunBuffer + 1 + kMaxKeyLength + kRecNoBytes);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), after);
        Run& run = *runs_[heap.back()];
        out.push_back(static_cast<uint8_t>(run.length));
        out.insert(out.end(), run.key, run.key + run.length);
        if (Step(run))
            std::push_heap(heap.begin(), heap.end(), after);
        else
            heap.pop_back();
        if (out.size() >= kRunBuffer) {
            spill_->Append(out.data(), out.size());
            out.clear();
        }
    }
    spill_->Append(out.data(), out.size());
    merged->end = spill_->End();
    runs_.resize(first);
    runs_.push_back(std::move(merged));
}

// Moves a run to its next key; false (and no key) when it has none left. A run not yet
// started moves to its first key.
bool TnvSort::Step(Run& run) {
    if (run.inPlace) {
        if (run.key) ++run.index;
        run.key = nullptr;
        if (run.index >= run.order.size()) return false;
        const Entry& e = run.order[run.index];
        run.key = run.buffer.get() + e.offset;
        run.length = e.length;
        run.prefix = e.prefix;
        return true;
    }
    if (run.key) run.at += 1 + run.length;
    run.key = nullptr;
    const bool whole = run.at < run.have && run.at + 1 + run.buffer[run.at] <= run.have;
    if (!whole) {
        if (run.next >= run.end) return false;  // held in memory, or read to its end
        // Refill: what is left of a record moves to the front, the file fills the rest.
        if (run.capacity < kRunBuffer) {
            auto grown = std::unique_ptr<uint8_t[]>(new uint8_t[kRunBuffer]);
            if (run.have > 0) std::memcpy(grown.get(), run.buffer.get(), run.have);
            run.buffer = std::move(grown);
            run.capacity = kRunBuffer;
        }
        const std::size_t left = run.have - std::min(run.at, run.have);
        std::memmove(run.buffer.get(), run.buffer.get() + run.at, left);
        const std::size_t want = std::min<std::size_t>(run.capacity - left,
                                                       static_cast<std::size_t>(run.end - run.next));
        const std::size_t got = spill_->Read(run.next, run.buffer.get() + left, want);
        run.next += static_cast<int64_t>(got);
        run.at = 0;
        run.have = left + got;
        if (run.have == 0) return false;
        if (got < want || 1 + std::size_t{run.buffer[0]} > run.have) NvRaise(TnvMsg::ReadError, {spill_->Name()});
    }
    run.length = run.buffer[run.at];
    run.key = run.buffer.get() + run.at + 1;
    run.prefix = PrefixOf(run.key, run.length);
    return true;
}

// Whether run `a` delivers before run `b`; ties go to the earlier run, which holds the keys
// added earlier.
bool TnvSort::RunBefore(std::size_t a, std::size_t b) const {
    const Run& x = *runs_[a];
    const Run& y = *runs_[b];
    int c = x.prefix != y.prefix ? (x.prefix < y.prefix ? -1 : 1) : CompareAfterPrefix(x.key, x.length, y.key, y.length);
    if (!ascending_) c = -c;
    return c != 0 ? c < 0 : a < b;
}

void TnvSort::BeginRetrieval() {
    accepting_ = false;
    CloseBatch(true);
    batch_.reset();
    batchUsed_ = 0;
    entries_ = std::vector<Entry>();
    scratch_ = std::vector<Entry>();
    live_.assign(runs_.size(), 0);
    for (std::size_t i = 0; i < runs_.size(); ++i) live_[i] = Step(*runs_[i]) ? 1 : 0;
    // A tree of losers over the runs: node n (1 <= n < k) keeps the run that lost the match
    // there, leaves k..2k-1 stand for the runs, node 0 holds the overall winner. A new key
    // of the winner's run then plays only the matches on its way up.
    const std::size_t k = runs_.size();
    tree_.assign(std::max<std::size_t>(k, 1), 0);
    if (k == 0) return;
    auto build = [&](auto& self, std::size_t n) -> std::size_t {
        if (n >= k) return n - k;
        const std::size_t a = self(self, 2 * n);
        const std::size_t b = self(self, 2 * n + 1);
        if (Ahead(a, b)) {
            tree_[n] = b;
            return a;
        }
        tree_[n] = a;
        return b;
    };
    tree_[0] = build(build, 1);
}

// Whether run `a` delivers before run `b`, a run without keys left coming last.
bool TnvSort::Ahead(std::size_t a, std::size_t b) const {
    if (live_[a] && live_[b]) return RunBefore(a, b);
    if (live_[a] != live_[b]) return live_[a] != 0;
    return a < b;
}

// Takes the first key in order off the runs; `bytes` stays valid until the next call.
bool TnvSort::Pop(const uint8_t*& bytes, int& length) {
    if (accepting_) BeginRetrieval();
    if (runs_.empty()) return false;
    if (taken_) {
        // The key taken last time stayed where it was for the caller; its run moves on now.
        taken_ = false;
        std::size_t winner = tree_[0];
        live_[winner] = Step(*runs_[winner]) ? 1 : 0;
        for (std::size_t n = (winner + runs_.size()) / 2; n >= 1; n /= 2)
            if (Ahead(tree_[n], winner)) std::swap(tree_[n], winner);
        tree_[0] = winner;
    }
    if (!live_[tree_[0]]) return false;
    Run& run = *runs_[tree_[0]];
    length = static_cast<int>(run.length);
    if (collation_ && run.key[0] == kTagCharacter) {
        path_[0] = run.key[0];
        for (int i = 1; i < length; ++i) path_[static_cast<std::size_t>(i)] = unrank_[run.key[i]];
        bytes = path_.data();
    } else {
        bytes = run.key;
    }
    taken_ = true;
    return true;
}

void TnvSort::Split(const uint8_t* bytes, int length, TnvSortKey& key) const {
    const uint32_t rec = nvbytes::LoadBE32(bytes + length - kRecNoBytes);
    key.recNo = static_cast<int32_t>(ascending_ ? rec : ~rec);
    key.bytes = bytes + 1;
    key.length = length - 1 - kRecNoBytes;
    switch (bytes[0]) {
        case kTagNumeric:
            key.kind = TnvVariant::kNumeric;
            break;
        case kTagDate:
            key.kind = TnvVariant::kDate;
            break;
        case kTagCharacter:
            key.kind = TnvVariant::kCharacter;
            break;
        default:
            key.kind = TnvVariant::kBinary;
            break;
    }
}

void TnvSort::Decode(const uint8_t* bytes, int length, TnvVariant& result, int32_t& recNo) const {
    TnvSortKey key;
    Split(bytes, length, key);
    recNo = key.recNo;
    DecodeKey(key, result);
}

void TnvSort::DecodeKey(const TnvSortKey& key, TnvVariant& result) const {
    switch (key.kind) {
        case TnvVariant::kNumeric: {
            // Missing low bytes (shorter images) stand for zero bytes of the double.
            uint64_t stored = 0;
            uint64_t mask = 0;
            for (int j = 0; j < key.length && j < 8; ++j) {
                stored |= static_cast<uint64_t>(key.bytes[j]) << (56 - 8 * j);
                mask |= 0xFFull << (56 - 8 * j);
            }
            const uint64_t bits = (stored & kSignBit) ? (stored & ~kSignBit) : (~stored & mask);
            result.PutNumber(std::bit_cast<double>(bits));
            break;
        }
        case TnvVariant::kDate:
            result.PutDate(static_cast<int32_t>(nvbytes::LoadBE32(key.bytes)));
            break;
        case TnvVariant::kCharacter:
            result.PutString(std::string_view(reinterpret_cast<const char*>(key.bytes),
                                              static_cast<std::size_t>(key.length)));
            break;
        default:
            result.PutBinary(key.bytes, key.length);
            break;
    }
}

bool TnvSort::NextKey(TnvVariant& result, int32_t& recNo) {
    const uint8_t* bytes;
    int length;
    if (!Pop(bytes, length)) return false;
    Decode(bytes, length, result, recNo);
    return true;
}

// Whether two keys (tag and key bytes, record number excluded) hold the same value.
bool TnvSort::SameValue(const uint8_t* a, int lengthA, const uint8_t* b, int lengthB) const {
    if (lengthA != lengthB || a[0] != b[0]) return false;
    if (std::memcmp(a, b, static_cast<std::size_t>(lengthA)) == 0) return true;
    if (a[0] == kTagCharacter && collation_) {
        for (int i = 1; i < lengthA; ++i)
            if (collation_[a[i]] != collation_[b[i]]) return false;
        return true;
    }
    return false;
}

// Pop, skipping in a unique sort the keys equal to the one delivered before.
bool TnvSort::PopUnique(const uint8_t*& bytes, int& length) {
    for (;;) {
        if (!Pop(bytes, length)) return false;
        const int valueLength = length - kRecNoBytes;
        if (unique_) {
            if (haveLast_ && SameValue(bytes, valueLength, last_.data(), static_cast<int>(last_.size())))
                continue;
            last_.assign(bytes, bytes + valueLength);
            haveLast_ = true;
        }
        return true;
    }
}

bool TnvSort::NextUnique(TnvVariant& result, int32_t& recNo) {
    const uint8_t* bytes;
    int length;
    if (!PopUnique(bytes, length)) return false;
    Decode(bytes, length, result, recNo);
    return true;
}

bool TnvSort::NextUniqueKey(TnvSortKey& key) {
    const uint8_t* bytes;
    int length;
    if (!PopUnique(bytes, length)) return false;
    Split(bytes, length, key);
    return true;
}

namespace {

// The two phases with any callable for the reports: a build hands its table's report call
// straight in, where a std::function would cost an indirect call per record besides.
template <class Report>
int32_t SortRecords(TnvSort& sort, TnvSortRecordSource& source, const Report& report) {
    report(-1, 1, source.RecordCount());
    TnvVariant key(sort.MaxKeyLength() + kRecNoBytes);
    int32_t added = 0;
    while (source.NextRecord()) {
        const int32_t rec = source.RecordNumber();
        report(1, rec, 0);
        if (!source.ForHolds()) continue;
        source.KeyValue(key);
        sort.AddKey(key, rec);
        ++added;
    }
    report(0, 0, 0);
    return added;
}

template <class Report, class Sink>
int32_t DrainKeys(TnvSort& sort, int32_t total, const Report& report, const Sink& sink) {
    report(-1, 2, total);
    TnvSortKey key;
    int32_t delivered = 0;
    while (sort.NextUniqueKey(key)) {
        sink(key);
        report(2, ++delivered, 0);
    }
    report(0, 0, 0);
    return delivered;
}

// A listener that may be empty.
struct OptionalReport {
    const TnvSortProgress& progress;
    void operator()(int32_t a, int32_t b, int32_t c) const {
        if (progress) progress(a, b, c);
    }
};

}  // namespace

int32_t NvSortRecords(TnvSort& sort, TnvSortRecordSource& source, const TnvSortProgress& progress) {
    return SortRecords(sort, source, OptionalReport{progress});
}

int32_t NvSortDrain(TnvSort& sort, int32_t total, const TnvSortProgress& progress,
                    const std::function<void(const TnvVariant&, int32_t)>& sink) {
    const OptionalReport report{progress};
    report(-1, 2, total);
    TnvVariant key(sort.MaxKeyLength() + kRecNoBytes);
    int32_t delivered = 0;
    int32_t rec = 0;
    while (sort.NextUnique(key, rec)) {
        sink(key, rec);
        report(2, ++delivered, 0);
    }
    report(0, 0, 0);
    return delivered;
}

int32_t NvSortDrainKeys(TnvSort& sort, int32_t total, const TnvSortProgress& progress,
                        const std::function<void(const TnvSortKey&)>& sink) {
    return DrainKeys(sort, total, OptionalReport{progress}, sink);
}

// ---- building a tag from its table ----

TnvTagRecordSource::TnvTagRecordSource(NVobjIndexTag& tag, bool partialKeys)
    : tag_(tag), partial_(partialKeys), count_(tag.File()->Table() ? tag.File()->Table()->RecordCount() : 0) {}

bool TnvTagRecordSource::NextRecord() {
    TnvIndexTable* table = tag_.File()->Table();
    if (!table || record_ >= count_) return false;
    ++record_;
    return table->ReadRecordForBuild(record_);
}

bool TnvTagRecordSource::ForHolds() { return !tag_.forHandler || tag_.ForEvaluate(); }

void TnvTagRecordSource::KeyValue(TnvVariant& key) {
    double number = 0;
    if (tag_.keyHandler && tag_.keyHandler->NumberValue(number)) {
        key.PutNumber(number);
    } else {
        bool ok = true;
        if (!tag_.KeyEvaluate(key, ok)) key.PutString("");
    }
    tag_.KeyFormat(key, partial_);
}

int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, bool partialKeys,
                   const std::function<void(const TnvVariant&, int32_t)>& sink) {
    TnvTagRecordSource source(tag, partialKeys);
    return NvBuildTag(tag, sort, source, sink);
}

namespace {

// Both phases with the table in its index-building state; `drain` runs phase 2.
template <class Drain>
int32_t BuildFromTable(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source, const Drain& drain) {
    TnvIndexTable* table = tag.File()->Table();
    struct BuildScope {
        TnvIndexTable* table;
        explicit BuildScope(TnvIndexTable* t) : table(t) {
            if (table) table->BeginBuild();
        }
        ~BuildScope() {
            if (table) table->EndBuild();
        }
    } scope(table);
    // Reported once per record: the table's call itself, nothing wrapped around it.
    const auto report = [table](int32_t a, int32_t b, int32_t c) {
        if (table) table->BuildProgress(a, b, c);
    };
    int32_t total = source.RecordCount();
    SortRecords(sort, source, report);
    return drain(total, report);
}

}  // namespace

int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source,
                   const std::function<void(const TnvVariant&, int32_t)>& sink) {
    return BuildFromTable(tag, sort, source, [&](int32_t total, const auto& report) {
        const TnvSortProgress progress = report;
        return NvSortDrain(sort, total, progress, sink);
    });
}

int32_t NvBuildTagKeys(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source,
                       const std::function<void(const TnvSortKey&)>& sink) {
    return BuildFromTable(tag, sort, source, [&](int32_t total, const auto& report) {
        return DrainKeys(sort, total, report, sink);
    });
}
