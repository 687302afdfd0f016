// Batch distance kernels: one query against many stored vectors.
//
// A single distance is one running sum in index order and cannot be split
// across its own dimensions. Speed comes from computing eight distances at
// once instead: lane k of every register belongs to stored vector k, so each
// lane performs exactly the additions of the single-pair loop, in the same
// order. With AVX2 the eight vectors are read four dimensions at a time and
// transposed in registers; with AVX-512 sixteen vectors fill a register the
// same way; the portable path keeps eight scalar sums. All give the bits of
// vx_vec_l2_squared, vx_vec_dot and vx_vec_distance.
#include "vexal.h"

#include "vx_simd_internal.h"
#include "vx_vector_internal.h"

#include <immintrin.h>

namespace {

const uint32_t LANES = 8;
const int32_t METRIC_IP = 1;
const int32_t METRIC_COSINE = 2;

// What the lanes accumulate: squared differences, products with the query,
// or products with the query and squares of the stored vector (cosine).
enum SumKind { SUM_L2, SUM_DOT, SUM_DOT_NORM };

/* ---- portable lanes ------------------------------------------------------------ */

// Eight interleaved scalar sums: the eight chains of additions are
// independent, so they overlap in the pipeline.
void lanes_portable(SumKind kind, const float *q, const float *const *p, uint32_t dim,
                    float *sa, float *sb) {
    const float *v[LANES];
    float a[LANES], b[LANES];
    #pragma GCC unroll 8
    for (uint32_t k = 0; k < LANES; ++k) {
        v[k] = p[k];
        a[k] = 0.0f;
        b[k] = 0.0f;
    }
    switch (kind) {
    case SUM_L2:
        for (uint32_t j = 0; j < dim; ++j) {
            float qj = q[j];
            #pragma GCC unroll 8
            for (uint32_t k = 0; k < LANES; ++k) {
                float d = qj - v[k][j];
                a[k] = a[k] + d * d;
            }
        }
        break;
    case SUM_DOT:
        for (uint32_t j = 0; j < dim; ++j) {
            float qj = q[j];
            #pragma GCC unroll 8
            for (uint32_t k = 0; k < LANES; ++k) a[k] = a[k] + qj * v[k][j];
        }
        break;
    case SUM_DOT_NORM:
        for (uint32_t j = 0; j < dim; ++j) {
            float qj = q[j];
            #pragma GCC unroll 8
            for (uint32_t k = 0; k < LANES; ++k) {
                float x = v[k][j];
                a[k] = a[k] + qj * x;
                b[k] = b[k] + x * x;
            }
        }
        break;
    }
    #pragma GCC unroll 8
    for (uint32_t k = 0; k < LANES; ++k) {
        sa[k] = a[k];
        sb[k] = b[k];
    }
}

/* ---- AVX2 lanes ----------------------------------------------------------------
 * No FMA: the target enables AVX2 only, and the build forbids contraction, so
 * every product is rounded before it is added, as in the scalar loop. */

#define VX_AVX2 __attribute__((target("avx2")))

// Four dimensions of eight vectors at a time. Register k (k < 4) is loaded
// with four consecutive elements of vector k in its low half and of vector
// k + 4 in its high half, which does the cross-half part of the transpose in
// the loads. Then an in-half 4x4 transpose (four unpacks, two shuffles, four
// blends; the blends run on every vector port) leaves element c of the eight
// vectors in x[c], lane k for vector k.
VX_AVX2 inline __m256 load_pair(const float *lo, const float *hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
}

VX_AVX2 inline void transpose4_pairs(__m256 x[4]) {
    __m256 t0 = _mm256_unpacklo_ps(x[0], x[1]);  // v0[0] v1[0] v0[1] v1[1]
    __m256 t1 = _mm256_unpackhi_ps(x[0], x[1]);  // v0[2] v1[2] v0[3] v1[3]
    __m256 t2 = _mm256_unpacklo_ps(x[2], x[3]);  // v2[0] v3[0] v2[1] v3[1]
    __m256 t3 = _mm256_unpackhi_ps(x[2], x[3]);  // v2[2] v3[2] v2[3] v3[3]
    __m256 u = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 3, 2));  // v0[1] v1[1] v2[0] v3[0]
    __m256 w = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 3, 2));  // v0[3] v1[3] v2[2] v3[2]
    x[0] = _mm256_blend_ps(t0, u, 0xCC);
    x[1] = _mm256_blend_ps(u, t2, 0xCC);
    x[2] = _mm256_blend_ps(t1, w, 0xCC);
    x[3] = _mm256_blend_ps(w, t3, 0xCC);
}

VX_AVX2 inline __m256 column(const float *const *p, uint32_t j) {
    return _mm256_setr_ps(p[0][j], p[1][j], p[2][j], p[3][j], p[4][j], p[5][j], p[6][j], p[7][j]);
}

// The query's four elements j..j+3 in both halves.
VX_AVX2 inline __m256 query_pair(const float *q, uint32_t j) {
    return _mm256_broadcast_ps((const __m128 *)(q + j));
}

const uint32_t STEP = 4;

// G groups of eight vectors per pass, so that several accumulator chains
// overlap. Squared differences and products are formed on the rows as
// loaded (element-wise, the same operations as the scalar loop) and only then
// transposed, so that each lane adds its own vector's terms in dimension
// order.
// The per-element term of a sum: (q - v)^2 for squared L2, q * v for a dot
// product, formed exactly as the scalar loops form it.
template <bool L2>
VX_AVX2 static inline __m256 lane_term(__m256 q, __m256 v) {
    if (L2) {
        __m256 d = _mm256_sub_ps(q, v);
        return _mm256_mul_ps(d, d);
    }
    return _mm256_mul_ps(q, v);
}

template <int G, bool L2>
VX_AVX2 void lanes_sum_avx2(const float *q, const float *const *p, uint32_t dim, float *sa) {
    __m256 acc[G];
    #pragma GCC unroll 16
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();
    uint32_t j = 0;
    for (; j + STEP <= dim; j += STEP) {
        __m256 qq = query_pair(q, j);
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
            const float *const *pg = p + g * LANES;
            __m256 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = lane_term<L2>(qq, load_pair(pg[k] + j, pg[k + 4] + j));
            transpose4_pairs(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) acc[g] = _mm256_add_ps(acc[g], x[c]);
        }
    }
    for (; j < dim; ++j) {
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g)
            acc[g] = _mm256_add_ps(acc[g], lane_term<L2>(_mm256_set1_ps(q[j]), column(p + g * LANES, j)));
    }
    #pragma GCC unroll 16
    for (int g = 0; g < G; ++g) _mm256_storeu_ps(sa + g * LANES, acc[g]);
}

template <int G>
VX_AVX2 void lanes_dot_norm_avx2(const float *q, const float *const *p, uint32_t dim, float *sa,
                                 float *sb) {
    __m256 dot[G], norm[G];
    #pragma GCC unroll 16
    for (int g = 0; g < G; ++g) dot[g] = norm[g] = _mm256_setzero_ps();
    uint32_t j = 0;
    for (; j + STEP <= dim; j += STEP) {
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
            const float *const *pg = p + g * LANES;
            __m256 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = load_pair(pg[k] + j, pg[k + 4] + j);
            transpose4_pairs(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) {
                dot[g] = _mm256_add_ps(dot[g], _mm256_mul_ps(_mm256_set1_ps(q[j + c]), x[c]));
                norm[g] = _mm256_add_ps(norm[g], _mm256_mul_ps(x[c], x[c]));
            }
        }
    }
    for (; j < dim; ++j) {
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
            __m256 v = column(p + g * LANES, j);
            dot[g] = _mm256_add_ps(dot[g], _mm256_mul_ps(_mm256_set1_ps(q[j]), v));
            norm[g] = _mm256_add_ps(norm[g], _mm256_mul_ps(v, v));
        }
    }
    #pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
        _mm256_storeu_ps(sa + g * LANES, dot[g]);
        _mm256_storeu_ps(sb + g * LANES, norm[g]);
    }
}

template <int G>
void lanes_avx2(SumKind kind, const float *q, const float *const *p, uint32_t dim, float *sa, float *sb) {
    switch (kind) {
    case SUM_L2: lanes_sum_avx2<G, true>(q, p, dim, sa); break;
    case SUM_DOT: lanes_sum_avx2<G, false>(q, p, dim, sa); break;
    case SUM_DOT_NORM: lanes_dot_norm_avx2<G>(q, p, dim, sa, sb); break;
    }
}

/* ---- AVX-512 lanes ---------------------------------------------------------------
 * Sixteen vectors per register, four dimensions per step. Register k (k < 4)
 * holds four consecutive elements of vectors k, k + 4, k + 8 and k + 12 in
 * its four 128-bit pieces, and the same in-piece 4x4 transpose as
 * transpose4_pairs leaves element c of the sixteen vectors in x[c], lane i
 * for vector i. Again no FMA: mul and add are separate, each rounded. */

#define VX_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

// GCC 12 takes the undefined source operand inside its own AVX-512 unpack
// intrinsics for an uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

const uint32_t WIDE = 16;  // lanes of one AVX-512 register

VX_AVX512 inline __m512 load_quad(const float *const *p, uint32_t j) {
    __m512 x = _mm512_castps128_ps512(_mm_loadu_ps(p[0] + j));
    x = _mm512_insertf32x4(x, _mm_loadu_ps(p[4] + j), 1);
    x = _mm512_insertf32x4(x, _mm_loadu_ps(p[8] + j), 2);
    return _mm512_insertf32x4(x, _mm_loadu_ps(p[12] + j), 3);
}

VX_AVX512 inline void transpose4_quads(__m512 x[4]) {
    __m512 t0 = _mm512_unpacklo_ps(x[0], x[1]);
    __m512 t1 = _mm512_unpackhi_ps(x[0], x[1]);
    __m512 t2 = _mm512_unpacklo_ps(x[2], x[3]);
    __m512 t3 = _mm512_unpackhi_ps(x[2], x[3]);
    __m512 u = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 3, 2));
    __m512 w = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 3, 2));
    x[0] = _mm512_mask_blend_ps(0xCCCC, t0, u);
    x[1] = _mm512_mask_blend_ps(0xCCCC, u, t2);
    x[2] = _mm512_mask_blend_ps(0xCCCC, t1, w);
    x[3] = _mm512_mask_blend_ps(0xCCCC, w, t3);
}

VX_AVX512 inline __m512 column16(const float *const *p, uint32_t j) {
    return _mm512_setr_ps(p[0][j], p[1][j], p[2][j], p[3][j], p[4][j], p[5][j], p[6][j], p[7][j],
                          p[8][j], p[9][j], p[10][j], p[11][j], p[12][j], p[13][j], p[14][j], p[15][j]);
}

// The query's four elements j..j+3 in every piece.
VX_AVX512 inline __m512 query_quad(const float *q, uint32_t j) {
    return _mm512_broadcast_f32x4(_mm_loadu_ps(q + j));
}

template <bool L2>
VX_AVX512 static inline __m512 lane_term16(__m512 q, __m512 v) {
    if (L2) {
        __m512 d = _mm512_sub_ps(q, v);
        return _mm512_mul_ps(d, d);
    }
    return _mm512_mul_ps(q, v);
}

// Adds the terms of dimensions [j0, j1) onto the running sums a of G groups
// of sixteen vectors; j0 is a multiple of STEP.
template <int G, bool L2>
VX_AVX512 inline void sum_stretch16(const float *q, const float *const *p, uint32_t j0, uint32_t j1,
                                    __m512 *a) {
    uint32_t j = j0;
    for (; j + STEP <= j1; j += STEP) {
        __m512 qq = query_quad(q, j);
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g) {
            const float *const *pg = p + g * WIDE;
            __m512 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = lane_term16<L2>(qq, load_quad(pg + k, j));
            transpose4_quads(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) a[g] = _mm512_add_ps(a[g], x[c]);
        }
    }
    for (; j < j1; ++j) {
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g)
            a[g] = _mm512_add_ps(a[g], lane_term16<L2>(_mm512_set1_ps(q[j]), column16(p + g * WIDE, j)));
    }
}

template <int G, bool L2>
VX_AVX512 void lanes_sum_avx512(const float *q, const float *const *p, uint32_t dim, float *sa) {
    __m512 acc[G];
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) acc[g] = _mm512_setzero_ps();
    sum_stretch16<G, L2>(q, p, 0, dim, acc);
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) _mm512_storeu_ps(sa + g * WIDE, acc[g]);
}

template <int G>
VX_AVX512 void lanes_dot_norm_avx512(const float *q, const float *const *p, uint32_t dim, float *sa,
                                     float *sb) {
    __m512 dot[G], norm[G];
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) dot[g] = norm[g] = _mm512_setzero_ps();
    uint32_t j = 0;
    for (; j + STEP <= dim; j += STEP) {
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g) {
            const float *const *pg = p + g * WIDE;
            __m512 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = load_quad(pg + k, j);
            transpose4_quads(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) {
                dot[g] = _mm512_add_ps(dot[g], _mm512_mul_ps(_mm512_set1_ps(q[j + c]), x[c]));
                norm[g] = _mm512_add_ps(norm[g], _mm512_mul_ps(x[c], x[c]));
            }
        }
    }
    for (; j < dim; ++j) {
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g) {
            __m512 v = column16(p + g * WIDE, j);
            dot[g] = _mm512_add_ps(dot[g], _mm512_mul_ps(_mm512_set1_ps(q[j]), v));
            norm[g] = _mm512_add_ps(norm[g], _mm512_mul_ps(v, v));
        }
    }
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) {
        _mm512_storeu_ps(sa + g * WIDE, dot[g]);
        _mm512_storeu_ps(sb + g * WIDE, norm[g]);
    }
}

template <int G>
void lanes_avx512(SumKind kind, const float *q, const float *const *p, uint32_t dim, float *sa, float *sb) {
    switch (kind) {
    case SUM_L2: lanes_sum_avx512<G, true>(q, p, dim, sa); break;
    case SUM_DOT: lanes_sum_avx512<G, false>(q, p, dim, sa); break;
    case SUM_DOT_NORM: lanes_dot_norm_avx512<G>(q, p, dim, sa, sb); break;
    }
}

#pragma GCC diagnostic pop

// width sums of the given kind; p holds width valid vectors. Widths: 8
// (one AVX2 register or one portable group) and 16 (one AVX-512 register,
// or two AVX2 registers); the portable path takes any multiple of eight.
void lanes(SumKind kind, simd_level level, uint32_t width, const float *q, const float *const *p,
           uint32_t dim, float *sa, float *sb) {
    if (level == SIMD_PORTABLE) {
        for (uint32_t g = 0; g < width; g += LANES) lanes_portable(kind, q, p + g, dim, sa + g, sb + g);
    } else if (width == WIDE && level >= SIMD_AVX512) {
        lanes_avx512<1>(kind, q, p, dim, sa, sb);
    } else if (width == 2 * LANES) {
        lanes_avx2<2>(kind, q, p, dim, sa, sb);
    } else {
        lanes_avx2<1>(kind, q, p, dim, sa, sb);
    }
}

/* ---- drivers ---------------------------------------------------------------------
 * Stored vectors are taken sixteen at a time: one AVX-512 register, or two
 * AVX2 registers. A remainder of eight or fewer goes through one AVX2
 * register, and the portable path always takes eight. A short last group
 * and null entries are filled with the query itself and their lanes
 * discarded. Two AVX-512 registers per pass (32 vectors) measured no faster
 * on hot lists and slower on lists streamed from memory (32 streams at
 * once), so the wide kernels run with one group. */

const uint32_t MAX_WIDTH = WIDE;

simd_level kernel_level() { return simd_active(); }

uint32_t pass_width(simd_level level, uint64_t remaining) {
    return (level != SIMD_PORTABLE && remaining > LANES) ? MAX_WIDTH : LANES;
}

// How raw sums become results: the kernel's metric and its values for a
// missing vector and for dimension 0.
struct Finish {
    SumKind kind;
    bool negate;        // inner product: the negated dot product
    bool cosine;        // cosine distance from the sums
    float query_norm2;  // the query's own running sum of squares (cosine)
    float null_value;   // result for a null stored vector or query
};

inline float finish_one(const Finish &f, float a, float b) {
    if (f.cosine) return cosine_distance_from_sums(a, f.query_norm2, b);
    return f.negate ? -a : a;
}

float norm2_sum(const float *v, uint32_t dim) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) sum = sum + v[i] * v[i];
    return sum;
}

Finish finish_for_metric(const float *query, uint32_t dim, int32_t metric) {
    Finish f = {SUM_L2, false, false, 0.0f, VX_DISTANCE_SENTINEL};
    if (metric == METRIC_IP) {
        f.kind = SUM_DOT;
        f.negate = true;
        f.null_value = -0.0f;
    } else if (metric == METRIC_COSINE) {
        f.kind = SUM_DOT_NORM;
        f.cosine = true;
        f.null_value = 1.0f;
        if (query) f.query_norm2 = norm2_sum(query, dim);
    }
    return f;
}

void fill(float *out, uint64_t n, float value) {
    for (uint64_t i = 0; i < n; ++i) out[i] = value;
}

// Asks for the cache lines of the next group's vectors while this group is
// summed: the vectors of a list need not be adjacent, so the processor's own
// prefetcher cannot guess them.
const uint32_t CACHE_LINE_FLOATS = 16;

void prefetch_vectors(const float *const *v, uint64_t count, uint32_t dim) {
    for (uint64_t k = 0; k < count; ++k) {
        if (!v[k]) continue;
        for (uint32_t j = 0; j < dim; j += CACHE_LINE_FLOATS) __builtin_prefetch(v[k] + j, 0, 3);
        __builtin_prefetch(v[k] + dim - 1, 0, 3);
    }
}

void run_list(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
              const Finish &f, float *out) {
    if (!query) {
        fill(out, n, f.null_value);
        return;
    }
    const simd_level level = kernel_level();
    float sa[MAX_WIDTH], sb[MAX_WIDTH];
    const float *p[MAX_WIDTH];
    for (uint64_t i = 0; i < n;) {
        uint32_t width = pass_width(level, n - i);
        uint64_t m = n - i < width ? n - i : width;
        uint64_t next = i + m;
        if (next < n) prefetch_vectors(vectors + next, n - next < MAX_WIDTH ? n - next : MAX_WIDTH, dim);
        for (uint64_t k = 0; k < width; ++k) p[k] = (k < m && vectors[i + k]) ? vectors[i + k] : query;
        lanes(f.kind, level, width, query, p, dim, sa, sb);
        for (uint64_t k = 0; k < m; ++k)
            out[i + k] = vectors[i + k] ? finish_one(f, sa[k], sb[k]) : f.null_value;
        i += m;
    }
}

void run_rows(const float *query, const float *rows, uint64_t n, uint32_t dim, const Finish &f,
              float *out) {
    if (!query) {
        fill(out, n, f.null_value);
        return;
    }
    const simd_level level = kernel_level();
    float sa[MAX_WIDTH], sb[MAX_WIDTH];
    const float *p[MAX_WIDTH];
    for (uint64_t i = 0; i < n;) {
        uint32_t width = pass_width(level, n - i);
        uint64_t m = n - i < width ? n - i : width;
        for (uint64_t k = 0; k < width; ++k) p[k] = k < m ? rows + (i + k) * (uint64_t)dim : query;
        lanes(f.kind, level, width, query, p, dim, sa, sb);
        for (uint64_t k = 0; k < m; ++k) out[i + k] = finish_one(f, sa[k], sb[k]);
        i += m;
    }
}

// vx_vec_distance's values for dimension 0.
float dim_zero_distance(int32_t metric) {
    if (metric == METRIC_IP) return -0.0f;
    if (metric == METRIC_COSINE) return 1.0f;
    return 0.0f;
}

/* ---- squared L2 under an admission bound -------------------------------------------
 * Every term of a squared distance is non-negative (or NaN), and adding a
 * non-negative float never lowers a sum, so a running sum above the bound
 * stays above it to the end. The vectors of a list are summed in stretches
 * of CHECK_DIMS dimensions: after each stretch the ones whose sum is above
 * the bound (an ordered compare, so a NaN sum never is) are dropped and the
 * rest are packed into full lanes again, each lane carrying its running sum
 * on. Within a stretch a lane adds its terms in dimension order exactly as
 * lanes_sum_avx2 (or lanes_sum_avx512) does, so a vector that reaches the end holds the exact
 * bits, and a dropped one is never read further. */

const uint32_t CHECK_DIMS = 64;   // a multiple of STEP
const uint32_t BOUNDED_SPAN = 64; // vectors taken through the stretches together

// Adds the squared differences of dimensions [j0, j1) onto the running sums
// acc of G groups of eight vectors; j0 is a multiple of STEP, and j1 is too
// unless it is the end of the vectors.
template <int G>
VX_AVX2 void l2_stretch_avx2(const float *q, const float *const *p, uint32_t j0, uint32_t j1,
                             float *acc) {
    __m256 a[G];
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) a[g] = _mm256_loadu_ps(acc + g * LANES);
    uint32_t j = j0;
    for (; j + STEP <= j1; j += STEP) {
        __m256 qq = query_pair(q, j);
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g) {
            const float *const *pg = p + g * LANES;
            __m256 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = lane_term<true>(qq, load_pair(pg[k] + j, pg[k + 4] + j));
            transpose4_pairs(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) a[g] = _mm256_add_ps(a[g], x[c]);
        }
    }
    for (; j < j1; ++j) {
        #pragma GCC unroll 2
        for (int g = 0; g < G; ++g)
            a[g] = _mm256_add_ps(a[g], lane_term<true>(_mm256_set1_ps(q[j]), column(p + g * LANES, j)));
    }
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) _mm256_storeu_ps(acc + g * LANES, a[g]);
}

// Eight interleaved sums over [j0, j1).
void l2_stretch_portable(const float *q, const float *const *p, uint32_t j0, uint32_t j1,
                         float *acc) {
    for (uint32_t j = j0; j < j1; ++j) {
        float qj = q[j];
        #pragma GCC unroll 8
        for (uint32_t k = 0; k < LANES; ++k) {
            float d = qj - p[k][j];
            acc[k] = acc[k] + d * d;
        }
    }
}

// The same over G groups of sixteen vectors.
template <int G>
VX_AVX512 void l2_stretch_avx512(const float *q, const float *const *p, uint32_t j0, uint32_t j1,
                                 float *acc) {
    __m512 a[G];
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) a[g] = _mm512_loadu_ps(acc + g * WIDE);
    sum_stretch16<G, true>(q, p, j0, j1, a);
    #pragma GCC unroll 2
    for (int g = 0; g < G; ++g) _mm512_storeu_ps(acc + g * WIDE, a[g]);
}

void l2_stretch(simd_level level, uint32_t width, const float *q, const float *const *p, uint32_t j0,
                uint32_t j1, float *acc) {
    if (level == SIMD_PORTABLE) {
        for (uint32_t g = 0; g < width; g += LANES) l2_stretch_portable(q, p + g, j0, j1, acc + g);
    } else if (width == 2 * WIDE && level >= SIMD_AVX512) {
        l2_stretch_avx512<2>(q, p, j0, j1, acc);
    } else if (width == WIDE && level >= SIMD_AVX512) {
        l2_stretch_avx512<1>(q, p, j0, j1, acc);
    } else if (width == 2 * LANES) {
        l2_stretch_avx2<2>(q, p, j0, j1, acc);
    } else {
        l2_stretch_avx2<1>(q, p, j0, j1, acc);
    }
}

// Vectors summed side by side over one stretch: two registers' worth when
// that many are live, so that two chains of additions overlap.
uint32_t stretch_width(simd_level level, uint32_t remaining) {
    if (level >= SIMD_AVX512 && remaining >= 2 * WIDE) return 2 * WIDE;
    return pass_width(level, remaining);
}

// Up to BOUNDED_SPAN non-null vectors: sums[k] ends as the exact distance of
// vectors[k], or as a partial sum above bound. The live vectors and their
// running sums sit packed at the front of lp and la, padded to a whole pass
// with the query itself (its lanes are ignored).
void l2_bounded_span(const float *query, const float *const *vectors, uint32_t n, uint32_t dim,
                     float bound, simd_level level, float *sums) {
    const float *lp[BOUNDED_SPAN + MAX_WIDTH];
    float la[BOUNDED_SPAN + MAX_WIDTH];
    uint32_t from[BOUNDED_SPAN];
    for (uint32_t k = 0; k < n; ++k) {
        lp[k] = vectors[k];
        la[k] = 0.0f;
        from[k] = k;
    }
    uint32_t nlive = n;
    for (uint32_t j0 = 0; nlive > 0 && j0 < dim;) {
        uint32_t j1 = dim - j0 > CHECK_DIMS ? j0 + CHECK_DIMS : dim;
        for (uint32_t k = nlive; k < nlive + MAX_WIDTH; ++k) {
            lp[k] = query;
            la[k] = 0.0f;
        }
        for (uint32_t i = 0; i < nlive;) {
            uint32_t width = stretch_width(level, nlive - i);
            l2_stretch(level, width, query, lp + i, j0, j1, la + i);
            i += width;
        }
        j0 = j1;
        uint32_t kept = 0;
        for (uint32_t k = 0; k < nlive; ++k) {
            if (la[k] > bound && j0 < dim) {
                sums[from[k]] = la[k];
                continue;
            }
            lp[kept] = lp[k];
            la[kept] = la[k];
            from[kept++] = from[k];
        }
        nlive = kept;
    }
    for (uint32_t k = 0; k < nlive; ++k) sums[from[k]] = la[k];
}

void run_list_l2_bounded(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
                         float bound, float *out) {
    if (!query) return fill(out, n, VX_DISTANCE_SENTINEL);
    const simd_level level = kernel_level();
    const float *span[BOUNDED_SPAN];
    float sums[BOUNDED_SPAN];
    uint64_t where[BOUNDED_SPAN];
    for (uint64_t i = 0; i < n;) {
        uint32_t m = 0;
        for (; i < n && m < BOUNDED_SPAN; ++i) {
            if (!vectors[i]) {
                out[i] = VX_DISTANCE_SENTINEL;
                continue;
            }
            span[m] = vectors[i];
            where[m++] = i;
        }
        l2_bounded_span(query, span, m, dim, bound, level, sums);
        for (uint32_t k = 0; k < m; ++k) out[where[k]] = sums[k];
    }
}

}  // namespace


void batch_l2_squared(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
                      float *out) {
    if (!vectors || !out || n == 0) return;
    if (dim == 0) return fill(out, n, VX_DISTANCE_SENTINEL);
    Finish f = {SUM_L2, false, false, 0.0f, VX_DISTANCE_SENTINEL};
    run_list(query, vectors, n, dim, f, out);
}

void batch_dot(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
               float *out) {
    if (!vectors || !out || n == 0) return;
    if (dim == 0) return fill(out, n, 0.0f);
    Finish f = {SUM_DOT, false, false, 0.0f, 0.0f};
    run_list(query, vectors, n, dim, f, out);
}

void batch_distance(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
                    int32_t metric, float *out) {
    if (!vectors || !out || n == 0) return;
    if (dim == 0) return fill(out, n, dim_zero_distance(metric));
    run_list(query, vectors, n, dim, finish_for_metric(query, dim, metric), out);
}

void batch_l2_squared_bounded(const float *query, const float *const *vectors, uint64_t n,
                              uint32_t dim, float bound, float *out) {
    // No bound at all (+inf, or NaN, which nothing is above): the plain kernel.
    if (!(bound < __builtin_inff())) return batch_l2_squared(query, vectors, n, dim, out);
    if (!vectors || !out || n == 0) return;
    if (dim == 0) return fill(out, n, VX_DISTANCE_SENTINEL);
    run_list_l2_bounded(query, vectors, n, dim, bound, out);
}

void batch_l2_squared_rows(const float *query, const float *rows, uint64_t n, uint32_t dim,
                           float *out) {
    if (!rows || !out || n == 0) return;
    if (dim == 0) return fill(out, n, VX_DISTANCE_SENTINEL);
    Finish f = {SUM_L2, false, false, 0.0f, VX_DISTANCE_SENTINEL};
    run_rows(query, rows, n, dim, f, out);
}

void batch_distance_rows(const float *query, const float *rows, uint64_t n, uint32_t dim,
                         int32_t metric, float *out) {
    if (!rows || !out || n == 0) return;
    if (dim == 0) return fill(out, n, dim_zero_distance(metric));
    run_rows(query, rows, n, dim, finish_for_metric(query, dim, metric), out);
}

float l2_squared_bounded(const float *a, const float *b, uint32_t dim, float bound) {
    float sum = 0.0f;
    uint32_t i = 0;
    // Test the bound once per block of 16 terms: the sum never decreases.
    while (i + 16 <= dim) {
        for (uint32_t end = i + 16; i < end; ++i) {
            float d = a[i] - b[i];
            sum = sum + d * d;
        }
        if (sum > bound) return sum;
    }
    for (; i < dim; ++i) {
        float d = a[i] - b[i];
        sum = sum + d * d;
    }
    return sum;
}

/* ---- many queries per pass ---------------------------------------------------------
 * Sixteen stored vectors are transposed once into a block (element j of
 * vector k at block[j * 16 + k]); each query then needs one broadcast per
 * dimension, and four queries (eight with AVX-512, where one register holds
 * a whole block row) share every load of the block. A lane still
 * adds its own vector's terms in dimension order, so the bits are those of
 * the single-pair loops. */

namespace {

const uint32_t BLOCK = 16;        // stored vectors per transposed block
const uint32_t QUERY_GROUP = 8;   // most queries sharing each load of the block
const uint64_t QUERY_TILE = 32;   // queries run against a block while it is cached

// Portable transpose; missing vectors (beyond m, or null) become zeros.
void block_fill_portable(const float *const *p, uint32_t m, uint32_t dim, float *block) {
    for (uint32_t k = 0; k < BLOCK; ++k) {
        const float *v = k < m ? p[k] : nullptr;
        for (uint32_t j = 0; j < dim; ++j) block[(uint64_t)j * BLOCK + k] = v ? v[j] : 0.0f;
    }
}

// AVX2 transpose of a full block, four dimensions of eight vectors per step.
VX_AVX2 void block_fill_avx2(const float *const *p, uint32_t dim, float *block) {
    uint32_t j = 0;
    for (; j + STEP <= dim; j += STEP) {
        for (uint32_t h = 0; h < BLOCK; h += LANES) {
            const float *const *ph = p + h;
            __m256 x[4];
            #pragma GCC unroll 4
            for (uint32_t k = 0; k < 4; ++k) x[k] = load_pair(ph[k] + j, ph[k + 4] + j);
            transpose4_pairs(x);
            #pragma GCC unroll 4
            for (uint32_t c = 0; c < 4; ++c) _mm256_storeu_ps(block + (uint64_t)(j + c) * BLOCK + h, x[c]);
        }
    }
    for (; j < dim; ++j)
        for (uint32_t k = 0; k < BLOCK; ++k) block[(uint64_t)j * BLOCK + k] = p[k][j];
}

// Running sums of QG queries against the sixteen lanes of a block:
// s[g * 16 + k] for query g and lane k.
template <bool L2>
inline float block_term(float q, float v) {
    if (L2) {
        float d = q - v;
        return d * d;
    }
    return q * v;
}

template <bool L2>
void block_sums_portable(const float *const *q, uint32_t qg, const float *block, uint32_t dim, float *s) {
    for (uint32_t g = 0; g < qg; ++g) {
        float acc[BLOCK] = {0};
        for (uint32_t j = 0; j < dim; ++j) {
            float qj = q[g][j];
            const float *row = block + (uint64_t)j * BLOCK;
            for (uint32_t k = 0; k < BLOCK; ++k) acc[k] = acc[k] + block_term<L2>(qj, row[k]);
        }
        for (uint32_t k = 0; k < BLOCK; ++k) s[g * BLOCK + k] = acc[k];
    }
}

template <int QG, bool L2>
VX_AVX2 void block_sums_avx2(const float *const *q, const float *block, uint32_t dim, float *s) {
    __m256 lo[QG], hi[QG];
    #pragma GCC unroll 4
    for (int g = 0; g < QG; ++g) lo[g] = hi[g] = _mm256_setzero_ps();
    for (uint32_t j = 0; j < dim; ++j) {
        __m256 a = _mm256_loadu_ps(block + (uint64_t)j * BLOCK);
        __m256 b = _mm256_loadu_ps(block + (uint64_t)j * BLOCK + LANES);
        #pragma GCC unroll 4
        for (int g = 0; g < QG; ++g) {
            __m256 qj = _mm256_broadcast_ss(q[g] + j);
            lo[g] = _mm256_add_ps(lo[g], lane_term<L2>(qj, a));
            hi[g] = _mm256_add_ps(hi[g], lane_term<L2>(qj, b));
        }
    }
    #pragma GCC unroll 4
    for (int g = 0; g < QG; ++g) {
        _mm256_storeu_ps(s + g * BLOCK, lo[g]);
        _mm256_storeu_ps(s + g * BLOCK + LANES, hi[g]);
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// AVX-512 transpose of a full block: four dimensions of all sixteen vectors
// per step, each result one block row.
VX_AVX512 void block_fill_avx512(const float *const *p, uint32_t dim, float *block) {
    uint32_t j = 0;
    for (; j + STEP <= dim; j += STEP) {
        __m512 x[4];
        #pragma GCC unroll 4
        for (uint32_t k = 0; k < 4; ++k) x[k] = load_quad(p + k, j);
        transpose4_quads(x);
        #pragma GCC unroll 4
        for (uint32_t c = 0; c < 4; ++c) _mm512_storeu_ps(block + (uint64_t)(j + c) * BLOCK, x[c]);
    }
    for (; j < dim; ++j) _mm512_storeu_ps(block + (uint64_t)j * BLOCK, column16(p, j));
}

// One register per block row, QG queries sharing each row load.
template <int QG, bool L2>
VX_AVX512 void block_sums_avx512(const float *const *q, const float *block, uint32_t dim, float *s) {
    __m512 acc[QG];
    #pragma GCC unroll 8
    for (int g = 0; g < QG; ++g) acc[g] = _mm512_setzero_ps();
    for (uint32_t j = 0; j < dim; ++j) {
        __m512 row = _mm512_loadu_ps(block + (uint64_t)j * BLOCK);
        #pragma GCC unroll 8
        for (int g = 0; g < QG; ++g) acc[g] = _mm512_add_ps(acc[g], lane_term16<L2>(_mm512_set1_ps(q[g][j]), row));
    }
    #pragma GCC unroll 8
    for (int g = 0; g < QG; ++g) _mm512_storeu_ps(s + g * BLOCK, acc[g]);
}

VX_AVX512 void block_norms_avx512(const float *block, uint32_t dim, float *norm) {
    __m512 acc = _mm512_setzero_ps();
    for (uint32_t j = 0; j < dim; ++j) {
        __m512 row = _mm512_loadu_ps(block + (uint64_t)j * BLOCK);
        acc = _mm512_add_ps(acc, _mm512_mul_ps(row, row));
    }
    _mm512_storeu_ps(norm, acc);
}

#pragma GCC diagnostic pop

// Queries that share each load of the block on the given path.
uint32_t query_group(simd_level level) { return level >= SIMD_AVX512 ? 8 : 4; }

template <bool L2>
void block_sums(simd_level level, const float *const *q, uint32_t qg, const float *block, uint32_t dim,
                float *s) {
    if (level == SIMD_PORTABLE) return block_sums_portable<L2>(q, qg, block, dim, s);
    if (level >= SIMD_AVX512) {
        switch (qg) {
        case 8: block_sums_avx512<8, L2>(q, block, dim, s); break;
        case 7: block_sums_avx512<7, L2>(q, block, dim, s); break;
        case 6: block_sums_avx512<6, L2>(q, block, dim, s); break;
        case 5: block_sums_avx512<5, L2>(q, block, dim, s); break;
        case 4: block_sums_avx512<4, L2>(q, block, dim, s); break;
        case 3: block_sums_avx512<3, L2>(q, block, dim, s); break;
        case 2: block_sums_avx512<2, L2>(q, block, dim, s); break;
        default: block_sums_avx512<1, L2>(q, block, dim, s); break;
        }
        return;
    }
    switch (qg) {
    case 4: block_sums_avx2<4, L2>(q, block, dim, s); break;
    case 3: block_sums_avx2<3, L2>(q, block, dim, s); break;
    case 2: block_sums_avx2<2, L2>(q, block, dim, s); break;
    default: block_sums_avx2<1, L2>(q, block, dim, s); break;
    }
}

// Each lane's running sum of squares (cosine), in dimension order.
void block_norms(simd_level level, const float *block, uint32_t dim, float *norm) {
    if (level >= SIMD_AVX512) return block_norms_avx512(block, dim, norm);
    for (uint32_t k = 0; k < BLOCK; ++k) norm[k] = 0.0f;
    for (uint32_t j = 0; j < dim; ++j) {
        const float *row = block + (uint64_t)j * BLOCK;
        for (uint32_t k = 0; k < BLOCK; ++k) norm[k] = norm[k] + row[k] * row[k];
    }
}

struct QueryTile {
    const float *queries;  // first query of the tile
    uint64_t count;
    uint32_t dim;
    const Finish *finish;  // per query of the tile
};

// One block (m live lanes starting at vectors[first]) against one tile.
void block_against_tile(simd_level level, const QueryTile &tile, const float *block, const float *const *p,
                        uint32_t m, uint64_t first, float *out, uint64_t out_stride) {
    const Finish &f = tile.finish[0];
    float norm[BLOCK] = {0}, s[QUERY_GROUP * BLOCK];
    if (f.cosine) block_norms(level, block, tile.dim, norm);
    const uint32_t group = query_group(level);
    for (uint64_t g0 = 0; g0 < tile.count; g0 += group) {
        uint32_t qg = (uint32_t)(tile.count - g0 < group ? tile.count - g0 : group);
        const float *q[QUERY_GROUP];
        for (uint32_t g = 0; g < qg; ++g) q[g] = tile.queries + (g0 + g) * tile.dim;
        if (f.kind == SUM_L2)
            block_sums<true>(level, q, qg, block, tile.dim, s);
        else
            block_sums<false>(level, q, qg, block, tile.dim, s);
        for (uint32_t g = 0; g < qg; ++g) {
            const Finish &fq = tile.finish[g0 + g];
            float *row = out + (g0 + g) * out_stride + first;
            for (uint32_t k = 0; k < m; ++k)
                row[k] = p[k] ? finish_one(fq, s[g * BLOCK + k], norm[k]) : fq.null_value;
        }
    }
}

}  // namespace

int batch_distance_queries(const float *queries, uint64_t nq, const float *const *vectors,
                           uint64_t n, uint32_t dim, int32_t metric, float *out,
                           uint64_t out_stride) {
    if (!queries || !vectors || !out || n == 0 || nq == 0) return 1;
    if (dim == 0) {
        for (uint64_t q = 0; q < nq; ++q) fill(out + q * out_stride, n, dim_zero_distance(metric));
        return 1;
    }
    float *block = (float *)vx_malloc((uint64_t)dim * BLOCK * sizeof(float));
    Finish *finish = (Finish *)vx_malloc((nq < QUERY_TILE ? nq : QUERY_TILE) * sizeof(Finish));
    if (!block || !finish) {
        vx_free(block);
        vx_free(finish);
        return 0;
    }
    const simd_level level = kernel_level();
    for (uint64_t t0 = 0; t0 < nq; t0 += QUERY_TILE) {
        QueryTile tile = {queries + t0 * dim, nq - t0 < QUERY_TILE ? nq - t0 : QUERY_TILE, dim, finish};
        for (uint64_t q = 0; q < tile.count; ++q) finish[q] = finish_for_metric(tile.queries + q * dim, dim, metric);
        for (uint64_t i = 0; i < n; i += BLOCK) {
            uint32_t m = (uint32_t)(n - i < BLOCK ? n - i : BLOCK);
            const float *p[BLOCK];
            bool full = m == BLOCK;
            for (uint32_t k = 0; k < BLOCK; ++k) {
                p[k] = k < m ? vectors[i + k] : nullptr;
                full = full && p[k];
            }
            if (full && level >= SIMD_AVX512)
                block_fill_avx512(p, dim, block);
            else if (full && level >= SIMD_AVX2)
                block_fill_avx2(p, dim, block);
            else
                block_fill_portable(p, m, dim, block);
            block_against_tile(level, tile, block, p, m, i, out + t0 * out_stride, out_stride);
        }
    }
    vx_free(block);
    vx_free(finish);
    return 1;
}
