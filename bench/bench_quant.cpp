// Quantizer throughput: scalar-quantizer distances one at a time and eight at
// once, product-quantizer distances direct and through a distance table, and
// product-quantizer encoding. Figures are nanoseconds per code vector.
#include <benchmark/benchmark.h>

#include <vector>

#include "vexal.h"
#include "vx_quant_internal.h"

namespace {

struct Data {
    vx_arena *arena = nullptr;
    uint32_t dim;
    uint64_t n;
    std::vector<float> vectors, query;
    Data(uint32_t dim_, uint64_t n_) : dim(dim_), n(n_) {
        vx_arena_create(0, &arena);
        vx_srand(42);
        vectors.resize(n * dim);
        for (float &x : vectors) x = vx_rand_float() * 255.0f;
        query.resize(dim);
        for (float &x : query) x = vx_rand_float() * 255.0f;
    }
    ~Data() { vx_arena_destroy(arena); }
};

const uint64_t N = 4096;

struct SqSetup : Data {
    vx_sq_quantizer *q;
    std::vector<uint8_t> codes;
    std::vector<const uint8_t *> ptrs;
    explicit SqSetup(uint32_t dim) : Data(dim, N) {
        q = vx_sq_quantizer_create(arena, dim);
        vx_sq_quantizer_train(q, vectors.data(), n);
        codes.resize(n * dim);
        vx_sq_quantize_batch(q, vectors.data(), codes.data(), n);
        for (uint64_t i = 0; i < n; i++) ptrs.push_back(&codes[i * dim]);
    }
};

void BM_SqDistanceSingle(benchmark::State &state) {
    SqSetup s((uint32_t)state.range(0));
    std::vector<float> out(s.n);
    for (auto _ : state) {
        for (uint64_t i = 0; i < s.n; i++) out[i] = vx_sq_distance(s.q, s.ptrs[i], s.query.data(), 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/dist"] = benchmark::Counter(
        (double)s.n * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SqDistanceMany(benchmark::State &state) {
    SqSetup s((uint32_t)state.range(0));
    std::vector<float> out(s.n);
    for (auto _ : state) {
        sq_distance_many(s.q, s.ptrs.data(), s.n, s.query.data(), 0, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/dist"] = benchmark::Counter(
        (double)s.n * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

struct PqSetup : Data {
    vx_pq_quantizer *q = nullptr;
    std::vector<uint8_t> codes;
    PqSetup(uint32_t dim, uint32_t m) : Data(dim, N) {
        vx_pq_create(arena, dim, m, 8, &q);
        vx_pq_train(q, vectors.data(), n);
        codes.resize(n * m);
        vx_pq_encode_batch(q, vectors.data(), codes.data(), n);
    }
};

void BM_PqDistanceSingle(benchmark::State &state) {
    PqSetup s((uint32_t)state.range(0), (uint32_t)state.range(1));
    std::vector<float> out(s.n);
    for (auto _ : state) {
        for (uint64_t i = 0; i < s.n; i++)
            out[i] = vx_pq_distance(s.q, s.query.data(), &s.codes[i * s.q->m], 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/dist"] = benchmark::Counter(
        (double)s.n * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Batch of all codes: goes through the distance table (built once per call).
void BM_PqDistanceBatch(benchmark::State &state) {
    PqSetup s((uint32_t)state.range(0), (uint32_t)state.range(1));
    std::vector<float> out(s.n);
    for (auto _ : state) {
        vx_pq_distance_batch(s.q, s.query.data(), s.codes.data(), out.data(), s.n, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/dist"] = benchmark::Counter(
        (double)s.n * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PqEncode(benchmark::State &state) {
    PqSetup s((uint32_t)state.range(0), (uint32_t)state.range(1));
    std::vector<uint8_t> codes(s.q->m);
    uint64_t i = 0;
    for (auto _ : state) {
        vx_pq_encode(s.q, &s.vectors[(i++ % s.n) * s.dim], codes.data());
        benchmark::DoNotOptimize(codes.data());
    }
}

// Eight vectors share each pass over a codebook; time per vector.
void BM_PqEncodeBatch(benchmark::State &state) {
    PqSetup s((uint32_t)state.range(0), (uint32_t)state.range(1));
    const uint64_t batch = 256;
    std::vector<uint8_t> codes(batch * s.q->m);
    uint64_t i = 0;
    for (auto _ : state) {
        vx_pq_encode_batch(s.q, &s.vectors[(i++ % (s.n / batch)) * batch * s.dim], codes.data(), batch);
        benchmark::DoNotOptimize(codes.data());
    }
    state.counters["ns/vector"] = benchmark::Counter(
        (double)batch * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_SqDistanceSingle)->Arg(128)->Arg(784)->Arg(1536);
BENCHMARK(BM_SqDistanceMany)->Arg(128)->Arg(784)->Arg(1536);
BENCHMARK(BM_PqDistanceSingle)->Args({128, 16})->Args({784, 16})->Args({1536, 96});
BENCHMARK(BM_PqDistanceBatch)->Args({128, 16})->Args({784, 16})->Args({1536, 96});
BENCHMARK(BM_PqEncode)->Args({128, 16})->Args({784, 16})->Args({1536, 96});
BENCHMARK(BM_PqEncodeBatch)->Args({128, 16})->Args({784, 16})->Args({1536, 96});
BENCHMARK_MAIN();
