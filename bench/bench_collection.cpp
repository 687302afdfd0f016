// Collection throughput: exact (brute-force) search, the top-k selection
// against the plain partial selection sort it replaces, lookups by id and
// insertion.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "vexal.h"
#include "vx_collection_internal.h"

namespace {

vx_collection *random_collection(uint64_t n, uint32_t dim, int32_t index_type) {
    vx_collection_config cfg = {};
    cfg.dimension = dim;
    cfg.index_type = index_type;
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> v(dim);
    for (uint64_t i = 0; i < n; i++) {
        for (float &x : v) x = u(rng);
        vx_collection_insert(c, v.data(), nullptr);
    }
    return c;
}

void BM_BruteForceSearch(benchmark::State &state) {
    uint64_t n = (uint64_t)state.range(0);
    uint32_t dim = (uint32_t)state.range(1);
    vx_collection *c = random_collection(n, dim, VX_INDEX_FLAT);
    std::vector<float> q(dim, 0.5f);
    vx_search_options opt = {10, nullptr, 0, 0, 0};
    vx_search_hit hits[10];
    for (auto _ : state) benchmark::DoNotOptimize(vx_collection_search(c, q.data(), &opt, hits));
    state.SetItemsProcessed(state.iterations());
    vx_collection_destroy(c);
}
BENCHMARK(BM_BruteForceSearch)->Args({10000, 128})->Args({60000, 128})->Args({60000, 784});

// Search through an active graph index: the collection's own work on top of
// the index (position lookups, exact distances, ordering) against the bare
// index search.
void BM_IndexSearch(benchmark::State &state) {
    bool bare = state.range(0) != 0;
    vx_collection *c = random_collection(20000, 128, VX_INDEX_HNSW);
    vx_collection_build_index(c);
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> q(128 * 64);
    for (float &x : q) x = u(rng);
    vx_search_options opt = {10, nullptr, 0, 0, 0};
    vx_search_hit hits[10];
    vx_search_result res[10];
    uint64_t i = 0;
    for (auto _ : state) {
        const float *query = &q[(i++ % 64) * 128];
        if (bare) benchmark::DoNotOptimize(vx_index_search(c->index, query, 10, res));
        else benchmark::DoNotOptimize(vx_collection_search(c, query, &opt, hits));
    }
    state.SetItemsProcessed(state.iterations());
    vx_collection_destroy(c);
}
BENCHMARK(BM_IndexSearch)->ArgName("bare_index")->Arg(0)->Arg(1);

std::vector<float> random_distances(uint64_t n) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<float> u(0, 100);
    std::vector<float> d(n);
    for (float &x : d) x = u(rng);
    return d;
}

void BM_SelectTopK(benchmark::State &state) {
    uint64_t n = (uint64_t)state.range(0), k = (uint64_t)state.range(1);
    std::vector<float> d = random_distances(n);
    std::vector<uint64_t> picks(k);
    for (auto _ : state) benchmark::DoNotOptimize(select_smallest(d.data(), n, k, picks.data()));
}
BENCHMARK(BM_SelectTopK)->Args({60000, 10})->Args({60000, 100})->Args({60000, 1000});

// The partial selection sort, for comparison.
void BM_SelectionSortTopK(benchmark::State &state) {
    uint64_t n = (uint64_t)state.range(0), k = (uint64_t)state.range(1);
    std::vector<float> d0 = random_distances(n);
    for (auto _ : state) {
        std::vector<float> d = d0;
        for (uint64_t i = 0; i < k; i++) {
            uint64_t best = i;
            for (uint64_t j = i + 1; j < n; j++)
                if (d[j] < d[best]) best = j;
            std::swap(d[i], d[best]);
        }
        benchmark::DoNotOptimize(d.data());
    }
}
BENCHMARK(BM_SelectionSortTopK)->Args({60000, 10})->Args({60000, 100})->Args({60000, 1000});

void BM_GetById(benchmark::State &state) {
    uint64_t n = (uint64_t)state.range(0);
    vx_collection *c = random_collection(n, 16, VX_INDEX_FLAT);
    std::vector<float> out(16);
    std::mt19937_64 rng(3);
    for (auto _ : state) benchmark::DoNotOptimize(vx_collection_get(c, 1 + rng() % n, out.data()));
    vx_collection_destroy(c);
}
BENCHMARK(BM_GetById)->Arg(1000)->Arg(100000)->Arg(1000000);

void BM_Insert(benchmark::State &state) {
    vx_collection *c = random_collection(0, 128, VX_INDEX_FLAT);
    std::vector<float> v(128, 0.25f);
    for (auto _ : state) vx_collection_insert(c, v.data(), nullptr);
    state.SetItemsProcessed(state.iterations());
    vx_collection_destroy(c);
}
BENCHMARK(BM_Insert);

}  // namespace

BENCHMARK_MAIN();
