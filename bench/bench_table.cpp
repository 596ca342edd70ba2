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

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nv6_bld.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nv6_ixop.h"
#include "nv6_os.h"
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

// A copy of the shared table under `name`, with its two-tag CDX (NAME and AGE), so that
// edits leave the shared table as it was.
std::string EditCopy(const std::string& name) {
    const std::string table = Dir().File(name + ".dbf");
    std::filesystem::copy_file(SharedTable(), table, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(NameCdx(), Dir().File(name + ".cdx"), std::filesystem::copy_options::overwrite_existing);
    return table;
}

// `edits` edits of records picked at random, shared, each under its record lock; false
// when a lock is refused.
bool RunEdits(NVO_dBHandler& t, std::mt19937& rng, int edits) {
    for (int i = 0; i < edits; ++i) {
        const int32_t r = static_cast<int32_t>(rng() % static_cast<uint32_t>(kRecords)) + 1;
        t.Go(r);
        if (!t.LockRecord()) return false;
        t.PutRaw(1, std::string(1, 'E').append(std::to_string(rng() % 10000000)));
        t.SetNumber(2, static_cast<int>(rng() % 90));
        t.WriteRecord(r);
        t.Unlock();
    }
    return true;
}

const int kEdits = std::min(10000, kRecords);

// 10,000 edits of records picked at random, shared, each under its record lock, with a CDX
// of two tags (NAME and AGE) kept up to date. Runs on a copy, so the shared table stays.
void BM_EditsWithTwoCdxTags(benchmark::State& state) {
    const std::string table = EditCopy("edits");
    NVO_dBHandler t(table, true, true, "");
    t.OpenIndexFiles(Dir().File("edits.cdx"), "NAME");
    std::mt19937 rng(5);
    // The shared-mode write sequence (locks, change counter, page writes) is a fixed number of
    // system calls per edit; their share of the time is reported apart.
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    for (auto _ : state)
        if (!RunEdits(t, rng, kEdits)) state.SkipWithError("record lock refused");
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    auto seconds = [](const timeval& from, const timeval& to) {
        return static_cast<double>(to.tv_sec - from.tv_sec) + static_cast<double>(to.tv_usec - from.tv_usec) / 1e6;
    };
    state.counters["user_s"] = seconds(before.ru_utime, after.ru_utime);
    state.counters["kernel_s"] = seconds(before.ru_stime, after.ru_stime);
    state.SetItemsProcessed(state.iterations() * kEdits);
}
BENCHMARK(BM_EditsWithTwoCdxTags)->Unit(benchmark::kMillisecond);

// Every file call the edits above make, in order, with its handle, place, length and bytes.
class CallRecorder final : public NvPlatformWrapper {
public:
    enum Kind : uint8_t { kRead, kWrite, kSize, kLock };
    struct Call {
        Kind kind;
        NvRangeLock mode;
        int handle;
        int64_t offset, length;
        std::size_t bytes;  // where a write's bytes start in bytes_
        bool ok;            // what the call returned: success, or the whole length moved
    };

    int Open(const std::string& path, bool write, bool create) override {
        const int handle = NvPlatformWrapper::Open(path, write, create);
        if (handle >= 0) paths_[handle] = path;
        return handle;
    }
    int64_t PRead(int h, void* b, int64_t l, int64_t o) override {
        const int64_t n = NvPlatformWrapper::PRead(h, b, l, o);
        if (on_) calls_.push_back({kRead, NvRangeLock::Unlock, h, o, l, 0, n == l});
        return n;
    }
    int64_t PWrite(int h, const void* b, int64_t l, int64_t o) override {
        const int64_t n = NvPlatformWrapper::PWrite(h, b, l, o);
        if (on_) {
            calls_.push_back({kWrite, NvRangeLock::Unlock, h, o, l, bytes_.size(), n == l});
            bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + l);
        }
        return n;
    }
    int64_t Size(int h) override {
        const int64_t n = NvPlatformWrapper::Size(h);
        if (on_) calls_.push_back({kSize, NvRangeLock::Unlock, h, 0, 0, 0, n >= 0});
        return n;
    }
    bool RangeLock(int h, int64_t o, int64_t l, NvRangeLock mode) override {
        const bool ok = NvPlatformWrapper::RangeLock(h, o, l, mode);
        if (on_) calls_.push_back({kLock, mode, h, o, l, 0, ok});
        return ok;
    }

    void Record(bool on) { on_ = on; }
    const std::vector<Call>& Calls() const { return calls_; }
    const uint8_t* Bytes(const Call& call) const { return bytes_.data() + call.bytes; }
    const std::map<int, std::string>& Paths() const { return paths_; }

private:
    bool on_ = false;
    std::vector<Call> calls_;
    std::vector<uint8_t> bytes_;
    std::map<int, std::string> paths_;
};

// The same edits' file calls made again, on a fresh copy of the files, with no engine work
// between them: the part of the edit benchmark's time that the shared-mode read, lock and
// write sequence takes by itself.
void BM_EditFileCallsAlone(benchmark::State& state) {
    CallRecorder recorder;
    {
        NvPlatformScope use(recorder);
        NVO_dBHandler t(EditCopy("recorded"), true, true, "");
        t.OpenIndexFiles(Dir().File("recorded.cdx"), "NAME");
        std::mt19937 rng(5);
        recorder.Record(true);
        if (!RunEdits(t, rng, kEdits)) state.SkipWithError("record lock refused");
        recorder.Record(false);
    }
    EditCopy("replayed");
    std::map<int, int> handles;
    for (const auto& [handle, path] : recorder.Paths()) {
        std::string name = std::filesystem::path(path).filename().string();
        if (name.rfind("recorded.", 0) != 0) continue;
        handles[handle] = NvOS().Open(Dir().File("replayed." + name.substr(9)), true, false);
    }
    std::vector<uint8_t> buffer;
    for (const CallRecorder::Call& call : recorder.Calls())
        if (call.kind == CallRecorder::kRead) buffer.resize(std::max(buffer.size(), static_cast<std::size_t>(call.length)));
    // A call that fails here but did not when recorded would leave out its share of the time.
    int differing = 0;
    for (auto _ : state) {
        for (const CallRecorder::Call& call : recorder.Calls()) {
            const int h = handles.count(call.handle) ? handles[call.handle] : -1;
            bool ok = false;
            switch (call.kind) {
                case CallRecorder::kRead: ok = NvOS().PRead(h, buffer.data(), call.length, call.offset) == call.length; break;
                case CallRecorder::kWrite:
                    ok = NvOS().PWrite(h, recorder.Bytes(call), call.length, call.offset) == call.length;
                    break;
                case CallRecorder::kSize: ok = NvOS().Size(h) >= 0; break;
                case CallRecorder::kLock: ok = NvOS().RangeLock(h, call.offset, call.length, call.mode); break;
            }
            if (ok != call.ok) ++differing;
        }
    }
    if (differing > 0) state.SkipWithError("a replayed call did not do what it did when recorded");
    for (const auto& [from, to] : handles) NvOS().Close(to);
    state.counters["calls_per_edit"] = static_cast<double>(recorder.Calls().size()) / kEdits;
    state.SetItemsProcessed(state.iterations() * kEdits);
}
BENCHMARK(BM_EditFileCallsAlone)->Unit(benchmark::kMillisecond);

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
