// Batch distance kernels: one query against many stored vectors.
//
// A single distance is one running sum in index order and cannot be split
// across its own dimensions. Speed comes from computing eight distances at
// once instead: lane k of every register belongs to stored vector k, so each
// lane performs exactly the additions of the single-pair loop, in the same
// order. With AVX2 the eight vectors are read eight dimensions at a time and
// transposed in registers; the portable path keeps eight scalar sums. Both
// give the bits of vx_vec_l2_squared, vx_vec_dot and vx_vec_distance.
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

bool use_avx2() { return simd_active() >= SIMD_AVX2; }

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

// width sums of the given kind (8, or 16 on the AVX2 path); p holds width
// valid vectors.
void lanes(SumKind kind, bool avx2, uint32_t width, const float *q, const float *const *p,
           uint32_t dim, float *sa, float *sb) {
    if (!avx2) {
        for (uint32_t g = 0; g < width; g += LANES) lanes_portable(kind, q, p + g, dim, sa + g, sb + g);
    } else if (width == 2 * LANES) {
        lanes_avx2<2>(kind, q, p, dim, sa, sb);
    } else {
        lanes_avx2<1>(kind, q, p, dim, sa, sb);
    }
}

/* ---- drivers ---------------------------------------------------------------------
 * Stored vectors are taken sixteen at a time on the AVX2 path (eight for a
 * remainder of eight or fewer, and always eight on the portable path); a
 * short last group and null entries are filled with the query itself and
 * their lanes discarded. */

const uint32_t MAX_WIDTH = 2 * LANES;

uint32_t pass_width(bool avx2, uint64_t remaining) {
    return (avx2 && remaining > LANES) ? MAX_WIDTH : LANES;
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

void run_list(const float *query, const float *const *vectors, uint64_t n, uint32_t dim,
              const Finish &f, float *out) {
    if (!query) {
        fill(out, n, f.null_value);
        return;
    }
    const bool avx2 = use_avx2();
    float sa[MAX_WIDTH], sb[MAX_WIDTH];
    const float *p[MAX_WIDTH];
    for (uint64_t i = 0; i < n;) {
        uint32_t width = pass_width(avx2, n - i);
        uint64_t m = n - i < width ? n - i : width;
        for (uint64_t k = 0; k < width; ++k) p[k] = (k < m && vectors[i + k]) ? vectors[i + k] : query;
        lanes(f.kind, avx2, width, query, p, dim, sa, sb);
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
    const bool avx2 = use_avx2();
    float sa[MAX_WIDTH], sb[MAX_WIDTH];
    const float *p[MAX_WIDTH];
    for (uint64_t i = 0; i < n;) {
        uint32_t width = pass_width(avx2, n - i);
        uint64_t m = n - i < width ? n - i : width;
        for (uint64_t k = 0; k < width; ++k) p[k] = k < m ? rows + (i + k) * (uint64_t)dim : query;
        lanes(f.kind, avx2, width, query, p, dim, sa, sb);
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
