// Int8 vectors: one scale per vector from its own minimum and maximum.
#include "vexal.h"

namespace {

// t = (x - min) / scale + 0.5 truncated toward zero, kept in 0..255. A NaN
// element (or one made NaN by an infinite spread) takes the lowest level.
int level_of(float x, float mn, float scale) {
    float t = (x - mn) / scale + 0.5f;
    if (!(t >= 0.0f)) return 0;
    if (t >= 255.0f) return 255;
    return (int)t;
}

}  // namespace

extern "C" VX_API void vx_vec_quantize_int8(const float *v, uint32_t dim, int8_t *codes, float *scale_out) {
    if (!v || !codes || dim == 0) return;
    float mx = -3.4028235e38f;
    float mn = 3.4028235e38f;
    for (uint32_t i = 0; i < dim; ++i) {
        if (v[i] > mx) mx = v[i];
        if (v[i] < mn) mn = v[i];
    }
    float range = mx - mn;
    // An all-NaN vector keeps its starting bounds: range is -infinity.
    if ((double)range < 1e-6) {
        *scale_out = 1.0f;
        vx_memset(codes, 0, dim);
        return;
    }
    float scale = range / 255.0f;
    *scale_out = scale;
    for (uint32_t i = 0; i < dim; ++i) codes[i] = (int8_t)(level_of(v[i], mn, scale) - 128);
}

extern "C" VX_API void vx_vec_dequantize_int8(const int8_t *codes, uint32_t dim, float *out, float scale) {
    if (!codes || !out || dim == 0) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = (float)codes[i] * scale;
}

// Products are exact and the integer sum does not depend on order; a 64-bit
// total saturated to 32 bits keeps very long sums from wrapping.
extern "C" VX_API int32_t vx_vec_dot_int8(const int8_t *a, const int8_t *b, uint32_t dim) {
    if (!a || !b || dim == 0) return 0;
    int64_t sum = 0;
    for (uint32_t i = 0; i < dim; ++i) sum += (int32_t)a[i] * (int32_t)b[i];
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return (int32_t)sum;
}
