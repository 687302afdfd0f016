// Collections: creation, records, insertion, update, deletion and lookups.
#include "vx_collection_internal.h"
#include "vx_index_access.h"
#include "vx_lock_guard.h"

#include <string.h>

// --- arena access ---------------------------------------------------------

void *collection_arena_alloc(vx_collection *c, uint64_t size) {
    mutex_guard guard(c->arena_mutex);
    return guard.held() ? vx_arena_alloc(c->arena, size) : nullptr;
}

void *collection_arena_calloc(vx_collection *c, uint64_t count, uint64_t size) {
    mutex_guard guard(c->arena_mutex);
    return guard.held() ? vx_arena_calloc(c->arena, count, size) : nullptr;
}

uint64_t collection_arena_used(vx_collection *c) {
    mutex_guard guard(c->arena_mutex);
    return guard.held() ? vx_arena_get_used_size(c->arena) : 0;
}

void collection_share_arena_mutex(vx_collection *c, vx_mutex *arena_mutex) {
    if (!c || !arena_mutex || c->arena_mutex == arena_mutex) return;
    if (c->owns_arena_mutex) vx_mutex_destroy(c->arena_mutex);
    c->arena_mutex = arena_mutex;
    c->owns_arena_mutex = 0;
}

// --- index parameters -----------------------------------------------------

static const uint32_t AUTO_NLIST = 5;
static const uint32_t AUTO_NPROBE = 3;
static const uint32_t HNSW_DEFAULT_M = 16;
static const uint32_t HNSW_DEFAULT_EF_CONSTRUCTION = 200;
static const uint32_t HNSW_DEFAULT_EF_SEARCH = 64;
// The reserved word of a collection's index parameters: no index reads it,
// but the value is part of what a collection hands every index it makes.
static const uint32_t INDEX_PARAMS_TAIL = 20;

void collection_index_params(vx_index_params *out, int32_t type, int32_t metric,
                             uint32_t dimension, int32_t quant_type, uint32_t pq_m,
                             uint32_t pq_nbits) {
    memset(out, 0, sizeof(*out));
    out->metric = (vx_metric)metric;
    out->dimension = dimension;
    out->quant_type = quant_type;
    out->pq_m = pq_m;
    out->pq_nbits = pq_nbits;
    out->reserved = INDEX_PARAMS_TAIL;
    if (type == -1) {
        out->type = VX_INDEX_IVF;
        out->family.ivf.nlist = AUTO_NLIST;
        out->family.ivf.nprobe = AUTO_NPROBE;
        return;
    }
    out->type = (vx_index_type)type;
    if (index_kind_is_graph(type)) {
        out->family.hnsw.M = HNSW_DEFAULT_M;
        out->family.hnsw.ef_construction = HNSW_DEFAULT_EF_CONSTRUCTION;
        out->family.hnsw.ef_search = HNSW_DEFAULT_EF_SEARCH;
    }
}

vx_index *collection_make_index(vx_collection *c) {
    if (c->index_params.type == VX_INDEX_FLAT) {
        vx_index_params p;
        collection_index_params(&p, -1, c->metric, c->dimension, 0, 0, 0);
        return vx_index_create(nullptr, &p);
    }
    return vx_index_create(nullptr, &c->index_params);
}

int collection_index_active(const vx_collection *c) {
    return c->index && c->index_enabled && c->count >= c->index_threshold;
}

uint32_t collection_refine_factor(const vx_collection *c) {
    return c->config.refine_factor ? c->config.refine_factor : VX_COLLECTION_DEFAULT_REFINE;
}

int collection_index_borrows(vx_collection *c) {
    // A graph made empty reads the records' vectors in place; one that holds
    // vectors already (loaded from its file) keeps its own copies.
    if (vx_index_get_ntotal(c->index) == 0) index_borrow_vectors(c->index);
    return index_borrows_vectors(c->index);
}

void collection_apply_build_threads(vx_collection *c) {
    uint64_t asked = c->config.build_threads;
    // The field was once reserved: any value beyond the cores means them all.
    uint32_t threads = asked <= thread_cores_online() ? (uint32_t)asked : 0;
    vx_index_set_build_threads(c->index, threads);  // not a graph: nothing to set
}

// Adds every record's vector, where it lies, to a borrowing index in one
// batch.
static vx_status index_records_in_place(vx_collection *c) {
    uint64_t n = c->count;
    uint64_t *ids = (uint64_t *)vx_malloc(n * sizeof(uint64_t));
    const float **vectors = (const float **)vx_malloc(n * sizeof(float *));
    vx_status st = ids && vectors ? VX_OK : VX_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < n && st == VX_OK; i++) {
        ids[i] = c->records[i].id;
        vectors[i] = c->records[i].vector;
    }
    if (st == VX_OK) st = index_add_vectors_at(c->index, ids, vectors, n);
    vx_free(ids);
    vx_free(vectors);
    return st;
}

vx_status collection_index_records(vx_collection *c) {
    uint64_t n = c->count;
    uint64_t dim = c->dimension;
    if (n == 0) return VX_ERR_INVALID_ARG;
    collection_apply_build_threads(c);
    if (collection_index_borrows(c)) return index_records_in_place(c);
    if (n > UINT64_MAX / (dim * sizeof(float))) return VX_ERR_NO_MEMORY;
    float *vectors = (float *)vx_malloc(n * dim * sizeof(float));
    uint64_t *ids = (uint64_t *)vx_malloc(n * sizeof(uint64_t));
    vx_status st = vectors && ids ? VX_OK : VX_ERR_NO_MEMORY;
    if (st == VX_OK) {
        for (uint64_t i = 0; i < n; i++) {
            vx_memcpy(vectors + i * dim, c->records[i].vector, dim * sizeof(float));
            ids[i] = c->records[i].id;
        }
        st = vx_index_train(c->index, vectors, n);
        if (st == VX_OK) st = vx_index_add_batch(c->index, ids, vectors, n);
    }
    vx_free(vectors);
    vx_free(ids);
    return st;
}

void collection_feed_index(vx_collection *c, uint64_t id, const float *vector) {
    if (!collection_index_active(c)) return;
    collection_index_borrows(c);
    // An untrained index learns from every stored vector, this one included.
    if (vx_index_add(c->index, id, vector) == VX_ERR_INDEX_NOT_READY) collection_index_records(c);
}

// --- creation and destruction ---------------------------------------------

// Allocates the zeroed collection with its arena, arena mutex, record array
// and lock. Null on failure with everything released.
static vx_collection *collection_alloc(vx_arena *arena, vx_mutex *arena_mutex, uint64_t capacity) {
    int owns_arena = 0;
    if (!arena) {
        if (vx_arena_create(VX_COLLECTION_OWN_ARENA, &arena) != VX_OK) return nullptr;
        owns_arena = 1;
    }
    vx_mutex *own_mutex = nullptr;
    if (!arena_mutex) {
        if (vx_mutex_create(nullptr, 0, &own_mutex) != VX_OK) {
            if (owns_arena) vx_arena_destroy(arena);
            return nullptr;
        }
        arena_mutex = own_mutex;
    }
    vx_collection *c = nullptr;
    vx_record *records = nullptr;
    vx_rwlock *lock = nullptr;
    {
        mutex_guard guard(arena_mutex);
        if (guard.held()) c = (vx_collection *)vx_arena_calloc(arena, 1, sizeof(vx_collection));
        if (c) records = (vx_record *)vx_arena_calloc(arena, capacity, sizeof(vx_record));
        if (records) vx_rwlock_create(arena, 0, &lock);
    }
    if (!c || !records || !lock) {
        if (own_mutex) vx_mutex_destroy(own_mutex);
        if (owns_arena) vx_arena_destroy(arena);
        return nullptr;
    }
    c->arena = arena;
    c->owns_arena = owns_arena;
    c->arena_mutex = arena_mutex;
    c->owns_arena_mutex = own_mutex != nullptr;
    c->records = records;
    c->capacity = capacity;
    c->count = 0;
    c->next_id = 1;
    c->lock = lock;
    c->index_threshold = VX_COLLECTION_DORMANT_THRESHOLD;
    c->created_time = vx_time_now();
    c->modified_time = c->created_time;
    return c;
}

vx_collection *collection_alloc_shell(vx_arena *arena, uint32_t dimension, uint64_t capacity) {
    if (dimension == 0 || capacity == 0) return nullptr;
    vx_collection *c = collection_alloc(arena, nullptr, capacity);
    if (!c) return nullptr;
    c->dimension = dimension;
    c->config.dimension = dimension;
    c->config.index_type = -1;
    collection_index_params(&c->index_params, VX_INDEX_FLAT, 0, dimension, 0, 0, 0);
    return c;
}

// Length of the configured name: up to its zero byte, never past a given
// length.
static uint64_t config_name_length(const vx_str *name) {
    if (name->len > 0) return strnlen(name->data, name->len);
    return strlen(name->data);
}

vx_collection *collection_create_shared(vx_arena *arena, vx_mutex *arena_mutex,
                                        const vx_collection_config *config) {
    if (!config || config->dimension == 0) return nullptr;
    vx_collection *c = collection_alloc(arena, arena_mutex, VX_COLLECTION_INITIAL_CAPACITY);
    if (!c) return nullptr;
    c->dimension = config->dimension;
    c->metric = config->metric;
    c->config = *config;
    if (config->name.data) {
        uint64_t n = config_name_length(&config->name);
        char *name = (char *)collection_arena_alloc(c, n + 1);
        if (!name) {
            vx_collection_destroy(c);
            return nullptr;
        }
        vx_memcpy(name, config->name.data, n);
        name[n] = '\0';
        c->name = name;
        c->config.name.data = name;  // never the caller's memory
        c->config.name.len = n;
    }
    // Every index ranks by the collection's own metric.
    collection_index_params(&c->index_params, config->index_type, config->metric, config->dimension,
                            config->quant_type, config->pq_m, config->pq_nbits);
    if (c->index_params.type != VX_INDEX_FLAT) c->index = vx_index_create(nullptr, &c->index_params);
    c->index_enabled = 1;
    return c;
}

extern "C" VX_API vx_collection *vx_collection_create(vx_arena *arena, const vx_collection_config *config) {
    return collection_create_shared(arena, nullptr, config);
}

extern "C" VX_API void vx_collection_destroy(vx_collection *c) {
    if (!c) return;
    vx_rwlock_destroy(c->lock);
    vx_index_destroy(c->index);
    c->index = nullptr;
    collection_ids_release(c);
    vx_mutex *own_mutex = c->owns_arena_mutex ? c->arena_mutex : nullptr;
    if (c->owns_arena) vx_arena_destroy(c->arena);
    if (own_mutex) vx_mutex_destroy(own_mutex);
}

extern "C" VX_API const char *vx_collection_get_name(const vx_collection *c) {
    return c ? c->name : nullptr;
}

extern "C" VX_API vx_status vx_collection_get_stats(vx_collection *c, vx_collection_stats *out) {
    if (!c || !out) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    out->count = c->count;
    out->capacity = c->capacity;
    out->memory_used = collection_arena_used(c);
    out->dimension = c->dimension;
    out->index_type = c->index ? (int32_t)vx_index_get_type(c->index) : -1;
    out->index_trained = c->index ? vx_index_is_trained(c->index) : 0;
    return VX_OK;
}

// --- records ---------------------------------------------------------------

static vx_status grow_records(vx_collection *c) {
    uint64_t capacity = c->capacity * 2;
    if (capacity < VX_COLLECTION_MIN_GROWTH) capacity = VX_COLLECTION_MIN_GROWTH;
    vx_record *grown = (vx_record *)collection_arena_calloc(c, capacity, sizeof(vx_record));
    if (!grown) return VX_ERR_NO_MEMORY;
    vx_memcpy(grown, c->records, c->count * sizeof(vx_record));
    c->records = grown;
    c->capacity = capacity;
    return VX_OK;
}

vx_status collection_reserve_record(vx_collection *c) {
    if (c->count >= c->capacity && grow_records(c) != VX_OK) return VX_ERR_NO_MEMORY;
    return collection_ids_reserve(c, 1);
}

vx_status collection_push_record(vx_collection *c, uint64_t id, float *vector, vx_meta_entry *meta,
                                 uint64_t meta_count) {
    if (collection_reserve_record(c) != VX_OK) return VX_ERR_NO_MEMORY;
    uint64_t pos = c->count++;
    vx_record *r = &c->records[pos];
    r->id = id;
    r->vector = vector;
    r->meta = meta;
    r->meta_count = meta ? meta_count : 0;
    collection_ids_append(c, id, pos);
    return VX_OK;
}

vx_status collection_check_writable(const vx_collection *c) { return c->read_only ? VX_ERR_READ_ONLY : VX_OK; }

// All exponent bits set: NaN or infinity.
static inline uint32_t not_finite(const float *x) {
    uint32_t bits;
    memcpy(&bits, x, sizeof(bits));
    return (bits & 0x7f800000u) == 0x7f800000u;
}

int vector_all_finite(const float *v, uint64_t n) {
    // Sixteen at a time without a branch inside, which the compiler keeps in
    // vector registers; every query passes through here.
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint32_t bad = 0;
        for (uint64_t j = 0; j < 16; j++) bad |= not_finite(&v[i + j]);
        if (bad) return 0;
    }
    for (; i < n; i++)
        if (not_finite(&v[i])) return 0;
    return 1;
}

int vectors_all_finite(const vx_collection *c, const float *vectors, uint64_t n) {
    uint64_t dim = c->dimension;
    for (uint64_t i = 0; i < n; i++)
        if (!vector_all_finite(vectors + i * dim, dim)) return 0;
    return 1;
}

// The checks every change of a record's vector passes first: a read-only
// collection refuses it, and so does a vector with a NaN or an infinity
// (it would rank ahead of true neighbours).
static vx_status check_vector_write(const vx_collection *c, const float *vectors, uint64_t n) {
    vx_status st = collection_check_writable(c);
    if (st != VX_OK) return st;
    return vectors_all_finite(c, vectors, n) ? VX_OK : VX_ERR_INVALID_ARG;
}

// A chunk holds as many vectors as the collection already has (at least 16,
// at most what fits in 1 MiB), so small collections waste little and large
// ones scan in long contiguous runs.
static const uint64_t VECTOR_CHUNK_MIN = 16;
static const uint64_t VECTOR_CHUNK_BYTES = 1u << 20;

float *collection_vector_slot(vx_collection *c) {
    uint64_t bytes = (uint64_t)c->dimension * sizeof(float);
    if (c->vector_chunk_free == 0) {
        uint64_t most = VECTOR_CHUNK_BYTES / bytes ? VECTOR_CHUNK_BYTES / bytes : 1;
        uint64_t n = c->count > VECTOR_CHUNK_MIN ? c->count : VECTOR_CHUNK_MIN;
        if (n > most) n = most;
        float *chunk = (float *)collection_arena_alloc(c, n * bytes);
        if (!chunk && n > 1) chunk = (float *)collection_arena_alloc(c, bytes), n = 1;
        if (!chunk) return nullptr;
        c->vector_chunk = chunk;
        c->vector_chunk_free = n;
    }
    float *slot = c->vector_chunk;
    c->vector_chunk += c->dimension;
    c->vector_chunk_free--;
    return slot;
}

extern "C" VX_API vx_status vx_collection_insert_with_meta(vx_collection *c, const float *vector,
                                                           const vx_meta_entry *meta, uint64_t meta_count,
                                                           uint64_t *out_id) {
    if (!c || !vector) return VX_ERR_INVALID_ARG;
    vx_status checked = check_vector_write(c, vector, 1);
    if (checked != VX_OK) return checked;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    if (collection_reserve_record(c) != VX_OK) return VX_ERR_NO_MEMORY;
    uint64_t id = c->next_id++;
    float *copy = collection_vector_slot(c);
    if (!copy) return VX_ERR_NO_MEMORY;
    vx_memcpy(copy, vector, (uint64_t)c->dimension * sizeof(float));
    vx_meta_entry *meta_copy = nullptr;
    if (meta && meta_count) meta_copy = collection_copy_meta(c, meta, meta_count);
    if (collection_push_record(c, id, copy, meta_copy, meta_count) != VX_OK) return VX_ERR_NO_MEMORY;
    c->modified_time = vx_time_now();
    collection_feed_index(c, id, copy);
    guard.unlock();
    if (out_id) *out_id = id;
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_insert(vx_collection *c, const float *vector, uint64_t *out_id) {
    return vx_collection_insert_with_meta(c, vector, nullptr, 0, out_id);
}

extern "C" VX_API vx_status vx_collection_insert_record(vx_collection *c, const vx_record *rec) {
    if (!c || !rec) return VX_ERR_INVALID_ARG;
    return vx_collection_insert_with_meta(c, rec->vector, rec->meta, rec->meta_count, nullptr);
}

// Records a batch stores under one hold of the write lock: enough for a
// graph's build threads to share, few enough that searches wait briefly.
static const uint64_t INSERT_CHUNK = 2048;

// Hands n stored records to the index: an active graph reading the records'
// vectors in place takes them in one add (on its build threads), any other
// index one at a time. Failures are ignored, as for a single insertion.
static void feed_index_many(vx_collection *c, const uint64_t *ids, const float *const *vectors, uint64_t n) {
    if (!collection_index_active(c)) return;
    if (index_kind_is_graph(vx_index_get_type(c->index)) && collection_index_borrows(c)) {
        collection_apply_build_threads(c);
        index_add_vectors_at(c->index, ids, vectors, n);
        return;
    }
    // An untrained index learns from every stored record and takes them all
    // at once, the rest of this chunk included.
    for (uint64_t i = 0; i < n; i++) {
        if (vx_index_add(c->index, ids[i], vectors[i]) == VX_ERR_INDEX_NOT_READY) {
            collection_index_records(c);
            return;
        }
    }
}

// Record i's metadata in a batch: metas[i] with meta_counts[i] entries, or none.
struct batch_meta {
    const vx_meta_entry *const *metas;
    const uint64_t *meta_counts;
};

// The metadata of a batch from its record i on.
static batch_meta batch_meta_from(batch_meta m, uint64_t i) {
    return batch_meta{m.metas ? m.metas + i : nullptr, m.meta_counts ? m.meta_counts + i : nullptr};
}

static vx_meta_entry *batch_meta_copy(vx_collection *c, const batch_meta *m, uint64_t i, uint64_t *count) {
    *count = m->metas && m->meta_counts && m->metas[i] ? m->meta_counts[i] : 0;
    return *count ? collection_copy_meta(c, m->metas[i], *count) : nullptr;
}

// Stores up to n records under one hold of the write lock and feeds them to
// the index; ids receives their ids. Stops at the first failure.
static vx_status insert_chunk(vx_collection *c, const float *vectors, uint64_t n, batch_meta meta, uint64_t *ids) {
    const float **where = (const float **)vx_malloc(n * sizeof(float *));
    if (!where) return VX_ERR_NO_MEMORY;
    write_guard guard(c->lock);
    vx_status st = guard.held() ? VX_OK : guard.status();
    uint64_t stored = 0;
    while (stored < n && st == VX_OK) {
        float *copy = collection_reserve_record(c) == VX_OK ? collection_vector_slot(c) : nullptr;
        if (!copy) {
            st = VX_ERR_NO_MEMORY;
            break;
        }
        vx_memcpy(copy, vectors + stored * c->dimension, (uint64_t)c->dimension * sizeof(float));
        uint64_t meta_count;
        vx_meta_entry *meta_copy = batch_meta_copy(c, &meta, stored, &meta_count);
        st = collection_push_record(c, c->next_id, copy, meta_copy, meta_copy ? meta_count : 0);
        if (st != VX_OK) break;
        ids[stored] = c->next_id++;
        where[stored++] = copy;
    }
    if (stored) {
        c->modified_time = vx_time_now();
        feed_index_many(c, ids, where, stored);
    }
    guard.unlock();
    vx_free(where);
    return st;
}

// Both batch insertions: checked whole first, then stored a chunk at a time.
static vx_status insert_batch(vx_collection *c, const float *vectors, uint64_t n, batch_meta meta,
                              uint64_t *out_ids) {
    if (!c || !vectors || n == 0) return VX_ERR_INVALID_ARG;
    if (n > UINT64_MAX / sizeof(uint64_t)) return VX_ERR_NO_MEMORY;
    // Checked whole before the first insertion, so a refused batch adds nothing.
    vx_status checked = check_vector_write(c, vectors, n);
    if (checked != VX_OK) return checked;
    uint64_t *ids = (uint64_t *)vx_malloc(n * sizeof(uint64_t));
    if (!ids) return VX_ERR_NO_MEMORY;
    vx_status st = VX_OK;
    uint64_t dim = c->dimension;
    for (uint64_t i = 0; i < n && st == VX_OK; i += INSERT_CHUNK)
        st = insert_chunk(c, vectors + i * dim, n - i < INSERT_CHUNK ? n - i : INSERT_CHUNK, batch_meta_from(meta, i),
                          ids + i);
    if (st == VX_OK && out_ids) vx_memcpy(out_ids, ids, n * sizeof(uint64_t));
    vx_free(ids);
    return st;
}

extern "C" VX_API vx_status vx_collection_insert_batch(vx_collection *c, const float *vectors, uint64_t n,
                                                       uint64_t *out_ids) {
    return insert_batch(c, vectors, n, batch_meta{nullptr, nullptr}, out_ids);
}

extern "C" VX_API vx_status vx_collection_insert_batch_with_meta(vx_collection *c, const float *vectors, uint64_t n,
                                                                 const vx_meta_entry *const *metas,
                                                                 const uint64_t *meta_counts, uint64_t *out_ids) {
    return insert_batch(c, vectors, n, batch_meta{metas, meta_counts}, out_ids);
}

extern "C" VX_API vx_status vx_collection_upsert(vx_collection *c, uint64_t id, const float *vector) {
    if (!c || !vector) return VX_ERR_INVALID_ARG;
    vx_status checked = check_vector_write(c, vector, 1);
    if (checked != VX_OK) return checked;
    {
        write_guard guard(c->lock);
        if (!guard.held()) return guard.status();
        uint64_t pos = collection_find(c, id);
        if (pos != UINT64_MAX) {
            vx_memcpy(c->records[pos].vector, vector, (uint64_t)c->dimension * sizeof(float));
            c->modified_time = vx_time_now();
            // The index learns the new vector, so searches find the record by it.
            if (collection_index_active(c)) {
                vx_index_remove(c->index, id);
                collection_feed_index(c, id, c->records[pos].vector);
            }
            return VX_OK;
        }
    }
    return vx_collection_insert(c, vector, nullptr);
}

// Removes the record at pos, keeping the order of the others. Write lock.
static void remove_at(vx_collection *c, uint64_t pos) {
    uint64_t id = c->records[pos].id;
    if (c->index) vx_index_remove(c->index, id);
    vx_memmove(&c->records[pos], &c->records[pos + 1], (c->count - pos - 1) * sizeof(vx_record));
    c->count--;
    collection_ids_removed(c, id, pos);
}

// Deletes the first record of id; VX_ERR_NOT_FOUND. Write lock held.
static vx_status delete_locked(vx_collection *c, uint64_t id) {
    uint64_t pos = collection_find(c, id);
    if (pos == UINT64_MAX) return VX_ERR_NOT_FOUND;
    remove_at(c, pos);
    c->modified_time = vx_time_now();
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_delete(vx_collection *c, uint64_t id) {
    if (!c) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    return delete_locked(c, id);
}

// Drops the records at the positions gone(i, record) picks, in one
// compacting pass: the survivors keep their order, as if each had been
// removed by shifting the later records down. The id table follows each
// removal and move, or is rebuilt afterwards while some id is repeated (its
// entry must then name the first survivor). Returns the number dropped.
// Write lock held.
template <typename Gone> static uint64_t compact_records(vx_collection *c, Gone gone) {
    int follow = c->id_repeats == 0;
    uint64_t kept = 0;
    for (uint64_t i = 0; i < c->count; i++) {
        vx_record *r = &c->records[i];
        if (gone(i, r)) {
            if (follow) collection_ids_forget(c, r->id);
            continue;
        }
        if (kept != i) {
            c->records[kept] = *r;
            if (follow) collection_ids_moved(c, c->records[kept].id, kept);
        }
        kept++;
    }
    uint64_t dropped = c->count - kept;
    if (dropped > 0) {
        vx_memset(&c->records[kept], 0, dropped * sizeof(vx_record));
        c->count = kept;
        if (!follow) collection_ids_rebuild(c);
        c->modified_time = vx_time_now();
    }
    return dropped;
}

// Marks the position of each listed id's record and takes it out of the
// index, in list order (a graph's relinking depends on the order of its
// removals); an id listed twice or not held is passed over. Returns the
// number marked. Write lock held, no repeated ids in the collection.
static uint64_t mark_listed(vx_collection *c, const uint64_t *ids, uint64_t n, uint64_t *marks) {
    const uint64_t block = 256;  // lookups started together, as for a batch get
    uint64_t positions[block], marked = 0;
    for (uint64_t start = 0; start < n; start += block) {
        uint64_t len = n - start < block ? n - start : block;
        collection_find_many(c, ids + start, len, positions);
        for (uint64_t j = 0; j < len; j++) {
            uint64_t pos = positions[j];
            if (pos == UINT64_MAX || (marks[pos >> 6] >> (pos & 63) & 1)) continue;
            marks[pos >> 6] |= 1ull << (pos & 63);
            if (c->index) vx_index_remove(c->index, ids[start + j]);
            marked++;
        }
    }
    return marked;
}

// One hold of the write lock for the whole list and one compacting pass
// over the records, so a batch costs the collection's size once rather than
// once per id. A collection holding repeated ids (each deletion then takes
// the first record of its id) or short of memory for the marks deletes one
// id at a time.
extern "C" VX_API vx_status vx_collection_delete_batch(vx_collection *c, const uint64_t *ids, uint64_t n) {
    if (!c || !ids || n == 0) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint64_t *marks = c->id_repeats ? nullptr : (uint64_t *)vx_calloc((c->count + 63) / 64 + 1, sizeof(uint64_t));
    if (!marks) {
        for (uint64_t i = 0; i < n; i++) delete_locked(c, ids[i]);
        return VX_OK;
    }
    if (mark_listed(c, ids, n, marks))
        compact_records(c, [marks](uint64_t i, const vx_record *) { return (marks[i >> 6] >> (i & 63) & 1) != 0; });
    vx_free(marks);
    return VX_OK;
}

extern "C" VX_API int64_t vx_collection_delete_by_filter(vx_collection *c, const vx_filter *f) {
    if (!c || c->read_only) return -1;
    if (!filter_within_limits(f)) {
        collection_refuse(__func__, "filter too deep or cyclic");
        return -1;
    }
    write_guard guard(c->lock);
    if (!guard.held()) return -1;
    return (int64_t)compact_records(c, [c, f](uint64_t, const vx_record *r) {
        if (!match_filter(r, f)) return false;
        if (c->index) vx_index_remove(c->index, r->id);
        return true;
    });
}

extern "C" VX_API vx_status vx_collection_clear(vx_collection *c) {
    if (!c) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    c->count = 0;
    c->next_id = 1;
    collection_ids_release(c);
    c->modified_time = vx_time_now();
    if (c->index) {
        vx_index_destroy(c->index);
        c->index = collection_make_index(c);
    }
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_get(vx_collection *c, uint64_t id, float *out) {
    if (!c || !out) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint64_t pos = collection_find(c, id);
    if (pos == UINT64_MAX) return VX_ERR_NOT_FOUND;
    vx_memcpy(out, c->records[pos].vector, (uint64_t)c->dimension * sizeof(float));
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_get_record(vx_collection *c, uint64_t id, vx_record **out) {
    if (!c || !out) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint64_t pos = collection_find(c, id);
    *out = pos != UINT64_MAX ? &c->records[pos] : nullptr;
    return pos != UINT64_MAX ? VX_OK : VX_ERR_NOT_FOUND;
}

extern "C" VX_API uint64_t vx_collection_get_batch(vx_collection *c, const uint64_t *ids, uint64_t n,
                                                   float *out) {
    if (!c || !ids || !out || n == 0) return 0;
    uint64_t dim = c->dimension;
    uint64_t found = 0;
    read_guard guard(c->lock);
    if (!guard.held()) return 0;
    for (uint64_t i = 0; i < n; i++) {
        uint64_t pos = collection_find(c, ids[i]);
        if (pos == UINT64_MAX) continue;
        vx_memcpy(out + i * dim, c->records[pos].vector, dim * sizeof(float));
        found++;
    }
    return found;
}
