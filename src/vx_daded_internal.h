// The database handle, shared by the database modules.
#ifndef VX_DADED_INTERNAL_H
#define VX_DADED_INTERNAL_H

#include "vexal.h"

// The release the version and build texts name.
#define VX_VERSION_NUMBER "0.1.32"
#define VX_VERSION_TEXT "Vexal DadED " VX_VERSION_NUMBER

struct vx_collection;
struct vx_storage;

#define VX_DB_ERROR_MESSAGE_SIZE 256
#define VX_DB_INITIAL_CAPACITY 16

struct vx_daded {
    vx_db_config config;               // path points into the arena after open
    vx_arena *arena;
    struct vx_collection **collections; // registry, in creation or list order
    uint64_t collection_count;
    uint64_t collection_capacity;
    struct vx_storage *storage;         // null for an in-memory database
    vx_db_stats stats;
    int32_t is_open;
    int64_t open_time;
    vx_status last_error;
    char error_message[VX_DB_ERROR_MESSAGE_SIZE];
    vx_rwlock *lock;                    // guards the registry only
    // Serialises every allocation from `arena`: the registry's and those of
    // the collections living in it, which run under their own locks only.
    vx_mutex *arena_mutex;

    // The flock on the directory's lock file (-1: none): exclusive for a
    // writer, shared for a read-only opening; held until close.
    int lock_fd;
    vx_db_open_options open_options;
    // Listed names whose files were missing at an opening that skipped
    // them: the list file keeps naming them until they are dropped or
    // created anew. vx_malloc'd copies.
    char **absent;
    uint64_t absent_count;
};

// Takes the directory's lock as the handle's mode asks, unless held or the
// directory does not exist yet. VX_ERR_BUSY (with the reason in the
// last-error record) when another opening holds it past the timeout.
vx_status daded_lock_directory(vx_daded *db);
// 1 when name is one of the absent names (see vx_daded.absent).
int daded_is_absent(const vx_daded *db, const char *name);
// Forgets an absent name; 1 when it was one.
int daded_forget_absent(vx_daded *db, const char *name, uint64_t len);
// Records st with a formatted reason in the last-error record (a buffer of
// the calling thread) and returns st.
vx_status daded_fail(vx_status st, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Appends a collection to the registry, doubling the array in the arena when
// full, and makes the collection allocate under the database's arena mutex;
// VX_ERR_NO_MEMORY when it cannot grow, or the status of a lock that cannot
// be taken.
vx_status daded_registry_append(vx_daded *db, struct vx_collection *collection);

#endif
