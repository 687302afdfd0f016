// Quantizer helpers shared by the quantizer sources, the index and the tests.
#ifndef VX_QUANT_INTERNAL_H
#define VX_QUANT_INTERNAL_H

#include "vexal.h"

// Code c of a dimension decodes to c / scale + min: a true division, so the
// value matches what training's scale promises bit for bit.
static inline float sq_decode_value(uint8_t c, float mn, float scale) {
    return (float)c / scale + mn;
}

// One minus the cosine from the three running sums; 1.0 when either squared
// norm is exactly zero (a NaN is not zero).
static inline float cosine_from_sums(float dot, float qq, float other) {
    if (qq == 0.0f || other == 0.0f) return 1.0f;
    return 1.0f - dot / (vx_math_sqrt_f32(other) * vx_math_sqrt_f32(qq));
}

// Distances of one query to n scalar-quantized code vectors at once;
// out[i] is bit-identical to vx_sq_distance(q, codes[i], query, metric).
// Nothing is written for null q, codes, query or out (every codes[i] must
// point to q->dim bytes).
void sq_distance_many(const vx_sq_quantizer *q, const uint8_t *const *codes, uint64_t n,
                      const float *query, int32_t metric, float *out);

// Distances of one query to n product-quantized code vectors at once;
// out[i] is bit-identical to vx_pq_distance(q, query, codes[i], metric).
// Nothing is written for null q, codes, query or out. For many codes under
// an L2 metric it goes through a distance table (see pq_l2_table).
void pq_distance_many(const vx_pq_quantizer *q, const float *query,
                      const uint8_t *const *codes, uint64_t n, int32_t metric, float *out);

// The same over code vectors stored back to back, m bytes apart.
void pq_distance_rows(const vx_pq_quantizer *q, const float *query, const uint8_t *codes,
                      uint64_t n, int32_t metric, float *out);

// Squared L2 from one sub-vector to every centroid of one codebook:
// out[j] = sum over t of (sub[t] - book[j * dsub + t])^2, one running sum
// from +0.0 per centroid, several centroids per pass.
void pq_subspace_l2(const float *sub, const float *book, uint32_t ksub, uint32_t dsub,
                    float *out);

// Codes of n row-major vectors, byte-identical to vx_pq_encode of each; eight
// vectors share each pass over a codebook. q, data and codes must be valid.
void pq_encode_many(const vx_pq_quantizer *q, const float *data, uint64_t n, uint8_t *codes);

// The per-sub-space partial sums of the L2 distance for every possible code:
// table[s * ksub + j] is the partial sum of sub-space s against centroid j
// (m * ksub floats). Building it costs one encoding; afterwards each code
// vector costs m additions.
void pq_l2_table(const vx_pq_quantizer *q, const float *query, float *table);

// Whether every code byte names a centroid (below ksub). A code vector that
// names none (only possible with fewer than 256 centroids) has no distance:
// the distance functions give VX_DISTANCE_SENTINEL rather than read outside
// the codebook.
static inline bool pq_codes_valid(const vx_pq_quantizer *q, const uint8_t *codes) {
    if (q->ksub > 255) return true;
    for (uint32_t s = 0; s < q->m; s++)
        if (codes[s] >= q->ksub) return false;
    return true;
}

// vx_pq_distance for VX_METRIC_L2 (the root) or any metric other than
// VX_METRIC_IP and VX_METRIC_COSINE (the squared total) from a table of
// pq_l2_table: bit-identical, because the total adds the same partial sums
// in the same order. Inner product and cosine sum across sub-spaces and
// cannot use the table.
static inline float pq_l2_from_table(const vx_pq_quantizer *q, const float *table,
                                     const uint8_t *codes, int32_t metric) {
    const uint32_t m = q->m, ksub = q->ksub;
    if (!pq_codes_valid(q, codes)) return VX_DISTANCE_SENTINEL;
    float total = 0.0f;
    for (uint32_t s = 0; s < m; s++) total = total + table[(uint64_t)s * ksub + codes[s]];
    return metric == VX_METRIC_L2 ? vx_math_sqrt_f32(total) : total;
}

#endif
