// Memory routines and string views.
#include "vexal.h"

#include <string.h>

// The C runtime's routines already copy in wide blocks; only the result of
// these three is part of the contract.
extern "C" VX_API void *vx_memcpy(void *dst, const void *src, uint64_t n) {
    if (n == 0) return dst;
    return memcpy(dst, src, n);
}

extern "C" VX_API void *vx_memmove(void *dst, const void *src, uint64_t n) {
    if (n == 0 || dst == src) return dst;
    return memmove(dst, src, n);
}

extern "C" VX_API void *vx_memset(void *buf, int value, uint64_t n) {
    if (n == 0) return buf;
    return memset(buf, value, n);
}
