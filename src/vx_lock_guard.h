// Scoped holders of the runtime's locks: the lock is taken when the holder
// is made and released when it goes out of scope, so no early return can
// forget it. A lock that could not be taken is not released, and its status
// stays readable for the caller to report.
#ifndef VX_LOCK_GUARD_H
#define VX_LOCK_GUARD_H

#include "vexal.h"

// Processors online (at least 1): what "every core" means to the layers
// that start threads.
uint32_t thread_cores_online(void);

// The most shares thread_run_shares runs.
#define THREAD_SHARES_MAX 64

// Runs fn on count shares (at most THREAD_SHARES_MAX), share i at shares +
// i * share_bytes (share_bytes 0: every thread gets the same argument):
// share 0 on the calling thread, every other on a thread of its own, or on
// the calling thread when no thread can be started. Returns once all ran.
void thread_run_shares(vx_thread_fn fn, void *shares, uint64_t share_bytes, uint32_t count);

template <typename Lock, vx_status (*Acquire)(Lock *), vx_status (*Release)(Lock *)>
class scoped_lock {
public:
    explicit scoped_lock(Lock *lock) : lock_(lock), status_(Acquire(lock)), held_(status_ == VX_OK) {}
    ~scoped_lock() { unlock(); }
    scoped_lock(const scoped_lock &) = delete;
    scoped_lock &operator=(const scoped_lock &) = delete;

    // What taking the lock returned: VX_OK, or the failure to report.
    vx_status status() const { return status_; }
    bool held() const { return held_; }
    // Releases early; the destructor then does nothing.
    void unlock() {
        if (held_) Release(lock_);
        held_ = false;
    }

private:
    Lock *lock_;
    vx_status status_;
    bool held_;
};

typedef scoped_lock<vx_rwlock, vx_rwlock_rdlock, vx_rwlock_rdunlock> read_guard;
typedef scoped_lock<vx_rwlock, vx_rwlock_wrlock, vx_rwlock_wrunlock> write_guard;
typedef scoped_lock<vx_mutex, vx_mutex_lock, vx_mutex_unlock> mutex_guard;
typedef scoped_lock<vx_spinlock, vx_spinlock_lock, vx_spinlock_unlock> spin_guard;

#endif
