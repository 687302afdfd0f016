// Batches of distances, sums and means over vector lists, and random vectors.
#include "vexal.h"

#include "vx_vector_internal.h"

namespace {

const float FLOAT_EPSILON = 1.1920929e-7f;

}  // namespace

/* ---- batches ------------------------------------------------------------------- */

extern "C" VX_API void vx_vec_batch_l2_distance(const float *query, const float *const *vectors,
                                                uint32_t dim, uint64_t count, float *out) {
    if (count == 0 || !vectors || !out) return;
    batch_l2_squared(query, vectors, count, dim, out);
    if (!query || dim == 0) return;  // every entry is already the sentinel
    for (uint64_t i = 0; i < count; ++i) {
        if (vectors[i]) out[i] = vx_math_sqrt_f32(out[i]);
    }
}

extern "C" VX_API void vx_vec_batch_distance(const float *query, const float *const *vectors,
                                             uint32_t dim, uint64_t count, int32_t metric, float *out) {
    if (!query || !vectors || !out || count == 0) return;
    if (metric == VX_METRIC_IP) {
        batch_dot(query, vectors, count, dim, out);
        for (uint64_t i = 0; i < count; ++i) out[i] = -out[i];
    } else if (metric == VX_METRIC_COSINE) {
        // Null entries and dim 0 give 1.0, as the single-pair function does.
        batch_distance(query, vectors, count, dim, VX_METRIC_COSINE, out);
    } else {
        vx_vec_batch_l2_distance(query, vectors, dim, count, out);
    }
}

extern "C" VX_API void vx_vec_batch_cosine_similarity(const float *query, const vx_vec_batch *batch,
                                                      float *out) {
    if (!query || !batch || !out || batch->count == 0 || !batch->vectors) return;
    vx_vec_batch_distance(query, batch->vectors, batch->dim, batch->count, VX_METRIC_COSINE, out);
    for (uint64_t i = 0; i < batch->count; ++i) out[i] = 1.0f - out[i];
}

/* ---- sums and means --------------------------------------------------------------- */

extern "C" VX_API float vx_vec_sum(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) sum = sum + v[i];
    return sum;
}

extern "C" VX_API float vx_vec_mean(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return vx_vec_sum(v, dim) / (float)dim;
}

extern "C" VX_API void vx_vec_array_sum(float *out, const float *const *vectors, uint32_t dim,
                                        uint64_t count) {
    if (!out || !vectors || count == 0) return;
    vx_vec_zero(out, dim);
    for (uint64_t i = 0; i < count; ++i) {
        const float *v = vectors[i];
        if (!v) continue;
        for (uint32_t j = 0; j < dim; ++j) out[j] = v[j] + out[j];
    }
}

extern "C" VX_API void vx_vec_array_mean(float *out, const float *const *vectors, uint32_t dim,
                                         uint64_t count) {
    if (!out || !vectors || count == 0) return;
    vx_vec_array_sum(out, vectors, dim, count);
    float r = 1.0f / (float)count;
    vx_vec_scale(out, dim, out, r);
}

// Each product is rounded to single precision before it is added; no working
// memory is needed, so no entry can be dropped for lack of it.
extern "C" VX_API void vx_vec_weighted_mean(float *out, const float *const *vectors, const float *weights,
                                            uint32_t dim, uint64_t count) {
    if (!out || !vectors || !weights || count == 0) return;
    vx_vec_zero(out, dim);
    float wsum = 0.0f;
    for (uint64_t i = 0; i < count; ++i) {
        const float *v = vectors[i];
        float w = weights[i];
        if (v) {
            for (uint32_t j = 0; j < dim; ++j) {
                float product = v[j] * w;
                out[j] = product + out[j];
            }
        }
        wsum = wsum + w;
    }
    if (wsum > FLOAT_EPSILON) vx_vec_scale(out, dim, out, 1.0f / wsum);
}

/* ---- random vectors ------------------------------------------------------------------ */

extern "C" VX_API void vx_vec_random(float *v, uint32_t dim) {
    if (!v) return;
    for (uint32_t i = 0; i < dim; ++i) {
        float u = vx_rand_float();
        v[i] = (u + u) - 1.0f;
    }
}

extern "C" VX_API vx_status vx_vec_random_normalized(float *v, uint32_t dim) {
    vx_vec_random(v, dim);
    return vx_vec_normalize(v, dim);
}

// Box-Muller: each pair of elements takes two draws; the first is redrawn
// (after the second was taken) while it is too small for the logarithm.
extern "C" VX_API void vx_vec_random_gaussian(float *v, uint32_t dim, float mean, float stddev) {
    if (!v || dim == 0) return;
    for (uint64_t i = 0; i < dim; i += 2) {
        float u1 = vx_rand_float();
        float u2 = vx_rand_float();
        while (u1 < FLOAT_EPSILON) u1 = vx_rand_float();
        float r = vx_math_sqrt_f32(vx_math_log_f32(u1) * -2.0f) * stddev;
        float theta = 6.2831855f * u2;
        v[i] = vx_math_cos_f32(theta) * r + mean;
        if (i + 1 < dim) v[i + 1] = vx_math_sin_f32(theta) * r + mean;
    }
}
