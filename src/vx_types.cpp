// Status texts, allocator hooks, time, random numbers and platform basics.
#include "vexal.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

static const char *const g_status_messages[18] = {
    "Success",
    "Invalid argument",
    "Out of memory",
    "File not found",
    "File I/O error",
    "Index not found",
    "Collection not found",
    "Vector not found",
    "Invalid vector dimension",
    "Invalid index type",
    "Invalid operation",
    "Duplicate key",
    "Lock error",
    "Network error",
    "Timeout",
    "Unsupported feature",
    "Internal error",
    "Unknown error",
};

extern "C" VX_API const char *vx_status_to_string(int index) {
    if ((unsigned)index < 18u) return g_status_messages[index];
    return "Unknown error";
}

extern "C" VX_API const char *vx_strerror(int status) { return vx_status_to_string(status); }

extern "C" VX_API vx_status vx_status_from_errno(int err) {
    switch (err) {
    case ENOENT: return VX_ERR_NOT_FOUND;
    case EIO: return VX_ERR_IO;
    case ENOMEM: return VX_ERR_NO_MEMORY;
    case EBUSY: return VX_ERR_BUSY;
    case EINVAL: return VX_ERR_INVALID_ARG;
    case ETIMEDOUT: return VX_ERR_TIMEOUT;
    default: return VX_ERR_UNKNOWN;
    }
}

/* ---- allocator hooks ---------------------------------------------------- */

static void *default_alloc(uint64_t size, void *) { return malloc(size); }
static void *default_realloc(void *ptr, uint64_t size, void *) { return realloc(ptr, size); }
static void default_free(void *ptr, void *) { free(ptr); }

// Static initialisation with the defaults gives the same observable result as
// filling them on first use, without a race between first callers.
static vx_allocator g_allocator = {default_alloc, default_realloc, default_free, nullptr};

extern "C" VX_API vx_allocator *vx_get_allocator(void) { return &g_allocator; }

extern "C" VX_API vx_status vx_set_allocator(const vx_allocator *allocator) {
    if (!allocator || !allocator->alloc) return VX_ERR_INVALID_ARG;
    g_allocator = *allocator;
    return VX_OK;
}

extern "C" VX_API void *vx_alloc(uint64_t size) {
    vx_allocator *a = vx_get_allocator();
    return a->alloc ? a->alloc(size, a->user_data) : nullptr;
}

extern "C" VX_API void *vx_malloc(uint64_t size) { return vx_alloc(size); }

extern "C" VX_API void *vx_calloc(uint64_t count, uint64_t size) {
    if (size != 0 && count > UINT64_MAX / size) return nullptr;
    void *p = vx_alloc(count * size);
    if (p) vx_memset(p, 0, count * size);
    return p;
}

extern "C" VX_API void *vx_realloc(void *ptr, uint64_t size) {
    vx_allocator *a = vx_get_allocator();
    return a->realloc ? a->realloc(ptr, size, a->user_data) : nullptr;
}

extern "C" VX_API void vx_free(void *ptr) {
    vx_allocator *a = vx_get_allocator();
    if (a->free && ptr) a->free(ptr, a->user_data);
}

/* ---- time ---------------------------------------------------------------- */

extern "C" VX_API int64_t vx_time_now(void) { return (int64_t)time(nullptr); }

extern "C" VX_API int64_t vx_time_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

extern "C" VX_API int64_t vx_time_diff(int64_t start, int64_t end) {
    return (int64_t)((uint64_t)end - (uint64_t)start);
}

extern "C" VX_API int vx_sleep(unsigned ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    return nanosleep(&ts, nullptr);
}

/* ---- random numbers -------------------------------------------------------
 * A 64-bit LCG. The state advances by compare-and-swap so that concurrent
 * callers each get a distinct step, while a single thread sees exactly the
 * sequence state = state * A + C. */

static std::atomic<uint64_t> g_rand_state{12345};
static std::atomic<int> g_rand_initialized{0};

static const uint64_t RAND_MULTIPLIER = 6364136223846793005ULL;
static const uint64_t RAND_INCREMENT = 1442695040888963407ULL;

extern "C" VX_API void vx_srand(uint64_t seed) {
    g_rand_state.store(seed, std::memory_order_relaxed);
    g_rand_initialized.store(1, std::memory_order_release);
}

extern "C" VX_API uint64_t vx_rand(void) {
    if (!g_rand_initialized.load(std::memory_order_acquire)) vx_srand((uint64_t)vx_time_now());
    uint64_t old = g_rand_state.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = old * RAND_MULTIPLIER + RAND_INCREMENT;
    } while (!g_rand_state.compare_exchange_weak(old, next, std::memory_order_relaxed));
    return next;
}

extern "C" VX_API float vx_rand_float(void) {
    return (float)(vx_rand() >> 11) * 1.1102230246251565e-16f;
}

extern "C" VX_API double vx_rand_double(void) {
    return (double)(vx_rand() >> 11) * 1.1102230246251565e-16;
}

/* ---- miscellaneous ------------------------------------------------------- */

extern "C" VX_API int vx_abs(int x) {
    return x < 0 ? (int)(0u - (unsigned)x) : x;
}

extern "C" VX_API void vx_exit(int status) { exit(status); }

// The kernels' instruction set is decided in one place (vx_simd_internal.h)
// and cannot change a result, so the host's switch is accepted and ignored.
extern "C" VX_API void vx_set_simd_enabled(int) {}

extern "C" VX_API int vx_is_simd_available(void) { return 0; }

extern "C" VX_API vx_status vx_platform_init(void) { return VX_OK; }

extern "C" VX_API void vx_platform_shutdown(void) {}

extern "C" VX_API int64_t vx_platform_get_page_size(void) { return (int64_t)sysconf(_SC_PAGESIZE); }
