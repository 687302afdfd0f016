// Collection throughput: exact (brute-force) search, search through a graph
// against the bare graph, the top-k selection against the plain partial
// selection sort it replaces, lookups by id (ids in ascending and in shuffled
// record order), deletion and insertion.
#include <benchmark/benchmark.h>

#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "vexal.h"
#include "vx_collection_internal.h"

namespace {

// n random vectors under the ids 1..n: in ascending record order as the
// collection hands them out, or shuffled as a loaded file may hold them.
vx_collection *random_collection(uint64_t n, uint32_t dim, int32_t index_type, bool shuffled = false) {
    vx_collection_config cfg = {};
    cfg.dimension = dim;
    cfg.index_type = index_type;
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = i + 1;
    if (shuffled) std::shuffle(ids.begin(), ids.end(), rng);
    std::vector<float> v(dim);
    for (uint64_t i = 0; i < n; i++) {
        for (float &x : v) x = u(rng);
        if (!shuffled) {
            vx_collection_insert(c, v.data(), nullptr);
            continue;
        }
        float *slot = collection_vector_slot(c);
        memcpy(slot, v.data(), dim * sizeof(float));
        collection_push_record(c, ids[i], slot, nullptr, 0);
    }
    if (shuffled) c->next_id = n + 1;
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
// the index (position lookups, ordering) against the bare index search, for
// records in ascending and in shuffled id order.
void BM_IndexSearch(benchmark::State &state) {
    bool bare = state.range(0) != 0;
    vx_collection *c = random_collection(20000, 128, VX_INDEX_HNSW, state.range(1) != 0);
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
BENCHMARK(BM_IndexSearch)->ArgNames({"bare_index", "shuffled"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

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
    vx_collection *c = random_collection(n, 16, VX_INDEX_FLAT, state.range(1) != 0);
    std::vector<float> out(16);
    std::mt19937_64 rng(3);
    for (auto _ : state) benchmark::DoNotOptimize(vx_collection_get(c, 1 + rng() % n, out.data()));
    vx_collection_destroy(c);
}
BENCHMARK(BM_GetById)->ArgNames({"n", "shuffled"})->ArgsProduct({{1000, 100000, 1000000}, {0, 1}});

// A deletion at a random place (the later records move down and the id
// table follows them) and an insertion that keeps the count.
void BM_DeleteAndInsert(benchmark::State &state) {
    uint64_t n = (uint64_t)state.range(0);
    vx_collection *c = random_collection(n, 16, VX_INDEX_FLAT, state.range(1) != 0);
    std::vector<float> v(16, 0.5f);
    std::mt19937_64 rng(5);
    for (auto _ : state) {
        uint64_t id = c->records[rng() % c->count].id;
        benchmark::DoNotOptimize(vx_collection_delete(c, id));
        benchmark::DoNotOptimize(vx_collection_insert(c, v.data(), nullptr));
    }
    vx_collection_destroy(c);
}
BENCHMARK(BM_DeleteAndInsert)->ArgNames({"n", "shuffled"})->ArgsProduct({{10000, 1000000}, {0, 1}});

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
