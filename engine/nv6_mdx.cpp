#include "nv6_mdx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nv6_bytes.h"
#include "nv6_cnst.h"
#include "nv6_date.h"
#include "nv6_glbl.h"

namespace {

constexpr int kEntriesAt = 8;
constexpr int kPackedLength = 12;
constexpr int kDigitBytes = 10;
constexpr int kExponentBias = 52;
constexpr int kSignificant = 15;
constexpr double kBlankDate = 1e100;
constexpr double kHighestNumber = 1.7e308;
constexpr int kMaxCharacterKey = 100;
constexpr int kNameRoom = 10;

// Offsets in the file header and in a directory entry.
constexpr int kBlocksPerPageAt = 20;
constexpr int kPageSizeAt = 22;
constexpr int kProductionAt = 24;
constexpr int kCapacityAt = 25;
constexpr int kEntryLengthAt = 26;
constexpr int kTagCountAt = 28;
constexpr int kNextBlockAt = 32;
constexpr int kCreatedAt = 44;
constexpr int kTableNameAt = 4;
constexpr int kDirectoryAt = 512;
constexpr int kLinkAt = 17;

std::string TagNameOf(std::string_view name) {
    std::string upper(name.substr(0, std::min<std::size_t>(name.size(), kNameRoom)));
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return upper;
}

void StoreToday(uint8_t* at) {
    int year, month, day;
    DBFDate.DayToYMD(DBFDate.Today(), year, month, day);
    at[0] = static_cast<uint8_t>(year % 100);
    at[1] = static_cast<uint8_t>(month);
    at[2] = static_cast<uint8_t>(day);
}

// The first 8 characters of `name`'s base name, 0-terminated in a 9-byte zeroed field.
void StoreTableName(uint8_t* at, std::string_view name) {
    std::memset(at, 0, 9);
    std::string base = BaseName(name);
    std::memcpy(at, base.data(), std::min<std::size_t>(base.size(), 8));
}

// The format scratch of a page object keeps which block's chain value it knows: a page that
// is written at any other block is new there and goes to the end of the tag's page chain.
int32_t ChainBlock(const NVobjIndexKey& page) { return static_cast<int32_t>(nvbytes::LoadLE32(page.scratch)); }
int32_t ChainValue(const NVobjIndexKey& page) { return static_cast<int32_t>(nvbytes::LoadLE32(page.scratch + 4)); }
void SetChain(NVobjIndexKey& page, int32_t block, int32_t value) {
    nvbytes::StoreLE32(page.scratch, static_cast<uint32_t>(block));
    nvbytes::StoreLE32(page.scratch + 4, static_cast<uint32_t>(value));
}

}  // namespace

// ---- Packed decimals -----------------------------------------------------------------

void NvMdxPackNumber(double value, uint8_t out[12]) {
    std::memset(out, 0, kPackedLength);
    out[0] = kExponentBias;
    out[1] = 1;
    if (std::isnan(value) || value == 0) return;
    const bool negative = value < 0;
    const double magnitude = std::fabs(value);
    char digits[kSignificant + 1] = {};
    int exponent;
    if (std::isinf(magnitude)) {
        exponent = kSignificant + 1;
    } else {
        // d.dddddddddddddde+XX: fifteen significant digits, rounded by the C library.
        char text[40];
        std::snprintf(text, sizeof text, "%.*e", kSignificant - 1, magnitude);
        digits[0] = text[0];
        std::memcpy(digits + 1, text + 2, kSignificant - 1);
        const char* e = std::strchr(text, 'e');
        exponent = (e ? std::atoi(e + 1) : 0) + 1;
    }
    if (exponent > kSignificant) {
        exponent = kSignificant;
        std::memset(digits, '9', kSignificant);
    }
    // Below the smallest exponent byte the value cannot be told from zero.
    if (exponent + kExponentBias < 0) return;
    int count = kSignificant;
    while (count > 0 && digits[count - 1] == '0') --count;
    const int nibbles = (count + 1) / 2 * 2;
    for (int i = 0; i < count; ++i) {
        const uint8_t d = static_cast<uint8_t>(digits[i] - '0');
        out[2 + i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? d << 4 : d);
    }
    out[0] = static_cast<uint8_t>(exponent + kExponentBias);
    out[1] = static_cast<uint8_t>(nibbles * 4 + 1);
    if (negative) out[1] |= 0x80;
}

double NvMdxUnpackNumber(const uint8_t in[12]) {
    const int bytes = std::min((in[1] >> 3) & 0x0F, kDigitBytes);
    if (bytes == 0) return 0;
    // The digits as an integer times a power of ten, read by strtod so the nearest double
    // comes back (and a number re-packed gives the same bytes).
    char text[2 * kDigitBytes + 16];
    int at = 0;
    for (int i = 0; i < bytes; ++i) {
        text[at++] = static_cast<char>('0' + std::min(in[2 + i] >> 4, 9));
        text[at++] = static_cast<char>('0' + std::min(in[2 + i] & 0x0F, 9));
    }
    std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "e%d",
                  static_cast<int>(in[0]) - kExponentBias - 2 * bytes);
    const double value = std::strtod(text, nullptr);
    return (in[1] & 0x80) ? -value : value;
}

// ---- NVobjMDXTag ---------------------------------------------------------------------

NVobjMDXTag::NVobjMDXTag(NVobjIndexFile* file, int32_t header, int32_t size)
    : NVobjIndexTag(file, header), pageSize(size) {
    formatName = "MDX";
    expressionOptions = 10;
}

NVobjMDXTag::~NVobjMDXTag() {
    try {
        PageRelease();
    } catch (...) {
        // Nothing can be reported from here; the cursor releases its tags before closing.
    }
}

void NVobjMDXTag::SetKeyLength(int16_t length) {
    keyLength = length;
    entryLength = static_cast<int16_t>((length + 4 + 3) / 4 * 4);
    maxEntries = static_cast<int16_t>((pageSize - kEntriesAt) / entryLength - 1);
}

void NVobjMDXTag::KeyFormat(TnvVariant& value, bool partial) {
    if (keyType == 'C') {
        if (value.Kind() != TnvVariant::kCharacter) value.PutString(value.AsString());
        // A page keeps key length bytes; a longer key is that prefix wherever it is used,
        // or a search for it would miss the entry written for it.
        if (keyLength > 0 && value.Length() > keyLength) {
            value.SetLength(keyLength);
            value.SetKind(TnvVariant::kCharacter);
        }
        if (partial) value.TrimRight();
        return;
    }
    double number = 0;
    if (!value.IsEmpty()) number = value.Kind() == TnvVariant::kDate ? value.AsDate() : value.AsNumber();
    if (keyType == 'D') {
        if (number < 0.1) number = kBlankDate;
    } else {
        uint8_t packed[kPackedLength];
        NvMdxPackNumber(number, packed);
        number = NvMdxUnpackNumber(packed);
    }
    value.PutNumber(number);
}

bool NVobjMDXTag::TagCreate(std::string_view name, std::string_view keyExpr, bool isUnique, bool isAscending,
                            std::string_view forExpr) {
    // The header page has fixed room for both texts; a cut expression would be a different one.
    const int forRoom = pageSize - kForAt - 1;
    if (static_cast<int>(keyExpr.size()) > kExpressionRoom - 1)
        NvRaise(TnvMsg::IndexExpressionTooLong, {kExpressionRoom - 1, File()->MessageName()});
    if (static_cast<int>(forExpr.size()) > std::max(forRoom, 0))
        NvRaise(TnvMsg::IndexExpressionTooLong, {std::max(forRoom, 0), File()->MessageName()});
    NVobjIndexTag::TagCreate(name, keyExpr, isUnique, isAscending, forExpr);
    descendingCompare = !ascending;
    TnvVariant trial(256);
    bool ok;
    if (!KeyEvaluate(trial, ok)) return false;
    switch (trial.Kind()) {
        case TnvVariant::kNumeric:
            keyType = 'N';
            SetKeyLength(kPackedLength);
            break;
        case TnvVariant::kDate:
            keyType = 'D';
            SetKeyLength(8);
            break;
        default:
            // Longer keys are cut to the format's longest (KeyFormat), as every key is.
            keyType = 'C';
            SetKeyLength(static_cast<int16_t>(std::clamp<int32_t>(CharacterKeyLength(trial), 1, kMaxCharacterKey)));
            break;
    }
    std::vector<uint8_t> zero(static_cast<std::size_t>(pageSize), 0);
    File()->PageWrite(headerAddress, zero.data(), pageSize);
    firstPage = lastPage = 0;
    TnvIndexTable* table = File()->Table();
    if (table && table->RecordCount() > 0)
        Build();
    else
        WriteEmptyRoot();
    dirty = true;
    TagStore();
    return true;
}

void NVobjMDXTag::WriteEmptyRoot() {
    std::vector<uint8_t> zero(static_cast<std::size_t>(pageSize), 0);
    root = File()->NewPage();
    File()->PageWrite(root, zero.data(), pageSize);
    firstPage = lastPage = root;
    dirty = true;
}

void NVobjMDXTag::Build() { NVobjSortMDX(this).Build(); }

bool NVobjMDXTag::KeyAdd(NVobjIndexKeyData& key) {
    key.recNo = 0;
    return NVobjIndexTag::KeyAdd(key);
}

int32_t NVobjMDXTag::RootPage() {
    uint8_t buffer[4];
    if (File()->PageRead(headerAddress, buffer, 4)) root = static_cast<int32_t>(nvbytes::LoadLE32(buffer));
    return root;
}

int NVobjMDXTag::PageLoad(int32_t address, NVobjIndexKey& page) {
    auto* file = static_cast<NVobjMDXFile*>(File());
    if (entryLength < keyLength + 4 || keyLength <= 0 || maxEntries <= 0 || !file->PageInFile(address)) return 1;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(pageSize));
    if (!file->PageRead(address, buffer.data(), pageSize)) return 1;
    const uint8_t* p = buffer.data();
    const uint32_t n = nvbytes::LoadLE32(p);
    if (n > static_cast<uint32_t>(maxEntries) ||
        kEntriesAt + (static_cast<int64_t>(n) + 1) * entryLength > pageSize)
        return 1;
    const bool leaf = nvbytes::LoadLE32(p + kEntriesAt + n * entryLength) == 0;
    const int entries = static_cast<int>(leaf ? n : n + 1);
    page.kind = leaf ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
    page.leftSibling = static_cast<int32_t>(nvbytes::LoadLE32(p + 4));
    SetChain(page, address, page.leftSibling);
    for (int i = 0; i < entries; ++i) {
        const uint8_t* e = p + kEntriesAt + i * entryLength;
        const int32_t pointer = static_cast<int32_t>(nvbytes::LoadLE32(e));
        // A record number that is none, or a child that is no page of this file, cannot be
        // followed.
        if (leaf ? pointer <= 0 : !file->PageInFile(pointer)) return 1;
        auto entry = std::make_unique<NVobjIndexKeyData>();
        const bool rightMost = !leaf && i == entries - 1;
        const uint8_t* key = e + 4;
        if (keyType == 'C') {
            if (rightMost) {
                // Stands for every key below it: the highest (ascending) or lowest text.
                const char top = static_cast<char>(0xFF);
                entry->PutString(ascending ? std::string_view(&top, 1) : std::string_view());
            } else {
                int len = key[0] == 0 ? 0 : keyLength;
                while (len > 0 && key[len - 1] == ' ') --len;
                entry->PutString(std::string_view(reinterpret_cast<const char*>(key), static_cast<std::size_t>(len)));
            }
        } else if (rightMost) {
            entry->PutNumber(ascending ? kHighestNumber : -kHighestNumber);
        } else {
            entry->PutNumber(keyType == 'N' ? NvMdxUnpackNumber(key) : nvbytes::LoadLEDouble(key));
        }
        entry->reference = pointer;
        entry->recNo = 0;
        page.Add(entry.release());
    }
    return 0;
}

int NVobjMDXTag::PageStore(NVobjIndexKey& page) {
    SplitCountLimited(page);
    int32_t chain = ChainValue(page);
    if (ChainBlock(page) != page.address) {
        // Root growth moved this page's entries to a new block and left the new root at the
        // old one, whose chain value the new root keeps.
        NVobjIndexKey* up = page.Parent();
        if (up && ChainBlock(page) != 0 && ChainBlock(page) == up->address && ChainBlock(*up) != up->address)
            SetChain(*up, ChainBlock(page), chain);
        chain = lastPage;
        lastPage = page.address;
        if (firstPage == 0) firstPage = page.address;
        dirty = true;
        SetChain(page, page.address, chain);
    }
    page.leftSibling = chain;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(pageSize), 0);
    uint8_t* p = buffer.data();
    const bool interior = page.IsInterior();
    const int count = page.Count();
    nvbytes::StoreLE32(p, static_cast<uint32_t>(interior && count > 0 ? count - 1 : count));
    nvbytes::StoreLE32(p + 4, static_cast<uint32_t>(chain));
    for (int i = 0; i < count; ++i) {
        uint8_t* e = p + kEntriesAt + i * entryLength;
        const NVobjIndexKeyData& entry = *page.Items(i);
        nvbytes::StoreLE32(e, static_cast<uint32_t>(entry.reference));
        if (interior && i == count - 1) break;  // the right-most child has no key
        StoreKey(entry, e + 4);
    }
    File()->PageWrite(page.address, p, pageSize);
    return 0;
}

void NVobjMDXTag::StoreKey(const TnvVariant& key, uint8_t* at) const {
    if (keyType == 'C') {
        const std::string_view text = key.View();
        NVobjBlockBuilder::StoreText(at, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()),
                                     keyLength);
    } else if (keyType == 'N') {
        NvMdxPackNumber(key.IsEmpty() ? 0.0 : key.AsNumber(), at);
    } else {
        nvbytes::StoreLEDouble(at, key.IsEmpty() ? 0.0 : key.AsNumber());
    }
}

void NVobjMDXTag::WriteNewPage(int32_t address, uint8_t* p, int count, bool interior) {
    // A new page goes to the end of the tag's page chain.
    const int32_t chain = lastPage;
    lastPage = address;
    if (firstPage == 0) firstPage = address;
    dirty = true;
    nvbytes::StoreLE32(p, static_cast<uint32_t>(interior && count > 0 ? count - 1 : count));
    nvbytes::StoreLE32(p + 4, static_cast<uint32_t>(chain));
    if (interior && count > 0)
        std::memset(p + kEntriesAt + (count - 1) * entryLength + 4, 0, static_cast<std::size_t>(entryLength - 4));
    File()->PageWrite(address, p, pageSize);
}

NVobjBlockBuilder::Layout NVobjMDXTag::BlockLayout() const {
    NVobjBlockBuilder::Layout layout;
    layout.pageSize = pageSize;
    layout.entriesAt = kEntriesAt;
    layout.keyAt = 4;
    layout.keyBytes = keyLength;
    layout.leafPointerAt = 0;
    layout.interiorPointerAt = 0;
    return layout;
}

int NVobjMDXTag::StoredKeys(const NVobjIndexKey& page) const {
    return page.Count() - (page.IsInterior() ? 1 : 0);
}

bool NVobjMDXTag::TagLoad() {
    dirty = false;
    auto* file = static_cast<NVobjMDXFile*>(File());
    if (pageSize < 512 || !file->PageInFile(headerAddress)) return false;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(pageSize));
    if (!file->PageRead(headerAddress, buffer.data(), pageSize)) return false;
    const uint8_t* h = buffer.data();
    root = static_cast<int32_t>(nvbytes::LoadLE32(h));
    const uint8_t format = h[8];
    keyType = static_cast<char>(h[9]);
    keyLength = static_cast<int16_t>(nvbytes::LoadLE16(h + 12));
    maxEntries = static_cast<int16_t>(nvbytes::LoadLE16(h + 14));
    entryLength = static_cast<int16_t>(nvbytes::LoadLE16(h + 18));
    unique = h[23] != 0;
    std::size_t len = 0;
    while (len < kExpressionRoom && h[kExpressionAt + len] != 0) ++len;
    keyExpression.assign(reinterpret_cast<const char*>(h + kExpressionAt), len);
    hasFor = h[245] != 0;
    firstPage = static_cast<int32_t>(nvbytes::LoadLE32(h + 248));
    lastPage = static_cast<int32_t>(nvbytes::LoadLE32(h + 252));
    forExpression.clear();
    if (hasFor) {
        if (pageSize <= kForAt) return false;
        len = 0;
        while (kForAt + len < static_cast<std::size_t>(pageSize) && h[kForAt + len] != 0) ++len;
        forExpression.assign(reinterpret_cast<const char*>(h + kForAt), len);
    }
    ascending = (format & 0x08) == 0;
    descendingCompare = !ascending;
    // Lengths that cannot describe a page of this file would send every page read astray; a
    // page of one entry could never split in two, and every write would grow the tree forever.
    const bool typeFits = (keyType == 'C' && keyLength > 0) || (keyType == 'N' && keyLength == kPackedLength) ||
                          (keyType == 'D' && keyLength == 8);
    if (!typeFits || entryLength < keyLength + 4 || maxEntries < 2 ||
        kEntriesAt + (maxEntries + 1) * entryLength > pageSize || !file->PageInFile(root))
        return false;
    CompileKey();
    if (hasFor) CompileFor();
    return true;
}

void NVobjMDXTag::WriteHeader() {
    std::vector<uint8_t> buffer(static_cast<std::size_t>(pageSize), 0);
    uint8_t* h = buffer.data();
    nvbytes::StoreLE32(h, static_cast<uint32_t>(root));
    h[8] = static_cast<uint8_t>(0x10 | (unique ? 0x40 : 0) | (ascending ? 0 : 0x08));
    h[9] = static_cast<uint8_t>(keyType);
    nvbytes::StoreLE16(h + 12, static_cast<uint16_t>(keyLength));
    nvbytes::StoreLE16(h + 14, static_cast<uint16_t>(maxEntries));
    nvbytes::StoreLE16(h + 18, static_cast<uint16_t>(entryLength));
    h[23] = unique ? 0x40 : 0;
    std::memcpy(h + kExpressionAt, keyExpression.data(),
                std::min<std::size_t>(keyExpression.size(), kExpressionRoom - 1));
    h[245] = hasFor ? 1 : 0;
    h[246] = 1;
    nvbytes::StoreLE32(h + 248, static_cast<uint32_t>(firstPage));
    nvbytes::StoreLE32(h + 252, static_cast<uint32_t>(lastPage));
    if (hasFor && pageSize > kForAt + 1)
        std::memcpy(h + kForAt, forExpression.data(),
                    std::min<std::size_t>(forExpression.size(), static_cast<std::size_t>(pageSize - kForAt - 1)));
    File()->PageWrite(headerAddress, h, pageSize);
}

void NVobjMDXTag::ReadPageChain() {
    uint8_t h[256];
    if (!File()->PageRead(headerAddress, h, sizeof h)) return;
    firstPage = static_cast<int32_t>(nvbytes::LoadLE32(h + 248));
    lastPage = static_cast<int32_t>(nvbytes::LoadLE32(h + 252));
}

void NVobjMDXTag::TagStore() {
    if (dirty) WriteHeader();
    dirty = false;
}

// ---- NVobjSortMDX --------------------------------------------------------------------

NVobjSortMDX::NVobjSortMDX(NVobjMDXTag* tag)
    : TnvSort(tag->keyType == 'C' ? tag->keyLength + 1 : 9, nullptr, tag->ascending, tag->unique),
      tag_(tag),
      pages_(
          tag, tag->BlockLayout(),
          [tag](int32_t address, uint8_t* page, int count, bool interior) {
              tag->WriteNewPage(address, page, count, interior);
          },
          [tag] { tag->WriteEmptyRoot(); }) {}

NVobjSortMDX::~NVobjSortMDX() {
    try {
        Finish();
    } catch (...) {
        // A build that failed leaves its partly written file; the error went to the caller.
    }
}

void NVobjSortMDX::Write(const TnvVariant& key, int32_t recNo) { tag_->StoreKey(key, pages_.AddLeaf(recNo)); }

namespace {

// The record pass of an MDX build hands the sort fixed-length byte images: blank-padded text,
// and doubles as 8 big-endian bytes that order as the numbers do. Shorter images would put
// the record number next to key bytes, and a key that is a prefix of another (or a number
// whose last bytes are zero) would sort by its record number instead of its value.
class FixedKeySource : public TnvTagRecordSource {
public:
    // The full form: the trailing blanks the partial form drops come back as padding.
    explicit FixedKeySource(NVobjMDXTag& tag) : TnvTagRecordSource(tag, false), tag_(tag) {}
    void KeyValue(TnvVariant& key) override {
        TnvTagRecordSource::KeyValue(key);
        uint8_t image[kMaxCharacterKey];
        if (tag_.keyType == 'C') {
            std::memset(image, ' ', static_cast<std::size_t>(tag_.keyLength));
            std::string_view text = key.View();
            // A blank key comes out of the partial form empty, with no bytes to copy.
            if (!text.empty())
                std::memcpy(image, text.data(),
                            std::min<std::size_t>(text.size(), static_cast<std::size_t>(tag_.keyLength)));
            key.PutBinary(image, tag_.keyLength);
            return;
        }
        const double number = key.IsEmpty() ? 0.0 : key.AsNumber();
        uint64_t bits;
        std::memcpy(&bits, &number, 8);
        bits = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
        nvbytes::StoreBE64(image, bits);
        key.PutBinary(image, 8);
    }

private:
    NVobjMDXTag& tag_;
};

// The key back from its image, as the sort holds it.
void FromFixedKey(const NVobjMDXTag& tag, const TnvSortKey& image, TnvVariant& key) {
    if (tag.keyType == 'C') {
        int n = image.length;
        while (n > 0 && image.bytes[n - 1] == ' ') --n;
        key.PutString(std::string_view(reinterpret_cast<const char*>(image.bytes), static_cast<std::size_t>(n)));
        return;
    }
    uint64_t bits = image.length == 8 ? nvbytes::LoadBE64(image.bytes) : 0;
    bits = (bits >> 63) ? bits & ~(uint64_t{1} << 63) : ~bits;
    double number;
    std::memcpy(&number, &bits, 8);
    key.PutNumber(number);
}

}  // namespace

int32_t NVobjSortMDX::Build() {
    FixedKeySource source(*tag_);
    NvWriteBehindScope pages(tag_->File()->diskFile.get());
    TnvVariant key(kMaxCharacterKey + 8);
    TnvVariant decoded;
    const int32_t written = NvBuildTagKeys(*tag_, *this, source, [&](const TnvSortKey& image) {
        if (image.kind == TnvVariant::kBinary && tag_->keyType == 'C') {
            // The padded text is the stored form already.
            NVobjBlockBuilder::StoreText(pages_.AddLeaf(image.recNo), image.bytes, image.length, tag_->keyLength);
            return;
        }
        if (image.kind == TnvVariant::kBinary) {
            FromFixedKey(*tag_, image, key);
        } else {
            // Not an image the record pass made: what the sort decodes is the key itself.
            DecodeKey(image, decoded);
            FromFixedKey(*tag_, TnvSortKey{TnvVariant::kBinary, decoded.Data(), decoded.Length(), image.recNo}, key);
        }
        Write(key, image.recNo);
    });
    Finish();
    pages.Finish();
    return written;
}

int32_t NVobjSortMDX::Finish() { return pages_.Finish(); }

// ---- NVobjMDXFile --------------------------------------------------------------------

NVobjMDXFile::NVobjMDXFile(TnvIndexTable* owner, std::string_view name) : NVobjIndexFile(owner, name) {}

NVobjMDXFile::~NVobjMDXFile() {
    try {
        // Pages and tag headers first, while the tags still count for the file header.
        for (int i = 0; i < TagCount(); ++i) Tag(i)->PageRelease();
        Close();
        tags.FreeAll();
    } catch (...) {
        // A destructor cannot report; Close is public for callers that want to see errors.
    }
}

std::unique_ptr<NVobjMDXFile> NVobjMDXFile::Open(TnvIndexTable* table, std::string_view path, bool create,
                                                 bool overwrite, bool shared) {
    auto file = std::make_unique<NVobjMDXFile>(table, path);
    bool made = false;
    if (!file->OpenDisk(path, ".mdx", overwrite, create, shared, made)) return nullptr;
    if (made) {
        file->WriteNewHeader();
    } else if (file->diskFile->FileSize() <= kBlock || !file->ReadHeader()) {
        // A file too short for its header is not silently replaced by an empty index.
        file->corrupt = true;
        file->tags.FreeAll();
    }
    file->CheckProductionIndex();
    file->opened = true;
    return file;
}

void NVobjMDXFile::WriteNewHeader() {
    pageSize = kDefaultPageSize;
    blocksPerPage = kDefaultBlocksPerPage;
    directoryCapacity = 48;
    headerArea = kMinHeaderArea;
    std::vector<uint8_t> area(static_cast<std::size_t>(headerArea), 0);
    uint8_t* h = area.data();
    h[0] = 2;
    StoreToday(h + 1);
    std::string tableName = table ? table->TableFileName() : std::string();
    StoreTableName(h + kTableNameAt, tableName.empty() ? fileName : tableName);
    nvbytes::StoreLE16(h + kBlocksPerPageAt, static_cast<uint16_t>(blocksPerPage));
    nvbytes::StoreLE16(h + kPageSizeAt, static_cast<uint16_t>(pageSize));
    h[kProductionAt] = 1;
    h[kCapacityAt] = static_cast<uint8_t>(directoryCapacity);
    nvbytes::StoreLE16(h + kEntryLengthAt, kEntryLength);
    nvbytes::StoreLE16(h + kTagCountAt, 0);
    nextPage = headerArea / kBlock;
    nvbytes::StoreLE32(h + kNextBlockAt, static_cast<uint32_t>(nextPage));
    StoreToday(h + kCreatedAt);
    PageWrite(0, h, headerArea);
    fileSize_ = -1;
    modified = false;
}

bool NVobjMDXFile::ReadHeader() {
    uint8_t first[kBlock];
    if (!PageRead(0, first, kBlock)) return false;
    pageSize = nvbytes::LoadLE16(first + kPageSizeAt);
    directoryCapacity = first[kCapacityAt];
    blocksPerPage = nvbytes::LoadLE16(first + kBlocksPerPageAt);
    const int count = nvbytes::LoadLE16(first + kTagCountAt);
    // A page must be whole blocks, and the header area no larger than the file.
    if (pageSize < kBlock || pageSize % kBlock != 0 || blocksPerPage <= 0 || blocksPerPage > 128) return false;
    headerArea = std::max(kMinHeaderArea, blocksPerPage * pageSize);
    if (headerArea > diskFile->FileSize() || count > MaxTags()) return false;
    std::vector<uint8_t> area = ReadHeaderArea();
    if (area.empty()) return false;
    SetEnd();
    for (int k = 1; k <= count; ++k) {
        const uint8_t* e = area.data() + kDirectoryAt + k * kEntryLength;
        const int32_t block = static_cast<int32_t>(nvbytes::LoadLE32(e));
        std::size_t len = 0;
        while (len < kNameRoom + 1 && e[4 + len] != 0) ++len;
        auto tag = std::make_unique<NVobjMDXTag>(this, block, pageSize);
        tag->tagName = TagNameOf(std::string_view(reinterpret_cast<const char*>(e + 4), std::min<std::size_t>(len, kNameRoom)));
        NVobjMDXTag* made = tag.get();
        tags.Add(tag.release());
        if (!made->TagLoad()) return false;
    }
    return true;
}

std::vector<uint8_t> NVobjMDXFile::ReadHeaderArea() {
    std::vector<uint8_t> area(static_cast<std::size_t>(headerArea));
    if (!PageRead(0, area.data(), headerArea)) area.clear();
    return area;
}

int NVobjMDXFile::MaxTags() const {
    // Entry 0 only links to the first tag; every tag needs one entry of its own after it.
    const int fits = (headerArea - kDirectoryAt) / kEntryLength - 1;
    return std::min(directoryCapacity, fits);
}

bool NVobjMDXFile::PageInFile(int64_t block) {
    if (!diskFile || block < headerArea / kBlock) return false;
    const int64_t end = block * kBlock + pageSize;
    // Every child pointer of a page is checked: the size is asked again only when the one
    // seen last says no (a file open here only grows, except through Reindex).
    if (fileSize_ < 0 || end > fileSize_) fileSize_ = diskFile->FileSize();
    return end <= fileSize_;
}

bool NVobjMDXFile::TagAdd(std::string_view name, std::string_view keyExpression, bool unique, bool ascending,
                          std::string_view forExpression) {
    // A longer name would be cut in the directory, where it could meet another tag's.
    if (name.empty() || name.size() > static_cast<std::size_t>(kNameRoom))
        NvRaise(TnvMsg::TagNameLength, {std::string(name)});
    const std::string tagName = TagNameOf(name);
    NVobjIndexTag* old = TagByName(tagName);
    if (TagCount() - (old ? 1 : 0) >= MaxTags()) NvRaise(TnvMsg::IndexTooManyTags, {MessageName(), MaxTags()});
    const int64_t sizeBefore = diskFile ? diskFile->FileSize() : 0;
    auto tag = std::make_unique<NVobjMDXTag>(this, NewPage(), pageSize);
    tag->tagName = tagName;
    // A build that fails leaves the file as it was: its pages are cut off again.
    auto abandon = [&] {
        tag->dirty = false;
        tag.reset();
        if (diskFile && diskFile->FileSize() > sizeBefore) diskFile->Truncate(sizeBefore);
        nextPage = -1;
    };
    bool done = false;
    try {
        done = tag->TagCreate(tagName, keyExpression, unique, ascending, forExpression);
    } catch (...) {
        abandon();
        throw;
    }
    if (!done) {
        abandon();
        return false;
    }
    // The new tag is complete; only now does an old one of the same name give way (its
    // pages stay in the file until Reindex). The directory stays in name order.
    if (old) tags.Remove(old);
    std::vector<NVobjIndexTag*> rest;
    for (int i = 0; i < TagCount(); ++i)
        if (TagByNumber(i)->tagName > tagName) rest.push_back(TagByNumber(i));
    for (NVobjIndexTag* t : rest) tags.Extract(t);
    tags.Add(tag.release());
    for (NVobjIndexTag* t : rest) tags.Add(t);
    WriteDirectory();
    return true;
}

bool NVobjMDXFile::TagDelete(std::string_view name) {
    NVobjIndexTag* tag = TagByName(name);
    if (!tag) return false;
    tags.Remove(tag);
    WriteDirectory();
    if (TagCount() == 0) {
        if (diskFile && !diskFile->Shared())
            StartOverInPlace();
        else
            Reindex();
    }
    return true;
}

// With no tag left there is nothing to keep, so an exclusive file gets a new header where it
// lies instead of through a synced scratch copy and a rename. The header goes first and the
// old pages after it: a crash in between leaves an index without tags and with pages nobody
// reaches, which opens (an empty file would not).
void NVobjMDXFile::StartOverInPlace() {
    WriteNewHeader();
    diskFile->Truncate(headerArea);
    ForgetPageCache();
    corrupt = false;
}

void NVobjMDXFile::WriteDirectory() {
    std::vector<uint8_t> area = ReadHeaderArea();
    if (area.empty()) NvRaise(TnvMsg::IndexCorrupted, {MessageName()});
    const int count = TagCount();
    nvbytes::StoreLE16(area.data() + kTagCountAt, static_cast<uint16_t>(count));
    // Entries past the last tag are cleared so that a shorter list leaves nothing behind.
    std::memset(area.data() + kDirectoryAt + kEntryLength, 0,
                static_cast<std::size_t>(headerArea - kDirectoryAt - kEntryLength));
    area[kDirectoryAt + kLinkAt] = 0;
    for (int i = 0; i < count; ++i) {
        NVobjMDXTag* tag = Tag(i);
        area[kDirectoryAt + i * kEntryLength + kLinkAt] = static_cast<uint8_t>(i + 1);
        uint8_t* e = area.data() + kDirectoryAt + (i + 1) * kEntryLength;
        nvbytes::StoreLE32(e, static_cast<uint32_t>(tag->headerAddress));
        std::memcpy(e + 4, tag->tagName.data(), std::min<std::size_t>(tag->tagName.size(), kNameRoom));
        e[19] = 2;
        e[20] = static_cast<uint8_t>(tag->keyType);
    }
    PageWrite(0, area.data(), headerArea);
}

int32_t NVobjMDXFile::NewPage() {
    if (nextPage < 0) SetEnd();
    const int32_t block = nextPage;
    nextPage += blocksPerPage;
    modified = true;
    return block;
}

int32_t NVobjMDXFile::SetEnd() {
    nextPage = diskFile ? static_cast<int32_t>(diskFile->FileSize() / kBlock) : 0;
    // Pages never go into the header area, even of a file cut short.
    nextPage = std::max(nextPage, headerArea / kBlock);
    return nextPage;
}

bool NVobjMDXFile::PageRead(int64_t address, void* buffer, int32_t length) {
    return NVobjIndexFile::PageRead(address * kBlock, buffer, length);
}

void NVobjMDXFile::PageWrite(int64_t address, const void* buffer, int32_t length) {
    NVobjIndexFile::PageWrite(address * kBlock, buffer, length);
    modified = true;
}

void NVobjMDXFile::Reindex() {
    if (!diskFile) return;
    for (int i = 0; i < TagCount(); ++i) Tag(i)->PageRelease();
    // Without a table no key can be evaluated: rebuilding would lose every tag.
    if (!table && TagCount() > 0) return;
    struct Definition {
        std::string name, key, forExpression;
        bool unique, ascending;
    };
    std::vector<Definition> definitions;
    for (int i = 0; i < TagCount(); ++i) {
        NVobjMDXTag* tag = Tag(i);
        definitions.push_back({tag->tagName, tag->keyExpression, tag->forExpression, tag->unique, tag->ascending});
    }
    // Every tag is built in a scratch file first: a tag whose expression no longer compiles
    // stops the rebuild with its error and leaves every tag as it was.
    RebuildThrough([this](const std::string& path) -> std::unique_ptr<NVobjIndexFile> {
        return Open(table, path, true, true, false);
    },
                   [&definitions](NVobjIndexFile& scratch) {
                       for (const Definition& d : definitions)
                           if (!scratch.TagAdd(d.name, d.key, d.unique, d.ascending, d.forExpression))
                               NvRaise(TnvMsg::IndexTagNotBuilt, {d.name, scratch.MessageName()});
                       // The file header is written here, where a failure can still be
                       // reported (the destructor would swallow it).
                       auto& mdx = static_cast<NVobjMDXFile&>(scratch);
                       for (int i = 0; i < mdx.TagCount(); ++i) mdx.Tag(i)->PageRelease();
                       mdx.Close();
                   });
    tags.FreeAll();
    fileSize_ = -1;
    if (!ReadHeader()) {
        tags.FreeAll();
        corrupt = true;
    }
    // The rebuilt file's header was written when the scratch file closed; writing it again
    // only on close would be where a failure can no longer be reported.
    modified = false;
}

void NVobjMDXFile::Rename(std::string_view newName) {
    NVobjIndexFile::Rename(newName);
    uint8_t first[kBlock];
    if (!PageRead(0, first, kBlock)) return;
    std::string upper = BaseName(fileName);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    StoreTableName(first + kTableNameAt, upper);
    PageWrite(0, first, kBlock);
}

bool NVobjMDXFile::RecordChanged(int32_t record, bool appending) {
    const bool shared = diskFile && diskFile->Shared();
    if (shared)
        for (int i = 0; i < TagCount(); ++i) Tag(i)->ReadPageChain();
    const bool any = NVobjIndexFile::RecordChanged(record, appending);
    if (shared) StoreNextBlock();
    return any;
}

void NVobjMDXFile::StoreNextBlock() {
    uint8_t first[kBlock];
    if (!PageRead(0, first, kBlock)) return;
    const uint32_t end = static_cast<uint32_t>(SetEnd());
    if (nvbytes::LoadLE32(first + kNextBlockAt) >= end) return;
    nvbytes::StoreLE32(first + kNextBlockAt, end);
    PageWrite(0, first, kBlock);
}

void NVobjMDXFile::Close() {
    if (!modified || !diskFile) return;
    // Another program may have grown a shared file since our last write: the next free block
    // we store must not fall back behind its pages.
    const bool shared = diskFile->Shared();
    if (shared) LockIndex();
    struct Held {
        NVO_DiskFile* file;
        ~Held() {
            try {
                if (file && file->LockHolds() > 0) file->Unlock();
            } catch (...) {
                // The header is written; a lock that will not go is released when the file closes.
            }
        }
    } held{shared ? diskFile.get() : nullptr};
    std::vector<uint8_t> area = ReadHeaderArea();
    if (area.empty()) return;
    if (nextPage < 0 || shared) SetEnd();
    StoreToday(area.data() + 1);
    nvbytes::StoreLE16(area.data() + kTagCountAt, static_cast<uint16_t>(TagCount()));
    nvbytes::StoreLE32(area.data() + kNextBlockAt, static_cast<uint32_t>(nextPage));
    PageWrite(0, area.data(), headerArea);
    modified = false;
}
