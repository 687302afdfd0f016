// Vector kernels, int8 vectors, batches, statistics and random vectors; the
// batch kernels checked bit for bit against the single-pair functions on
// every path the processor has (AVX-512, AVX2, portable).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vx_simd_internal.h"
#include "vx_vector_internal.h"

namespace {

uint32_t fbits(float x) {
    uint32_t u;
    memcpy(&u, &x, 4);
    return u;
}

const float SENTINEL = 3.4028235e38f;

#define EXPECT_SAME_F32(a, b) EXPECT_EQ(fbits(a), fbits(b)) << (a) << " vs " << (b)

std::vector<float> random_floats(std::mt19937 &gen, size_t n, float lo = -2.0f, float hi = 2.0f) {
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float &x : v) x = dist(gen);
    return v;
}

const char *level_name(simd_level level) {
    return level == SIMD_AVX512 ? "avx512" : level == SIMD_AVX2 ? "avx2" : "portable";
}

// Runs body on every path the processor has: AVX-512, AVX2, portable.
template <typename Body> void on_every_path(Body body) {
    for (simd_level level : {SIMD_AVX512, SIMD_AVX2, SIMD_PORTABLE}) {
        if (level > simd_detected()) continue;
        simd_limit(level);
        body(level_name(level));
    }
    simd_limit(SIMD_AVX512);
}

// The same bits, or NaN for NaN (which NaN an operation passes on may
// depend on the order of its operands).
::testing::AssertionResult same_value(float want, float got) {
    if (fbits(want) == fbits(got) || (want != want && got != got)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want " << want << " (0x" << std::hex << fbits(want) << "), got " << got
                                         << " (0x" << fbits(got) << ")" << std::dec;
}

// One test per instruction set; skipped where the processor lacks it.
class KernelsAtLevel : public ::testing::TestWithParam<simd_level> {
protected:
    void SetUp() override {
        if (GetParam() > simd_detected()) GTEST_SKIP() << level_name(GetParam()) << " not available";
        simd_limit(GetParam());
    }
    void TearDown() override { simd_limit(SIMD_AVX512); }
};

struct Arena {
    vx_arena *a = nullptr;
    Arena() { EXPECT_EQ(vx_arena_create(0, &a), VX_OK); }
    ~Arena() { vx_arena_destroy(a); }
};

}  // namespace

/* ---- single-pair kernels ------------------------------------------------------ */

TEST(VectorDistances, DocumentedValues) {
    const float a[2] = {1, 2}, b[2] = {4, 6};
    EXPECT_EQ(vx_vec_distance(a, b, 2, 0), 25.0f);
    EXPECT_EQ(vx_vec_distance(a, b, 2, 7), 25.0f);
    EXPECT_EQ(vx_vec_l2_squared(a, b, 2), 25.0f);
    EXPECT_SAME_F32(vx_vec_l2_distance(a, b, 2), 5.0f);
    EXPECT_SAME_F32(vx_vec_distance_l2(a, b, 2), 5.0f);
    EXPECT_EQ(vx_vec_ip_distance(a, b, 2), -16.0f);
    EXPECT_EQ(vx_vec_distance(a, b, 2, 1), -16.0f);
    EXPECT_EQ(vx_vec_dot(a, b, 2), 16.0f);
    EXPECT_EQ(vx_vec_norm_squared(b, 2), 52.0f);
    EXPECT_EQ(vx_vec_norm_l2_squared(b, 2), 52.0f);
    const float c[3] = {-1, 2, -3.5f};
    EXPECT_EQ(vx_vec_l1_norm(c, 3), 6.5f);
    const float d[2] = {3, 4};
    EXPECT_SAME_F32(vx_vec_norm_l2(d, 2), vx_math_sqrt_f32(25.0f));

    // Dimension 0 and null vectors: each function's own value.
    EXPECT_EQ(vx_vec_l2_squared(a, b, 0), SENTINEL);
    EXPECT_EQ(vx_vec_l2_distance(nullptr, b, 2), SENTINEL);
    EXPECT_SAME_F32(vx_vec_distance(a, b, 0, 0), 0.0f);
    EXPECT_SAME_F32(vx_vec_distance(a, b, 0, 1), -0.0f);
    EXPECT_SAME_F32(vx_vec_distance(a, b, 0, 2), 1.0f);
    EXPECT_SAME_F32(vx_vec_distance(nullptr, b, 2, 0), SENTINEL);
    EXPECT_SAME_F32(vx_vec_distance(a, nullptr, 2, 1), -0.0f);
    EXPECT_SAME_F32(vx_vec_distance(nullptr, nullptr, 2, 2), 1.0f);
    EXPECT_SAME_F32(vx_vec_ip_distance(nullptr, b, 2), -0.0f);
    EXPECT_SAME_F32(vx_vec_dot(a, b, 0), 0.0f);
    EXPECT_SAME_F32(vx_vec_norm_l2(nullptr, 3), 0.0f);
    EXPECT_SAME_F32(vx_vec_l1_norm(a, 0), 0.0f);
}

TEST(VectorDistances, CosineRules) {
    const float zero[3] = {0, 0, 0}, v[3] = {1, 2, 3}, w[3] = {-2, 0.5f, 7};
    EXPECT_EQ(vx_vec_cosine_distance(zero, v, 3), 1.0f);
    EXPECT_EQ(vx_vec_cosine_similarity(zero, v, 3), 0.0f);
    EXPECT_EQ(vx_vec_cosine_distance(nullptr, v, 3), 1.0f);
    EXPECT_EQ(vx_vec_cosine_similarity(v, v, 0), 0.0f);
    EXPECT_NEAR(vx_vec_cosine_distance(v, v, 3), 0.0f, 1e-6f);
    // Symmetric: the product of the two roots commutes exactly.
    EXPECT_SAME_F32(vx_vec_cosine_distance(v, w, 3), vx_vec_cosine_distance(w, v, 3));
    const float neg[3] = {-1, -2, -3};
    EXPECT_NEAR(vx_vec_cosine_distance(v, neg, 3), 2.0f, 1e-6f);
    // A NaN norm passes the epsilon test and gives NaN.
    float nan = std::numeric_limits<float>::quiet_NaN();
    const float bad[3] = {1, nan, 3};
    float r = vx_vec_cosine_distance(v, bad, 3);
    EXPECT_NE(r, r);
    // Exactly the formula, in single precision, with the library's root.
    float dot = 0, na2 = 0, nb2 = 0;
    for (int i = 0; i < 3; ++i) {
        dot = dot + v[i] * w[i];
        na2 = na2 + v[i] * v[i];
        nb2 = nb2 + w[i] * w[i];
    }
    float expect = 1.0f - dot / (vx_math_sqrt_f32(na2) * vx_math_sqrt_f32(nb2));
    EXPECT_SAME_F32(vx_vec_cosine_distance(v, w, 3), expect);
    EXPECT_SAME_F32(vx_vec_cosine_similarity(v, w, 3), 1.0f - expect);
}

TEST(VectorDistances, SumsRunInIndexOrder) {
    // 1e8 + 4 rounds back to 1e8 (a tie to even), while 4 + 4 + 4 + 1e8
    // keeps the small terms: the result depends on the order of the sum.
    const float a[4] = {1e4f, 2, 2, 2}, z[4] = {0, 0, 0, 0};
    float expect = 0;
    for (int i = 0; i < 4; ++i) expect = expect + a[i] * a[i];
    EXPECT_SAME_F32(vx_vec_norm_squared(a, 4), expect);
    EXPECT_SAME_F32(vx_vec_l2_squared(a, z, 4), expect);
    const float b[4] = {2, 2, 2, 1e4f};
    EXPECT_EQ(vx_vec_norm_squared(b, 4), 100000016.0f);
    EXPECT_EQ(vx_vec_norm_squared(a, 4), 100000000.0f);
}

TEST(VectorOps, ElementWiseWithAliasingAndOverlap) {
    float a[5] = {1, 2, 3, 4, 5};
    const float b[5] = {10, 20, 30, 40, 50};
    vx_vec_add(a, b, 5, a);
    EXPECT_EQ(a[0], 11.0f);
    EXPECT_EQ(a[4], 55.0f);
    vx_vec_sub(a, b, 5, a);
    EXPECT_EQ(a[2], 3.0f);
    // out starts one element after the input: each element reads the value
    // written in the step before it, so the vector doubles along its length.
    float c[6] = {1, 1, 1, 1, 1, 1};
    vx_vec_add(c, c, 5, c + 1);
    float back[6] = {1, 2, 3, 4, 5, 6};
    vx_vec_sub(back + 1, back, 5, back);  // output behind the input
    for (int i = 0; i < 5; ++i) EXPECT_EQ(back[i], 1.0f) << i;
    const float expect[6] = {1, 2, 4, 8, 16, 32};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(c[i], expect[i]) << i;
    float s[4] = {1, 2, 3, 4};
    vx_vec_scale(s, 3, s + 1, 2.0f);
    EXPECT_EQ(s[3], 8.0f);  // 1*2 -> s[1], 2*2 -> s[2], 4*2 -> s[3]
    vx_vec_fill(s, 4, -1.5f);
    EXPECT_EQ(s[3], -1.5f);
    vx_vec_zero(s, 4);
    EXPECT_SAME_F32(s[0], 0.0f);
    // Null pointers and dim 0 are ignored.
    vx_vec_add(nullptr, b, 5, s);
    vx_vec_scale(s, 0, nullptr, 1.0f);
    vx_vec_fill(nullptr, 3, 1.0f);
}

TEST(VectorOps, NormalizeAndEquality) {
    float z[3] = {0, 0, 0};
    EXPECT_EQ(vx_vec_normalize(z, 3), VX_ERR_INVALID_ARG);
    EXPECT_EQ(z[0], 0.0f);
    float tiny[2] = {1e-8f, 0};
    EXPECT_EQ(vx_vec_normalize(tiny, 2), VX_ERR_INVALID_ARG);
    EXPECT_EQ(tiny[0], 1e-8f);
    float v[2] = {3, 4};
    EXPECT_EQ(vx_vec_normalize(v, 2), VX_OK);
    float r = 1.0f / vx_math_sqrt_f32(25.0f);
    EXPECT_SAME_F32(v[0], 3.0f * r);
    EXPECT_SAME_F32(v[1], 4.0f * r);
    EXPECT_NEAR(v[0], 0.6f, 1e-6f);
    EXPECT_EQ(vx_vec_normalize(nullptr, 2), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_vec_normalize(v, 0), VX_ERR_INVALID_ARG);

    const float src[2] = {0, 5};
    float dst[2] = {9, 9};
    EXPECT_EQ(vx_vec_normalize_to(src, dst, 2), VX_OK);
    EXPECT_EQ(dst[1], 5.0f * (1.0f / vx_math_sqrt_f32(25.0f)));
    const float zs[2] = {0, 0};
    EXPECT_EQ(vx_vec_normalize_to(zs, dst, 2), VX_ERR_INVALID_ARG);
    EXPECT_EQ(dst[1], 0.0f);  // the plain copy stays
    EXPECT_EQ(vx_vec_normalize_to(src, nullptr, 2), VX_ERR_INVALID_ARG);

    const float p[2] = {1, 2}, q[2] = {1, 2.5f};
    EXPECT_EQ(vx_vec_equal(p, q, 2, 0.5f), 1);
    EXPECT_EQ(vx_vec_equal(p, q, 2, 0.49f), 0);
    EXPECT_EQ(vx_vec_equal(p, q, 0, 1.0f), 0);
    EXPECT_EQ(vx_vec_almost_equal(p, q, 2, 0.5f), 1);
    EXPECT_EQ(vx_vec_equal(nullptr, q, 2, 1.0f), 0);
    const float n[2] = {1, std::numeric_limits<float>::quiet_NaN()};
    EXPECT_EQ(vx_vec_equal(p, n, 2, 0.0f), 1);  // a NaN difference is not greater
}

TEST(VectorAlloc, ArenaAndHeapVectors) {
    EXPECT_EQ(vx_vec_create(nullptr, 0), nullptr);
    Arena arena;
    EXPECT_EQ(vx_vec_copy(arena.a, nullptr, 4), nullptr);
    EXPECT_EQ(vx_vec_copy(arena.a, (const float *)"x", 0), nullptr);
    float *h = vx_vec_create_with_value(nullptr, 5, 2.5f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h[4], 2.5f);
    float *c = vx_vec_copy(arena.a, h, 5);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(memcmp(c, h, 20), 0);
    vx_vec_free(h);
    vx_vec_free(nullptr);

    const float v[2] = {3, 4}, z[2] = {0, 0};
    float *u = vx_vec_normalized(arena.a, v, 2);
    ASSERT_NE(u, nullptr);
    EXPECT_NEAR(u[1], 0.8f, 1e-6f);
    EXPECT_EQ(vx_vec_normalized(arena.a, z, 2), nullptr);
    EXPECT_EQ(vx_vec_normalized(nullptr, v, 2), nullptr);
    float *av = vx_vec_create(arena.a, 3);
    EXPECT_NE(av, nullptr);
}

/* ---- batch kernels ------------------------------------------------------------- */

TEST(VectorKernels, BatchesAreBitIdenticalToSinglePairs) {
    std::mt19937 gen(42);
    std::vector<uint32_t> dims;
    for (uint32_t d = 1; d <= 64; ++d) dims.push_back(d);
    for (uint32_t d : {65u, 71u, 100u, 127u, 128u, 129u, 255u, 384u, 511u, 768u, 784u, 1000u, 1536u, 1999u, 2000u})
        dims.push_back(d);
    const int32_t metrics[] = {0, 1, 2, 5};
    on_every_path([&](const char *path) {
        for (uint32_t dim : dims) {
            uint64_t n = 1 + gen() % 21;  // rarely a multiple of the lane count
            std::vector<float> q = random_floats(gen, dim);
            std::vector<float> rows = random_floats(gen, n * dim);
            std::vector<const float *> list(n);
            for (uint64_t i = 0; i < n; ++i) list[i] = rows.data() + i * dim;
            if (n > 3) list[2] = nullptr;  // a missing vector in the list
            std::vector<float> out(n + 1, 7.0f);

            batch_l2_squared(q.data(), list.data(), n, dim, out.data());
            for (uint64_t i = 0; i < n; ++i)
                ASSERT_EQ(fbits(out[i]), fbits(vx_vec_l2_squared(q.data(), list[i], dim))) << path << dim << " " << i;
            EXPECT_EQ(out[n], 7.0f);
            batch_dot(q.data(), list.data(), n, dim, out.data());
            for (uint64_t i = 0; i < n; ++i)
                ASSERT_EQ(fbits(out[i]), fbits(vx_vec_dot(q.data(), list[i], dim))) << path << dim << " " << i;
            for (int32_t metric : metrics) {
                batch_distance(q.data(), list.data(), n, dim, metric, out.data());
                for (uint64_t i = 0; i < n; ++i)
                    ASSERT_EQ(fbits(out[i]), fbits(vx_vec_distance(q.data(), list[i], dim, metric)))
                        << path << " dim " << dim << " metric " << metric << " i " << i;
                batch_distance_rows(q.data(), rows.data(), n, dim, metric, out.data());
                for (uint64_t i = 0; i < n; ++i)
                    ASSERT_EQ(fbits(out[i]), fbits(vx_vec_distance(q.data(), rows.data() + i * dim, dim, metric)))
                        << path << " rows dim " << dim << " metric " << metric;
            }
            batch_l2_squared_rows(q.data(), rows.data(), n, dim, out.data());
            for (uint64_t i = 0; i < n; ++i)
                ASSERT_EQ(fbits(out[i]), fbits(vx_vec_l2_squared(q.data(), rows.data() + i * dim, dim)));
            EXPECT_EQ(out[n], 7.0f);
        }
    });
}

// Several queries per pass over transposed blocks: each distance still has
// the bits of the single-pair function, whatever the tile and group remainders.
TEST(VectorKernels, ManyQueriesPerPassAreBitIdenticalToSinglePairs) {
    std::mt19937 gen(7);
    const int32_t metrics[] = {0, 1, 2};
    on_every_path([&](const char *path) {
        for (uint32_t dim : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 100u, 784u, 1999u, 2000u}) {
            uint64_t n = 1 + gen() % 40, nq = 1 + gen() % 39;
            if (dim == 784) nq = 37;  // more than one tile of queries
            std::vector<float> qs = random_floats(gen, nq * dim);
            std::vector<float> rows = random_floats(gen, n * dim);
            std::vector<const float *> list(n);
            for (uint64_t i = 0; i < n; ++i) list[i] = rows.data() + i * dim;
            if (n > 18) list[17] = nullptr;  // a missing vector in a full block
            const uint64_t stride = n + 3;
            for (int32_t metric : metrics) {
                std::vector<float> out(nq * stride, 7.0f);
                ASSERT_EQ(batch_distance_queries(qs.data(), nq, list.data(), n, dim, metric, out.data(), stride), 1);
                for (uint64_t q = 0; q < nq; ++q) {
                    for (uint64_t i = 0; i < n; ++i)
                        ASSERT_EQ(fbits(out[q * stride + i]), fbits(vx_vec_distance(qs.data() + q * dim, list[i], dim, metric)))
                            << path << " dim " << dim << " metric " << metric << " q " << q << " i " << i;
                    EXPECT_EQ(out[q * stride + n], 7.0f);
                }
            }
        }
    });
}

// Every count of queries up to a tile and a bit beyond, so that every
// remainder of a query group (four or eight queries share each block row)
// is met, with an infinity and a NaN in the stored vectors.
TEST_P(KernelsAtLevel, EveryQueryCountMatchesSinglePairs) {
    std::mt19937 gen(31 + GetParam());
    for (uint32_t dim : {5u, 16u, 67u}) {
        const uint64_t n = 35;
        std::vector<float> rows = random_floats(gen, n * dim), qs = random_floats(gen, 41 * dim);
        rows[2 * dim + dim - 1] = std::numeric_limits<float>::infinity();
        rows[19 * dim + 1] = std::numeric_limits<float>::quiet_NaN();
        std::vector<const float *> list(n);
        for (uint64_t i = 0; i < n; ++i) list[i] = (i == 7) ? nullptr : rows.data() + i * dim;
        for (uint64_t nq = 1; nq <= 41; ++nq) {
            for (int32_t metric : {0, 1, 2}) {
                std::vector<float> out(nq * n);
                ASSERT_EQ(batch_distance_queries(qs.data(), nq, list.data(), n, dim, metric, out.data(), n), 1);
                for (uint64_t q = 0; q < nq; ++q)
                    for (uint64_t i = 0; i < n; ++i)
                        ASSERT_TRUE(same_value(vx_vec_distance(qs.data() + q * dim, list[i], dim, metric), out[q * n + i]))
                            << "dim " << dim << " nq " << nq << " metric " << metric << " q " << q << " i " << i;
            }
        }
    }
}

TEST(VectorKernels, WideRangesSpecialValuesAndEmptyInputs) {
    // Magnitudes that overflow, underflow into subnormals and cancel.
    std::mt19937 gen(9);
    const uint32_t dim = 37, n = 13;
    std::vector<float> q(dim), rows(n * dim);
    std::uniform_int_distribution<int> e(-140, 60);
    for (float &x : q) x = std::ldexp(1.0f + (gen() % 1000) / 1000.0f, e(gen)) * ((gen() & 1) ? -1 : 1);
    for (float &x : rows) x = std::ldexp(1.0f + (gen() % 1000) / 1000.0f, e(gen)) * ((gen() & 1) ? -1 : 1);
    rows[5] = std::numeric_limits<float>::infinity();
    rows[dim + 3] = std::numeric_limits<float>::quiet_NaN();
    on_every_path([&](const char *path) {
        std::vector<float> out(n);
        for (int32_t metric : {0, 1, 2}) {
            batch_distance_rows(q.data(), rows.data(), n, dim, metric, out.data());
            for (uint32_t i = 0; i < n; ++i) {
                float single = vx_vec_distance(q.data(), rows.data() + i * dim, dim, metric);
                if (single != single) {
                    EXPECT_NE(out[i], out[i]) << path;
                } else {
                    EXPECT_EQ(fbits(out[i]), fbits(single)) << path << " metric " << metric << " i " << i;
                }
            }
        }
    });
    // Dimension 0 and a null query.
    const float *list[3] = {q.data(), nullptr, rows.data()};
    float out[3];
    batch_distance(q.data(), list, 3, 0, 1, out);
    for (float x : out) EXPECT_SAME_F32(x, -0.0f);
    batch_distance(q.data(), list, 3, 0, 0, out);
    for (float x : out) EXPECT_SAME_F32(x, 0.0f);
    batch_l2_squared(q.data(), list, 3, 0, out);
    for (float x : out) EXPECT_SAME_F32(x, SENTINEL);
    batch_distance(nullptr, list, 3, 4, 2, out);
    for (float x : out) EXPECT_SAME_F32(x, 1.0f);
    batch_dot(nullptr, list, 3, 4, out);
    for (float x : out) EXPECT_SAME_F32(x, 0.0f);
    out[0] = 5.0f;
    batch_l2_squared(q.data(), list, 0, 4, out);
    batch_l2_squared(q.data(), nullptr, 3, 4, out);
    EXPECT_EQ(out[0], 5.0f);
}

TEST(VectorKernels, BoundedL2IsExactWithinTheBound) {
    std::mt19937 gen(3);
    for (uint32_t dim : {1u, 15u, 16u, 17u, 33u, 784u}) {
        std::vector<float> a = random_floats(gen, dim), b = random_floats(gen, dim);
        float full = vx_vec_l2_squared(a.data(), b.data(), dim);
        EXPECT_SAME_F32(l2_squared_bounded(a.data(), b.data(), dim, full), full);
        EXPECT_SAME_F32(l2_squared_bounded(a.data(), b.data(), dim, SENTINEL), full);
        float cut = l2_squared_bounded(a.data(), b.data(), dim, full * 0.25f);
        EXPECT_GT(cut, full * 0.25f);
        EXPECT_LE(cut, full);
        EXPECT_GT(l2_squared_bounded(a.data(), b.data(), dim, -1.0f), -1.0f);
    }
    EXPECT_SAME_F32(l2_squared_bounded(nullptr, nullptr, 0, 1.0f), 0.0f);
}

// What a bounded batch may return for one vector: the exact bits when the
// exact value is within the bound or no bound is set, otherwise a partial sum
// above the bound and not above the exact value (a NaN past the point where
// the sum passed the bound may go unread).
::testing::AssertionResult bounded_ok(float exact, float got, float bound) {
    bool no_bound = bound != bound || bound == std::numeric_limits<float>::infinity();
    if (exact != exact && got != got) return ::testing::AssertionSuccess();
    if (no_bound || exact <= bound) {
        if (fbits(got) == fbits(exact)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "want exact " << exact << ", got " << got << " (bound " << bound << ")";
    }
    if (got > bound && (got <= exact || exact != exact)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want (" << bound << ", " << exact << "], got " << got;
}

// Stored vectors at mixed distances (scales 0.01 to 10 around the query), so
// that with 784 dimensions some lanes pass a bound after one test and
// others never do, and both one group and both groups of a pass stop.
TEST(VectorKernels, BoundedBatchIsExactWithinTheBound) {
    std::mt19937 gen(11);
    const float inf = std::numeric_limits<float>::infinity();
    uint64_t partial = 0;
    on_every_path([&](const char *path) {
        for (uint32_t dim : {1u, 3u, 4u, 17u, 64u, 65u, 129u, 784u}) {
            for (uint64_t n = 1; n <= 40; ++n) {
                std::vector<float> q = random_floats(gen, dim), rows(n * dim);
                const float scales[] = {0.01f, 0.3f, 1.0f, 10.0f};
                for (uint64_t i = 0; i < n; ++i) {
                    float s = scales[gen() % 4];
                    std::vector<float> noise = random_floats(gen, dim);
                    for (uint32_t j = 0; j < dim; ++j) rows[i * dim + j] = q[j] + s * noise[j];
                }
                std::vector<const float *> list(n);
                for (uint64_t i = 0; i < n; ++i) list[i] = rows.data() + i * dim;
                if (n % 5 == 3) list[n / 2] = nullptr;
                std::vector<float> exact(n), sorted;
                batch_l2_squared(q.data(), list.data(), n, dim, exact.data());
                for (uint64_t i = 0; i < n; ++i)
                    if (list[i]) sorted.push_back(exact[i]);
                std::sort(sorted.begin(), sorted.end());
                std::vector<float> bounds = {0.0f, -1.0f, -inf, inf, std::numeric_limits<float>::quiet_NaN(),
                                             SENTINEL};
                for (double quantile : {0.0, 0.2, 0.5, 0.8, 1.0}) {
                    float b = sorted[(size_t)(quantile * (sorted.size() - 1))];
                    bounds.push_back(b);                                 // equal: kept exact
                    bounds.push_back(std::nextafter(b, -inf));          // just below
                }
                for (float bound : bounds) {
                    std::vector<float> out(n + 1, 7.0f);
                    batch_l2_squared_bounded(q.data(), list.data(), n, dim, bound, out.data());
                    for (uint64_t i = 0; i < n; ++i) {
                        if (!list[i]) {
                            ASSERT_EQ(fbits(out[i]), fbits(SENTINEL)) << path;
                            continue;
                        }
                        ASSERT_TRUE(bounded_ok(exact[i], out[i], bound))
                            << path << " dim " << dim << " n " << n << " i " << i;
                        partial += fbits(out[i]) != fbits(exact[i]);
                    }
                    ASSERT_EQ(out[n], 7.0f);
                }
            }
        }
    });
    EXPECT_GT(partial, 1000u);  // the bound is acted on, not only honoured
}

// Lanes of one group stop together and never hold up the other group; filler
// lanes (past the end of the list, or for a missing vector) never keep a
// group going.
TEST(VectorKernels, BoundedBatchGroupsStopOnTheirOwn) {
    std::mt19937 gen(12);
    const uint32_t dim = 784;
    std::vector<float> q = random_floats(gen, dim), near(dim), far(dim);
    for (uint32_t j = 0; j < dim; ++j) {
        near[j] = q[j] + 0.001f;
        far[j] = q[j] + 1.0f;
    }
    const float exact_near = vx_vec_l2_squared(q.data(), near.data(), dim);
    const float exact_far = vx_vec_l2_squared(q.data(), far.data(), dim);
    const float bound = 1.0f;  // the far vectors pass it after a single test
    on_every_path([&](const char *path) {
        // Group order far/near and near/far in runs of eight and of sixteen
        // (an AVX2 and an AVX-512 register), full and short last groups.
        for (uint64_t n : {16u, 12u, 9u, 24u, 32u, 40u}) {
            for (int far_first = 0; far_first < 4; ++far_first) {
                const uint64_t run = far_first < 2 ? 8 : 16;
                std::vector<const float *> list(n);
                for (uint64_t i = 0; i < n; ++i)
                    list[i] = ((i / run) % 2 == (uint64_t)(far_first % 2)) ? near.data() : far.data();
                if (n == 12 || n == 40) list[10] = nullptr;
                std::vector<float> out(n);
                batch_l2_squared_bounded(q.data(), list.data(), n, dim, bound, out.data());
                for (uint64_t i = 0; i < n; ++i) {
                    if (!list[i]) {
                        EXPECT_SAME_F32(out[i], SENTINEL);
                    } else if (list[i] == near.data()) {
                        EXPECT_SAME_F32(out[i], exact_near) << path << " n " << n << " i " << i;
                    } else {
                        // Abandoned at the first test (64 dims) wherever the
                        // group falls in the pass.
                        EXPECT_GT(out[i], bound) << path << " n " << n << " i " << i;
                        EXPECT_LT(out[i], exact_far / 4) << path << " n " << n << " i " << i;
                    }
                }
            }
        }
    });
}

TEST(VectorKernels, BoundedBatchSpecialValuesAndEmptyInputs) {
    std::mt19937 gen(13);
    const uint32_t dim = 300, n = 9;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> q = random_floats(gen, dim), rows(n * dim);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < dim; ++j) rows[i * dim + j] = q[j] + 0.01f;  // sums about 0.03
    // NaN anywhere in a vector whose sum stays within the bound comes out as
    // NaN: a NaN sum is never taken for one above the bound.
    const uint32_t nan_at[] = {0, 63, 64, 299};
    for (uint32_t i = 0; i < 4; ++i) rows[i * dim + nan_at[i]] = nan;
    rows[4 * dim + 1] = nan;  // NaN before a term that passes any bound
    rows[4 * dim + 2] = q[2] + 100.0f;
    rows[5 * dim + 0] = q[0] + 100.0f;  // passes the bound, then a NaN that may go unread
    rows[5 * dim + 200] = nan;
    rows[6 * dim + 5] = inf;
    rows[7 * dim + 7] = 1e30f;  // the square overflows to +inf
    std::vector<const float *> list(n);
    for (uint32_t i = 0; i < n; ++i) list[i] = rows.data() + i * dim;
    on_every_path([&](const char *path) {
        std::vector<float> exact(n), out(n);
        batch_l2_squared(q.data(), list.data(), n, dim, exact.data());
        for (float bound : {1.0f, 0.0f, SENTINEL}) {
            // Each vector alone (no other lane keeps its group going), then
            // all in one pass.
            for (uint32_t i = 0; i < n; ++i) batch_l2_squared_bounded(q.data(), &list[i], 1, dim, bound, &out[i]);
            for (int together = 0; together < 2; ++together) {
                for (uint32_t i = 0; i < n; ++i)
                    EXPECT_TRUE(bounded_ok(exact[i], out[i], bound)) << path << " bound " << bound << " i " << i;
                for (uint32_t i = 0; i < 5; ++i) {
                    if (bound == 0.0f && (i == 2 || i == 3)) continue;  // NaN past the first test
                    EXPECT_NE(out[i], out[i]) << path << " i " << i;
                }
                EXPECT_EQ(out[6], inf);
                EXPECT_GT(out[7], bound);
                batch_l2_squared_bounded(q.data(), list.data(), n, dim, bound, out.data());
            }
        }
    });
    // Dimension 0, a null query, no vectors: as batch_l2_squared.
    const float *some[3] = {q.data(), nullptr, rows.data()};
    float out[3] = {5.0f, 5.0f, 5.0f};
    batch_l2_squared_bounded(q.data(), some, 3, 0, 1.0f, out);
    for (float x : out) EXPECT_SAME_F32(x, SENTINEL);
    for (float bound : {1.0f, nan}) {
        batch_l2_squared_bounded(nullptr, some, 3, dim, bound, out);
        for (float x : out) EXPECT_SAME_F32(x, SENTINEL);
    }
    out[0] = 5.0f;
    batch_l2_squared_bounded(q.data(), some, 0, dim, 1.0f, out);
    batch_l2_squared_bounded(q.data(), nullptr, 3, dim, 1.0f, out);
    batch_l2_squared_bounded(q.data(), some, 3, dim, 1.0f, nullptr);
    EXPECT_EQ(out[0], 5.0f);
}

// Every list length from 1 to 70 (one to three passes of every width, with
// every remainder) against the single-pair functions, for dimensions around
// multiples of the four-dimension step, with missing vectors, infinities,
// NaNs and overflowing squares falling in different lanes; the bounded
// kernel on the same lists keeps its contract.
TEST_P(KernelsAtLevel, EveryListLengthMatchesSinglePairs) {
    std::mt19937 gen(21 + GetParam());
    const float inf = std::numeric_limits<float>::infinity();
    const uint64_t max_n = 70;
    for (uint32_t dim : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 11u, 16u, 31u, 64u, 65u, 66u, 67u, 130u, 255u, 783u, 784u}) {
        std::vector<float> q = random_floats(gen, dim), rows = random_floats(gen, max_n * dim);
        rows[3 * dim + dim - 1] = inf;
        rows[20 * dim + dim / 2] = std::numeric_limits<float>::quiet_NaN();
        rows[33 * dim] = -inf;
        rows[50 * dim + gen() % dim] = 1e30f;
        std::vector<const float *> all(max_n);
        for (uint64_t i = 0; i < max_n; ++i) all[i] = (i % 13 == 6) ? nullptr : rows.data() + i * dim;
        for (uint64_t n = 1; n <= max_n; ++n) {
            const uint64_t first = (n * 7) % (max_n - n + 1);
            const float *const *list = all.data() + first;
            const float *block = rows.data() + first * dim;
            std::vector<float> out(n + 1, 7.0f), exact(n);
            auto expect_each = [&](const char *what, auto single) {
                for (uint64_t i = 0; i < n; ++i)
                    ASSERT_TRUE(same_value(single(i), out[i])) << what << " dim " << dim << " n " << n << " i " << i;
                ASSERT_EQ(out[n], 7.0f) << what;
            };
            batch_l2_squared(q.data(), list, n, dim, out.data());
            expect_each("l2", [&](uint64_t i) { return vx_vec_l2_squared(q.data(), list[i], dim); });
            batch_dot(q.data(), list, n, dim, out.data());
            expect_each("dot", [&](uint64_t i) { return vx_vec_dot(q.data(), list[i], dim); });
            for (int32_t metric : {0, 1, 2}) {
                batch_distance(q.data(), list, n, dim, metric, out.data());
                expect_each("distance", [&](uint64_t i) { return vx_vec_distance(q.data(), list[i], dim, metric); });
                batch_distance_rows(q.data(), block, n, dim, metric, out.data());
                expect_each("rows", [&](uint64_t i) { return vx_vec_distance(q.data(), block + i * dim, dim, metric); });
            }
            std::vector<float> sorted;
            for (uint64_t i = 0; i < n; ++i) {
                exact[i] = vx_vec_l2_squared(q.data(), list[i], dim);
                if (list[i] && exact[i] == exact[i]) sorted.push_back(exact[i]);
            }
            std::sort(sorted.begin(), sorted.end());
            float median = sorted.empty() ? 1.0f : sorted[sorted.size() / 2];
            for (float bound : {median, std::nextafter(median, -inf), 0.0f}) {
                std::fill(out.begin(), out.end(), 7.0f);
                batch_l2_squared_bounded(q.data(), list, n, dim, bound, out.data());
                for (uint64_t i = 0; i < n; ++i) {
                    if (!list[i])
                        ASSERT_EQ(fbits(out[i]), fbits(SENTINEL));
                    else
                        ASSERT_TRUE(bounded_ok(exact[i], out[i], bound)) << "dim " << dim << " n " << n << " i " << i;
                }
                ASSERT_EQ(out[n], 7.0f);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelsAtLevel, ::testing::Values(SIMD_AVX512, SIMD_AVX2, SIMD_PORTABLE),
                         [](const ::testing::TestParamInfo<simd_level> &info) {
                             return std::string(level_name(info.param));
                         });

TEST(VectorKernels, ConcurrentBatchesAgree) {
    std::mt19937 gen(17);
    const uint32_t dim = 300, n = 203;
    std::vector<float> q = random_floats(gen, dim), rows = random_floats(gen, n * dim);
    std::vector<float> expect(n);
    for (uint32_t i = 0; i < n; ++i) expect[i] = vx_vec_distance(q.data(), rows.data() + i * dim, dim, 2);
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> out(n);
            int good = 1;
            for (int rep = 0; rep < 20; ++rep) {
                batch_distance_rows(q.data(), rows.data(), n, dim, 2, out.data());
                if (memcmp(out.data(), expect.data(), n * sizeof(float)) != 0) good = 0;
            }
            ok[t] = good;
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 1) << t;
}

/* ---- int8 vectors ----------------------------------------------------------------- */

TEST(VectorInt8, ScaleCodesAndRoundTrip) {
    float scale = 0;
    int8_t codes[4] = {9, 9, 9, 9};
    const float flat[4] = {3.5f, 3.5f, 3.5f, 3.5f};
    vx_vec_quantize_int8(flat, 4, codes, &scale);
    EXPECT_EQ(scale, 1.0f);
    for (int8_t c : codes) EXPECT_EQ(c, 0);
    const float narrow[2] = {1.0f, 1.0f + 5e-7f};
    scale = 0;
    vx_vec_quantize_int8(narrow, 2, codes, &scale);
    EXPECT_EQ(scale, 1.0f);
    const float nans[2] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
    vx_vec_quantize_int8(nans, 2, codes, &scale);
    EXPECT_EQ(scale, 1.0f);
    EXPECT_EQ(codes[0], 0);

    // Minimum maps to -128, maximum to 127, the rest by truncation of t + 0.5.
    const float v[5] = {-1.0f, 1.0f, 0.0f, 0.5f, std::numeric_limits<float>::quiet_NaN()};
    int8_t c5[5];
    vx_vec_quantize_int8(v, 5, c5, &scale);
    EXPECT_SAME_F32(scale, 2.0f / 255.0f);
    EXPECT_EQ(c5[0], -128);
    EXPECT_EQ(c5[1], 127);
    EXPECT_EQ(c5[2], (int)((0.0f - -1.0f) / scale + 0.5f) - 128);
    EXPECT_EQ(c5[3], (int)((0.5f - -1.0f) / scale + 0.5f) - 128);
    EXPECT_EQ(c5[4], -128);  // NaN takes the lowest level

    // Round trip: dequantized values are the originals less min + 128 * scale,
    // within half a step.
    std::mt19937 gen(1);
    std::vector<float> x = random_floats(gen, 300, -7.0f, 11.0f);
    std::vector<int8_t> q(300);
    std::vector<float> back(300);
    vx_vec_quantize_int8(x.data(), 300, q.data(), &scale);
    vx_vec_dequantize_int8(q.data(), 300, back.data(), scale);
    float mn = x[0];
    for (float e : x) mn = e < mn ? e : mn;
    for (int i = 0; i < 300; ++i) EXPECT_NEAR(back[i] + mn + 128 * scale, x[i], scale * 0.5f + 1e-5f) << i;

    const int8_t d[3] = {-128, 0, 127};
    float out[3];
    vx_vec_dequantize_int8(d, 3, out, 0.5f);
    EXPECT_EQ(out[0], -64.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 63.5f);
}

TEST(VectorInt8, IntegerDotProduct) {
    const int8_t a[2] = {-128, -128};
    EXPECT_EQ(vx_vec_dot_int8(a, a, 2), 32768);
    const int8_t b[3] = {1, 2, 3}, c[3] = {4, -5, 6};
    EXPECT_EQ(vx_vec_dot_int8(b, c, 3), 12);
    EXPECT_EQ(vx_vec_dot_int8(nullptr, c, 3), 0);
    EXPECT_EQ(vx_vec_dot_int8(b, c, 0), 0);
    std::vector<int8_t> big(140000, -128);
    EXPECT_EQ(vx_vec_dot_int8(big.data(), big.data(), 131071), 131071 * 16384);
    EXPECT_EQ(vx_vec_dot_int8(big.data(), big.data(), 140000), INT32_MAX);
}

/* ---- batches, sums and means -------------------------------------------------------- */

TEST(VectorBatch, PublicBatchFunctions) {
    const float q[2] = {0, 0}, e[2] = {3, 4}, f[2] = {1, -2};
    const float *list[3] = {e, nullptr, f};
    float out[3] = {9, 9, 9};
    vx_vec_batch_distance(q, list, 2, 3, 0, out);
    EXPECT_EQ(out[0], 5.0f);  // the root, while vx_vec_distance gives 25
    EXPECT_EQ(vx_vec_distance(q, e, 2, 0), 25.0f);
    EXPECT_EQ(out[1], SENTINEL);
    EXPECT_SAME_F32(out[2], vx_vec_l2_distance(q, f, 2));
    vx_vec_batch_distance(e, list, 2, 3, 1, out);
    EXPECT_EQ(out[0], -25.0f);
    EXPECT_SAME_F32(out[1], -0.0f);
    EXPECT_EQ(out[2], 5.0f);
    vx_vec_batch_distance(e, list, 2, 3, 2, out);
    EXPECT_SAME_F32(out[0], vx_vec_cosine_distance(e, e, 2));
    EXPECT_EQ(out[1], 1.0f);
    EXPECT_SAME_F32(out[2], vx_vec_cosine_distance(e, f, 2));
    out[0] = 9;
    vx_vec_batch_distance(q, list, 2, 0, 1, out);
    vx_vec_batch_distance(nullptr, list, 2, 3, 1, out);
    EXPECT_EQ(out[0], 9.0f);

    vx_vec_batch_l2_distance(nullptr, list, 2, 3, out);
    EXPECT_EQ(out[0], SENTINEL);
    vx_vec_batch_l2_distance(e, list, 0, 3, out);
    EXPECT_EQ(out[2], SENTINEL);

    vx_vec_batch batch = {list, 2, 3};
    vx_vec_batch_cosine_similarity(e, &batch, out);
    EXPECT_SAME_F32(out[0], vx_vec_cosine_similarity(e, e, 2));
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_SAME_F32(out[2], vx_vec_cosine_similarity(e, f, 2));
}

TEST(VectorBatch, SumsAndMeans) {
    const float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(vx_vec_sum(v, 4), 10.0f);
    EXPECT_EQ(vx_vec_mean(v, 4), 2.5f);
    EXPECT_EQ(vx_vec_mean(nullptr, 4), 0.0f);
    EXPECT_EQ(vx_vec_sum(v, 0), 0.0f);

    const float a[2] = {1, 2}, b[2] = {3, 6};
    const float *list[3] = {a, b, nullptr};
    float out[2] = {9, 9};
    vx_vec_array_mean(out, list, 2, 2);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 4.0f);
    vx_vec_array_sum(out, list, 2, 3);  // the null entry adds nothing
    EXPECT_EQ(out[0], 4.0f);
    EXPECT_EQ(out[1], 8.0f);
    // Three entries: the reciprocal of 3 is formed once and multiplied in.
    const float c[2] = {1, 1};
    const float *three[3] = {c, c, c};
    vx_vec_array_mean(out, three, 2, 3);
    EXPECT_SAME_F32(out[0], 3.0f * (1.0f / 3.0f));

    const float x[2] = {1, 0}, y[2] = {0, 1};
    const float *xy[2] = {x, y};
    const float w31[2] = {3, 1}, w11[2] = {1, -1};
    vx_vec_weighted_mean(out, xy, w31, 2, 2);
    EXPECT_EQ(out[0], 0.75f);
    EXPECT_EQ(out[1], 0.25f);
    vx_vec_weighted_mean(out, xy, w11, 2, 2);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], -1.0f);
    out[0] = 42;
    vx_vec_weighted_mean(out, xy, nullptr, 2, 2);
    EXPECT_EQ(out[0], 42.0f);
}

/* ---- random vectors ------------------------------------------------------------------ */

TEST(VectorRandom, ReproducibleDrawsAndBoxMuller) {
    float a[7], b[7];
    vx_srand(1234);
    vx_vec_random(a, 7);
    vx_srand(1234);
    vx_vec_random(b, 7);
    EXPECT_EQ(memcmp(a, b, sizeof a), 0);
    vx_srand(1234);
    for (int i = 0; i < 7; ++i) {
        float u = vx_rand_float();
        EXPECT_SAME_F32(a[i], (u + u) - 1.0f);
        EXPECT_TRUE(a[i] >= -1.0f && a[i] <= 1.0f);
    }

    vx_srand(99);
    EXPECT_EQ(vx_vec_random_normalized(a, 7), VX_OK);
    EXPECT_NEAR(vx_vec_norm_l2(a, 7), 1.0f, 1e-5f);
    EXPECT_EQ(vx_vec_random_normalized(nullptr, 7), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_vec_random_normalized(a, 0), VX_ERR_INVALID_ARG);

    // dim 3 makes four draws (no redraw with this seed), then the sequence
    // continues where it left off.
    vx_srand(7);
    float u[5];
    for (float &x : u) x = vx_rand_float();
    ASSERT_GE(u[0], 1.1920929e-7f);
    ASSERT_GE(u[2], 1.1920929e-7f);
    vx_srand(7);
    float g[3];
    vx_vec_random_gaussian(g, 3, 10.0f, 2.0f);
    EXPECT_SAME_F32(vx_rand_float(), u[4]);
    float r0 = vx_math_sqrt_f32(vx_math_log_f32(u[0]) * -2.0f) * 2.0f;
    float t0 = 6.2831855f * u[1];
    EXPECT_SAME_F32(g[0], vx_math_cos_f32(t0) * r0 + 10.0f);
    EXPECT_SAME_F32(g[1], vx_math_sin_f32(t0) * r0 + 10.0f);
    float r1 = vx_math_sqrt_f32(vx_math_log_f32(u[2]) * -2.0f) * 2.0f;
    EXPECT_SAME_F32(g[2], vx_math_cos_f32(6.2831855f * u[3]) * r1 + 10.0f);

    // Moments of a longer draw.
    std::vector<float> big(20000);
    vx_srand(5);
    vx_vec_random_gaussian(big.data(), 20000, 1.0f, 3.0f);
    double s = 0, s2 = 0;
    for (float x : big) {
        s += x;
        s2 += (double)x * x;
    }
    double mean = s / 20000, var = s2 / 20000 - mean * mean;
    EXPECT_NEAR(mean, 1.0, 0.1);
    EXPECT_NEAR(var, 9.0, 0.5);
    vx_vec_random_gaussian(nullptr, 3, 0, 1);
}
