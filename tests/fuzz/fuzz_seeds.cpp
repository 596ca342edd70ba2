// Writes seed inputs for the fuzz targets, packed by the rule of fuzz_support.h:
//
//     fuzz_seeds OUTDIR [PEER_FOLDER]
//
// OUTDIR/table, memo, index and expr receive inputs made from tables, memos and index files
// the engine writes (dBase III, dBase IV and FoxPro tables; CDX, MDX, NDX and NTX files of
// one and of several levels). With PEER_FOLDER, every table in it is packed too, with its
// memo file and each index file whose name begins with the table's base name.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"

namespace fs = std::filesystem;

namespace {

const char* const kIndexExtensions[4] = {"cdx", "mdx", "ndx", "ntx"};

void Save(const fs::path& folder, const std::string& name, const std::string& bytes) {
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Bytes(nvfuzz::MemoryDisk& disk, const std::string& name) {
    const auto* bytes = disk.Get(name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A table of `records` records in the style `flavour` (0 dBase III, 1 dBase IV, 2 FoxPro)
// with memos of one and of several blocks, a blank record and a deleted one.
void MakeTable(const std::string& path, int flavour, int records) {
    std::unique_ptr<NVO_DBFBuild> build;
    if (flavour == 0) build = std::make_unique<NVO_DBFBuild>(path);
    if (flavour == 1) build = std::make_unique<NVO_DB4Build>(path);
    if (flavour == 2) build = std::make_unique<NVO_DBFoxBuild>(path);
    build->AddField("NAME", "C", 12, 0);
    build->AddField("AMOUNT", "N", 8, 2);
    build->AddField("BORN", "D", 8, 0);
    build->AddField("ACTIVE", "L", 1, 0);
    build->AddField("NOTES", "M", 10, 0);
    build->Build();
    build.reset();
    NVO_dBHandler t(path, false, true, "");
    for (int n = 1; n <= records; ++n) {
        t.BlankRecord();
        if (n % 7 != 3) {
            t.PutText(1, "N" + std::to_string((n * 7919) % 1000));
            t.PutText(2, std::to_string(n * 3 - 40) + ".25");
            t.PutText(3, std::to_string(19500101 + n * 10101 % 700000));
            t.PutText(4, n % 2 ? "T" : "F");
        }
        t.Append();
        if (n % 3 != 0) {
            std::string note(static_cast<size_t>(n % 4 == 1 ? 700 : 20 + n), static_cast<char>('a' + n % 26));
            t.WriteMemo(5, reinterpret_cast<const uint8_t*>(note.data()), static_cast<int32_t>(note.size()));
        }
        if (n % 5 == 4) t.DeleteRecord();
        t.WriteRecord(n);
    }
}

void EngineSeeds(const fs::path& out) {
    const char* const kFlavours[3] = {"db3", "db4", "fox"};
    const char* const kMemos[3] = {"t.dbt", "t.dbt", "t.fpt"};
    for (int flavour = 0; flavour < 3; ++flavour) {
        for (int records : {6, 60}) {
            nvfuzz::MemoryDisk disk;
            NvPlatformScope use(disk);
            const std::string path = nvfuzz::MemoryDisk::Path("t.dbf");
            MakeTable(path, flavour, records);
            const std::string table = Bytes(disk, "t.dbf");
            const std::string memo = Bytes(disk, kMemos[flavour]);
            const std::string stem = std::string(kFlavours[flavour]) + "-" + std::to_string(records);
            Save(out / "table", stem, nvfuzz::Join(0, {table, memo}));
            Save(out / "table", stem + "-edit", nvfuzz::Join(16 | 8, {table, memo}));
            Save(out / "memo", stem, nvfuzz::Join(0, {table, memo}));
            Save(out / "memo", stem + "-rewrite", nvfuzz::Join(8 | (7 << 4), {table, memo}));
            for (int format = 0; format < 4; ++format) {
                const std::string file = nvfuzz::MemoryDisk::Path(std::string("t.") + kIndexExtensions[format]);
                {
                    NVO_dBHandler t(path, false, true, "");
                    if (format < 2) {
                        t.IndexOn(file, "NAME", 0, true, "", "UPPER(NAME)");
                        t.IndexOn(file, "AMOUNT", 1, true, "", "AMOUNT");
                        t.IndexOn(file, "BORN", 0, false, "ACTIVE", "BORN");
                    } else {
                        t.IndexOn(file, "", 0, true, "", "NAME+DTOS(BORN)");
                    }
                }
                const std::string index = Bytes(disk, std::string("t.") + kIndexExtensions[format]);
                const std::string name = stem + "-" + kIndexExtensions[format];
                Save(out / "index", name, nvfuzz::Join(static_cast<uint8_t>(format), {Bytes(disk, "t.dbf"), memo, index}));
                Save(out / "index", name + "-maintain",
                     nvfuzz::Join(static_cast<uint8_t>(format | 4 | 16), {Bytes(disk, "t.dbf"), memo, index}));
                disk.Unlink(file);
            }
        }
    }
    const char* const kExpressions[] = {
        "UPPER(NAME) + DTOS(BORN)",
        "IIF(ACTIVE, STR(AMOUNT, 12, 3), PADL(TRIM(NAME), 30, '*'))",
        "AMOUNT > 100 .AND. .NOT. DELETED()",
        "SUBSTR(NAME, 2, 3) $ 'MUELLER' .OR. LEFT(NAME, 1) = 'z'",
        "DTOC(CTOD('12/31/1999') + 30) + STRZERO(MONTH(BORN), 2)",
        "ROUND(AMOUNT * 1.5 / 3 - INT(AMOUNT), 2) + VAL('12.5') + LEN(NOTES)",
        "STRTRAN(PROPER(NAME), 'e', 'EE') + SOUNDEX(NAME) + CHR(65) + SPACE(3)",
        "INLIST(ASC(NAME), 77, 122) .AND. BETWEEN(AMOUNT, -2000, 1E5)",
        "MAX(YEAR(BORN), 2000) - MIN(DAY(DATE()), 5) + MOD(7, 3) + ABS(-2) + ATN2(1, 2)",
        "DESCEND(NAME) + PADC(ALLTRIM(NAME), 8) + RIGHT(NOTES, 4)",
    };
    int n = 0;
    for (const char* text : kExpressions) {
        ++n;
        Save(out / "expr", "expr-" + std::to_string(n), nvfuzz::Join(static_cast<uint8_t>(n % 2 ? 0 : 24), {text}));
    }
    Save(out / "expr", "key-cdx", nvfuzz::Join(32, {"UPPER(NAME) + DTOS(BORN)"}));
    Save(out / "expr", "key-ntx", nvfuzz::Join(32 | 64, {"STR(AMOUNT, 12, 2) + IIF(ACTIVE, 'Y', 'N')"}));
    Save(out / "expr", "filter-1", nvfuzz::Join(1 | 2, {"'m' $ LOWER(NAME) .AND. AMOUNT < 0"}));
    Save(out / "expr", "filter-2", nvfuzz::Join(1 | 4, {"NAME = 'M*' .OR. EMPTY(BORN)"}));
}

void PeerSeeds(const fs::path& peers, const fs::path& out) {
    for (const auto& entry : fs::directory_iterator(peers)) {
        const fs::path table = entry.path();
        if (table.extension() != ".dbf") continue;
        const std::string stem = table.stem().string();
        std::string memo;
        for (const char* ext : {".dbt", ".fpt"}) {
            fs::path m = table;
            m.replace_extension(ext);
            if (fs::exists(m)) memo = Slurp(m);
        }
        const std::string bytes = Slurp(table);
        Save(out / "table", "peer-" + stem, nvfuzz::Join(0, {bytes, memo}));
        if (!memo.empty()) Save(out / "memo", "peer-" + stem, nvfuzz::Join(8 | (3 << 4), {bytes, memo}));
        for (const auto& other : fs::directory_iterator(peers)) {
            const fs::path index = other.path();
            const std::string name = index.filename().string();
            if (name.rfind(stem, 0) != 0) continue;
            for (int format = 0; format < 4; ++format) {
                if (index.extension() != std::string(".") + kIndexExtensions[format]) continue;
                Save(out / "index", "peer-" + name, nvfuzz::Join(static_cast<uint8_t>(format), {bytes, memo, Slurp(index)}));
                Save(out / "index", "peer-" + name + "-maintain",
                     nvfuzz::Join(static_cast<uint8_t>(format | 4), {bytes, memo, Slurp(index)}));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTDIR [PEER_FOLDER]\n");
        return 2;
    }
    try {
        EngineSeeds(argv[1]);
        if (argc == 3) PeerSeeds(argv[2], argv[1]);
    } catch (const Exception& e) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
