// Float-vector kernels: allocation, element-wise arithmetic, reductions,
// normalisation, equality and the three distance metrics.
//
// Every sum is one single-precision running sum starting at +0.0 and adding
// terms in increasing index order; rankings and ties depend on that order, so
// no loop here may be reassociated (the build forbids contraction and fast
// maths, and a plain float reduction is never vectorised by the compiler).
#include "vexal.h"

#include "vx_vector_internal.h"

namespace {

const float FLOAT_EPSILON = 1.1920929e-7f;  // 2^-23

float dot_sum(const float *a, const float *b, uint32_t dim) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) sum = sum + a[i] * b[i];
    return sum;
}

float l2_squared_sum(const float *a, const float *b, uint32_t dim) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) {
        float d = a[i] - b[i];
        sum = sum + d * d;
    }
    return sum;
}

}  // namespace

// 1 - dot / (|a| |b|) from the three sums and the two roots; 1.0 when either
// norm is below the single-precision epsilon. Shared with the batch kernels.
float cosine_distance_from_sums(float dot, float na2, float nb2) {
    float na = vx_math_sqrt_f32(na2);
    float nb = vx_math_sqrt_f32(nb2);
    if (na < FLOAT_EPSILON || nb < FLOAT_EPSILON) return 1.0f;
    return 1.0f - dot / (na * nb);
}

/* ---- allocation ---------------------------------------------------------------- */

extern "C" VX_API float *vx_vec_create(vx_arena *arena, uint32_t dim) {
    if (dim == 0) return nullptr;
    uint64_t bytes = (uint64_t)dim * sizeof(float);
    return (float *)(arena ? vx_arena_alloc(arena, bytes) : vx_malloc(bytes));
}

extern "C" VX_API float *vx_vec_create_with_value(vx_arena *arena, uint32_t dim, float value) {
    float *v = vx_vec_create(arena, dim);
    if (v) vx_vec_fill(v, dim, value);
    return v;
}

extern "C" VX_API float *vx_vec_copy(vx_arena *arena, const float *src, uint32_t dim) {
    if (!src || dim == 0) return nullptr;
    float *v = vx_vec_create(arena, dim);
    if (v) vx_memcpy(v, src, (uint64_t)dim * sizeof(float));
    return v;
}

extern "C" VX_API void vx_vec_free(float *v) {
    if (v) vx_free(v);
}

extern "C" VX_API float *vx_vec_normalized(vx_arena *arena, const float *src, uint32_t dim) {
    if (!arena || !src || dim == 0) return nullptr;
    float *v = (float *)vx_arena_alloc(arena, (uint64_t)dim * sizeof(float));
    if (!v) return nullptr;
    return vx_vec_normalize_to(src, v, dim) == VX_OK ? v : nullptr;
}

/* ---- element-wise operations ----------------------------------------------------
 * Outputs may alias or overlap inputs: the loops run one element at a time in
 * increasing index order (the compiler only vectorises them after proving the
 * arrays apart). */

extern "C" VX_API void vx_vec_zero(float *v, uint32_t dim) {
    if (!v || dim == 0) return;
    vx_memset(v, 0, (uint64_t)dim * sizeof(float));
}

extern "C" VX_API void vx_vec_fill(float *v, uint32_t dim, float value) {
    if (!v || dim == 0) return;
    for (uint32_t i = 0; i < dim; ++i) v[i] = value;
}

extern "C" VX_API void vx_vec_add(const float *a, const float *b, uint32_t dim, float *out) {
    if (!a || !b || !out || dim == 0) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = a[i] + b[i];
}

extern "C" VX_API void vx_vec_sub(const float *a, const float *b, uint32_t dim, float *out) {
    if (!a || !b || !out || dim == 0) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = a[i] - b[i];
}

extern "C" VX_API void vx_vec_scale(const float *v, uint32_t dim, float *out, float s) {
    if (!v || !out || dim == 0) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = v[i] * s;
}

/* ---- reductions and distances ------------------------------------------------- */

extern "C" VX_API float vx_vec_dot(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return 0.0f;
    return dot_sum(a, b, dim);
}

extern "C" VX_API float vx_vec_norm_squared(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return dot_sum(v, v, dim);
}

extern "C" VX_API float vx_vec_norm_l2_squared(const float *v, uint32_t dim) {
    return vx_vec_norm_squared(v, dim);
}

extern "C" VX_API float vx_vec_norm_l2(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return vx_math_sqrt_f32(dot_sum(v, v, dim));
}

extern "C" VX_API float vx_vec_l1_norm(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) sum = sum + vx_math_abs_f32(v[i]);
    return sum;
}

extern "C" VX_API float vx_vec_l2_squared(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return VX_DISTANCE_SENTINEL;
    return l2_squared_sum(a, b, dim);
}

extern "C" VX_API float vx_vec_l2_distance(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return VX_DISTANCE_SENTINEL;
    return vx_math_sqrt_f32(l2_squared_sum(a, b, dim));
}

extern "C" VX_API float vx_vec_distance_l2(const float *a, const float *b, uint32_t dim) {
    return vx_vec_l2_distance(a, b, dim);
}

extern "C" VX_API float vx_vec_ip_distance(const float *a, const float *b, uint32_t dim) {
    return -vx_vec_dot(a, b, dim);
}

extern "C" VX_API float vx_vec_cosine_distance(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return 1.0f;
    float dot = 0.0f, na2 = 0.0f, nb2 = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) {
        dot = dot + a[i] * b[i];
        na2 = na2 + a[i] * a[i];
        nb2 = nb2 + b[i] * b[i];
    }
    return cosine_distance_from_sums(dot, na2, nb2);
}

extern "C" VX_API float vx_vec_cosine_similarity(const float *a, const float *b, uint32_t dim) {
    return 1.0f - vx_vec_cosine_distance(a, b, dim);
}

// Squared L2 for L2 and unknown metrics, the negated dot product, or the
// cosine distance. Dimension 0 gives 0.0, -0.0 and 1.0. A null vector with a
// non-zero dimension gives what the metric's own function gives for it: the
// sentinel, -0.0 or 1.0.
extern "C" VX_API float vx_vec_distance(const float *a, const float *b, uint32_t dim, int32_t metric) {
    if (metric == VX_METRIC_COSINE) return vx_vec_cosine_distance(a, b, dim);
    if (metric == VX_METRIC_IP) {
        if (dim != 0 && (!a || !b)) return -0.0f;
        return -dot_sum(a, b, dim);
    }
    if (dim != 0 && (!a || !b)) return VX_DISTANCE_SENTINEL;
    return l2_squared_sum(a, b, dim);
}

/* ---- normalisation and comparison --------------------------------------------- */

extern "C" VX_API vx_status vx_vec_normalize(float *v, uint32_t dim) {
    if (!v || dim == 0) return VX_ERR_INVALID_ARG;
    float n = vx_math_sqrt_f32(dot_sum(v, v, dim));
    if (n < FLOAT_EPSILON) return VX_ERR_INVALID_ARG;
    float r = 1.0f / n;
    vx_vec_scale(v, dim, v, r);
    return VX_OK;
}

extern "C" VX_API vx_status vx_vec_normalize_to(const float *src, float *dst, uint32_t dim) {
    if (!src || !dst || dim == 0) return VX_ERR_INVALID_ARG;
    vx_memmove(dst, src, (uint64_t)dim * sizeof(float));
    return vx_vec_normalize(dst, dim);
}

// 1 when no element differs by more than eps; a NaN difference counts as equal.
extern "C" VX_API int vx_vec_equal(const float *a, const float *b, uint32_t dim, float eps) {
    if (!a || !b || dim == 0) return 0;
    for (uint32_t i = 0; i < dim; ++i) {
        if (vx_math_abs_f32(a[i] - b[i]) > eps) return 0;
    }
    return 1;
}

extern "C" VX_API int vx_vec_almost_equal(const float *a, const float *b, uint32_t dim, float eps) {
    return vx_vec_equal(a, b, dim, eps);
}
