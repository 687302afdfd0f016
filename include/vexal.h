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

/* Paths are vx_str views whose data is a zero-terminated text (len is not
 * consulted); "/" and "\\" both separate path pieces. Status results are
 * VX_OK, VX_ERR_INVALID_ARG for a null path, VX_ERR_NO_MEMORY or VX_ERR_IO;
 * the system's error number is not kept. Descriptors are opened close-on-exec.
 * Results documented as "malloc" memory are released with the C runtime's
 * free(); arena results go with the arena. */

/* Opens path by a mode text whose first two characters count: "r"/"rb"
 * read, "r+" read-write, "w"/"wb" write+create+truncate, "w+" read-write+
 * create+truncate, "a"/"ab" write+create+append, anything else read only.
 * New files get permission bits 0644. The descriptor, or -1. */
VX_API int vx_file_open(const vx_str *path, const vx_str *mode);
/* The result of close. */
VX_API int vx_file_close(int fd);
/* The results of read, write and lseek (whence 0 start, 1 current, 2 end). */
VX_API int64_t vx_file_read(int fd, void *buffer, uint64_t size);
VX_API int64_t vx_file_write(int fd, const void *data, uint64_t length);
VX_API int64_t vx_file_seek(int fd, int64_t offset, int whence);

/* The whole file plus one zero byte, in malloc memory; its size is stored
 * in *out_size when out_size is not NULL. NULL when the file cannot be
 * opened, sized or read whole, or memory runs out. */
VX_API char *vx_file_read_all(const vx_str *path, uint64_t *out_size);
/* Creates or truncates path and writes length bytes of data; VX_ERR_IO
 * when it cannot be opened or not every byte is written. */
VX_API vx_status vx_file_write_all(const vx_str *path, const void *data, uint64_t length);

/* Size in bytes / modification time in seconds since the epoch, or -1. */
VX_API int64_t vx_file_size(const vx_str *path);
VX_API int64_t vx_file_mtime(const vx_str *path);
/* 1 when the path's status can be read / it is a regular file / a
 * directory (symbolic links followed), else 0. */
VX_API int vx_file_exists(const vx_str *path);
VX_API int vx_file_is_regular(const vx_str *path);
VX_API int vx_file_is_directory(const vx_str *path);

/* Creates one directory level with permission bits 0755. */
VX_API vx_status vx_file_mkdir(const vx_str *path);
/* Creates every missing directory along path; existing directories are no
 * error, anything else in the way is VX_ERR_IO. */
VX_API vx_status vx_file_mkdir_recursive(const vx_str *path);
/* Removes an empty directory. */
VX_API vx_status vx_file_rmdir(const vx_str *path);
/* Removes a directory with everything below it; symbolic links are removed,
 * never followed. */
VX_API vx_status vx_file_rmdir_recursive(const vx_str *path);
/* Removes a file. */
VX_API vx_status vx_file_unlink(const vx_str *path);
/* Renames from to to. */
VX_API vx_status vx_file_rename(const vx_str *from, const vx_str *to);
/* Copies the content of from into to (created or truncated); VX_ERR_IO on
 * any read or write failure and when both name the same file. */
VX_API vx_status vx_file_copy(const vx_str *from, const vx_str *to);

/* The names in a directory except "." and "..", in directory order, as a
 * NULL-terminated array from the arena whose names are malloc copies;
 * NULL when the directory cannot be read or memory runs out. */
VX_API char **vx_file_list_dir(const vx_str *path, vx_arena *arena);
/* Pointer into the path text after the last "/" (or, without one, after
 * the last "\\"); the whole text without separators. NULL for NULL. */
VX_API const char *vx_file_basename(const vx_str *path);
/* The text before the last separator ("" for a leading one, "." without
 * any), zero-terminated in the arena; NULL for null arguments. */
VX_API char *vx_file_dirname(vx_arena *arena, const vx_str *path);
/* The zero-terminated parts, up to a NULL, joined with "/" in the arena
 * (separators already present stay); "" when first is NULL. */
VX_API char *vx_file_join(vx_arena *arena, const char *first, ...);
/* The resolved absolute path (it must exist) in malloc memory, or NULL.
 * reserved is ignored. */
VX_API char *vx_file_abs_path(void *reserved, const vx_str *path);
/* A malloc copy of the path text, unchanged; NULL on failure. */
VX_API char *vx_file_normalize_path(void *reserved, const vx_str *path);
/* Replaces the six trailing X of template in place, creates that file
 * (mode 0600) and closes it; returns template, or NULL. */
VX_API char *vx_file_mktemp(char *template_text);
/* Replaces the six trailing X and creates that directory (mode 0700);
 * returns template, or NULL. */
VX_API char *vx_file_mkdtemp(char *template_text);

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
