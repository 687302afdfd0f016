// Mutexes, reader/writer locks, spin locks, conditions, threads, guards and
// semaphores over POSIX threads.
#include "vexal.h"
#include "vx_lock_guard.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

// Each object remembers whether it came from the allocator hooks, so that
// destroy can return that memory; arena memory goes with its arena.
struct vx_mutex { pthread_mutex_t m; int heap_owned; };
struct vx_rwlock { pthread_rwlock_t l; int heap_owned; };
struct vx_spinlock { std::atomic<uint32_t> word; int heap_owned; };
struct vx_cond { pthread_cond_t c; int heap_owned; };
struct vx_sem {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int32_t count;
    uint32_t max_count;
};

static_assert(sizeof(pthread_t) == sizeof(unsigned long), "pthread_t must fit vx_thread.handle");

// Lock objects live in the caller's arena when given one, else on the heap.
static void *lock_memory(vx_arena *arena, uint64_t size) {
    return arena ? vx_arena_calloc(arena, 1, size) : vx_calloc(1, size);
}

static void lock_memory_release(vx_arena *arena, void *p) {
    if (!arena) vx_free(p);
}

template <typename T> static void lock_object_free(T *object) {
    if (object->heap_owned) vx_free(object);
}

// Maps a pthread error number: busy and timed out keep their meaning.
static vx_status os_status(int rc) {
    if (rc == 0) return VX_OK;
    if (rc == EBUSY) return VX_ERR_BUSY;
    if (rc == ETIMEDOUT) return VX_ERR_TIMEOUT;
    return VX_ERR_UNKNOWN;
}

/* ---- mutex ---------------------------------------------------------------- */

extern "C" VX_API vx_status vx_mutex_create(vx_arena *arena, uint32_t, vx_mutex **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_mutex *m = (vx_mutex *)lock_memory(arena, sizeof(vx_mutex));
    if (!m) return VX_ERR_NO_MEMORY;
    if (pthread_mutex_init(&m->m, nullptr) != 0) {
        lock_memory_release(arena, m);
        return VX_ERR_UNKNOWN;
    }
    m->heap_owned = arena == nullptr;
    *out = m;
    return VX_OK;
}

extern "C" VX_API void vx_mutex_destroy(vx_mutex *mutex) {
    if (!mutex) return;
    pthread_mutex_destroy(&mutex->m);
    lock_object_free(mutex);
}

extern "C" VX_API vx_status vx_mutex_lock(vx_mutex *mutex) {
    if (!mutex) return VX_ERR_INVALID_ARG;
    return pthread_mutex_lock(&mutex->m) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_mutex_unlock(vx_mutex *mutex) {
    if (!mutex) return VX_ERR_INVALID_ARG;
    return pthread_mutex_unlock(&mutex->m) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_mutex_trylock(vx_mutex *mutex) {
    if (!mutex) return VX_ERR_INVALID_ARG;
    int rc = pthread_mutex_trylock(&mutex->m);
    return os_status(rc);
}

/* ---- reader/writer lock --------------------------------------------------- */

// Writers go first: once a writer waits, new readers queue behind it while
// the readers already inside finish. The system's default prefers readers,
// and a steady stream of searches would keep every insertion out for good.
// The price is that a thread must not take the read side twice: a writer
// queued in between would wait for it while it waits for the writer.
static int rwlock_init_writer_first(pthread_rwlock_t *l) {
    pthread_rwlockattr_t attr;
    if (pthread_rwlockattr_init(&attr) != 0) return 0;
    int ok = pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP) == 0 &&
             pthread_rwlock_init(l, &attr) == 0;
    pthread_rwlockattr_destroy(&attr);
    return ok;
}

extern "C" VX_API vx_status vx_rwlock_create(vx_arena *arena, uint32_t, vx_rwlock **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_rwlock *l = (vx_rwlock *)lock_memory(arena, sizeof(vx_rwlock));
    if (!l) return VX_ERR_NO_MEMORY;
    if (!rwlock_init_writer_first(&l->l)) {
        lock_memory_release(arena, l);
        return VX_ERR_UNKNOWN;
    }
    l->heap_owned = arena == nullptr;
    *out = l;
    return VX_OK;
}

extern "C" VX_API void vx_rwlock_destroy(vx_rwlock *lock) {
    if (!lock) return;
    pthread_rwlock_destroy(&lock->l);
    lock_object_free(lock);
}

extern "C" VX_API vx_status vx_rwlock_rdlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    return pthread_rwlock_rdlock(&lock->l) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_rwlock_wrlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    return pthread_rwlock_wrlock(&lock->l) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_rwlock_tryrdlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    int rc = pthread_rwlock_tryrdlock(&lock->l);
    return os_status(rc);
}

extern "C" VX_API vx_status vx_rwlock_trywrlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    int rc = pthread_rwlock_trywrlock(&lock->l);
    return os_status(rc);
}

extern "C" VX_API vx_status vx_rwlock_rdunlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    return pthread_rwlock_unlock(&lock->l) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_rwlock_wrunlock(vx_rwlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    return pthread_rwlock_unlock(&lock->l) ? VX_ERR_UNKNOWN : VX_OK;
}

/* ---- spin lock ------------------------------------------------------------ */

extern "C" VX_API vx_status vx_spinlock_create(vx_arena *arena, uint32_t, vx_spinlock **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_spinlock *s = (vx_spinlock *)lock_memory(arena, sizeof(vx_spinlock));
    if (!s) return VX_ERR_NO_MEMORY;
    s->word.store(0, std::memory_order_relaxed);
    s->heap_owned = arena == nullptr;
    *out = s;
    return VX_OK;
}

extern "C" VX_API void vx_spinlock_destroy(vx_spinlock *lock) {
    if (!lock) return;
    lock->word.store(0, std::memory_order_release);
    lock_object_free(lock);
}

extern "C" VX_API vx_status vx_spinlock_lock(vx_spinlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    while (lock->word.exchange(1, std::memory_order_acquire) != 0) {
        while (lock->word.load(std::memory_order_relaxed) != 0) __builtin_ia32_pause();
    }
    return VX_OK;
}

extern "C" VX_API vx_status vx_spinlock_trylock(vx_spinlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    return lock->word.exchange(1, std::memory_order_acquire) == 0 ? VX_OK : VX_ERR_BUSY;
}

extern "C" VX_API vx_status vx_spinlock_unlock(vx_spinlock *lock) {
    if (!lock) return VX_ERR_INVALID_ARG;
    lock->word.store(0, std::memory_order_release);
    return VX_OK;
}

/* ---- condition variable --------------------------------------------------- */

extern "C" VX_API vx_status vx_cond_create(vx_arena *arena, vx_cond **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_cond *c = (vx_cond *)lock_memory(arena, sizeof(vx_cond));
    if (!c) return VX_ERR_NO_MEMORY;
    if (pthread_cond_init(&c->c, nullptr) != 0) {
        lock_memory_release(arena, c);
        return VX_ERR_UNKNOWN;
    }
    c->heap_owned = arena == nullptr;
    *out = c;
    return VX_OK;
}

extern "C" VX_API void vx_cond_destroy(vx_cond *cond) {
    if (!cond) return;
    pthread_cond_destroy(&cond->c);
    lock_object_free(cond);
}

extern "C" VX_API vx_status vx_cond_wait(vx_cond *cond, vx_mutex *mutex) {
    if (!cond || !mutex) return VX_ERR_INVALID_ARG;
    return pthread_cond_wait(&cond->c, &mutex->m) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_cond_timedwait(vx_cond *cond, vx_mutex *mutex, uint32_t timeout_ms) {
    if (!cond || !mutex) return VX_ERR_INVALID_ARG;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec > 999999999L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return os_status(pthread_cond_timedwait(&cond->c, &mutex->m, &deadline));
}

extern "C" VX_API vx_status vx_cond_signal(vx_cond *cond) {
    if (!cond) return VX_ERR_INVALID_ARG;
    return pthread_cond_signal(&cond->c) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_cond_broadcast(vx_cond *cond) {
    if (!cond) return VX_ERR_INVALID_ARG;
    return pthread_cond_broadcast(&cond->c) ? VX_ERR_UNKNOWN : VX_OK;
}

/* ---- threads -------------------------------------------------------------- */

void thread_run_shares(vx_thread_fn fn, void *shares, uint64_t share_bytes, uint32_t count) {
    vx_thread threads[THREAD_SHARES_MAX];
    bool started[THREAD_SHARES_MAX] = {};
    if (count > THREAD_SHARES_MAX) count = THREAD_SHARES_MAX;
    char *at = (char *)shares;
    for (uint32_t t = 1; t < count; t++)
        started[t] = vx_thread_create(&threads[t], fn, at + t * share_bytes) == VX_OK;
    if (count > 0) fn(at);
    for (uint32_t t = 1; t < count; t++) {
        if (started[t]) vx_thread_join(&threads[t]);
        else fn(at + t * share_bytes);
    }
}

uint32_t thread_cores_online(void) {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? (cores > 0xFFFFFFFFl ? 0xFFFFFFFFu : (uint32_t)cores) : 1;
}

// Runs the record's start function; the thread's own result never reaches
// vx_thread_join.
static void *thread_start(void *arg) {
    vx_thread *t = (vx_thread *)arg;
    if (t && t->fn) t->fn(t->user_data);
    return nullptr;
}

extern "C" VX_API vx_status vx_thread_create(vx_thread *thread, vx_thread_fn fn, void *user_data) {
    if (!thread || !fn) return VX_ERR_INVALID_ARG;
    thread->fn = fn;
    thread->user_data = user_data;
    pthread_t handle;
    if (pthread_create(&handle, nullptr, thread_start, thread) != 0) return VX_ERR_UNKNOWN;
    thread->handle = (unsigned long)handle;
    return VX_OK;
}

extern "C" VX_API vx_status vx_thread_join(vx_thread *thread) {
    if (!thread) return VX_ERR_INVALID_ARG;
    return pthread_join((pthread_t)thread->handle, nullptr) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API vx_status vx_thread_detach(vx_thread *thread) {
    if (!thread) return VX_ERR_INVALID_ARG;
    return pthread_detach((pthread_t)thread->handle) ? VX_ERR_UNKNOWN : VX_OK;
}

extern "C" VX_API uint64_t vx_thread_id(void) { return (uint64_t)pthread_self(); }

/* ---- scoped guard --------------------------------------------------------- */

extern "C" VX_API vx_status vx_autolock_init(vx_autolock *guard, vx_mutex *mutex) {
    if (!guard || !mutex) return VX_ERR_INVALID_ARG;
    guard->mutex = mutex;
    vx_status st = vx_mutex_lock(mutex);
    if (st != VX_OK) guard->mutex = nullptr;
    return st;
}

extern "C" VX_API void vx_autolock_cleanup(vx_autolock *guard) {
    if (!guard || !guard->mutex) return;
    vx_mutex_unlock(guard->mutex);
    guard->mutex = nullptr;
}

/* ---- semaphore ------------------------------------------------------------ */

extern "C" VX_API vx_status vx_sem_create(void *, int32_t initial_count, int32_t max_count, vx_sem **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_sem *s = (vx_sem *)malloc(sizeof(vx_sem));
    if (!s) return VX_ERR_NO_MEMORY;
    if (pthread_mutex_init(&s->mutex, nullptr) != 0) {
        free(s);
        return VX_ERR_UNKNOWN;
    }
    if (pthread_cond_init(&s->cond, nullptr) != 0) {
        pthread_mutex_destroy(&s->mutex);
        free(s);
        return VX_ERR_UNKNOWN;
    }
    s->count = initial_count;
    s->max_count = (uint32_t)max_count;
    *out = s;
    return VX_OK;
}

extern "C" VX_API void vx_sem_destroy(vx_sem *sem) {
    if (!sem) return;
    pthread_cond_destroy(&sem->cond);
    pthread_mutex_destroy(&sem->mutex);
    free(sem);
}

extern "C" VX_API vx_status vx_sem_wait(vx_sem *sem) {
    if (!sem) return VX_ERR_INVALID_ARG;
    if (pthread_mutex_lock(&sem->mutex) != 0) return VX_ERR_UNKNOWN;
    while (sem->count == 0) {
        if (pthread_cond_wait(&sem->cond, &sem->mutex) != 0) {
            pthread_mutex_unlock(&sem->mutex);
            return VX_ERR_UNKNOWN;
        }
    }
    sem->count--;
    pthread_mutex_unlock(&sem->mutex);
    return VX_OK;
}

extern "C" VX_API vx_status vx_sem_post(vx_sem *sem) {
    if (!sem) return VX_ERR_INVALID_ARG;
    if (pthread_mutex_lock(&sem->mutex) != 0) return VX_ERR_UNKNOWN;
    if ((uint32_t)sem->count < sem->max_count) {
        sem->count++;
        pthread_cond_signal(&sem->cond);
    }
    pthread_mutex_unlock(&sem->mutex);
    return VX_OK;
}
