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
};

// Appends a collection to the registry, doubling the array in the arena when
// full, and makes the collection allocate under the database's arena mutex;
// VX_ERR_NO_MEMORY when it cannot grow, or the status of a lock that cannot
// be taken.
vx_status daded_registry_append(vx_daded *db, struct vx_collection *collection);

#endif
