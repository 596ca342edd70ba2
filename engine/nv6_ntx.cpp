#include "nv6_ntx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "nv6_bytes.h"
#include "nv6_cnst.h"
#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

namespace {

constexpr int kPage = NVobjNTXTag::kPage;
constexpr uint16_t kCounterWrap = 32767;
// Default geometry of a numeric key whose expression is not a plain field.
constexpr int16_t kNumberLength = 18;
constexpr int16_t kNumberDecimals = 4;

// The framework's highest key for the right-most pointer of a page.
NVobjIndexKeyData Sentinel(int32_t reference) {
    NVobjIndexKeyData key;
    const char top = static_cast<char>(0xFF);
    key.PutString(std::string_view(&top, 1));
    key.recNo = 0;
    key.reference = reference;
    return key;
}

bool IsSentinel(const NVobjIndexKeyData& key) {
    return key.recNo == 0 && key.Length() == 1 && key.Data()[0] == 0xFF;
}

// Fixed-point digits of |number| in `length` characters with leading zeros; too wide (or not
// a number) clamps to all nines so that the order stays right. Negative values have every
// digit complemented (c becomes 92 - c) so that they sort before the others, larger
// magnitudes first.
std::string NumberKey(double number, int length, int decimals) {
    std::string text;
    const double magnitude = std::fabs(number);
    if (std::isfinite(magnitude) && magnitude < 1e300) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 340);
        int n = std::snprintf(buffer.data(), buffer.size(), "%*.*f", length, decimals, magnitude);
        if (n > 0 && n <= length) text.assign(buffer.data(), static_cast<std::size_t>(n));
    }
    if (text.empty()) {
        text.assign(static_cast<std::size_t>(length), '9');
        if (decimals > 0 && length > decimals) text[static_cast<std::size_t>(length - decimals - 1)] = '.';
    }
    bool nonZero = false;
    for (char& c : text) {
        if (c == ' ') c = '0';
        if (c >= '1' && c <= '9') nonZero = true;
    }
    // A negative value that rounds to zero is zero: it must meet the key of 0.
    if (number < 0 && nonZero)
        for (char& c : text)
            if (c >= '0' && c <= '9') c = static_cast<char>(92 - c);
    return text;
}

}  // namespace

// The bytes of one page and the checked positions of its entries.
struct NVobjNTXTag::Raw {
    uint8_t bytes[kPage];
    int count = 0;
    bool leaf = true;
    const uint8_t* Entry(int slot) const { return bytes + nvbytes::LoadLE16(bytes + 2 * slot); }
    int32_t Child(int slot) const { return static_cast<int32_t>(nvbytes::LoadLE32(Entry(slot))); }
    int32_t Record(int slot) const { return static_cast<int32_t>(nvbytes::LoadLE32(Entry(slot) + 4)); }
};

// ---- NVobjNTXTag ---------------------------------------------------------------------

NVobjNTXTag::NVobjNTXTag(NVobjIndexFile* file, int32_t header) : NVobjIndexTag(file, header) {
    formatName = "NTX";
    // STR() without a width keeps the argument's own length, as NTX programs compute keys.
    expressionOptions = -1;
}

NVobjNTXTag::~NVobjNTXTag() {
    try {
        PageRelease();
    } catch (...) {
        // Nothing can be reported from here; the cursor releases its tags before closing.
    }
}

NVobjNTXFile* NVobjNTXTag::NtxFile() const { return static_cast<NVobjNTXFile*>(File()); }

void NVobjNTXTag::SetKeyLength(int16_t length) {
    keyLength = length;
    entryLength = static_cast<int16_t>(length + 8);
    halfPage = static_cast<int16_t>((1020 / (length + 10) - 1) / 2);
    maxItems_ = static_cast<int16_t>(2 * halfPage);
    maxEntries = static_cast<int16_t>(maxItems_ + 1);
}

std::string NVobjNTXTag::PageKey(const TnvVariant& value) const {
    std::string key(static_cast<std::size_t>(keyLength), ' ');
    std::string_view text = value.View();
    std::memcpy(key.data(), text.data(), std::min(text.size(), key.size()));
    return key;
}

void NVobjNTXTag::KeyFormat(TnvVariant& value, bool partial) {
    switch (keyType) {
        case 'N': {
            // Text is taken as a key image already (a search on a key read from the tag).
            if (value.Kind() == TnvVariant::kCharacter) break;
            double number = 0;
            if (!value.IsEmpty()) number = value.Kind() == TnvVariant::kDate ? value.AsDate() : value.AsNumber();
            value.PutString(NumberKey(number, keyLength, decimals));
            return;
        }
        case 'D': {
            std::string text;
            if (value.Kind() == TnvVariant::kDate)
                text = DBFDate.DayToStor(value.AsDate());
            else if (value.Kind() == TnvVariant::kNumeric)
                text = DBFDate.DayToStor(static_cast<int32_t>(value.AsNumber()));
            else
                text = value.AsString();
            // A blank date is stored as blanks; a zero date from elsewhere means the same.
            if (text.empty() || text == "00000000") text.assign(8, ' ');
            value.PutString(text);
            break;
        }
        default:
            if (value.Kind() != TnvVariant::kCharacter) value.PutString(value.AsString());
            if (File()->upperCaseKeys) value.UpperCase();
            // Pages keep key length bytes: a longer value (a key expression whose length
            // varies) is that key, and the build's sort takes no more.
            if (keyLength > 0 && value.Length() > keyLength) {
                const std::string cut(value.View().substr(0, static_cast<std::size_t>(keyLength)));
                value.PutString(cut);
            }
            break;
    }
    if (partial) value.TrimRight();
}

bool NVobjNTXTag::TagCreate(std::string_view name, std::string_view keyExpr, bool isUnique, bool isAscending,
                            std::string_view forExpr) {
    NVobjIndexTag::TagCreate(name, keyExpr, isUnique, isAscending, forExpr);
    descendingCompare = !ascending;
    decimals = 0;
    TnvVariant trial(256);
    bool ok;
    if (!KeyEvaluate(trial, ok)) return false;
    int32_t length = 0;
    switch (trial.Kind()) {
        case TnvVariant::kNumeric: {
            keyType = 'N';
            length = kNumberLength;
            decimals = kNumberDecimals;
            std::string field = keyExpression.substr(0, keyExpression.find(' '));
            int fieldLength = 0;
            int fieldDecimals = 0;
            TnvIndexTable* table = File()->Table();
            if (table && table->FieldSize(field, fieldLength, fieldDecimals) && fieldLength > 0) {
                length = fieldLength;
                decimals = static_cast<int16_t>(std::clamp(fieldDecimals, 0, fieldLength));
            }
            break;
        }
        case TnvVariant::kDate:
            keyType = 'D';
            length = 8;
            break;
        default:
            keyType = 'C';
            length = CharacterKeyLength(trial);
            break;
    }
    // The builders sort key length + 1 bytes: a longer key could be created but never rebuilt.
    if (length + 1 > TnvSort::kMaxKeyLength) NvRaise(TnvMsg::SortKeyLength, {TnvSort::kMaxKeyLength, length + 1});
    SetKeyLength(static_cast<int16_t>(std::max<int32_t>(length, 1)));
    if (header_.size() != static_cast<std::size_t>(kPage)) header_.assign(kPage, 0);
    std::vector<uint8_t> zero(kPage, 0);
    File()->PageWrite(headerAddress, zero.data(), kPage);
    TnvIndexTable* table = File()->Table();
    if (table && table->RecordCount() > 0) {
        NVobjSortNTX(this).Build();
        return true;
    }
    root = File()->NewPage();
    WritePage(root, nullptr, 0, 0);
    dirty = true;
    TagStore();
    return true;
}

bool NVobjNTXTag::KeyAdd(NVobjIndexKeyData& key) {
    // The entry may end up as a separator in an interior page, which keeps only the record
    // number field: it must hold the record.
    key.recNo = key.reference;
    return NVobjIndexTag::KeyAdd(key);
}

int32_t NVobjNTXTag::RootPage() {
    parents_.clear();
    // Read from the header's start: an enciphered header deciphers from its first byte.
    uint8_t buffer[8];
    if (File()->PageRead(headerAddress, buffer, 8)) root = static_cast<int32_t>(nvbytes::LoadLE32(buffer + 4));
    return root;
}

bool NVobjNTXTag::ReadRaw(int32_t address, Raw& raw) {
    if (address < kPage || address % kPage != 0 || maxItems_ <= 0 || entryLength <= 8) return false;
    if (!File()->PageRead(address, raw.bytes, kPage)) return false;
    raw.count = nvbytes::LoadLE16(raw.bytes);
    if (raw.count > maxItems_) return false;
    // Entries are reached through the offset table only; each slot must lie inside the page.
    for (int slot = 1; slot <= raw.count + 1; ++slot) {
        const int at = nvbytes::LoadLE16(raw.bytes + 2 * slot);
        if (at < 2 || at + entryLength > kPage) return false;
    }
    raw.leaf = raw.Child(1) == 0;
    if (!raw.leaf) {
        const int64_t size = File()->diskFile ? File()->diskFile->FileSize() : 0;
        std::vector<int32_t> children;
        for (int slot = 1; slot <= raw.count + 1; ++slot) {
            const int64_t child = static_cast<uint32_t>(raw.Child(slot));
            if (child < kPage || child % kPage != 0 || child + kPage > size || child == address) return false;
            children.push_back(static_cast<int32_t>(child));
        }
        // A page named twice would have its subtree walked again for every mention.
        std::sort(children.begin(), children.end());
        if (std::adjacent_find(children.begin(), children.end()) != children.end()) return false;
    }
    return true;
}

bool NVobjNTXTag::RightMost(const NVobjIndexKey& page) const {
    const NVobjIndexKey* below = &page;
    for (const NVobjIndexKey* up = page.Parent(); up; up = up->Parent()) {
        if (up->Count() == 0 || up->Items(up->Count() - 1)->reference != below->address) return false;
        below = up;
    }
    return true;
}

int NVobjNTXTag::PageLoad(int32_t address, NVobjIndexKey& page) {
    Raw raw;
    if (!ReadRaw(address, raw)) return 1;
    // In a tree every page has one parent. Pages shared between parents would make a walk
    // visit them (and all below them) once per path, which grows without bound; the record
    // holds from the root read until the next page write changes the tree.
    const int32_t parentAddress = page.Parent() ? page.Parent()->address : 0;
    auto known = parents_.emplace(address, parentAddress);
    if (!known.second && known.first->second != parentAddress) return 1;
    page.kind = raw.leaf ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
    for (int slot = 1; slot <= raw.count; ++slot) {
        const uint8_t* e = raw.Entry(slot);
        auto entry = std::make_unique<NVobjIndexKeyData>();
        int len = e[8] == 0 ? 0 : keyLength;
        while (len > 0 && e[8 + len - 1] == ' ') --len;
        std::string_view text(reinterpret_cast<const char*>(e + 8), static_cast<std::size_t>(len));
        if (keyType == 'D' && text == "00000000") text = std::string_view();
        entry->PutString(text);
        entry->recNo = raw.Record(slot);
        entry->reference = raw.leaf ? entry->recNo : raw.Child(slot);
        page.Add(entry.release());
    }
    const bool rightMost = RightMost(page);
    const NVobjIndexKey* parent = page.Parent();
    const NVobjIndexKeyData* above = nullptr;
    if (parent && parent->current >= 0 && parent->current < parent->Count()) above = parent->Items(parent->current);
    if (!raw.leaf) {
        // The right-most pointer carries the subtree's highest key: the separator above it.
        NVobjIndexKeyData last = above ? *above : Sentinel(0);
        last.reference = raw.Child(raw.count + 1);
        page.Add(last.Duplicate().release());
    } else if (above && !rightMost && !IsSentinel(*above)) {
        // The separator after this leaf lives in an ancestor; the framework sees it here.
        NVobjIndexKeyData last(*above);
        last.reference = last.recNo;
        page.Add(last.Duplicate().release());
    }
    return 0;
}

void NVobjNTXTag::WritePage(int32_t address, const Entry* entries, int keys, int32_t rightChild) {
    if (keys < 0 || keys > maxItems_) RaiseCorrupt();
    parents_.clear();
    uint8_t block[kPage] = {};
    nvbytes::StoreLE16(block, static_cast<uint16_t>(keys));
    for (int slot = 1; slot <= maxItems_ + 1; ++slot)
        nvbytes::StoreLE16(block + 2 * slot, static_cast<uint16_t>((slot - 1) * entryLength + 2 * maxItems_ + 4));
    for (int i = 0; i < keys; ++i) {
        uint8_t* e = block + nvbytes::LoadLE16(block + 2 * (i + 1));
        nvbytes::StoreLE32(e, static_cast<uint32_t>(entries[i].child));
        nvbytes::StoreLE32(e + 4, static_cast<uint32_t>(entries[i].recNo));
        std::memset(e + 8, ' ', static_cast<std::size_t>(keyLength));
        std::memcpy(e + 8, entries[i].key.data(), std::min(entries[i].key.size(), static_cast<std::size_t>(keyLength)));
    }
    if (rightChild != 0) {
        uint8_t* e = block + nvbytes::LoadLE16(block + 2 * (keys + 1));
        nvbytes::StoreLE32(e, static_cast<uint32_t>(rightChild));
    }
    File()->PageWrite(address, block, kPage);
}

void NVobjNTXTag::SplitPage(NVobjIndexKey& page, bool rightMost) {
    auto stored = [&page, rightMost] {
        return page.Count() - ((page.IsInterior() || !rightMost) ? 1 : 0);
    };
    while (stored() > maxItems_) {
        const bool interior = page.IsInterior();
        // A page that took in a neighbour's entries can hold more than two pages' worth; the
        // left part keeps all but its last entry.
        const int n = std::min<int>(page.Count() - page.Count() / 2, maxItems_ + 1);
        std::vector<Entry> left;
        for (int i = 0; i < n; ++i) {
            const NVobjIndexKeyData& item = *page.Items(i);
            left.push_back({std::string(item.View()), interior ? item.recNo : item.reference,
                            interior ? item.reference : 0});
        }
        const int32_t address = File()->NewPage();
        if (address <= 0) RaiseCorrupt();
        // The left part's last entry becomes the separator in the parent; in an interior
        // page its child stays behind as the right-most pointer.
        WritePage(address, left.data(), n - 1, interior ? left[static_cast<std::size_t>(n - 1)].child : 0);
        NVobjIndexKeyData separator(*page.Items(n - 1));
        separator.recNo = left[static_cast<std::size_t>(n - 1)].recNo;
        separator.reference = address;
        for (int i = 0; i < n; ++i) page.ExtractAt(0);
        page.InsertInParent(separator);
        page.current = std::clamp(page.current - n, 0, std::max(page.Count() - 1, 0));
        page.stale = true;
    }
    if (page.kind == NVobjIndexKey::kNewRoot && page.Parent()) page.kind = NVobjIndexKey::kInterior;
}

int NVobjNTXTag::PageStore(NVobjIndexKey& page) {
    const bool rightMost = RightMost(page);
    SplitPage(page, rightMost);
    const bool interior = page.IsInterior() && page.Count() > 0;
    const int count = page.Count();
    const int keys = std::max(0, count - ((interior || !rightMost) ? 1 : 0));
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(keys));
    for (int i = 0; i < keys; ++i) {
        const NVobjIndexKeyData& item = *page.Items(i);
        entries.push_back({std::string(item.View()), interior ? item.recNo : item.reference,
                           interior ? item.reference : 0});
    }
    WritePage(page.address, entries.data(), keys, interior ? page.Items(count - 1)->reference : 0);
    return 0;
}

bool NVobjNTXTag::PageUnderfull(const NVobjIndexKey& page) const { return StoredKeys(page) < 1; }

int NVobjNTXTag::StoredKeys(const NVobjIndexKey& page) const {
    return page.Count() - ((page.IsInterior() || !RightMost(page)) ? 1 : 0);
}

bool NVobjNTXTag::TagLoad() {
    dirty = false;
    header_.assign(kPage, 0);
    uint8_t* h = header_.data();
    if (!File()->PageRead(headerAddress, h, kPage)) return false;
    const int signature = nvbytes::LoadLE16(h);
    if (signature != 6 && signature != 7) return false;
    NtxFile()->changeCounter = nvbytes::LoadLE16(h + 2);
    root = static_cast<int32_t>(nvbytes::LoadLE32(h + 4));
    entryLength = static_cast<int16_t>(nvbytes::LoadLE16(h + 12));
    const int storedKeyLength = nvbytes::LoadLE16(h + 14);
    decimals = static_cast<int16_t>(nvbytes::LoadLE16(h + 16));
    maxItems_ = static_cast<int16_t>(nvbytes::LoadLE16(h + 18));
    halfPage = static_cast<int16_t>(nvbytes::LoadLE16(h + 20));
    const int64_t size = File()->diskFile ? File()->diskFile->FileSize() : 0;
    // Lengths that cannot describe a page would send every page read out of bounds.
    if (storedKeyLength < 1 || entryLength != storedKeyLength + 8 || maxItems_ < 2 ||
        (maxItems_ + 1) * (entryLength + 2) + 2 > kPage || decimals < 0 || decimals > storedKeyLength ||
        root < kPage || root % kPage != 0 || root + kPage > size)
        return false;
    keyLength = static_cast<int16_t>(storedKeyLength);
    maxEntries = static_cast<int16_t>(maxItems_ + 1);
    auto text = [h](int at, int width) {
        int len = 0;
        while (len < width && h[at + len] != 0) ++len;
        return std::string(reinterpret_cast<const char*>(h + at), static_cast<std::size_t>(len));
    };
    keyExpression = text(kKeyExprAt, kUniqueAt - kKeyExprAt);
    unique = (h[kUniqueAt] & 1) != 0;
    // Some programs of the family keep the flag one byte further on.
    const bool descending = h[kDescendingAt] != 0 || h[kDescendingAltAt] != 0;
    ascending = !descending;
    descendingCompare = descending;
    hasFor = (signature & 1) != 0;
    forExpression = hasFor ? text(kForExprAt, kPage - kForExprAt) : std::string();
    if (forExpression.empty()) hasFor = false;
    CompileKey();
    CompileFor();
    TnvVariant trial(256);
    bool ok;
    if (KeyEvaluate(trial, ok)) {
        if (trial.Kind() == TnvVariant::kDate)
            keyType = 'D';
        else if (trial.Kind() == TnvVariant::kNumeric)
            keyType = 'N';
        else
            keyType = 'C';
    }
    return true;
}

void NVobjNTXTag::WriteHeader() {
    if (header_.size() != static_cast<std::size_t>(kPage)) header_.assign(kPage, 0);
    uint8_t* h = header_.data();
    std::memset(h, 0, kKeptFrom);
    nvbytes::StoreLE16(h, hasFor ? 7 : 6);
    nvbytes::StoreLE16(h + 2, NtxFile()->changeCounter);
    nvbytes::StoreLE32(h + 4, static_cast<uint32_t>(root));
    nvbytes::StoreLE16(h + 12, static_cast<uint16_t>(entryLength));
    nvbytes::StoreLE16(h + 14, static_cast<uint16_t>(keyLength));
    nvbytes::StoreLE16(h + 16, static_cast<uint16_t>(decimals));
    nvbytes::StoreLE16(h + 18, static_cast<uint16_t>(maxItems_));
    nvbytes::StoreLE16(h + 20, static_cast<uint16_t>(halfPage));
    std::size_t len = std::min<std::size_t>(keyExpression.size(), kUniqueAt - kKeyExprAt - 1);
    std::memcpy(h + kKeyExprAt, keyExpression.data(), len);
    h[kUniqueAt] = unique ? 1 : 0;
    // Both places, so that programs reading either one see a descending tag.
    h[kDescendingAt] = ascending ? 0 : 1;
    h[kDescendingAltAt] = ascending ? 0 : 1;
    if (hasFor) {
        len = std::min<std::size_t>(forExpression.size(), kPage - kForExprAt - 1);
        std::memcpy(h + kForExprAt, forExpression.data(), len);
        h[kForExprAt + len] = 0;
    }
    File()->PageWrite(headerAddress, h, kPage);
}

void NVobjNTXTag::TagStore() {
    if (dirty) WriteHeader();
    dirty = false;
}

// ---- NVobjSortNTX --------------------------------------------------------------------

// A descending order is sorted ascending over complemented keys: a descending byte sort
// would put a key before the longer keys it is a prefix of (the record number it carries
// comes where their next character is), and equal keys would come out in falling record
// order. Complemented and filled up with 0xFF, a shorter key sorts after its extensions, and
// equal keys stay in rising record order. The bytes go in as binary so that nothing is trimmed.
class NVobjSortNTX::Flipped : public TnvSortRecordSource {
public:
    Flipped(TnvSortRecordSource& records, int keyLength) : records_(records), keyLength_(keyLength) {}
    int32_t RecordCount() override { return records_.RecordCount(); }
    bool NextRecord() override { return records_.NextRecord(); }
    int32_t RecordNumber() override { return records_.RecordNumber(); }
    bool ForHolds() override { return records_.ForHolds(); }
    void KeyValue(TnvVariant& key) override {
        records_.KeyValue(key);
        std::string bytes(key.View().substr(0, static_cast<std::size_t>(keyLength_)));
        for (char& c : bytes) c = static_cast<char>(~static_cast<unsigned char>(c));
        bytes.resize(static_cast<std::size_t>(keyLength_), static_cast<char>(0xFF));
        key.PutBinary(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    // The key text back from its sorted form.
    static std::string Restore(std::string_view bytes) {
        while (!bytes.empty() && static_cast<unsigned char>(bytes.back()) == 0xFF) bytes.remove_suffix(1);
        std::string text(bytes);
        for (char& c : text) c = static_cast<char>(~static_cast<unsigned char>(c));
        return text;
    }

private:
    TnvSortRecordSource& records_;
    int keyLength_;
};

NVobjSortNTX::NVobjSortNTX(NVobjNTXTag* tag)
    : TnvSort(tag->keyLength + 1, tag->Collation(), true, tag->unique), tag_(tag) {}

NVobjSortNTX::~NVobjSortNTX() = default;

int32_t NVobjSortNTX::Build() {
    tag_->PageRelease();
    TnvTagRecordSource records(*tag_, true);
    Flipped flipped(records, tag_->keyLength);
    const bool flip = !tag_->ascending;
    TnvSortRecordSource& source = flip ? static_cast<TnvSortRecordSource&>(flipped) : records;
    NvWriteBehindScope pages(tag_->File()->diskFile.get());
    TnvVariant decoded;
    const int32_t written = NvBuildTagKeys(*tag_, *this, source, [&](const TnvSortKey& key) {
        std::string_view text(reinterpret_cast<const char*>(key.bytes), static_cast<std::size_t>(key.length));
        if (key.kind != TnvVariant::kCharacter && key.kind != TnvVariant::kBinary) {
            DecodeKey(key, decoded);
            text = decoded.View();
        }
        AddKey(0, NVobjNTXTag::Entry{flip ? Flipped::Restore(text) : KeyText(text), key.recNo, 0});
    });
    Finish();
    tag_->TagStore();
    pages.Finish();
    return written;
}

std::string NVobjSortNTX::KeyText(std::string_view key) {
    if (spare_.empty()) return std::string(key);
    std::string text = std::move(spare_.back());
    spare_.pop_back();
    text.assign(key);
    return text;
}

NVobjSortNTX::Level& NVobjSortNTX::At(std::size_t level) {
    // Deeper than any tree of this file could be: the key stream cannot be right.
    if (level >= static_cast<std::size_t>(NVobjIndexTag::kMaxDepth)) tag_->RaiseCorrupt();
    while (levels_.size() <= level) {
        Level made;
        const int64_t m = tag_->MaxItems();
        // With n keys to place and at most m to a page, d = n / m + 1 pages take an even
        // share each; the level above gets one key per page boundary.
        made.expected = levels_.empty() ? std::max<int64_t>(KeyCount(), 1)
                                        : levels_.back().expected / (levels_.back().share + 1) + 1;
        const int64_t pages = made.expected / m + 1;
        made.share = static_cast<int>(std::clamp<int64_t>((made.expected + pages - 1) / pages, 1, m));
        levels_.push_back(std::move(made));
    }
    return levels_[level];
}

void NVobjSortNTX::AddChild(std::size_t level, int32_t child) { At(level).open.right = child; }

void NVobjSortNTX::AddKey(std::size_t level, NVobjNTXTag::Entry entry) {
    Level& at = At(level);
    if (static_cast<int>(at.open.keys.size()) < at.share) {
        entry.child = at.open.right;
        at.open.right = 0;
        at.open.keys.push_back(std::move(entry));
        return;
    }
    // The open page is complete and `entry` follows it; the page held before it is not the
    // level's last and can be written.
    Page done = std::move(at.held);
    NVobjNTXTag::Entry doneSeparator = std::move(at.separator);
    const bool wasHolding = at.holding;
    at.held = std::move(at.open);
    at.open = Page{};
    at.separator = std::move(entry);
    at.holding = true;
    if (!wasHolding) return;
    const int32_t address = Write(done);
    // The written page's list takes the next page's keys, and its key texts are kept for
    // the keys to come: no allocation per key.
    for (NVobjNTXTag::Entry& e : done.keys) spare_.push_back(std::move(e.key));
    done.keys.clear();
    at.open.keys.swap(done.keys);
    AddChild(level + 1, address);
    AddKey(level + 1, std::move(doneSeparator));
}

int32_t NVobjSortNTX::Write(const Page& page) {
    const int32_t address = tag_->File()->NewPage();
    if (address <= 0) tag_->RaiseCorrupt();
    tag_->WritePage(address, page.keys.data(), static_cast<int>(page.keys.size()), page.right);
    return address;
}

int32_t NVobjSortNTX::Finish() {
    if (finished_) return tag_->root;
    finished_ = true;
    if (levels_.empty()) {
        tag_->root = Write(Page{});
        tag_->dirty = true;
        return tag_->root;
    }
    for (std::size_t level = 0;; ++level) {
        Level& at = levels_[level];
        const bool top = level + 1 == levels_.size();
        std::vector<Page> pages;
        NVobjNTXTag::Entry separator;
        if (!at.holding) {
            pages.push_back(std::move(at.open));
        } else {
            Page held = std::move(at.held);
            Page open = std::move(at.open);
            separator = std::move(at.separator);
            if (!open.keys.empty() && open.keys.size() >= held.keys.size() / 2) {
                pages.push_back(std::move(held));
                pages.push_back(std::move(open));
            } else {
                // The last page is short: its keys, the separator and the held page's keys
                // make one page when they fit, else two of about the same size.
                Page all = std::move(held);
                separator.child = all.right;
                all.keys.push_back(std::move(separator));
                for (NVobjNTXTag::Entry& e : open.keys) all.keys.push_back(std::move(e));
                all.right = open.right;
                const int total = static_cast<int>(all.keys.size());
                if (total <= tag_->MaxItems()) {
                    pages.push_back(std::move(all));
                } else {
                    const int left = (total - 1) - (total - 1) / 2;
                    Page first, second;
                    first.keys.assign(std::make_move_iterator(all.keys.begin()),
                                      std::make_move_iterator(all.keys.begin() + left));
                    separator = std::move(all.keys[static_cast<std::size_t>(left)]);
                    first.right = separator.child;
                    second.keys.assign(std::make_move_iterator(all.keys.begin() + left + 1),
                                       std::make_move_iterator(all.keys.end()));
                    second.right = all.right;
                    pages.push_back(std::move(first));
                    pages.push_back(std::move(second));
                }
            }
        }
        if (top && pages.size() == 1) {
            tag_->root = Write(pages[0]);
            break;
        }
        const int32_t first = Write(pages[0]);
        AddChild(level + 1, first);
        if (pages.size() == 2) {
            AddKey(level + 1, std::move(separator));
            AddChild(level + 1, Write(pages[1]));
        }
    }
    tag_->dirty = true;
    return tag_->root;
}

// ---- NVobjNTXFile --------------------------------------------------------------------

NVobjNTXFile::NVobjNTXFile(TnvIndexTable* owner, std::string_view name) : NVobjIndexFile(owner, name) {}

NVobjNTXFile::~NVobjNTXFile() { tags.FreeAll(); }

std::string NVobjNTXFile::TagNameOf(std::string_view path) {
    std::string name = nvlocale::AnsiUpperCase(BaseName(path));
    if (name.size() > 10) name.resize(10);
    return name;
}

std::unique_ptr<NVobjNTXFile> NVobjNTXFile::Open(TnvIndexTable* table, std::string_view path, bool create,
                                                 bool overwrite, bool shared) {
    auto file = std::make_unique<NVobjNTXFile>(table, path);
    bool made = false;
    if (!file->OpenDisk(path, ".ntx", overwrite, create, shared, made)) return nullptr;
    if (made) {
        file->nextPage = 0;
        file->changeCounter = 1;
    } else {
        auto tag = std::make_unique<NVobjNTXTag>(file.get(), 0);
        tag->tagName = TagNameOf(file->fileName);
        if (!tag->TagLoad()) file->corrupt = true;
        file->tags.Add(tag.release());
        file->SetEnd();
    }
    file->opened = true;
    return file;
}

bool NVobjNTXFile::TagAdd(std::string_view, std::string_view keyExpression, bool unique, bool ascending,
                          std::string_view forExpression) {
    tags.FreeAll();
    nextPage = 0;
    auto tag = std::make_unique<NVobjNTXTag>(this, NewPage());
    tag->tagName = TagNameOf(fileName);
    NVobjNTXTag* made = tag.get();
    tags.Add(tag.release());
    return BuildOnlyTag(made, keyExpression, unique, ascending, forExpression);
}

int32_t NVobjNTXFile::NewPage() {
    if (nextPage < 0) SetEnd();
    const int32_t page = nextPage;
    nextPage += kPage;
    return page;
}

int32_t NVobjNTXFile::SetEnd() {
    const int64_t size = diskFile ? diskFile->FileSize() : 0;
    // A file whose size is not a whole number of pages still gets its new pages aligned.
    nextPage = static_cast<int32_t>((size + kPage - 1) / kPage * kPage);
    return nextPage;
}

bool NVobjNTXFile::RecordChanged(int32_t record, bool appending) {
    if (NVobjNTXTag* tag = Tag()) {
        // The counter goes up from what another program left in the file.
        ChangedByOther();
        changeCounter = changeCounter >= kCounterWrap ? 1 : static_cast<uint16_t>(changeCounter + 1);
        tag->dirty = true;
        tag->TagStore();
    }
    return NVobjIndexFile::RecordChanged(record, appending);
}

bool NVobjNTXFile::ChangedByOther() {
    if (!diskFile || !diskFile->Shared() || !Tag()) return false;
    // The whole header: an enciphered header deciphers from its first byte.
    uint8_t header[kPage];
    if (!PageReadFromDisk(0, header, kPage)) return false;
    const uint16_t counter = nvbytes::LoadLE16(header + 2);
    if (counter == changeCounter) return false;
    changeCounter = counter;
    ForgetPageCache();
    return true;
}

void NVobjNTXFile::Zap() {
    NVobjNTXTag* tag = Tag();
    if (!tag || !diskFile) return;
    tag->PageRelease();
    diskFile->Truncate(2 * kPage);
    tag->WritePage(kPage, nullptr, 0, 0);
    tag->root = kPage;
    // Counting on (rather than starting again at 1) lets a user whose counter happened to be
    // 1 see that the file changed.
    changeCounter = changeCounter >= kCounterWrap ? 1 : static_cast<uint16_t>(changeCounter + 1);
    // Pages added by key updates go after the empty root; a rebuild starts at 1,024 itself.
    nextPage = 2 * kPage;
    tag->WriteHeader();
    tag->dirty = false;
    diskFile->Flush();
}

void NVobjNTXFile::Reindex() {
    NVobjNTXTag* tag = Tag();
    if (!tag || !diskFile) return;
    tag->PageRelease();
    // Without a table no key can be evaluated: rebuilding would empty the tag.
    if (!table) return;
    const uint16_t counter = changeCounter;
    RebuildThrough([this](const std::string& path) -> std::unique_ptr<NVobjIndexFile> {
        auto scratch = Open(table, path, true, true, false);
        if (scratch) scratch->upperCaseKeys = upperCaseKeys;
        return scratch;
    },
                   [tag](NVobjIndexFile& scratch) {
                       if (!scratch.TagAdd(tag->tagName, tag->keyExpression, tag->unique, tag->ascending,
                                           tag->forExpression))
                           NvRaise(TnvMsg::IndexTagNotBuilt, {tag->tagName, scratch.MessageName()});
                   });
    if (!tag->TagLoad()) corrupt = true;
    // Counting on from the old counter lets other users see that the file changed.
    changeCounter = counter >= kCounterWrap ? 1 : static_cast<uint16_t>(counter + 1);
    tag->WriteHeader();
    SetEnd();
    diskFile->Flush();
}
