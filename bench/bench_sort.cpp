// Sorting a million keys as an index build does: add them in record order, drain them all.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "nv6_sort.h"

namespace {

// NORVANE_BENCH_RECORDS sets another count (the test suite's smoke run uses a small one).
const int32_t kKeys = [] {
    const char* text = std::getenv("NORVANE_BENCH_RECORDS");
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<int32_t>(n) : 1000000;
}();

void Drain(TnvSort& sort) {
    TnvVariant key;
    int32_t rec = 0;
    int64_t n = 0;
    while (sort.NextUnique(key, rec)) ++n;
    benchmark::DoNotOptimize(n);
}

void BM_SortNumbers(benchmark::State& state) {
    std::mt19937_64 rng(1);
    std::vector<double> values(kKeys);
    for (double& v : values) v = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    TnvVariant key;
    for (auto _ : state) {
        TnvSort sort(9, nullptr, true, false);
        for (int32_t i = 0; i < kKeys; ++i) {
            key.PutNumber(values[static_cast<std::size_t>(i)]);
            sort.AddKey(key, i + 1);
        }
        Drain(sort);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_SortNumbers)->Unit(benchmark::kMillisecond);

void BM_SortNames(benchmark::State& state) {
    std::mt19937 rng(2);
    std::vector<std::string> names(kKeys);
    for (std::string& s : names) {
        s.resize(20, ' ');
        const int n = std::uniform_int_distribution<int>(4, 16)(rng);
        for (int j = 0; j < n; ++j) s[static_cast<std::size_t>(j)] = static_cast<char>('A' + rng() % 26);
    }
    TnvVariant key;
    for (auto _ : state) {
        TnvSort sort(21, nullptr, true, false);
        for (int32_t i = 0; i < kKeys; ++i) {
            key.PutString(names[static_cast<std::size_t>(i)]);
            sort.AddKey(key, i + 1);
        }
        Drain(sort);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_SortNames)->Unit(benchmark::kMillisecond);

}  // namespace
