// Product quantizer: sub-space codebooks sampled from training vectors, one
// code byte per sub-space, distances against the selected centroids.
#include "vexal.h"
#include "vx_quant_internal.h"

// A code is one byte, so a sub-space holds at most 1 << 8 centroids.
static const int32_t PQ_MAX_NBITS = 8;

extern "C" VX_API vx_status vx_pq_create(vx_arena *arena, uint32_t dim, uint32_t m,
                                         int32_t nbits, vx_pq_quantizer **out) {
    if (!arena || !out || dim == 0 || m == 0 || dim % m != 0) return VX_ERR_INVALID_ARG;
    // More than 8 bits would not fit a code byte (and wide shifts are undefined).
    if (nbits < 0 || nbits > PQ_MAX_NBITS) return VX_ERR_INVALID_ARG;
    vx_pq_quantizer *q = (vx_pq_quantizer *)vx_arena_calloc(arena, 1, sizeof(vx_pq_quantizer));
    if (!q) return VX_ERR_NO_MEMORY;
    q->dim = dim;
    q->m = m;
    q->nbits = nbits;
    q->ksub = 1u << nbits;
    q->dsub = dim / m;
    q->arena = arena;
    q->codebooks = (float **)vx_arena_alloc(arena, (uint64_t)m * sizeof(float *));
    if (!q->codebooks) return VX_ERR_NO_MEMORY;
    const uint64_t book_bytes = (uint64_t)q->ksub * q->dsub * sizeof(float);
    for (uint32_t s = 0; s < m; s++) {
        q->codebooks[s] = (float *)vx_arena_alloc(arena, book_bytes);
        if (!q->codebooks[s]) return VX_ERR_NO_MEMORY;
        vx_memset(q->codebooks[s], 0, book_bytes);
    }
    *out = q;
    return VX_OK;
}

extern "C" VX_API void vx_pq_destroy(vx_pq_quantizer *) {}

extern "C" VX_API vx_status vx_pq_train(vx_pq_quantizer *q, const float *data, uint64_t n) {
    if (!q || !data || n == 0) return VX_ERR_INVALID_ARG;
    const uint64_t dim = q->dim, dsub = q->dsub;
    if (n > UINT64_MAX / sizeof(float) / (dsub ? dsub : 1)) return VX_ERR_NO_MEMORY;
    for (uint32_t s = 0; s < q->m; s++) {
        // The sub-vectors of sub-space s, one row per training vector; the
        // scratch stays in the arena.
        float *sub = (float *)vx_arena_alloc(q->arena, n * dsub * sizeof(float));
        if (!sub) return VX_ERR_NO_MEMORY;
        for (uint64_t j = 0; j < n; j++)
            vx_memcpy(sub + j * dsub, data + j * dim + s * dsub, dsub * sizeof(float));
        float *book = q->codebooks[s];
        for (uint32_t c = 0; c < q->ksub; c++) {
            uint64_t idx = vx_rand() % n;
            vx_memcpy(book + (uint64_t)c * dsub, sub + idx * dsub, dsub * sizeof(float));
        }
    }
    return VX_OK;
}

// Squared L2 between a sub-vector and a centroid: one running sum from +0.0.
static inline float sub_l2(const float *a, const float *b, uint32_t n) {
    float sum = 0.0f;
    for (uint32_t t = 0; t < n; t++) {
        float diff = a[t] - b[t];
        sum = sum + diff * diff;
    }
    return sum;
}

// Index of the nearest centroid of one codebook, the lowest on ties; 0 when
// no distance is below the largest float. Distances are formed a bounded
// chunk at a time, so even a hand-made record with more centroids than a
// code byte can name stays within the buffer.
static uint8_t pq_nearest(const float *sub, const float *book, uint32_t ksub, uint32_t dsub) {
    const uint32_t chunk = 1u << PQ_MAX_NBITS;
    float dist[1u << PQ_MAX_NBITS];
    float best = VX_DISTANCE_SENTINEL;
    uint32_t bestj = 0;
    for (uint32_t j0 = 0; j0 < ksub; j0 += chunk) {
        const uint32_t count = ksub - j0 < chunk ? ksub - j0 : chunk;
        pq_subspace_l2(sub, book + (uint64_t)j0 * dsub, count, dsub, dist);
        for (uint32_t j = 0; j < count; j++) {
            if (dist[j] < best) {
                best = dist[j];
                bestj = j0 + j;
            }
        }
    }
    return (uint8_t)bestj;
}

static void pq_encode_row(const vx_pq_quantizer *q, const float *v, uint8_t *codes) {
    for (uint32_t s = 0; s < q->m; s++)
        codes[s] = pq_nearest(v + (uint64_t)s * q->dsub, q->codebooks[s], q->ksub, q->dsub);
}

extern "C" VX_API void vx_pq_encode(const vx_pq_quantizer *q, const float *v, uint8_t *codes) {
    if (!q || !v || !codes) return;
    pq_encode_row(q, v, codes);
}

extern "C" VX_API void vx_pq_encode_batch(const vx_pq_quantizer *q, const float *data,
                                          uint8_t *codes, uint64_t n) {
    if (!q || !data || !codes || n == 0) return;
    pq_encode_many(q, data, n, codes);
}

// The centroid that code byte s names in sub-space s.
static inline const float *pq_centroid(const vx_pq_quantizer *q, uint32_t s, uint8_t code) {
    return q->codebooks[s] + (uint64_t)code * q->dsub;
}

// Distance when the quantizer has no sub-spaces.
static float pq_empty_distance(int32_t metric) {
    switch (metric) {
    case VX_METRIC_IP: return -0.0f;
    case VX_METRIC_COSINE: return 1.0f;
    default: return 0.0f;
    }
}

extern "C" VX_API float vx_pq_distance(const vx_pq_quantizer *q, const float *query,
                                       const uint8_t *codes, int32_t metric) {
    if (!q || !query || !codes) return VX_DISTANCE_SENTINEL;
    const uint32_t m = q->m, dsub = q->dsub;
    if (m == 0) return pq_empty_distance(metric);
    if (!pq_codes_valid(q, codes)) return VX_DISTANCE_SENTINEL;
    if (metric == VX_METRIC_IP || metric == VX_METRIC_COSINE) {
        // One running sum across all sub-spaces (not grouped by sub-space).
        float dot = 0.0f, qq = 0.0f, cc = 0.0f;
        for (uint32_t s = 0; s < m; s++) {
            const float *c = pq_centroid(q, s, codes[s]);
            const float *x = query + (uint64_t)s * dsub;
            for (uint32_t t = 0; t < dsub; t++) {
                dot = dot + c[t] * x[t];
                qq = qq + x[t] * x[t];
                cc = cc + c[t] * c[t];
            }
        }
        if (metric == VX_METRIC_IP) return -dot;
        return cosine_from_sums(dot, qq, cc);
    }
    // L2 grouped by sub-space: each partial sum starts at +0.0.
    float total = 0.0f;
    for (uint32_t s = 0; s < m; s++)
        total = total + sub_l2(query + (uint64_t)s * dsub, pq_centroid(q, s, codes[s]), dsub);
    return metric == VX_METRIC_L2 ? vx_math_sqrt_f32(total) : total;
}

extern "C" VX_API void vx_pq_distance_batch(const vx_pq_quantizer *q, const float *query,
                                            const uint8_t *codes, float *out, uint64_t n,
                                            int32_t metric) {
    pq_distance_rows(q, query, codes, n, metric, out);
}
