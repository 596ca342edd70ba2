// `norvane bench`: the engine jobs a side-by-side timing against other programs of the
// family needs, each printing one result line so that a run can be checked as well as timed
// (scripts/bench-vs-peer). They read through the same paths as list and export.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "nv6_bld.h"
#include "nv6_date.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

int32_t CountOption(const NvtArgs& args, int32_t fallback) {
    if (!args.Has("count")) return fallback;
    const std::string text = args.Value("count");
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 0 || n > 100000000)
        throw NvtUsageError("bench: --count takes a number of records (0 to 100000000), not '" + text + "'");
    return static_cast<int32_t>(n);
}

int NumericField(NVO_dBHandler& t, const NvtArgs& args) {
    const std::string name = args.Has("field") ? args.Value("field") : "AMOUNT";
    const int n = t.FieldNumber(name);
    if (n == 0 || (t.FieldType(n) != 'N' && t.FieldType(n) != 'F'))
        throw NvtError("bench: the table has no numeric field " + name + " (--field names one)");
    return n;
}

std::string Sum(long double sum) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2Lf", sum);
    return text;
}

// Appends `count` records to a new dBase III table in the pattern of the peer's test table:
// NAME C 20, CITY C 15, AGE N 5, BORN D, AMOUNT N 12 2.
void AppendPattern(const std::string& path, int32_t count) {
    {
        NVO_DBFBuild build(path);
        build.AddField("NAME", "C", 20, 0);
        build.AddField("CITY", "C", 15, 0);
        build.AddField("AGE", "N", 5, 0);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("AMOUNT", "N", 12, 2);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    NvWriteBehindScope bulk(&t);
    const int32_t first = TnvDBFDate::YMDToDay(2000, 1, 1);
    char text[32];
    for (int32_t i = 1; i <= count; ++i) {
        t.BlankRecord();
        const uint32_t hash = static_cast<uint32_t>(static_cast<uint64_t>(i) * 2654435761u);
        std::snprintf(text, sizeof text, "N%08X%8d", hash, i);
        t.PutRaw(1, text);
        std::snprintf(text, sizeof text, "City%4d", i % 997);
        t.PutRaw(2, text);
        t.SetNumber(3, i % 90);
        t.SetDate(4, first + i % 9000);
        t.SetNumber(5, static_cast<long double>(i % 100000) / 100);
        t.Append();
    }
    bulk.Finish();
    t.Flush();
}

}  // namespace

int NvtBench(const NvtArgs& args, NvtIo& io) {
    const std::string& job = args.positional[0];
    const std::string& path = args.positional[1];
    if (job == "append") {
        const int32_t count = CountOption(args, 1000000);
        AppendPattern(path, count);
        io.out << "appended " << count << "\n";
        return kNvtExitOk;
    }
    if (job != "scan" && job != "walk" && job != "seek" && job != "count")
        throw NvtUsageError("bench: the jobs are scan, walk, seek, count and append, not '" + job + "'");
    // Exclusive is read-write: the table is not written, but only a writer may hold it alone.
    NvtTable table(path, args.Value("password"), args.Has("exclusive"), NvtWaitMs(args));
    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    table.OpenIndexes(args);
    NVobjIndexTag* tag = nullptr;
    if (job == "walk" || job == "seek") {
        if (args.Values("index").empty() || !args.Has("order")) throw NvtUsageError("bench: " + job + " needs --index and --order");
        tag = &NvtFindTag(table.Indexes(), args.Value("order"));
    }
    if (job == "scan" || job == "walk") {
        const int field = NumericField(t, args);
        long double sum = 0;
        int64_t records = 0;
        NvtForEachRecord(table, tag, "", false, [&](int32_t) {
            sum += t.GetNumber(field);
            ++records;
        });
        io.out << "records " << records << " sum " << Sum(sum) << "\n";
        return kNvtExitOk;
    }
    if (job == "count") {
        int64_t records = 0;
        NvtForEachRecord(table, nullptr, args.Value("filter"), false, [&](int32_t) { ++records; });
        io.out << "count " << records << "\n";
        return kNvtExitOk;
    }
    // seek: keys of records picked at random (fixed seed), read in natural order, then looked
    // up in another random order, each found record read as a seek positions on it.
    const int32_t records = t.RecordCount();
    const int32_t count = CountOption(args, 100000);
    if (records == 0) throw NvtError("bench: seek needs a table with records");
    std::mt19937 rng(2654435761u);
    std::vector<int32_t> picked(static_cast<std::size_t>(count));
    for (int32_t& r : picked) r = static_cast<int32_t>(rng() % static_cast<uint32_t>(records)) + 1;
    std::sort(picked.begin(), picked.end());
    std::vector<NVobjIndexKeyData> keys;
    keys.reserve(picked.size());
    for (int32_t r : picked) {
        t.Go(r);
        NVobjIndexKeyData key;  // grows to the key's length, no more
        bool ok = true;
        if (!tag->KeyEvaluate(key, ok)) throw NvtError("bench: the tag's key cannot be evaluated");
        tag->KeyFormat(key, false);
        key.reference = -1;  // the first record of the key, as a seek of the key alone
        keys.push_back(std::move(key));
    }
    std::shuffle(keys.begin(), keys.end(), rng);
    // Through the cursor as a program's seek goes: on a shared table each one under the
    // index lock, landing on its record.
    t.SetOrder(NvtTagName(*tag->File(), *tag), false);
    t.SetReadAhead(false);
    int32_t found = 0;
    for (NVobjIndexKeyData& key : keys)
        if (t.Find(key)) ++found;
    io.out << "seeks " << count << " found " << found << "\n";
    return found == count ? kNvtExitOk : kNvtExitNo;
}
