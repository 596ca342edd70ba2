#include "nv6_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "nv6_bytes.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"

namespace {

// Kind tags of sort keys; they lead every key inside the trie and the runs, so keys of
// different kinds never share a path and the tag travels with the bytes.
constexpr uint8_t kTagBinary = 0x10;
constexpr uint8_t kTagCharacter = 0x20;
constexpr uint8_t kTagNumeric = 0x30;
constexpr uint8_t kTagDate = 0x40;

constexpr uint8_t kPackedMask = 0x07;
// A key ends at this node (after its packed bytes). Without it a key that is a proper prefix
// of another one would vanish into the longer one's path.
constexpr uint8_t kKeyEnds = 0x08;

constexpr int kRecNoBytes = 4;
constexpr uint64_t kSignBit = 0x8000000000000000ull;

}  // namespace

struct TnvSort::Node {
    uint32_t child;  // first node of the next byte position, 0 = none
    uint32_t next;   // next sibling, or up to 4 packed key bytes (first in the lowest byte)
    uint8_t flags;   // packed count in the low 3 bits, kKeyEnds
    uint8_t byte;
};

inline TnvSort::Node& TnvSort::At(uint32_t id) {
    if (id == 0) return *root_;
    const uint32_t index = id - 1;
    return blocks_[index / kNodesPerBlock][index % kNodesPerBlock];
}

TnvSort::TnvSort(int maxKeyLength, const uint8_t* collation, bool ascending, bool unique)
    : unique_(unique),
      ascending_(ascending),
      maxKeyLength_(maxKeyLength),
      collation_(collation),
      root_(std::make_unique<Node>()),
      pathKey_(kMaxKeyLength + 1 + kRecNoBytes) {
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
    *root_ = Node{};
    blocks_.push_back(std::make_unique<Node[]>(kNodesPerBlock));
    path_.resize(kMaxKeyLength + 1 + kRecNoBytes);
}

TnvSort::~TnvSort() = default;


uint32_t TnvSort::NewNode(uint8_t byte) {
    const uint32_t index = nodeCount_++;
    const uint32_t block = index / kNodesPerBlock;
    if (block >= blocks_.size()) blocks_.push_back(std::make_unique<Node[]>(kNodesPerBlock));
    blocks_[block][index % kNodesPerBlock] = Node{0, 0, 0, byte};
    return index + 1;
}

// Splits the first packed byte off node `id` into a new only child, so that `id` can take
// siblings and its byte can be compared.
void TnvSort::Unpack(uint32_t id) {
    const uint32_t fresh = NewNode(0);
    Node& node = At(id);
    Node& child = At(fresh);
    const int packed = node.flags & kPackedMask;
    child.byte = static_cast<uint8_t>(node.next & 0xFF);
    child.child = node.child;
    child.next = node.next >> 8;
    child.flags = static_cast<uint8_t>((packed - 1) | (node.flags & kKeyEnds));
    node.child = fresh;
    node.next = 0;
    node.flags = 0;
}

// The position of the first sibling in the chain starting at `node` that does not sort
// before `byte` (siblings are kept in the sort's order); `previous` is the one before it.
uint32_t TnvSort::Scan(uint32_t node, uint8_t byte, bool ranked, uint32_t& previous) {
    previous = 0;
    if (ranked) {
        const uint8_t wanted = rank_[byte];
        while (node != 0) {
            const uint8_t have = rank_[At(node).byte];
            if (ascending_ ? have >= wanted : have <= wanted) break;
            previous = node;
            node = At(node).next;
        }
    } else if (ascending_) {
        while (node != 0 && At(node).byte < byte) {
            previous = node;
            node = At(node).next;
        }
    } else {
        while (node != 0 && At(node).byte > byte) {
            previous = node;
            node = At(node).next;
        }
    }
    return node;
}

void TnvSort::Insert(const uint8_t* key, int length) {
    // A key takes at most one node per byte plus one split; spill first when that might not
    // fit, so no run is ever written with a half-inserted key in it.
    const uint32_t capacity = static_cast<uint32_t>(kMaxBlocks) * kNodesPerBlock;
    if (nodeCount_ + static_cast<uint32_t>(length) + 2 > capacity) WriteRun();

    // Character bytes after the tag follow the collation order, when there is one.
    const bool ranked = collation_ != nullptr && key[0] == kTagCharacter;
    uint32_t current = 0;
    int i = 0;
    while (i < length) {
        const uint32_t first = At(current).child;
        if (first != 0 && (At(first).flags & kPackedMask) != 0) Unpack(first);
        uint32_t previous;
        const uint32_t node = Scan(first, key[i], ranked && i > 0, previous);
        if (node != 0 && At(node).byte == key[i]) {
            current = node;
            ++i;
            continue;
        }
        const uint32_t fresh = NewNode(key[i]);
        Node& created = At(fresh);
        created.next = node;
        if (previous != 0)
            At(previous).next = fresh;
        else
            At(current).child = fresh;
        ++i;
        if (first == 0) {
            // Alone at its position: the following bytes ride along in the node itself.
            int packed = 0;
            uint32_t bytes = 0;
            while (packed < 4 && i < length) {
                bytes |= static_cast<uint32_t>(key[i]) << (8 * packed);
                ++packed;
                ++i;
            }
            created.next = bytes;
            created.flags = static_cast<uint8_t>(packed);
        }
        current = fresh;
    }
    At(current).flags |= kKeyEnds;
}

void TnvSort::AddKey(const TnvVariant& value, int32_t recNo) {
    if (!accepting_) NvRaise(TnvMsg::SortAddAfterRetrieve, {});
    const int valueLength = value.Length();
    if (valueLength > maxKeyLength_) NvRaise(TnvMsg::SortKeyLength, {maxKeyLength_, valueLength});

    uint8_t key[1 + kMaxKeyLength + kRecNoBytes];
    int length = 1;
    switch (value.Kind()) {
        case TnvVariant::kCharacter: {
            const uint8_t* text = value.Data();
            int n = valueLength;
            while (n > 0 && text[n - 1] == ' ') --n;
            key[0] = kTagCharacter;
            if (n > 0) std::memcpy(key + 1, text, static_cast<std::size_t>(n));
            length += n;
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
            if (valueLength > 0) std::memcpy(key + 1, value.Data(), static_cast<std::size_t>(valueLength));
            length += valueLength;
            break;
        default:
            NvRaise(TnvMsg::SortVariantType, {});
    }
    // Descending sorts store the complement so equal keys still come out by rising record.
    const uint32_t rec = static_cast<uint32_t>(recNo);
    nvbytes::StoreBE32(key + length, ascending_ ? rec : ~rec);
    length += kRecNoBytes;

    Insert(key, length);
    ++keysAdded_;
}

void TnvSort::ResetTrie() {
    *root_ = Node{};
    nodeCount_ = 0;
}

void TnvSort::WriteRun() {
    if (root_->child == 0) return;
    runs_.Add(new TnvPageCollection(this));
    currentRun_ = runs_.Items(runs_.Count() - 1);
    sharedLength_ = 0;
    previousLength_ = 0;
    WalkRun(root_->child, 0);
    currentRun_->Rewind();
    currentRun_ = nullptr;
    ResetTrie();
}

// Depth-first over one sibling chain; the depth is bounded by the longest key (245 bytes).
void TnvSort::WalkRun(uint32_t first, int depth) {
    uint32_t id = first;
    while (id != 0) {
        const Node& node = At(id);
        sharedLength_ = std::min(sharedLength_, depth);
        int length = depth;
        path_[length++] = node.byte;
        const int packed = node.flags & kPackedMask;
        for (int j = 0; j < packed; ++j) path_[length++] = static_cast<uint8_t>(node.next >> (8 * j));
        const bool ends = (node.flags & kKeyEnds) != 0 || node.child == 0;
        // A key that is a prefix of others is smaller than they are.
        if (ends && ascending_) EmitKey(length);
        if (node.child != 0) WalkRun(node.child, length);
        if (ends && !ascending_) EmitKey(length);
        id = packed ? 0 : node.next;
    }
}

void TnvSort::EmitKey(int length) {
    const int shared = std::min({sharedLength_, previousLength_, length});
    pathKey_.PutBinary(path_.data(), length);
    currentRun_->Add(pathKey_, path_[0], length - shared);
    sharedLength_ = length;
    previousLength_ = length;
}

// Orders runs by their current entries; ties go to the earlier run, as in a scan of the runs
// from first to last that only replaces its candidate with a strictly better entry.
class TnvSort::RunOrder {
public:
    explicit RunOrder(const TnvSort& sort) : sort_(sort) {}
    // True when run `a` delivers after run `b` (the heap keeps the first-delivered on top).
    bool operator()(int a, int b) const {
        const TnvVariant& x = sort_.runs_.Items(a)->Current();
        const TnvVariant& y = sort_.runs_.Items(b)->Current();
        int c = Compare(x.Data(), x.Length(), y.Data(), y.Length());
        if (!sort_.ascending_) c = -c;
        if (c != 0) return c > 0;
        return a > b;
    }

private:
    int Compare(const uint8_t* x, int nx, const uint8_t* y, int ny) const {
        const int n = std::min(nx, ny);
        if (sort_.collation_ && n > 0 && x[0] == kTagCharacter && y[0] == kTagCharacter) {
            for (int i = 1; i < n; ++i) {
                if (x[i] != y[i]) return sort_.rank_[x[i]] < sort_.rank_[y[i]] ? -1 : 1;
            }
        } else if (n > 0) {
            const int c = std::memcmp(x, y, static_cast<std::size_t>(n));
            if (c != 0) return c < 0 ? -1 : 1;
        }
        return nx == ny ? 0 : (nx < ny ? -1 : 1);
    }
    const TnvSort& sort_;
};

void TnvSort::BeginRetrieval() {
    WriteRun();
    accepting_ = false;
    blocks_.clear();
    heap_.clear();
    for (int i = 0; i < runs_.Count(); ++i) {
        if (runs_.Items(i)->Positioned()) heap_.push_back(i);
    }
    std::make_heap(heap_.begin(), heap_.end(), RunOrder(*this));
}

// Takes the first entry in order off the runs; `bytes` stays valid until the next call.
bool TnvSort::Pop(const uint8_t*& bytes, int& length) {
    if (accepting_) BeginRetrieval();
    if (heap_.empty()) return false;
    const RunOrder order(*this);
    std::pop_heap(heap_.begin(), heap_.end(), order);
    TnvPageCollection* run = runs_.Items(heap_.back());
    const TnvVariant& current = run->Current();
    length = current.Length();
    std::memcpy(path_.data(), current.Data(), static_cast<std::size_t>(length));
    bytes = path_.data();
    if (run->Next())
        std::push_heap(heap_.begin(), heap_.end(), order);
    else
        heap_.pop_back();
    return true;
}

void TnvSort::Decode(const uint8_t* bytes, int length, TnvVariant& result, int32_t& recNo) const {
    const uint32_t rec = nvbytes::LoadBE32(bytes + length - kRecNoBytes);
    recNo = static_cast<int32_t>(ascending_ ? rec : ~rec);
    const uint8_t* key = bytes + 1;
    const int keyLength = length - 1 - kRecNoBytes;
    switch (bytes[0]) {
        case kTagNumeric: {
            // Missing low bytes (shorter images) stand for zero bytes of the double.
            uint64_t stored = 0;
            uint64_t mask = 0;
            for (int j = 0; j < keyLength && j < 8; ++j) {
                stored |= static_cast<uint64_t>(key[j]) << (56 - 8 * j);
                mask |= 0xFFull << (56 - 8 * j);
            }
            const uint64_t bits = (stored & kSignBit) ? (stored & ~kSignBit) : (~stored & mask);
            result.PutNumber(std::bit_cast<double>(bits));
            break;
        }
        case kTagDate:
            result.PutDate(static_cast<int32_t>(nvbytes::LoadBE32(key)));
            break;
        case kTagCharacter:
            result.PutString(std::string_view(reinterpret_cast<const char*>(key),
                                              static_cast<std::size_t>(keyLength)));
            break;
        default:
            result.PutBinary(key, keyLength);
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

bool TnvSort::NextUnique(TnvVariant& result, int32_t& recNo) {
    const uint8_t* bytes;
    int length;
    for (;;) {
        if (!Pop(bytes, length)) return false;
        const int valueLength = length - kRecNoBytes;
        if (unique_) {
            if (haveLast_ && SameValue(bytes, valueLength, last_.data(), static_cast<int>(last_.size())))
                continue;
            last_.assign(bytes, bytes + valueLength);
            haveLast_ = true;
        }
        Decode(bytes, length, result, recNo);
        return true;
    }
}

int32_t NvSortRecords(TnvSort& sort, TnvSortRecordSource& source, const TnvSortProgress& progress) {
    auto report = [&](int32_t a, int32_t b, int32_t c) {
        if (progress) progress(a, b, c);
    };
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

int32_t NvSortDrain(TnvSort& sort, int32_t total, const TnvSortProgress& progress,
                    const std::function<void(const TnvVariant&, int32_t)>& sink) {
    auto report = [&](int32_t a, int32_t b, int32_t c) {
        if (progress) progress(a, b, c);
    };
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
    bool ok = true;
    if (!tag_.KeyEvaluate(key, ok)) key.PutString("");
    tag_.KeyFormat(key, partial_);
}

int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, bool partialKeys,
                   const std::function<void(const TnvVariant&, int32_t)>& sink) {
    TnvTagRecordSource source(tag, partialKeys);
    return NvBuildTag(tag, sort, source, sink);
}

int32_t NvBuildTag(NVobjIndexTag& tag, TnvSort& sort, TnvSortRecordSource& source,
                   const std::function<void(const TnvVariant&, int32_t)>& sink) {
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
    TnvSortProgress progress;
    if (table) progress = [table](int32_t a, int32_t b, int32_t c) { table->BuildProgress(a, b, c); };
    int32_t total = source.RecordCount();
    NvSortRecords(sort, source, progress);
    return NvSortDrain(sort, total, progress, sink);
}

// ---- NVobjPageBuilder ---------------------------------------------------------------

NVobjPageBuilder::NVobjPageBuilder(NVobjIndexTag* tag, std::function<void()> emptyRoot)
    : tag_(tag), emptyRoot_(std::move(emptyRoot)) {}

NVobjPageBuilder::~NVobjPageBuilder() = default;

void NVobjPageBuilder::Add(const TnvVariant& key, int32_t recNo) { Push(0, key, recNo); }

std::unique_ptr<NVobjIndexKey> NVobjPageBuilder::NewPage(std::size_t level) const {
    auto page = std::make_unique<NVobjIndexKey>(tag_, nullptr);
    page->kind = level == 0 ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
    return page;
}

void NVobjPageBuilder::Push(std::size_t level, const TnvVariant& key, int32_t reference) {
    // Deeper than any tree of these formats can be: the key stream cannot be right.
    if (level >= static_cast<std::size_t>(NVobjIndexTag::kMaxDepth)) tag_->RaiseCorrupt();
    if (levels_.size() <= level) levels_.push_back(Level{NewPage(level), nullptr});
    if (levels_[level].open->Count() >= tag_->maxEntries) {
        // The open page is full; the one held before it is now known to have a successor.
        std::unique_ptr<NVobjIndexKey> done = std::move(levels_[level].held);
        levels_[level].held = std::move(levels_[level].open);
        levels_[level].open = NewPage(level);
        if (done) Write(level, *done);
    }
    auto entry = std::make_unique<NVobjIndexKeyData>();
    static_cast<TnvVariant&>(*entry) = key;
    entry->reference = reference;
    levels_[level].open->Add(entry.release());
}

void NVobjPageBuilder::Write(std::size_t level, NVobjIndexKey& page) {
    page.address = tag_->File()->NewPage();
    if (page.address <= 0) tag_->RaiseCorrupt();
    tag_->PageStore(page);
    const TnvVariant high(*page.Items(page.Count() - 1));
    Push(level + 1, high, page.address);
}

int32_t NVobjPageBuilder::Finish() {
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
