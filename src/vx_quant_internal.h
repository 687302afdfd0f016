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
// Nothing is written for null q, codes or query (every codes[i] must be
// valid).
void sq_distance_many(const vx_sq_quantizer *q, const uint8_t *const *codes, uint64_t n,
                      const float *query, int32_t metric, float *out);

// Distances of one query to n product-quantized code vectors at once;
// out[i] is bit-identical to vx_pq_distance(q, query, codes[i], metric).
// Nothing is written for null q, codes or query.
void pq_distance_many(const vx_pq_quantizer *q, const float *query,
                      const uint8_t *const *codes, uint64_t n, int32_t metric, float *out);

#endif
