#include "nv6_cdx.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_cnst.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_os.h"

namespace {

constexpr int kLeafKeysAt = 24;
constexpr int kInteriorKeysAt = 12;
constexpr int kMaxKeyLength = 240;
constexpr int kExpressionArea = 512;
constexpr uint64_t kSignBit = 0x8000000000000000ull;

uint8_t g_collation = kCdxCollationMachine;
bool g_editInPlace = true;

// ---- General collation ----------------------------------------------------------------

// Primary weight of every byte.
constexpr uint8_t kPrimary[256] = {
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x11, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  // 0
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  // 1
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20,  // 2
    0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,  // 3
    0x27, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,  // 4
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x28, 0x29, 0x2A, 0x2B, 0x2C,  // 5
    0x2D, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,  // 6
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x2E, 0x2F, 0x30, 0x31, 0x10,  // 7
    0x10, 0x10, 0x18, 0x32, 0x13, 0x33, 0x34, 0x35, 0x36, 0x37, 0x76, 0x18, 0x00, 0x10, 0x10, 0x10,  // 8
    0x10, 0x18, 0x18, 0x13, 0x13, 0x38, 0x1E, 0x1E, 0x39, 0x3A, 0x76, 0x18, 0x00, 0x10, 0x10, 0x7D,  // 9
    0x20, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x13, 0x45, 0x1E, 0x46, 0x47,  // A
    0x48, 0x49, 0x58, 0x59, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x57, 0x4F, 0x13, 0x50, 0x51, 0x52, 0x53,  // B
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,  // C
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x54, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x0C,  // D
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,  // E
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x55, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x7D,  // F
};

// Secondary (diacritic) values of 0xC0..0xFF; below that only a few letters have one.
constexpr uint8_t kSecondaryHigh[64] = {
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,  // C
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x80,  // D
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,  // E
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x24,  // F
};

uint8_t Secondary(uint8_t c) {
    if (c >= 0xC0) return kSecondaryHigh[c - 0xC0];
    switch (c) {
        case 0x41: case 0x43: case 0x45: case 0x49: case 0x4E: case 0x4F: case 0x53: case 0x55: case 0x59:
        case 0x61: case 0x63: case 0x65: case 0x69: case 0x6E: case 0x6F: case 0x73: case 0x75: case 0x79:
            return 0x20;
        case 0x8A: case 0x9A: return 0x28;
        case 0x8C: case 0x9C: return 0x80;
        case 0x9F: return 0x24;
        case 0xA0: return 0x21;
        default: return 0;
    }
}

// The two-weight expansions. Every character whose secondary value is 0x80 takes both its
// primary weights and its diacritics from the record at its own primary weight: OE (0x8C,
// 0x9C), AE (0xC6, 0xE6), SS (0xDF) and TH for the thorn (0xDE, 0xFE). The thorn could also
// keep its single weight 0x12, but that weight sits among the punctuation marks and would put
// every word starting with a thorn before the digits; its record is flagged as an expansion
// like the other three, so it expands too and sorts with "TH" (both diacritics 0: no
// secondary bytes, so "Thorn" written either way gives the same key).
struct Expansion {
    uint8_t primary;
    uint8_t first, firstDiacritic, second, secondDiacritic;
};
constexpr Expansion kExpansions[] = {
    {0x00, 0x72, 0x20, 0x66, 0x20},
    {0x06, 0x60, 0x20, 0x66, 0x20},
    {0x0C, 0x76, 0x20, 0x76, 0x20},
    {0x12, 0x77, 0x00, 0x69, 0x00},
};

const Expansion* FindExpansion(uint8_t primary) {
    for (const Expansion& e : kExpansions)
        if (e.primary == primary) return &e;
    return nullptr;
}

// Trailing weights of 0xF0 and above are kept as their low nibble in a node.
void PackNibbles(uint8_t* bytes, int from, int length) {
    for (int i = length - 1; i >= from && bytes[i] >= 0xF0; --i) bytes[i] &= 0x0F;
}

void UnpackNibbles(uint8_t* bytes, int length) {
    for (int i = length - 1; i >= 1 && bytes[i] <= 0x0F; --i) bytes[i] |= 0xF0;
}

int Halvings(int keyLength) {
    int d = 0;
    for (int n = keyLength; n > 1; n /= 2) ++d;
    return d;
}

void StoreLE(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Bytes of an entry's value as a node stores them: cut to the key length, without the
// padding the node supplies again (blanks of text keys, zero bytes of number images).
std::string_view Stored(const TnvVariant& value, int keyLength, char pad, bool trimPad) {
    std::string_view v = value.View();
    if (static_cast<int>(v.size()) > keyLength) v = v.substr(0, static_cast<std::size_t>(keyLength));
    if (trimPad)
        while (!v.empty() && v.back() == pad) v.remove_suffix(1);
    return v;
}

int CommonPrefix(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return static_cast<int>(i);
}

std::string UpperName(std::string_view name) { return nvlocale::AnsiUpperCase(name); }

// Short copies and fills in whole eight-byte steps, which compile to plain moves where a
// library call would cost more than the few bytes a key part has; both ends must have room
// for up to seven bytes beyond `n`. The first two steps are written out: left as a loop, the
// compiler turns it back into a library call.
inline void CopyEights(uint8_t* to, const uint8_t* from, int n) {
    if (n <= 0) return;
    std::memcpy(to, from, 8);
    if (n <= 8) return;
    std::memcpy(to + 8, from + 8, 8);
    for (int k = 16; k < n; k += 8) std::memcpy(to + k, from + k, 8);
}

inline void FillEights(uint8_t* to, uint8_t value, int n) {
    if (n <= 0) return;
    const uint64_t pattern = 0x0101010101010101ull * value;
    std::memcpy(to, &pattern, 8);
    if (n <= 8) return;
    std::memcpy(to + 8, &pattern, 8);
    for (int k = 16; k < n; k += 8) std::memcpy(to + k, &pattern, 8);
}

inline bool AllZero(const uint8_t* bytes, int n) {
    uint64_t any = 0;
    int k = 0;
    for (; k + 8 <= n; k += 8) any |= nvbytes::LoadLE64(bytes + k);
    for (; k < n; ++k) any |= bytes[k];
    return any == 0;
}

}  // namespace

void NvCdxSetEditInPlace(bool on) { g_editInPlace = on; }

void NvCdxSetCollation(uint8_t collation) {
    g_collation = collation == kCdxCollationGeneral ? kCdxCollationGeneral : kCdxCollationMachine;
}

uint8_t NvCdxCollation() { return g_collation; }

std::string NvCdxGeneralKey(std::string_view text, int limit) {
    std::string primary;
    std::string secondary;
    for (char ch : text) {
        const uint8_t c = static_cast<uint8_t>(ch);
        const uint8_t p = kPrimary[c];
        const uint8_t s = Secondary(c);
        const Expansion* e = s == 0x80 ? FindExpansion(p) : nullptr;
        if (e) {
            primary += static_cast<char>(e->first);
            primary += static_cast<char>(e->second);
            if (e->firstDiacritic) secondary += static_cast<char>(e->firstDiacritic | 0xF0);
            if (e->secondDiacritic) secondary += static_cast<char>(e->secondDiacritic | 0xF0);
        } else {
            primary += static_cast<char>(p);
            if (s != 0 && s != 0x80) secondary += static_cast<char>(s | 0xF0);
        }
    }
    std::string key = primary + secondary;
    if (limit >= 0 && static_cast<int>(key.size()) > limit) key.resize(static_cast<std::size_t>(limit));
    // 0xF0 is "no diacritic": dropping it at the end (also after the cut) keeps the order and
    // leaves no byte that the nibble packing would turn into the zero padding of interior
    // keys. No primary weight reaches 0xF0, so only secondary bytes go.
    while (!key.empty() && static_cast<uint8_t>(key.back()) == 0xF0) key.pop_back();
    return key;
}

namespace {

// The image into `image`; returns its length.
int CdxNumberImage(double value, bool partial, uint8_t* image) {
    uint64_t bits = std::bit_cast<uint64_t>(value == 0.0 ? 0.0 : value);
    bits = (bits & kSignBit) ? ~bits : (bits | kSignBit);
    nvbytes::StoreBE64(image, bits);
    int n = 8;
    if (partial)
        while (n > 1 && image[n - 1] == 0) --n;
    return n;
}

}  // namespace

std::string NvCdxNumberImage(double value, bool partial) {
    uint8_t image[8];
    const int n = CdxNumberImage(value, partial, image);
    return std::string(reinterpret_cast<const char*>(image), static_cast<std::size_t>(n));
}

namespace {

// A leaf node's description of its entry bits, bytes 14 to 23.
void StoreLeafLayout(uint8_t* node, const TnvCdxLeafLayout& layout) {
    nvbytes::StoreLE32(node + 14, layout.recordMask);
    node[18] = layout.duplicateMask;
    node[19] = layout.trailingMask;
    node[20] = layout.recordBits;
    node[21] = layout.duplicateBits;
    node[22] = layout.trailingBits;
    node[23] = layout.bytes;
}

}  // namespace

TnvCdxLeafLayout NvCdxLeafLayout(int keyLength, uint32_t largest, int bytes) {
    TnvCdxLeafLayout layout;
    const int d = Halvings(std::max(keyLength, 1));
    layout.duplicateBits = layout.trailingBits = static_cast<uint8_t>(d + 1);
    layout.duplicateMask = layout.trailingMask = static_cast<uint8_t>((1u << (d + 1)) - 1);
    layout.bytes = static_cast<uint8_t>(bytes);
    int r = 8 * bytes - 2 * (d + 1);
    uint64_t mask = r > 0 ? (uint64_t{1} << r) - 1 : 0;
    while (mask < largest && mask != 0xFFFFFFFFull) {
        ++layout.bytes;
        r += 8;
        mask = mask * 256 + 255;
    }
    layout.recordBits = static_cast<uint8_t>(r);
    layout.recordMask = static_cast<uint32_t>(mask);
    return layout;
}

// ---- NVobjCDXTag ---------------------------------------------------------------------

NVobjCDXTag::NVobjCDXTag(NVobjCDXFile* file, int32_t header, bool structural)
    : NVobjIndexTag(file, header), structural_(structural) {
    formatName = "CDX";
    expressionOptions = 10;
    countLimitedLeaves = false;
    options = structural ? 0xE0 : 0x60;
    if (structural) SetKeyLength(10);
    if (header < 0) {
        headerAddress = file->NewPage();
        file->NewPage();
        dirty = true;
    }
}

NVobjCDXTag::~NVobjCDXTag() {
    try {
        PageRelease();
    } catch (...) {
        // Nothing can be reported from here; the cursor releases its tags before closing.
    }
}

NVobjCDXFile* NVobjCDXTag::CdxFile() const { return static_cast<NVobjCDXFile*>(File()); }

void NVobjCDXTag::SetKeyLength(int16_t length) {
    keyLength = length;
    entryLength = static_cast<int16_t>(length + 8);
    maxEntries = static_cast<int16_t>(500 / entryLength);
}

uint32_t NVobjCDXTag::LargestRecord() const {
    NVobjIndexFile* file = File();
    if (structural_) {
        int64_t size = file->diskFile ? file->diskFile->FileSize() : 0;
        return static_cast<uint32_t>(std::max<int64_t>({size, file->nextPage, 0}));
    }
    TnvIndexTable* table = file->Table();
    return table ? static_cast<uint32_t>(std::max(table->RecordCount(), 0)) : 0;
}

void NVobjCDXTag::KeyFormat(TnvVariant& value, bool partial) {
    if (keyType == 'C') {
        if (value.Kind() == TnvVariant::kBinary) {
            // Already an image (a key read from a page, or one formatted before).
            if (value.Length() > keyLength) value.SetLength(keyLength);
            value.SetKind(General() ? uint8_t{TnvVariant::kBinary} : uint8_t{TnvVariant::kCharacter});
            if (!General() && partial) value.TrimRight();
            return;
        }
        if (value.Kind() != TnvVariant::kCharacter) value.PutString(value.AsString());
        if (partial) value.TrimRight();
        if (General()) {
            if (!value.IsEmpty()) {
                std::string key = NvCdxGeneralKey(value.View(), keyLength);
                value.PutBinary(key.data(), static_cast<int32_t>(key.size()));
            }
            return;
        }
        if (value.Length() > keyLength) {
            value.SetLength(keyLength);
            value.SetKind(TnvVariant::kCharacter);
        }
        return;
    }
    if (value.Kind() == TnvVariant::kBinary) {
        if (value.Length() > 8) value.SetLength(8);
        value.SetKind(TnvVariant::kBinary);
        if (partial) {
            int32_t n = value.Length();
            while (n > 1 && value.Data()[n - 1] == 0) --n;
            value.SetLength(n);
            value.SetKind(TnvVariant::kBinary);
        }
        return;
    }
    double number = 0;
    if (!value.IsEmpty()) number = value.Kind() == TnvVariant::kDate ? value.AsDate() : value.AsNumber();
    uint8_t image[8];
    value.PutBinary(image, CdxNumberImage(number, partial, image));
}

bool NVobjCDXTag::TagCreate(std::string_view name, std::string_view keyExpr, bool isUnique, bool isAscending,
                            std::string_view forExpr) {
    if (!structural_ && keyExpr.size() + forExpr.size() + 2 > kExpressionArea)
        NvRaise(TnvMsg::TagExpressionTooLong, {std::string(name)});
    NVobjIndexTag::TagCreate(name, keyExpr, isUnique, isAscending, forExpr);
    reverseNavigation = !ascending;
    if (structural_) {
        keyType = 'C';
        SetKeyLength(10);
    } else {
        TnvVariant trial(256);
        bool ok;
        if (!KeyEvaluate(trial, ok)) return false;
        int length;
        switch (trial.Kind()) {
            case TnvVariant::kNumeric:
                keyType = 'N';
                length = 8;
                break;
            case TnvVariant::kDate:
                keyType = 'D';
                length = 8;
                break;
            case TnvVariant::kCharacter:
            case TnvVariant::kLogical:
                keyType = 'C';
                length = CharacterKeyLength(trial);
                if (General()) length *= 2;
                break;
            default:
                NvRaise(TnvMsg::SortVariantType, {});
        }
        // The builder sorts keys of the key length + 1 bytes.
        if (length < 1 || length + 1 > kMaxKeyLength) NvRaise(TnvMsg::SortKeyLength, {kMaxKeyLength, length + 1});
        SetKeyLength(static_cast<int16_t>(length));
    }
    std::vector<uint8_t> zero(kHeader, 0);
    File()->PageWrite(headerAddress, zero.data(), kHeader);
    if (structural_) {
        WriteEmptyRoot();
    } else {
        TnvIndexTable* table = File()->Table();
        NVobjSortCDX(this, table ? table->RecordCount() : 0).Build();
    }
    dirty = true;
    TagStore();
    return true;
}

bool NVobjCDXTag::KeyAdd(NVobjIndexKeyData& key) {
    key.recNo = key.reference;
    return NVobjIndexTag::KeyAdd(key);
}

int32_t NVobjCDXTag::RootPage() {
    uint8_t buffer[4];
    if (headerAddress >= 0 && File()->PageRead(headerAddress, buffer, 4))
        root = static_cast<int32_t>(nvbytes::LoadLE32(buffer));
    return root;
}

void NVobjCDXTag::PutKeyValue(NVobjIndexKeyData& entry, const uint8_t* bytes, int length) const {
    if (keyType == 'C' && !General()) {
        int n = 0;
        while (n < length && bytes[n] != 0) ++n;
        while (n > 0 && bytes[n - 1] == ' ') --n;
        entry.PutString(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n)));
        return;
    }
    int n = length;
    // Number images end where their zero bytes begin, so a stored image always equals the
    // partial form a search uses.
    if (keyType != 'C')
        while (n > 1 && bytes[n - 1] == 0) --n;
    entry.PutBinary(bytes, n);
}

bool NVobjCDXTag::EntryAsStored(const NVobjIndexKeyData& key) const {
    if (General() || key.recNo != key.reference || key.recNo <= 0) return false;
    const std::string_view v = key.View();
    if (v.empty() || static_cast<int>(v.size()) > keyLength) return false;
    if (keyType == 'C')
        return key.Kind() == TnvVariant::kCharacter && v.back() != ' ' && v.find('\0') == std::string_view::npos;
    return key.Kind() == TnvVariant::kBinary && v.back() != '\0';
}

bool NVobjCDXTag::InParentRange(const NVobjIndexKey& page) const {
    const NVobjIndexKey* parent = page.Parent();
    if (!parent || page.Count() == 0) return true;
    const int at = parent->current;
    if (at < 0 || at >= parent->Count() || parent->Items(at)->reference != page.address) return true;
    // Keys with their record numbers rise strictly through the tree, so a child can only lie
    // between its parent entry and the one before it; a pointer that leads elsewhere (a
    // page shared by two parents, a loop through another branch) would walk pages forever.
    auto order = [this](const NVobjIndexKeyData& a, const NVobjIndexKeyData& b) {
        int r = CompareKeys(a, b, -1);
        if (r != 0) return r;
        return a.recNo < b.recNo ? -1 : (a.recNo > b.recNo ? 1 : 0);
    };
    if (order(page.Peek(page.Count() - 1), *parent->Items(at)) > 0) return false;
    if (at > 0 && order(page.Peek(0), *parent->Items(at - 1)) <= 0) return false;
    return true;
}

// A leaf as it lies in its node. Reading the node (Check) rebuilds every key once, each from
// the bytes it shares with the one before, into one block of fixed-size images; entries are
// then read in any order and a search halves the page like a decoded one, without entry
// objects. An edit encodes the node again from those images, so a leaf that only gains or
// loses an entry is never decoded. A bad node is reported by PageLoad like any other.
class NVobjCDXTag::StoredLeaf final : public NVobjStoredPage {
public:
    StoredLeaf(const NVobjCDXTag& tag, const uint8_t* node, int count)
        : tag_(tag), count_(count), keyLength_(tag.keyLength) {
        std::memcpy(node_, node, kNode);
        // Entry records are read eight bytes at a time; the last may reach past the node.
        std::memset(node_ + kNode, 0, sizeof node_ - kNode);
        pad_ = tag.keyType == 'C' && !tag.General() ? ' ' : 0;
        TakeLayout();
    }

    // Whether the layout is one a node can have and every entry's bytes lie inside the key
    // area, below the entry records; keeps every key it rebuilds.
    bool Check() {
        const int r = node_[20], d = node_[21], t = node_[22];
        if (bytes_ < 2 || bytes_ > 8 || r > 32 || r + d + t != 8 * bytes_ || count_ < 0 ||
            count_ * bytes_ > kKeyArea)
            return false;
        // Keys are copied eight bytes at a time: the last image has room for the overrun.
        images_.resize(static_cast<std::size_t>(count_) * static_cast<std::size_t>(keyLength_) + 8);
        entries_.resize(static_cast<std::size_t>(count_));
        uint8_t key[kMaxKeyLength + 16];
        std::memset(key, pad_, sizeof key);
        int position = kNode;
        // Whether the node is what EncodeLeaf makes of the values it decodes to: every key
        // shares all it can with the one before and leaves out all its padding. What holds
        // for the key bytes as a whole (no NUL in a text key, nothing but zeros between the
        // entry records and the keys) is looked at once after the loop.
        const bool general = tag_.General();
        bool canonical = !general;
        int previousLength = 0;
        const uint8_t* record = node_ + kLeafKeysAt;
        uint8_t* image = images_.data();
        Rebuilt* rebuilt = entries_.data();
        // The loop stores bytes, which could alias any member: the layout is read once.
        const int count = count_, keyLength = keyLength_, bytes = bytes_, entriesEnd = entriesEnd_;
        const uint64_t infoMask = infoMask_;
        const uint32_t recordMask = recordMask_;
        const int recordBits = recordBits_, duplicateBits = duplicateBits_;
        const uint64_t duplicateMask = duplicateMask_, trailingMask = trailingMask_;
        const uint8_t pad = pad_;
        uint32_t highest = 0;
        for (int i = 0; i < count; ++i, record += bytes, image += keyLength) {
            const uint64_t info = nvbytes::LoadLE64(record) & infoMask;
            const uint64_t high = info >> recordBits;
            const int duplicate = static_cast<int>(high & duplicateMask);
            const int length = keyLength - static_cast<int>((high >> duplicateBits) & trailingMask);
            const int n = length - duplicate;
            if (n == 0 && duplicate == previousLength && length == previousLength && !general) {
                // The key repeats the one before whole (runs of equal keys are most of some
                // tags): nothing about it can differ from that one's checks and image.
                CopyEights(image, key, keyLength);
                rebuilt[i] = {static_cast<int32_t>(static_cast<uint32_t>(info) & recordMask), static_cast<int16_t>(length), 0};
                highest = std::max(highest, static_cast<uint32_t>(info) & recordMask);
                continue;
            }
            if (n < 0) return false;
            position -= n;
            if (position < entriesEnd) return false;
            // Not all the key shares with the one before is shared.
            if (duplicate > previousLength ||
                (duplicate < std::min(length, previousLength) && key[duplicate] == node_[position]))
                canonical = false;
            CopyEights(key + duplicate, node_ + position, n);
            // The key ends in padding.
            if (length > 0 && key[length - 1] == pad) canonical = false;
            // The leading bytes of the next key come from this one, padding included.
            FillEights(key + length, pad, keyLength - length);
            if (general) UnpackNibbles(key, length);
            CopyEights(image, key, keyLength);
            const uint32_t recNo = static_cast<uint32_t>(info) & recordMask;
            highest = std::max(highest, recNo);
            rebuilt[i] = {static_cast<int32_t>(recNo), static_cast<int16_t>(length), static_cast<int16_t>(n)};
            previousLength = length;
        }
        highestRecord_ = highest;
        keyBytes_ = kNode - position;
        if (canonical &&
            (nvbytes::LoadLE16(node_ + 12) != position - entriesEnd_ || !AllZero(node_ + entriesEnd_, position - entriesEnd_) ||
             (pad_ == ' ' && std::memchr(node_ + position, 0, static_cast<std::size_t>(kNode - position)) != nullptr)))
            canonical = false;
        canonical_ = canonical;
        return true;
    }

    int Count() const override { return count_; }

    const NVobjIndexKeyData* Entry(int index) override {
        if (index < 0 || index >= count_) tag_.RaiseCorrupt();
        if (valueOf_ != index) {
            Value(index, entry_);
            valueOf_ = index;
        }
        return &entry_;
    }

    void DecodeAll(NVobjIndexKey& page) override {
        for (int i = 0; i < count_; ++i) {
            auto entry = std::make_unique<NVobjIndexKeyData>();
            Value(i, *entry);
            page.Add(entry.release());
        }
    }

    bool RemoveAt(int index) override {
        // A leaf left empty goes through the decoded path, which unlinks it from its siblings.
        if (index < 0 || index >= count_ || count_ < 2) return false;
        return Edit(index, -1, {}, 0);
    }

    bool InsertAt(int index, const NVobjIndexKeyData& key) override {
        // Only a key that reads back as itself may go in as bytes: the decoded path would keep
        // the key object, and later searches compare against it.
        if (index < 0 || index > count_ || !tag_.EntryAsStored(key)) return false;
        return Edit(-1, index, Stored(key, keyLength_, static_cast<char>(pad_), true), key.recNo);
    }

    // The node as PageStore would encode the decoded page with `attributes` and siblings,
    // into `node`; false when that is not known without decoding: the node is still as it was
    // read (another writer's, or the builder's, layout and compression), the record numbers
    // now call for another layout, or the leaf must split.
    bool Image(uint16_t attributes, int32_t left, int32_t right, uint8_t* node) {
        if (!rewritten_ || !SameLayout(NvCdxLeafLayout(keyLength_, std::max(tag_.LargestRecord(), largest_), 2)))
            return false;
        if (nvbytes::LoadLE16(node_ + 12) < 1 && count_ >= 2) return false;
        nvbytes::StoreLE16(node_, attributes);
        nvbytes::StoreLE32(node_ + 4, static_cast<uint32_t>(left));
        nvbytes::StoreLE32(node_ + 8, static_cast<uint32_t>(right));
        std::memcpy(node, node_, kNode);
        return true;
    }

private:
    struct Rebuilt {
        int32_t record;
        int16_t length;  // the key's length without the trailing bytes the node leaves out
        int16_t bytes;   // the bytes of it the node stores
    };

    uint8_t* Image(int index) {
        return images_.data() + static_cast<std::size_t>(index) * static_cast<std::size_t>(keyLength_);
    }

    void TakeLayout() {
        recordMask_ = nvbytes::LoadLE32(node_ + 14);
        duplicateMask_ = node_[18];
        trailingMask_ = node_[19];
        recordBits_ = node_[20];
        duplicateBits_ = node_[21];
        bytes_ = node_[23];
        infoMask_ = bytes_ >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes_)) - 1;
        entriesEnd_ = kLeafKeysAt + count_ * bytes_;
        valueOf_ = -1;
    }

    bool SameLayout(const TnvCdxLeafLayout& layout) const {
        return layout.recordMask == recordMask_ && layout.duplicateMask == duplicateMask_ &&
               layout.trailingMask == trailingMask_ && layout.recordBits == recordBits_ &&
               layout.duplicateBits == duplicateBits_ && layout.trailingBits == node_[22] && layout.bytes == bytes_;
    }

    // Entry `index` as decoding the node gives it.
    void Value(int index, NVobjIndexKeyData& entry) {
        const Rebuilt& e = entries_[static_cast<std::size_t>(index)];
        tag_.PutKeyValue(entry, Image(index), e.length);
        entry.recNo = e.record;
        entry.reference = e.record;
    }

    // Entry `index` as EncodeLeaf stores its decoded value: cut where a text key's value ends
    // (at a NUL) and without the padding the node supplies again.
    std::string_view StoredKey(int index) {
        const char* key = reinterpret_cast<const char*>(Image(index));
        std::size_t n = static_cast<std::size_t>(entries_[static_cast<std::size_t>(index)].length);
        if (pad_ == ' ')
            if (const void* nul = std::memchr(key, 0, n)) n = static_cast<std::size_t>(static_cast<const char*>(nul) - key);
        while (n > 0 && key[n - 1] == static_cast<char>(pad_)) --n;
        return {key, n};
    }

    // Takes entry `removeAt` out or puts `value` with `record` in before entry `insertAt`
    // (-1: none), encoding the node by EncodeLeaf's rules with the layout PageStore would
    // choose. Nothing changes when the result does not fit.
    bool Edit(int removeAt, int insertAt, std::string_view value, int32_t record) {
        if (tag_.General() || !g_editInPlace) return false;
        const int count = count_ + (removeAt >= 0 ? -1 : 0) + (insertAt >= 0 ? 1 : 0);
        // Only the larger of the table's record count and the node's highest record number
        // counts; the node's is looked for only when its bound passes the count.
        uint32_t largest = insertAt >= 0 ? static_cast<uint32_t>(record) : 0;
        const uint32_t tableLargest = tag_.LargestRecord();
        if (highestRecord_ > tableLargest) {
            for (int i = 0; i < count_; ++i)
                if (i != removeAt)
                    largest = std::max(largest, static_cast<uint32_t>(entries_[static_cast<std::size_t>(i)].record));
        }
        const TnvCdxLeafLayout layout = NvCdxLeafLayout(keyLength_, std::max(tableLargest, largest), 2);
        const int b = layout.bytes;
        const int entriesEnd = kLeafKeysAt + count * b;
        if (entriesEnd > kNode) return false;
        uint8_t out[kNode + 8];
        std::memset(out, 0, sizeof out);
        // Bytes stored by each entry of the new node that was encoded here, by its new index.
        std::vector<std::pair<int, int16_t>> encoded;
        int position = kNode;
        int written = 0;
        std::string_view previous;
        auto put = [&](std::string_view v, int32_t recNo) {
            const std::size_t length = v.size();
            std::size_t duplicate = 0;
            if (written > 0) {
                const std::size_t limit = std::min(length, previous.size());
                while (duplicate < limit && previous[duplicate] == v[duplicate]) ++duplicate;
            }
            const int n = static_cast<int>(length - duplicate);
            position -= n;
            if (position < entriesEnd) return false;
            if (n > 0) std::memcpy(out + position, v.data() + duplicate, static_cast<std::size_t>(n));
            const uint64_t info = (uint64_t{static_cast<uint32_t>(recNo)} & layout.recordMask) |
                                  (uint64_t(duplicate) << layout.recordBits) |
                                  (uint64_t(keyLength_ - static_cast<int>(length)) << (layout.recordBits + layout.duplicateBits));
            // Entry records are written eight bytes at a time; the bytes beyond this one's stay.
            const uint64_t mask = b >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * b)) - 1;
            uint8_t* at = out + kLeafKeysAt + written * b;
            nvbytes::StoreLE64(at, (nvbytes::LoadLE64(at) & ~mask) | (info & mask));
            encoded.emplace_back(written, static_cast<int16_t>(n));
            previous = v;
            ++written;
            return true;
        };
        if (canonical_ && SameLayout(layout)) {
            // The node already is the encoding of its keys: the entries before the edit keep
            // their bytes, those after the neighbour it changes keep theirs one place along,
            // and only the entry put in and that neighbour are encoded.
            const int first = removeAt >= 0 ? removeAt : insertAt;
            const int tail = std::min(first + (removeAt >= 0 ? 2 : 1), count_);
            // The key bytes of the entries before the edit, counted from the nearer end.
            const int end = kNode - keyBytes_;
            int middle = 0;
            for (int i = first; i < tail; ++i) middle += entries_[static_cast<std::size_t>(i)].bytes;
            int before = 0;
            if (first <= count_ - tail) {
                for (int i = 0; i < first; ++i) before += entries_[static_cast<std::size_t>(i)].bytes;
            } else {
                int after = 0;
                for (int i = tail; i < count_; ++i) after += entries_[static_cast<std::size_t>(i)].bytes;
                before = keyBytes_ - middle - after;
            }
            const int top = kNode - before;
            const int tailTop = top - middle;
            std::memcpy(out, node_, kLeafKeysAt);
            std::memcpy(out + kLeafKeysAt, node_ + kLeafKeysAt, static_cast<std::size_t>(first * b));
            std::memcpy(out + top, node_ + top, static_cast<std::size_t>(kNode - top));
            position = top;
            written = first;
            if (first > 0) previous = StoredKey(first - 1);
            if (insertAt >= 0 && !put(value, record)) return false;
            if (first + 1 < count_ || (insertAt >= 0 && first < count_)) {
                const int neighbour = removeAt >= 0 ? removeAt + 1 : insertAt;
                if (!put(StoredKey(neighbour), entries_[static_cast<std::size_t>(neighbour)].record)) return false;
            }
            position -= tailTop - end;
            if (position < entriesEnd) return false;
            std::memcpy(out + position, node_ + end, static_cast<std::size_t>(tailTop - end));
            std::memcpy(out + kLeafKeysAt + written * b, node_ + kLeafKeysAt + tail * b,
                        static_cast<std::size_t>((count_ - tail) * b));
            nvbytes::StoreLE16(out + 2, static_cast<uint16_t>(count));
        } else {
            std::memcpy(out, node_, 12);
            nvbytes::StoreLE16(out + 2, static_cast<uint16_t>(count));
            StoreLeafLayout(out, layout);
            encoded.reserve(static_cast<std::size_t>(count));
            for (int i = 0; i <= count_; ++i) {
                if (i == insertAt && !put(value, record)) return false;
                if (i == count_) break;
                if (i != removeAt && !put(StoredKey(i), entries_[static_cast<std::size_t>(i)].record)) return false;
            }
        }
        nvbytes::StoreLE16(out + 12, static_cast<uint16_t>(position - entriesEnd));
        // The kept keys stay what decoding the old node gave, as the decoded page's entries
        // would; the new key reads back as itself.
        const std::size_t width = static_cast<std::size_t>(keyLength_);
        if (removeAt >= 0) {
            const auto at = images_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(removeAt) * width);
            images_.erase(at, at + static_cast<std::ptrdiff_t>(width));
            entries_.erase(entries_.begin() + removeAt);
        } else {
            const auto at = images_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(insertAt) * width);
            images_.insert(at, width, pad_);
            if (!value.empty()) std::memcpy(Image(insertAt), value.data(), value.size());
            entries_.insert(entries_.begin() + insertAt, Rebuilt{record, static_cast<int16_t>(value.size()), 0});
        }
        for (const auto& [index, n] : encoded) entries_[static_cast<std::size_t>(index)].bytes = n;
        std::memcpy(node_, out, kNode);
        count_ = count;
        largest_ = largest;
        highestRecord_ = std::max(highestRecord_, largest);
        keyBytes_ = kNode - position;
        rewritten_ = true;
        canonical_ = true;
        TakeLayout();
        return true;
    }

    const NVobjCDXTag& tag_;
    int count_;
    int keyLength_;
    uint8_t node_[kNode + 8];
    std::vector<uint8_t> images_;  // every key rebuilt, keyLength_ bytes each
    std::vector<Rebuilt> entries_;
    uint64_t infoMask_ = 0;
    uint32_t recordMask_ = 0;
    uint8_t duplicateMask_ = 0, trailingMask_ = 0, recordBits_ = 0, duplicateBits_ = 0, bytes_ = 2;
    uint8_t pad_ = 0;
    int entriesEnd_ = 0;
    int valueOf_ = -1;  // the entry whose value entry_ holds
    NVobjIndexKeyData entry_;
    // Set once the node was encoded here, with the largest record number of its entries.
    bool rewritten_ = false;
    // Whether the node is the encoding of its keys (see Check).
    bool canonical_ = false;
    uint32_t largest_ = 0;
    // At least the highest record number of the entries (exact as read; edits only raise it).
    uint32_t highestRecord_ = 0;
    // The key bytes the node stores, the sum of the entries' bytes.
    int keyBytes_ = 0;
};

int NVobjCDXTag::PageLoad(int32_t address, NVobjIndexKey& page) {
    uint8_t node[kNode];
    NVobjIndexFile* file = File();
    if (keyLength <= 0 || address <= 0 || address % kNode != 0 || !file->PageRead(address, node, kNode)) return 1;
    // Every level of a tree needs a page of its own. Files only grow while a tree is read,
    // so the size is asked for again only when the depth passes the one last seen.
    if (page.Depth() >= knownPages_) {
        knownPages_ = file->diskFile ? file->diskFile->FileSize() / kNode : 0;
        if (page.Depth() >= knownPages_) return 1;
    }
    const int attributes = nvbytes::LoadLE16(node);
    const int count = nvbytes::LoadLE16(node + 2);
    if (attributes > 3) return 1;
    page.leftSibling = static_cast<int32_t>(nvbytes::LoadLE32(node + 4));
    page.rightSibling = static_cast<int32_t>(nvbytes::LoadLE32(node + 8));
    if (attributes >= 2) {
        page.kind = NVobjIndexKey::kLeaf;
        auto leaf = std::make_unique<StoredLeaf>(*this, node, count);
        if (!leaf->Check()) return 1;
        page.SetStored(std::move(leaf));
    } else {
        page.kind = NVobjIndexKey::kInterior;
        if (count * entryLength > kNode - kInteriorKeysAt) return 1;
        uint8_t key[kMaxKeyLength + 16];
        for (int i = 0; i < count; ++i) {
            const uint8_t* e = node + kInteriorKeysAt + i * entryLength;
            std::memcpy(key, e, static_cast<std::size_t>(keyLength));
            int length = keyLength;
            if (General()) {
                while (length > 0 && key[length - 1] == 0) --length;
                UnpackNibbles(key, length);
            }
            auto entry = std::make_unique<NVobjIndexKeyData>();
            PutKeyValue(*entry, key, length);
            entry->recNo = static_cast<int32_t>(nvbytes::LoadBE32(e + keyLength));
            entry->reference = static_cast<int32_t>(nvbytes::LoadBE32(e + keyLength + 4));
            page.Add(entry.release());
        }
    }
    page.address = address;
    return InParentRange(page) ? 0 : 1;
}

int NVobjCDXTag::StoredBytes(const TnvVariant& value, const TnvVariant* previous) const {
    const bool text = keyType == 'C' && !General();
    const char pad = text ? ' ' : '\0';
    const bool trim = keyType != 'C' || text;
    std::string_view v = Stored(value, keyLength, pad, trim);
    int duplicate = previous ? CommonPrefix(v, Stored(*previous, keyLength, pad, trim)) : 0;
    return static_cast<int>(v.size()) - duplicate;
}

bool NVobjCDXTag::EncodeLeaf(const NVobjIndexKey& page, int first, int count, const TnvCdxLeafLayout& layout,
                             uint16_t attributes, int32_t left, int32_t right, uint8_t* node) const {
    const bool text = keyType == 'C' && !General();
    const char pad = text ? ' ' : '\0';
    const bool trim = keyType != 'C' || text;
    const int b = layout.bytes;
    std::memset(node, 0, kNode);
    nvbytes::StoreLE16(node, attributes);
    nvbytes::StoreLE16(node + 2, static_cast<uint16_t>(count));
    nvbytes::StoreLE32(node + 4, static_cast<uint32_t>(left));
    nvbytes::StoreLE32(node + 8, static_cast<uint32_t>(right));
    StoreLeafLayout(node, layout);
    const int entriesEnd = kLeafKeysAt + count * b;
    if (entriesEnd > kNode) return false;
    int position = kNode;
    std::string_view previous;
    for (int i = 0; i < count; ++i) {
        const NVobjIndexKeyData& entry = *page.Items(first + i);
        std::string_view v = Stored(entry, keyLength, pad, trim);
        const int duplicate = i == 0 ? 0 : CommonPrefix(v, previous);
        const int length = static_cast<int>(v.size());
        const int n = length - duplicate;
        position -= n;
        if (position < entriesEnd) return false;
        if (n > 0) std::memcpy(node + position, v.data() + duplicate, static_cast<std::size_t>(n));
        if (General()) {
            // Only stored bytes pack; the reader restores the run before taking the next
            // key's shared bytes from this one.
            PackNibbles(node, position, position + n);
        }
        const uint64_t info = (uint64_t{static_cast<uint32_t>(entry.recNo)} & layout.recordMask) |
                              (uint64_t(duplicate) << layout.recordBits) |
                              (uint64_t(keyLength - length) << (layout.recordBits + layout.duplicateBits));
        StoreLE(node + kLeafKeysAt + i * b, info, b);
        previous = v;
    }
    nvbytes::StoreLE16(node + 12, static_cast<uint16_t>(position - entriesEnd));
    return true;
}

void NVobjCDXTag::EncodeInterior(const NVobjIndexKey& page, int first, int count, uint16_t attributes,
                                 int32_t left, int32_t right, uint8_t* node) const {
    if (count > maxEntries || kInteriorKeysAt + count * entryLength > kNode) RaiseCorrupt();
    const bool text = keyType == 'C' && !General();
    std::memset(node, 0, kNode);
    std::memset(node + kInteriorKeysAt, text ? ' ' : 0, kNode - kInteriorKeysAt);
    nvbytes::StoreLE16(node, attributes);
    nvbytes::StoreLE16(node + 2, static_cast<uint16_t>(count));
    nvbytes::StoreLE32(node + 4, static_cast<uint32_t>(left));
    nvbytes::StoreLE32(node + 8, static_cast<uint32_t>(right));
    for (int i = 0; i < count; ++i) {
        const NVobjIndexKeyData& entry = *page.Items(first + i);
        uint8_t* e = node + kInteriorKeysAt + i * entryLength;
        std::string_view v = Stored(entry, keyLength, text ? ' ' : '\0', false);
        if (!v.empty()) std::memcpy(e, v.data(), v.size());
        if (General()) PackNibbles(e, 0, static_cast<int>(v.size()));
        nvbytes::StoreBE32(e + keyLength, static_cast<uint32_t>(entry.recNo));
        nvbytes::StoreBE32(e + keyLength + 4, static_cast<uint32_t>(entry.reference));
    }
}

void NVobjCDXTag::PatchSibling(int32_t address, int offset, int32_t target) {
    if (address <= 0) return;
    uint8_t node[kNode];
    if (!File()->PageRead(address, node, kNode)) RaiseCorrupt();
    nvbytes::StoreLE32(node + offset, static_cast<uint32_t>(target));
    File()->PageWrite(address, node, kNode);
}

void NVobjCDXTag::SplitOff(NVobjIndexKey& page, int n) {
    NVobjIndexKey left(this, nullptr);
    left.kind = page.IsInterior() ? uint8_t{NVobjIndexKey::kInterior} : uint8_t{NVobjIndexKey::kLeaf};
    for (int i = 0; i < n; ++i) left.Add(page.ExtractAt(0).release());
    const int32_t address = File()->NewPage();
    if (address <= 0) RaiseCorrupt();
    NVobjIndexKeyData high(*left.Items(n - 1));
    high.reference = address;
    // A root that splits moves to a new page under a new root, so its address is known
    // only afterwards.
    page.InsertInParent(high);
    const int32_t oldLeft = page.leftSibling;
    uint8_t node[kNode];
    if (left.IsInterior()) {
        EncodeInterior(left, 0, n, 0, oldLeft, page.address, node);
    } else {
        uint32_t largest = LargestRecord();
        for (int i = 0; i < n; ++i) largest = std::max(largest, static_cast<uint32_t>(left.Items(i)->recNo));
        if (!EncodeLeaf(left, 0, n, NvCdxLeafLayout(keyLength, largest, 2), 2, oldLeft, page.address, node))
            RaiseCorrupt();
    }
    File()->PageWrite(address, node, kNode);
    PatchSibling(oldLeft, 8, address);
    page.leftSibling = address;
    page.current = std::clamp(page.current - n, 0, std::max(page.Count() - 1, 0));
    page.stale = true;
}

void NVobjCDXTag::PageMerged(NVobjIndexKey& gone, NVobjIndexKey& survivor) {
    if (survivor.address == gone.leftSibling) {
        survivor.rightSibling = gone.rightSibling;
        PatchSibling(gone.rightSibling, 4, survivor.address);
    } else {
        survivor.leftSibling = gone.leftSibling;
        PatchSibling(gone.leftSibling, 8, survivor.address);
    }
}

int NVobjCDXTag::PageStore(NVobjIndexKey& page) {
    if (page.kind == NVobjIndexKey::kNewRoot) page.kind = NVobjIndexKey::kInterior;
    if (page.Count() == 0 && page.Parent()) {
        // A page emptied and dropped from its parent leaves the sibling chain, so programs
        // that walk leaves sideways never meet it.
        PatchSibling(page.leftSibling, 8, page.rightSibling);
        PatchSibling(page.rightSibling, 4, page.leftSibling);
        page.leftSibling = page.rightSibling = -1;
    }
    uint8_t node[kNode];
    if (page.IsInterior()) {
        // A page that took in a neighbour's entries can hold more than two nodes' worth.
        while (page.Count() > maxEntries) SplitOff(page, std::min<int>(page.Count() - page.Count() / 2, maxEntries));
        EncodeInterior(page, 0, page.Count(), page.Parent() ? 0 : 1, page.leftSibling, page.rightSibling, node);
    } else {
        // A leaf edited in stored form is already encoded as below would encode it.
        if (auto* stored = dynamic_cast<StoredLeaf*>(page.StoredPage());
            stored && stored->Image(page.Parent() ? 2 : 3, page.leftSibling, page.rightSibling, node)) {
            File()->PageWrite(page.address, node, kNode);
            return 0;
        }
        uint32_t largest = LargestRecord();
        for (int i = 0; i < page.Count(); ++i) largest = std::max(largest, static_cast<uint32_t>(page.Items(i)->recNo));
        TnvCdxLeafLayout layout = NvCdxLeafLayout(keyLength, largest, 2);
        // Most stores fit: the encoding itself tells, with a byte to spare (its free space),
        // and only a leaf that must split is measured entry by entry.
        if (EncodeLeaf(page, 0, page.Count(), layout, page.Parent() ? 2 : 3, page.leftSibling, page.rightSibling,
                       node) &&
            (nvbytes::LoadLE16(node + 12) >= 1 || page.Count() < 2)) {
            File()->PageWrite(page.address, node, kNode);
            return 0;
        }
        for (;;) {
            int total = 0;
            int n = 0;
            for (int i = 0; i < page.Count(); ++i) {
                total += StoredBytes(*page.Items(i), i ? page.Items(i - 1) : nullptr) + layout.bytes;
                if (total < 250) n = i + 1;
            }
            if (total <= kKeyArea - 1 || page.Count() < 2) break;
            SplitOff(page, std::clamp(n, 1, page.Count() - 1));
            largest = LargestRecord();
            for (int i = 0; i < page.Count(); ++i)
                largest = std::max(largest, static_cast<uint32_t>(page.Items(i)->recNo));
            layout = NvCdxLeafLayout(keyLength, largest, 2);
        }
        if (!EncodeLeaf(page, 0, page.Count(), layout, page.Parent() ? 2 : 3, page.leftSibling, page.rightSibling,
                        node))
            RaiseCorrupt();
    }
    File()->PageWrite(page.address, node, kNode);
    return 0;
}

bool NVobjCDXTag::TagLoad() {
    dirty = false;
    uint8_t h[kHeader];
    NVobjIndexFile* file = File();
    if (headerAddress < 0 || headerAddress % kNode != 0 || !file->PageRead(headerAddress, h, kHeader)) return false;
    root = static_cast<int32_t>(nvbytes::LoadLE32(h));
    const int length = nvbytes::LoadLE16(h + 12);
    const int64_t size = file->diskFile ? file->diskFile->FileSize() : 0;
    if (root <= 0 || root % kNode != 0 || (file->diskFile && root + kNode > size)) return false;
    if (length < 1 || length > kMaxKeyLength) return false;
    SetKeyLength(static_cast<int16_t>(length));
    const uint8_t stored = h[14];
    changeCounter = static_cast<int32_t>(nvbytes::LoadLE32(h + 8));
    unique = (stored & 0x01) != 0;
    hasFor = (stored & 0x08) != 0;
    ascending = nvbytes::LoadLE16(h + 502) == 0;
    reverseNavigation = !ascending;
    char name[9] = {};
    std::memcpy(name, h + 494, 8);
    std::string collationName = UpperName(name);
    collation = collationName == "GENERAL" ? kCdxCollationGeneral
                                           : (collationName == "MACHINE" ? kCdxCollationMachine : kCdxCollationNone);
    const char* text = reinterpret_cast<const char*>(h + kNode);
    std::size_t keyEnd = 0;
    while (keyEnd < kExpressionArea && text[keyEnd] != 0) ++keyEnd;
    keyExpression.assign(text, keyEnd);
    forExpression.clear();
    if (hasFor && keyEnd + 1 < kExpressionArea) {
        std::size_t forEnd = keyEnd + 1;
        while (forEnd < kExpressionArea && text[forEnd] != 0) ++forEnd;
        forExpression.assign(text + keyEnd + 1, forEnd - keyEnd - 1);
    }
    hasFor = !forExpression.empty();
    if (structural_) {
        keyType = 'C';
        options = 0xE0;
        return true;
    }
    if (keyExpression.empty()) return false;
    CompileKey();
    CompileFor();
    TnvVariant trial(256);
    bool ok;
    keyType = 'C';
    if (KeyEvaluate(trial, ok)) {
        if (trial.Kind() == TnvVariant::kNumeric)
            keyType = 'N';
        else if (trial.Kind() == TnvVariant::kDate)
            keyType = 'D';
    }
    // Number and date images are eight bytes; any other length cannot be this tag's.
    if (keyType != 'C' && length != 8) return false;
    options = 0x60;
    dirty = false;
    return true;
}

void NVobjCDXTag::TagStore() {
    if (!dirty) return;
    uint8_t h[kHeader] = {};
    nvbytes::StoreLE32(h, static_cast<uint32_t>(root));
    nvbytes::StoreLE32(h + 8, static_cast<uint32_t>(changeCounter));
    nvbytes::StoreLE16(h + 12, static_cast<uint16_t>(keyLength));
    h[14] = static_cast<uint8_t>(options | (unique ? 0x01 : 0) | (hasFor ? 0x08 : 0));
    h[15] = General() ? 2 : 1;
    if (General()) std::memcpy(h + 494, "GENERAL", 7);
    nvbytes::StoreLE16(h + 502, ascending ? 0 : 1);
    const std::size_t keySize = std::min<std::size_t>(keyExpression.size(), kExpressionArea - 2);
    const std::size_t forSize =
        hasFor ? std::min<std::size_t>(forExpression.size(), kExpressionArea - 2 - keySize) : 0;
    nvbytes::StoreLE16(h + 504, static_cast<uint16_t>(keySize + 1));
    nvbytes::StoreLE16(h + 506, static_cast<uint16_t>(hasFor ? forSize + 1 : 1));
    nvbytes::StoreLE16(h + 510, static_cast<uint16_t>(keySize + 1));
    std::memcpy(h + kNode, keyExpression.data(), keySize);
    if (hasFor) std::memcpy(h + kNode + keySize + 1, forExpression.data(), forSize);
    File()->PageWrite(headerAddress, h, kHeader);
    dirty = false;
}

void NVobjCDXTag::WriteEmptyRoot() {
    const int32_t address = File()->NewPage();
    if (address <= 0) RaiseCorrupt();
    NVobjIndexKey empty(this, nullptr);
    empty.kind = NVobjIndexKey::kLeaf;
    uint8_t node[kNode];
    EncodeLeaf(empty, 0, 0, NvCdxLeafLayout(keyLength, LargestRecord(), 3), 3, -1, -1, node);
    File()->PageWrite(address, node, kNode);
    root = address;
    dirty = true;
}

// ---- NVobjSortCDX --------------------------------------------------------------------

struct NVobjSortCDX::Level {
    explicit Level(NVobjCDXTag* tag) : page(tag, nullptr) {}
    NVobjIndexKey page;     // the entries of the node being filled
    int32_t address = 0;    // reserved when its first entry came
    int32_t left = -1;      // the node written before it at this level
    bool full = false;      // written as soon as the level's next entry shows it has a right sibling
    std::vector<std::unique_ptr<NVobjIndexKeyData>> spare;  // entries of written nodes, for reuse
};

// The leaf being filled, kept in its node form: each key's stored bytes go below the ones
// before it as the key comes, so writing the leaf only adds the header and the entry bits
// (which wait for the layout in force when the node goes out). A build passes every key
// through here; an entry object per key cost more than the rest of the leaf's work.
struct NVobjSortCDX::Leaf {
    // Entries a leaf can hold: each takes at least three bytes of the key area.
    static constexpr int kMaxEntries = NVobjCDXTag::kKeyArea / 3 + 1;
    struct Info {
        uint32_t recNo;
        uint8_t duplicate;
        uint8_t trailing;
    };
    uint8_t node[NVobjCDXTag::kNode];
    Info info[kMaxEntries];
    int count = 0;
    int position = NVobjCDXTag::kNode;  // where the stored key bytes begin
    int32_t address = 0;
    int32_t left = -1;
    bool full = false;
    // The last entry: its key as it came (it goes up a level when the leaf is written) and
    // the length of the part the leaf stores.
    uint8_t last[kMaxKeyLength + 1];
    int lastLength = 0;
    int lastStored = 0;
    uint8_t lastKind = 0;
    int32_t lastRecNo = 0;
};

NVobjSortCDX::NVobjSortCDX(NVobjCDXTag* tag, int32_t largestRecord)
    : TnvSort(tag->keyLength + 1, nullptr, true, tag->unique), tag_(tag), largest_(std::max(largestRecord, 0)) {}

NVobjSortCDX::~NVobjSortCDX() = default;

int32_t NVobjSortCDX::Build() {
    tag_->PageRelease();
    NvWriteBehindScope pages(tag_->File()->diskFile.get());
    // Number images go into the sort whole: the record number appended after a shortened
    // image would be compared with the image bytes of a longer one.
    TnvTagRecordSource records(*tag_, tag_->keyType == 'C');
    int32_t written = NvBuildTagKeys(*tag_, *this, records, [this](const TnvSortKey& key) { Add(key); });
    Finish();
    pages.Finish();
    return written;
}

void NVobjSortCDX::Add(const TnvVariant& key, int32_t recNo) {
    largest_ = std::max(largest_, recNo);
    if (tag_->keyType == 'C') {
        Push(0, key, recNo, recNo);
        return;
    }
    // A copy into the same buffer each time: no allocation per key.
    work_.SetLength(key.Length());
    if (key.Length() > 0) std::memcpy(work_.Data(), key.Data(), static_cast<std::size_t>(key.Length()));
    work_.SetKind(key.Kind());
    tag_->KeyFormat(work_, true);
    Push(0, work_, recNo, recNo);
}

void NVobjSortCDX::Add(const TnvSortKey& key) {
    if (key.kind != TnvVariant::kCharacter && key.kind != TnvVariant::kBinary) {
        DecodeKey(key, decoded_);
        Add(decoded_, key.recNo);
        return;
    }
    largest_ = std::max(largest_, key.recNo);
    int length = key.length;
    if (tag_->keyType != 'C') {
        // What KeyFormat makes of an image in partial form: at most 8 bytes, the trailing
        // zero bytes dropped (one byte stays).
        length = std::min(length, 8);
        while (length > 1 && key.bytes[length - 1] == 0) --length;
    }
    PushLeaf(key.kind, key.bytes, length, key.recNo);
}

void NVobjSortCDX::Push(int level, const TnvVariant& key, int32_t recNo, int32_t reference) {
    Push(level, key.Kind(), key.Data(), key.Length(), recNo, reference);
}

void NVobjSortCDX::PushLeaf(uint8_t kind, const uint8_t* bytes, int length, int32_t recNo) {
    if (!leaf_) leaf_ = std::make_unique<Leaf>();
    Leaf& leaf = *leaf_;
    if (leaf.full) {
        const int32_t next = tag_->File()->NewPage();
        const int32_t written = leaf.address;
        WriteLeaf(false, next);
        leaf.left = written;
        leaf.address = next;
        leaf.count = 0;
        leaf.position = NVobjCDXTag::kNode;
        leaf.full = false;
        Push(1, leaf.lastKind, leaf.last, leaf.lastLength, leaf.lastRecNo, written);
    }
    if (leaf.address == 0) leaf.address = tag_->File()->NewPage();
    if (length < 0 || length > static_cast<int>(sizeof leaf.last) || leaf.count >= Leaf::kMaxEntries)
        tag_->RaiseCorrupt();
    // What the node stores of the key: cut to the key length, without the padding the
    // reader puts back (blanks of text, zero bytes of number images).
    const bool text = tag_->keyType == 'C' && !tag_->General();
    int stored = std::min(length, static_cast<int>(tag_->keyLength));
    if (tag_->keyType != 'C' || text) {
        const uint8_t pad = text ? ' ' : 0;
        while (stored > 0 && bytes[stored - 1] == pad) --stored;
    }
    int duplicate = 0;
    if (leaf.count > 0) {
        const int common = std::min(stored, leaf.lastStored);
        while (duplicate < common && bytes[duplicate] == leaf.last[duplicate]) ++duplicate;
    }
    const int n = stored - duplicate;
    if (leaf.position - n < kLeafKeysAt) tag_->RaiseCorrupt();
    leaf.position -= n;
    nvbytes::CopyShort(leaf.node + leaf.position, bytes + duplicate, static_cast<std::size_t>(n));
    // Only stored bytes pack; the reader restores the run before taking the next key's
    // shared bytes from this one.
    if (tag_->General()) PackNibbles(leaf.node, leaf.position, leaf.position + n);
    leaf.info[leaf.count++] = Leaf::Info{static_cast<uint32_t>(recNo), static_cast<uint8_t>(duplicate),
                                         static_cast<uint8_t>(tag_->keyLength - stored)};
    nvbytes::CopyShort(leaf.last, bytes, static_cast<std::size_t>(length));
    leaf.lastLength = length;
    leaf.lastStored = stored;
    leaf.lastKind = kind;
    leaf.lastRecNo = recNo;
    const TnvCdxLeafLayout& layout = Layout();
    const int used = NVobjCDXTag::kNode - leaf.position;
    const int free = NVobjCDXTag::kKeyArea - leaf.count * layout.bytes - used;
    leaf.full = free < 2 * (layout.bytes + tag_->keyLength + 8);
}

void NVobjSortCDX::Push(int level, uint8_t kind, const uint8_t* bytes, int length, int32_t recNo,
                        int32_t reference) {
    if (level == 0) {
        PushLeaf(kind, bytes, length, recNo);
        return;
    }
    // Deeper than any tree of 512-byte nodes can be: the key stream cannot be right.
    if (level >= NVobjIndexTag::kMaxDepth) tag_->RaiseCorrupt();
    while (static_cast<int>(levels_.size()) <= level) {
        auto made = std::make_unique<Level>(tag_);
        made->page.kind = NVobjIndexKey::kInterior;
        levels_.push_back(std::move(made));
    }
    Level& at = *levels_[static_cast<std::size_t>(level)];
    if (at.full) {
        const int32_t next = tag_->File()->NewPage();
        const int32_t written = at.address;
        const NVobjIndexKeyData high(*at.page.Items(at.page.Count() - 1));
        Write(level, false, next);
        at.left = written;
        at.address = next;
        while (at.page.Count() > 0) at.spare.push_back(at.page.ExtractAt(at.page.Count() - 1));
        at.full = false;
        Push(level + 1, high, high.recNo, written);
    }
    Level& now = *levels_[static_cast<std::size_t>(level)];
    if (now.address == 0) now.address = tag_->File()->NewPage();
    std::unique_ptr<NVobjIndexKeyData> entry;
    if (now.spare.empty()) {
        entry = std::make_unique<NVobjIndexKeyData>();
    } else {
        entry = std::move(now.spare.back());
        now.spare.pop_back();
    }
    entry->SetLength(length);
    if (length > 0) std::memcpy(entry->Data(), bytes, static_cast<std::size_t>(length));
    entry->SetKind(kind);
    entry->recNo = recNo;
    entry->reference = reference;
    now.page.Add(entry.release());
    now.full = now.page.Count() >= tag_->maxEntries;
}

// The leaf layout for the highest record number so far; it changes only when that grows.
const TnvCdxLeafLayout& NVobjSortCDX::Layout() {
    if (layoutFor_ != largest_) {
        layout_ = NvCdxLeafLayout(tag_->keyLength, static_cast<uint32_t>(largest_), 3);
        layoutFor_ = largest_;
    }
    return layout_;
}

void NVobjSortCDX::WriteLeaf(bool root, int32_t right) {
    Leaf& leaf = *leaf_;
    const TnvCdxLeafLayout& layout = Layout();
    const int b = layout.bytes;
    const int entriesEnd = kLeafKeysAt + leaf.count * b;
    if (entriesEnd > leaf.position) tag_->RaiseCorrupt();
    uint8_t* node = leaf.node;
    std::memset(node, 0, static_cast<std::size_t>(leaf.position));
    nvbytes::StoreLE16(node, static_cast<uint16_t>(root ? 3 : 2));
    nvbytes::StoreLE16(node + 2, static_cast<uint16_t>(leaf.count));
    nvbytes::StoreLE32(node + 4, static_cast<uint32_t>(leaf.left));
    nvbytes::StoreLE32(node + 8, static_cast<uint32_t>(right));
    nvbytes::StoreLE16(node + 12, static_cast<uint16_t>(leaf.position - entriesEnd));
    StoreLeafLayout(node, layout);
    const int trailingShift = layout.recordBits + layout.duplicateBits;
    for (int i = 0; i < leaf.count; ++i) {
        const Leaf::Info& e = leaf.info[i];
        const uint64_t info = (uint64_t{e.recNo} & layout.recordMask) |
                              (uint64_t{e.duplicate} << layout.recordBits) |
                              (uint64_t{e.trailing} << trailingShift);
        StoreLE(node + kLeafKeysAt + i * b, info, b);
    }
    tag_->File()->PageWrite(leaf.address, node, NVobjCDXTag::kNode);
}

void NVobjSortCDX::Write(int level, bool root, int32_t right) {
    Level& at = *levels_[static_cast<std::size_t>(level)];
    uint8_t node[NVobjCDXTag::kNode];
    tag_->EncodeInterior(at.page, 0, at.page.Count(), root ? 1 : 0, at.left, right, node);
    tag_->File()->PageWrite(at.address, node, NVobjCDXTag::kNode);
}

void NVobjSortCDX::Finish() {
    if (finished_) return;
    finished_ = true;
    if (!leaf_ || leaf_->count == 0) {
        tag_->WriteEmptyRoot();
        return;
    }
    // Each level's last node goes up; the one level left with a single node is the root.
    if (levels_.size() <= 1) {
        WriteLeaf(true, -1);
        tag_->root = leaf_->address;
        tag_->dirty = true;
        return;
    }
    WriteLeaf(false, -1);
    Push(1, leaf_->lastKind, leaf_->last, leaf_->lastLength, leaf_->lastRecNo, leaf_->address);
    for (std::size_t level = 1; level < levels_.size(); ++level) {
        Level& at = *levels_[level];
        if (level + 1 == levels_.size()) {
            Write(static_cast<int>(level), true, -1);
            tag_->root = at.address;
            break;
        }
        const NVobjIndexKeyData high(*at.page.Items(at.page.Count() - 1));
        Write(static_cast<int>(level), false, -1);
        Push(static_cast<int>(level) + 1, high, high.recNo, at.address);
    }
    tag_->dirty = true;
}

// ---- NVobjCDXFile --------------------------------------------------------------------

NVobjCDXFile::NVobjCDXFile(TnvIndexTable* owner, std::string_view name) : NVobjIndexFile(owner, name) {
    recordOrderedKeys = true;
}

NVobjCDXFile::~NVobjCDXFile() {
    tags.FreeAll();
    structural_.reset();
}

std::unique_ptr<NVobjCDXFile> NVobjCDXFile::Open(TnvIndexTable* table, std::string_view path, bool create,
                                                 bool overwrite, bool shared) {
    auto file = std::make_unique<NVobjCDXFile>(table, path);
    bool made = false;
    if (!file->OpenDisk(path, ".cdx", overwrite, create, shared, made)) return nullptr;
    file->building = true;
    const int64_t size = made ? 0 : file->diskFile->FileSize();
    if (size > NVobjCDXTag::kNode) {
        try {
            file->ReadDirectory();
        } catch (const ENorvaneError&) {
            // A directory whose pages cannot be walked: the caller reports the corrupt file.
            file->tags.FreeAll();
            file->corrupt = true;
        }
    } else if (size == 0) {
        file->MakeEmpty();
    } else {
        // Too short for a structural tag, and not empty: not ours to overwrite.
        file->corrupt = true;
    }
    NvCdxSetCollation(kCdxCollationMachine);
    if (table && !file->corrupt && !table->HasProductionIndex()) {
        const std::string own = file->diskFile->FileName();
        const std::string tablePath = table->TableFileName();
        auto stem = [](const std::string& p) {
            std::size_t slash = p.find_last_of('/');
            std::size_t dot = p.find_last_of('.');
            if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = p.size();
            return UpperName(p.substr(0, dot));
        };
        if (!tablePath.empty() && stem(own) == stem(tablePath)) table->MarkProductionIndex();
    }
    file->building = false;
    file->opened = !file->corrupt;
    return file;
}

void NVobjCDXFile::ReadDirectory() {
    structural_ = std::make_unique<NVobjCDXTag>(this, 0, true);
    structural_->tagName = UpperName(BaseName(fileName));
    if (!structural_->TagLoad()) {
        corrupt = true;
        return;
    }
    SetEnd();
    const int64_t size = diskFile->FileSize();
    NVobjCDXTag& directory = *structural_;
    directory.TagReset(0);
    // An entry's record number is its tag's header, so 0 is a damaged entry, not the end.
    while (!directory.AtEOF() && !directory.AtBOF()) {
        // Every tag needs a header of two pages of its own.
        if (static_cast<int64_t>(tags.Count() + 1) * NVobjCDXTag::kHeader >= size) {
            corrupt = true;
            break;
        }
        const int32_t header = directory.currentKey.reference;
        auto tag = std::make_unique<NVobjCDXTag>(this, header <= 0 ? 1 : header, false);
        tag->tagName = UpperName(directory.currentKey.AsString());
        if (header <= 0 || !tag->TagLoad()) {
            tag->dirty = false;
            corrupt = true;
            break;
        }
        tags.Add(tag.release());
        directory.TagMove(-1);
    }
    directory.PageRelease();
}

void NVobjCDXFile::MakeEmpty() {
    nextPage = 0;
    structural_ = std::make_unique<NVobjCDXTag>(this, -1, true);
    structural_->tagName = UpperName(BaseName(fileName));
    structural_->TagCreate("", "", false, true, "");
    structural_->TagReset(0);
}

bool NVobjCDXFile::DropTag(const std::string& upperName) {
    NVobjIndexTag* old = TagByName(upperName);
    if (!old) return false;
    NVobjIndexKeyData key;
    key.PutString(upperName);
    key.reference = old->headerAddress;
    if (structural_->KeyFind(key) == old->headerAddress && structural_->Root())
        structural_->Root()->DeleteCurrent();
    tags.Remove(old);
    return true;
}

bool NVobjCDXFile::TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                          std::string_view forExpression) {
    if (name.empty() || name.size() > static_cast<std::size_t>(kMaxTagName))
        NvRaise(TnvMsg::TagNameLength, {std::string(name)});
    if (!structural_) NvRaise(TnvMsg::IndexCorrupted, {MessageName()});
    const std::string upper = UpperName(name);
    structural_->PageRelease();
    const int64_t sizeBefore = diskFile ? diskFile->FileSize() : 0;
    auto tag = std::make_unique<NVobjCDXTag>(this, -1, false);
    tag->tagName = upper;
    // The cursor marks a build for the general-collation sort options on the file it opens
    // for it; the process-wide setting serves callers that set it themselves.
    tag->collation = upperCaseKeys ? uint8_t{kCdxCollationGeneral} : NvCdxCollation();
    NVobjCDXTag* made = tag.get();
    // A build that fails leaves the file as it was (an old tag of this name included): the
    // pages it wrote are cut off again.
    auto abandon = [&] {
        made->dirty = false;
        tag.reset();
        if (diskFile && diskFile->FileSize() > sizeBefore) diskFile->Truncate(sizeBefore);
        nextPage = -1;
    };
    bool built = false;
    try {
        built = made->TagCreate(upper, keyExpression, unique, ascending, forExpression);
    } catch (...) {
        abandon();
        throw;
    }
    if (!built) {
        abandon();
        return false;
    }
    // The new tag is complete before an old one of the same name gives up its entry.
    DropTag(upper);
    tags.Add(tag.release());
    NVobjIndexKeyData entry;
    entry.PutString(upper);
    entry.reference = made->headerAddress;
    structural_->KeyAdd(entry);
    if (structural_->Root()) structural_->Root()->dirty = true;
    structural_->PageRelease();
    return true;
}

bool NVobjCDXFile::TagDelete(std::string_view name) {
    if (!structural_) return false;
    const std::string upper = UpperName(name);
    structural_->PageRelease();
    if (!DropTag(upper)) return false;
    structural_->PageRelease();
    if (tags.Count() == 0) {
        if (diskFile && !diskFile->Shared())
            StartOverInPlace();
        else
            Reindex();
    }
    return true;
}

// With no tag left there is nothing to keep, so an exclusive file is emptied where it lies
// instead of through a scratch copy and a rename (two syncs a tag build with --replace waits
// for). A crash part way leaves an empty file, which opens as an index without tags, or the
// new one.
void NVobjCDXFile::StartOverInPlace() {
    ReleaseAll();
    tags.FreeAll();
    structural_.reset();
    diskFile->Truncate(0);
    ForgetPageCache();
    MakeEmpty();
    structural_->PageRelease();
    corrupt = false;
    opened = true;
}

int32_t NVobjCDXFile::NewPage() {
    if (nextPage < 0) SetEnd();
    const int32_t address = nextPage;
    nextPage += NVobjCDXTag::kNode;
    return address;
}

int32_t NVobjCDXFile::SetEnd() {
    const int64_t size = diskFile ? diskFile->FileSize() : 0;
    nextPage = static_cast<int32_t>((size + NVobjCDXTag::kNode - 1) / NVobjCDXTag::kNode * NVobjCDXTag::kNode);
    return nextPage;
}

void NVobjCDXFile::ReleaseAll() {
    for (int i = 0; i < tags.Count(); ++i) tags.Items(i)->PageRelease();
    if (structural_) structural_->PageRelease();
}

void NVobjCDXFile::Reindex() {
    if (!diskFile) return;
    ReleaseAll();
    struct Definition {
        std::string name, key, forExpression;
        bool unique, ascending;
        uint8_t collation;
    };
    std::vector<Definition> definitions;
    for (int i = 0; i < tags.Count(); ++i) {
        NVobjCDXTag* tag = Tag(i);
        definitions.push_back({tag->tagName, tag->keyExpression, tag->forExpression, tag->unique, tag->ascending,
                               tag->collation});
    }
    // Without a table no key can be evaluated: rebuilding would lose every tag.
    if (!table && !definitions.empty()) return;
    const uint8_t savedCollation = NvCdxCollation();
    try {
        RebuildThrough([this](const std::string& path) -> std::unique_ptr<NVobjIndexFile> {
            return Open(table, path, true, true, false);
        },
                       [&definitions](NVobjIndexFile& built) {
                           auto& scratch = static_cast<NVobjCDXFile&>(built);
                           for (const Definition& d : definitions) {
                               NvCdxSetCollation(d.collation == kCdxCollationGeneral ? kCdxCollationGeneral
                                                                                   : kCdxCollationMachine);
                               scratch.TagAdd(d.name, d.key, d.unique, d.ascending, d.forExpression);
                           }
                           scratch.ReleaseAll();
                       });
    } catch (...) {
        NvCdxSetCollation(savedCollation);
        throw;
    }
    NvCdxSetCollation(savedCollation);
    tags.FreeAll();
    structural_.reset();
    nextPage = -1;
    corrupt = false;
    ReadDirectory();
    opened = !corrupt;
}

bool NVobjCDXFile::RecordChanged(int32_t record, bool appending) {
    const bool any = NVobjIndexFile::RecordChanged(record, appending);
    if (any && structural_) {
        ++structural_->changeCounter;
        structural_->dirty = true;
        structural_->TagStore();
    }
    return any;
}

bool NVobjCDXFile::ChangedByOther() {
    if (!diskFile || !diskFile->Shared() || !structural_) return false;
    uint8_t header[NVobjCDXTag::kNode];
    if (!PageReadFromDisk(0, header, NVobjCDXTag::kNode)) return false;
    const int32_t counter = static_cast<int32_t>(nvbytes::LoadLE32(header + 8));
    if (counter == structural_->changeCounter) return false;
    structural_->changeCounter = counter;
    ForgetPageCache();
    // The directory may have moved too; the tags' own chains are RefreshShared's.
    structural_->PageRelease();
    return true;
}
