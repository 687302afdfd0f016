// Storage sizing under each quantization kind and its one-line description.
#include "vexal.h"

#include <stdio.h>

// 2^-20: bytes to megabytes, applied in single precision.
static const float BYTES_TO_MB = 9.536743e-7f;
static const uint64_t PQ_CODE_BYTES = 8;

static char g_quant_info[128];

// a * b, or UINT64_MAX when the product does not fit.
static uint64_t mul_saturated(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

extern "C" VX_API uint64_t vx_quant_calculate_size(vx_quant_type type, uint32_t dim, uint64_t n) {
    switch (type) {
    case VX_QUANT_NONE: return mul_saturated(n, (uint64_t)dim * 4);
    case VX_QUANT_SCALAR:
    case VX_QUANT_SCALAR_ALT: return mul_saturated(n, dim);
    case VX_QUANT_PRODUCT: return mul_saturated(n, PQ_CODE_BYTES);
    default: return 0;
    }
}

extern "C" VX_API const char *vx_quant_get_info(vx_quant_type type, uint32_t elements,
                                                uint32_t pq_bytes) {
    // Raw bytes are counted in 64 bits: four bytes per element overflow 32.
    const uint64_t raw_bytes = (uint64_t)elements * 4;
    switch (type) {
    case VX_QUANT_NONE:
        snprintf(g_quant_info, sizeof g_quant_info, "No quantization: %.2f MB",
                 (double)((float)raw_bytes * BYTES_TO_MB));
        break;
    case VX_QUANT_SCALAR:
    case VX_QUANT_SCALAR_ALT:
        snprintf(g_quant_info, sizeof g_quant_info, "SQ quantization: %.2f MB (4x compression)",
                 (double)((float)elements * BYTES_TO_MB));
        break;
    case VX_QUANT_PRODUCT:
        snprintf(g_quant_info, sizeof g_quant_info,
                 "PQ quantization: %.2f MB (%.1fx compression)",
                 (double)((float)pq_bytes * BYTES_TO_MB),
                 (double)((float)raw_bytes / (float)pq_bytes));
        break;
    default:
        snprintf(g_quant_info, sizeof g_quant_info, "Unknown quantization");
        break;
    }
    return g_quant_info;
}
