// Many-at-once quantizer distance kernels. Each output keeps its own running
// sums in dimension order, exactly as the single-vector functions form them;
// speed comes from computing eight independent outputs side by side (eight
// code vectors, or eight centroids), never from reordering one sum. An AVX2
// path is taken when vx_simd_internal.h allows it; the portable path gives
// the same bits.
#include "vexal.h"
#include "vx_quant_internal.h"
#include "vx_simd_internal.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VX_QUANT_X86 1
#endif

static const int LANES = 8;

static bool have_avx2() {
#ifdef VX_QUANT_X86
    return simd_active() >= SIMD_AVX2;
#else
    return false;
#endif
}

/* ---- scalar quantizer: eight code vectors per pass ------------------------ */

// Portable form: eight interleaved sums, one per code vector.
static void sq_lanes_portable(const vx_sq_quantizer *q, const uint8_t *const *p,
                              const float *x, int32_t metric, float *res) {
    const float *mn = q->min, *scale = q->scale;
    float a[LANES] = {0}, b[LANES] = {0};
    float qq = 0.0f;
    for (uint32_t d = 0; d < q->dim; d++) {
        const float xd = x[d];
        qq = qq + xd * xd;
        for (int l = 0; l < LANES; l++) {
            const float dec = sq_decode_value(p[l][d], mn[d], scale[d]);
            if (metric == 0) {
                const float diff = xd - dec;
                a[l] = a[l] + diff * diff;
            } else if (metric == 1) {
                a[l] = a[l] + dec * xd;
            } else {
                a[l] = a[l] + xd * dec;
                b[l] = b[l] + dec * dec;
            }
        }
    }
    for (int l = 0; l < LANES; l++) {
        if (metric == 0) res[l] = vx_math_sqrt_f32(a[l]);
        else if (metric == 1) res[l] = -a[l];
        else res[l] = cosine_from_sums(a[l], qq, b[l]);
    }
}

#ifdef VX_QUANT_X86
static inline uint32_t load_u32(const uint8_t *p) {
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
}

// One dimension for eight lanes: c holds the eight code bytes as 32-bit ints.
template <int METRIC>
__attribute__((target("avx2"), always_inline)) static inline void
sq_step_avx2(__m256i c, float mn, float scale, float x, __m256 &a, __m256 &b) {
    const __m256 dec = _mm256_add_ps(_mm256_div_ps(_mm256_cvtepi32_ps(c), _mm256_set1_ps(scale)),
                                     _mm256_set1_ps(mn));
    const __m256 xv = _mm256_set1_ps(x);
    if (METRIC == 0) {
        const __m256 diff = _mm256_sub_ps(xv, dec);
        a = _mm256_add_ps(a, _mm256_mul_ps(diff, diff));
    } else if (METRIC == 1) {
        a = _mm256_add_ps(a, _mm256_mul_ps(dec, xv));
    } else {
        a = _mm256_add_ps(a, _mm256_mul_ps(xv, dec));
        b = _mm256_add_ps(b, _mm256_mul_ps(dec, dec));
    }
}

template <int METRIC>
__attribute__((target("avx2"))) static void sq_lanes_avx2(const vx_sq_quantizer *q,
                                                          const uint8_t *const *p,
                                                          const float *x, float *res) {
    const float *mn = q->min, *scale = q->scale;
    const uint32_t dim = q->dim;
    const __m256i low = _mm256_set1_epi32(0xff);
    __m256 a = _mm256_setzero_ps(), b = _mm256_setzero_ps();
    uint32_t d = 0;
    // Four dimensions per load: one 32-bit word from each code vector.
    for (; d + 4 <= dim; d += 4) {
        const __m256i w = _mm256_setr_epi32(
            (int)load_u32(p[0] + d), (int)load_u32(p[1] + d), (int)load_u32(p[2] + d),
            (int)load_u32(p[3] + d), (int)load_u32(p[4] + d), (int)load_u32(p[5] + d),
            (int)load_u32(p[6] + d), (int)load_u32(p[7] + d));
        sq_step_avx2<METRIC>(_mm256_and_si256(w, low), mn[d], scale[d], x[d], a, b);
        sq_step_avx2<METRIC>(_mm256_and_si256(_mm256_srli_epi32(w, 8), low), mn[d + 1],
                             scale[d + 1], x[d + 1], a, b);
        sq_step_avx2<METRIC>(_mm256_and_si256(_mm256_srli_epi32(w, 16), low), mn[d + 2],
                             scale[d + 2], x[d + 2], a, b);
        sq_step_avx2<METRIC>(_mm256_srli_epi32(w, 24), mn[d + 3], scale[d + 3], x[d + 3], a, b);
    }
    for (; d < dim; d++) {
        const __m256i c = _mm256_setr_epi32(p[0][d], p[1][d], p[2][d], p[3][d], p[4][d], p[5][d],
                                            p[6][d], p[7][d]);
        sq_step_avx2<METRIC>(c, mn[d], scale[d], x[d], a, b);
    }
    float av[LANES], bv[LANES];
    _mm256_storeu_ps(av, a);
    _mm256_storeu_ps(bv, b);
    float qq = 0.0f;
    if (METRIC == 2)
        for (uint32_t i = 0; i < dim; i++) qq = qq + x[i] * x[i];
    for (int l = 0; l < LANES; l++) {
        if (METRIC == 0) res[l] = vx_math_sqrt_f32(av[l]);
        else if (METRIC == 1) res[l] = -av[l];
        else res[l] = cosine_from_sums(av[l], qq, bv[l]);
    }
}
#endif

// Eight lanes; a short final group repeats its first vector in the spare
// lanes and keeps only the real results.
static void sq_lanes(const vx_sq_quantizer *q, const uint8_t *const *p, const float *x,
                     int32_t metric, float *res, bool avx2) {
#ifdef VX_QUANT_X86
    if (avx2) {
        if (metric == 0) sq_lanes_avx2<0>(q, p, x, res);
        else if (metric == 1) sq_lanes_avx2<1>(q, p, x, res);
        else sq_lanes_avx2<2>(q, p, x, res);
        return;
    }
#endif
    (void)avx2;
    sq_lanes_portable(q, p, x, metric, res);
}

void sq_distance_many(const vx_sq_quantizer *q, const uint8_t *const *codes, uint64_t n,
                      const float *query, int32_t metric, float *out) {
    if (!q || !codes || !query || !out) return;
    if (metric < 0 || metric > 2) {
        for (uint64_t i = 0; i < n; i++) out[i] = VX_DISTANCE_SENTINEL;
        return;
    }
    const bool avx2 = have_avx2();
    uint64_t i = 0;
    for (; i + LANES <= n; i += LANES) sq_lanes(q, codes + i, query, metric, out + i, avx2);
    if (i < n) {
        const uint8_t *p[LANES];
        float res[LANES];
        for (int l = 0; l < LANES; l++) p[l] = codes[i + ((uint64_t)l < n - i ? l : 0)];
        sq_lanes(q, p, query, metric, res, avx2);
        for (uint64_t l = 0; i + l < n; l++) out[i + l] = res[l];
    }
}

/* ---- product quantizer ---------------------------------------------------- */

// Portable form: eight centroids per pass, each its own sum.
static void subspace_l2_portable(const float *sub, const float *book, uint32_t ksub,
                                 uint32_t dsub, float *out) {
    uint32_t j = 0;
    for (; j + LANES <= ksub; j += LANES) {
        float acc[LANES] = {0};
        const float *c = book + (uint64_t)j * dsub;
        for (uint32_t t = 0; t < dsub; t++)
            for (int l = 0; l < LANES; l++) {
                const float diff = sub[t] - c[(uint64_t)l * dsub + t];
                acc[l] = acc[l] + diff * diff;
            }
        for (int l = 0; l < LANES; l++) out[j + l] = acc[l];
    }
    for (; j < ksub; j++) {
        const float *c = book + (uint64_t)j * dsub;
        float acc = 0.0f;
        for (uint32_t t = 0; t < dsub; t++) {
            const float diff = sub[t] - c[t];
            acc = acc + diff * diff;
        }
        out[j] = acc;
    }
}

#ifdef VX_QUANT_X86
// Eight centroids per pass, gathered at stride dsub.
__attribute__((target("avx2"))) static void subspace_l2_avx2(const float *sub, const float *book,
                                                             uint32_t ksub, uint32_t dsub,
                                                             float *out) {
    const int s = (int)dsub;
    const __m256i idx = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
    uint32_t j = 0;
    for (; j + LANES <= ksub; j += LANES) {
        const float *c = book + (uint64_t)j * dsub;
        __m256 acc = _mm256_setzero_ps();
        for (uint32_t t = 0; t < dsub; t++) {
            const __m256 cv = _mm256_i32gather_ps(c + t, idx, 4);
            const __m256 diff = _mm256_sub_ps(_mm256_set1_ps(sub[t]), cv);
            acc = _mm256_add_ps(acc, _mm256_mul_ps(diff, diff));
        }
        _mm256_storeu_ps(out + j, acc);
    }
    if (j < ksub) subspace_l2_portable(sub, book + (uint64_t)j * dsub, ksub - j, dsub, out + j);
}
#endif

// Gather offsets are 32-bit: seven strides must fit.
static const uint32_t GATHER_MAX_DSUB = 0x7fffffff / 8;

void pq_subspace_l2(const float *sub, const float *book, uint32_t ksub, uint32_t dsub,
                    float *out) {
#ifdef VX_QUANT_X86
    if (ksub >= (uint32_t)LANES && dsub <= GATHER_MAX_DSUB && have_avx2()) {
        subspace_l2_avx2(sub, book, ksub, dsub, out);
        return;
    }
#endif
    subspace_l2_portable(sub, book, ksub, dsub, out);
}

void pq_l2_table(const vx_pq_quantizer *q, const float *query, float *table) {
    for (uint32_t s = 0; s < q->m; s++)
        pq_subspace_l2(query + (uint64_t)s * q->dsub, q->codebooks[s], q->ksub, q->dsub,
                       table + (uint64_t)s * q->ksub);
}

// Direct form: eight code vectors per pass, each lane reading the centroids
// its own codes name.
static void pq_lanes_direct(const vx_pq_quantizer *q, const float *x,
                            const uint8_t *const *p, int32_t metric, float *res) {
    const uint32_t m = q->m, dsub = q->dsub;
    float a[LANES] = {0}, b[LANES] = {0};
    float qq = 0.0f;
    const bool across = metric == 1 || metric == 2;
    for (uint32_t s = 0; s < m; s++) {
        const float *xs = x + (uint64_t)s * dsub;
        const float *c[LANES];
        for (int l = 0; l < LANES; l++) c[l] = q->codebooks[s] + (uint64_t)p[l][s] * dsub;
        if (across) {
            for (uint32_t t = 0; t < dsub; t++) {
                qq = qq + xs[t] * xs[t];
                for (int l = 0; l < LANES; l++) {
                    a[l] = a[l] + c[l][t] * xs[t];
                    b[l] = b[l] + c[l][t] * c[l][t];
                }
            }
        } else {
            float part[LANES] = {0};
            for (uint32_t t = 0; t < dsub; t++)
                for (int l = 0; l < LANES; l++) {
                    const float diff = xs[t] - c[l][t];
                    part[l] = part[l] + diff * diff;
                }
            for (int l = 0; l < LANES; l++) a[l] = a[l] + part[l];
        }
    }
    for (int l = 0; l < LANES; l++) {
        if (metric == 1) res[l] = -a[l];
        else if (metric == 2) res[l] = cosine_from_sums(a[l], qq, b[l]);
        else if (metric == 0) res[l] = vx_math_sqrt_f32(a[l]);
        else res[l] = a[l];
    }
}

// A table pays for itself once there are more code vectors than about a
// quarter of the centroids of one sub-space.
static bool pq_table_pays(const vx_pq_quantizer *q, uint64_t n, int32_t metric) {
    return metric != 1 && metric != 2 && n >= (uint64_t)LANES && n * 4 >= q->ksub;
}

// Code vectors named by a pointer array.
struct CodeList {
    const uint8_t *const *codes;
    const uint8_t *operator[](uint64_t i) const { return codes[i]; }
};

// Code vectors stored back to back, stride bytes apart.
struct CodeRows {
    const uint8_t *codes;
    uint64_t stride;
    const uint8_t *operator[](uint64_t i) const { return codes + i * stride; }
};

template <class Codes>
static void pq_distances(const vx_pq_quantizer *q, const float *query, Codes codes, uint64_t n,
                         int32_t metric, float *out) {
    if (q->m > 0 && pq_table_pays(q, n, metric)) {
        float *table = (float *)vx_malloc((uint64_t)q->m * q->ksub * sizeof(float));
        if (table) {
            pq_l2_table(q, query, table);
            for (uint64_t i = 0; i < n; i++) out[i] = pq_l2_from_table(q, table, codes[i], metric);
            vx_free(table);
            return;
        }
    }
    uint64_t i = 0;
    if (q->m > 0) {
        for (; i + LANES <= n; i += LANES) {
            const uint8_t *p[LANES];
            bool valid = true;
            for (int l = 0; l < LANES; l++) {
                p[l] = codes[i + l];
                valid = valid && pq_codes_valid(q, p[l]);
            }
            if (valid) {
                pq_lanes_direct(q, query, p, metric, out + i);
            } else {
                for (int l = 0; l < LANES; l++) out[i + l] = vx_pq_distance(q, query, p[l], metric);
            }
        }
    }
    for (; i < n; i++) out[i] = vx_pq_distance(q, query, codes[i], metric);
}

void pq_distance_many(const vx_pq_quantizer *q, const float *query,
                      const uint8_t *const *codes, uint64_t n, int32_t metric, float *out) {
    if (!q || !query || !codes || !out) return;
    pq_distances(q, query, CodeList{codes}, n, metric, out);
}

void pq_distance_rows(const vx_pq_quantizer *q, const float *query, const uint8_t *codes,
                      uint64_t n, int32_t metric, float *out) {
    if (!q || !query || !codes || !out) return;
    pq_distances(q, query, CodeRows{codes, q->m}, n, metric, out);
}

/* ---- product quantizer: encoding eight vectors per pass ------------------- */

// Nearest-centroid search for eight vectors at once: lane l of every step is
// vector l. Their sub-vectors are first transposed into sub[t * 8 + l], so
// each centroid element is broadcast against eight contiguous lanes. Every
// (vector, centroid) distance is still one running sum over t, and each lane
// keeps its own strict-less-than minimum in centroid order.
static void nearest8_portable(const float *sub, const float *book, uint32_t ksub, uint32_t dsub,
                              uint32_t *bestj) {
    float best[LANES];
    for (int l = 0; l < LANES; l++) {
        best[l] = VX_DISTANCE_SENTINEL;
        bestj[l] = 0;
    }
    for (uint32_t j = 0; j < ksub; j++) {
        const float *c = book + (uint64_t)j * dsub;
        float acc[LANES] = {0};
        for (uint32_t t = 0; t < dsub; t++)
            for (int l = 0; l < LANES; l++) {
                const float diff = sub[(uint64_t)t * LANES + l] - c[t];
                acc[l] = acc[l] + diff * diff;
            }
        for (int l = 0; l < LANES; l++)
            if (acc[l] < best[l]) {
                best[l] = acc[l];
                bestj[l] = j;
            }
    }
}

#ifdef VX_QUANT_X86
// Four centroids per pass so that four addition chains overlap.
__attribute__((target("avx2"))) static void nearest8_avx2(const float *sub, const float *book,
                                                          uint32_t ksub, uint32_t dsub,
                                                          uint32_t *bestj_out) {
    __m256 best = _mm256_set1_ps(VX_DISTANCE_SENTINEL);
    __m256i bestj = _mm256_setzero_si256();
    uint32_t j = 0;
    auto take = [](__m256 acc, uint32_t jj, __m256 &b, __m256i &bj)
        __attribute__((target("avx2"), always_inline)) {
        const __m256 less = _mm256_cmp_ps(acc, b, _CMP_LT_OQ);
        b = _mm256_blendv_ps(b, acc, less);
        bj = _mm256_blendv_epi8(bj, _mm256_set1_epi32((int)jj), _mm256_castps_si256(less));
    };
    for (; j + 4 <= ksub; j += 4) {
        const float *c0 = book + (uint64_t)j * dsub;
        const float *c1 = c0 + dsub, *c2 = c1 + dsub, *c3 = c2 + dsub;
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (uint32_t t = 0; t < dsub; t++) {
            const __m256 x = _mm256_loadu_ps(sub + (uint64_t)t * LANES);
            const __m256 d0 = _mm256_sub_ps(x, _mm256_set1_ps(c0[t]));
            const __m256 d1 = _mm256_sub_ps(x, _mm256_set1_ps(c1[t]));
            const __m256 d2 = _mm256_sub_ps(x, _mm256_set1_ps(c2[t]));
            const __m256 d3 = _mm256_sub_ps(x, _mm256_set1_ps(c3[t]));
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(d0, d0));
            a1 = _mm256_add_ps(a1, _mm256_mul_ps(d1, d1));
            a2 = _mm256_add_ps(a2, _mm256_mul_ps(d2, d2));
            a3 = _mm256_add_ps(a3, _mm256_mul_ps(d3, d3));
        }
        take(a0, j, best, bestj);
        take(a1, j + 1, best, bestj);
        take(a2, j + 2, best, bestj);
        take(a3, j + 3, best, bestj);
    }
    for (; j < ksub; j++) {
        const float *c = book + (uint64_t)j * dsub;
        __m256 a = _mm256_setzero_ps();
        for (uint32_t t = 0; t < dsub; t++) {
            const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(sub + (uint64_t)t * LANES),
                                           _mm256_set1_ps(c[t]));
            a = _mm256_add_ps(a, _mm256_mul_ps(d, d));
        }
        take(a, j, best, bestj);
    }
    _mm256_storeu_si256((__m256i *)bestj_out, bestj);
}
#endif

void pq_encode_many(const vx_pq_quantizer *q, const float *data, uint64_t n, uint8_t *codes) {
    const uint32_t m = q->m, dsub = q->dsub;
    const uint64_t dim = q->dim;
    uint64_t i = 0;
    float *sub = n >= (uint64_t)LANES ? (float *)vx_malloc((uint64_t)dsub * LANES * sizeof(float))
                                      : nullptr;
    if (sub) {
        const bool avx2 = have_avx2();
        for (; i + LANES <= n; i += LANES) {
            const float *rows = data + i * dim;
            for (uint32_t s = 0; s < m; s++) {
                for (uint32_t t = 0; t < dsub; t++)
                    for (int l = 0; l < LANES; l++)
                        sub[(uint64_t)t * LANES + l] = rows[l * dim + (uint64_t)s * dsub + t];
                uint32_t bestj[LANES];
#ifdef VX_QUANT_X86
                if (avx2) nearest8_avx2(sub, q->codebooks[s], q->ksub, dsub, bestj);
                else
#endif
                    nearest8_portable(sub, q->codebooks[s], q->ksub, dsub, bestj);
                for (int l = 0; l < LANES; l++) codes[(i + l) * m + s] = (uint8_t)bestj[l];
            }
        }
        (void)avx2;
        vx_free(sub);
    }
    for (; i < n; i++) vx_pq_encode(q, data + i * dim, codes + i * m);
}
