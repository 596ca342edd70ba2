#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "nv_test_errors.h"
#include "nv6_bytes.h"
#include "nv6_glbl.h"
#include "nv6_memo.h"
#include "nv6_os.h"
#include "nv_test_md5.h"

namespace fs = std::filesystem;

namespace {

// ---- Scratch files ----

class ScratchDir {
public:
    ScratchDir() {
        path_ = fs::temp_directory_path() /
                ("pelmora_memo_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

uint32_t LE32At(const std::string& bytes, std::size_t offset) {
    return nvbytes::LoadLE32(bytes.data() + offset);
}
uint32_t BE32At(const std::string& bytes, std::size_t offset) {
    return nvbytes::LoadBE32(bytes.data() + offset);
}

// Empty memo files as the table builders write them.
void NewDb3(const std::string& path, const std::string& base) {
    std::string head(512, '\0');
    nvbytes::StoreLE32(head.data(), 1);
    head.replace(8, base.size(), base);
    Spit(path, head + '\x1A');
}
void NewDb4(const std::string& path, const std::string& base, uint32_t blockSize = 512) {
    std::string head(24, '\0');
    nvbytes::StoreLE32(head.data(), 1);
    head.replace(8, base.size(), base);
    head[18] = 2;
    head[19] = 1;
    nvbytes::StoreLE32(head.data() + 20, blockSize);
    Spit(path, head);
}
void NewFox(const std::string& path, uint16_t blockSize = 64) {
    std::string head(512, '\0');
    nvbytes::StoreBE32(head.data(), (512 + blockSize - 1) / blockSize);
    nvbytes::StoreBE16(head.data() + 6, blockSize);
    Spit(path, head);
}

std::string Text(std::size_t n, char seed = 'a') {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i) s[i] = char(seed + i % 23);
    return s;
}

using nvtest::ErrorOf;

// ---- Peer files: block numbers straight from the table records ----

struct PeerTable {
    std::vector<std::vector<uint32_t>> blocks;  // per record, one entry per memo field
    std::vector<int> memoColumn;                // dump column of each memo field
    uint8_t version = 0;
};

PeerTable ReadPeerTable(const std::string& dbfPath) {
    const std::string d = Slurp(dbfPath);
    PeerTable t;
    if (d.size() < 32) return t;
    t.version = uint8_t(d[0]);
    const uint32_t count = LE32At(d, 4);
    const uint16_t headerLength = nvbytes::LoadLE16(d.data() + 8);
    const uint16_t recordLength = nvbytes::LoadLE16(d.data() + 10);
    struct Field {
        char type;
        uint32_t offset, length;
    };
    std::vector<Field> fields;
    uint32_t offset = 1;
    for (std::size_t p = 32; p + 32 <= headerLength && d[p] != '\x0D'; p += 32) {
        const char type = d[p + 11];
        uint32_t length = uint8_t(d[p + 16]);
        if (type == 'C') length += uint32_t(uint8_t(d[p + 17])) << 8;
        fields.push_back({type, offset, length});
        offset += length;
    }
    std::vector<std::size_t> memo;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const char type = fields[f].type;
        if (type == 'M' || type == 'G' || (type == 'B' && t.version != 0x30)) {
            memo.push_back(f);
            t.memoColumn.push_back(int(f) + 1);
        }
    }
    for (uint32_t r = 0; r < count; ++r) {
        const std::size_t rec = headerLength + std::size_t(r) * recordLength;
        std::vector<uint32_t> row;
        for (std::size_t f : memo) {
            const std::string raw = d.substr(rec + fields[f].offset, fields[f].length);
            if (t.version == 0x30) {
                row.push_back(raw == "    " ? 0 : LE32At(raw, 0));
            } else {
                row.push_back(uint32_t(std::strtoul(raw.c_str(), nullptr, 10)));
            }
        }
        t.blocks.push_back(row);
    }
    return t;
}

std::vector<std::vector<std::string>> ReadDump(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("row ", 0) != 0) continue;
        std::vector<std::string> cols;
        std::size_t start = 0;
        for (;;) {
            const std::size_t bar = line.find('|', start);
            cols.push_back(line.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        rows.push_back(cols);
    }
    return rows;
}

class MemoPeer : public ::testing::TestWithParam<const char*> {};

TEST_P(MemoPeer, EveryValueMatchesTheDump) {
    const std::string base = std::string(PELMORA_FIXTURES) + "/peer/" + GetParam();
    const PeerTable table = ReadPeerTable(base + ".dbf");
    ASSERT_FALSE(table.blocks.empty()) << "no peer table at " << base << ".dbf";
    const auto dump = ReadDump(base + ".dump");
    ASSERT_EQ(dump.size(), table.blocks.size());
    ASSERT_FALSE(table.memoColumn.empty());

    auto memo = NVobjMemoBase::Create(base + ".dbf", table.version, true, false);
    ASSERT_NE(memo, nullptr);
    int nonEmpty = 0;
    for (std::size_t r = 0; r < dump.size(); ++r) {
        for (std::size_t m = 0; m < table.memoColumn.size(); ++m) {
            const uint32_t block = table.blocks[r][m];
            const std::string value = memo->ReadValue(block);
            ASSERT_EQ(memo->MemoSize(block), value.size());
            ASSERT_EQ(nvtest::LenMd5(value), dump[r][table.memoColumn[m]])
                << GetParam() << " record " << r + 1 << " block " << block;
            nonEmpty += !value.empty();
        }
    }
    EXPECT_GT(nonEmpty, 10);

    // A short room cuts the value without complaint.
    for (const auto& row : table.blocks) {
        if (row[0] == 0 || memo->MemoSize(row[0]) < 5) continue;
        uint8_t buf[5];
        uint32_t room = 3;
        memo->MemoRead(buf, row[0], room);
        EXPECT_EQ(room, 3u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), memo->ReadValue(row[0]).substr(0, 3));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(PeerFiles, MemoPeer,
                         ::testing::Values("orders", "py_db3", "py_clp", "people", "py_fp",
                                           "py_vfp"));

TEST(MemoOpen, NamesClassesAndMissingFiles) {
    ScratchDir dir;
    EXPECT_EQ(NVobjMemoBase::MemoFileName("/x/people.dbf ", 0xF5), "/x/people.fpt");
    EXPECT_EQ(NVobjMemoBase::MemoFileName("/x/ORDERS.DBF", 0x83), "/x/ORDERS.DBT");
    EXPECT_EQ(NVobjMemoBase::MemoFileName("/x/a.dbf", 0x03), "");
    EXPECT_EQ(NVobjMemoBase::Create(dir.File("a.dbf"), 0x03, false, true), nullptr);

    const std::string missing = dir.File("none.dbt");
    EXPECT_EQ(ErrorOf([&] { NVobjMemoBase::Create(dir.File("none.dbf"), 0x8B, false, true); }),
              "File " + missing + " could not be found");

    NewDb3(dir.File("t3.dbt"), "T3");
    NewDb4(dir.File("t4.dbt"), "T4", 1024);
    NewFox(dir.File("tf.fpt"), 32);
    auto m3 = NVobjMemoBase::Create(dir.File("t3.dbf"), 0x83, false, true);
    auto m4 = NVobjMemoBase::Create(dir.File("t4.dbf"), 0x8B, false, true);
    auto mf = NVobjMemoBase::Create(dir.File("tf.dbf"), 0x30, false, true);
    EXPECT_NE(dynamic_cast<NVobjMemo*>(m3.get()), nullptr);
    EXPECT_NE(dynamic_cast<NVobjMemo4*>(m4.get()), nullptr);
    EXPECT_NE(dynamic_cast<NVobjFXMemo20*>(mf.get()), nullptr);
    EXPECT_EQ(m3->BlockSize(), 512u);
    EXPECT_EQ(m3->BlockHeaderSize(), 0u);
    EXPECT_EQ(m4->BlockSize(), 1024u);
    EXPECT_EQ(mf->BlockSize(), 32u);
    EXPECT_EQ(mf->BlockHeaderSize(), 8u);
    // The 24-byte header of a new dBase IV file becomes a whole block.
    EXPECT_EQ(m4->FileSize(), 1024);

    // Block size 0 cannot be worked with.
    std::string bad(512, '\0');
    Spit(dir.File("z.fpt"), bad);
    EXPECT_EQ(ErrorOf([&] { NVobjMemoBase::Create(dir.File("z.dbf"), 0xF5, false, true); }),
              "Memo record is bad in " + dir.File("z.fpt"));
}

// ---- dBase III ----

TEST(MemoDb3, BlocksReuseAndAppend) {
    ScratchDir dir;
    NewDb3(dir.File("t.dbt"), "T");
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x83, false, true);

    const uint32_t a = memo->WriteValue(Text(510), 0);  // 510 + 2 = one block
    EXPECT_EQ(a, 1u);
    const uint32_t b = memo->WriteValue(Text(511), 0);  // two blocks
    EXPECT_EQ(b, 2u);
    std::string file = Slurp(dir.File("t.dbt"));
    EXPECT_EQ(LE32At(file, 0), 4u);
    EXPECT_EQ(file.substr(512 + 510, 2), "\x1A\x1A");
    EXPECT_EQ(file.size(), 4u * 512);
    EXPECT_EQ(memo->ReadValue(a), Text(510));
    EXPECT_EQ(memo->ReadValue(b), Text(511));

    // Shorter: same first block. Longer than its blocks: moves to the end, header advances.
    EXPECT_EQ(memo->WriteValue("short", b), b);
    EXPECT_EQ(memo->ReadValue(b), "short");
    EXPECT_EQ(memo->ReadValue(a), Text(510));
    const uint32_t moved = memo->WriteValue(Text(1200, 'k'), a);
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(LE32At(Slurp(dir.File("t.dbt")), 0), 7u);
    EXPECT_EQ(memo->ReadValue(moved), Text(1200, 'k'));
    EXPECT_EQ(memo->ReadValue(b), "short");

    // Empty texts: nothing written, block 0; block 0 reads as empty.
    uint32_t none = 0, zero = 0;
    EXPECT_EQ(memo->MemoWrite(nullptr, none, zero), 0u);
    EXPECT_EQ(memo->WriteValue("", b), 0u);
    EXPECT_EQ(memo->MemoSize(0), 0u);
    uint8_t buf[4] = {9, 9, 9, 9};
    uint32_t room = 4;
    memo->MemoRead(buf, 0, room);
    EXPECT_EQ(room, 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(LE32At(Slurp(dir.File("t.dbt")), 0), 7u);
}

TEST(MemoDb3, LongValuesAreCountedToTheTerminatorOrTheEnd) {
    ScratchDir dir;
    NewDb3(dir.File("t.dbt"), "T");
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x83, false, true);
    const std::string big = Text(70000);
    const uint32_t block = memo->WriteValue(big, 0);
    const uint32_t after = memo->WriteValue("tail value", 0);
    EXPECT_EQ(after, block + (70000 + 2 + 511) / 512);
    EXPECT_EQ(memo->MemoSize(block), 70000u);
    EXPECT_EQ(memo->ReadValue(block), big);
    EXPECT_EQ(memo->ReadValue(after), "tail value");

    // No terminator anywhere: the value runs to the end of the file.
    std::string file = Slurp(dir.File("t.dbt"));
    memo.reset();
    file.resize(512 * 3);
    file.replace(512, 1024, Text(1024, 'A'));
    Spit(dir.File("t.dbt"), file);
    memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x83, false, false);
    EXPECT_EQ(memo->MemoSize(1), 1024u);
    EXPECT_EQ(memo->ReadValue(2), Text(1024, 'A').substr(512));
}

TEST(MemoDb3, EncipheredValuesCarryAPrefixAndReKey) {
    ScratchDir dir;
    NewDb3(dir.File("t.dbt"), "T");
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x83, false, true);
    const std::string text = Text(300);
    const uint32_t plainBlock = memo->WriteValue(Text(510), 0);  // fills its one block exactly
    const uint32_t smallBlock = memo->WriteValue(text, 0);

    // Plain -> enciphered: the 510-byte value no longer fits its block with the prefix.
    memo->SetKeys({true, "", "pw"});
    const uint32_t movedBlock = memo->RekeyValue(plainBlock);
    EXPECT_NE(movedBlock, plainBlock);
    EXPECT_EQ(memo->RekeyValue(smallBlock), smallBlock);
    EXPECT_EQ(memo->RekeyValue(0), 0u);

    const std::string file = Slurp(dir.File("t.dbt"));
    const std::size_t at = std::size_t(smallBlock) * 512;
    EXPECT_EQ(LE32At(file, at), 300u);
    std::string stored = file.substr(at + 4, 300);
    EXPECT_NE(stored, text);
    DecipherInPlace("pw", stored.data(), stored.size());
    EXPECT_EQ(stored, text);
    EXPECT_EQ(file.substr(at + 4 + 300, 2), "\x1A\x1A");

    memo->SetKeys({true, "pw", "pw"});
    EXPECT_EQ(memo->MemoSize(smallBlock), 300u);
    EXPECT_EQ(memo->ReadValue(smallBlock), text);
    EXPECT_EQ(memo->ReadValue(movedBlock), Text(510));

    // Re-key to another password in place, then back to plain.
    memo->SetKeys({true, "pw", "other"});
    EXPECT_EQ(memo->RekeyValue(smallBlock), smallBlock);
    memo->SetKeys({true, "other", ""});
    EXPECT_EQ(memo->RekeyValue(smallBlock), smallBlock);
    memo->SetKeys({});
    EXPECT_EQ(memo->ReadValue(smallBlock), text);
    EXPECT_EQ(Slurp(dir.File("t.dbt")).substr(at, 302), text + "\x1A\x1A");
}

// ---- dBase IV ----

TEST(MemoDb4, FirstFitReusesFreedRuns) {
    ScratchDir dir;
    NewDb4(dir.File("t.dbt"), "T");
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x8B, false, true);
    const uint32_t three = memo->WriteValue(Text(1500), 0);  // 1508 bytes: 3 blocks
    const uint32_t one = memo->WriteValue("one block", 0);
    EXPECT_EQ(three, 1u);
    EXPECT_EQ(one, 4u);
    std::string file = Slurp(dir.File("t.dbt"));
    EXPECT_EQ(file.substr(512, 4), std::string("\xFF\xFF\x08\x00", 4));
    EXPECT_EQ(LE32At(file, 516), 1508u);
    EXPECT_EQ(LE32At(file, 0), 5u);

    // Free the 3-block value, then store a 1-block one: it takes the run's first block and
    // a 2-block run stays behind it in the chain.
    EXPECT_EQ(memo->WriteValue("", three), 0u);
    const uint32_t reused = memo->WriteValue("reused", 0);
    EXPECT_EQ(reused, 1u);
    file = Slurp(dir.File("t.dbt"));
    EXPECT_EQ(LE32At(file, 0), 2u);
    EXPECT_EQ(LE32At(file, 2 * 512), 5u);      // next: the end of the file
    EXPECT_EQ(LE32At(file, 2 * 512 + 4), 2u);  // run length
    EXPECT_EQ(file.substr(2 * 512 + 8, 8), file.substr(8, 8));  // copy of the header's name

    // A value of exactly the remaining run takes it whole; the next one is appended.
    EXPECT_EQ(memo->WriteValue(Text(1000), 0), 2u);
    EXPECT_EQ(LE32At(Slurp(dir.File("t.dbt")), 0), 5u);
    EXPECT_EQ(memo->WriteValue("appended", 0), 5u);

    // Rewriting a value: freed first, so an equal size lands on the same block; a larger one
    // moves and its old blocks become free.
    EXPECT_EQ(memo->WriteValue("one again", one), one);
    const uint32_t grown = memo->WriteValue(Text(700), one);
    EXPECT_EQ(grown, 6u);
    EXPECT_EQ(memo->WriteValue("fits the hole", 0), one);
    EXPECT_EQ(memo->ReadValue(reused), "reused");
    EXPECT_EQ(memo->ReadValue(2), Text(1000));
    EXPECT_EQ(memo->ReadValue(grown), Text(700));
    EXPECT_EQ(memo->ReadValue(5), "appended");
    EXPECT_EQ(memo->ReadValue(one), "fits the hole");
}

// Writes a dBase IV file of `blocks` blocks whose chain is given as (block, next, length).
void Db4WithChain(const std::string& path, uint32_t head, uint32_t blocks,
                  std::vector<std::array<uint32_t, 3>> runs) {
    std::string file(std::size_t(blocks) * 512, '\0');
    nvbytes::StoreLE32(file.data(), head);
    file[18] = 2;
    file[19] = 1;
    nvbytes::StoreLE32(file.data() + 20, 512);
    // Block 1 holds a live value.
    file.replace(512, 8, std::string("\xFF\xFF\x08\x00\x0D\x00\x00\x00", 8));
    file.replace(520, 5, "alive");
    for (const auto& r : runs) {
        nvbytes::StoreLE32(file.data() + r[0] * 512, r[1]);
        nvbytes::StoreLE32(file.data() + r[0] * 512 + 4, r[2]);
    }
    Spit(path, file);
}

TEST(MemoDb4, DamagedChainsAreReportedNotWalkedForever) {
    ScratchDir dir;
    const std::string path = dir.File("t.dbt");
    const std::string bad = "Memo record is bad in " + path;
    struct Case {
        const char* what;
        uint32_t head;
        std::vector<std::array<uint32_t, 3>> runs;
    };
    const std::vector<Case> cases = {
        {"loop", 2, {{2, 3, 1}, {3, 2, 1}}},
        {"self loop", 2, {{2, 2, 1}}},
        {"run of length 0", 2, {{2, 8, 0}}},
        {"into the header", 2, {{2, 0, 1}}},
        {"run past the end", 2, {{2, 8, 40}}},
    };
    for (const Case& c : cases) {
        Db4WithChain(path, c.head, 8, c.runs);
        auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x8B, false, true);
        EXPECT_EQ(ErrorOf([&] { memo->WriteValue(Text(900), 0); }), bad) << c.what;
        // The live value is not freed into a chain that cannot be trusted.
        EXPECT_EQ(ErrorOf([&] { memo->WriteValue(Text(900), 1); }), bad) << c.what;
        EXPECT_EQ(memo->ReadValue(1), "alive") << c.what;
    }

    // A sound chain ends at the first block not below the file's length in blocks.
    Db4WithChain(path, 2, 8, {{2, 5, 1}, {5, 8, 3}});
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x8B, false, true);
    EXPECT_EQ(memo->WriteValue(Text(900), 0), 5u);  // 2 blocks: the second run fits
    EXPECT_EQ(memo->WriteValue(Text(2000), 0), 8u);  // nothing fits: appended
}

// ---- FoxPro ----

TEST(MemoFox, BigEndianHeadersReuseAndAppend) {
    ScratchDir dir;
    NewFox(dir.File("t.fpt"));
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0xF5, false, true);
    const uint32_t a = memo->WriteValue(Text(100), 0);  // 108 bytes: 2 blocks of 64
    EXPECT_EQ(a, 8u);
    std::string file = Slurp(dir.File("t.fpt"));
    EXPECT_EQ(BE32At(file, 0), 10u);
    EXPECT_EQ(BE32At(file, 512), 1u);
    EXPECT_EQ(BE32At(file, 516), 100u);
    EXPECT_EQ(file.substr(520, 100), Text(100));
    EXPECT_EQ(file.size(), 512u + 128);

    const uint32_t b = memo->WriteValue("second", 0);
    EXPECT_EQ(b, 10u);
    EXPECT_EQ(memo->WriteValue(Text(120), a), a);  // 128 bytes still fit two blocks
    EXPECT_EQ(memo->ReadValue(a), Text(120));
    const uint32_t moved = memo->WriteValue(Text(121), a);
    EXPECT_EQ(moved, 11u);
    EXPECT_EQ(BE32At(Slurp(dir.File("t.fpt")), 0), 14u);
    EXPECT_EQ(memo->ReadValue(moved), Text(121));
    EXPECT_EQ(memo->ReadValue(b), "second");

    // Type 0 values read as well; enciphered tables decipher the value bytes.
    file = Slurp(dir.File("t.fpt"));
    file[10 * 64 + 3] = 0;
    Spit(dir.File("t.fpt"), file);
    EXPECT_EQ(memo->ReadValue(b), "second");
    memo->SetKeys({true, "key", "key"});
    const uint32_t secret = memo->WriteValue("hidden", 0);
    EXPECT_EQ(memo->ReadValue(secret), "hidden");
    EXPECT_EQ(Slurp(dir.File("t.fpt")).find("hidden"), std::string::npos);
}

TEST(MemoDamage, BadBlockNumbersAndLengths) {
    ScratchDir dir;
    NewDb3(dir.File("t3.dbt"), "T3");
    NewDb4(dir.File("t4.dbt"), "T4");
    NewFox(dir.File("tf.fpt"));
    auto m3 = NVobjMemoBase::Create(dir.File("t3.dbf"), 0x83, false, true);
    auto m4 = NVobjMemoBase::Create(dir.File("t4.dbf"), 0x8B, false, true);
    auto mf = NVobjMemoBase::Create(dir.File("tf.dbf"), 0xF5, false, true);
    const uint32_t v3 = m3->WriteValue("three", 0);
    const uint32_t v4 = m4->WriteValue("four", 0);
    const uint32_t vf = mf->WriteValue("fox", 0);
    for (NVobjMemoBase* m : {m3.get(), m4.get(), mf.get()}) {
        const std::string bad = "Memo record is bad in " + m->FileName();
        EXPECT_EQ(ErrorOf([&] { m->MemoSize(5000); }), bad);
        EXPECT_EQ(ErrorOf([&] { m->ReadValue(0xFFFFFFFF); }), bad);
        // An old value beyond the file stops the write before anything changes.
        const std::string before = Slurp(m->FileName());
        EXPECT_EQ(ErrorOf([&] { m->WriteValue("x", 5000); }), bad);
        EXPECT_EQ(Slurp(m->FileName()), before);
    }
    // Blocks inside the FoxPro header are not values.
    EXPECT_EQ(ErrorOf([&] { mf->ReadValue(3); }), "Memo record is bad in " + mf->FileName());

    // Length fields larger than the file.
    auto patch = [](NVobjMemoBase& m, int64_t offset, const std::string& bytes) {
        m.WriteAt(offset, bytes.data(), int64_t(bytes.size()));
    };
    std::string len(4, '\0');
    nvbytes::StoreLE32(len.data(), 0x7FFFFFF0);
    patch(*m4, v4 * 512 + 4, len);
    EXPECT_EQ(ErrorOf([&] { m4->ReadValue(v4); }), "Memo record is bad in " + m4->FileName());
    nvbytes::StoreBE32(len.data(), 0xFFFFFFF0);
    patch(*mf, vf * 64 + 4, len);
    EXPECT_EQ(ErrorOf([&] { mf->MemoSize(vf); }), "Memo record is bad in " + mf->FileName());
    m3->SetKeys({true, "pw", "pw"});  // read as if enciphered: "thre" is the length prefix
    EXPECT_EQ(ErrorOf([&] { m3->ReadValue(v3); }), "Memo record is bad in " + m3->FileName());

    // Bad block headers.
    patch(*m4, v4 * 512, std::string("\x01\x02", 2));
    EXPECT_EQ(ErrorOf([&] { m4->MemoSize(v4); }), "Memo record is bad in " + m4->FileName());
    nvbytes::StoreBE32(len.data(), 7);
    patch(*mf, vf * 64, len);
    EXPECT_EQ(ErrorOf([&] { mf->ReadValue(vf); }), "Memo record is bad in " + mf->FileName());
}

// ---- Zap, rename, locks ----

TEST(MemoFile, ZapStartsOverAfterTheHeader) {
    ScratchDir dir;
    NewDb3(dir.File("t3.dbt"), "T3");
    NewDb4(dir.File("t4.dbt"), "T4");
    NewFox(dir.File("tf.fpt"), 100);  // 512 / 100 rounds up to 6
    const std::vector<std::tuple<const char*, int, uint32_t>> tables = {
        {"t3.dbf", 0x83, 1u}, {"t4.dbf", 0x8B, 1u}, {"tf.dbf", 0xF5, 6u}};
    for (const auto& [table, version, next] : tables) {
        auto memo = NVobjMemoBase::Create(dir.File(table), uint8_t(version), false, true);
        for (int i = 0; i < 3; ++i) memo->WriteValue(Text(700), 0);
        memo->Zap();
        EXPECT_EQ(memo->FileSize(), 512) << table;
        const std::string file = Slurp(memo->FileName());
        EXPECT_EQ(version == 0xF5 ? BE32At(file, 0) : LE32At(file, 0), next) << table;
        EXPECT_EQ(memo->WriteValue("after zap", 0), next) << table;
        EXPECT_EQ(memo->ReadValue(next), "after zap") << table;
    }
}

TEST(MemoFile, RenameFollowsTheTable) {
    ScratchDir dir;
    NewDb3(dir.File("old.dbt"), "OLD");
    NewFox(dir.File("fox.fpt"));
    auto m3 = NVobjMemoBase::Create(dir.File("old.dbf"), 0x83, false, true);
    auto mf = NVobjMemoBase::Create(dir.File("fox.dbf"), 0xF5, false, true);
    const uint32_t b3 = m3->WriteValue("kept", 0);
    m3->RenameMemo(dir.File("a_much_longer_name.dbf"));
    EXPECT_EQ(m3->FileName(), dir.File("a_much_longer_name.dbt"));
    EXPECT_FALSE(fs::exists(dir.File("old.dbt")));
    const std::string file = Slurp(dir.File("a_much_longer_name.dbt"));
    EXPECT_EQ(file.substr(8, 9), std::string("a_much_l\0", 9));
    EXPECT_EQ(m3->ReadValue(b3), "kept");

    const std::string before = Slurp(dir.File("fox.fpt"));
    mf->RenameMemo(dir.File("renamed.dbf"));
    EXPECT_EQ(Slurp(dir.File("renamed.fpt")), before);
}

TEST(MemoFile, SharedWritesTakeTheProtocolsLock) {
    ScratchDir dir;
    NewDb3(dir.File("t.dbt"), "T");
    NvFaultPlatform faults;  // sleeps of the retry loop return at once
    NvPlatformScope use(faults);
    auto memo = NVobjMemoBase::Create(dir.File("t.dbf"), 0x83, true, true);
    EXPECT_EQ(memo->WriteLockRange(), (TnvLockRange{0x7FFFFFFD, 1}));

    NVO_DiskFile other(dir.File("t.dbt"), true, true);
    other.Open();
    ASSERT_TRUE(other.LockRange(0x7FFFFFFD, 1));
    EXPECT_EQ(ErrorOf([&] { memo->WriteValue("blocked", 0); }),
              "Can not Lock file " + memo->FileName());
    EXPECT_GE(faults.SleptMs(), int64_t(kNvLockAttempts - 1) * kNvLockStepMs);
    EXPECT_EQ(memo->LockHolds(), 0);

    // Another protocol locks elsewhere; the lock is gone after the write.
    memo->SetLockProtocol(TnvLokProtocol::ClipLock);
    EXPECT_EQ(memo->WriteLockRange(), (TnvLockRange{1000000000, 1}));
    const uint32_t block = memo->WriteValue("through", 0);
    EXPECT_EQ(memo->LockHolds(), 0);
    EXPECT_TRUE(other.Unlock());
    EXPECT_TRUE(other.LockRange(1000000000, 1));
    other.Unlock();
    memo->SetLockProtocol(TnvLokProtocol::DB4Lock);
    EXPECT_EQ(memo->WriteLockRange(), (TnvLockRange{0xEFFFFFFE, 2}));
    memo->SetLockProtocol(static_cast<TnvLokProtocol>(7));
    EXPECT_EQ(memo->WriteLockRange(), (TnvLockRange{0xEFFFFFFE, 2}));
    EXPECT_EQ(memo->ReadValue(block), "through");

    // A failed write still gives the lock back.
    faults.Fail(NvOsOp::Write, faults.Calls(NvOsOp::Write) + 2);  // header, then the value
    EXPECT_EQ(ErrorOf([&] { memo->WriteValue("lost", 0); }), "Error writing to " + memo->FileName());
    EXPECT_EQ(memo->LockHolds(), 0);
    EXPECT_TRUE(other.LockRange(0xEFFFFFFE, 2));
    other.Unlock();
}

}  // namespace
