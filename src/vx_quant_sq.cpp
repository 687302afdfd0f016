// Scalar quantizer: one byte per dimension from a per-dimension minimum and
// range learned in training.
#include "vexal.h"
#include "vx_quant_internal.h"

// A range at or below this (the float 9.9999997e-7) counts as flat.
static const float SQ_FLAT_RANGE = 1e-6f;
static const float SQ_LEVELS = 255.0f;

extern "C" VX_API vx_sq_quantizer *vx_sq_quantizer_create(vx_arena *arena, uint32_t dim) {
    if (!arena || dim == 0) return nullptr;
    vx_sq_quantizer *q = (vx_sq_quantizer *)vx_arena_calloc(arena, 1, sizeof(vx_sq_quantizer));
    if (!q) return nullptr;
    q->dim = dim;
    q->arena = arena;
    uint64_t bytes = (uint64_t)dim * sizeof(float);
    q->min = (float *)vx_arena_alloc(arena, bytes);
    if (!q->min) return nullptr;
    q->max = (float *)vx_arena_alloc(arena, bytes);
    if (!q->max) return nullptr;
    q->scale = (float *)vx_arena_alloc(arena, bytes);
    if (!q->scale) return nullptr;
    return q;
}

extern "C" VX_API void vx_sq_quantizer_destroy(vx_sq_quantizer *) {}

extern "C" VX_API vx_status vx_sq_quantizer_train(vx_sq_quantizer *q, const float *data,
                                                  uint64_t n) {
    if (!q || !data || n == 0) return VX_ERR_INVALID_ARG;
    const uint32_t dim = q->dim;
    if (dim == 0) return VX_OK;
    float *mn = q->min, *mx = q->max;
    for (uint32_t d = 0; d < dim; d++) mn[d] = mx[d] = data[d];
    for (uint64_t k = 1; k < n; k++) {
        const float *row = data + k * dim;
        // Strict comparisons: a NaN never replaces a bound.
        for (uint32_t d = 0; d < dim; d++) {
            float x = row[d];
            if (x < mn[d]) mn[d] = x;
            if (x > mx[d]) mx[d] = x;
        }
    }
    for (uint32_t d = 0; d < dim; d++) {
        float r = mx[d] - mn[d];
        q->scale[d] = r > SQ_FLAT_RANGE ? SQ_LEVELS / r : 1.0f;
    }
    return VX_OK;
}

// Clamped to 0..255 and rounded half up; a NaN passes the clamp and gives 0.
static inline uint8_t sq_encode_value(float v, float mn, float scale) {
    float t = (v - mn) * scale;
    float c = vx_math_clamp_f32(t, 0.0f, SQ_LEVELS);
    if (!(c == c)) return 0;
    return (uint8_t)(int)(c + 0.5f);
}

static void sq_encode_row(const vx_sq_quantizer *q, const float *v, uint8_t *codes) {
    const float *mn = q->min, *scale = q->scale;
    for (uint32_t d = 0; d < q->dim; d++) codes[d] = sq_encode_value(v[d], mn[d], scale[d]);
}

static void sq_decode_row(const vx_sq_quantizer *q, const uint8_t *codes, float *out) {
    const float *mn = q->min, *scale = q->scale;
    for (uint32_t d = 0; d < q->dim; d++) out[d] = sq_decode_value(codes[d], mn[d], scale[d]);
}

extern "C" VX_API vx_status vx_sq_quantize(const vx_sq_quantizer *q, const float *v,
                                           uint8_t *codes) {
    if (!q || !v || !codes) return VX_ERR_INVALID_ARG;
    sq_encode_row(q, v, codes);
    return VX_OK;
}

extern "C" VX_API vx_status vx_sq_dequantize(const vx_sq_quantizer *q, const uint8_t *codes,
                                             float *out) {
    if (!q || !codes || !out) return VX_ERR_INVALID_ARG;
    sq_decode_row(q, codes, out);
    return VX_OK;
}

extern "C" VX_API vx_status vx_sq_quantize_batch(const vx_sq_quantizer *q, const float *data,
                                                 uint8_t *codes, uint64_t n) {
    if (!q || !data || !codes || n == 0) return VX_ERR_INVALID_ARG;
    const uint64_t dim = q->dim;
    for (uint64_t k = 0; k < n; k++) sq_encode_row(q, data + k * dim, codes + k * dim);
    return VX_OK;
}

extern "C" VX_API vx_status vx_sq_dequantize_batch(const vx_sq_quantizer *q,
                                                   const uint8_t *codes, float *out,
                                                   uint64_t n) {
    if (!q || !codes || !out || n == 0) return VX_ERR_INVALID_ARG;
    const uint64_t dim = q->dim;
    for (uint64_t k = 0; k < n; k++) sq_decode_row(q, codes + k * dim, out + k * dim);
    return VX_OK;
}

extern "C" VX_API float vx_sq_distance(const vx_sq_quantizer *q, const uint8_t *codes,
                                       const float *query, int32_t metric) {
    if (!q || !codes || !query) return VX_DISTANCE_SENTINEL;
    const float *mn = q->min, *scale = q->scale;
    const uint32_t dim = q->dim;
    switch (metric) {
    case VX_METRIC_L2: {
        float sum = 0.0f;
        for (uint32_t d = 0; d < dim; d++) {
            float diff = query[d] - sq_decode_value(codes[d], mn[d], scale[d]);
            sum = sum + diff * diff;
        }
        return vx_math_sqrt_f32(sum);
    }
    case VX_METRIC_IP: {
        float dot = 0.0f;
        for (uint32_t d = 0; d < dim; d++)
            dot = dot + sq_decode_value(codes[d], mn[d], scale[d]) * query[d];
        return -dot;
    }
    case VX_METRIC_COSINE: {
        float qq = 0.0f, dot = 0.0f, dd = 0.0f;
        for (uint32_t d = 0; d < dim; d++) {
            float dec = sq_decode_value(codes[d], mn[d], scale[d]);
            qq = qq + query[d] * query[d];
            dot = dot + query[d] * dec;
            dd = dd + dec * dec;
        }
        return cosine_from_sums(dot, qq, dd);
    }
    default:
        return VX_DISTANCE_SENTINEL;
    }
}
