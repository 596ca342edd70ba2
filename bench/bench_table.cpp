// A million-record table through the cursor: appending it, building a tag on it in each
// index format, and reading it in natural and in tag order. The table is made once in a
// scratch directory and shared by the benchmarks that only read it.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "nv6_bld.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_ixop.h"

namespace {

constexpr int32_t kRecords = 1000000;

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

// NAME C 12, AGE N 6 0, BORN D, CODE C 2 with `count` records of random values.
void MakeTable(const std::string& path, int32_t count) {
    {
        NVO_DBFoxBuild build(path);
        build.AddField("NAME", "C", 12, 0);
        build.AddField("AGE", "N", 6, 0);
        build.AddField("BORN", "D", 8, 0);
        build.AddField("CODE", "C", 2, 0);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    std::mt19937 rng(7);
    for (int32_t n = 1; n <= count; ++n) {
        t.BlankRecord();
        std::string name(1, 'N');
        name += std::to_string(rng() % 10000000);
        t.PutRaw(1, name);
        t.SetNumber(2, static_cast<int>(rng() % 2000) - 500);
        t.SetDate(3, 2415021 + static_cast<int32_t>(rng() % 40000));
        t.PutRaw(4, std::string(1, static_cast<char>('a' + rng() % 26)));
        t.Append();
    }
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

}  // namespace
