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
 *   - Returned pointers: every call that hands out a pointer says who owns
 *     it and until when it stays valid. Apart from the lock functions, no
 *     call returns holding a lock, so a pointer into a collection or
 *     database stays meaningful only while the caller keeps away the
 *     writers its comment names.
 *   - Distances: smaller is always nearer. Under VX_METRIC_L2 a search of
 *     a collection or database, an index over raw vectors and
 *     vx_vec_distance give the SQUARED Euclidean distance (no root is
 *     taken); the quantizer distances (and the quantized entries of an
 *     inverted file that rank by them), vx_vec_batch_distance and the
 *     vx_vec_*l2_distance routines give the root.
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
 * "Invalid argument", "Out of memory", "File not found", "File I/O error",
 * ...); "Unknown error" for every other value. The table is indexed by
 * position, not by the VX_ERR_* codes above: every negative status gives
 * "Unknown error". For the text of a status use vx_error_message. The
 * result is a static text. */
VX_API const char *vx_status_to_string(int index);
/* vx_status_to_string(status), kept for older callers: it, too, gives
 * "Unknown error" for every failure status. Use vx_error_message (or
 * vx_error_description) to report a vx_status. */
VX_API const char *vx_strerror(int status);
/* Maps ENOENT, EIO, ENOMEM, EBUSY, EINVAL, ETIMEDOUT to a status;
 * VX_ERR_UNKNOWN for anything else. */
VX_API vx_status vx_status_from_errno(int err);

/* ==========================================================================
 * Allocator hooks and memory routines
 *
 * The hooks serve vx_alloc and its neighbours and every block the library
 * allocates outside an arena: database handles, lock objects made without
 * an arena, vectors made without an arena, search and training scratch,
 * text and write buffers.
 * Not through the hooks, by design:
 *   - arena blocks, and so everything that lives in an arena (collections,
 *     indexes, records, configuration trees, hash tables): arenas take
 *     their blocks from the C runtime's malloc and free;
 *   - semaphores (vx_sem_create);
 *   - the results documented as "malloc memory" in the files section
 *     (vx_file_read_all, vx_file_abs_path, vx_file_normalize_path, the names
 *     of vx_file_list_dir): release them with the C runtime's free();
 *   - short-lived path texts inside the file code (temporary-file and
 *     directory names while a file is written or a directory is made).
 * Blocks carry no record of the hooks that made them, so change hooks only
 * while no block from the old ones is alive. Install them before starting
 * threads; nothing here locks.
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

/* The installed hooks (the C runtime's malloc/realloc/free by default): a
 * pointer to the one process-wide record, valid for the life of the
 * process; vx_set_allocator overwrites it in place. */
VX_API vx_allocator *vx_get_allocator(void);
/* Installs a copy of the hooks; VX_ERR_INVALID_ARG when allocator or its
 * alloc is null. */
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
/* Has no effect. The library chooses its vector instructions itself, once
 * per process, from what the processor offers, and every choice gives the
 * same bits, so there is nothing for a host to switch. */
VX_API void vx_set_simd_enabled(int enabled);
/* Always 0, whatever the processor offers (see vx_set_simd_enabled). */
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
 * when it is NULL, from the allocator hooks; destroy releases the
 * operating-system object and hook memory, never arena memory. Every call
 * returns VX_ERR_INVALID_ARG for a null object, VX_ERR_UNKNOWN when the
 * system refuses, VX_ERR_BUSY when a try-lock finds the object held and
 * VX_ERR_TIMEOUT when a timed wait expires. No lock is recursive.
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

/* Creates a mutex in arena (NULL: from the allocator hooks); reserved is
 * ignored (pass 0), as in the other lock constructors. *out is NULL on
 * failure (VX_ERR_INVALID_ARG for a null out, VX_ERR_NO_MEMORY, VX_ERR_UNKNOWN). Every destroy function here
 * releases the system object, and the memory too when it came from the
 * allocator hooks (arena memory goes with the arena); NULL is ignored, and
 * the object must be unheld, with no waiter, when it is destroyed. */
VX_API vx_status vx_mutex_create(vx_arena *arena, uint32_t reserved, vx_mutex **out);
VX_API void vx_mutex_destroy(vx_mutex *mutex);
/* Blocks until the calling thread holds the mutex. Locking a mutex the
 * thread already holds is undefined (it is not recursive). */
VX_API vx_status vx_mutex_lock(vx_mutex *mutex);
/* Releases a mutex the calling thread holds. */
VX_API vx_status vx_mutex_unlock(vx_mutex *mutex);
/* Takes the mutex without waiting; VX_ERR_BUSY when another thread holds
 * it. */
VX_API vx_status vx_mutex_trylock(vx_mutex *mutex);

/* Creates a reader/writer lock; *out is NULL on failure (as
 * vx_mutex_create). The lock prefers writers: a writer that waits keeps
 * new readers out, and gets in as soon as the readers already holding the
 * lock are done, so steady reading never starves it. Hence a thread must
 * not take the read side twice (a writer waiting in between deadlocks
 * both). The database and its collections use this lock. */
VX_API vx_status vx_rwlock_create(vx_arena *arena, uint32_t reserved, vx_rwlock **out);
VX_API void vx_rwlock_destroy(vx_rwlock *lock);
/* Blocks until the lock is held for reading; any number of readers may
 * hold it together. */
VX_API vx_status vx_rwlock_rdlock(vx_rwlock *lock);
/* Blocks until the lock is held for writing, by this thread alone. */
VX_API vx_status vx_rwlock_wrlock(vx_rwlock *lock);
/* The same without waiting: VX_ERR_BUSY when the lock cannot be taken at
 * once. */
VX_API vx_status vx_rwlock_tryrdlock(vx_rwlock *lock);
VX_API vx_status vx_rwlock_trywrlock(vx_rwlock *lock);
/* Both release the lock the calling thread holds; release in the mode you
 * acquired. */
VX_API vx_status vx_rwlock_rdunlock(vx_rwlock *lock);
VX_API vx_status vx_rwlock_wrunlock(vx_rwlock *lock);

/* A busy-waiting lock for critical sections of a few instructions. Creates
 * it free; *out is NULL on failure (VX_ERR_INVALID_ARG, VX_ERR_NO_MEMORY). */
VX_API vx_status vx_spinlock_create(vx_arena *arena, uint32_t reserved, vx_spinlock **out);
/* Releases hook memory as the other destroy functions do; there is no
 * system object. */
VX_API void vx_spinlock_destroy(vx_spinlock *lock);
/* Spins until the lock is taken; never fails for a valid lock. */
VX_API vx_status vx_spinlock_lock(vx_spinlock *lock);
/* Takes the lock without spinning; VX_ERR_BUSY when held. */
VX_API vx_status vx_spinlock_trylock(vx_spinlock *lock);
/* Frees the lock; any thread may release it, it records no owner. */
VX_API vx_status vx_spinlock_unlock(vx_spinlock *lock);

/* Creates a condition variable; *out is NULL on failure (as
 * vx_mutex_create). */
VX_API vx_status vx_cond_create(vx_arena *arena, vx_cond **out);
VX_API void vx_cond_destroy(vx_cond *cond);
/* Releases mutex (held by the caller), waits for a signal and takes mutex
 * again before returning. Wake-ups may be spurious: wait in a loop that
 * tests the condition. VX_ERR_INVALID_ARG when either is null. */
VX_API vx_status vx_cond_wait(vx_cond *cond, vx_mutex *mutex);
/* As vx_cond_wait, waiting at most timeout_ms milliseconds (realtime
 * clock); VX_ERR_TIMEOUT on expiry. With VX_OK and VX_ERR_TIMEOUT the
 * mutex is held again. */
VX_API vx_status vx_cond_timedwait(vx_cond *cond, vx_mutex *mutex, uint32_t timeout_ms);
/* Wakes one waiter / every waiter; nothing when none waits. */
VX_API vx_status vx_cond_signal(vx_cond *cond);
VX_API vx_status vx_cond_broadcast(vx_cond *cond);

/* Starts fn(user_data) on a new thread recorded in *thread, which must stay
 * in place until the thread has started running fn. VX_ERR_INVALID_ARG for
 * a null thread or fn, VX_ERR_UNKNOWN when no thread can be started. */
VX_API vx_status vx_thread_create(vx_thread *thread, vx_thread_fn fn, void *user_data);
/* Waits for the thread to end; its result is discarded. Join or detach each
 * thread exactly once. */
VX_API vx_status vx_thread_join(vx_thread *thread);
/* Lets the thread release its resources on its own when it ends; it can no
 * longer be joined. */
VX_API vx_status vx_thread_detach(vx_thread *thread);
/* The calling thread's system identifier. */
VX_API uint64_t vx_thread_id(void);

/* Locks mutex and remembers it in guard; on failure the guard is cleared
 * and the lock's status returned (VX_ERR_INVALID_ARG for null arguments,
 * the guard then untouched). */
VX_API vx_status vx_autolock_init(vx_autolock *guard, vx_mutex *mutex);
/* Unlocks the guarded mutex once and clears the guard; a cleared guard or
 * NULL is ignored, so calling it twice is harmless. */
VX_API void vx_autolock_cleanup(vx_autolock *guard);

/* A counting semaphore with a ceiling (max_count compared unsigned);
 * reserved is ignored (pass NULL);
 * allocated with the C runtime's malloc, not the hooks. *out is NULL on
 * failure (VX_ERR_INVALID_ARG, VX_ERR_NO_MEMORY, VX_ERR_UNKNOWN). */
VX_API vx_status vx_sem_create(void *reserved, int32_t initial_count, int32_t max_count, vx_sem **out);
/* Releases the semaphore; NULL is ignored. No thread may wait on it. */
VX_API void vx_sem_destroy(vx_sem *sem);
/* Blocks while the count is 0, then decrements it. */
VX_API vx_status vx_sem_wait(vx_sem *sem);
/* Increments the count and wakes one waiter; a post at the ceiling is
 * dropped and still returns VX_OK. */
VX_API vx_status vx_sem_post(vx_sem *sem);

/* ==========================================================================
 * Error categories and the last error
 * ======================================================================== */

/* Error categories: a status code's range decides its category. Nothing
 * here locks; the last-error record is one process-wide object that the
 * library itself never writes (hosts serialise their own use of it). */
typedef int32_t vx_error_category;
enum {
    VX_ERROR_CATEGORY_SUCCESS = 0,         /* 0 and positive codes */
    VX_ERROR_CATEGORY_GENERAL = 1,         /* -1 .. -99 */
    VX_ERROR_CATEGORY_VECTOR_DATABASE = 2, /* -100 .. -199 */
    VX_ERROR_CATEGORY_STORAGE = 3,         /* -200 .. -299 */
    VX_ERROR_CATEGORY_CONCURRENCY = 4,     /* -300 .. -399 */
    VX_ERROR_CATEGORY_UNKNOWN = 5          /* below -399 */
};

/* The last-error record. Texts are stored as pointers, not copied. */
typedef struct vx_error_info {
    vx_status status;
    vx_error_category category;
    const char *message;  /* the code's short message */
    const char *detail;   /* as given to vx_error_set */
    const char *file;
    int32_t line;
    const char *function;
    int64_t time;         /* seconds since the epoch of the last vx_error_set */
} vx_error_info;

/* The category of a code. */
VX_API vx_error_category vx_error_get_category(vx_status code);
/* 1 when code is exactly VX_OK, else 0. */
VX_API int vx_error_is_success(vx_status code);
/* 1 for VX_ERR_NO_MEMORY, VX_ERR_FILE_CORRUPTED, VX_ERR_DISK_FULL and
 * VX_ERR_DEADLOCK, else 0. */
VX_API int vx_error_is_fatal(vx_status code);
/* Short message ("Invalid argument"); "Success" for 0 and positive codes,
 * "Unknown error" for undefined negative codes. */
VX_API const char *vx_error_message(vx_status code);
/* Long description; "An unknown error occurred" for undefined codes. */
VX_API const char *vx_error_description(vx_status code);
/* "Success", "General", "VectorDatabase", "Storage", "Concurrency" or
 * "Unknown" (also for any other value). */
VX_API const char *vx_error_category_name(vx_error_category category);
/* Writes "[category] message" into buffer (size bytes with the terminator)
 * and appends the formatted text directly after it when format is not null.
 * Returns the untruncated length like snprintf; 0 for a null buffer or size
 * 0. When the first part does not fit, its length is returned and nothing is
 * appended. */
VX_API int64_t vx_error_format(char *buffer, uint64_t size, vx_status code, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
/* Fills the last-error record with code, its category and message, the
 * caller's values and the current time. */
VX_API void vx_error_set(vx_status code, const char *file, int32_t line, const char *function,
                         const char *detail);
/* Copies the record into out; a null out is ignored. */
VX_API void vx_error_get(vx_error_info *out);
/* Resets the record to success; the time of the last set stays. */
VX_API void vx_error_clear(void);
/* 1 when the record holds a non-zero status. */
VX_API int vx_error_has_error(void);
/* The record's status. */
VX_API vx_status vx_error_get_last_status(void);

/* (end of error categories) */

/* ==========================================================================
 * Logging
 * ======================================================================== */

/* Receives every accepted message when installed: level, source file, line,
 * function, milliseconds since the epoch, message, user data. */
typedef void (*vx_log_callback)(uint32_t level, const char *file, int32_t line,
                                const char *function, uint64_t timestamp_ms,
                                const char *message, void *user_data);

/* Log levels; any value above VX_LOG_FATAL is shown as "UNKNOWN". */
typedef uint32_t vx_log_level;
enum {
    VX_LOG_TRACE = 0,
    VX_LOG_DEBUG = 1,
    VX_LOG_INFO = 2,
    VX_LOG_WARN = 3,
    VX_LOG_ERROR = 4,
    VX_LOG_FATAL = 5
};

/* The logger is process-wide and for hosts only; the library never logs.
 * One mutex serialises all output and all setters (the callback runs while it
 * is held; a message logged from inside the callback is dropped). The default
 * pattern is "[%T] [%L] %F:%N %M: %m": %T local time with milliseconds, %L
 * level padded to 5, %F file name without directories, %N line, %M function,
 * %m message, %% a percent sign. Setters return VX_OK. */

/* Messages below level are dropped (default VX_LOG_INFO). */
VX_API vx_status vx_log_set_level(vx_log_level level);
/* The minimum level. */
VX_API vx_log_level vx_log_get_level(void);
/* Installs (or with NULL removes) a callback that receives every accepted
 * message instead of the console and the file. */
VX_API vx_status vx_log_set_callback(vx_log_callback callback, void *user_data);
/* Closes the current log file and, unless path is NULL, opens path for
 * appending (append non-zero) or truncating; VX_ERR_FILE_NOT_FOUND when it
 * cannot be opened (no file is open then). */
VX_API vx_status vx_log_set_file(const char *path, int append);
/* Console output on or off (default on): levels up to WARN go to stdout,
 * ERROR and above to stderr. */
VX_API vx_status vx_log_set_console(int enabled);
/* Sets the line pattern (at most 255 characters kept); NULL changes nothing. */
VX_API vx_status vx_log_set_format(const char *pattern);
/* Logs one message (cut at 2047 characters; lines at 4095). Without a
 * callback a VX_LOG_FATAL message ends the process with abort() after it is
 * written; with a callback it returns normally. */
VX_API void vx_log_write(vx_log_level level, const char *file, int32_t line, const char *function,
                         const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;
/* vx_log_write with a variable-argument list. */
VX_API void vx_log_write_v(vx_log_level level, const char *file, int32_t line, const char *function,
                           const char *format, va_list args);
/* "TRACE" .. "FATAL", "UNKNOWN" above VX_LOG_FATAL. */
VX_API const char *vx_log_level_string(vx_log_level level);
/* The level named by text, ignoring case; VX_LOG_INFO for NULL or any other
 * text. */
VX_API vx_log_level vx_log_level_from_string(const char *text);
/* Wall-clock milliseconds since the epoch. */
VX_API uint64_t vx_log_timestamp(void);
/* Flushes the console streams (when console output is on) and the log file. */
VX_API void vx_log_flush(void);
/* Closes the log file and releases the logger's mutex; other settings stay.
 * Call only when no other thread logs. */
VX_API void vx_log_shutdown(void);

/* (end of logging) */

/* ==========================================================================
 * Hashing, sorting and the hash table
 * ======================================================================== */

/* ---- hash functions -------------------------------------------------------
 * Non-cryptographic; input bytes are read little-endian, so results are the
 * same on every platform. A null key reads nothing (hashes as empty input). */

/* MurmurHash3 x86_32 of len bytes (the low 32 bits of len are mixed in). */
VX_API uint32_t vx_hash_murmur3_32(const void *key, uint64_t len, uint32_t seed);
/* First 64-bit word of MurmurHash3 x64_128. Both lanes start at the full
 * 64-bit seed and the full 64-bit length is mixed in; for seeds below 2^32 and
 * lengths below 2^31 this equals the reference's first word. */
VX_API uint64_t vx_hash_murmur3_64(const void *key, uint64_t len, uint64_t seed);
/* vx_hash_murmur3_64 of a zero-terminated text (terminator excluded), seed 0;
 * 0 for NULL and for "". */
VX_API uint64_t vx_hash_string(const char *text);
/* vx_hash_murmur3_64 of the 8 little-endian bytes of value, seed 0. */
VX_API uint64_t vx_hash_int(uint64_t value);
/* vx_hash_murmur3_64 of dimension floats as stored (0.0 and -0.0 differ),
 * seed 0; 0 for NULL. */
VX_API uint64_t vx_hash_vector(const float *values, uint32_t dimension);

/* ---- hash table -------------------------------------------------------------
 * Maps key pointers to value pointers with separate chaining over a fixed
 * number of buckets (no resizing: size bucket_count for the expected keys).
 * Everything lives in the caller's arena and goes with it. No locks: one
 * thread at a time per table and its iterators. */

typedef struct vx_hash_table vx_hash_table;
typedef struct vx_hash_iterator vx_hash_iterator;

/* Hashes the key a table holds. */
typedef uint64_t (*vx_hash_fn)(const void *key);
/* Compares a stored key with a probe key: 0 when equal. */
typedef int32_t (*vx_key_compare_fn)(const void *stored, const void *probe);
/* Returns the pointer to store for a key or value (a copy in arena, or the
 * pointer itself). */
typedef void *(*vx_copy_fn)(vx_arena *arena, const void *item);

/* A table whose keys are identities: hashed by the 8 bytes they point at,
 * equal only when they are the same pointer, stored as given. NULL for a null
 * arena, bucket_count 0 or an exhausted arena. */
VX_API vx_hash_table *vx_hash_table_create(vx_arena *arena, uint64_t bucket_count);
/* A table keyed by zero-terminated texts, copied into the arena. */
VX_API vx_hash_table *vx_hash_table_create_string(vx_arena *arena, uint64_t bucket_count);
/* A table keyed by the uint64_t a key points at, copied into the arena. */
VX_API vx_hash_table *vx_hash_table_create_int(vx_arena *arena, uint64_t bucket_count);
/* Does nothing: the table lives until its arena is reset or destroyed. */
VX_API void vx_hash_table_destroy(vx_hash_table *table);
/* Replace one key function; call before the first insertion. A null table or
 * function is ignored. Values are stored as given unless a value copy
 * function is set. */
VX_API void vx_hash_table_set_hash_func(vx_hash_table *table, vx_hash_fn fn);
VX_API void vx_hash_table_set_compare_func(vx_hash_table *table, vx_key_compare_fn fn);
VX_API void vx_hash_table_set_key_copy_func(vx_hash_table *table, vx_copy_fn fn);
VX_API void vx_hash_table_set_value_copy_func(vx_hash_table *table, vx_copy_fn fn);
/* Inserts key -> value, or replaces the value of an equal key (its place and
 * stored key kept). VX_ERR_INVALID_ARG for a null table or key,
 * VX_ERR_NO_MEMORY when the entry or the key copy cannot be made. */
VX_API vx_status vx_hash_table_insert(vx_hash_table *table, const void *key, void *value);
/* The stored value, or NULL when absent (a stored NULL looks the same). */
VX_API void *vx_hash_table_find(const vx_hash_table *table, const void *key);
/* Removes the key: VX_ERR_NOT_FOUND when absent, VX_ERR_INVALID_ARG for null
 * arguments. The entry's memory stays in the arena. */
VX_API vx_status vx_hash_table_delete(vx_hash_table *table, const void *key);
/* Number of entries; 0 for NULL. */
VX_API uint64_t vx_hash_table_size(const vx_hash_table *table);
/* Empties the table (memory stays in the arena); VX_ERR_INVALID_ARG for NULL. */
VX_API vx_status vx_hash_table_clear(vx_hash_table *table);

/* An iterator from the table's arena standing on the first entry: buckets in
 * increasing order, each chain newest first. NULL for a null table or an
 * exhausted arena. Inserting or deleting while iterating leaves the view of
 * the changed bucket undefined. */
VX_API vx_hash_iterator *vx_hash_iterator_create(vx_hash_table *table);
/* 1 while the iterator stands on an entry, else 0 (also for NULL). */
VX_API int vx_hash_iterator_valid(const vx_hash_iterator *iterator);
/* Moves to the next entry: 1, or 0 when there is none (then not valid). */
VX_API int vx_hash_iterator_next(vx_hash_iterator *iterator);
/* The current entry's stored key or value; NULL without a current entry. */
VX_API const void *vx_hash_iterator_get_key(const vx_hash_iterator *iterator);
VX_API void *vx_hash_iterator_get_value(const vx_hash_iterator *iterator);
/* Does nothing: the iterator belongs to the table's arena. */
VX_API void vx_hash_iterator_destroy(vx_hash_iterator *iterator);

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
/* Cosine and sine by their Taylor series after reducing x into [-pi, pi] by
 * repeated subtraction of 2pi (near +-pi a result may lie one unit beyond
 * -1 or 1); NaN for infinities and NaN. Arguments so large that subtracting
 * 2pi no longer changes them are reduced by their exact remainder modulo
 * 2pi and give a value in [-1, 1]. */
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
 * bit. Functions taking an int32_t metric read a vx_metric code. Nothing
 * here locks; calls on distinct outputs may run on any thread. */

/* Distance metrics, used by vectors, quantizers, indexes and collections;
 * smaller is always nearer. Unknown codes rank like VX_METRIC_L2 wherever a
 * function does not say otherwise. */
typedef int32_t vx_metric;
enum {
    VX_METRIC_L2 = 0,     /* SQUARED Euclidean distance: sum of (a[i] - b[i])^2
                           * (the quantizers and vx_vec_batch_distance
                           * give its root) */
    VX_METRIC_IP = 1,     /* negated inner product: -sum of a[i] * b[i] */
    VX_METRIC_COSINE = 2  /* 1 - cosine similarity (not clamped) */
};

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
 * distance (vx_vec_l2_squared) for VX_METRIC_L2 and unknown metrics, the
 * negated dot product for VX_METRIC_IP, the cosine distance for
 * VX_METRIC_COSINE. dim 0 gives 0.0, -0.0 and 1.0 respectively; a null
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
/* VX_METRIC_IP: -vx_vec_dot; VX_METRIC_COSINE: vx_vec_cosine_distance; any
 * other metric, VX_METRIC_L2 included: vx_vec_batch_l2_distance (the root,
 * unlike vx_vec_distance). Nothing for a null query, list or out. */
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

/* Quantization kinds: for sizing and reports, and the codes of the
 * quant_type fields of vx_index_params and vx_collection_config. 3 and 5 or
 * more are not recognised. */
typedef uint32_t vx_quant_type;
enum {
    VX_QUANT_NONE = 0,       /* raw floats, 4 bytes per dimension */
    VX_QUANT_SCALAR = 1,     /* scalar quantizer, 1 byte per dimension */
    VX_QUANT_SCALAR_ALT = 2, /* sized and reported like VX_QUANT_SCALAR */
    VX_QUANT_PRODUCT = 4     /* product quantizer, 8 code bytes per vector */
};

/* Scalar quantizer: one byte per dimension from a per-dimension minimum and
 * range learned in training. Lives in its arena. Encoding, decoding and
 * distances only read it and may run concurrently; training writes it, so
 * its caller keeps every other use out meanwhile. Code c of dimension d
 * decodes to c / scale[d] + min[d]. */
typedef struct vx_sq_quantizer {
    float *min;     /* dim floats: per-dimension training minimum */
    float *max;     /* dim floats: per-dimension training maximum */
    float *scale;   /* dim floats: 255 / (max - min), or 1.0 when flat */
    uint32_t dim;
    vx_arena *arena; /* holds the record and its arrays */
} vx_sq_quantizer;

/* Makes a quantizer in arena with untrained (undefined) arrays; NULL for a
 * null arena, dim 0 or an exhausted arena. */
VX_API vx_sq_quantizer *vx_sq_quantizer_create(vx_arena *arena, uint32_t dim);
/* Learns min, max and scale from n row-major vectors, replacing earlier
 * statistics; VX_ERR_INVALID_ARG for null arguments or n 0. */
VX_API vx_status vx_sq_quantizer_train(vx_sq_quantizer *q, const float *data, uint64_t n);
/* Encodes v into dim code bytes (rounding half up, clamped to 0..255, NaN
 * gives 0); VX_ERR_INVALID_ARG for null arguments. */
VX_API vx_status vx_sq_quantize(const vx_sq_quantizer *q, const float *v, uint8_t *codes);
/* Decodes dim code bytes into out; VX_ERR_INVALID_ARG for null arguments. */
VX_API vx_status vx_sq_dequantize(const vx_sq_quantizer *q, const uint8_t *codes, float *out);
/* Encodes n row-major vectors; VX_ERR_INVALID_ARG for null arguments or n 0. */
VX_API vx_status vx_sq_quantize_batch(const vx_sq_quantizer *q, const float *data,
                                      uint8_t *codes, uint64_t n);
/* Decodes n code vectors; VX_ERR_INVALID_ARG for null arguments or n 0. */
VX_API vx_status vx_sq_dequantize_batch(const vx_sq_quantizer *q, const uint8_t *codes,
                                        float *out, uint64_t n);
/* Distance between a query and decoded codes: VX_METRIC_L2 the L2 root (not
 * squared), VX_METRIC_IP the negated dot product, VX_METRIC_COSINE one minus
 * the cosine (1.0 when either norm is 0); VX_DISTANCE_SENTINEL for another
 * metric or null arguments. */
VX_API float vx_sq_distance(const vx_sq_quantizer *q, const uint8_t *codes, const float *query,
                            int32_t metric);
/* Does nothing: the quantizer goes with its arena. */
VX_API void vx_sq_quantizer_destroy(vx_sq_quantizer *q);

/* Product quantizer: a vector is cut into m sub-vectors of dsub = dim / m
 * floats, each replaced by the byte index of the nearest of ksub = 1 << nbits
 * centroids in its sub-space's codebook. Codebooks are sampled from training
 * sub-vectors with vx_rand. Lives in its arena; same concurrency rule as the
 * scalar quantizer. */
typedef struct vx_pq_quantizer {
    uint32_t dim;      /* full vector dimension */
    uint32_t m;        /* sub-spaces, also the code bytes per vector */
    int32_t nbits;     /* bits per sub-code, 0..8 */
    uint32_t ksub;     /* centroids per sub-space */
    float **codebooks; /* m arrays of ksub * dsub floats; centroid j at j * dsub */
    uint32_t dsub;     /* sub-vector dimension */
    vx_arena *arena;   /* holds the record, the pointer array and the codebooks */
} vx_pq_quantizer;

/* Makes a quantizer with zeroed codebooks in *out; VX_ERR_INVALID_ARG for a
 * null arena or out, dim or m 0, dim not divisible by m, or nbits outside
 * 0..8; VX_ERR_NO_MEMORY when the arena is exhausted (out untouched). */
VX_API vx_status vx_pq_create(vx_arena *arena, uint32_t dim, uint32_t m, int32_t nbits,
                              vx_pq_quantizer **out);
/* Samples every centroid uniformly (with replacement) from the n training
 * vectors' sub-vectors, sub-space by sub-space; VX_ERR_INVALID_ARG for null
 * arguments or n 0, VX_ERR_NO_MEMORY when the arena cannot give a sub-space's
 * scratch (earlier sub-spaces are then already resampled). */
VX_API vx_status vx_pq_train(vx_pq_quantizer *q, const float *data, uint64_t n);
/* Writes m code bytes for v, each the nearest centroid (lowest index on
 * ties); does nothing for null arguments. */
VX_API void vx_pq_encode(const vx_pq_quantizer *q, const float *v, uint8_t *codes);
/* Encodes n row-major vectors into n * m bytes; nothing for null or n 0. */
VX_API void vx_pq_encode_batch(const vx_pq_quantizer *q, const float *data, uint8_t *codes,
                               uint64_t n);
/* Distance between a query and the centroids named by codes: VX_METRIC_L2
 * the L2 root (not squared), VX_METRIC_IP the negated dot product,
 * VX_METRIC_COSINE one minus the cosine, another metric the squared L2;
 * VX_DISTANCE_SENTINEL for null arguments or a code byte at or above ksub
 * (it names no centroid). */
VX_API float vx_pq_distance(const vx_pq_quantizer *q, const float *query, const uint8_t *codes,
                            int32_t metric);
/* out[i] = vx_pq_distance(q, query, codes + i * m, metric) for i < n; does
 * nothing for null arguments. */
VX_API void vx_pq_distance_batch(const vx_pq_quantizer *q, const float *query,
                                 const uint8_t *codes, float *out, uint64_t n, int32_t metric);
/* Does nothing: the quantizer goes with its arena. */
VX_API void vx_pq_destroy(vx_pq_quantizer *q);

/* Bytes that n vectors of dim floats need: n * dim * 4 for VX_QUANT_NONE,
 * n * dim for the scalar kinds, n * 8 for VX_QUANT_PRODUCT, 0 otherwise
 * (UINT64_MAX when the product exceeds 64 bits). */
VX_API uint64_t vx_quant_calculate_size(vx_quant_type type, uint32_t dim, uint64_t n);
/* One line describing the storage of `elements` floats under type (pq_bytes:
 * the product codes' size), e.g. "SQ quantization: 1.00 MB (4x compression)".
 * The text lives in one static buffer that every call overwrites: callers
 * copy it and serialise calls. */
VX_API const char *vx_quant_get_info(vx_quant_type type, uint32_t elements, uint32_t pq_bytes);

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

/* Open modes of file and mapped stores (vx_storage_options.open_mode,
 * vx_storage_open): plain values, not bits, and a space apart from the
 * flags of vx_daded_open, whose VX_OPEN_READ_ONLY equals VX_OPEN_WRITE
 * here. Mode 4 (create, read-write, an existing file is not truncated) is
 * spelt VX_OPEN_CREATE, the macro of the database section, which has the
 * value 4 in both spaces. Modes 4 and 5 write a fresh header, the others
 * read and check it. Any other value opens read-only. */
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
    uint64_t reserved[4];     /* [0] quantizer kind (low half) and bits per
                               * product code (high half), [1] product
                               * sub-spaces, [2] flags (bit 0: the file ends
                               * with a checksum section), [3] zero */
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

/* An index accelerates k-nearest-neighbour search over one collection's
 * vectors: an inverted file (IVF: k-means centroids with probe lists, raw,
 * product-quantized or scalar-quantized entries) or a hierarchical navigable
 * small-world graph (HNSW). Distances follow the index's metric exactly as
 * vx_vec_distance computes it (SQUARED L2 for VX_METRIC_L2); the quantized
 * entries of kinds VX_INDEX_IVF_PQ and VX_INDEX_IVF_SQ are ranked by their
 * quantizer's distance under that metric, which for VX_METRIC_L2 is the
 * root (vx_pq_distance, vx_sq_distance).
 *
 * Threading: a graph takes its reader/writer lock for writing in add and
 * remove and for reading in search; an inverted file takes one mutex per add
 * batch and one reader/writer lock per list. Training, destruction and the
 * statistics take no lock: the caller keeps adds and searches away from them.
 */

/* Index kinds. Configuration text names the first three "flat", "ivf" and
 * "hnsw". The graph kinds with a quantizer keep raw vectors in the graph;
 * only the inverted-file kinds store quantized entries. */
typedef int32_t vx_index_type;
enum {
    VX_INDEX_FLAT = 0,     /* no index object: brute force */
    VX_INDEX_IVF = 1,      /* inverted file over raw vectors */
    VX_INDEX_HNSW = 2,     /* graph */
    VX_INDEX_IVF_PQ = 3,
    VX_INDEX_HNSW_PQ = 4,
    VX_INDEX_IVF_SQ = 5,
    VX_INDEX_HNSW_SQ = 6
};

/* One hit: the library writes only id and distance (squared under
 * VX_METRIC_L2 unless the index stores quantized entries, see above). */
typedef struct vx_search_result {
    uint64_t id;
    float distance;
} vx_search_result;

/* The family block of vx_index_params read by an inverted file. */
typedef struct vx_ivf_params {
    uint32_t nlist;      /* number of lists (centroids), non-zero */
    uint32_t nprobe;     /* lists scanned per query */
    uint32_t iterations; /* k-means rounds in training */
    uint32_t reserved0;  /* ignored */
    uint32_t reserved1;  /* kept by the body, otherwise ignored */
    uint32_t reserved2;  /* ignored */
} vx_ivf_params;

/* The family block of vx_index_params read by a graph. */
typedef struct vx_hnsw_params {
    uint32_t M;               /* links per node above layer 0 (2*M at layer 0) */
    uint32_t ef_construction; /* candidate count while inserting */
    uint32_t ef_search;       /* candidate count while searching (at least k) */
    uint32_t max_level;       /* cap on a node's level, 0 for none */
    uint32_t seed;            /* recorded seed, 0 meaning 12345 */
    float level_mult;         /* level multiplier, <= 0 meaning 1 / ln M */
} vx_hnsw_params;

/* Creation parameters; read once by vx_index_create and never kept. */
typedef struct vx_index_params {
    vx_index_type type;
    vx_metric metric;   /* ranking metric; unknown codes rank as L2 */
    int32_t quant_type; /* vx_quant_type: VX_QUANT_SCALAR or VX_QUANT_SCALAR_ALT
                         * give the index a scalar quantizer (trained by an
                         * inverted file) even when its kind stores raw
                         * vectors, which then stay raw; other values are
                         * ignored (product codes come only from the _PQ
                         * kinds) */
    uint32_t dimension; /* non-zero */
    union {
        vx_ivf_params ivf;
        vx_hnsw_params hnsw;
    } family;
    uint32_t pq_m;      /* product-quantizer sub-spaces (the _PQ kinds) */
    uint32_t pq_nbits;  /* bits per product-quantizer code, at most 8 */
    uint32_t reserved;  /* not read by the index */
} vx_index_params;

/* A snapshot of an index, zero-filled by vx_index_get_stats. */
typedef struct vx_index_stats {
    uint64_t ntotal;       /* vectors ever added */
    uint64_t memory_bytes; /* vx_index_get_memory_usage */
    uint64_t reserved0;
    uint32_t nlist;        /* list count of an inverted file, else 0 */
    uint32_t max_level;    /* top layer of a graph, else 0 */
    uint64_t reserved1;
} vx_index_stats;

typedef struct vx_index vx_index;
typedef struct vx_ivf_index vx_ivf_index;
typedef struct vx_hnsw_index vx_hnsw_index;

/* Creates an index of params->type in arena (or in an arena of its own when
 * arena is NULL); NULL for NULL params, VX_INDEX_FLAT, an unknown kind, a zero
 * dimension, bad family parameters or no memory. A quantizer that cannot be
 * made leaves the index storing raw vectors. */
VX_API vx_index *vx_index_create(vx_arena *arena, const vx_index_params *params);
/* Releases the index's locks and, when it made its own, its arena; NULL is
 * ignored. */
VX_API void vx_index_destroy(vx_index *index);
/* The index kind; VX_INDEX_FLAT for NULL. */
VX_API vx_index_type vx_index_get_type(const vx_index *index);
/* Sets how widely later searches look: nprobe of an inverted file, ef_search
 * of a graph. Safe while other threads search. VX_ERR_INVALID_ARG for NULL. */
VX_API vx_status vx_index_set_search_width(vx_index *index, uint32_t width);
/* How a graph picks the neighbours of a new node and trims a full
 * neighbour list. DIVERSE, the default of every new graph, walks the
 * candidates nearest first and keeps one only when it is nearer to the node
 * than to every neighbour kept before it (with fewer candidates than the
 * node's M, all are kept); a new node keeps at most M at every layer, a full
 * list is trimmed the same way to its room (2*M at layer 0, M above), and
 * node levels come from the graph's own generator seeded by its seed.
 * NEAREST links each node to its plain nearest candidates, replaces the
 * farthest link of a full list by a strictly nearer new node, and draws
 * levels from vx_rand. Index files record the rule; files written before
 * the rule was recorded load as NEAREST. */
enum {
    VX_HNSW_SELECT_NEAREST = 0,
    VX_HNSW_SELECT_DIVERSE = 1
};
/* Sets the neighbour selection of an empty graph (kinds VX_INDEX_HNSW,
 * VX_INDEX_HNSW_PQ, VX_INDEX_HNSW_SQ). VX_ERR_INVALID_ARG for NULL, an
 * unknown rule or a graph that has taken vectors already;
 * VX_ERR_NOT_SUPPORTED for other kinds. Takes the graph's write lock. */
VX_API vx_status vx_index_set_neighbor_selection(vx_index *index, int32_t selection);
/* Sets how many threads later adds to a graph use: 0 every core online, 1
 * (the default of every graph, also one loaded from a file) the calling
 * thread alone, inserting in batch order, so that a given seed and input
 * give the same graph every time; at most 64 are started. With more than
 * one, a batch of at least 128 vectors per thread is inserted in chunks of
 * 16,384 vectors, each under one hold of the write lock: searches run
 * between chunks and always see a whole graph. Such a graph depends on the
 * threads' timing (its levels do not: they are drawn in batch order), and a
 * chunk that re-adds ids is inserted on the calling thread. The threads are
 * the library's own and end before the add returns. Safe while other
 * threads search or add. VX_ERR_INVALID_ARG for NULL; VX_ERR_NOT_SUPPORTED
 * for kinds that are not graphs. */
VX_API vx_status vx_index_set_build_threads(vx_index *index, uint32_t threads);
/* The vector dimension; 0 for NULL. */
VX_API uint32_t vx_index_get_dim(const vx_index *index);
/* Vectors ever added (removals do not lower it); 0 for NULL. */
VX_API uint64_t vx_index_get_ntotal(const vx_index *index);
/* 1 when the index can take vectors (always for graphs, after training for
 * inverted files); 0 otherwise or for NULL. */
VX_API int32_t vx_index_is_trained(const vx_index *index);
/* Trains an inverted file on count row-major vectors (count >= nlist);
 * VX_ERR_INVALID_ARG for NULL arguments, count 0 or too few vectors,
 * VX_ERR_NO_MEMORY; VX_OK without effect for graphs. */
VX_API vx_status vx_index_train(vx_index *index, const float *vectors, uint64_t count);
/* Adds count vectors (row-major) under the given ids; VX_ERR_INVALID_ARG,
 * VX_ERR_INDEX_NOT_READY for an untrained inverted file, VX_ERR_NOT_SUPPORTED
 * for VX_INDEX_HNSW_SQ, VX_ERR_NO_MEMORY (vectors added before the failure
 * stay; a graph, which finds nodes by id in tables of 32-bit slots, also
 * refuses ids from 2^31 - 1 up this way, and a node whose drawn level would
 * need over 64 MiB of lists, which only a level multiplier far beyond
 * 1 / ln M draws). A graph copies each vector. */
VX_API vx_status vx_index_add_batch(vx_index *index, const uint64_t *ids,
                                    const float *vectors, uint64_t count);
/* vx_index_add_batch of one vector. */
VX_API vx_status vx_index_add(vx_index *index, uint64_t id, const float *vector);
/* Removes id from a graph of kind VX_INDEX_HNSW; a successful no-op for
 * every other kind (VX_INDEX_HNSW_PQ included) and for absent ids;
 * VX_ERR_INVALID_ARG for NULL. Under VX_HNSW_SELECT_DIVERSE (the default)
 * each neighbour that linked back to the removed node picks its list afresh,
 * by the diverse rule, from its other links and the removed node's, on every
 * layer of the removed node (work bounded by M, not by the graph's size);
 * under VX_HNSW_SELECT_NEAREST neighbours keep their links to the removed id,
 * which traversals skip. VX_ERR_NO_MEMORY when that relinking runs short of
 * memory: the node is removed all the same and each list is either as it
 * was or fully rechosen. */
VX_API vx_status vx_index_remove(vx_index *index, uint64_t id);
/* vx_index_remove for each id in order, stopping at the first failure;
 * VX_ERR_INVALID_ARG for NULL arguments or count 0. */
VX_API vx_status vx_index_remove_batch(vx_index *index, const uint64_t *ids, uint64_t count);
/* Writes up to k nearest hits to results in ascending distance and returns
 * their number; 0 for bad arguments, an empty index or no memory. */
VX_API uint64_t vx_index_search(vx_index *index, const float *query, uint64_t k,
                                vx_search_result *results);
/* Runs nq searches; query i reads queries + i * dimension and writes
 * results + i * k. A query without hits gets id UINT64_MAX and distance
 * VX_DISTANCE_SENTINEL in its first record. VX_ERR_INVALID_ARG for NULL
 * arguments, VX_OK otherwise. */
VX_API vx_status vx_index_search_batch(vx_index *index, const float *queries, uint64_t nq,
                                       uint64_t k, vx_search_result *results);
/* vx_index_search_batch with the queries shared among `threads` threads
 * (0 and 1: the calling thread alone; at most 64), each taking consecutive
 * queries; the answers are those of vx_index_search_batch, row for row. A
 * thread that cannot be started leaves its share to the calling thread.
 * VX_ERR_INVALID_ARG for NULL arguments, VX_OK otherwise. Thread-safe as
 * vx_index_search is; the threads end before the call returns. */
VX_API vx_status vx_index_search_batch_threads(vx_index *index, const float *queries, uint64_t nq,
                                               uint64_t k, uint32_t threads, vx_search_result *results);

/* Creates an inverted-file body (VX_INDEX_IVF, VX_METRIC_L2) in arena (or
 * in an arena of its own, released by vx_ivf_destroy); NULL for dimension
 * 0, NULL params, nlist 0 or no memory. */
VX_API vx_ivf_index *vx_ivf_create(vx_arena *arena, uint32_t dimension,
                                   const vx_ivf_params *params);
/* Releases the body's locks (and its own arena); NULL is ignored. */
VX_API void vx_ivf_destroy(vx_ivf_index *ivf);
/* Number of lists; 0 for NULL. */
VX_API uint32_t vx_ivf_get_nlist(const vx_ivf_index *ivf);
/* Entries in one list; 0 for NULL or a list number out of range. */
VX_API uint64_t vx_ivf_get_list_size(const vx_ivf_index *ivf, uint32_t list);

/* Creates a graph body (VX_INDEX_HNSW, VX_METRIC_L2) in arena (or in an
 * arena of its own, released by vx_hnsw_destroy); NULL for dimension 0,
 * NULL params or no memory. */
VX_API vx_hnsw_index *vx_hnsw_create(vx_arena *arena, uint32_t dimension,
                                     const vx_hnsw_params *params);
/* Releases the body's lock, its node tables and vector store (and its own
 * arena); NULL is ignored. A body made in a caller's arena must be
 * destroyed before that arena. */
VX_API void vx_hnsw_destroy(vx_hnsw_index *hnsw);
/* The graph's top layer; 0 for NULL. */
VX_API uint32_t vx_hnsw_get_max_level(const vx_hnsw_index *hnsw);
/* The entry node's id; -1 for NULL or an empty graph. */
VX_API int64_t vx_hnsw_get_entry_point(const vx_hnsw_index *hnsw);

/* Estimated bytes held by the index (a formula over its live structures);
 * 0 for NULL. */
VX_API uint64_t vx_index_get_memory_usage(const vx_index *index);
/* Fills stats; VX_ERR_INVALID_ARG for NULL arguments. */
VX_API vx_status vx_index_get_stats(const vx_index *index, vx_index_stats *stats);

/* Writes the index to the file named by path->data (replacing it only once
 * the new file is complete). VX_ERR_INVALID_ARG for null arguments,
 * VX_ERR_NOT_SUPPORTED for an unknown kind, VX_ERR_IO when the file cannot
 * be written. Takes no lock: keep adds and removals away meanwhile. */
VX_API vx_status vx_index_save(const vx_index *index, const vx_str *path);
/* Reads an index file into arena; NULL for null arguments, an unreadable
 * file, a damaged head, or a file whose trailing checksum (written by
 * vx_index_save) does not match its bytes, which also records
 * VX_ERR_FILE_CORRUPTED as the calling thread's last error (vx_error_get).
 * A file from before the checksum that is damaged further on gives the
 * index as far as it could be read. */
VX_API vx_index *vx_index_load(vx_arena *arena, const vx_str *path);

/* (end of indexes) */

/* ==========================================================================
 * Collections
 * ======================================================================== */

/* Records are found by id through an id-ordered position search, so every
 * lookup by id stays fast however large the collection grows. Every call
 * takes the collection's reader/writer lock (writers: insert, upsert,
 * delete, clear, set_meta, build, rebuild, drop; readers: the rest) and
 * releases it before returning.
 *
 * Pointers into the collection (records, vectors, metadata, the name) are
 * handed out after that lock is released, as LMDB's mdb_get hands out data
 * after its read: the library keeps no reader registered for them. Record
 * memory lives in the collection's arena and is never returned before the
 * collection is destroyed, so such a pointer never dangles while the
 * collection exists, but it only describes the record faithfully while no
 * writer runs: the caller keeps writers (on any thread) away for as long as
 * it reads through it, and reads it again after a write. */

typedef struct vx_collection vx_collection;
typedef struct vx_collection_iterator vx_collection_iterator;

/* Options for creating a collection; the collection keeps a copy. */
typedef struct vx_collection_config {
    vx_str name;              /* copied up to its zero byte (at most len bytes
                               * when len is non-zero). Required by the
                               * database calls (see the name rules there);
                               * vx_collection_create alone accepts a null
                               * data and makes an unnamed collection */
    uint32_t dimension;       /* floats per vector; must not be 0 */
    vx_metric metric;         /* VX_METRIC_*; unknown codes rank as L2 */
    vx_index_type index_type; /* -1: the automatic index, an inverted file
                               * (VX_INDEX_IVF) of 5 lists, 3 probed per
                               * query. The graph kinds: that graph, with M
                               * 16, ef_construction 200, ef_search 64.
                               * VX_INDEX_FLAT and the inverted-file kinds
                               * (given no lists here): no index at creation;
                               * vx_collection_build_index then makes the
                               * automatic one */
    uint32_t refine_factor;   /* (once a reserved field, read as 0 before)
                               * candidates per wanted hit that a quantized
                               * index (the _PQ and _SQ kinds) supplies; the
                               * collection re-ranks them by the exact
                               * vectors it holds. 0: 4; 1: the index's own
                               * ranking. Not kept in the collection file */
    uint64_t build_threads;   /* (once a reserved field, read as 0 before)
                               * threads that build a graph index: 0 every
                               * core, 1 the calling thread alone (the same
                               * graph for a given seed every time); more
                               * than the cores online count as every core.
                               * Applied whenever the collection adds to its
                               * graph: vx_collection_build_index, rebuilds,
                               * insertions. Not kept in the collection file
                               * (a loaded collection reads 0) */
    int32_t auto_resize;      /* stored with the options, never consulted:
                               * the record array always grows */
    int32_t quant_type;       /* vx_quant_type, handed to the index made at
                               * creation as vx_index_params.quant_type (the
                               * automatic index of a build gets
                               * VX_QUANT_NONE): VX_QUANT_SCALAR and
                               * VX_QUANT_SCALAR_ALT attach a scalar
                               * quantizer, other values (VX_QUANT_NONE,
                               * VX_QUANT_PRODUCT) change nothing; quantized
                               * storage comes from the index kind alone */
    uint32_t pq_m;            /* product-quantizer sub-spaces (_PQ kinds) */
    uint32_t pq_nbits;        /* bits per product-quantizer code, at most 8 */
} vx_collection_config;

/* Metadata value types. */
enum {
    VX_META_NULL = 0,
    VX_META_INT32 = 1,
    VX_META_INT64 = 2,
    VX_META_FLOAT = 3,
    VX_META_DOUBLE = 4,
    VX_META_STRING = 5,
    VX_META_BOOL = 6
};

/* One metadata value; the member in use follows the entry's type. */
typedef union vx_meta_value {
    int32_t i32;
    int64_t i64;
    float f32;
    double f64;
    vx_str str;
    int32_t boolean; /* 0 false, non-zero true */
} vx_meta_value;

/* One key/value metadata entry. The collection keeps its own copy of the
 * key and of string values. */
typedef struct vx_meta_entry {
    vx_str key;
    int32_t type; /* VX_META_* */
    vx_meta_value value;
} vx_meta_entry;

/* Filter node kinds; every kind above VX_FILTER_NOT is a condition. */
enum {
    VX_FILTER_AND = 0,
    VX_FILTER_OR = 1,
    VX_FILTER_NOT = 2,
    VX_FILTER_CONDITION = 3
};

/* Condition operators: the record's value on the left. */
enum {
    VX_OP_EQ = 0,
    VX_OP_NE = 1,
    VX_OP_GT = 2,
    VX_OP_GE = 3,
    VX_OP_LT = 4,
    VX_OP_LE = 5
};

/* Limits of a filter tree, checked before any record is examined: at most
 * VX_FILTER_MAX_DEPTH levels (the root is level 1) and VX_FILTER_MAX_NODES
 * nodes, a node reached along several paths counted each time. A tree over
 * either limit, or one whose children lead back to an ancestor, is refused
 * with VX_ERR_INVALID_ARG (searches, vx_collection_foreach and
 * vx_collection_create_iterator then return 0 or NULL, and
 * vx_collection_delete_by_filter -1, with the status in the last-error
 * record). */
#define VX_FILTER_MAX_DEPTH 64
#define VX_FILTER_MAX_NODES 65536

/* One node of a filter tree. Conditions use key, op and value; AND, OR and
 * NOT use children (NOT negates its first child; without one it matches
 * nothing). A null filter matches every record. */
typedef struct vx_filter {
    int32_t kind;        /* VX_FILTER_* */
    const char *key;     /* zero-terminated key, compared ignoring case */
    int32_t op;          /* VX_OP_* */
    vx_meta_value value; /* the filter's value, typed like the entry's */
    struct vx_filter **children;
    uint64_t child_count;
} vx_filter;

/* One stored record, as vx_collection_get_record and
 * vx_collection_iterator_get_record hand it out: a pointer to the
 * collection's own slot, never a copy. The slot holds the record of its id
 * until the next insertion (the array may move to grow), deletion (later
 * records shift down), clear or destruction of the collection; an upsert of
 * the id overwrites the vector in place and vx_collection_set_meta points
 * meta at new entries. Read-only for the caller. */
typedef struct vx_record {
    uint64_t id;
    float *vector;       /* dimension floats */
    vx_meta_entry *meta; /* NULL when the record has no metadata */
    uint64_t meta_count;
} vx_record;

/* Filled by vx_collection_get_stats. */
typedef struct vx_collection_stats {
    uint64_t count;
    uint64_t capacity;
    uint64_t memory_used; /* used bytes of the arena the collection lives in */
    uint32_t dimension;
    int32_t index_type;   /* -1 without an index */
    int32_t index_trained;
} vx_collection_stats;

/* Search options; a NULL options pointer means k = 10 and nothing else. */
typedef struct vx_search_options {
    uint64_t k;              /* hits wanted */
    const vx_filter *filter; /* only matching records are returned */
    int32_t include_vector;  /* hits carry the stored vector */
    int32_t include_meta;    /* hits carry the stored metadata */
    uint64_t refine_factor;  /* (once a reserved field) candidates per wanted
                              * hit taken from a quantized index and
                              * re-ranked by exact distance; 0: the
                              * collection's refine_factor, 1: none */
} vx_search_options;

/* One hit: distance under the collection's metric as vx_vec_distance
 * computes it, smaller is nearer; under VX_METRIC_L2 the SQUARED Euclidean
 * distance, whatever index found the hit. vector and meta point at the
 * stored record's arrays (NULL unless asked for); they stay readable
 * until the collection is destroyed, and hold this hit's values until the record is upserted, its metadata replaced,
 * or it is deleted (see the collection notes above). */
typedef struct vx_search_hit {
    uint64_t id;
    float distance;
    const float *vector;
    const vx_meta_entry *meta;
    uint64_t meta_count;
} vx_search_hit;

/* Called once per record by vx_collection_foreach; non-zero to go on. */
typedef int32_t (*vx_foreach_fn)(uint64_t id, const float *vector, uint32_t dimension,
                                 void *user_data);

/* Creates a collection in arena (NULL: it makes a 4 MiB arena of its own).
 * NULL for a null config, dimension 0 or exhausted memory. */
VX_API vx_collection *vx_collection_create(vx_arena *arena, const vx_collection_config *config);
/* Destroys the lock, the index and an owned arena; NULL is ignored. */
VX_API void vx_collection_destroy(vx_collection *c);
/* The zero-terminated name, owned by the collection and valid until it is
 * destroyed; NULL for NULL or an unnamed collection. Takes no lock. */
VX_API const char *vx_collection_get_name(const vx_collection *c);
/* Fills *out; VX_ERR_INVALID_ARG when either is null. */
VX_API vx_status vx_collection_get_stats(vx_collection *c, vx_collection_stats *out);

/* Inserts a copy of vector (dimension floats) with a copy of meta and
 * stores the new id in *out_id (may be NULL). VX_ERR_INVALID_ARG (also for
 * a NaN or infinite component), VX_ERR_NO_MEMORY, VX_ERR_READ_ONLY for a
 * collection of a read-only database. */
VX_API vx_status vx_collection_insert_with_meta(vx_collection *c, const float *vector,
                                                const vx_meta_entry *meta, uint64_t meta_count,
                                                uint64_t *out_id);
/* Same without metadata. */
VX_API vx_status vx_collection_insert(vx_collection *c, const float *vector, uint64_t *out_id);
/* Inserts rec's vector and metadata under a new id (rec's id is ignored). */
VX_API vx_status vx_collection_insert_record(vx_collection *c, const vx_record *rec);
/* Inserts n vectors stored back to back; out_ids (may be NULL) receives the
 * n ids once all succeeded. Stops at the first failure and returns it;
 * VX_ERR_INVALID_ARG for null pointers or n 0. The records are stored 2,048
 * at a time under one hold of the write lock; an active graph takes each
 * such chunk in one add, on the collection's build threads. */
VX_API vx_status vx_collection_insert_batch(vx_collection *c, const float *vectors, uint64_t n,
                                            uint64_t *out_ids);
/* vx_collection_insert_batch with metadata: record i gets a copy of the
 * meta_counts[i] entries at metas[i] (none when metas or meta_counts is
 * NULL or metas[i] is NULL), as vx_collection_insert_with_meta copies them.
 * The caller keeps its arrays. Same failures. */
VX_API vx_status vx_collection_insert_batch_with_meta(vx_collection *c, const float *vectors, uint64_t n,
                                                      const vx_meta_entry *const *metas,
                                                      const uint64_t *meta_counts, uint64_t *out_ids);
/* Overwrites the vector of id; an unknown id inserts the vector under the
 * next assigned id instead. VX_ERR_INVALID_ARG for null pointers. */
VX_API vx_status vx_collection_upsert(vx_collection *c, uint64_t id, const float *vector);
/* Deletes id, keeping the order of the others. VX_ERR_NOT_FOUND. The
 * records after it move down, so the cost grows with the collection; many
 * ids go faster through vx_collection_delete_batch. */
VX_API vx_status vx_collection_delete(vx_collection *c, uint64_t id);
/* Deletes every listed id that exists, as vx_collection_delete would one
 * after another in list order (an id listed twice is deleted once, unless
 * the collection holds it twice), under one hold of the write lock and in
 * one pass over the records. VX_OK also when none existed;
 * VX_ERR_INVALID_ARG for null pointers or n 0, VX_ERR_READ_ONLY. */
VX_API vx_status vx_collection_delete_batch(vx_collection *c, const uint64_t *ids, uint64_t n);
/* Deletes every record matching f (NULL: all); the number deleted, -1 for a
 * null or read-only collection or a filter over the limits. */
VX_API int64_t vx_collection_delete_by_filter(vx_collection *c, const vx_filter *f);
/* Removes every record; ids start from 1 again and the index is replaced by
 * a fresh one of the same kind. */
VX_API vx_status vx_collection_clear(vx_collection *c);
/* Copies the vector of id into out. VX_ERR_INVALID_ARG, VX_ERR_NOT_FOUND. */
VX_API vx_status vx_collection_get(vx_collection *c, uint64_t id, float *out);
/* Stores a pointer to the collection's own record of id in *out (NULL when
 * missing): VX_ERR_INVALID_ARG, VX_ERR_NOT_FOUND. The read lock is released
 * before the call returns, so the pointer is valid (see vx_record) only
 * until the next write to the collection: insertion, deletion, clear,
 * upsert or set_meta of the id, or destruction. A caller that shares the
 * collection with writers copies what it needs (vx_collection_get,
 * vx_collection_get_meta) instead. */
VX_API vx_status vx_collection_get_record(vx_collection *c, uint64_t id, vx_record **out);
/* Copies the vector of ids[i] to out + i * dimension for every id found and
 * returns how many were found; slots of missing ids are left alone. */
VX_API uint64_t vx_collection_get_batch(vx_collection *c, const uint64_t *ids, uint64_t n,
                                        float *out);

/* Replaces the metadata of id with a copy of n entries. VX_ERR_INVALID_ARG
 * for null pointers or n 0, VX_ERR_NOT_FOUND. */
VX_API vx_status vx_collection_set_meta(vx_collection *c, uint64_t id, const vx_meta_entry *entries,
                                        uint64_t n);
/* Copies up to *count entries of id's metadata to out, then sets *count to
 * the record's full entry count. VX_ERR_INVALID_ARG, VX_ERR_NOT_FOUND. */
VX_API vx_status vx_collection_get_meta(vx_collection *c, uint64_t id, vx_meta_entry *out,
                                        uint64_t *count);

/* The k nearest records matching opt->filter (opt NULL: k = 10), nearest
 * first, written to out (room for k hits); returns the number written, 0
 * for null arguments or exhausted memory, and 0 with VX_ERR_INVALID_ARG in
 * the last-error record for a query with a NaN or an infinite component or
 * a filter over the limits. A NaN distance (a record stored before such
 * vectors were refused) ranks after every number. With an index, its hits are
 * re-measured exactly, so distances are always those of vx_vec_distance
 * (SQUARED under VX_METRIC_L2).
 * Filters with an index: 256 records drawn by a fixed hash are tested
 * first; when under 3 % of them match, the matching records are all
 * measured and the answer is exact. Otherwise a plain graph (VX_INDEX_HNSW)
 * tests the filter during its walk, passing through records that do not
 * match without reporting them, and gives way to the exact search once it
 * has tested a quarter as many records as the filter is judged to match
 * (256 at least), or sooner when, from 256 tests on, the ef matches it
 * holds out for would at the rate it has met them take more tests than
 * that: matches far from the query would lead it through much of the
 * graph. Other kinds filter their hits. Either way,
 * when the index yields fewer than k matching hits, the nearest of the
 * remaining matching records make up the count, so k hits come back
 * whenever k records match. */
VX_API uint64_t vx_collection_search(vx_collection *c, const float *query,
                                     const vx_search_options *opt, vx_search_hit *out);
/* Runs nq searches with one set of options: query i reads queries + i *
 * dimension (one row-major array) and receives in out + i * k (k from opt,
 * 10 when opt is NULL; out has room for nq * k hits) exactly the hits, in
 * order and bit for bit, that vx_collection_search gives it alone; counts[i]
 * receives their number. Without an index every pass over the stored
 * vectors serves several queries at once. threads: how many threads share
 * the queries (0 and 1: the calling thread alone; at most 64). The
 * collection's read lock is held for the whole call; a thread that cannot
 * be started leaves its share to the calling thread. Returns VX_OK (also for
 * nq 0); VX_ERR_INVALID_ARG for NULL c, queries, out or counts, and for a
 * filter vx_collection_search refuses (a query it refuses, with a NaN or an
 * infinity, gets count 0 and leaves its row unspecified);
 * VX_ERR_NO_MEMORY when scratch memory runs out (counts of the queries not
 * run are then 0); the lock's failure. Thread-safe as vx_collection_search
 * is. */
VX_API vx_status vx_collection_search_batch(vx_collection *c, const float *queries, uint64_t nq,
                                            const vx_search_options *opt, uint32_t threads,
                                            vx_search_hit *out, uint64_t *counts);
/* Searches with the stored vector of id as the query (the record itself is
 * a candidate); 0 when id is missing. */
VX_API uint64_t vx_collection_search_by_id(vx_collection *c, uint64_t id,
                                           const vx_search_options *opt, vx_search_hit *out);
/* vx_collection_search with k and a filter. */
VX_API uint64_t vx_collection_search_filtered(vx_collection *c, const float *query,
                                              const vx_filter *filter, uint64_t k,
                                              vx_search_hit *out);
/* Trains the index on every record, adds them and switches index search on.
 * VX_ERR_INVALID_ARG for a null or empty collection, VX_ERR_UNKNOWN when no
 * index can be made, VX_ERR_NO_MEMORY, or the index's failure. */
VX_API vx_status vx_collection_build_index(vx_collection *c);
/* Replaces the index with a fresh one of the collection's kind, then builds
 * it; VX_ERR_INVALID_ARG for null, else the build's result. */
VX_API vx_status vx_collection_rebuild_index(vx_collection *c);
/* Destroys the index; searches go back to brute force. */
VX_API vx_status vx_collection_drop_index(vx_collection *c);
/* 1 when the collection has a trained index, else 0. */
VX_API int32_t vx_collection_has_index(vx_collection *c);
/* Sets the parameters the collection makes its index from: params->type and
 * the family block (M, ef_construction and ef_search of a graph; nlist, nprobe
 * and iterations of an inverted file), quant_type, pq_m and pq_nbits; the
 * collection's own dimension and metric always apply, whatever params says.
 * The index is replaced by a fresh, dormant one of those parameters, so the
 * next vx_collection_build_index builds it; a kind of VX_INDEX_FLAT leaves the
 * collection without an index until a build makes the automatic one. Graph
 * parameters of 0 take the defaults (16, 200, 64). The parameters are saved
 * with the collection for the kinds whose parameters its file keeps (plain
 * and product-coded graphs and inverted files).
 * VX_ERR_INVALID_ARG for a null argument or an unknown kind; VX_ERR_BUSY while
 * the index is active (drop it first); VX_ERR_UNKNOWN when the index cannot be
 * made of those parameters (the collection is then left as it was). Takes
 * the collection's write lock. */
VX_API vx_status vx_collection_set_index_params(vx_collection *c, const vx_index_params *params);
/* Sets how widely searches through the collection's index look: ef_search of
 * a graph, nprobe of an inverted file. Kept by the next save. Safe while other
 * threads search (the index reads the width atomically); takes the read lock.
 * VX_ERR_INVALID_ARG for null or a width of 0; VX_ERR_NOT_FOUND when the
 * collection has no index. */
VX_API vx_status vx_collection_set_search_width(vx_collection *c, uint32_t width);

/* A cursor over the records (matching filter, which must outlive it) in
 * record order; NULL for a null collection or exhausted memory. Its memory
 * belongs to the collection. Each call takes the read lock for itself only.
 * The cursor remembers a position among the records that existed at its
 * creation: records inserted later are not visited, and a deletion while it
 * is in use shifts the records under it, so one may be skipped. */
VX_API vx_collection_iterator *vx_collection_create_iterator(vx_collection *c, const vx_filter *filter);
/* Releases nothing: the memory goes with the collection. */
VX_API void vx_collection_destroy_iterator(vx_collection_iterator *it);
/* 1 while the cursor designates a record, else 0. */
VX_API int32_t vx_collection_iterator_valid(const vx_collection_iterator *it);
/* Advances; 1 when a record is designated, 0 (and invalid) at the end. */
VX_API int32_t vx_collection_iterator_next(vx_collection_iterator *it);
/* The current record's id, 0 when invalid. */
VX_API uint64_t vx_collection_iterator_get_id(vx_collection_iterator *it);
/* The current record's stored vector (dimension floats owned by the
 * collection, valid as vx_search_hit.vector), NULL when invalid. */
VX_API const float *vx_collection_iterator_get_vector(vx_collection_iterator *it);
/* Stores a pointer to the current record, valid as vx_collection_get_record
 * describes; VX_ERR_INVALID_ARG when the cursor is invalid. */
VX_API vx_status vx_collection_iterator_get_record(vx_collection_iterator *it, vx_record **out);
/* Calls fn for each record matching filter, in order, under the read lock,
 * until fn returns 0; returns the number of calls that returned non-zero.
 * fn must not call back into this collection: the lock prefers writers, so
 * a second read lock behind a waiting writer would never be granted. */
VX_API uint64_t vx_collection_foreach(vx_collection *c, const vx_filter *filter, vx_foreach_fn fn,
                                      void *user_data);

/* Saves the collection to path (zero-terminated): header, records and its
 * metadata, written to a temporary file beside path that replaces path once
 * complete. VX_ERR_INVALID_ARG for null arguments; when the file cannot be
 * created or written, VX_ERR_PERMISSION_DENIED (access refused) or
 * VX_ERR_IO, with "path: reason" as the last-error record's detail. */
VX_API vx_status vx_collection_save(vx_collection *c, const char *path);
/* Loads a collection saved by vx_collection_save into arena (NULL: an arena
 * of its own). NULL for a missing, damaged or truncated file: the header,
 * and the records with everything after them, are checked against their
 * checksums (files from before the records' checksum load unchecked); a
 * mismatch also records VX_ERR_FILE_CORRUPTED as the calling thread's last
 * error (vx_error_get). An
 * index that was in use when the file was saved is in use again with its
 * quantizer settings, from its saved file or rebuilt from the records. */
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

/* Storage modes of vx_db_config. Any mode but VX_DB_STORAGE_MEMORY keeps
 * the database in its directory when it has a path. */
enum {
    VX_DB_STORAGE_MEMORY = 0,     /* in memory only; the path is ignored */
    VX_DB_STORAGE_PERSISTENT = 1, /* collections saved in the directory */
    VX_DB_STORAGE_DEFAULT = 2     /* what vx_daded_open uses: persistent */
};

/* Options for vx_daded_open_ex. */
typedef struct vx_db_config {
    vx_str path;               /* directory, copied; null data or empty text:
                                * in memory. A length of 0 with text means
                                * the text up to its zero byte */
    int32_t storage_mode;      /* VX_DB_STORAGE_* */
    uint64_t arena_size;       /* 0 means 64 MiB */
    uint64_t cache_size;       /* kept, not used */
    int32_t read_only;         /* never write: no storage file is created,
                                * sync fails with VX_ERR_READ_ONLY and close
                                * saves nothing */
    int32_t create_if_missing; /* at opening, create the directory (one level)
                                * and the storage file; without it nothing is
                                * created until the first sync or close */
} vx_db_config;

/* Database statistics: the collection count and twelve reserved words. */
typedef struct vx_db_stats {
    uint64_t collection_count;
    uint64_t reserved[12];
} vx_db_stats;

/* Flags of vx_daded_open, bits to be combined with '|'. They are a space
 * of their own: the VX_OPEN_* modes of the storage engine are plain values
 * for vx_storage_open, and there 1 is VX_OPEN_WRITE. VX_OPEN_CREATE has the
 * value 4 in both (as a storage mode it creates the file). */
#define VX_OPEN_READ_ONLY 1u /* sets vx_db_config.read_only */
#define VX_OPEN_CREATE 4u    /* sets vx_db_config.create_if_missing */

/* Opens a database with the given options (NULL: in memory, defaults) and
 * stores the handle in *out; a directory's collection files are loaded.
 * As vx_daded_open_with with no further options. */
VX_API vx_status vx_daded_open_ex(const vx_db_config *config, vx_daded **out);

/* Further options of vx_daded_open_with. Zero-fill the record (memset, or
 * = {0}): zero is the default of every field, reserved ones included. */
typedef struct vx_db_open_options {
    /* How long an opening waits for another process's lock on the
     * directory, in milliseconds; 0 refuses at once. */
    uint32_t lock_timeout_ms;
    /* 1: a collection the list file names whose file is missing is left
     * out instead of failing the opening; its name stays in the list file
     * until the collection is dropped (or created anew). */
    int32_t skip_missing;
    uint64_t reserved[6];
} vx_db_open_options;

/* Opens as vx_daded_open_ex, with options (NULL: all zero).
 *
 * One writer process per directory: a writable opening of a directory
 * takes an exclusive lock (flock) on its file ".vxlock", a read-only
 * opening a shared one, both held until vx_daded_close. Read-only openings
 * may run beside each other; any other pair gets VX_ERR_BUSY, at once or
 * once options->lock_timeout_ms has passed. A second handle on the same
 * directory in one process counts as another opening. A writable opening
 * of a directory that does not exist yet takes the lock when its first
 * sync or close creates the directory.
 *
 * Failures: VX_ERR_INVALID_ARG for a null out; VX_ERR_NO_MEMORY; VX_ERR_IO
 * (see vx_daded_open); VX_ERR_BUSY (locked, above); VX_ERR_FILE_NOT_FOUND
 * when a listed collection file is missing (unless skip_missing);
 * VX_ERR_FILE_CORRUPTED when a listed collection file does not load. The
 * last-error record's detail then says why and names the file. *out is
 * NULL on failure, and no file has been changed. */
VX_API vx_status vx_daded_open_with(const vx_db_config *config, const vx_db_open_options *options,
                                    vx_daded **out);
/* Opens with default options (VX_DB_STORAGE_DEFAULT, 64 MiB arena), the
 * path (NULL or empty: in memory) and flags VX_OPEN_READ_ONLY and
 * VX_OPEN_CREATE; other bits are ignored. Fails as vx_daded_open_ex.
 * A missing directory is no error whatever the flags: the database opens
 * empty. With VX_OPEN_CREATE the directory is made at once; without it
 * (flags 0) the first vx_daded_sync or vx_daded_close makes it, unless
 * VX_OPEN_READ_ONLY is also given. A path naming something other than a
 * directory fails the opening with VX_ERR_IO only with VX_OPEN_CREATE. */
VX_API vx_status vx_daded_open(const vx_str *path, uint32_t flags, vx_daded **out);
/* Saves a database with a path (as vx_daded_sync; a read-only database is
 * not written), destroys every collection and frees the handle;
 * VX_ERR_INVALID_ARG for a null or closed handle, else the save's status
 * (the handle is released in every case). */
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

/* Collection names: 1 to 63 bytes, none of '/', '\\', line feed, carriage
 * return or zero, and not "." or "..". Names are compared byte-wise.
 *
 * A database opened read-only refuses every change with VX_ERR_READ_ONLY
 * and changes nothing: creating or dropping a collection, and through the
 * database or its collections' handles inserting, upserting, deleting,
 * clearing, setting metadata, and building, rebuilding, dropping or
 * configuring an index (vx_collection_delete_by_filter returns -1).
 * Vectors and queries with a NaN or infinite component are refused with
 * VX_ERR_INVALID_ARG before anything changes (a batch as a whole). */

/* Creates a collection in the database; *out (may be NULL) receives it.
 * VX_ERR_INVALID_ARG (null or closed db, null config or name, bad name),
 * VX_ERR_ALREADY_EXISTS, VX_ERR_NO_MEMORY, VX_ERR_UNKNOWN when the
 * collection cannot be made (dimension 0). */
VX_API vx_status vx_daded_create_collection_ex(vx_daded *db, const vx_collection_config *config,
                                               vx_collection **out);
/* Same with default options: VX_METRIC_L2, VX_INDEX_HNSW, auto_resize 1,
 * build_threads 1000 (every core). */
VX_API vx_status vx_daded_create_collection(vx_daded *db, const vx_str *name, uint32_t dimension,
                                            vx_collection **out);
/* The collection called name, or NULL. The registry's lock is released
 * before the call returns: the handle stays valid until the collection is
 * dropped or the database closed, and the caller keeps those calls away
 * while it uses the handle. */
VX_API vx_collection *vx_daded_get_collection(vx_daded *db, const vx_str *name);
/* 1 when the collection exists, else 0. */
VX_API int32_t vx_daded_has_collection(vx_daded *db, const vx_str *name);
/* Destroys the collection; its file, if any, is deleted at the next sync or
 * close. VX_ERR_INVALID_ARG, VX_ERR_NOT_FOUND. */
VX_API vx_status vx_daded_drop_collection(vx_daded *db, const vx_str *name);
/* Writes views of up to max collection names to out in registry order and
 * returns how many; with out NULL or max 0 returns the count. The views
 * point at the collections' own zero-terminated names, valid as long as
 * vx_daded_get_collection's handles. */
VX_API uint64_t vx_daded_list_collections(vx_daded *db, vx_str *out, uint64_t max);
/* Inserts into the named collection, creating it with default options and
 * this dimension when missing. VX_ERR_INVALID_DIMENSION when it exists with
 * another dimension; otherwise as vx_collection_insert. */
VX_API vx_status vx_daded_insert(vx_daded *db, const vx_str *name, const float *vector,
                                 uint32_t dimension, uint64_t *out_id);
/* Inserts n vectors of dimension floats back to back; ids (may be NULL)
 * receives their ids. Stops at the first failure and returns it. */
VX_API vx_status vx_daded_insert_batch(vx_daded *db, const vx_str *name, const float *vectors,
                                       uint32_t dimension, uint64_t n, uint64_t *ids);
/* The k nearest records of the named collection into results (id and
 * distance as vx_collection_search gives them: SQUARED under VX_METRIC_L2);
 * the number of hits, 0 when the collection is missing or has another
 * dimension. */
VX_API uint64_t vx_daded_search(vx_daded *db, const vx_str *name, const float *query,
                                uint32_t dimension, uint64_t k, vx_search_result *results);
/* Copies the statistics; VX_ERR_INVALID_ARG when either is null. */
VX_API vx_status vx_daded_get_stats(vx_daded *db, vx_db_stats *out);
/* Clears the statistics, keeping the collection count. */
VX_API void vx_daded_reset_stats(vx_daded *db);
/* Prints a summary of the database and its collections to standard
 * output. */
VX_API void vx_daded_print_info(vx_daded *db);
/* The handle's last error: VX_OK, or the failure of its last save (sync);
 * VX_ERR_UNKNOWN for NULL. */
VX_API vx_status vx_daded_get_last_error(vx_daded *db);
/* The handle's error text (after a failed save: "path: reason", naming the
 * file), or vx_strerror of its last error ("Success"; "Unknown error" for
 * NULL). Valid until the next call on the handle. */
VX_API const char *vx_daded_get_error_message(vx_daded *db);
/* vx_strerror(status): the legacy table, "Unknown error" for every failure
 * status; vx_error_message gives a status's text. */
VX_API const char *vx_daded_strerror(vx_status status);

/* Saves every collection of a database with a path, rewrites its list file
 * and deletes the files of collections dropped since, then flushes the
 * storage file. VX_ERR_INVALID_ARG for a null or closed handle,
 * VX_ERR_READ_ONLY for a database opened read-only, else the first failure:
 * VX_ERR_PERMISSION_DENIED or VX_ERR_IO when a file cannot be written (the
 * handle's error message and the last-error record's detail name the file
 * and the system's reason), VX_ERR_BUSY when the directory it had to
 * create is locked by another process. */
VX_API vx_status vx_daded_sync(vx_daded *db);

/* (end of database) */

/* ==========================================================================
 * Configuration
 *
 * A tree of typed values addressed by dotted keys ("database.path",
 * "index.hnsw.M"). Keys are read as zero-terminated text (the view's len is
 * not consulted) and split at every '.': "a..b" has three levels, the middle
 * one named by the empty text; a trailing '.' adds no level; the empty key
 * addresses the root. Nodes created on the way to a deeper key read as the
 * integer 0. Children are kept newest first. Everything lives in the arena
 * given at creation. No call locks: one thread at a time per configuration.
 *
 * Text format (vx_config_load, vx_config_load_string, vx_config_save), one
 * setting per line:
 *
 *     # database settings
 *     database.path = "/srv/vectors"
 *     database.arena_size = 67108864
 *     database.read_only = false
 *     index.hnsw.level_mult = 0.5
 *
 *   - Lines end at '\n' (a '\r' before it is ignored). Blank lines and lines
 *     whose first non-blank byte is '#' are skipped. Whitespace around '='
 *     and at either end of a line is free; a '#' after the value starts a
 *     comment.
 *   - key: bare (printable bytes and bytes above 127, except space, '=',
 *     '"', '#' and backslash) or quoted like a string; "" is the root.
 *   - value, and the type it sets:
 *       true, false                  VX_CONFIG_BOOL 1, 0
 *       [+-]digits (64-bit range)    VX_CONFIG_INT
 *       decimal with a '.' or an exponent ([eE][+-]digits), or inf, -inf,
 *       nan, -nan                    VX_CONFIG_FLOAT, correctly rounded
 *       "text"                       VX_CONFIG_STRING; escapes \" \\ \n \t
 *                                    and \r, every other byte as it is
 *   - Any other line is malformed.
 *   Saving writes "key = value" for every node that holds a set value, in an
 *   order that rebuilds the same tree when loaded into an empty
 *   configuration: integers in decimal; floats in the shortest form that
 *   reads back to the same double, always with a '.' or an exponent (only
 *   inf, -inf, nan and -nan are words); booleans as true or false; strings
 *   with the escapes \" \\ \n \t. Keys that are not bare are quoted.
 *
 * Command line (vx_config_parse_args): every argument "--key=value" sets key;
 * a value in the syntax above takes that type, any other value is taken as a
 * string as it is ("--database.storage_mode=memory"). Other arguments are
 * ignored; "--" ends the options.
 * Environment (vx_config_load_env): every variable VEXAL_<KEY>=value, where
 * <KEY> is the key upper-cased with each '.' written as "__", sets the key
 * with the value rules of the command line. The key is the lower-cased name
 * unless a key already in the tree, or one the library reads
 * ("index.hnsw.M"), matches it ignoring case.
 * ======================================================================== */

typedef int32_t vx_config_type;
enum {
    VX_CONFIG_INT = 0,    /* int64_t */
    VX_CONFIG_FLOAT = 1,  /* double */
    VX_CONFIG_STRING = 2, /* zero-terminated text, copied into the arena */
    VX_CONFIG_BOOL = 3    /* int32_t */
};

typedef struct vx_config vx_config;

/* A new, empty configuration in arena; NULL for a null arena or when the
 * arena is exhausted. */
VX_API vx_config *vx_config_create(vx_arena *arena);
/* Does nothing: the configuration lives until its arena is destroyed. */
VX_API void vx_config_destroy(vx_config *config);
/* Sets key to the value value points at (for VX_CONFIG_STRING: the text
 * itself), creating missing levels; an existing node keeps its place and
 * children. VX_ERR_INVALID_ARG for null arguments or an unknown type (the
 * code is then stored and every getter gives its default);
 * VX_ERR_NO_MEMORY when the arena is exhausted. */
VX_API vx_status vx_config_set(vx_config *config, const vx_str *key, const void *value,
                               vx_config_type type);
/* The value of key when it holds that type, else fallback (also for null
 * arguments). */
VX_API int64_t vx_config_get_int(const vx_config *config, const vx_str *key, int64_t fallback);
VX_API double vx_config_get_float(const vx_config *config, const vx_str *key, double fallback);
VX_API int32_t vx_config_get_bool(const vx_config *config, const vx_str *key, int32_t fallback);
/* A view of key's text when it holds a string, else fallback unchanged. The
 * view belongs to the calling thread and is overwritten by its next call. */
VX_API const vx_str *vx_config_get_string(const vx_config *config, const vx_str *key,
                                          const vx_str *fallback);
/* 1 when key's node exists (the empty key: the root), else 0. */
VX_API int vx_config_has_key(const vx_config *config, const vx_str *key);
/* Reads the file at path (zero-terminated) in the text format and sets its
 * keys. VX_ERR_INVALID_ARG for null arguments or at the first malformed line
 * (keys of earlier lines stay set); VX_ERR_IO when the file cannot be read;
 * VX_ERR_NO_MEMORY. */
VX_API vx_status vx_config_load(vx_config *config, const vx_str *path);
/* The same for text (len bytes; a null data with len 0 is empty). */
VX_API vx_status vx_config_load_string(vx_config *config, const vx_str *text);
/* Writes every set key to the file at path in the text format; an empty
 * configuration gives an empty file. The file is replaced whole: the text
 * goes to a temporary file beside it, which is flushed and renamed over it,
 * so a failure leaves the old file as it was. A new file gets mode 0644, a
 * replaced one keeps its mode.
 * VX_ERR_INVALID_ARG, VX_ERR_NO_MEMORY (file untouched), VX_ERR_IO. */
VX_API vx_status vx_config_save(const vx_config *config, const vx_str *path);

/* Fills out with the database defaults (path "./data", storage_mode
 * VX_DB_STORAGE_PERSISTENT, arena_size 100 MiB, cache_size 50 MiB,
 * read_only 0, create_if_missing 1) overridden by "database.path" (string),
 * "database.storage_mode" ("memory" VX_DB_STORAGE_MEMORY, "persistent"
 * VX_DB_STORAGE_PERSISTENT), "database.arena_size" and "database.cache_size"
 * (integers > 0), "database.read_only" and "database.create_if_missing"
 * (booleans). Keys of another type or unknown words are ignored. The path
 * points into the configuration's arena. VX_ERR_INVALID_ARG for null
 * arguments. */
VX_API vx_status vx_config_to_db_config(const vx_config *config, vx_db_config *out);
/* Fills out with the collection defaults (no name, dimension 128,
 * VX_METRIC_L2, VX_INDEX_HNSW, auto_resize 1, everything else 0) overridden
 * by "collection.name" (string), "collection.dimension" (integer > 0, low 32
 * bits), "collection.metric" ("l2", "ip", "cosine"), "collection.index_type"
 * ("hnsw", "ivf", "flat") and "collection.auto_resize" (boolean). Words are
 * case-sensitive. VX_ERR_INVALID_ARG for null arguments. */
VX_API vx_status vx_config_to_collection_config(const vx_config *config,
                                                vx_collection_config *out);
/* Set the integers "index.hnsw.M", "index.hnsw.ef_construction" and
 * "index.hnsw.ef_search": 16/100/50, 32/200/100 and 8/50/32. VX_OK, or
 * VX_ERR_INVALID_ARG for a null config. */
VX_API vx_status vx_config_apply_preset_mobile_low(vx_config *config);
VX_API vx_status vx_config_apply_preset_mobile_high(vx_config *config);
VX_API vx_status vx_config_apply_preset_embedded(vx_config *config);
/* Sets every "--key=value" argument of argv[0..argc-1] (see above).
 * VX_ERR_INVALID_ARG for a null config or argv; VX_ERR_NO_MEMORY. */
VX_API vx_status vx_config_parse_args(vx_config *config, int argc, char **argv);
/* Sets every VEXAL_ environment variable (see above); must not run while
 * another thread changes the environment. VX_ERR_INVALID_ARG for a null
 * config; VX_ERR_NO_MEMORY. */
VX_API vx_status vx_config_load_env(vx_config *config);

/* (end of configuration) */

#ifdef __cplusplus
}
#endif

#endif /* VEXAL_H */
