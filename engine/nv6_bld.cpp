#include "nv6_bld.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_tool.h"

namespace {

std::string TrimmedName(std::string_view name) {
    while (!name.empty() && static_cast<uint8_t>(name.front()) <= ' ') name.remove_prefix(1);
    while (!name.empty() && static_cast<uint8_t>(name.back()) <= ' ') name.remove_suffix(1);
    return DefaultExt(std::string(name), ".DBF");
}

}  // namespace

NVO_DBFBuild::NVO_DBFBuild(std::string_view fileName)
    : fileName_(TrimmedName(fileName)), baseName_(BaseName(fileName_)) {}

NVO_DBFBuild::~NVO_DBFBuild() { BuildOnDestruction(); }

void NVO_DBFBuild::BuildOnDestruction() noexcept {
    if (tableFile_ || !createEnabled_) return;
    try {
        Build();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Norvane: table %s not built: %s\n", fileName_.c_str(), e.what());
        createEnabled_ = false;
    }
}

void NVO_DBFBuild::AddField(std::string_view name, std::string_view type, int length,
                            int decimals) {
    if (name.empty()) return;
    auto d = std::make_unique<TnvFieldDescriptor>();
    std::string upper = nvlocale::AnsiUpperCase(name).substr(0, 10);
    std::memcpy(d->bytes.data(), upper.data(), upper.size());
    char t = type.empty() ? '\0' : static_cast<char>(nvlocale::AnsiUpper(static_cast<uint8_t>(type[0])));
    d->bytes[11] = static_cast<uint8_t>(t);
    switch (t) {
        case 'B':
        case 'G':
        case 'M':
            length = 10;
            decimals = 0;
            memoNeeded_ = true;
            break;
        case 'C':
            decimals = length / 256;
            length = length % 256;
            break;
        case 'D':
            length = 8;
            decimals = 0;
            break;
        case 'L':
            length = 1;
            decimals = 0;
            break;
        default:
            break;
    }
    d->bytes[16] = static_cast<uint8_t>(length);
    d->bytes[17] = static_cast<uint8_t>(decimals);
    recordLength_ += d->bytes[16] + (t == 'C' ? 256 * d->bytes[17] : 0);
    Add(d.release());
}

TnvTableLimits NVO_DBFBuild::Limits() const {
    switch (versionWithMemo_) {
        case nvdbf::kVerDb4Memo:
            return {255, "CNFDLM"};
        case nvdbf::kVerFoxMemo:
            return {255, "CNFDLMG"};
        default:
            return {128, "CNDLM"};
    }
}

void NVO_DBFBuild::Build() {
    if (!createEnabled_) return;
    // Lengths beyond 16 bits would be written cut short: a table nobody could read.
    if (recordLength_ > 0xFFFF || 32 * Count() + 33 > 0xFFFF)
        NvRaise(TnvMsg::TableHeaderInvalid, {NvExpandFileName(fileName_)});
    auto file = std::make_unique<NVO_DiskFile>(fileName_, false, true);
    file->CreateNew();
    tableFile_ = std::move(file);
    WriteTableHeader();
    if (memoNeeded_) CreateMemoFile();
}

void NVO_DBFBuild::WriteTableHeader() {
    if (!tableFile_) return;
    const int fields = Count();
    std::vector<uint8_t> image(static_cast<std::size_t>(32 * fields + 34), 0);
    nvlocale::LocalDateTime today = nvlocale::Now();
    image[0] = VersionByte();
    image[1] = static_cast<uint8_t>(today.year % 100);
    image[2] = static_cast<uint8_t>(today.month);
    image[3] = static_cast<uint8_t>(today.day);
    nvbytes::StoreLE16(image.data() + 8, static_cast<uint16_t>(32 * fields + 33));
    nvbytes::StoreLE16(image.data() + 10, static_cast<uint16_t>(recordLength_));
    image[29] = languageDriver_;
    for (int i = 0; i < fields; ++i)
        std::memcpy(image.data() + 32 * (i + 1), Items(i)->bytes.data(), 32);
    image[static_cast<std::size_t>(32 * (fields + 1))] = nvdbf::kTerminator;
    image[static_cast<std::size_t>(32 * (fields + 1) + 1)] = nvdbf::kEndOfFile;
    tableFile_->WriteAt(0, image.data(), static_cast<int64_t>(image.size()));
}

std::string NVO_DBFBuild::MemoFileName(std::string_view ext) const {
    return NvCompanionName(fileName_, ext);
}

void NVO_DBFBuild::WriteMemoFile(std::string_view ext, const uint8_t* bytes, int count) {
    NVO_DiskFile memo(MemoFileName(ext), false, true);
    memo.CreateNew();
    memo.WriteAt(0, bytes, count);
    memo.Close();
}

void NVO_DBFBuild::CreateMemoFile() {
    uint8_t block[513] = {};
    nvbytes::StoreLE32(block, 1);
    std::string name = baseName_.substr(0, 8);
    std::memcpy(block + 8, name.data(), name.size());
    block[512] = nvdbf::kEndOfFile;
    WriteMemoFile("dbt", block, sizeof block);
}

NVO_DB4Build::NVO_DB4Build(std::string_view fileName) : NVO_DBFBuild(fileName) {
    versionWithMemo_ = nvdbf::kVerDb4Memo;
}

NVO_DB4Build::~NVO_DB4Build() { BuildOnDestruction(); }

void NVO_DB4Build::CreateMemoFile() {
    uint8_t header[24] = {};
    nvbytes::StoreLE32(header, 1);
    std::string name = BaseNameOfTable().substr(0, 8);
    std::memcpy(header + 8, name.data(), name.size());
    header[18] = 0x02;
    header[19] = 0x01;
    nvbytes::StoreLE16(header + 20, 512);
    WriteMemoFile("dbt", header, sizeof header);
}

NVO_DBFoxBuild::NVO_DBFoxBuild(std::string_view fileName) : NVO_DBFBuild(fileName) {
    versionWithMemo_ = nvdbf::kVerFoxMemo;
}

NVO_DBFoxBuild::~NVO_DBFoxBuild() { BuildOnDestruction(); }

void NVO_DBFoxBuild::CreateMemoFile() {
    uint8_t header[512] = {};
    nvbytes::StoreBE32(header, 8);
    nvbytes::StoreBE16(header + 6, 64);
    WriteMemoFile("fpt", header, sizeof header);
}
