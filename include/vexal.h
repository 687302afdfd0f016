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

/* ---- sorting ------------------------------------------------------------ */

/* Orders two elements: negative when a sorts before b, positive after, 0 for
 * equal. The first form also receives the caller's argument. */
typedef int32_t (*vx_compare_fn)(const void *a, const void *b, void *arg);
typedef int32_t (*vx_compare_simple_fn)(const void *a, const void *b);

/* Sorts n elements of size bytes in place (quicksort with the middle element
 * as pivot, partitions of 16 or fewer finished by insertion; not stable).
 * Does nothing for a null base or compar, n 0 or size 0. */
VX_API void vx_qsort(void *base, uint64_t n, uint64_t size, vx_compare_fn compar, void *arg);
/* vx_qsort with a comparator that takes no argument; does nothing for n <= 1. */
VX_API void vx_qsort_simple(void *base, uint64_t n, uint64_t size, vx_compare_simple_fn compar);
/* Stable insertion sort through one element buffer from the allocator hooks;
 * leaves the array unchanged when that buffer cannot be had. */
VX_API void vx_insertion_sort(void *base, uint64_t n, uint64_t size, vx_compare_fn compar,
                              void *arg);

/* (end of hashing, sorting and the hash table) */

/* ==========================================================================
 * Strings and formatted output
 * ======================================================================== */

/* Views need no zero byte: len alone defines the text. Characters are bytes;
 * case mapping touches ASCII letters only; whitespace is bytes 9..13 and 32.
 * A null view pointer, or a view whose data is null, reads as empty text.
 * Every new text comes from the given arena, carries a zero byte after its
 * len bytes, and is NULL for a null argument or an exhausted arena. */

/* s->len (0 for NULL); never scans for a zero byte. */
VX_API uint64_t vx_strlen(const vx_str *s);
/* The smaller of max and s->len. */
VX_API uint64_t vx_strnlen(const vx_str *s, uint64_t max);
/* s->data (NULL for NULL). */
VX_API const char *vx_str_cstr(const vx_str *s);

/* Byte-wise comparisons: 0 when equal, the difference of the first
 * differing bytes (unsigned), else a->len - b->len truncated to 32 bits.
 * The case-insensitive forms fold "A".."Z" first. The n forms compare at
 * most n bytes and give the length difference only when a text ended
 * before n. */
VX_API int32_t vx_strcmp(const vx_str *a, const vx_str *b);
VX_API int32_t vx_strcasecmp(const vx_str *a, const vx_str *b);
VX_API int32_t vx_strncmp(const vx_str *a, const vx_str *b, uint64_t n);
VX_API int32_t vx_strncasecmp(const vx_str *a, const vx_str *b, uint64_t n);

/* Copies into dst->data, which must have room (not checked), and sets
 * dst->len. strncpy copies min(n, src->len) bytes; strlcpy min(size,
 * src->len) (size 0 empties dst). The cat forms append at dst->data +
 * dst->len; strlcat appends min(size - dst->len, src->len) bytes only when
 * dst->len < size. Each returns dst and does nothing for a null view. */
VX_API vx_str *vx_strcpy(vx_str *dst, const vx_str *src);
VX_API vx_str *vx_strncpy(vx_str *dst, const vx_str *src, uint64_t n);
VX_API vx_str *vx_strlcpy(vx_str *dst, const vx_str *src, uint64_t size);
VX_API vx_str *vx_strcat(vx_str *dst, const vx_str *src);
VX_API vx_str *vx_strncat(vx_str *dst, const vx_str *src, uint64_t n);
VX_API vx_str *vx_strlcat(vx_str *dst, const vx_str *src, uint64_t size);

/* Index of the first / last byte equal to the low byte of c, or -1. */
VX_API int64_t vx_strchr(const vx_str *s, int c);
VX_API int64_t vx_strrchr(const vx_str *s, int c);
/* Index of the first occurrence of needle in hay; 0 for an empty needle;
 * -1 when absent or longer than hay. */
VX_API int64_t vx_strstr(const vx_str *hay, const vx_str *needle);

/* Copy of s. */
VX_API vx_str *vx_strdup(vx_arena *arena, const vx_str *s);
/* Copy of s without leading and trailing whitespace. */
VX_API vx_str *vx_strtrim(vx_arena *arena, const vx_str *s);
/* Copies with ASCII letters mapped to lower / upper case. */
VX_API vx_str *vx_strtolower(vx_arena *arena, const vx_str *s);
VX_API vx_str *vx_strtoupper(vx_arena *arena, const vx_str *s);
/* Copy of s with every non-overlapping occurrence of find (left to right)
 * replaced by repl; an empty find gives a plain copy. NULL when find, repl
 * or their data is null, or the result would not fit 64 bits. */
VX_API vx_str *vx_strreplace(vx_arena *arena, const vx_str *s, const vx_str *find,
                             const vx_str *repl);
/* Decimal text of value, "-" for negatives. */
VX_API vx_str *vx_lltostr(vx_arena *arena, int64_t value);
/* "-" when x < 0, the integer part of |x|, then for decimals > 0 a "." and
 * exactly that many digits, cut (never rounded). "nan", "inf" and "-inf"
 * for values without digits. */
VX_API vx_str *vx_dtostr(vx_arena *arena, int32_t decimals, double x);
/* Text of a minimal formatter: %% %c %s %f (six digits, cut) and %d %i %u,
 * which take 64-bit arguments (int64_t / uint64_t); no flags, width or
 * precision; any other character after "%" stands for itself. */
VX_API vx_str *vx_strprintf(vx_arena *arena, const char *format, ...);

/* Splits s at every byte that occurs in the zero-terminated delims->data.
 * Returns a NULL-terminated arena array of new tokens: adjacent delimiters
 * give empty tokens, a delimiter at the very end gives no trailing token,
 * an empty s gives no token. With max > 0 at most max tokens are made and
 * the text after the max-th delimiter is dropped. NULL for null arguments
 * or an exhausted arena. */
VX_API vx_str **vx_strsplitn(vx_arena *arena, const vx_str *s, const vx_str *delims, int64_t max);
/* vx_strsplitn without a limit. */
VX_API vx_str **vx_strsplit(vx_arena *arena, const vx_str *s, const vx_str *delims);

/* Parses an integer after optional whitespace and one sign. Base 0 picks
 * 16 after "0x"/"0X", 8 after a leading "0", else 10; digits beyond 9 are
 * letters of either case. No overflow detection (wraps). Stores the index
 * just past the parsed text in *end when end is not NULL; an empty or
 * all-whitespace view ends at its length. A base other than 0 or 2..36
 * gives 0 with end 0. */
VX_API int64_t vx_strtoll(const vx_str *s, uint64_t *end, int base);
/* Parses a decimal number with optional fraction and exponent after
 * optional whitespace and one sign, by repeated multiplication by 10 and
 * 0.1. Text without digits gives 0; *end as for vx_strtoll. */
VX_API double vx_strtod(const vx_str *s, uint64_t *end);

/* Writes to standard output (descriptor 1) with write(2), unbuffered, using
 * the library's own converter: %d %i (space-padded to the width), %u %x %X
 * (zero-padded), %p (16 hex digits), %c, %s (precision cuts), %f %F
 * (precision digits, default 6, cut, never rounded); integer arguments are
 * always read as 64-bit values (pass int64_t / uint64_t). One conversion
 * is at most 128 characters, except %s which is written whole. Returns the
 * number of characters meant to be written. */
VX_API int32_t vx_printf(const char *format, ...);
VX_API int32_t vx_vprintf(const char *format, va_list args);
/* vsnprintf into buf; 0 without touching anything when buf is NULL or size
 * is 0 (or format is NULL), else the length of the untruncated text. */
VX_API int32_t vx_snprintf(char *buf, uint64_t size, const char *format, ...);
VX_API int32_t vx_vsnprintf(char *buf, uint64_t size, const char *format, va_list args);
/* Writes the low byte of c to descriptor 1; the result of write. */
VX_API int32_t vx_putchar(int c);
/* Writes text and a line feed to descriptor 1 / 2; the result of the last
 * write, -1 for a NULL text. */
VX_API int32_t vx_puts(const char *text);
VX_API int32_t vx_puts_err(const char *text);

/* (end of strings and formatted output) */

/* ==========================================================================
 * Files and directories
 * ======================================================================== */

/* (end of files and directories) */

/* ==========================================================================
 * Scalar mathematics
 * ======================================================================== */

/* (end of scalar mathematics) */

/* ==========================================================================
 * Vectors and distances
 * ======================================================================== */

/* (end of vectors and distances) */

/* ==========================================================================
 * Quantizers
 * ======================================================================== */

/* (end of quantizers) */

/* ==========================================================================
 * Storage engine
 * ======================================================================== */

/* Byte stores over a growable memory buffer, a file (positioned reads and
 * writes) or a file mapped into memory. File stores begin with a 192-byte
 * header (magic "DVXV", version 1, times, data offset, data bytes). Every
 * call on one handle takes the handle's mutex, except vx_storage_sync and
 * the iterator's own fields; a header written field by field should come
 * from one thread. Fields are little-endian and packed. */

typedef struct vx_storage vx_storage;
typedef struct vx_storage_iterator vx_storage_iterator;

/* Backend kinds. */
enum { VX_STORAGE_MEMORY = 0, VX_STORAGE_FILE = 1, VX_STORAGE_MMAP = 2 };

/* Open modes of file and mapped stores; mode 4 (create, read-write, an
 * existing file is not truncated) is VX_OPEN_CREATE of the database section.
 * Modes 4 and 5 write a fresh header, the others read and check it. Any
 * other value opens read-only. */
enum {
    VX_OPEN_READ = 0,
    VX_OPEN_WRITE = 1,
    VX_OPEN_READWRITE = 2,
    VX_OPEN_APPEND = 3,
    VX_OPEN_TRUNCATE = 5
};

/* Options for vx_storage_create; clear the record before filling it. */
typedef struct vx_storage_options {
    int32_t backend;      /* VX_STORAGE_* */
    int32_t open_mode;    /* VX_OPEN_* (file and mapped stores) */
    const char *path;     /* zero-terminated (file and mapped stores) */
    uint64_t path_len;    /* not consulted */
    uint64_t block_size;  /* not consulted; callers pass 4096 */
    uint64_t capacity;    /* initial memory buffer, 0 means 16 MiB */
    int32_t reserved1;    /* not consulted */
    int32_t sync_writes;  /* fsync after every write and before closing */
    int32_t reserved2;    /* not consulted */
} vx_storage_options;

/* Statistics: memory stores report buffer size, bytes in use and free bytes;
 * other stores 0, bytes written through this handle, 0. block_count counts
 * the blocks allocated through this handle. */
typedef struct vx_storage_stats {
    uint64_t total_bytes;
    uint64_t used_bytes;
    uint64_t free_bytes;
    uint64_t block_count;
    uint64_t reserved[2];
} vx_storage_stats;

/* The 32 bytes in front of every block: id, size of the data that follows,
 * flags (0) and reserved zero bytes. */
typedef struct vx_block_header {
    uint64_t block_id;
    uint32_t size;
    uint32_t flags;
    uint32_t reserved;
    uint8_t reserved_byte;
    uint8_t padding[11];
} vx_block_header;

/* The file header as a 184-byte record (the 192-byte storage header without
 * its last 8 bytes). version holds the format version in its upper half. */
typedef struct vx_file_header {
    uint32_t magic;
    uint32_t version;
    uint64_t created_time;
    uint64_t modified_time;
    uint64_t data_offset;
    uint64_t data_bytes;
    uint64_t reserved1;
    uint64_t reserved2;
    uint32_t reserved3;
    uint32_t reserved4;
    uint8_t reserved[120];
} vx_file_header;

#if defined(__GNUC__)
#define VX_PACKED __attribute__((packed))
#else
#define VX_PACKED
#endif

/* The 192-byte collection header of a collection file, packed exactly as it
 * is stored (magic "OCXV", version word 0x00010000). checksum is
 * vx_hash_murmur3_32 with seed 0 over bytes 0..187 with checksum 0. */
typedef struct VX_PACKED vx_collection_header {
    uint32_t magic;
    uint32_t version;
    int64_t created_time;
    int64_t saved_time;
    char name[64];            /* up to 63 bytes, zero-padded */
    uint32_t dimension;
    uint32_t metric;
    int32_t index_type;       /* -1 without an index */
    uint32_t record_count;
    uint64_t next_id;
    uint32_t M;
    uint32_t ef_construction;
    uint32_t ef_search;
    uint32_t nlist;
    uint32_t nprobe;
    uint64_t data_offset;
    uint64_t data_size;
    uint64_t reserved[4];
    uint32_t index_threshold;
    uint32_t checksum;
    uint8_t reserved_tail[4];
} vx_collection_header;

/* Creates a store from options (copied); with a null arena the handle makes
 * and owns an arena of 4 MiB. NULL for null options, an unknown backend, a
 * null path of a file or mapped store, a file that cannot be opened, or a
 * header that is short or has the wrong magic or version. */
VX_API vx_storage *vx_storage_create(vx_arena *arena, const vx_storage_options *options);
/* A file store on path with the given VX_OPEN_* mode; NULL as create. */
VX_API vx_storage *vx_storage_open(vx_arena *arena, const char *path, int32_t mode);
/* Writes the header back (file and mapped stores), closes the file, releases
 * the handle; VX_ERR_INVALID_ARG for NULL. */
VX_API vx_status vx_storage_close(vx_storage *storage);
/* Closes the handle and deletes its file; VX_ERR_INVALID_ARG for NULL. */
VX_API vx_status vx_storage_destroy(vx_storage *storage);
/* Flushes to the device (fsync, or msync of the mapping); VX_ERR_UNKNOWN
 * when that fails. Takes no lock. */
VX_API vx_status vx_storage_sync(vx_storage *storage);

/* Writes size bytes: file stores at *cursor when given, else at the end;
 * memory and mapped stores append. On success *cursor (when given) is the
 * offset just past the bytes. VX_ERR_INVALID_ARG, VX_ERR_NO_MEMORY,
 * VX_ERR_IO, or VX_ERR_UNKNOWN when a mapped store's msync fails. */
VX_API vx_status vx_storage_write(vx_storage *storage, const void *data, uint64_t size, uint64_t *cursor);
/* Writes at the end; the offset just past the bytes, or -1. */
VX_API int64_t vx_storage_append(vx_storage *storage, const void *data, uint64_t size);
/* Reads up to size bytes at offset: memory and mapped stores all or nothing;
 * file stores what the file holds (0 at its end). -1 on failure. */
VX_API int64_t vx_storage_read(vx_storage *storage, uint64_t offset, void *buffer, uint64_t size);

/* Writes a vector record (u64 id, u32 dimension, the floats) like
 * vx_storage_write. VX_ERR_INVALID_ARG for null values or dimension 0. */
VX_API vx_status vx_storage_write_vector(vx_storage *storage, uint64_t id, const float *values,
                                         uint32_t dimension, uint64_t *cursor);
/* Reads a vector record at offset; the id is stored first, then a stored
 * dimension other than dimension gives VX_ERR_INVALID_ARG; a short read
 * VX_ERR_UNKNOWN. */
VX_API vx_status vx_storage_read_vector(vx_storage *storage, uint64_t offset, uint64_t *out_id,
                                        float *out_values, uint32_t dimension);

/* Appends a zero-filled block of size bytes behind its 32-byte header (ids
 * count from 0 per handle); the offset just past the block, or -1. */
VX_API int64_t vx_storage_alloc_block(vx_storage *storage, uint64_t size);
/* Does nothing (space is never reclaimed); VX_OK. */
VX_API vx_status vx_storage_free_block(vx_storage *storage, uint64_t offset);
/* Reads the block header at offset; VX_ERR_UNKNOWN when short. */
VX_API vx_status vx_storage_get_block_info(vx_storage *storage, uint64_t offset, vx_block_header *out_header);
/* An iterator over the blocks from the data offset (0 for memory stores) to
 * the end of the data; lives in the handle's arena. NULL on failure. */
VX_API vx_storage_iterator *vx_storage_iterator_create(vx_storage *storage);
/* Moves to the next block (the first call stays on the first); 1 when
 * positioned on a block, else 0. */
VX_API int vx_storage_iterator_next(vx_storage_iterator *iterator);
/* Copies up to size bytes of the current block's data; the count, 0 on
 * failure. */
VX_API uint64_t vx_storage_iterator_get_data(vx_storage_iterator *iterator, void *buffer, uint64_t size);
/* Does nothing: the iterator goes with the handle's arena. */
VX_API void vx_storage_iterator_destroy(vx_storage_iterator *iterator);

/* Copies the statistics; VX_ERR_INVALID_ARG for null arguments. */
VX_API vx_status vx_storage_get_stats(vx_storage *storage, vx_storage_stats *out);
/* Moves nothing; VX_OK (VX_ERR_INVALID_ARG for NULL). */
VX_API vx_status vx_storage_compact(vx_storage *storage);
/* Checks the header held in the handle: VX_ERR_FILE_CORRUPTED for a wrong
 * magic, VX_ERR_NOT_SUPPORTED for a wrong version. */
VX_API vx_status vx_storage_verify(vx_storage *storage);
/* Backends are fixed: always VX_ERR_NOT_SUPPORTED. */
VX_API vx_status vx_storage_register_backend(int32_t kind, const void *backend);

/* Typed values, little-endian at their natural width. Writes go through
 * vx_storage_write with the cursor (advanced only on success); reads
 * through vx_storage_read at offset, VX_ERR_UNKNOWN (out untouched) when
 * fewer bytes arrive. */
VX_API vx_status vx_storage_write_u32(vx_storage *storage, uint32_t value, uint64_t *cursor);
VX_API vx_status vx_storage_read_u32(vx_storage *storage, uint64_t offset, uint32_t *out);
VX_API vx_status vx_storage_write_u64(vx_storage *storage, uint64_t value, uint64_t *cursor);
VX_API vx_status vx_storage_read_u64(vx_storage *storage, uint64_t offset, uint64_t *out);
VX_API vx_status vx_storage_write_f32(vx_storage *storage, float value, uint64_t *cursor);
VX_API vx_status vx_storage_read_f32(vx_storage *storage, uint64_t offset, float *out);
/* count floats in one write; VX_ERR_INVALID_ARG for null values or count 0. */
VX_API vx_status vx_storage_write_f32_array(vx_storage *storage, const float *values, uint64_t count,
                                            uint64_t *cursor);
/* count floats at offset; destination untouched unless all arrived. */
VX_API vx_status vx_storage_read_f32_array(vx_storage *storage, uint64_t offset, float *destination,
                                           uint64_t count);

/* Writes the 184-byte file header record at offset 0 and the trailer word 1
 * at 184; the first failing write's status. */
VX_API vx_status vx_storage_write_header(vx_storage *storage, const vx_file_header *record);
/* Reads the record from offset 0: VX_ERR_UNKNOWN when short,
 * VX_ERR_FILE_CORRUPTED for a wrong magic (out holds the bytes read). */
VX_API vx_status vx_storage_read_header(vx_storage *storage, vx_file_header *out);
/* Writes the 192-byte collection header at the cursor (0 without one) and
 * advances it by 192; the checksum is written as found. */
VX_API vx_status vx_storage_write_collection_header(vx_storage *storage, const vx_collection_header *header,
                                                    uint64_t *cursor);
/* Reads 192 bytes at offset into out; VX_ERR_UNKNOWN when short. No field
 * is checked. */
VX_API vx_status vx_storage_read_collection_header(vx_storage *storage, uint64_t offset,
                                                   vx_collection_header *out);

/* (end of storage engine) */

/* ==========================================================================
 * Indexes
 * ======================================================================== */

/* Writes the index to the file named by path->data (replacing it only once
 * the new file is complete). VX_ERR_INVALID_ARG for null arguments,
 * VX_ERR_NOT_SUPPORTED for an unknown kind, VX_ERR_IO when the file cannot
 * be written. Takes no lock: keep adds and removals away meanwhile. */
VX_API vx_status vx_index_save(const vx_index *index, const vx_str *path);
/* Reads an index file into arena; NULL for null arguments, an unreadable
 * file or a damaged head. A file damaged further on gives the index as far
 * as it could be read. */
VX_API vx_index *vx_index_load(vx_arena *arena, const vx_str *path);

/* (end of indexes) */

/* ==========================================================================
 * Collections
 * ======================================================================== */

/* Saves the collection to path (zero-terminated): header, records and its
 * metadata, written to a temporary file beside path that replaces path once
 * complete. VX_ERR_INVALID_ARG for null arguments, VX_ERR_UNKNOWN when the
 * file cannot be created, else the first failing write's status. */
VX_API vx_status vx_collection_save(vx_collection *c, const char *path);
/* Loads a collection saved by vx_collection_save into arena (NULL: an arena
 * of its own). NULL for a missing, damaged or truncated file. An index that
 * was in use when the file was saved is rebuilt and in use again. */
VX_API vx_collection *vx_collection_load(vx_arena *arena, const char *path);

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

/* Saves every collection of a database with a path, rewrites its list file
 * and deletes the files of collections dropped since, then flushes the
 * storage file. VX_ERR_INVALID_ARG for a null or closed handle, else the
 * first failure (VX_ERR_IO when a file cannot be written). */
VX_API vx_status vx_daded_sync(vx_daded *db);

/* (end of database) */

/* ==========================================================================
 * Configuration
 * ======================================================================== */

/* (end of configuration) */

#ifdef __cplusplus
}
#endif

#endif /* VEXAL_H */
