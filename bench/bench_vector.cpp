// Squared L2 throughput: the single-pair kernel against the batch kernel
// (one query, many stored vectors, each lane carrying one distance).
// Reported as ns_per_distance. Arguments: dimension, number of stored vectors
// (256 fit in the caches, 20,000 stream from memory) and the instruction set
// the kernels are held to (0 portable, 1 AVX2, 2 AVX-512; a level the
// processor lacks is skipped). Then short lists as a graph hop meets them,
// many queries per pass over transposed blocks,
// and the plain kernel against the one that stops at an admission bound, on
// cache-cold batches.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "vexal.h"
#include "vx_simd_internal.h"
#include "vx_vector_internal.h"

namespace {

struct Data {
    std::vector<float> query, rows;
    std::vector<const float *> list;
    std::vector<float> out;
    Data(uint32_t dim, uint64_t n) : query(dim), rows(n * dim), list(n), out(n) {
        std::mt19937 gen(1);
        std::uniform_real_distribution<float> d(0.0f, 255.0f);
        for (float &x : query) x = d(gen);
        for (float &x : rows) x = d(gen);
        for (uint64_t i = 0; i < n; ++i) list[i] = rows.data() + i * dim;
    }
};

void report(benchmark::State &state, uint64_t n) {
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)n);
    state.counters["ns_per_distance"] = benchmark::Counter(
        (double)state.iterations() * (double)n * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_L2SquaredSingle(benchmark::State &state) {
    uint32_t dim = (uint32_t)state.range(0);
    uint64_t n = (uint64_t)state.range(1);
    Data data(dim, n);
    for (auto _ : state) {
        for (uint64_t i = 0; i < n; ++i) data.out[i] = vx_vec_l2_squared(data.query.data(), data.list[i], dim);
        benchmark::DoNotOptimize(data.out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

// Holds the kernels to the instruction set named by a benchmark argument for
// the benchmark's lifetime; false when the processor lacks it.
struct Level {
    bool ok;
    Level(benchmark::State &state, int64_t level) : ok(level <= (int64_t)simd_detected()) {
        if (!ok)
            state.SkipWithError("instruction set not available");
        else
            simd_limit((simd_level)level);
    }
    ~Level() { simd_limit(SIMD_AVX512); }
};

void BM_L2SquaredBatch(benchmark::State &state) {
    uint32_t dim = (uint32_t)state.range(0);
    uint64_t n = (uint64_t)state.range(1);
    Level level(state, state.range(2));
    if (!level.ok) return;
    Data data(dim, n);
    for (auto _ : state) {
        batch_l2_squared(data.query.data(), data.list.data(), n, dim, data.out.data());
        benchmark::DoNotOptimize(data.out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

// Short lists, as one hop of a graph search sums a node's neighbours: 4,096
// lists of n vectors drawn from 4,096 stored vectors of 784 dimensions
// (12.8 MB, mostly out of the caches). Arguments: n, level, metric (0 squared
// L2, 1 inner product, 2 cosine).
void BM_ShortLists(benchmark::State &state) {
    const uint32_t dim = 784, pool = 4096, lists = 4096;
    uint64_t n = (uint64_t)state.range(0);
    Level level(state, state.range(1));
    if (!level.ok) return;
    int32_t metric = (int32_t)state.range(2);
    Data data(dim, pool);
    std::mt19937 gen(3);
    std::vector<const float *> drawn((uint64_t)lists * n);
    for (const float *&v : drawn) v = data.list[gen() % pool];
    std::vector<float> out(n);
    uint32_t b = 0;
    for (auto _ : state) {
        batch_distance(data.query.data(), drawn.data() + (uint64_t)b * n, n, dim, metric, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        b = (b + 1) % lists;
    }
    report(state, n);
}

void BM_L2SquaredBatchRows(benchmark::State &state) {
    uint32_t dim = (uint32_t)state.range(0);
    uint64_t n = (uint64_t)state.range(1);
    Data data(dim, n);
    for (auto _ : state) {
        batch_l2_squared_rows(data.query.data(), data.rows.data(), n, dim, data.out.data());
        benchmark::DoNotOptimize(data.out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

// Many queries per pass over transposed blocks of sixteen stored vectors:
// 64 queries against n stored vectors of 784 dimensions. Arguments: n,
// level, metric.
void BM_QueriesPerPass(benchmark::State &state) {
    const uint32_t dim = 784, nq = 64;
    uint64_t n = (uint64_t)state.range(0);
    Level level(state, state.range(1));
    if (!level.ok) return;
    int32_t metric = (int32_t)state.range(2);
    Data data(dim, n), queries(dim, nq);
    std::vector<float> out(nq * n);
    for (auto _ : state) {
        batch_distance_queries(queries.rows.data(), nq, data.list.data(), n, dim, metric, out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n * nq);
}

// Batches of 16 vectors drawn at random from a pool far larger than the
// caches, as a graph search meets a node's neighbours, with the admission
// bound at the 20 % quantile of each batch's distances (three in sixteen
// kept) or at the 5 % quantile (the nearest kept). Pool 0: 40,000 uniform
// random 784-d vectors; pool 1: the 60,000 Fashion-MNIST training images
// with the test images as queries (skipped when
// /usr/share/datasets/fashion-mnist is missing).
struct ColdBatches {
    static const uint32_t BATCH = 16, COUNT = 8192;
    uint32_t dim = 784;
    std::vector<float> pool, queries;
    std::vector<const float *> lists;  // COUNT batches of BATCH pointers
    std::vector<const float *> query_of;
    std::vector<float> bounds20, bounds5;
    bool ok = false;

    static bool read_images(const char *path, std::vector<float> *rows, uint32_t *dim) {
        std::string cmd = std::string("gzip -dc ") + path + " 2>/dev/null";
        FILE *f = popen(cmd.c_str(), "r");
        if (!f) return false;
        unsigned char head[16];
        bool good = std::fread(head, 1, 16, f) == 16;
        if (good) {
            auto be32 = [&](int at) {
                return (uint32_t(head[at]) << 24) | (uint32_t(head[at + 1]) << 16) | (uint32_t(head[at + 2]) << 8) |
                       uint32_t(head[at + 3]);
            };
            *dim = be32(8) * be32(12);
            std::vector<unsigned char> pixels((uint64_t)be32(4) * *dim);
            good = *dim > 0 && std::fread(pixels.data(), 1, pixels.size(), f) == pixels.size();
            rows->assign(pixels.begin(), pixels.end());
        }
        pclose(f);
        return good;
    }

    explicit ColdBatches(int kind) {
        std::mt19937 gen(5);
        if (kind == 0) {
            std::uniform_real_distribution<float> d(0.0f, 255.0f);
            pool.resize(40000ull * dim);
            queries.resize(64ull * dim);
            for (float &x : pool) x = d(gen);
            for (float &x : queries) x = d(gen);
        } else {
            const char *dir = "/usr/share/datasets/fashion-mnist/";
            uint32_t qdim = 0;
            if (!read_images((std::string(dir) + "train-images-idx3-ubyte.gz").c_str(), &pool, &dim) ||
                !read_images((std::string(dir) + "t10k-images-idx3-ubyte.gz").c_str(), &queries, &qdim) ||
                qdim != dim)
                return;
        }
        uint64_t n = pool.size() / dim, nq = queries.size() / dim;
        lists.resize((uint64_t)COUNT * BATCH);
        query_of.resize(COUNT);
        bounds20.resize(COUNT);
        bounds5.resize(COUNT);
        std::vector<float> d(BATCH);
        for (uint32_t b = 0; b < COUNT; ++b) {
            for (uint32_t k = 0; k < BATCH; ++k) lists[b * BATCH + k] = pool.data() + (gen() % n) * dim;
            query_of[b] = queries.data() + (gen() % nq) * dim;
            batch_l2_squared(query_of[b], lists.data() + b * BATCH, BATCH, dim, d.data());
            std::sort(d.begin(), d.end());
            bounds20[b] = d[BATCH / 5];
            bounds5[b] = d[BATCH / 20];
        }
        ok = true;
    }
};

void cold_batches(benchmark::State &state, bool bounded) {
    Level level(state, state.range(2));
    if (!level.ok) return;
    static ColdBatches *sets[2] = {nullptr, nullptr};
    int kind = (int)state.range(0);
    if (!sets[kind]) sets[kind] = new ColdBatches(kind);
    const ColdBatches &c = *sets[kind];
    if (!c.ok) {
        state.SkipWithError("Fashion-MNIST not found");
        return;
    }
    const std::vector<float> &bounds = state.range(1) == 5 ? c.bounds5 : c.bounds20;
    float out[ColdBatches::BATCH];
    uint32_t b = 0;
    for (auto _ : state) {
        const float *const *list = c.lists.data() + (uint64_t)b * ColdBatches::BATCH;
        if (bounded)
            batch_l2_squared_bounded(c.query_of[b], list, ColdBatches::BATCH, c.dim, bounds[b], out);
        else
            batch_l2_squared(c.query_of[b], list, ColdBatches::BATCH, c.dim, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        b = (b + 1) % ColdBatches::COUNT;
    }
    report(state, ColdBatches::BATCH);
}

void BM_L2SquaredColdBatch(benchmark::State &state) { cold_batches(state, false); }
void BM_L2SquaredColdBounded(benchmark::State &state) { cold_batches(state, true); }

void sizes(benchmark::internal::Benchmark *b) {
    for (int64_t dim : {128, 784, 1536}) b->Args({dim, 256});
    for (int64_t dim : {128, 784, 1536}) b->Args({dim, 20000});
}

void sizes_and_levels(benchmark::internal::Benchmark *b) {
    b->ArgNames({"dim", "n", "level"});
    for (int64_t n : {256, 20000})
        for (int64_t dim : {128, 784, 1536})
            for (int64_t level : {0, 1, 2}) b->Args({dim, n, level});
}

void short_lists(benchmark::internal::Benchmark *b) {
    b->ArgNames({"n", "level", "metric"});
    for (int64_t n : {5, 8, 12, 16, 20, 24, 32, 48})
        for (int64_t level : {1, 2}) b->Args({n, level, 0});
    for (int64_t metric : {1, 2})
        for (int64_t level : {0, 1, 2}) b->Args({16, level, metric});
}

void queries_per_pass(benchmark::internal::Benchmark *b) {
    b->ArgNames({"n", "level", "metric"});
    for (int64_t n : {1024, 20000})
        for (int64_t level : {0, 1, 2}) b->Args({n, level, 0});
    for (int64_t level : {1, 2}) b->Args({1024, level, 2});
}

void cold_sets(benchmark::internal::Benchmark *b, bool bounded) {
    b->ArgNames({"fmnist", "quantile", "level"});
    for (int64_t level : {0, 1, 2}) {
        b->Args({0, 20, level});
        b->Args({1, 20, level});
        if (bounded) b->Args({1, 5, level});
    }
}

}  // namespace

BENCHMARK(BM_L2SquaredSingle)->Apply(sizes);
BENCHMARK(BM_L2SquaredBatch)->Apply(sizes_and_levels);
BENCHMARK(BM_L2SquaredBatchRows)->Apply(sizes);
BENCHMARK(BM_ShortLists)->Apply(short_lists);
BENCHMARK(BM_QueriesPerPass)->Apply(queries_per_pass);
BENCHMARK(BM_L2SquaredColdBatch)->Apply([](benchmark::internal::Benchmark *b) { cold_sets(b, false); });
BENCHMARK(BM_L2SquaredColdBounded)->Apply([](benchmark::internal::Benchmark *b) { cold_sets(b, true); });

BENCHMARK_MAIN();
