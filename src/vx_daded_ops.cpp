// The database's operations: the registry of named collections, insertion
// and search by name, statistics, the printed summary and error accessors.
#include "vx_collection_internal.h"
#include "vx_daded_internal.h"
#include "vx_lock_guard.h"

#include <string.h>

static const uint64_t MAX_NAME_LENGTH = 63;

// Names become file names and lines of the list file.
static int valid_collection_name(const vx_str *name) {
    if (!name->data || name->len == 0 || name->len > MAX_NAME_LENGTH) return 0;
    for (uint64_t i = 0; i < name->len; i++) {
        char ch = name->data[i];
        if (ch == '/' || ch == '\\' || ch == '\n' || ch == '\r' || ch == '\0') return 0;
    }
    if (name->len == 1 && name->data[0] == '.') return 0;
    if (name->len == 2 && name->data[0] == '.' && name->data[1] == '.') return 0;
    return 1;
}

static int name_equals(const vx_collection *c, const vx_str *name) {
    if (!c || !c->name) return 0;
    vx_str stored = {c->name, strlen(c->name)};
    return vx_strcmp(&stored, name) == 0;
}

// Registry position of the named collection, or UINT64_MAX. Lock held.
static uint64_t registry_find(const vx_daded *db, const vx_str *name) {
    for (uint64_t i = 0; i < db->collection_count; i++)
        if (name_equals(db->collections[i], name)) return i;
    return UINT64_MAX;
}

static void default_collection_config(vx_collection_config *config, const vx_str *name, uint32_t dimension) {
    memset(config, 0, sizeof(*config));
    config->name = *name;
    config->dimension = dimension;
    config->metric = VX_METRIC_L2;
    config->index_type = VX_INDEX_HNSW;
    config->build_threads = 1000;  // more than any machine's cores: every core
    config->auto_resize = 1;
}

// Creates and registers a collection; the write lock is held.
static vx_status create_locked(vx_daded *db, const vx_collection_config *config, vx_collection **out) {
    if (registry_find(db, &config->name) != UINT64_MAX) return VX_ERR_ALREADY_EXISTS;
    vx_collection *c = collection_create_shared(db->arena, db->arena_mutex, config);
    if (!c) return VX_ERR_UNKNOWN;
    vx_status st = daded_registry_append(db, c);
    if (st != VX_OK) {
        vx_collection_destroy(c);
        return st;
    }
    db->stats.collection_count = db->collection_count;
    // A listed name whose file was missing now names this collection.
    daded_forget_absent(db, c->name, strlen(c->name));
    *out = c;
    return VX_OK;
}

extern "C" VX_API vx_status vx_daded_create_collection_ex(vx_daded *db, const vx_collection_config *config,
                                                          vx_collection **out) {
    if (!db || !db->is_open || !config || !config->name.data) return VX_ERR_INVALID_ARG;
    if (!valid_collection_name(&config->name)) return VX_ERR_INVALID_ARG;
    if (db->config.read_only) return VX_ERR_READ_ONLY;
    vx_collection *c = nullptr;
    write_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    vx_status st = create_locked(db, config, &c);
    registry.unlock();
    if (st == VX_OK && out) *out = c;
    return st;
}

extern "C" VX_API vx_status vx_daded_create_collection(vx_daded *db, const vx_str *name, uint32_t dimension,
                                                       vx_collection **out) {
    if (!name) return VX_ERR_INVALID_ARG;
    vx_collection_config config;
    default_collection_config(&config, name, dimension);
    return vx_daded_create_collection_ex(db, &config, out);
}

extern "C" VX_API vx_collection *vx_daded_get_collection(vx_daded *db, const vx_str *name) {
    if (!db || !db->is_open || !name || !name->data) return nullptr;
    read_guard registry(db->lock);
    if (!registry.held()) return nullptr;
    uint64_t i = registry_find(db, name);
    return i != UINT64_MAX ? db->collections[i] : nullptr;
}

extern "C" VX_API int32_t vx_daded_has_collection(vx_daded *db, const vx_str *name) {
    return vx_daded_get_collection(db, name) ? 1 : 0;
}

extern "C" VX_API vx_status vx_daded_drop_collection(vx_daded *db, const vx_str *name) {
    if (!db || !db->is_open || !name || !name->data) return VX_ERR_INVALID_ARG;
    if (db->config.read_only) return VX_ERR_READ_ONLY;
    write_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    uint64_t i = registry_find(db, name);
    // A listed collection whose file was missing is dropped from the list.
    if (i == UINT64_MAX) return daded_forget_absent(db, name->data, name->len) ? VX_OK : VX_ERR_NOT_FOUND;
    vx_collection_destroy(db->collections[i]);
    vx_memmove(&db->collections[i], &db->collections[i + 1],
               (db->collection_count - i - 1) * sizeof(db->collections[0]));
    db->collections[--db->collection_count] = nullptr;
    db->stats.collection_count = db->collection_count;
    return VX_OK;
}

extern "C" VX_API uint64_t vx_daded_list_collections(vx_daded *db, vx_str *out, uint64_t max) {
    if (!db || !db->is_open) return 0;
    read_guard registry(db->lock);
    if (!registry.held()) return 0;
    uint64_t count = db->collection_count;
    if (out && max) {
        if (count > max) count = max;
        for (uint64_t i = 0; i < count; i++) {
            char *name = db->collections[i]->name;
            out[i].data = name;
            out[i].len = name ? strlen(name) : 0;
        }
    }
    return count;
}

// Finds the named collection or creates it with default options, in one
// step under the write lock, so two threads inserting into a new name
// share one collection.
static vx_status get_or_create(vx_daded *db, const vx_str *name, uint32_t dimension, vx_collection **out) {
    *out = vx_daded_get_collection(db, name);
    if (*out) return VX_OK;
    if (!valid_collection_name(name)) return VX_ERR_INVALID_ARG;
    if (db->config.read_only) return VX_ERR_READ_ONLY;
    vx_collection_config config;
    default_collection_config(&config, name, dimension);
    write_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    uint64_t i = registry_find(db, name);
    if (i != UINT64_MAX) {
        *out = db->collections[i];
        return VX_OK;
    }
    return create_locked(db, &config, out);
}

extern "C" VX_API vx_status vx_daded_insert(vx_daded *db, const vx_str *name, const float *vector,
                                            uint32_t dimension, uint64_t *out_id) {
    if (!db || !db->is_open || !name || !name->data || !vector) return VX_ERR_INVALID_ARG;
    // Refused before a collection could be created for it.
    if (!vector_all_finite(vector, dimension)) return VX_ERR_INVALID_ARG;
    vx_collection *c;
    vx_status st = get_or_create(db, name, dimension, &c);
    if (st != VX_OK) return st;
    if (c->dimension != dimension) return VX_ERR_INVALID_DIMENSION;
    return vx_collection_insert(c, vector, out_id);
}

extern "C" VX_API vx_status vx_daded_insert_batch(vx_daded *db, const vx_str *name, const float *vectors,
                                                  uint32_t dimension, uint64_t n, uint64_t *ids) {
    if (!db || !name || !vectors) return VX_ERR_INVALID_ARG;
    if (!db->is_open || !name->data) return VX_ERR_INVALID_ARG;
    // The whole batch is checked first, so a refused one changes nothing.
    if (!vector_all_finite(vectors, n * (uint64_t)dimension)) return VX_ERR_INVALID_ARG;
    vx_collection *c;
    vx_status st = get_or_create(db, name, dimension, &c);
    if (st != VX_OK) return st;
    if (c->dimension != dimension) return VX_ERR_INVALID_DIMENSION;
    for (uint64_t i = 0; i < n; i++) {
        st = vx_collection_insert(c, vectors + i * (uint64_t)dimension, ids ? &ids[i] : nullptr);
        if (st != VX_OK) return st;
    }
    return VX_OK;
}

extern "C" VX_API uint64_t vx_daded_search(vx_daded *db, const vx_str *name, const float *query,
                                           uint32_t dimension, uint64_t k, vx_search_result *results) {
    if (!query || !results) return 0;
    vx_collection *c = vx_daded_get_collection(db, name);
    if (!c || c->dimension != dimension) return 0;
    if (!vector_all_finite(query, dimension)) return collection_refuse(__func__, "query not finite");
    read_guard reading(c->lock);
    if (!reading.held()) return 0;
    search_item *items;
    uint64_t n = collection_search_locked(c, query, k, nullptr, &items);
    reading.unlock();
    for (uint64_t i = 0; i < n; i++) {
        results[i].id = items[i].id;
        results[i].distance = items[i].distance;
    }
    vx_free(items);
    return n;
}

extern "C" VX_API vx_status vx_daded_get_stats(vx_daded *db, vx_db_stats *out) {
    if (!db || !out) return VX_ERR_INVALID_ARG;
    read_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    *out = db->stats;
    return VX_OK;
}

extern "C" VX_API void vx_daded_reset_stats(vx_daded *db) {
    if (!db) return;
    memset(&db->stats, 0, sizeof(db->stats));
    db->stats.collection_count = db->collection_count;
}

extern "C" VX_API void vx_daded_print_info(vx_daded *db) {
    if (!db) {
        vx_printf("Database: NULL\n");
        return;
    }
    // Nothing to report a failure to: the memory line then shows 0.
    uint64_t used = 0;
    {
        mutex_guard arena_lock(db->arena_mutex);
        if (arena_lock.held()) used = vx_arena_get_used_size(db->arena);
    }
    vx_printf("Vexal DadED Information\n");
    vx_printf("=======================\n");
    vx_printf("Version:     %s\n", VX_VERSION_NUMBER);
    vx_printf("Path:        %s\n", db->config.path.data ? db->config.path.data : "(memory)");
    vx_printf("Status:      %s\n", db->is_open ? "Open" : "Closed");
    // The converter fetches every integer argument as 64 bits.
    vx_printf("Collections: %zu\n", (uint64_t)db->collection_count);
    vx_printf("Memory:      %zu bytes\n", (uint64_t)used);
    if (db->collection_count == 0) return;
    vx_printf("\nCollections:\n");
    for (uint64_t i = 0; i < db->collection_count; i++) {
        vx_collection *c = db->collections[i];
        vx_collection_stats stats;
        if (!c || vx_collection_get_stats(c, &stats) != VX_OK) continue;
        vx_printf("  - %s: %zu vectors, %d dims\n", c->name, (uint64_t)stats.count, (int64_t)stats.dimension);
    }
}

extern "C" VX_API vx_status vx_daded_get_last_error(vx_daded *db) {
    return db ? db->last_error : VX_ERR_UNKNOWN;
}

extern "C" VX_API const char *vx_daded_get_error_message(vx_daded *db) {
    if (!db) return vx_strerror(VX_ERR_UNKNOWN);
    if (db->error_message[0]) return db->error_message;
    return vx_strerror(db->last_error);
}

extern "C" VX_API const char *vx_daded_strerror(vx_status status) { return vx_strerror(status); }
