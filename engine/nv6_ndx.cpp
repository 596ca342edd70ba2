#include "nv6_ndx.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_date.h"

namespace {

constexpr int kEntriesAt = 4;
constexpr double kBlankDate = 1e100;
constexpr double kHighestNumber = 1.7e308;
constexpr int kMaxCharacterKey = 100;

}  // namespace

// ---- NVobjNDXTag ---------------------------------------------------------------------

NVobjNDXTag::NVobjNDXTag(NVobjIndexFile* file, int32_t header) : NVobjIndexTag(file, header) {
    formatName = "NDX";
    // STR() without a width uses this; 1 would print one asterisk for most numbers.
    expressionOptions = 10;
}

NVobjNDXTag::~NVobjNDXTag() {
    try {
        PageRelease();
    } catch (...) {
        // Nothing can be reported from here; the cursor releases its tags before closing.
    }
}

void NVobjNDXTag::SetKeyLength(int16_t length) {
    keyLength = length;
    storedKeyLength_ = keyType == 'C' ? length : 8;
    entryLength = static_cast<int16_t>((length + 8 + 3) / 4 * 4);
    maxEntries = static_cast<int16_t>(504 / entryLength);
}

void NVobjNDXTag::KeyFormat(TnvVariant& value, bool partial) {
    if (keyType == 'C') {
        if (datesAsText_ && value.Kind() == TnvVariant::kDate)
            value.PutString(DBFDate.DayToStor(value.AsDate()));
        else if (value.Kind() != TnvVariant::kCharacter)
            value.PutString(value.AsString());
        // A page keeps key length bytes; a longer key is that prefix wherever it is used,
        // or a search for it would miss the entry written for it.
        if (storedKeyLength_ > 0 && value.Length() > storedKeyLength_) {
            value.SetLength(storedKeyLength_);
            value.SetKind(TnvVariant::kCharacter);
        }
        if (partial) value.TrimRight();
        return;
    }
    double number = 0;
    if (!value.IsEmpty()) number = value.Kind() == TnvVariant::kDate ? value.AsDate() : value.AsNumber();
    if (keyType == 'D' && number < 0.1) number = kBlankDate;
    value.PutNumber(number);
}

bool NVobjNDXTag::TagCreate(std::string_view name, std::string_view keyExpr, bool isUnique, bool isAscending,
                            std::string_view) {
    NVobjIndexTag::TagCreate(name, keyExpr, isUnique, isAscending, std::string_view());
    TnvVariant trial(256);
    bool ok;
    if (!KeyEvaluate(trial, ok)) return false;
    switch (trial.Kind()) {
        case TnvVariant::kNumeric:
            keyType = 'N';
            SetKeyLength(12);
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
    Fill();
    return true;
}

void NVobjNDXTag::CopyDefinition(const NVobjNDXTag& model) {
    keyExpression = model.keyExpression;
    unique = model.unique;
    ascending = true;
    keyType = model.keyType;
    datesAsText_ = model.datesAsText_;
    SetKeyLength(model.keyLength);
    storedKeyLength_ = model.storedKeyLength_;
    entryLength = model.entryLength;
    maxEntries = model.maxEntries;
    CompileKey();
}

void NVobjNDXTag::Fill() {
    std::vector<uint8_t> zero(kBlock, 0);
    File()->PageWrite(headerAddress, zero.data(), kBlock);
    TnvIndexTable* table = File()->Table();
    if (table && table->RecordCount() > 0) {
        NVobjSortNdx(this).Build();
        return;
    }
    root = File()->NewPage();
    File()->PageWrite(root, zero.data(), kBlock);
    dirty = true;
    TagStore();
}

bool NVobjNDXTag::KeyAdd(NVobjIndexKeyData& key) {
    key.recNo = 0;
    return NVobjIndexTag::KeyAdd(key);
}

int32_t NVobjNDXTag::RootPage() {
    uint8_t buffer[4];
    if (File()->PageRead(headerAddress, buffer, 4)) root = static_cast<int32_t>(nvbytes::LoadLE32(buffer));
    return root;
}

int NVobjNDXTag::PageLoad(int32_t address, NVobjIndexKey& page) {
    uint8_t block[kBlock];
    if (entryLength <= 8 || !File()->PageRead(address, block, kBlock)) return 1;
    const int n = nvbytes::LoadLE16(block);
    // The first child pointer alone tells a leaf: an interior page without a key still
    // has its right-most child.
    const bool leaf = nvbytes::LoadLE32(block + kEntriesAt) == 0;
    const int entries = leaf ? n : n + 1;
    if (kEntriesAt + entries * entryLength > kBlock) return 1;
    page.kind = leaf ? NVobjIndexKey::kLeaf : NVobjIndexKey::kInterior;
    for (int i = 0; i < entries; ++i) {
        const uint8_t* e = block + kEntriesAt + i * entryLength;
        auto entry = std::make_unique<NVobjIndexKeyData>();
        const bool highest = !leaf && i == entries - 1;
        if (keyType == 'C') {
            if (highest) {
                const char top = static_cast<char>(0xFF);
                entry->PutString(std::string_view(&top, 1));
            } else {
                int len = e[8] == 0 ? 0 : storedKeyLength_;
                while (len > 0 && e[8 + len - 1] == ' ') --len;
                entry->PutString(std::string_view(reinterpret_cast<const char*>(e + 8), len));
            }
        } else {
            entry->PutNumber(highest ? kHighestNumber : nvbytes::LoadLEDouble(e + 8));
        }
        entry->reference = static_cast<int32_t>(nvbytes::LoadLE32(leaf ? e + 4 : e));
        entry->recNo = 0;
        page.Add(entry.release());
    }
    return 0;
}

int NVobjNDXTag::PageStore(NVobjIndexKey& page) {
    SplitCountLimited(page);
    uint8_t block[kBlock] = {};
    const bool interior = page.IsInterior();
    const int count = page.Count();
    for (int i = 0; i < count; ++i) {
        uint8_t* e = block + kEntriesAt + i * entryLength;
        const NVobjIndexKeyData& entry = *page.Items(i);
        nvbytes::StoreLE32(interior ? e : e + 4, static_cast<uint32_t>(entry.reference));
        StoreKey(entry, e + 8);
    }
    WriteBlock(page.address, block, count, interior);
    return 0;
}

void NVobjNDXTag::StoreKey(const TnvVariant& key, uint8_t* at) const {
    if (keyType == 'C') {
        const std::string_view text = key.View();
        StoreText(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()), at);
    } else {
        nvbytes::StoreLEDouble(at, key.IsEmpty() ? 0.0 : key.AsNumber());
    }
}

void NVobjNDXTag::StoreText(const uint8_t* text, int length, uint8_t* at) const {
    NVobjBlockBuilder::StoreText(at, text, length, storedKeyLength_);
}

void NVobjNDXTag::WriteBlock(int32_t address, uint8_t* block, int count, bool interior) {
    nvbytes::StoreLE16(block, static_cast<uint16_t>(interior && count > 0 ? count - 1 : count));
    File()->PageWrite(address, block, kBlock);
}

NVobjBlockBuilder::Layout NVobjNDXTag::BlockLayout() const {
    NVobjBlockBuilder::Layout layout;
    layout.pageSize = kBlock;
    layout.entriesAt = kEntriesAt;
    layout.keyAt = 8;
    layout.keyBytes = storedKeyLength_;
    layout.leafPointerAt = 4;
    layout.interiorPointerAt = 0;
    return layout;
}

int NVobjNDXTag::StoredKeys(const NVobjIndexKey& page) const {
    return page.Count() - (page.IsInterior() ? 1 : 0);
}

bool NVobjNDXTag::TagLoad() {
    dirty = false;
    uint8_t h[kBlock];
    if (!File()->PageRead(headerAddress, h, kBlock)) return false;
    root = static_cast<int32_t>(nvbytes::LoadLE32(h));
    int16_t storedLength = static_cast<int16_t>(nvbytes::LoadLE16(h + 12));
    maxEntries = static_cast<int16_t>(nvbytes::LoadLE16(h + 14));
    const int typeCode = nvbytes::LoadLE16(h + 16);
    entryLength = static_cast<int16_t>(nvbytes::LoadLE16(h + 18));
    unique = (h[23] & 1) != 0;
    std::size_t len = 0;
    while (len < 488 && h[24 + len] != 0) ++len;
    keyExpression.assign(reinterpret_cast<const char*>(h + 24), len);
    // Lengths that cannot describe a page would send every page read out of bounds; a page
    // of one entry could never split in two, and every write would grow the tree forever.
    if (storedLength <= 0 || entryLength < storedLength + 8 || entryLength > 508 || maxEntries < 2 ||
        kEntriesAt + maxEntries * entryLength > kBlock || root <= 0)
        return false;
    keyType = typeCode == 1 ? 'N' : 'C';
    keyLength = storedLength;
    storedKeyLength_ = typeCode == 1 ? 8 : storedLength;
    CompileKey();
    TnvVariant trial(256);
    bool ok;
    datesAsText_ = false;
    if (KeyEvaluate(trial, ok)) {
        if (trial.Kind() == TnvVariant::kDate && typeCode != 1)
            datesAsText_ = true;
        else if (trial.Kind() == TnvVariant::kDate)
            keyType = 'D';
        else if (trial.Kind() == TnvVariant::kNumeric)
            keyType = 'N';
        else
            keyType = 'C';
    }
    if (keyType == 'N') keyLength = 12;
    return true;
}

void NVobjNDXTag::WriteHeader() {
    uint8_t h[kBlock] = {};
    if (File()->nextPage < 0) File()->SetEnd();
    const bool number = keyType == 'N' || keyType == 'D';
    nvbytes::StoreLE32(h, static_cast<uint32_t>(root));
    nvbytes::StoreLE32(h + 4, static_cast<uint32_t>(File()->nextPage));
    nvbytes::StoreLE16(h + 12, static_cast<uint16_t>(number ? 8 : keyLength));
    nvbytes::StoreLE16(h + 14, static_cast<uint16_t>(maxEntries));
    nvbytes::StoreLE16(h + 16, number ? 1 : 0);
    nvbytes::StoreLE16(h + 18, static_cast<uint16_t>(entryLength));
    h[23] = unique ? 1 : 0;
    std::size_t len = std::min<std::size_t>(keyExpression.size(), 487);
    std::memcpy(h + 24, keyExpression.data(), len);
    File()->PageWrite(headerAddress, h, kBlock);
}

void NVobjNDXTag::TagStore() {
    if (dirty) WriteHeader();
    dirty = false;
}

// ---- NVobjSortNdx --------------------------------------------------------------------

NVobjSortNdx::NVobjSortNdx(NVobjNDXTag* tag)
    : TnvSort(tag->keyLength + 1, nullptr, true, tag->unique),
      tag_(tag),
      pages_(tag, tag->BlockLayout(), [tag](int32_t address, uint8_t* block, int count, bool interior) {
          tag->WriteBlock(address, block, count, interior);
      }) {}

int32_t NVobjSortNdx::Build() {
    tag_->PageRelease();
    NvWriteBehindScope pages(tag_->File()->diskFile.get());
    // Text keys go into the leaves as the sort holds them (the text without its trailing
    // blanks, which the stored form pads back); numbers are decoded.
    TnvTagRecordSource records(*tag_, true);
    TnvVariant decoded;
    int32_t written = NvBuildTagKeys(*tag_, *this, records, [&](const TnvSortKey& key) {
        uint8_t* at = pages_.AddLeaf(key.recNo);
        if (key.kind == TnvVariant::kCharacter) {
            tag_->StoreText(key.bytes, key.length, at);
            return;
        }
        DecodeKey(key, decoded);
        tag_->StoreKey(decoded, at);
    });
    pages_.Finish();
    tag_->TagStore();
    pages.Finish();
    return written;
}

// ---- NVobjNDXFile --------------------------------------------------------------------

NVobjNDXFile::NVobjNDXFile(TnvIndexTable* owner, std::string_view name) : NVobjIndexFile(owner, name) {}

NVobjNDXFile::~NVobjNDXFile() { tags.FreeAll(); }

std::unique_ptr<NVobjNDXFile> NVobjNDXFile::Open(TnvIndexTable* table, std::string_view path, bool create,
                                                 bool overwrite, bool shared) {
    auto file = std::make_unique<NVobjNDXFile>(table, path);
    bool made = false;
    if (!file->OpenDisk(path, ".ndx", overwrite, create, shared, made)) return nullptr;
    if (made) {
        file->nextPage = 0;
    } else {
        auto tag = std::make_unique<NVobjNDXTag>(file.get(), 0);
        tag->tagName = BaseName(file->fileName);
        if (!tag->TagLoad()) file->corrupt = true;
        file->tags.Add(tag.release());
        file->SetEnd();
    }
    file->opened = true;
    return file;
}

bool NVobjNDXFile::TagAdd(std::string_view, std::string_view keyExpression, bool unique, bool ascending,
                          std::string_view forExpression) {
    tags.FreeAll();
    nextPage = 0;
    auto tag = std::make_unique<NVobjNDXTag>(this, NewPage());
    tag->tagName = BaseName(diskFile ? diskFile->FileName() : fileName);
    NVobjNDXTag* made = tag.get();
    tags.Add(tag.release());
    return BuildOnlyTag(made, keyExpression, unique, ascending, forExpression);
}

int32_t NVobjNDXFile::NewPage() {
    if (nextPage < 0) SetEnd();
    // The header keeps the block count, which other programs allocate from: it must be
    // rewritten whenever the file grows, not only when the root changes.
    if (NVobjNDXTag* tag = Tag()) tag->dirty = true;
    return nextPage++;
}

int32_t NVobjNDXFile::SetEnd() {
    nextPage = diskFile ? static_cast<int32_t>(diskFile->FileSize() / NVobjNDXTag::kBlock) : 0;
    return nextPage;
}

bool NVobjNDXFile::PageRead(int64_t address, void* buffer, int32_t length) {
    return NVobjIndexFile::PageRead(address * NVobjNDXTag::kBlock, buffer, length);
}

void NVobjNDXFile::PageWrite(int64_t address, const void* buffer, int32_t length) {
    NVobjIndexFile::PageWrite(address * NVobjNDXTag::kBlock, buffer, length);
}

void NVobjNDXFile::Zap() {
    NVobjNDXTag* tag = Tag();
    if (!tag || !diskFile) return;
    tag->PageRelease();
    diskFile->Truncate(2 * NVobjNDXTag::kBlock);
    uint8_t zero[NVobjNDXTag::kBlock] = {};
    PageWrite(1, zero, NVobjNDXTag::kBlock);
    tag->root = 1;
    nextPage = 2;
    tag->WriteHeader();
    tag->dirty = false;
}

void NVobjNDXFile::Reindex() {
    NVobjNDXTag* tag = Tag();
    if (!tag || !diskFile) return;
    tag->PageRelease();
    // Without a table no key can be evaluated: rebuilding would empty the tag.
    if (!table) return;
    // The tree is built with this tag's own definition (its key length, dates kept as text)
    // in a scratch file, which replaces this one's contents only when the build is through.
    RebuildThrough([this](const std::string& path) -> std::unique_ptr<NVobjIndexFile> {
        return Open(table, path, true, true, false);
    },
                   [tag](NVobjIndexFile& scratch) {
                       auto& ndx = static_cast<NVobjNDXFile&>(scratch);
                       ndx.nextPage = 0;
                       auto made = std::make_unique<NVobjNDXTag>(&ndx, ndx.NewPage());
                       made->tagName = tag->tagName;
                       NVobjNDXTag* fresh = made.get();
                       ndx.tags.Add(made.release());
                       fresh->CopyDefinition(*tag);
                       fresh->Fill();
                   });
    if (!tag->TagLoad()) corrupt = true;
    SetEnd();
}
