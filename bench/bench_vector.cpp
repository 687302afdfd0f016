// Squared L2 throughput: the single-pair kernel against the batch kernel
// (one query, many stored vectors, eight lanes each carrying one distance).
// Reported as ns_per_distance. Arguments: dimension, number of stored vectors
// (256 fit in the caches, 20,000 stream from memory).
#include <benchmark/benchmark.h>

#include <random>
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

void BM_L2SquaredBatch(benchmark::State &state) {
    uint32_t dim = (uint32_t)state.range(0);
    uint64_t n = (uint64_t)state.range(1);
    Data data(dim, n);
    for (auto _ : state) {
        batch_l2_squared(data.query.data(), data.list.data(), n, dim, data.out.data());
        benchmark::DoNotOptimize(data.out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

void BM_L2SquaredBatchPortable(benchmark::State &state) {
    uint32_t dim = (uint32_t)state.range(0);
    uint64_t n = (uint64_t)state.range(1);
    Data data(dim, n);
    simd_limit(SIMD_PORTABLE);
    for (auto _ : state) {
        batch_l2_squared(data.query.data(), data.list.data(), n, dim, data.out.data());
        benchmark::DoNotOptimize(data.out.data());
        benchmark::ClobberMemory();
    }
    simd_limit(SIMD_AVX512);
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

void sizes(benchmark::internal::Benchmark *b) {
    for (int64_t dim : {128, 784, 1536}) b->Args({dim, 256});
    for (int64_t dim : {128, 784, 1536}) b->Args({dim, 20000});
}

}  // namespace

BENCHMARK(BM_L2SquaredSingle)->Apply(sizes);
BENCHMARK(BM_L2SquaredBatch)->Apply(sizes);
BENCHMARK(BM_L2SquaredBatchPortable)->Apply(sizes);
BENCHMARK(BM_L2SquaredBatchRows)->Apply(sizes);

BENCHMARK_MAIN();
