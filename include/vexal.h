/*
 * vexal.h - the public interface of libvexal, an embeddable vector database.
 *
 * A host opens a database (in memory or in a directory), creates named
 * collections of fixed-dimension float vectors with typed metadata and asks
 * for the k nearest neighbours under L2, inner product or cosine distance, by
 * brute force or through an HNSW graph or an inverted-file index.
 *
 * Conventions
 *   - Every function returning vx_status gives VX_OK (0) on success and a
 *     negative code on failure. A null pointer argument gives
 *     VX_ERR_INVALID_ARG, exhausted memory VX_ERR_NO_MEMORY.
 *   - Functions returning a handle give NULL on failure, counts give 0,
 *     distances give VX_DISTANCE_SENTINEL.
 *   - Text is passed as vx_str views, always by pointer.
 *   - Threading: each section states which locks a call takes. Process-wide
 *     settings (allocator hooks, random seed) are installed before threads
 *     start.
 *
 * Link with: -Iinclude -Lbuild -lvexal
 */
#ifndef VEXAL_H
#define VEXAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VX_BUILDING_LIBRARY)
#define VX_API __attribute__((visibility("default")))
#else
#define VX_API
#endif

/* ==========================================================================
 * Status codes and basic types
 * ======================================================================== */

typedef int32_t vx_status;

/* A string view: data and length; the length alone defines the text unless a
 * function says it reads up to the zero byte. */
typedef struct vx_str {
    char *data;
    uint64_t len;
} vx_str;

enum {
    VX_OK = 0,
    /* general */
    VX_ERR_UNKNOWN = -1,
    VX_ERR_INVALID_ARG = -2,
    VX_ERR_NO_MEMORY = -3,
    VX_ERR_NOT_FOUND = -4,
    VX_ERR_ALREADY_EXISTS = -5,
    VX_ERR_BUFFER_TOO_SMALL = -6,
    VX_ERR_NOT_SUPPORTED = -7,
    VX_ERR_PERMISSION_DENIED = -8,
    VX_ERR_TIMEOUT = -9,
    VX_ERR_BUSY = -10,
    VX_ERR_EMPTY = -11,
    VX_ERR_TOO_LARGE = -12,
    VX_ERR_CANCELLED = -13,
    /* vector database */
    VX_ERR_INVALID_VECTOR = -100,
    VX_ERR_INDEX_CORRUPTED = -101,
    VX_ERR_COLLECTION_FULL = -102,
    VX_ERR_INVALID_DIMENSION = -103,
    VX_ERR_INDEX_NOT_READY = -104,
    VX_ERR_DUPLICATE_ID = -105,
    VX_ERR_VECTOR_NOT_FOUND = -106,
    VX_ERR_COLLECTION_EXISTS = -107,
    VX_ERR_COLLECTION_NOT_FOUND = -108,
    VX_ERR_INDEX_TYPE_MISMATCH = -109,
    VX_ERR_QUANTIZATION = -110,
    /* storage */
    VX_ERR_FILE_NOT_FOUND = -200,
    VX_ERR_FILE_CORRUPTED = -201,
    VX_ERR_DISK_FULL = -202,
    VX_ERR_IO = -203,
    VX_ERR_FILE_LOCKED = -204,
    VX_ERR_PATH_TOO_LONG = -205,
    VX_ERR_READ_ONLY = -206,
    /* concurrency */
    VX_ERR_LOCK_TIMEOUT = -300,
    VX_ERR_DEADLOCK = -301,
    VX_ERR_THREAD = -302,
    VX_ERR_MUTEX = -303
};

/* The largest finite float: stands for "no distance" (missing vector,
 * dimension 0) and compares like any other value. */
#define VX_DISTANCE_SENTINEL 3.4028235e38f

/* Text of the legacy 18-entry status table for index 0..17 ("Success",
 * "Invalid argument", ...); "Unknown error" for every other value. */
VX_API const char *vx_status_to_string(int index);
/* Same as vx_status_to_string(status). */
VX_API const char *vx_strerror(int status);
/* Maps ENOENT, EIO, ENOMEM, EBUSY, EINVAL, ETIMEDOUT to a status;
 * VX_ERR_UNKNOWN for anything else. */
VX_API vx_status vx_status_from_errno(int err);

/* ==========================================================================
 * Allocator hooks and memory routines
 *
 * All general-purpose heap memory of the library flows through these hooks.
 * Install them before starting threads; nothing here locks.
 * ======================================================================== */

typedef void *(*vx_alloc_fn)(uint64_t size, void *user_data);
typedef void *(*vx_realloc_fn)(void *ptr, uint64_t size, void *user_data);
typedef void (*vx_free_fn)(void *ptr, void *user_data);

typedef struct vx_allocator {
    vx_alloc_fn alloc;     /* never null once installed */
    vx_realloc_fn realloc; /* may be null: vx_realloc then fails */
    vx_free_fn free;       /* may be null: vx_free then does nothing */
    void *user_data;       /* handed to every hook call */
} vx_allocator;

/* The installed hooks (the C runtime's malloc/realloc/free by default). */
VX_API vx_allocator *vx_get_allocator(void);
/* Installs hooks; VX_ERR_INVALID_ARG when allocator or its alloc is null. */
VX_API vx_status vx_set_allocator(const vx_allocator *allocator);
/* Allocates size bytes through the hooks; NULL on failure. */
VX_API void *vx_alloc(uint64_t size);
/* Same as vx_alloc. */
VX_API void *vx_malloc(uint64_t size);
/* Zero-filled count * size bytes; NULL on failure or when the product
 * overflows 64 bits. */
VX_API void *vx_calloc(uint64_t count, uint64_t size);
/* Resizes a block; NULL (old block untouched) on failure or without a
 * realloc hook. */
VX_API void *vx_realloc(void *ptr, uint64_t size);
/* Releases a block through the installed free hook; NULL is ignored. */
VX_API void vx_free(void *ptr);

/* memcpy, memmove and memset; each returns its first argument. */
VX_API void *vx_memcpy(void *dst, const void *src, uint64_t n);
VX_API void *vx_memmove(void *dst, const void *src, uint64_t n);
VX_API void *vx_memset(void *buf, int value, uint64_t n);

/* ==========================================================================
 * Time, random numbers and platform
 * ======================================================================== */

/* Wall-clock seconds since the Unix epoch. */
VX_API int64_t vx_time_now(void);
/* Monotonic milliseconds, for measuring intervals only. */
VX_API int64_t vx_time_now_ms(void);
/* end - start. */
VX_API int64_t vx_time_diff(int64_t start, int64_t end);
/* Sleeps ms milliseconds with one nanosleep; returns 0, or -1 when
 * interrupted (not a vx_status). */
VX_API int vx_sleep(unsigned ms);

/* Seeds the process-wide 64-bit LCG. */
VX_API void vx_srand(uint64_t seed);
/* Next LCG state (seeded from the clock on first use when never seeded):
 * state * 6364136223846793005 + 1442695040888963407. Safe to call from
 * several threads. */
VX_API uint64_t vx_rand(void);
/* (vx_rand() >> 11) as float times 2^-53: a value in [0, 1]. */
VX_API float vx_rand_float(void);
/* (vx_rand() >> 11) as double times 2^-53: a value in [0, 1). */
VX_API double vx_rand_double(void);

/* Absolute value; INT32_MIN is returned unchanged. */
VX_API int vx_abs(int x);
/* Ends the process with exit(status). */
VX_API void vx_exit(int status);
/* Has no effect: every kernel gives the same bits whatever the setting. */
VX_API void vx_set_simd_enabled(int enabled);
/* Always 0. */
VX_API int vx_is_simd_available(void);
/* Returns VX_OK; the library needs no initialisation. */
VX_API vx_status vx_platform_init(void);
/* Does nothing. */
VX_API void vx_platform_shutdown(void);
/* The system page size in bytes. */
VX_API int64_t vx_platform_get_page_size(void);

/* ==========================================================================
 * Arenas
 *
 * Region allocation: memory is handed out by bumping an offset inside large
 * blocks (at least 64 KiB each) and released all at once by reset or destroy.
 * Pointers are 8-byte aligned. An arena holds no lock: its owner serialises
 * its use.
 * ======================================================================== */

typedef struct vx_arena vx_arena;

/* Creates an arena with blocks of block_size bytes (0 means 4 MiB) and one
 * first block; VX_ERR_INVALID_ARG for a null out, VX_ERR_NO_MEMORY. */
VX_API vx_status vx_arena_create(uint64_t block_size, vx_arena **out);
/* Frees every block and the arena; NULL is ignored. */
VX_API void vx_arena_destroy(vx_arena *arena);
/* size bytes, not zeroed; NULL for a null arena, size 0 or no memory. */
VX_API void *vx_arena_alloc(vx_arena *arena, uint64_t size);
/* Zero-filled count * size bytes; NULL when either is 0 or on overflow. */
VX_API void *vx_arena_calloc(vx_arena *arena, uint64_t count, uint64_t size);
/* Copy of size bytes of source; NULL for null arguments or size 0. */
VX_API void *vx_arena_memdup(vx_arena *arena, const void *source, uint64_t size);
/* Copy of a zero-terminated text; NULL for null arguments. */
VX_API char *vx_arena_strdup(vx_arena *arena, const char *text);
/* Keeps the first block, frees the rest; every earlier pointer dies. */
VX_API void vx_arena_reset(vx_arena *arena);
/* Bytes handed out (rounded to 8) since creation or reset; 0 for NULL. */
VX_API uint64_t vx_arena_get_used_size(const vx_arena *arena);
/* Stores used and total block bytes through the non-null pointers. */
VX_API void vx_arena_stat(const vx_arena *arena, uint64_t *used, uint64_t *total);
/* The arena's label, or "(unnamed)". */
VX_API const char *vx_arena_get_name(const vx_arena *arena);
/* Number of blocks in the chain; 0 for NULL. */
VX_API uint64_t vx_arena_get_block_count(const vx_arena *arena);

/* ==========================================================================
 * Locks, threads and semaphores
 *
 * Thin wrappers over POSIX threads. Objects come from the given arena or,
 * when it is NULL, from the allocator hooks; destroy releases only the
 * operating-system object. Every call returns VX_ERR_INVALID_ARG for a null
 * object, VX_ERR_UNKNOWN when the system refuses, VX_ERR_BUSY when a
 * try-lock finds the object held and VX_ERR_TIMEOUT when a timed wait
 * expires. No lock is recursive.
 * ======================================================================== */

typedef struct vx_mutex vx_mutex;
typedef struct vx_rwlock vx_rwlock;
typedef struct vx_spinlock vx_spinlock;
typedef struct vx_cond vx_cond;
typedef struct vx_sem vx_sem;

/* A thread's start function; its result is ignored. */
typedef void *(*vx_thread_fn)(void *user_data);

/* A thread record owned by the caller; lives as long as the thread runs. */
typedef struct vx_thread {
    unsigned long handle; /* the pthread_t */
    vx_thread_fn fn;
    void *user_data;
} vx_thread;

/* A scoped mutex guard: the mutex it holds, or NULL. */
typedef struct vx_autolock {
    vx_mutex *mutex;
} vx_autolock;

/* Creates a mutex; *out is NULL on failure. Destroy functions release the
 * system object, and the memory too when it came from the allocator hooks
 * (arena memory goes with the arena). */
VX_API vx_status vx_mutex_create(vx_arena *arena, vx_mutex **out);
VX_API void vx_mutex_destroy(vx_mutex *mutex);
VX_API vx_status vx_mutex_lock(vx_mutex *mutex);
VX_API vx_status vx_mutex_unlock(vx_mutex *mutex);
/* VX_ERR_BUSY when another thread holds it. */
VX_API vx_status vx_mutex_trylock(vx_mutex *mutex);

/* Creates a reader/writer lock; *out is NULL on failure. */
VX_API vx_status vx_rwlock_create(vx_arena *arena, vx_rwlock **out);
VX_API void vx_rwlock_destroy(vx_rwlock *lock);
VX_API vx_status vx_rwlock_rdlock(vx_rwlock *lock);
VX_API vx_status vx_rwlock_wrlock(vx_rwlock *lock);
/* VX_ERR_BUSY when the lock cannot be taken at once. */
VX_API vx_status vx_rwlock_tryrdlock(vx_rwlock *lock);
VX_API vx_status vx_rwlock_trywrlock(vx_rwlock *lock);
/* Both release; release in the mode you acquired. */
VX_API vx_status vx_rwlock_rdunlock(vx_rwlock *lock);
VX_API vx_status vx_rwlock_wrunlock(vx_rwlock *lock);

/* A busy-waiting lock for critical sections of a few instructions. */
VX_API vx_status vx_spinlock_create(vx_arena *arena, vx_spinlock **out);
/* Leaves the lock free; releases nothing. */
VX_API void vx_spinlock_destroy(vx_spinlock *lock);
VX_API vx_status vx_spinlock_lock(vx_spinlock *lock);
/* VX_ERR_BUSY when held. */
VX_API vx_status vx_spinlock_trylock(vx_spinlock *lock);
VX_API vx_status vx_spinlock_unlock(vx_spinlock *lock);

/* Creates a condition variable; *out is NULL on failure. */
VX_API vx_status vx_cond_create(vx_arena *arena, vx_cond **out);
VX_API void vx_cond_destroy(vx_cond *cond);
VX_API vx_status vx_cond_wait(vx_cond *cond, vx_mutex *mutex);
/* Waits at most timeout_ms milliseconds (realtime clock); VX_ERR_TIMEOUT
 * on expiry. */
VX_API vx_status vx_cond_timedwait(vx_cond *cond, vx_mutex *mutex, uint32_t timeout_ms);
VX_API vx_status vx_cond_signal(vx_cond *cond);
VX_API vx_status vx_cond_broadcast(vx_cond *cond);

/* Starts fn(user_data) on a new thread recorded in *thread. */
VX_API vx_status vx_thread_create(vx_thread *thread, vx_thread_fn fn, void *user_data);
/* Waits for the thread; its result is discarded. */
VX_API vx_status vx_thread_join(vx_thread *thread);
VX_API vx_status vx_thread_detach(vx_thread *thread);
/* The calling thread's system identifier. */
VX_API uint64_t vx_thread_id(void);

/* Locks mutex and remembers it in guard; on failure the guard is cleared. */
VX_API vx_status vx_autolock_init(vx_autolock *guard, vx_mutex *mutex);
/* Unlocks the guarded mutex once and clears the guard. */
VX_API void vx_autolock_cleanup(vx_autolock *guard);

/* A counting semaphore with a ceiling (max_count compared unsigned);
 * allocated with the C runtime's malloc. */
VX_API vx_status vx_sem_create(int32_t initial_count, int32_t max_count, vx_sem **out);
VX_API void vx_sem_destroy(vx_sem *sem);
/* Blocks until the count is positive, then decrements it. */
VX_API vx_status vx_sem_wait(vx_sem *sem);
/* Increments the count and wakes one waiter; a post at the ceiling is
 * dropped and still returns VX_OK. */
VX_API vx_status vx_sem_post(vx_sem *sem);

/* ==========================================================================
 * Error categories and the last error
 * ======================================================================== */

/* (end of error categories) */

/* ==========================================================================
 * Logging
 * ======================================================================== */

/* Receives every accepted message when installed: level, source file, line,
 * function, milliseconds since the epoch, message, user data. */
typedef void (*vx_log_callback)(uint32_t level, const char *file, int32_t line,
                                const char *function, uint64_t timestamp_ms,
                                const char *message, void *user_data);

/* (end of logging) */

/* ==========================================================================
 * Hashing, sorting and the hash table
 * ======================================================================== */

/* (end of hashing, sorting and the hash table) */

/* ==========================================================================
 * Strings and formatted output
 * ======================================================================== */

/* (end of strings and formatted output) */

/* ==========================================================================
 * Files and directories
 * ======================================================================== */

/* (end of files and directories) */

/* ==========================================================================
 * Scalar mathematics
 * ======================================================================== */

/* Every function here is pure and reports no errors. The results follow
 * fixed iterations (magic-constant reciprocal root, Taylor and atanh series,
 * range reduction by subtracting 2pi) and are reproducible bit for bit, not
 * correctly rounded. */

/* |x|: the sign bit flipped when x < 0, else x unchanged (-0.0 and NaN stay). */
VX_API float vx_math_abs_f32(float x);
VX_API double vx_math_abs_f64(double x);
/* Square root by three Newton steps on the reciprocal root; +0.0 for x <= 0,
 * NaN for NaN, +infinity for +infinity. sqrt_f32(2) has bits 0x3fb504f4. */
VX_API float vx_math_sqrt_f32(float x);
VX_API double vx_math_sqrt_f64(double x);
/* e^x - 1 by at most 100 Taylor terms; +0.0 for x == 0, 1e20 for x > 50,
 * -1.0 for x < -50. */
VX_API double vx_math_expm1(double x);
/* Natural logarithm; -1e30 (f32) or -1e300 (f64) for x <= 0, +infinity for
 * +infinity, NaN for NaN. */
VX_API float vx_math_log_f32(float x);
VX_API double vx_math_log_f64(double x);
/* ln(1 + x); +0.0 for x == 0, -1e300 for x <= -1; a series for |x| <= 0.001,
 * vx_math_log_f64(x + 1.0) otherwise. */
VX_API double vx_math_log1p(double x);
/* Cosine and sine by their Taylor series after reducing x into [-pi, pi];
 * NaN for infinities and NaN. Arguments so large that subtracting 2pi no
 * longer changes them are reduced by their exact remainder modulo 2pi and
 * give a value in [-1, 1]. */
VX_API float vx_math_cos_f32(float x);
VX_API double vx_math_cos_f64(double x);
VX_API float vx_math_sin_f32(float x);
VX_API double vx_math_sin_f64(double x);
/* lo if lo > x, else hi if hi < x, else x: the lower bound is tested first,
 * a NaN bound never applies, a NaN x is returned unchanged. */
VX_API float vx_math_clamp_f32(float x, float lo, float hi);
VX_API double vx_math_clamp_f64(double x, double lo, double hi);

/* (end of scalar mathematics) */

/* ==========================================================================
 * Vectors and distances
 * ======================================================================== */

/* A vector is a bare array of dim floats; every function takes the array and
 * its dimension separately. Every sum is one single-precision running sum
 * from +0.0 in increasing index order, so results are reproducible bit for
 * bit. Metric codes: 0 L2, 1 inner product, 2 cosine. Nothing here locks;
 * calls on distinct outputs may run on any thread. */

/* A list of count vectors of dim floats each, for
 * vx_vec_batch_cosine_similarity. */
typedef struct vx_vec_batch {
    const float *const *vectors;
    uint32_t dim;
    uint64_t count;
} vx_vec_batch;

/* A vector of dim uninitialised floats from the arena, or from vx_malloc when
 * arena is NULL (release that one with vx_vec_free); NULL for dim 0 or when
 * memory runs out. */
VX_API float *vx_vec_create(vx_arena *arena, uint32_t dim);
/* vx_vec_create with every element set to value; NULL on failure. */
VX_API float *vx_vec_create_with_value(vx_arena *arena, uint32_t dim, float value);
/* A new vector holding a copy of src; NULL for a null src, dim 0 or no memory. */
VX_API float *vx_vec_copy(vx_arena *arena, const float *src, uint32_t dim);
/* Releases a vector made without an arena; NULL is ignored. */
VX_API void vx_vec_free(float *v);
/* A unit-length copy of src in the arena (required); NULL for null arguments,
 * dim 0, no memory or a norm below the single-precision epsilon. */
VX_API float *vx_vec_normalized(vx_arena *arena, const float *src, uint32_t dim);

/* Element-wise operations; each does nothing for a null pointer or dim 0. The
 * output may alias or overlap an input: elements are processed one by one in
 * increasing index order. */
/* Sets every byte of v to zero. */
VX_API void vx_vec_zero(float *v, uint32_t dim);
/* v[i] = value. */
VX_API void vx_vec_fill(float *v, uint32_t dim, float value);
/* out[i] = a[i] + b[i]. */
VX_API void vx_vec_add(const float *a, const float *b, uint32_t dim, float *out);
/* out[i] = a[i] - b[i]. */
VX_API void vx_vec_sub(const float *a, const float *b, uint32_t dim, float *out);
/* out[i] = v[i] * s. */
VX_API void vx_vec_scale(const float *v, uint32_t dim, float *out, float s);

/* Sum of a[i] * b[i]; 0.0 for a null vector or dim 0. */
VX_API float vx_vec_dot(const float *a, const float *b, uint32_t dim);
/* Sum of v[i] * v[i]; 0.0 for a null vector or dim 0. */
VX_API float vx_vec_norm_squared(const float *v, uint32_t dim);
/* Same as vx_vec_norm_squared. */
VX_API float vx_vec_norm_l2_squared(const float *v, uint32_t dim);
/* vx_math_sqrt_f32 of the squared norm; 0.0 for a null vector or dim 0. */
VX_API float vx_vec_norm_l2(const float *v, uint32_t dim);
/* Sum of |v[i]|; 0.0 for a null vector or dim 0. */
VX_API float vx_vec_l1_norm(const float *v, uint32_t dim);
/* Sum of (a[i] - b[i])^2; VX_DISTANCE_SENTINEL for a null vector or dim 0. */
VX_API float vx_vec_l2_squared(const float *a, const float *b, uint32_t dim);
/* vx_math_sqrt_f32 of the squared L2 distance; VX_DISTANCE_SENTINEL for a
 * null vector or dim 0. */
VX_API float vx_vec_l2_distance(const float *a, const float *b, uint32_t dim);
/* Same as vx_vec_l2_distance. */
VX_API float vx_vec_distance_l2(const float *a, const float *b, uint32_t dim);
/* -vx_vec_dot(a, b, dim); -0.0 for a null vector or dim 0. */
VX_API float vx_vec_ip_distance(const float *a, const float *b, uint32_t dim);
/* 1 - dot / (|a| |b|), not clamped; 1.0 for a null vector, dim 0 or a norm
 * below the single-precision epsilon; NaN when a norm is NaN. */
VX_API float vx_vec_cosine_distance(const float *a, const float *b, uint32_t dim);
/* 1.0 - vx_vec_cosine_distance(a, b, dim); 0.0 for null, empty or zero. */
VX_API float vx_vec_cosine_similarity(const float *a, const float *b, uint32_t dim);
/* The ranking distance of a metric, smaller meaning nearer: the squared L2
 * distance for 0 and unknown metrics, the negated dot product for 1, the
 * cosine distance for 2. dim 0 gives 0.0, -0.0 and 1.0 respectively; a null
 * vector otherwise gives VX_DISTANCE_SENTINEL, -0.0 and 1.0. */
VX_API float vx_vec_distance(const float *a, const float *b, uint32_t dim, int32_t metric);

/* Scales v to unit length by one reciprocal of its norm; VX_ERR_INVALID_ARG
 * (v unchanged) for a null v, dim 0 or a norm below 1.1920929e-7. */
VX_API vx_status vx_vec_normalize(float *v, uint32_t dim);
/* Copies src to dst and normalises dst; VX_ERR_INVALID_ARG for null
 * arguments or dim 0, and for a zero norm (dst then holds the plain copy). */
VX_API vx_status vx_vec_normalize_to(const float *src, float *dst, uint32_t dim);
/* 1 when no |a[i] - b[i]| exceeds eps (a NaN difference counts as equal),
 * else 0; 0 for a null vector or dim 0. */
VX_API int vx_vec_equal(const float *a, const float *b, uint32_t dim, float eps);
/* Same as vx_vec_equal. */
VX_API int vx_vec_almost_equal(const float *a, const float *b, uint32_t dim, float eps);

/* Int8 codes with one scale per vector. With min and max of the vector (NaN
 * elements ignored) and scale = (max - min) / 255, element i gets
 * code = (int)t - 128 where t = (v[i] - min) / scale + 0.5 truncated toward
 * zero, a value in 0..255 (NaN elements give t = 0), so codes span
 * -128..127. A spread below 1e-6 gives scale 1.0 and all codes 0. Does
 * nothing for a null v or codes or dim 0; scale_out must then be valid.
 * Dequantizing multiplies by the scale alone, so it restores each value
 * less the constant min + 128 * scale. */
VX_API void vx_vec_quantize_int8(const float *v, uint32_t dim, int8_t *codes, float *scale_out);
/* out[i] = (float)codes[i] * scale; nothing for null arrays or dim 0. */
VX_API void vx_vec_dequantize_int8(const int8_t *codes, uint32_t dim, float *out, float scale);
/* Sum of a[i] * b[i] as signed integers, exact up to dim 131071; longer sums
 * saturate at the 32-bit limits. 0 for null arrays or dim 0. */
VX_API int32_t vx_vec_dot_int8(const int8_t *a, const int8_t *b, uint32_t dim);

/* Batches: one query against count vectors; out[i] belongs to vectors[i]. */
/* out[i] = vx_vec_l2_distance(query, vectors[i], dim), the root distance
 * (VX_DISTANCE_SENTINEL for a null query or entry or dim 0); nothing for
 * count 0 or a null list or out. */
VX_API void vx_vec_batch_l2_distance(const float *query, const float *const *vectors, uint32_t dim,
                                     uint64_t count, float *out);
/* Metric 1: -vx_vec_dot; metric 2: vx_vec_cosine_distance; any other metric:
 * vx_vec_batch_l2_distance (root, not squared). Nothing for a null query,
 * list or out. */
VX_API void vx_vec_batch_distance(const float *query, const float *const *vectors, uint32_t dim,
                                  uint64_t count, int32_t metric, float *out);
/* out[i] = vx_vec_cosine_similarity(query, batch->vectors[i], batch->dim);
 * nothing for a null query, batch or out. */
VX_API void vx_vec_batch_cosine_similarity(const float *query, const vx_vec_batch *batch, float *out);

/* Sum of the elements; 0.0 for a null v or dim 0. */
VX_API float vx_vec_sum(const float *v, uint32_t dim);
/* vx_vec_sum divided by dim; 0.0 for a null v or dim 0. */
VX_API float vx_vec_mean(const float *v, uint32_t dim);
/* out = the element-wise sum of the vectors in list order (a null entry adds
 * nothing); nothing for a null out or list or count 0. */
VX_API void vx_vec_array_sum(float *out, const float *const *vectors, uint32_t dim, uint64_t count);
/* vx_vec_array_sum times 1 / count; nothing for a null out or list or count 0. */
VX_API void vx_vec_array_mean(float *out, const float *const *vectors, uint32_t dim, uint64_t count);
/* Sum of vectors[i] * weights[i], divided by the sum of the weights when that
 * exceeds 1.1920929e-7 (otherwise left as the plain weighted sum). A null
 * entry adds nothing but its weight still counts. Nothing for null
 * arguments or count 0. */
VX_API void vx_vec_weighted_mean(float *out, const float *const *vectors, const float *weights,
                                 uint32_t dim, uint64_t count);

/* Random vectors from the shared generator (vx_rand_float; reproducible
 * after vx_srand). */
/* v[i] = 2u - 1 for successive draws u: values in [-1, 1]; nothing for NULL. */
VX_API void vx_vec_random(float *v, uint32_t dim);
/* vx_vec_random, then vx_vec_normalize: VX_ERR_INVALID_ARG for a null v,
 * dim 0 or a draw with a norm below the epsilon. */
VX_API vx_status vx_vec_random_normalized(float *v, uint32_t dim);
/* Gaussian values by the Box-Muller transform, two draws per pair of
 * elements (redrawing the first while below 1.1920929e-7); nothing for a
 * null v or dim 0. */
VX_API void vx_vec_random_gaussian(float *v, uint32_t dim, float mean, float stddev);

/* (end of vectors and distances) */

/* ==========================================================================
 * Quantizers
 * ======================================================================== */

/* (end of quantizers) */

/* ==========================================================================
 * Storage engine
 * ======================================================================== */

/* (end of storage engine) */

/* ==========================================================================
 * Indexes
 * ======================================================================== */

/* (end of indexes) */

/* ==========================================================================
 * Collections
 * ======================================================================== */

/* (end of collections) */

/* ==========================================================================
 * Database
 *
 * A vx_daded handle owns an arena holding its collections and a
 * reader/writer lock guarding its registry. Open and close run with no other
 * thread on the handle; the other calls may come from any thread.
 * ======================================================================== */

typedef struct vx_daded vx_daded;

/* Options for vx_daded_open_ex. */
typedef struct vx_db_config {
    vx_str path;               /* directory; null or empty: in memory */
    int32_t storage_mode;      /* 0 memory, 1 persistent, 2 default (persistent) */
    uint64_t arena_size;       /* 0 means 64 MiB */
    uint64_t cache_size;       /* kept, not used */
    int32_t read_only;         /* open the storage file read-only */
    int32_t create_if_missing; /* create directory and storage file */
} vx_db_config;

/* Database statistics: the collection count and twelve reserved words. */
typedef struct vx_db_stats {
    uint64_t collection_count;
    uint64_t reserved[12];
} vx_db_stats;

#define VX_OPEN_READ_ONLY 1u
#define VX_OPEN_CREATE 4u

/* Opens a database with the given options (NULL: in memory, defaults) and
 * stores the handle in *out. VX_ERR_INVALID_ARG for a null out,
 * VX_ERR_NO_MEMORY; *out is NULL on failure. */
VX_API vx_status vx_daded_open_ex(const vx_db_config *config, vx_daded **out);
/* Opens with default options, the path (may be NULL: in memory) and flags
 * VX_OPEN_READ_ONLY and VX_OPEN_CREATE. Fails as vx_daded_open_ex. */
VX_API vx_status vx_daded_open(const vx_str *path, uint32_t flags, vx_daded **out);
/* Saves a persistent database, destroys every collection and frees the
 * handle; VX_ERR_INVALID_ARG for a null or closed handle. */
VX_API vx_status vx_daded_close(vx_daded *db);
/* 1 when db is open, else 0. */
VX_API int vx_daded_is_open(const vx_daded *db);
/* "Vexal DadED 0.1.32". */
VX_API vx_str vx_daded_version(void);
/* Version, platform, compiler and build date: four lines, 81 characters. */
VX_API vx_str vx_daded_build_info(void);
/* Ignored; install log callbacks with vx_log_set_callback. */
VX_API void vx_daded_set_log_callback(vx_log_callback callback);
/* Installs allocator hooks with null user data; VX_ERR_INVALID_ARG when
 * alloc is null. */
VX_API vx_status vx_daded_set_allocator(vx_alloc_fn alloc, vx_realloc_fn realloc, vx_free_fn free);
/* Forward to vx_set_simd_enabled and vx_is_simd_available. */
VX_API void vx_daded_set_simd_enabled(int enabled);
VX_API int vx_daded_is_simd_available(void);

/* (end of database) */

/* ==========================================================================
 * Configuration
 * ======================================================================== */

/* (end of configuration) */

#ifdef __cplusplus
}
#endif

#endif /* VEXAL_H */
