// Sorting search results (16-byte id/distance records) and hashing throughput.
#include "vexal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct Hit {
    uint64_t id;
    float distance;
};

int32_t compare_hits(const void *a, const void *b) {
    float x = static_cast<const Hit *>(a)->distance, y = static_cast<const Hit *>(b)->distance;
    return x < y ? -1 : x > y ? 1 : 0;
}

std::vector<Hit> random_hits(size_t n) {
    std::mt19937 rng(1);
    std::vector<Hit> v(n);
    for (size_t i = 0; i < n; i++) v[i] = {i + 1, float(rng() % 100000) * 0.01f};
    return v;
}

void BM_QsortSimpleHits(benchmark::State &state) {
    auto input = random_hits(state.range(0));
    std::vector<Hit> work(input.size());
    for (auto _ : state) {
        work = input;
        vx_qsort_simple(work.data(), work.size(), sizeof(Hit), compare_hits);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QsortSimpleHits)->Arg(10)->Arg(100)->Arg(1000)->Arg(100000);

void BM_StdSortHits(benchmark::State &state) {
    auto input = random_hits(state.range(0));
    std::vector<Hit> work(input.size());
    for (auto _ : state) {
        work = input;
        std::sort(work.begin(), work.end(), [](const Hit &a, const Hit &b) { return a.distance < b.distance; });
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StdSortHits)->Arg(10)->Arg(100)->Arg(1000)->Arg(100000);

void BM_Murmur3_64(benchmark::State &state) {
    std::vector<uint8_t> data(state.range(0), 0x5a);
    for (auto _ : state) benchmark::DoNotOptimize(vx_hash_murmur3_64(data.data(), data.size(), 0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Murmur3_64)->Arg(8)->Arg(64)->Arg(4096);

void BM_Murmur3_32(benchmark::State &state) {
    std::vector<uint8_t> data(state.range(0), 0x5a);
    for (auto _ : state) benchmark::DoNotOptimize(vx_hash_murmur3_32(data.data(), data.size(), 0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Murmur3_32)->Arg(8)->Arg(64)->Arg(4096);

void BM_HashTableIntLookup(benchmark::State &state) {
    vx_arena *arena = nullptr;
    vx_arena_create(0, &arena);
    const uint64_t n = state.range(0);
    vx_hash_table *t = vx_hash_table_create_int(arena, n);
    for (uint64_t k = 0; k < n; k++) vx_hash_table_insert(t, &k, reinterpret_cast<void *>(k + 1));
    uint64_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vx_hash_table_find(t, &k));
        k = (k + 7919) % n;
    }
    vx_arena_destroy(arena);
}
BENCHMARK(BM_HashTableIntLookup)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
