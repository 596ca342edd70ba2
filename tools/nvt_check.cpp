// check: every tag of the given index files against a fresh build in memory, and every memo
// pointer against the memo file. A tag is compared as a multiset of (key, record) pairs so
// that the order of equal keys, which builders and maintenance may choose differently, does
// not count; the order of the keys themselves does. The tree's shape is checked too: pages
// without keys, leaves at unequal depths, pages reached twice or that cannot be read.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "nv6_bytes.h"
#include "nv6_dbex.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_sort.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

using Entry = std::pair<std::string, int32_t>;

// A key as comparable text: numbers and dates by value, other keys by their bytes without
// the padding some formats keep in their pages.
std::string KeyText(const TnvVariant& key) {
    // Built by appending: GCC 12 at -O3 takes "X" + string for an overlapping copy.
    if (key.Kind() == TnvVariant::kNumeric) return std::string(1, 'N').append(nvlocale::FormatShortest(key.AsNumber()));
    if (key.Kind() == TnvVariant::kDate) return std::string(1, 'N').append(nvlocale::FormatShortest(key.AsDate()));
    return std::string(1, 'C').append(NvtStoredText(key.View()));
}

// The key as a message shows it.
std::string Shown(const std::string& key) {
    std::string s = key.substr(1);
    for (char& c : s)
        if (static_cast<uint8_t>(c) < 0x20) c = '.';
    std::string shown(1, '\'');
    shown += NvtOemToUtf8(s);
    shown += '\'';
    return shown;
}

class Report {
public:
    Report(std::ostream& out, std::string where) : out_(out), where_(std::move(where)) {}
    void Problem(const std::string& text) {
        if (count_++ < kShown) out_ << where_ << ": " << text << "\n";
    }
    int Count() const { return count_; }
    void Close() {
        if (count_ > kShown) out_ << where_ << ": ... " << (count_ - kShown) << " more problems\n";
    }

private:
    static constexpr int kShown = 20;
    std::ostream& out_;
    std::string where_;
    int count_ = 0;
};

struct BuildScope {
    TnvIndexTable& table;
    explicit BuildScope(TnvIndexTable& t) : table(t) { table.BeginBuild(); }
    ~BuildScope() { table.EndBuild(); }
};

int CheckTag(NvtTable& table, NVobjIndexFile& file, NVobjIndexTag& tag, std::ostream& out) {
    Report report(out, file.MessageName() + " tag " + NvtTagName(file, tag));
    int32_t count = table.Cursor().RecordCount();
    std::vector<Entry> expected;
    {
        BuildScope scope(table.Cursor().IndexTable());
        TnvTagRecordSource source(tag, false);
        TnvVariant key(256);
        while (source.NextRecord()) {
            if (!source.ForHolds()) continue;
            source.KeyValue(key);
            expected.emplace_back(KeyText(key), source.RecordNumber());
        }
    }
    // The tree's shape first: other programs of the family walk pages without the checks
    // the engine makes, so a page without a key or a leaf out of line misleads them.
    tag.CheckTree([&report](const std::string& text) { report.Problem(text); });
    std::vector<Entry> walked;
    TnvVariant previous;
    bool havePrevious = false;
    for (int32_t r = tag.TagMove(-3); r != 0; r = tag.TagMove(-1)) {
        if (walked.size() > static_cast<std::size_t>(count) + 1) {
            report.Problem("the walk through the tag does not end (more entries than records)");
            break;
        }
        if (r < 0 || r > count) report.Problem("entry for record " + std::to_string(r) + ", which is not in the table");
        if (havePrevious) {
            int order;
            try {
                order = tag.CompareKeys(previous, tag.currentKey, -1);
            } catch (const Exception&) {
                order = 1;
            }
            if (tag.reverseNavigation) order = -order;
            if (order > 0)
                report.Problem("key " + Shown(KeyText(tag.currentKey)) + " of record " + std::to_string(r) +
                               " is out of order after " + Shown(KeyText(previous)));
        }
        previous = tag.currentKey;
        havePrevious = true;
        walked.emplace_back(KeyText(tag.currentKey), r);
    }
    std::map<int32_t, std::string> keyOf;
    for (const Entry& e : expected) keyOf[e.second] = e.first;
    std::map<int32_t, int> seen;
    for (const Entry& e : walked) ++seen[e.second];
    for (const auto& [record, times] : seen)
        if (times > 1) report.Problem("record " + std::to_string(record) + " has " + std::to_string(times) + " entries");
    for (const Entry& e : walked) {
        auto it = keyOf.find(e.second);
        if (e.second < 1 || e.second > count) continue;
        if (it == keyOf.end())
            report.Problem("entry " + Shown(e.first) + " for record " + std::to_string(e.second) +
                           ", which does not belong to the tag");
        else if (it->second != e.first)
            report.Problem("record " + std::to_string(e.second) + " has key " + Shown(e.first) + ", not " + Shown(it->second));
    }
    if (tag.unique) {
        // Each distinct key once; which of its records holds it is free.
        std::set<std::string> want, have;
        for (const Entry& e : expected) want.insert(e.first);
        std::map<std::string, int> times;
        for (const Entry& e : walked) ++times[e.first];
        for (const auto& [key, n] : times) {
            have.insert(key);
            if (n > 1) report.Problem("unique key " + Shown(key) + " has " + std::to_string(n) + " entries");
        }
        for (const std::string& key : want)
            if (!have.count(key)) report.Problem("key " + Shown(key) + " is missing");
    } else {
        for (const Entry& e : expected)
            if (!seen.count(e.second))
                report.Problem("record " + std::to_string(e.second) + " (key " + Shown(e.first) + ") has no entry");
    }
    report.Close();
    if (report.Count() == 0)
        out << file.MessageName() << " tag " << NvtTagName(file, tag) << ": " << walked.size() << " keys, ok\n";
    return report.Count();
}

int CheckMemos(NvtTable& table, std::ostream& out) {
    NVO_dBHandler& t = table.Cursor();
    std::vector<int> memoFields;
    for (int n = 1; n <= t.FieldCount(); ++n)
        if (t.IsMemoField(n)) memoFields.push_back(n);
    if (memoFields.empty()) return 0;
    Report report(out, table.Path());
    if (!t.HasMemo()) {
        report.Problem("the table has memo fields but no memo file");
        report.Close();
        return report.Count();
    }
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.Go(r);
        for (int n : memoFields) {
            try {
                NvtMemoBytes(t, n);
            } catch (const std::exception& e) {
                report.Problem("record " + std::to_string(r) + " field " + t.FieldName(n) + ": memo pointer '" +
                               NvtStoredText(t.GetRaw(n)) + "': " + e.what());
            }
        }
    }
    report.Close();
    if (report.Count() == 0) out << table.Path() << ": memo pointers ok\n";
    return report.Count();
}

// The header's record count against the records the file's size holds: the engine goes by
// the size, so a table cut short (or a header that lost count) reads without complaint.
int CheckRecordCount(NvtTable& table, std::ostream& out) {
    NVO_dBHandler& t = table.Cursor();
    const int64_t size = t.FileSize();
    const int64_t stored = t.Header().StoredCount();
    const int64_t held = t.RecordCount();
    // After the records: nothing, or the end-of-file byte.
    const int64_t rest = size - t.HeaderLength() - held * t.RecordLength();
    Report report(out, table.Path());
    if (stored != held)
        report.Problem("the header says " + NvtCount(stored, "record") + ", the file's size (" +
                       std::to_string(size) + " bytes) holds " + NvtCount(held, "record"));
    if (rest > 1)
        report.Problem("the file ends in " + std::to_string(rest) + " bytes that are no whole record");
    report.Close();
    if (report.Count() == 0) out << table.Path() << ": " << NvtCount(held, "record") << ", as the header says\n";
    return report.Count();
}

// NDX and MDX files name their next free block in the header, and other programs take new
// pages from there: a header behind the file's end (a program stopped between writing a
// page and the header) would have the next page written over one in use.
int CheckNextFreeBlock(NVobjIndexFile& file, std::ostream& out) {
    NVO_DiskFile* disk = file.diskFile.get();
    if (!disk) return 0;
    const std::string& path = disk->FileName();
    const bool ndx = NvHasExt(path, "ndx");
    if (!ndx && !NvHasExt(path, "mdx")) return 0;
    uint8_t header[36] = {};
    const int at = ndx ? 4 : 32;
    if (disk->ReadAt(0, header, sizeof header) != int64_t(sizeof header)) return 0;
    const int64_t next = nvbytes::LoadLE32(header + at), size = disk->FileSize();
    if (next * 512 >= size) return 0;
    out << file.MessageName() << ": the header's next free block (" << next << ") lies inside the file ("
        << size << " bytes), so new pages would overwrite pages in use\n";
    return 1;
}

}  // namespace

int NvtCheck(const NvtArgs& args, NvtIo& io) {
    NvtTable table(args, false);
    table.Cursor().SetReadAhead(true);
    int problems = CheckRecordCount(table, io.out);
    problems += CheckMemos(table, io.out);
    // The production index is checked without being named, as the commands that write
    // records keep it up to date without being told.
    std::vector<std::string> paths = args.Values("index");
    for (const char* ext : {"cdx", "mdx"}) {
        std::string candidate = NvFindFileNoCase(NvCompanionName(table.Path(), ext));
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) paths.push_back(candidate);
    }
    std::vector<NVobjIndexFile*> checked;
    for (const std::string& path : paths) {
        NVobjIndexFile* file = nullptr;
        try {
            file = &table.OpenIndex(path);
        } catch (const std::exception& e) {
            io.out << path << ": " << e.what() << "\n";
            ++problems;
            continue;
        }
        if (std::find(checked.begin(), checked.end(), file) != checked.end()) continue;
        checked.push_back(file);
        problems += CheckNextFreeBlock(*file, io.out);
        for (int i = 0; i < file->TagCount(); ++i) {
            try {
                problems += CheckTag(table, *file, *file->TagByNumber(i), io.out);
            } catch (const std::exception& e) {
                io.out << file->MessageName() << " tag " << NvtTagName(*file, *file->TagByNumber(i)) << ": " << e.what()
                       << "\n";
                ++problems;
            }
        }
    }
    io.out << (problems == 0 ? "no problems\n" : NvtCount(problems, "problem") + "\n");
    return problems == 0 ? kNvtExitOk : kNvtExitNo;
}
