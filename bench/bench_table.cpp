// A million-record table through the cursor: appending it, building a tag on it in each
// index format, reading it in natural and in tag order, seeking, filtering, editing it in
// shared mode and browsing to its end. The table is made once in a scratch directory and
// shared by the benchmarks that only read it. NORVANE_BENCH_RECORDS sets another size (the
// test suite's smoke run uses a small one).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "nv6_bld.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nv6_ixop.h"
#include "nv_dataset.h"

namespace {

const int32_t kRecords = [] {
    const char* text = std::getenv("NORVANE_BENCH_RECORDS");
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<int32_t>(n) : 1000000;
}();

class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/pelmora-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made ? made : "/tmp";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Scratch& Dir() {
    static Scratch dir;
    return dir;
}

// NAME C 12, AGE N 6 0, BORN D, CODE C 2, AMOUNT N 12 2 with `count` records of random values.
void MakeTable(const std::string& path, int32_t count) {
    {
        NVO_DBFoxBuild build(path);
        build.AddField("NAME", "C", 12, 0);
        build.AddField("AGE", "N", 6, 0);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("CODE", "C", 2, 0);
        build.AddField("AMOUNT", "N", 12, 2);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    NvWriteBehindScope bulk(&t);
    std::mt19937 rng(7);
    for (int32_t n = 1; n <= count; ++n) {
        t.BlankRecord();
        std::string name(1, 'N');
        name += std::to_string(rng() % 10000000);
        t.PutRaw(1, name);
        t.SetNumber(2, static_cast<int>(rng() % 2000) - 500);
        t.SetDate(3, 2415021 + static_cast<int32_t>(rng() % 40000));
        t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 26)));
        t.SetNumber(5, static_cast<long double>(rng() % 100000) / 100);
        t.Append();
    }
    bulk.Finish();
}

const std::string& SharedTable() {
    static const std::string path = [] {
        std::string p = Dir().File("million.dbf");
        MakeTable(p, kRecords);
        return p;
    }();
    return path;
}

void BM_AppendMillion(benchmark::State& state) {
    for (auto _ : state) MakeTable(Dir().File("append.dbf"), kRecords);
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_AppendMillion)->Unit(benchmark::kMillisecond)->Iterations(1);

// Builds a tag on NAME (or AGE) over the shared table in the format of `ext`.
void BuildTag(benchmark::State& state, const char* ext, const char* key) {
    NVO_dBHandler t(SharedTable(), false, true, "");
    const std::string path = Dir().File(std::string("tag") + ext);
    for (auto _ : state) {
        auto file = NvOpenIndexFile(&t.IndexTable(), path, true, true, false);
        file->TagAdd("KEY", key, false, true, "");
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK_CAPTURE(BuildTag, ndx_name, ".ndx", "NAME")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BuildTag, cdx_name, ".cdx", "NAME")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BuildTag, ntx_name, ".ntx", "NAME")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BuildTag, mdx_name, ".mdx", "NAME")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BuildTag, cdx_age, ".cdx", "AGE")->Unit(benchmark::kMillisecond);

void BM_SkipNaturalOrder(benchmark::State& state) {
    NVO_dBHandler t(SharedTable(), false, false, "");
    for (auto _ : state) {
        int64_t n = 0;
        for (t.Go(-3); !t.Eof(); t.Skip(1)) ++n;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SkipNaturalOrder)->Unit(benchmark::kMillisecond);

// Every record in the order of a tag on NAME, through the cursor as a browse does.
void SkipTagOrder(benchmark::State& state, const char* ext) {
    const std::string path = Dir().File(std::string("walk") + ext);
    {
        NVO_dBHandler t(SharedTable(), false, true, "");
        NvOpenIndexFile(&t.IndexTable(), path, true, true, false)->TagAdd("WALK", "NAME", false, true, "");
    }
    NVO_dBHandler t(SharedTable(), false, false, "");
    t.OpenIndexFiles(path, "WALK");
    for (auto _ : state) {
        int64_t n = 0;
        for (t.Go(-3); !t.Eof(); t.Skip(1)) ++n;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK_CAPTURE(SkipTagOrder, ndx, ".ndx")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SkipTagOrder, cdx, ".cdx")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SkipTagOrder, ntx, ".ntx")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SkipTagOrder, mdx, ".mdx")->Unit(benchmark::kMillisecond);

// The NAME tag of a CDX file beside the shared table, built once.
const std::string& NameCdx() {
    static const std::string path = [] {
        std::string p = Dir().File("names.cdx");
        NVO_dBHandler t(SharedTable(), false, true, "");
        auto file = NvOpenIndexFile(&t.IndexTable(), p, true, true, false);
        file->TagAdd("NAME", "NAME", false, true, "");
        file->TagAdd("AGE", "AGE", false, true, "");
        return p;
    }();
    return path;
}

void BM_ScanSum(benchmark::State& state) {
    NVO_dBHandler t(SharedTable(), true, false, "");
    t.SetReadAhead(true);
    for (auto _ : state) {
        long double sum = 0;
        for (t.Go(-3); !t.Eof(); t.Go(-1)) sum += t.GetNumber(5);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_ScanSum)->Unit(benchmark::kMillisecond);

// Seeks of NAME keys of records picked at random, each landing on its record, as Find does.
void BM_Seeks(benchmark::State& state) {
    const std::string cdx = NameCdx();
    NVO_dBHandler t(SharedTable(), true, false, "");
    t.OpenIndexFiles(cdx, "NAME");
    std::mt19937 rng(3);
    std::vector<std::string> keys;
    const int32_t count = std::max(kRecords / 10, 1);
    for (int32_t i = 0; i < count; ++i) {
        t.Go(static_cast<int32_t>(rng() % static_cast<uint32_t>(kRecords)) + 1);
        keys.push_back(t.GetRaw(1));
    }
    for (auto _ : state) {
        int32_t found = 0;
        for (const std::string& key : keys) found += t.Find(key) ? 1 : 0;
        if (found != count) state.SkipWithError("a key was not found");
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_Seeks)->Unit(benchmark::kMillisecond);

// The filter set built over the table, then every record that passes, in natural order.
void BM_FilterBuildAndWalk(benchmark::State& state) {
    NVO_dBHandler t(SharedTable(), true, false, "");
    t.SetReadAhead(true);
    for (auto _ : state) {
        t.SetFilter("", false, false);
        t.SetFilter("AGE > 40 .AND. AMOUNT < 500", false, false);
        t.SetFiltered(true);
        int64_t n = 0;
        for (t.Go(-3); !t.Eof(); t.Go(-1)) ++n;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_FilterBuildAndWalk)->Unit(benchmark::kMillisecond);

// 10,000 edits of records picked at random, shared, each under its record lock, with a CDX
// of two tags (NAME and AGE) kept up to date. Runs on a copy, so the shared table stays.
void BM_EditsWithTwoCdxTags(benchmark::State& state) {
    const std::string table = Dir().File("edits.dbf");
    const std::string cdx = Dir().File("edits.cdx");
    std::filesystem::copy_file(SharedTable(), table, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(NameCdx(), cdx, std::filesystem::copy_options::overwrite_existing);
    NVO_dBHandler t(table, true, true, "");
    t.OpenIndexFiles(cdx, "NAME");
    std::mt19937 rng(5);
    const int edits = std::min(10000, kRecords);
    // The shared-mode write sequence (locks, change counter, page writes) is a fixed number of
    // system calls per edit; their share of the time is reported apart.
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
        for (int i = 0; i < edits; ++i) {
            const int32_t r = static_cast<int32_t>(rng() % static_cast<uint32_t>(kRecords)) + 1;
            t.Go(r);
            if (!t.LockRecord()) {
                state.SkipWithError("record lock refused");
                return;
            }
            t.PutRaw(1, std::string(1, 'E').append(std::to_string(rng() % 10000000)));
            t.SetNumber(2, static_cast<int>(rng() % 90));
            t.WriteRecord(r);
            t.Unlock();
        }
    }
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    auto seconds = [](const timeval& from, const timeval& to) {
        return static_cast<double>(to.tv_sec - from.tv_sec) + static_cast<double>(to.tv_usec - from.tv_usec) / 1e6;
    };
    state.counters["user_s"] = seconds(before.ru_utime, after.ru_utime);
    state.counters["kernel_s"] = seconds(before.ru_stime, after.ru_stime);
    state.SetItemsProcessed(state.iterations() * edits);
}
BENCHMARK(BM_EditsWithTwoCdxTags)->Unit(benchmark::kMillisecond);

// The record set opened on the table (shared, as the program opens it) and sent to its last
// record, as the browse window does when Ctrl+End is pressed on opening.
void BM_BrowseToLast(benchmark::State& state) {
    const std::string path = SharedTable();
    for (auto _ : state) {
        TNorvaneDataSet ds;
        ds.SetDatabaseName(std::filesystem::path(path).parent_path().string());
        ds.SetTableName(std::filesystem::path(path).filename().string());
        ds.Open();
        ds.Last();
        if (ds.RecNo() != kRecords) state.SkipWithError("not on the last record");
        state.PauseTiming();
        ds.Close();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BrowseToLast)->Unit(benchmark::kMillisecond);

}  // namespace
