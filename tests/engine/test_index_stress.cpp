// Index trees of all four formats under builds and maintenance, checked from the files'
// bytes after every step: ascending, descending, unique and FOR tags on keys of 1, 4, 10,
// 37, 100 and (CDX, NTX) 239 characters, at every record count up to several pages and at
// counts beyond that cross page and level boundaries up to 16,000. Maintenance appends,
// moves keys to either end of the order, edits at random, deletes, recalls and packs.
// Where the peer runtime is at hand, its dump program reads the CDX and NTX files back and
// must see what the engine sees.
//
// PELMORA_INDEX_STRESS_SEED picks other random keys and edits; PELMORA_INDEX_STRESS_SCALE
// (a whole number, default 1) multiplies the edits and adds random record counts
// (scripts/index-stress runs it for longer).
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "index_support.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_ixop.h"
#include "nv_test_md5.h"
#include "nv_test_tags.h"
#include "nv_tree_check.h"

namespace {

using dbftest::TempDir;

constexpr int kKeyFields = 6;
const int kWidths[kKeyFields] = {1, 4, 10, 37, 100, 239};
const char* const kFieldNames[kKeyFields] = {"K1", "K4", "K10", "K37", "K100", "K239"};
constexpr int kNoteField = kKeyFields + 1;
// The FOR condition of the filtered tags: it holds for about half the records.
const char* const kFor = "K1 >= 'M'";

struct TagDef {
    const char* name;
    int field;  // index into kWidths
    bool unique;
    bool descending;
    bool filtered;
};

struct Format {
    const char* ext;
    char flavour;       // '3' dBase III, '4' dBase IV, 'F' FoxPro: the table the format goes with
    bool compound;      // all tags in one file; else one file per tag, named after it
    const char* rdd;    // the peer's driver, or none
    std::vector<TagDef> tags;
};

const Format kFormats[] = {
    {"cdx", 'F', true, "DBFCDX",
     {{"T1", 0, false, false, false}, {"T4", 1, true, false, false}, {"T10", 2, false, true, false},
      {"T37", 3, false, false, true}, {"T100", 4, false, false, false}, {"T239", 5, false, true, true}}},
    {"mdx", '4', true, nullptr,
     {{"T1", 0, false, false, false}, {"T4", 1, true, false, false}, {"T10", 2, false, true, false},
      {"T37", 3, false, false, true}, {"T100", 4, false, true, false}}},
    {"ndx", '3', false, nullptr,
     {{"T1", 0, false, false, false}, {"T4", 1, true, false, false}, {"T10", 2, false, false, false},
      {"T37", 3, false, false, false}, {"T100", 4, false, false, false}}},
    {"ntx", '3', false, "DBFNTX",
     {{"T1", 0, false, false, false}, {"T4", 1, true, false, false}, {"T10", 2, false, true, false},
      {"T37", 3, false, false, true}, {"T100", 4, false, false, false}, {"T239", 5, false, true, true}}},
};

using ixtest::StressScale;
using ixtest::StressSeed;

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// One record as the test knows it: its key fields (without trailing blanks), its memo and
// whether it is deleted.
struct Row {
    std::array<std::string, kKeyFields> keys;
    std::string note;
    bool deleted = false;
};

// A table of one format's flavour, its tags, and the rows the test wrote into it.
class Scenario {
public:
    Scenario(const Format& format, const std::string& folder, unsigned seed)
        : format_(format), folder_(folder), rng_(seed) {
        table_ = folder_ + "/t.dbf";
        std::unique_ptr<NVO_DBFBuild> build;
        if (format.flavour == 'F')
            build = std::make_unique<NVO_DBFoxBuild>(table_);
        else if (format.flavour == '4')
            build = std::make_unique<NVO_DB4Build>(table_);
        else
            build = std::make_unique<NVO_DBFBuild>(table_);
        for (int f = 0; f < kKeyFields; ++f) build->AddField(kFieldNames[f], "C", kWidths[f], 0);
        build->AddField("NOTE", "M", 10, 0);
        build->Build();
        build.reset();
        t_ = std::make_unique<NVO_dBHandler>(table_, false, true, "");
    }
    ~Scenario() { Close(); }

    // A key for field `f`: random letters at both ends of a filler, sometimes blank.
    std::string RandomKey(int f) {
        const int width = kWidths[f];
        if (rng_() % 50 == 0) return std::string();
        std::string s;
        const char* alphabet = f == 1 ? "ABCDEF" : "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        const unsigned letters = f == 1 ? 6 : 26;
        const int head = std::min(width, 5);
        for (int i = 0; i < head; ++i) s += alphabet[rng_() % letters];
        if (width > 7) {
            s += std::string(static_cast<std::size_t>(width - 7), 'm');
            s += alphabet[rng_() % letters];
            s += alphabet[rng_() % letters];
        }
        return s.substr(0, static_cast<std::size_t>(width));
    }

    void Fill(Row& row, std::size_t record) {
        for (int f = 0; f < kKeyFields; ++f) row.keys[static_cast<std::size_t>(f)] = Trimmed(RandomKey(f));
        row.note = record % 3 == 0 ? std::string() : "note of record " + std::to_string(record);
    }

    void Put(const Row& row) {
        for (int f = 0; f < kKeyFields; ++f) t_->PutRaw(f + 1, row.keys[static_cast<std::size_t>(f)]);
    }

    void Append() {
        Row row;
        Fill(row, rows_.size() + 1);
        t_->BlankRecord();
        Put(row);
        if (!row.note.empty()) t_->PutText(kNoteField, row.note);
        t_->Append();
        rows_.push_back(row);
    }

    void Edit(int32_t record, const Row& row) {
        t_->Go(record);
        Put(row);
        t_->WriteRecord(record);
        rows_[static_cast<std::size_t>(record - 1)].keys = row.keys;
        strictUnique_ = false;
    }

    // Every key field of `record` at the low end (blank) or the high end of the order.
    void MoveToEnd(int32_t record, bool high) {
        Row row = rows_[static_cast<std::size_t>(record - 1)];
        for (int f = 0; f < kKeyFields; ++f)
            row.keys[static_cast<std::size_t>(f)] = high ? std::string(static_cast<std::size_t>(kWidths[f]), 'Z') : "";
        Edit(record, row);
    }

    void EditAtRandom(int32_t record) {
        Row row = rows_[static_cast<std::size_t>(record - 1)];
        for (int f = 0; f < kKeyFields; ++f)
            if (rng_() % 2) row.keys[static_cast<std::size_t>(f)] = Trimmed(RandomKey(f));
        Edit(record, row);
    }

    void SetDeleted(int32_t record, bool deleted) {
        t_->Go(record);
        if (deleted)
            t_->DeleteRecord();
        else
            t_->RecallRecord();
        rows_[static_cast<std::size_t>(record - 1)].deleted = deleted;
    }

    void Pack() {
        t_->Pack();
        std::vector<Row> kept;
        for (const Row& r : rows_)
            if (!r.deleted) kept.push_back(r);
        rows_ = kept;
        strictUnique_ = true;
    }

    int32_t Count() const { return static_cast<int32_t>(rows_.size()); }
    int32_t AnyRecord() { return 1 + static_cast<int32_t>(rng_() % static_cast<unsigned>(Count())); }

    std::string IndexPath(const TagDef& tag) const {
        if (format_.compound) return folder_ + "/ix." + format_.ext;
        std::string name = tag.name;
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return folder_ + "/" + name + "." + format_.ext;
    }

    std::vector<std::string> IndexPaths() const {
        std::vector<std::string> paths;
        for (const TagDef& tag : format_.tags)
            if (std::find(paths.begin(), paths.end(), IndexPath(tag)) == paths.end()) paths.push_back(IndexPath(tag));
        return paths;
    }

    // Builds every tag anew (its files closed before) and opens the files in cursor slots.
    void BuildAll() {
        Close();
        for (const std::string& path : IndexPaths()) std::filesystem::remove(path);
        for (const TagDef& tag : format_.tags) {
            auto file = NvOpenIndexFile(&t_->IndexTable(), IndexPath(tag), true, !format_.compound, false);
            ASSERT_TRUE(file);
            ASSERT_TRUE(file->TagAdd(tag.name, kFieldNames[tag.field], tag.unique, !tag.descending,
                                     tag.filtered ? kFor : ""));
        }
        strictUnique_ = true;
        Open();
    }

    void Open() {
        int slot = 1;
        for (const std::string& path : IndexPaths()) {
            files_.push_back(NvOpenIndexFile(&t_->IndexTable(), path, false, false, false));
            ASSERT_TRUE(files_.back()) << path;
            t_->SetIndexFile(slot++, std::make_unique<nvtest::TagSlot>(*files_.back()));
        }
    }

    void Close() {
        for (std::size_t i = 0; i < files_.size(); ++i) t_->SetIndexFile(static_cast<int>(i) + 1, nullptr);
        files_.clear();
    }

    // Writes what the open files hold in memory, so that their bytes can be read.
    void Release() {
        for (auto& file : files_)
            for (int i = 0; i < file->TagCount(); ++i) file->TagByNumber(i)->PageRelease();
    }

    // The tree of every tag, read from the bytes, against the rows: the records that belong
    // (all, or those passing the FOR condition), each once, in key order.
    void Check(const std::string& step) {
        SCOPED_TRACE(std::string(format_.ext) + ", " + std::to_string(Count()) + " records, " + step);
        Release();
        for (const std::string& path : IndexPaths()) {
            nvtest::TreeFileReport report = nvtest::CheckIndexTrees(path);
            ASSERT_TRUE(report.Ok()) << report.Problems();
            for (const TagDef& tag : format_.tags) {
                if (IndexPath(tag) != path) continue;
                const nvtest::TreeReport* found = report.Tag(tag.name);
                ASSERT_TRUE(found) << tag.name << " missing from " << path;
                CheckTag(tag, *found);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }

    void CheckTag(const TagDef& tag, const nvtest::TreeReport& tree) {
        SCOPED_TRACE(tag.name);
        nvtest::TagWalk walked, wanted;
        for (const nvtest::TreeEntry& e : tree.entries) walked.emplace_back(tree.KeyText(e), e.record);
        for (int32_t r = 1; r <= Count(); ++r) {
            const Row& row = rows_[static_cast<std::size_t>(r - 1)];
            if (tag.filtered && !(row.keys[0] >= "M")) continue;
            wanted.emplace_back(row.keys[static_cast<std::size_t>(tag.field)], r);
        }
        std::stable_sort(wanted.begin(), wanted.end(), [&tree](const auto& a, const auto& b) {
            return tree.descending ? a.first > b.first : a.first < b.first;
        });
        if (!tag.unique) {
            nvtest::ExpectSameRuns(walked, wanted);
            return;
        }
        // A unique tag holds each key once, for a record that has it. Edits do not promote
        // another record when the one holding a key changes; builds list every key.
        std::vector<std::string> keys;
        for (const auto& [key, record] : walked) {
            ASSERT_TRUE(record >= 1 && record <= Count()) << "record " << record;
            const Row& row = rows_[static_cast<std::size_t>(record - 1)];
            EXPECT_EQ(row.keys[static_cast<std::size_t>(tag.field)], key) << "record " << record;
            EXPECT_TRUE(keys.empty() || (tree.descending ? keys.back() > key : keys.back() < key))
                << "key " << key << " of record " << record;
            keys.push_back(key);
        }
        if (strictUnique_) {
            std::vector<std::string> distinct;
            for (const auto& e : wanted)
                if (distinct.empty() || distinct.back() != e.first) distinct.push_back(e.first);
            EXPECT_EQ(keys, distinct);
        }
    }

    // The rows and orders in the notation of the dump files, as the engine reads them.
    std::vector<std::string> OwnDump() {
        std::vector<std::string> lines;
        for (int32_t r = 1; r <= Count(); ++r) {
            const Row& row = rows_[static_cast<std::size_t>(r - 1)];
            std::string line = "row " + std::to_string(r) + " " + (row.deleted ? "*" : "-");
            for (const std::string& key : row.keys) line += "|" + key;
            line += "|" + std::to_string(row.note.size()) + ":" + nvtest::Md5Hex(row.note);
            lines.push_back(line);
        }
        std::map<std::string, std::string> orders;
        for (auto& file : files_) {
            for (int i = 0; i < file->TagCount(); ++i) {
                NVobjIndexTag& tag = *file->TagByNumber(i);
                std::string line = "order " + tag.tagName + "|" + tag.keyExpression + "|" + tag.forExpression + "|" +
                                   (tag.ascending ? "ascending" : "descending") + "|" +
                                   (tag.unique ? "unique" : "duplicates") + "|";
                for (int32_t r : nvtest::WalkRecords(nvtest::WalkTag(tag))) line += " " + std::to_string(r);
                orders[tag.tagName] = line;
            }
        }
        for (const auto& [name, line] : orders) lines.push_back(line);
        return lines;
    }

    // The peer's dump of the table and every index file.
    std::vector<std::string> PeerDump(const std::string& program) {
        std::string command = "'" + program + "' " + format_.rdd + " '" + folder_ + "/t'";
        for (const std::string& path : IndexPaths()) command += " '" + path + "'";
        command += " 2>&1";
        std::vector<std::string> lines;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return lines;
        std::string text;
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        ::pclose(pipe);
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    void CompareWithPeer(const std::string& program, const std::string& step) {
        if (!format_.rdd) return;
        SCOPED_TRACE(std::string(format_.ext) + ", " + std::to_string(Count()) + " records, peer after " + step);
        Release();
        // The peer may write a key expression with other spacing or letter case.
        auto plain = [](std::string line) {
            if (line.rfind("order ", 0) != 0) return line;
            std::size_t bar = line.find('|');
            std::size_t next = line.find('|', bar + 1);
            std::string expr = line.substr(bar + 1, next - bar - 1);
            std::string squeezed;
            for (char c : expr)
                if (c != ' ') squeezed += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            std::size_t forEnd = line.find('|', next + 1);
            std::string forExpr;
            for (char c : line.substr(next + 1, forEnd - next - 1))
                if (c != ' ') forExpr += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return line.substr(0, bar + 1) + squeezed + "|" + forExpr + line.substr(forEnd);
        };
        std::vector<std::string> own = OwnDump();
        // The peer opens the table shared: ours is open exclusive, so it is closed meanwhile.
        Close();
        t_.reset();
        std::vector<std::string> peer = PeerDump(program);
        t_ = std::make_unique<NVO_dBHandler>(table_, false, true, "");
        Open();
        for (std::string& line : own) line = plain(line);
        for (std::string& line : peer) line = plain(line);
        auto joined = [](const std::vector<std::string>& lines) {
            std::string text;
            for (std::size_t i = 0; i < lines.size() && i < 12; ++i) text += lines[i].substr(0, 160) + "\n";
            return text;
        };
        ASSERT_EQ(peer.size(), own.size()) << "the peer:\n" << joined(peer) << "the engine:\n" << joined(own);
        for (std::size_t i = 0; i < own.size(); ++i) ASSERT_EQ(peer[i], own[i]) << "line " << i + 1;
    }

    NVO_dBHandler& Table() { return *t_; }

private:
    const Format& format_;
    std::string folder_;
    std::string table_;
    std::mt19937 rng_;
    std::unique_ptr<NVO_dBHandler> t_;
    std::vector<std::unique_ptr<NVobjIndexFile>> files_;
    std::vector<Row> rows_;
    bool strictUnique_ = true;
};

std::string PeerDumpProgram() {
    const std::string program = std::string(PELMORA_PEER_DIR) + "/dump";
    std::error_code ec;
    return std::filesystem::exists(program, ec) ? program : std::string();
}

// Every count from 0 up to several pages of the longest keys and a few pages of the
// shortest: each count's build is checked, then one record more.
TEST(IndexStress, BuildsAtEveryCountUpToSeveralPages) {
    const int top = 130;
    for (const Format& format : kFormats) {
        TempDir dir;
        Scenario s(format, dir.File(""), StressSeed());
        for (int count = 0; count <= top; ++count) {
            s.BuildAll();
            s.Check("build");
            if (HasFatalFailure()) return;
            s.Close();
            s.Append();
        }
    }
}

// Selected counts: around the page and level boundaries of the formats' pages, then larger.
// After the build: appends, keys moved to the low and the high end, random edits, deletes,
// recalls and a pack (which rebuilds every tag), each step checked.
void MaintainAt(const Format& format, int count, const std::string& peer) {
    TempDir dir;
    Scenario s(format, dir.File(""), StressSeed() * 7919u + static_cast<unsigned>(count));
    for (int i = 0; i < count; ++i) s.Append();
    s.BuildAll();
    s.Check("build");
    if (::testing::Test::HasFatalFailure()) return;
    if (!peer.empty()) s.CompareWithPeer(peer, "build");
    const int ops = std::max(3, std::min(count / 8, 250)) * StressScale();
    // Small tables are checked after every single change, larger ones after every kind.
    const bool eachOne = count <= 64;
    auto step = [&](const std::string& what, const std::function<void()>& change) {
        for (int i = 0; i < ops && !::testing::Test::HasFatalFailure(); ++i) {
            change();
            if (eachOne) s.Check(what + " " + std::to_string(i + 1));
        }
        if (!eachOne) s.Check(what);
    };
    step("append", [&] { s.Append(); });
    step("low end", [&] { s.MoveToEnd(s.AnyRecord(), false); });
    step("high end", [&] { s.MoveToEnd(s.AnyRecord(), true); });
    step("random edit", [&] { s.EditAtRandom(s.AnyRecord()); });
    step("delete", [&] { s.SetDeleted(s.AnyRecord(), true); });
    step("recall", [&] { s.SetDeleted(s.AnyRecord(), false); });
    if (::testing::Test::HasFatalFailure()) return;
    if (!peer.empty()) s.CompareWithPeer(peer, "maintenance");
    s.Pack();
    s.Check("pack");
    if (!peer.empty() && !::testing::Test::HasFatalFailure()) s.CompareWithPeer(peer, "pack");
}

std::vector<int> MaintainedCounts() {
    std::vector<int> counts = {1, 2, 3, 5, 8, 13, 25, 26, 31, 32, 50, 51, 62, 63, 64, 100, 101, 163, 250,
                               640, 1300, 3850, 16000};
    std::mt19937 rng(StressSeed());
    for (int i = 1; i < StressScale(); ++i) counts.push_back(1 + static_cast<int>(rng() % 40000u));
    return counts;
}

class IndexStressMaintenance : public ::testing::TestWithParam<int> {};

TEST_P(IndexStressMaintenance, EveryStepKeepsTheTreesSound) {
    for (int count : MaintainedCounts()) {
        MaintainAt(kFormats[GetParam()], count, std::string());
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexStressMaintenance, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kFormats[info.param].ext);
                         });

// The peer runtime reads the CDX and NTX files (with their tables and memos) after the
// build, after maintenance and after the pack, and lists what the engine lists.
class IndexStressPeer : public ::testing::TestWithParam<int> {};

TEST_P(IndexStressPeer, ThePeerReadsWhatTheEngineWrote) {
    const std::string peer = PeerDumpProgram();
    if (peer.empty())
        GTEST_SKIP() << "no peer dump program at " << PELMORA_PEER_DIR << " (see its README.md)";
    for (int count : {1, 26, 63, 250, 3850}) {
        MaintainAt(kFormats[GetParam()], count, peer);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexStressPeer, ::testing::Values(0, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kFormats[info.param].ext);
                         });

}  // namespace
