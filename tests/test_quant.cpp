// Scalar and product quantizers, sizing and reports.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vx_quant_internal.h"
#include "vx_simd_internal.h"

namespace {

uint32_t bits_of(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

// Compares floats by their bits, so -0.0 differs from +0.0 and NaN equals NaN.
#define EXPECT_SAME_FLOAT(a, b) EXPECT_EQ(bits_of(a), bits_of(b))
#define ASSERT_SAME_FLOAT(a, b) ASSERT_EQ(bits_of(a), bits_of(b))

struct Arena {
    vx_arena *a = nullptr;
    Arena() { EXPECT_EQ(vx_arena_create(0, &a), VX_OK); }
    ~Arena() { vx_arena_destroy(a); }
};

// Deterministic test data that does not disturb the library's generator.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 2654435761u + 1) {}
    uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return (uint32_t)(s >> 33);
    }
    float uniform(float lo, float hi) { return lo + (hi - lo) * (float)(next() >> 8) / 16777216.0f; }
};

std::vector<float> random_vectors(Rng &rng, uint64_t n, uint32_t dim, float lo = -3.0f,
                                  float hi = 5.0f) {
    std::vector<float> v(n * dim);
    for (float &x : v) x = rng.uniform(lo, hi);
    return v;
}

/* ---- plain re-statements used as oracles -------------------------------- */

float ref_clamp(float x, float lo, float hi) {
    if (lo > x) return lo;
    return hi < x ? hi : x;
}

uint8_t ref_sq_code(const vx_sq_quantizer *q, float v, uint32_t d) {
    float t = (v - q->min[d]) * q->scale[d];
    float c = ref_clamp(t, 0.0f, 255.0f);
    if (std::isnan(c)) return 0;
    return (uint8_t)(int)(c + 0.5f);
}

float ref_sq_distance(const vx_sq_quantizer *q, const uint8_t *codes, const float *x,
                      int metric) {
    std::vector<float> dec(q->dim);
    for (uint32_t d = 0; d < q->dim; d++) dec[d] = (float)codes[d] / q->scale[d] + q->min[d];
    if (metric == 0) {
        float s = 0.0f;
        for (uint32_t d = 0; d < q->dim; d++) {
            float t = x[d] - dec[d];
            s += t * t;
        }
        return vx_math_sqrt_f32(s);
    }
    if (metric == 1) {
        float s = 0.0f;
        for (uint32_t d = 0; d < q->dim; d++) s += dec[d] * x[d];
        return -s;
    }
    if (metric == 2) {
        float qq = 0.0f, dot = 0.0f, dd = 0.0f;
        for (uint32_t d = 0; d < q->dim; d++) qq += x[d] * x[d];
        for (uint32_t d = 0; d < q->dim; d++) dot += x[d] * dec[d];
        for (uint32_t d = 0; d < q->dim; d++) dd += dec[d] * dec[d];
        if (qq == 0.0f || dd == 0.0f) return 1.0f;
        return 1.0f - dot / (vx_math_sqrt_f32(dd) * vx_math_sqrt_f32(qq));
    }
    return 3.4028235e38f;
}

float ref_pq_distance(const vx_pq_quantizer *q, const float *x, const uint8_t *codes,
                      int metric) {
    std::vector<float> c(q->dim);  // the selected centroids laid end to end
    for (uint32_t s = 0; s < q->m; s++)
        memcpy(&c[s * q->dsub], q->codebooks[s] + codes[s] * q->dsub, q->dsub * 4);
    if (metric == 1 || metric == 2) {
        float dot = 0.0f, qq = 0.0f, cc = 0.0f;
        for (uint32_t i = 0; i < q->dim; i++) dot += c[i] * x[i];
        for (uint32_t i = 0; i < q->dim; i++) qq += x[i] * x[i];
        for (uint32_t i = 0; i < q->dim; i++) cc += c[i] * c[i];
        if (metric == 1) return -dot;
        if (qq == 0.0f || cc == 0.0f) return 1.0f;
        return 1.0f - dot / (vx_math_sqrt_f32(cc) * vx_math_sqrt_f32(qq));
    }
    float total = 0.0f;
    for (uint32_t s = 0; s < q->m; s++) {
        float p = 0.0f;
        for (uint32_t t = 0; t < q->dsub; t++) {
            float diff = x[s * q->dsub + t] - c[s * q->dsub + t];
            p += diff * diff;
        }
        total += p;
    }
    return metric == 0 ? vx_math_sqrt_f32(total) : total;
}

std::vector<uint8_t> ref_pq_encode(const vx_pq_quantizer *q, const float *v) {
    std::vector<uint8_t> codes(q->m);
    for (uint32_t s = 0; s < q->m; s++) {
        float best = 3.4028235e38f;
        uint32_t bestj = 0;
        for (uint32_t j = 0; j < q->ksub; j++) {
            float d = 0.0f;
            for (uint32_t t = 0; t < q->dsub; t++) {
                float diff = v[s * q->dsub + t] - q->codebooks[s][j * q->dsub + t];
                d += diff * diff;
            }
            if (d < best) {
                best = d;
                bestj = j;
            }
        }
        codes[s] = (uint8_t)bestj;
    }
    return codes;
}

vx_sq_quantizer *trained_sq(vx_arena *arena, const std::vector<float> &data, uint32_t dim) {
    vx_sq_quantizer *q = vx_sq_quantizer_create(arena, dim);
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(vx_sq_quantizer_train(q, data.data(), data.size() / dim), VX_OK);
    return q;
}

vx_sq_quantizer *sq_1d(vx_arena *arena, float lo, float hi) {
    std::vector<float> data = {lo, hi};
    return trained_sq(arena, data, 1);
}

}  // namespace

/* ---- scalar quantizer ----------------------------------------------------- */

TEST(ScalarQuantizer, CreateRejectsBadArgumentsAndSetsFields) {
    Arena ar;
    EXPECT_EQ(vx_sq_quantizer_create(nullptr, 4), nullptr);
    EXPECT_EQ(vx_sq_quantizer_create(ar.a, 0), nullptr);
    vx_sq_quantizer *q = vx_sq_quantizer_create(ar.a, 5);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->dim, 5u);
    EXPECT_EQ(q->arena, ar.a);
    EXPECT_NE(q->min, nullptr);
    EXPECT_NE(q->max, nullptr);
    EXPECT_NE(q->scale, nullptr);
    vx_sq_quantizer_destroy(q);  // the arena releases it
    vx_sq_quantizer_destroy(nullptr);
}

TEST(ScalarQuantizer, NullArgumentsAreRefused) {
    Arena ar;
    vx_sq_quantizer *q = sq_1d(ar.a, 0.0f, 1.0f);
    float v = 0.5f, out = 0.0f;
    uint8_t code = 7;
    EXPECT_EQ(vx_sq_quantizer_train(nullptr, &v, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantizer_train(q, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantizer_train(q, &v, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(q->min[0], 0.0f);  // a refused training changes nothing
    EXPECT_EQ(vx_sq_quantize(nullptr, &v, &code), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantize(q, nullptr, &code), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantize(q, &v, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(vx_sq_dequantize(nullptr, &code, &out), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_dequantize(q, nullptr, &out), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_dequantize(q, &code, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantize_batch(q, &v, &code, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_quantize_batch(q, nullptr, &code, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_dequantize_batch(q, &code, &out, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_sq_dequantize_batch(q, &code, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_SAME_FLOAT(vx_sq_distance(nullptr, &code, &v, 0), 3.4028235e38f);
    EXPECT_SAME_FLOAT(vx_sq_distance(q, nullptr, &v, 0), 3.4028235e38f);
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, nullptr, 0), 3.4028235e38f);
}

TEST(ScalarQuantizer, SingleTrainingVectorEncodesAsZerosAndDecodesExactly) {
    Arena ar;
    std::vector<float> v = {-2.5f, 0.0f, 3.25f, 1e9f};
    vx_sq_quantizer *q = trained_sq(ar.a, v, 4);
    for (uint32_t d = 0; d < 4; d++) {
        EXPECT_EQ(q->min[d], v[d]);
        EXPECT_EQ(q->max[d], v[d]);
        EXPECT_EQ(q->scale[d], 1.0f);
    }
    uint8_t codes[4];
    float back[4];
    ASSERT_EQ(vx_sq_quantize(q, v.data(), codes), VX_OK);
    ASSERT_EQ(vx_sq_dequantize(q, codes, back), VX_OK);
    for (uint32_t d = 0; d < 4; d++) {
        EXPECT_EQ(codes[d], 0);
        EXPECT_SAME_FLOAT(back[d], v[d]);
    }
}

TEST(ScalarQuantizer, RoundsHalfUpAndClampsToTheTrainedRange) {
    Arena ar;
    vx_sq_quantizer *q = sq_1d(ar.a, 0.0f, 255.0f);
    EXPECT_EQ(q->scale[0], 1.0f);
    const struct {
        float v;
        uint8_t code;
    } cases[] = {{100.4f, 100}, {100.5f, 101}, {-3.0f, 0}, {300.0f, 255}, {0.0f, 0},
                 {255.0f, 255}, {254.5f, 255}, {0.49f, 0}, {NAN, 0}, {INFINITY, 255},
                 {-INFINITY, 0}};
    for (const auto &c : cases) {
        uint8_t code = 99;
        ASSERT_EQ(vx_sq_quantize(q, &c.v, &code), VX_OK);
        EXPECT_EQ(code, c.code) << c.v;
    }
}

TEST(ScalarQuantizer, UnitRangeUsesScale255) {
    Arena ar;
    vx_sq_quantizer *q = sq_1d(ar.a, 0.0f, 1.0f);
    EXPECT_EQ(q->scale[0], 255.0f);
    uint8_t codes[2] = {255, 0};
    float out[2];
    ASSERT_EQ(vx_sq_dequantize_batch(q, codes, out, 2), VX_OK);
    EXPECT_SAME_FLOAT(out[0], 1.0f);
    EXPECT_SAME_FLOAT(out[1], 0.0f);
}

TEST(ScalarQuantizer, FlatDimensionsKeepScaleOne) {
    Arena ar;
    // Ranges 1e-7 and exactly the threshold are flat; just above it is not.
    std::vector<float> data = {0.0f, 5.0f, 0.0f, 1e-7f, 5.0f + 1e-6f, 2e-6f};
    vx_sq_quantizer *q = trained_sq(ar.a, data, 3);
    EXPECT_EQ(q->scale[0], 1.0f);
    EXPECT_EQ(q->scale[2], 255.0f / 2e-6f);
    const float r1 = (5.0f + 1e-6f) - 5.0f;  // float rounding decides
    EXPECT_EQ(q->scale[1], r1 > 1e-6f ? 255.0f / r1 : 1.0f);
    // Whole-unit offsets from the minimum in a flat dimension.
    float v[3] = {3.2f, 5.0f, 0.0f};
    uint8_t codes[3];
    ASSERT_EQ(vx_sq_quantize(q, v, codes), VX_OK);
    EXPECT_EQ(codes[0], 3);
}

TEST(ScalarQuantizer, TrainingTracksBoundsIgnoresNaNAndRetrainingReplaces) {
    Arena ar;
    std::vector<float> data = {1.0f, -1.0f, NAN, 7.0f, 4.0f, NAN, -2.0f, 0.5f};
    vx_sq_quantizer *q = trained_sq(ar.a, data, 2);
    EXPECT_EQ(q->min[0], -2.0f);
    EXPECT_EQ(q->max[0], 4.0f);
    EXPECT_EQ(q->min[1], -1.0f);
    EXPECT_EQ(q->max[1], 7.0f);
    EXPECT_EQ(q->scale[0], 255.0f / 6.0f);
    std::vector<float> other = {10.0f, 10.0f, 20.0f, 11.0f};
    ASSERT_EQ(vx_sq_quantizer_train(q, other.data(), 2), VX_OK);
    EXPECT_EQ(q->min[0], 10.0f);
    EXPECT_EQ(q->max[0], 20.0f);
    EXPECT_EQ(q->min[1], 10.0f);
    EXPECT_EQ(q->max[1], 11.0f);
    EXPECT_EQ(q->scale[1], 255.0f);
}

TEST(ScalarQuantizer, EncodingMatchesReferenceAndRoundTripsWithinHalfAStep) {
    Arena ar;
    Rng rng(1);
    const uint32_t dim = 37;
    std::vector<float> train = random_vectors(rng, 200, dim);
    vx_sq_quantizer *q = trained_sq(ar.a, train, dim);
    std::vector<float> data = random_vectors(rng, 50, dim, -4.0f, 6.0f);
    std::vector<uint8_t> codes(50 * dim);
    std::vector<float> back(50 * dim);
    ASSERT_EQ(vx_sq_quantize_batch(q, data.data(), codes.data(), 50), VX_OK);
    ASSERT_EQ(vx_sq_dequantize_batch(q, codes.data(), back.data(), 50), VX_OK);
    for (uint64_t k = 0; k < 50; k++) {
        uint8_t one[dim];
        float one_back[dim];
        ASSERT_EQ(vx_sq_quantize(q, &data[k * dim], one), VX_OK);
        ASSERT_EQ(vx_sq_dequantize(q, one, one_back), VX_OK);
        for (uint32_t d = 0; d < dim; d++) {
            const uint64_t i = k * dim + d;
            ASSERT_EQ(codes[i], ref_sq_code(q, data[i], d));
            ASSERT_EQ(one[d], codes[i]);
            ASSERT_SAME_FLOAT(one_back[d], back[i]);
            ASSERT_SAME_FLOAT(back[i], (float)codes[i] / q->scale[d] + q->min[d]);
            const float x = ref_clamp(data[i], q->min[d], q->max[d]);
            EXPECT_LE(std::fabs(back[i] - x), 0.5f / q->scale[d] * 1.001f + 1e-6f);
        }
    }
}

TEST(ScalarQuantizer, DistancesMatchReferenceBitForBit) {
    Arena ar;
    Rng rng(2);
    for (uint32_t dim : {1u, 2u, 3u, 8u, 17u, 64u, 129u, 768u}) {
        std::vector<float> train = random_vectors(rng, 20, dim);
        vx_sq_quantizer *q = trained_sq(ar.a, train, dim);
        std::vector<float> data = random_vectors(rng, 10, dim);
        std::vector<uint8_t> codes(10 * dim);
        ASSERT_EQ(vx_sq_quantize_batch(q, data.data(), codes.data(), 10), VX_OK);
        std::vector<float> query = random_vectors(rng, 1, dim);
        for (int k = 0; k < 10; k++) {
            for (int metric : {0, 1, 2, 3, -1, 5}) {
                const uint8_t *c = &codes[k * dim];
                ASSERT_SAME_FLOAT(vx_sq_distance(q, c, query.data(), metric),
                                  ref_sq_distance(q, c, query.data(), metric))
                    << "dim " << dim << " metric " << metric;
            }
        }
    }
}

TEST(ScalarQuantizer, DistanceSpecialValues) {
    Arena ar;
    vx_sq_quantizer *q = sq_1d(ar.a, 0.0f, 255.0f);
    uint8_t code = 3;
    float zero = 0.0f, four = 4.0f, neg = -1.0f;
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, &zero, 2), 1.0f);  // zero query
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, &zero, 5), 3.4028235e38f);
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, &four, 0), 1.0f);  // a root, not a square
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, &four, 1), -12.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &code, &neg, 2), 2.0f);
    uint8_t zcode = 0;  // decodes to the zero vector
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &zcode, &four, 2), 1.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(q, &zcode, &zero, 1), -0.0f);
    float nan = NAN;  // a NaN norm is not zero
    EXPECT_TRUE(std::isnan(vx_sq_distance(q, &code, &nan, 2)));
}

TEST(ScalarQuantizer, EmptyDimensionGivesTheDocumentedValues) {
    // A quantizer can come with dimension 0 only from a hand-made record.
    vx_sq_quantizer q = {};
    float x = 1.0f, out = 5.0f;
    uint8_t c = 1;
    EXPECT_EQ(vx_sq_quantizer_train(&q, &x, 1), VX_OK);
    EXPECT_EQ(vx_sq_dequantize_batch(&q, &c, &out, 1), VX_OK);
    EXPECT_EQ(out, 5.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(&q, &c, &x, 0), 0.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(&q, &c, &x, 1), -0.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(&q, &c, &x, 2), 1.0f);
    EXPECT_SAME_FLOAT(vx_sq_distance(&q, &c, &x, 4), 3.4028235e38f);
}

/* ---- product quantizer ---------------------------------------------------- */

TEST(ProductQuantizer, CreateValidatesArgumentsAndZeroesCodebooks) {
    Arena ar;
    vx_pq_quantizer *q = (vx_pq_quantizer *)&ar;  // must stay untouched on failure
    vx_pq_quantizer *const sentinel = q;
    EXPECT_EQ(vx_pq_create(ar.a, 10, 3, 2, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(nullptr, 8, 2, 2, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(ar.a, 0, 2, 2, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(ar.a, 8, 0, 2, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(ar.a, 8, 2, 2, nullptr), VX_ERR_INVALID_ARG);
    // A code is one byte: more than 8 bits (or a negative count) is refused.
    EXPECT_EQ(vx_pq_create(ar.a, 8, 2, 9, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(ar.a, 8, 2, 40, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_create(ar.a, 8, 2, -1, &q), VX_ERR_INVALID_ARG);
    EXPECT_EQ(q, sentinel);

    ASSERT_EQ(vx_pq_create(ar.a, 8, 2, 2, &q), VX_OK);
    EXPECT_EQ(q->dim, 8u);
    EXPECT_EQ(q->m, 2u);
    EXPECT_EQ(q->nbits, 2);
    EXPECT_EQ(q->ksub, 4u);
    EXPECT_EQ(q->dsub, 4u);
    EXPECT_EQ(q->arena, ar.a);
    for (uint32_t s = 0; s < 2; s++)
        for (uint32_t i = 0; i < 16; i++) EXPECT_SAME_FLOAT(q->codebooks[s][i], 0.0f);

    vx_pq_quantizer *wide = nullptr, *one = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 6, 6, 8, &wide), VX_OK);
    EXPECT_EQ(wide->ksub, 256u);
    EXPECT_EQ(wide->dsub, 1u);
    ASSERT_EQ(vx_pq_create(ar.a, 4, 1, 0, &one), VX_OK);
    EXPECT_EQ(one->ksub, 1u);
    vx_pq_destroy(q);
    vx_pq_destroy(nullptr);
}

TEST(ProductQuantizer, UntrainedCodebooksEncodeToZero) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 6, 3, 3, &q), VX_OK);
    float v[6] = {1, -2, 3, 4, 5, 6};
    uint8_t codes[3] = {9, 9, 9};
    vx_pq_encode(q, v, codes);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0);
    EXPECT_EQ(codes[2], 0);
}

TEST(ProductQuantizer, TrainingOnOneVectorCopiesItEverywhere) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 6, 3, 2, &q), VX_OK);
    float v[6] = {1.5f, -2, 3, 0.25f, 5, -6};
    ASSERT_EQ(vx_pq_train(q, v, 1), VX_OK);
    for (uint32_t s = 0; s < 3; s++)
        for (uint32_t j = 0; j < q->ksub; j++)
            for (uint32_t t = 0; t < 2; t++)
                EXPECT_EQ(q->codebooks[s][j * 2 + t], v[s * 2 + t]);
    uint8_t codes[3] = {7, 7, 7};
    vx_pq_encode(q, v, codes);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0);
    EXPECT_EQ(codes[2], 0);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, v, codes, 0), 0.0f);
}

TEST(ProductQuantizer, TrainingDrawsCentroidsFromTheSharedGenerator) {
    Arena ar;
    Rng rng(3);
    const uint32_t dim = 12, m = 3, n = 40;
    std::vector<float> data = random_vectors(rng, n, dim);
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, dim, m, 3, &q), VX_OK);
    vx_srand(777);
    ASSERT_EQ(vx_pq_train(q, data.data(), n), VX_OK);
    // m * ksub draws, sub-space by sub-space, each picking row r mod n.
    vx_srand(777);
    for (uint32_t s = 0; s < m; s++)
        for (uint32_t c = 0; c < q->ksub; c++) {
            uint64_t idx = vx_rand() % n;
            for (uint32_t t = 0; t < q->dsub; t++)
                ASSERT_EQ(q->codebooks[s][c * q->dsub + t], data[idx * dim + s * q->dsub + t]);
        }
    const uint64_t after = vx_rand();
    // Same seed, same codebooks; the generator advanced by exactly m * ksub.
    vx_pq_quantizer *again = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, dim, m, 3, &again), VX_OK);
    vx_srand(777);
    ASSERT_EQ(vx_pq_train(again, data.data(), n), VX_OK);
    EXPECT_EQ(vx_rand(), after);
    for (uint32_t s = 0; s < m; s++)
        EXPECT_EQ(memcmp(q->codebooks[s], again->codebooks[s], q->ksub * q->dsub * 4), 0);
}

TEST(ProductQuantizer, TrainingRefusesBadArgumentsAndUnallocatableScratch) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 4, 2, 1, &q), VX_OK);
    float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(vx_pq_train(nullptr, v, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_train(q, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_pq_train(q, v, 0), VX_ERR_INVALID_ARG);
    // A scratch size that overflows 64 bits is refused before reading data.
    EXPECT_EQ(vx_pq_train(q, v, UINT64_MAX / 4), VX_ERR_NO_MEMORY);
    for (uint32_t i = 0; i < 4; i++) EXPECT_SAME_FLOAT(q->codebooks[0][i], 0.0f);
}

TEST(ProductQuantizer, TwoCentroidExample) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 2, 1, 1, &q), VX_OK);
    const float book[4] = {0, 0, 3, 4};
    memcpy(q->codebooks[0], book, sizeof book);
    const float origin[2] = {0, 0};
    const uint8_t one = 1;
    EXPECT_SAME_FLOAT(vx_pq_distance(q, origin, &one, 0), 5.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, origin, &one, 9), 25.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, origin, &one, 1), -0.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, origin, &one, 2), 1.0f);
    const float p[2] = {3, 4};
    EXPECT_SAME_FLOAT(vx_pq_distance(q, p, &one, 1), -25.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, p, &one, 0), 0.0f);

    const struct {
        float x, y;
        uint8_t code;
    } cases[] = {{2, 2, 1}, {1, 1, 0}, {1.5f, 2, 0} /* halfway: lower index */, {NAN, 0, 0},
                 {1e30f, 1e30f, 0} /* both distances overflow */, {4, 5, 1}};
    for (const auto &c : cases) {
        const float v[2] = {c.x, c.y};
        uint8_t code = 77;
        vx_pq_encode(q, v, &code);
        EXPECT_EQ(code, c.code) << c.x << "," << c.y;
    }
}

TEST(ProductQuantizer, EncodingAndDistancesMatchReferenceBitForBit) {
    Arena ar;
    Rng rng(4);
    const struct {
        uint32_t dim, m;
        int32_t nbits;
    } shapes[] = {{8, 2, 2}, {12, 4, 4}, {16, 16, 8}, {64, 8, 8}, {30, 5, 5}, {128, 16, 8}};
    for (const auto &sh : shapes) {
        vx_pq_quantizer *q = nullptr;
        ASSERT_EQ(vx_pq_create(ar.a, sh.dim, sh.m, sh.nbits, &q), VX_OK);
        std::vector<float> train = random_vectors(rng, 300, sh.dim);
        vx_srand(sh.dim);
        ASSERT_EQ(vx_pq_train(q, train.data(), 300), VX_OK);
        const uint64_t n = 20;
        std::vector<float> data = random_vectors(rng, n, sh.dim);
        std::vector<uint8_t> codes(n * sh.m);
        vx_pq_encode_batch(q, data.data(), codes.data(), n);
        std::vector<float> query = random_vectors(rng, 1, sh.dim);
        for (uint64_t i = 0; i < n; i++) {
            std::vector<uint8_t> ref = ref_pq_encode(q, &data[i * sh.dim]);
            ASSERT_EQ(memcmp(ref.data(), &codes[i * sh.m], sh.m), 0) << "dim " << sh.dim;
            uint8_t single[16];
            vx_pq_encode(q, &data[i * sh.dim], single);
            ASSERT_EQ(memcmp(single, &codes[i * sh.m], sh.m), 0);
        }
        for (int metric : {0, 1, 2, 3, 9, -4}) {
            std::vector<float> out(n, -7.0f);
            vx_pq_distance_batch(q, query.data(), codes.data(), out.data(), n, metric);
            for (uint64_t i = 0; i < n; i++) {
                const float want = ref_pq_distance(q, query.data(), &codes[i * sh.m], metric);
                ASSERT_SAME_FLOAT(vx_pq_distance(q, query.data(), &codes[i * sh.m], metric),
                                  want)
                    << "dim " << sh.dim << " metric " << metric;
                ASSERT_SAME_FLOAT(out[i], want);
            }
        }
    }
}

TEST(ProductQuantizer, NullInputsAreHarmless) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 2, 1, 1, &q), VX_OK);
    float v[2] = {1, 2}, out[2] = {-1.0f, -1.0f};
    uint8_t codes[2] = {5, 5};
    vx_pq_encode(nullptr, v, codes);
    vx_pq_encode(q, nullptr, codes);
    vx_pq_encode(q, v, nullptr);
    vx_pq_encode_batch(q, v, codes, 0);
    vx_pq_encode_batch(nullptr, v, codes, 1);
    EXPECT_EQ(codes[0], 5);
    EXPECT_SAME_FLOAT(vx_pq_distance(nullptr, v, codes, 0), 3.4028235e38f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, nullptr, codes, 0), 3.4028235e38f);
    EXPECT_SAME_FLOAT(vx_pq_distance(q, v, nullptr, 0), 3.4028235e38f);
    vx_pq_distance_batch(q, v, codes, nullptr, 2, 0);
    vx_pq_distance_batch(q, nullptr, codes, out, 2, 0);
    vx_pq_distance_batch(nullptr, v, codes, out, 2, 0);
    vx_pq_distance_batch(q, v, nullptr, out, 2, 0);
    EXPECT_EQ(out[0], -1.0f);
    // A record without sub-spaces (only hand-made) gives fixed values.
    vx_pq_quantizer empty = {};
    EXPECT_SAME_FLOAT(vx_pq_distance(&empty, v, codes, 0), 0.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(&empty, v, codes, 1), -0.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(&empty, v, codes, 2), 1.0f);
    EXPECT_SAME_FLOAT(vx_pq_distance(&empty, v, codes, 8), 0.0f);
}

TEST(Quantizers, ConcurrentReadersAgreeWithASingleThread) {
    Arena ar;
    Rng rng(5);
    const uint32_t dim = 32, n = 200;
    std::vector<float> data = random_vectors(rng, n, dim);
    vx_sq_quantizer *sq = trained_sq(ar.a, data, dim);
    vx_pq_quantizer *pq = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, dim, 8, 6, &pq), VX_OK);
    ASSERT_EQ(vx_pq_train(pq, data.data(), n), VX_OK);
    std::vector<float> query = random_vectors(rng, 1, dim);

    auto work = [&](std::vector<float> *dist, std::vector<uint8_t> *codes) {
        std::vector<uint8_t> sc(dim), pc(8);
        for (uint32_t i = 0; i < n; i++) {
            vx_sq_quantize(sq, &data[i * dim], sc.data());
            vx_pq_encode(pq, &data[i * dim], pc.data());
            codes->insert(codes->end(), pc.begin(), pc.end());
            for (int metric = 0; metric < 3; metric++) {
                dist->push_back(vx_sq_distance(sq, sc.data(), query.data(), metric));
                dist->push_back(vx_pq_distance(pq, query.data(), pc.data(), metric));
            }
        }
    };
    std::vector<float> want;
    std::vector<uint8_t> want_codes;
    work(&want, &want_codes);
    std::vector<std::vector<float>> got(4);
    std::vector<std::vector<uint8_t>> got_codes(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) threads.emplace_back(work, &got[t], &got_codes[t]);
    for (auto &t : threads) t.join();
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(got_codes[t], want_codes);
        ASSERT_EQ(got[t].size(), want.size());
        EXPECT_EQ(memcmp(got[t].data(), want.data(), want.size() * 4), 0);
    }
}

/* ---- many-at-once kernels ------------------------------------------------- */

// Runs every kernel test on the vector path and again on the portable path.
class QuantKernels : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { simd_limit(GetParam() ? SIMD_AVX512 : SIMD_PORTABLE); }
    void TearDown() override { simd_limit(SIMD_AVX512); }
};
INSTANTIATE_TEST_SUITE_P(Paths, QuantKernels, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "Vector" : "Portable";
                         });

TEST_P(QuantKernels, ScalarManyMatchesSingleForEveryShape) {
    Arena ar;
    Rng rng(6);
    std::vector<uint32_t> dims;
    for (uint32_t d = 1; d <= 64; d++) dims.push_back(d);
    for (uint32_t d : {100u, 127u, 384u, 785u, 1536u, 2000u}) dims.push_back(d);
    for (uint32_t dim : dims) {
        std::vector<float> train = random_vectors(rng, 8, dim);
        vx_sq_quantizer *q = trained_sq(ar.a, train, dim);
        const uint64_t n = 1 + rng.next() % 19;
        // Odd-sized rows, so code vectors start at every alignment.
        std::vector<uint8_t> store(n * (dim + 3));
        std::vector<const uint8_t *> ptrs(n);
        for (uint64_t i = 0; i < n; i++) {
            std::vector<float> v = random_vectors(rng, 1, dim, -4.0f, 6.0f);
            uint8_t *c = &store[i * (dim + 3) + i % 3];
            ASSERT_EQ(vx_sq_quantize(q, v.data(), c), VX_OK);
            ptrs[n - 1 - i] = c;
        }
        std::vector<float> query = random_vectors(rng, 1, dim);
        if (dim % 7 == 0) query.assign(dim, 0.0f);  // cosine's zero-norm case
        for (int metric : {0, 1, 2, 6}) {
            std::vector<float> out(n + 1, -9.0f);
            sq_distance_many(q, ptrs.data(), n, query.data(), metric, out.data());
            for (uint64_t i = 0; i < n; i++)
                ASSERT_SAME_FLOAT(out[i], vx_sq_distance(q, ptrs[i], query.data(), metric))
                    << "dim " << dim << " n " << n << " i " << i << " metric " << metric;
            ASSERT_EQ(out[n], -9.0f);  // nothing past n
        }
    }
    float x = 1.0f, out = -9.0f;
    sq_distance_many(nullptr, nullptr, 1, &x, 0, &out);
    EXPECT_EQ(out, -9.0f);
}

TEST_P(QuantKernels, SubspaceDistancesMatchOneSumPerCentroid) {
    Rng rng(7);
    for (uint32_t ksub : {1u, 2u, 7u, 8u, 9u, 16u, 33u, 256u}) {
        for (uint32_t dsub : {1u, 2u, 3u, 8u, 13u, 96u}) {
            std::vector<float> book = random_vectors(rng, ksub, dsub);
            std::vector<float> sub = random_vectors(rng, 1, dsub);
            std::vector<float> out(ksub + 1, -1.0f);
            pq_subspace_l2(sub.data(), book.data(), ksub, dsub, out.data());
            for (uint32_t j = 0; j < ksub; j++) {
                float acc = 0.0f;
                for (uint32_t t = 0; t < dsub; t++) {
                    float diff = sub[t] - book[j * dsub + t];
                    acc += diff * diff;
                }
                ASSERT_SAME_FLOAT(out[j], acc) << ksub << "x" << dsub << " j " << j;
            }
            ASSERT_EQ(out[ksub], -1.0f);
        }
    }
}

TEST_P(QuantKernels, ProductManyAndTableMatchSingle) {
    Arena ar;
    Rng rng(8);
    const struct {
        uint32_t dim, m;
        int32_t nbits;
    } shapes[] = {{8, 2, 1}, {12, 3, 4}, {64, 8, 8}, {784, 16, 8}, {96, 96, 3}, {10, 5, 0}};
    for (const auto &sh : shapes) {
        vx_pq_quantizer *q = nullptr;
        ASSERT_EQ(vx_pq_create(ar.a, sh.dim, sh.m, sh.nbits, &q), VX_OK);
        std::vector<float> train = random_vectors(rng, 50, sh.dim);
        ASSERT_EQ(vx_pq_train(q, train.data(), 50), VX_OK);
        std::vector<float> query = random_vectors(rng, 1, sh.dim);
        std::vector<float> table(sh.m * q->ksub);
        pq_l2_table(q, query.data(), table.data());
        // Sizes below and above the point where the table takes over.
        for (uint64_t n : {1ull, 5ull, 8ull, 13ull, 70ull, 300ull}) {
            std::vector<float> data = random_vectors(rng, n, sh.dim);
            std::vector<uint8_t> codes(n * sh.m);
            vx_pq_encode_batch(q, data.data(), codes.data(), n);
            std::vector<const uint8_t *> ptrs(n);
            for (uint64_t i = 0; i < n; i++) ptrs[i] = &codes[i * sh.m];
            for (int metric : {0, 1, 2, 5}) {
                std::vector<float> many(n), rows(n);
                pq_distance_many(q, query.data(), ptrs.data(), n, metric, many.data());
                vx_pq_distance_batch(q, query.data(), codes.data(), rows.data(), n, metric);
                for (uint64_t i = 0; i < n; i++) {
                    const float want = vx_pq_distance(q, query.data(), ptrs[i], metric);
                    ASSERT_SAME_FLOAT(many[i], want) << "dim " << sh.dim << " n " << n;
                    ASSERT_SAME_FLOAT(rows[i], want);
                    if (metric == 0 || metric == 5) {
                        ASSERT_SAME_FLOAT(pq_l2_from_table(q, table.data(), ptrs[i], metric), want);
                    }
                }
            }
        }
    }
}

TEST_P(QuantKernels, BatchEncodingMatchesOneVectorAtATime) {
    Arena ar;
    Rng rng(9);
    const struct {
        uint32_t dim, m;
        int32_t nbits;
        uint64_t ntrain;
    } shapes[] = {{8, 2, 1, 50}, {12, 3, 3, 4} /* duplicate centroids: ties */, {64, 8, 8, 300},
                  {784, 16, 8, 300}, {30, 10, 5, 40}, {9, 1, 0, 5}, {16, 4, 2, 1}};
    for (const auto &sh : shapes) {
        vx_pq_quantizer *q = nullptr;
        ASSERT_EQ(vx_pq_create(ar.a, sh.dim, sh.m, sh.nbits, &q), VX_OK);
        std::vector<float> train = random_vectors(rng, sh.ntrain, sh.dim);
        ASSERT_EQ(vx_pq_train(q, train.data(), sh.ntrain), VX_OK);
        const uint64_t n = 29;
        std::vector<float> data = random_vectors(rng, n, sh.dim);
        memcpy(&data[3 * sh.dim], &train[0], sh.dim * 4);  // exactly on a centroid
        data[5 * sh.dim] = NAN;                              // no distance below the bound
        data[6 * sh.dim + sh.dim - 1] = 1e30f;
        std::vector<uint8_t> codes(n * sh.m + 1, 0xee);
        vx_pq_encode_batch(q, data.data(), codes.data(), n);
        for (uint64_t i = 0; i < n; i++) {
            std::vector<uint8_t> ref = ref_pq_encode(q, &data[i * sh.dim]);
            ASSERT_EQ(memcmp(ref.data(), &codes[i * sh.m], sh.m), 0)
                << "dim " << sh.dim << " vector " << i;
        }
        EXPECT_EQ(codes[n * sh.m], 0xee);
        EXPECT_EQ(codes[5 * sh.m], 0);
    }
}

TEST_P(QuantKernels, CodesNamingNoCentroidHaveNoDistance) {
    Arena ar;
    vx_pq_quantizer *q = nullptr;
    ASSERT_EQ(vx_pq_create(ar.a, 4, 2, 1, &q), VX_OK);  // two centroids per sub-space
    const float x[4] = {1, 2, 3, 4};
    const uint8_t bad[2] = {0, 200};
    const uint8_t good[2] = {1, 0};
    for (int metric : {0, 1, 2, 3}) {
        EXPECT_SAME_FLOAT(vx_pq_distance(q, x, bad, metric), 3.4028235e38f);
        EXPECT_NE(bits_of(vx_pq_distance(q, x, good, metric)), bits_of(3.4028235e38f));
    }
    std::vector<uint8_t> rows;
    for (int i = 0; i < 40; i++) rows.insert(rows.end(), i == 17 ? bad : good, (i == 17 ? bad : good) + 2);
    for (int metric : {0, 1}) {
        std::vector<float> out(40);
        vx_pq_distance_batch(q, x, rows.data(), out.data(), 40, metric);
        for (int i = 0; i < 40; i++)
            EXPECT_SAME_FLOAT(out[i], vx_pq_distance(q, x, &rows[i * 2], metric));
        EXPECT_SAME_FLOAT(out[17], 3.4028235e38f);
    }
}

/* ---- sizing and reports --------------------------------------------------- */

TEST(QuantSizing, BytesPerKind) {
    EXPECT_EQ(vx_quant_calculate_size(0, 128, 1000), 512000u);
    EXPECT_EQ(vx_quant_calculate_size(1, 128, 1000), 128000u);
    EXPECT_EQ(vx_quant_calculate_size(2, 128, 1000), 128000u);
    EXPECT_EQ(vx_quant_calculate_size(4, 128, 1000), 8000u);
    EXPECT_EQ(vx_quant_calculate_size(4, 3, 1000), 8000u);
    for (uint32_t t : {3u, 5u, 6u, 100u, 0xffffffffu}) EXPECT_EQ(vx_quant_calculate_size(t, 128, 1000), 0u);
    // Formed in 64 bits, and capped instead of wrapping.
    EXPECT_EQ(vx_quant_calculate_size(0, 0xffffffffu, 1ull << 30), 0xffffffff00000000ull);
    EXPECT_EQ(vx_quant_calculate_size(0, 0xffffffffu, 1ull << 31), UINT64_MAX);
    EXPECT_EQ(vx_quant_calculate_size(4, 128, UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(vx_quant_calculate_size(1, 0, 1000), 0u);
}

TEST(QuantSizing, ReportTexts) {
    EXPECT_STREQ(vx_quant_get_info(0, 262144, 0), "No quantization: 1.00 MB");
    EXPECT_STREQ(vx_quant_get_info(1, 1048576, 0), "SQ quantization: 1.00 MB (4x compression)");
    EXPECT_STREQ(vx_quant_get_info(2, 1048576, 0), "SQ quantization: 1.00 MB (4x compression)");
    EXPECT_STREQ(vx_quant_get_info(4, 1048576, 131072),
                 "PQ quantization: 0.12 MB (32.0x compression)");
    EXPECT_STREQ(vx_quant_get_info(7, 0, 0), "Unknown quantization");
    EXPECT_STREQ(vx_quant_get_info(3, 5, 5), "Unknown quantization");
    EXPECT_STREQ(vx_quant_get_info(4, 1000, 0), "PQ quantization: 0.00 MB (infx compression)");
    // Four bytes per element are counted past 32 bits.
    EXPECT_STREQ(vx_quant_get_info(0, 1u << 30, 0), "No quantization: 4096.00 MB");
    EXPECT_STREQ(vx_quant_get_info(4, 1u << 30, 1u << 20),
                 "PQ quantization: 1.00 MB (4096.0x compression)");
    // The single-precision product decides the rounding: 0.375 * 2^-20 MB.
    EXPECT_STREQ(vx_quant_get_info(1, 393216, 0), "SQ quantization: 0.38 MB (4x compression)");
    // One shared buffer, overwritten by every call.
    const char *a = vx_quant_get_info(0, 0, 0);
    const char *b = vx_quant_get_info(7, 0, 0);
    EXPECT_EQ(a, b);
    EXPECT_LT(strlen(vx_quant_get_info(4, 0xffffffffu, 1)), 128u);
}
