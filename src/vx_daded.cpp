// The database handle: opening, closing, version and build texts.
#include "vx_daded_internal.h"
#include "vx_collection_internal.h"
#include "vx_lock_guard.h"
#include "vx_persist_internal.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const uint64_t DB_DEFAULT_ARENA = 0x4000000;
static const uint64_t DB_DEFAULT_CACHE = 0x8000000;

static char g_version_text[] = VX_VERSION_TEXT;

extern "C" VX_API vx_str vx_daded_version(void) {
    static vx_str version = {g_version_text, sizeof(g_version_text) - 1};
    return version;
}

extern "C" VX_API vx_str vx_daded_build_info(void) {
    static char buffer[512];
    if (buffer[0] == '\0') {
        // __DATE__ and __TIME__ already have the fixed-width form "Jun  7 2026".
        snprintf(buffer, sizeof(buffer),
                 VX_VERSION_TEXT "\nPlatform: %s\nCompiler: %s\nBuild Date: " __DATE__ " " __TIME__,
                 "Linux", "GCC");
    }
    vx_str info = {buffer, 81};
    return info;
}

static void db_config_defaults(vx_db_config *config) {
    memset(config, 0, sizeof(*config));
    config->storage_mode = VX_DB_STORAGE_DEFAULT;
    config->arena_size = DB_DEFAULT_ARENA;
    config->cache_size = DB_DEFAULT_CACHE;
    config->read_only = 0;
    config->create_if_missing = 1;
}

vx_status daded_registry_append(vx_daded *db, struct vx_collection *collection) {
    if (db->collection_count >= db->collection_capacity) {
        uint64_t capacity = db->collection_capacity * 2;
        mutex_guard arena_lock(db->arena_mutex);
        if (!arena_lock.held()) return arena_lock.status();
        struct vx_collection **grown =
            (struct vx_collection **)vx_arena_calloc(db->arena, capacity, sizeof(*grown));
        arena_lock.unlock();
        if (!grown) return VX_ERR_NO_MEMORY;
        vx_memcpy(grown, db->collections, db->collection_count * sizeof(*grown));
        db->collections = grown;
        db->collection_capacity = capacity;
    }
    collection_share_arena_mutex(collection, db->arena_mutex);
    db->collections[db->collection_count++] = collection;
    return VX_OK;
}

// Copies the path with its zero byte into the arena; on failure the handle
// keeps the caller's view. A length of 0 means the text up to its zero
// byte; an empty text leaves the database in memory.
static void db_adopt_path(vx_daded *db) {
    vx_str *path = &db->config.path;
    if (!path->data) return;
    uint64_t n = path->len ? strnlen(path->data, path->len) : strlen(path->data);
    if (n == 0) {
        path->len = 0;
        return;
    }
    char *copy = (char *)vx_arena_alloc(db->arena, n + 1);
    if (!copy) return;
    vx_memcpy(copy, path->data, n);
    copy[n] = '\0';
    path->data = copy;
    path->len = n;
}

// Frees whatever part of the handle exists: the one clean-up of a failed
// open and of a close.
static void db_release(vx_daded *db) {
    if (db->lock_fd >= 0) close(db->lock_fd);  // releases the directory's flock
    for (uint64_t i = 0; i < db->absent_count; i++) vx_free(db->absent[i]);
    vx_free(db->absent);
    vx_mutex_destroy(db->arena_mutex);
    vx_rwlock_destroy(db->lock);
    vx_arena_destroy(db->arena);
    vx_free(db);
}

// Builds the handle's parts in order and loads a persistent directory; on
// failure the parts built so far stay for db_release.
static vx_status db_build(vx_daded *db) {
    uint64_t arena_size = db->config.arena_size ? db->config.arena_size : DB_DEFAULT_ARENA;
    if (vx_arena_create(arena_size, &db->arena) != VX_OK) return VX_ERR_NO_MEMORY;
    db_adopt_path(db);
    vx_status st = vx_rwlock_create(nullptr, 0, &db->lock);
    if (st != VX_OK) return st;
    st = vx_mutex_create(nullptr, 0, &db->arena_mutex);
    if (st != VX_OK) return st;
    db->collections = (struct vx_collection **)vx_arena_calloc(db->arena, VX_DB_INITIAL_CAPACITY,
                                                               sizeof(struct vx_collection *));
    if (!db->collections) return VX_ERR_NO_MEMORY;
    db->collection_capacity = VX_DB_INITIAL_CAPACITY;
    if (db->config.path.data && db->config.storage_mode != VX_DB_STORAGE_MEMORY) return daded_open_persistent(db);
    return VX_OK;
}

extern "C" VX_API vx_status vx_daded_open_ex(const vx_db_config *config, vx_daded **out) {
    return vx_daded_open_with(config, nullptr, out);
}

extern "C" VX_API vx_status vx_daded_open_with(const vx_db_config *config, const vx_db_open_options *options,
                                               vx_daded **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    *out = nullptr;
    vx_daded *db = (vx_daded *)vx_calloc(1, sizeof(vx_daded));
    if (!db) return VX_ERR_NO_MEMORY;
    db->lock_fd = -1;
    if (options) db->open_options = *options;
    if (config) db->config = *config;
    else db_config_defaults(&db->config);
    vx_status st = db_build(db);
    if (st != VX_OK) {
        db_release(db);
        return st;
    }
    db->is_open = 1;
    db->open_time = vx_time_now();
    memset(&db->stats, 0, sizeof(db->stats));
    db->stats.collection_count = db->collection_count;
    *out = db;
    return VX_OK;
}

extern "C" VX_API vx_status vx_daded_open(const vx_str *path, uint32_t flags, vx_daded **out) {
    vx_db_config config;
    db_config_defaults(&config);
    if (path && path->data) config.path = *path;
    config.read_only = (flags & VX_OPEN_READ_ONLY) ? 1 : 0;
    config.create_if_missing = (flags & VX_OPEN_CREATE) ? 1 : 0;
    return vx_daded_open_ex(&config, out);
}

extern "C" VX_API vx_status vx_daded_close(vx_daded *db) {
    if (!db || !db->is_open) return VX_ERR_INVALID_ARG;
    // A database opened read-only is never written back.
    vx_status saved = db->config.read_only ? VX_OK : daded_save_all(db);
    {
        // A handle whose lock cannot be had stays open, so the close can be retried.
        write_guard registry(db->lock);
        if (!registry.held()) return registry.status();
        for (uint64_t i = 0; i < db->collection_count; i++) {
            if (db->collections[i]) vx_collection_destroy(db->collections[i]);
            db->collections[i] = nullptr;
        }
        db->collection_count = 0;
        vx_status closed = db->storage ? vx_storage_close(db->storage) : VX_OK;
        if (saved == VX_OK) saved = closed;
        db->storage = nullptr;
        db->is_open = 0;
    }
    db_release(db);
    return saved;
}

extern "C" VX_API int vx_daded_is_open(const vx_daded *db) { return db && db->is_open ? 1 : 0; }

extern "C" VX_API void vx_daded_set_log_callback(vx_log_callback) {}

extern "C" VX_API vx_status vx_daded_set_allocator(vx_alloc_fn alloc, vx_realloc_fn realloc, vx_free_fn free) {
    vx_allocator allocator = {alloc, realloc, free, nullptr};
    return vx_set_allocator(&allocator);
}

extern "C" VX_API void vx_daded_set_simd_enabled(int enabled) { vx_set_simd_enabled(enabled); }

extern "C" VX_API int vx_daded_is_simd_available(void) { return vx_is_simd_available(); }
