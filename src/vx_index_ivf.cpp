// The inverted-file index: k-means centroids partition the vectors into
// lists; a query scans only the lists whose centroids are nearest to it.
// Entries hold raw vectors, product-quantizer codes or scalar-quantizer codes.
#include "vx_index_internal.h"
#include "vx_lock_guard.h"
#include "vx_quant_internal.h"
#include "vx_vector_internal.h"

// Entries scored per kernel call while scanning a list.
static const uint64_t IVF_SCAN_CHUNK = 256;

/* ---- body ---------------------------------------------------------------------- */

static void ivf_release_locks(vx_ivf_index *ivf) {
    if (ivf->lists) {
        for (uint32_t j = 0; j < ivf->list_count; j++) {
            if (ivf->lists[j].lock) vx_rwlock_destroy(ivf->lists[j].lock);
            ivf->lists[j].lock = nullptr;
        }
    }
    if (ivf->mutex) vx_mutex_destroy(ivf->mutex);
    ivf->mutex = nullptr;
}

extern "C" VX_API vx_ivf_index *vx_ivf_create(vx_arena *arena, uint32_t dimension,
                                              const vx_ivf_params *params) {
    if (dimension == 0 || !params || params->nlist == 0) return nullptr;
    int32_t owns = 0;
    if (!arena) {
        if (vx_arena_create(VX_INDEX_ARENA_SIZE, &arena) != VX_OK) return nullptr;
        owns = 1;
    }
    vx_ivf_index *ivf = (vx_ivf_index *)vx_arena_calloc(arena, 1, sizeof(vx_ivf_index));
    if (!ivf) goto fail;
    ivf->type = VX_INDEX_IVF;
    ivf->metric = VX_METRIC_L2;
    ivf->dimension = dimension;
    ivf->nlist = params->nlist;
    ivf->nprobe = params->nprobe;
    ivf->iterations = params->iterations;
    ivf->reserved0 = params->reserved0;
    ivf->reserved1 = params->reserved1;
    ivf->quant_type = VX_QUANT_SCALAR_ALT;
    ivf->arena = arena;
    ivf->lists = (vx_ivf_list *)vx_arena_calloc(arena, params->nlist, sizeof(vx_ivf_list));
    if (!ivf->lists) goto fail;
    for (uint32_t j = 0; j < params->nlist; j++) {
        vx_ivf_list *list = &ivf->lists[j];
        list->centroid = (float *)vx_arena_calloc(arena, dimension, sizeof(float));
        list->entries = (vx_ivf_entry *)vx_arena_calloc(arena, VX_IVF_LIST_INITIAL_CAPACITY,
                                                        sizeof(vx_ivf_entry));
        if (!list->centroid || !list->entries) goto fail;
        list->capacity = VX_IVF_LIST_INITIAL_CAPACITY;
        if (vx_rwlock_create(nullptr, 0, &list->lock) != VX_OK) goto fail;
        ivf->list_count = j + 1;
    }
    ivf->list_count = params->nlist;
    if (vx_mutex_create(nullptr, 0, &ivf->mutex) != VX_OK) goto fail;
    ivf->owns_arena = owns;
    return ivf;
fail:
    if (ivf) ivf_release_locks(ivf);
    if (owns) vx_arena_destroy(arena);
    return nullptr;
}

extern "C" VX_API void vx_ivf_destroy(vx_ivf_index *ivf) {
    if (!ivf) return;
    ivf_release_locks(ivf);
    if (ivf->owns_arena) vx_arena_destroy(ivf->arena);
}

extern "C" VX_API uint32_t vx_ivf_get_nlist(const vx_ivf_index *ivf) {
    return ivf ? ivf->list_count : 0;
}

extern "C" VX_API uint64_t vx_ivf_get_list_size(const vx_ivf_index *ivf, uint32_t list) {
    if (!ivf || list >= ivf->list_count) return 0;
    return __atomic_load_n(&ivf->lists[list].count, __ATOMIC_RELAXED);
}

/* ---- training -------------------------------------------------------------------- */

// Farthest-point seeding: a random first row, then repeatedly the row whose
// nearest chosen centroid is farthest (first of equal maxima). When no row is
// farther than the starting bound the previous pick is taken again.
// Under squared L2 a row whose nearest centroid so far is a cannot come
// nearer to the new centroid c when |a - c|^2 > SEED_SKIP * |r - a|^2, as
// |r - c| >= |a - c| - |r - a|; such rows are not measured. The factor lies
// far enough above 4 to cover every rounding of the sums, so nearest[] and
// every pick are those of measuring each row each time. Working memory for
// that (owner, the row pointers and positions) may be null: every row is
// then measured.
static const float SEED_SKIP = 4.01f;

struct seed_scratch {
    uint32_t *owner;       // per row: the centroid its nearest[] came from
    const float **ptrs;    // rows to measure this round
    uint64_t *pos;         // their positions
    float *between;        // the new centroid's distance to each earlier one
};

// Rows the centroid j - 1 may come nearer to, into s->ptrs and s->pos.
static uint64_t seed_rows_to_measure(const vx_ivf_index *ivf, const float *rows, uint64_t n, const float *cent,
                                     uint32_t j, const float *nearest, seed_scratch *s) {
    uint32_t d = ivf->dimension;
    const float *last = cent + (uint64_t)(j - 1) * d;
    for (uint32_t a = 0; a + 1 < j; a++) s->between[a] = vx_vec_distance(cent + (uint64_t)a * d, last, d, ivf->metric);
    uint64_t m = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (j > 1 && s->between[s->owner[r]] > SEED_SKIP * nearest[r]) continue;
        s->ptrs[m] = rows + r * d;
        s->pos[m++] = r;
    }
    return m;
}

static void ivf_seed(const vx_ivf_index *ivf, const float *rows, uint64_t n, float *cent,
                     float *nearest, float *scratch, seed_scratch *skip) {
    uint32_t d = ivf->dimension;
    uint32_t c = ivf->list_count;
    // Squared L2 and cosine distances are not negative; negated dot products
    // may be, so that metric starts below every value.
    float floor = ivf->metric == VX_METRIC_IP ? -__builtin_inff() : 0.0f;
    bool l2 = ivf->metric != VX_METRIC_IP && ivf->metric != VX_METRIC_COSINE;
    if (!l2 || !skip->owner || !skip->ptrs || !skip->pos || !skip->between) skip = nullptr;
    uint64_t pick = vx_rand() % n;
    vx_memcpy(cent, rows + pick * d, (uint64_t)d * sizeof(float));
    for (uint32_t j = 1; j < c; j++) {
        const float *last = cent + (uint64_t)(j - 1) * d;
        if (skip) {
            uint64_t m = seed_rows_to_measure(ivf, rows, n, cent, j, nearest, skip);
            batch_distance(last, skip->ptrs, m, d, ivf->metric, scratch);
            for (uint64_t i = 0; i < m; i++) {
                uint64_t r = skip->pos[i];
                if (j == 1 || scratch[i] < nearest[r]) {
                    nearest[r] = scratch[i];
                    skip->owner[r] = j - 1;
                }
            }
        } else {
            batch_distance_rows(last, rows, n, d, ivf->metric, scratch);
            for (uint64_t r = 0; r < n; r++)
                if (j == 1 || scratch[r] < nearest[r]) nearest[r] = scratch[r];
        }
        float best = floor;
        for (uint64_t r = 0; r < n; r++) {
            if (nearest[r] > best) {
                best = nearest[r];
                pick = r;
            }
        }
        vx_memcpy(cent + (uint64_t)j * d, rows + pick * d, (uint64_t)d * sizeof(float));
    }
}

// Index of the strictly nearest of c centroids (lowest on ties).
static uint32_t nearest_centroid(const float *dist, uint32_t c) {
    uint32_t best = 0;
    for (uint32_t j = 1; j < c; j++)
        if (dist[j] < dist[best]) best = j;
    return best;
}

// Rows assigned per pass over the centroids during training.
static const uint64_t ASSIGN_TILE = 64;

// assign[r] = the nearest centroid of every row, a tile of rows per pass over
// the centroids (the distances have the bits of one row at a time). dist
// holds ASSIGN_TILE * c floats, cents c pointers. False without memory.
static bool ivf_assign_rows(const vx_ivf_index *ivf, const float *rows, uint64_t n, const float *cent,
                            const float **cents, uint32_t *assign, float *dist) {
    uint32_t d = ivf->dimension;
    uint32_t c = ivf->list_count;
    for (uint32_t j = 0; j < c; j++) cents[j] = cent + (uint64_t)j * d;
    for (uint64_t r0 = 0; r0 < n; r0 += ASSIGN_TILE) {
        uint64_t m = n - r0 < ASSIGN_TILE ? n - r0 : ASSIGN_TILE;
        if (!batch_distance_queries(rows + r0 * d, m, cents, c, d, ivf->metric, dist, c)) return false;
        for (uint64_t t = 0; t < m; t++) assign[r0 + t] = nearest_centroid(dist + t * c, c);
    }
    return true;
}

// One k-means round: assign every row, then move every centroid that got
// rows to their mean (running sums in row order).
static bool ivf_kmeans_round(const vx_ivf_index *ivf, const float *rows, uint64_t n, float *cent,
                             uint32_t *assign, uint32_t *counts, float *sums, float *dist,
                             const float **cents) {
    uint32_t d = ivf->dimension;
    uint32_t c = ivf->list_count;
    if (!ivf_assign_rows(ivf, rows, n, cent, cents, assign, dist)) return false;
    vx_memset(counts, 0, (uint64_t)c * sizeof(uint32_t));
    vx_memset(sums, 0, (uint64_t)c * d * sizeof(float));
    for (uint64_t r = 0; r < n; r++) {
        float *sum = sums + (uint64_t)assign[r] * d;
        const float *row = rows + r * d;
        for (uint32_t t = 0; t < d; t++) sum[t] += row[t];
        counts[assign[r]]++;
    }
    for (uint32_t j = 0; j < c; j++) {
        if (counts[j] == 0) continue;
        float cnt = (float)counts[j];
        for (uint32_t t = 0; t < d; t++) cent[(uint64_t)j * d + t] = sums[(uint64_t)j * d + t] / cnt;
    }
    return true;
}

// The scalar quantizer learns its ranges in training when the kind or the
// quantization setting asks for it.
static bool ivf_trains_sq(const vx_ivf_index *ivf) {
    bool scalar = ivf->quant_type == VX_QUANT_SCALAR || ivf->quant_type == VX_QUANT_SCALAR_ALT;
    return ivf->sq && (ivf->type == VX_INDEX_IVF_SQ || scalar);
}

vx_status ivf_train(vx_ivf_index *ivf, const float *vectors, uint64_t n) {
    if (n < ivf->list_count) return VX_ERR_INVALID_ARG;
    // n rows of d floats must be addressable.
    if (n > UINT64_MAX / sizeof(float) / ivf->dimension) return VX_ERR_INVALID_ARG;
    uint32_t d = ivf->dimension;
    uint32_t c = ivf->list_count;
    uint64_t cd = (uint64_t)c * d;
    float *cent = (float *)vx_malloc(cd * sizeof(float));
    float *nearest = (float *)vx_malloc(n * sizeof(float));
    float *scratch = (float *)vx_malloc((n > c ? n : c) * sizeof(float));
    uint32_t *assign = (uint32_t *)vx_malloc(n * sizeof(uint32_t));
    uint32_t *counts = (uint32_t *)vx_malloc((uint64_t)c * sizeof(uint32_t));
    float *sums = (float *)vx_malloc(cd * sizeof(float));
    float *dist = (float *)vx_malloc(ASSIGN_TILE * c * sizeof(float));
    const float **cents = (const float **)vx_malloc((uint64_t)c * sizeof(float *));
    vx_status st = VX_OK;
    if (!cent || !nearest || !scratch || !assign || !counts || !sums || !dist || !cents) {
        st = VX_ERR_NO_MEMORY;
    } else {
        // The row pointers and positions are only needed while seeding.
        seed_scratch skip = {assign, (const float **)vx_malloc(n * sizeof(float *)),
                             (uint64_t *)vx_malloc(n * sizeof(uint64_t)), (float *)vx_malloc((uint64_t)c * sizeof(float))};
        ivf_seed(ivf, vectors, n, cent, nearest, scratch, &skip);
        vx_free((void *)skip.ptrs);
        vx_free(skip.pos);
        vx_free(skip.between);
        for (uint32_t it = 0; it < ivf->iterations && st == VX_OK; it++)
            if (!ivf_kmeans_round(ivf, vectors, n, cent, assign, counts, sums, dist, cents)) st = VX_ERR_NO_MEMORY;
    }
    if (st == VX_OK) {
        for (uint32_t j = 0; j < c; j++)
            vx_memcpy(ivf->lists[j].centroid, cent + (uint64_t)j * d, (uint64_t)d * sizeof(float));
        if (ivf->type == VX_INDEX_IVF_PQ && ivf->pq)
            st = vx_pq_train(ivf->pq, vectors, n);
        else if (ivf_trains_sq(ivf))
            st = vx_sq_quantizer_train(ivf->sq, vectors, n);
        if (st == VX_OK) __atomic_store_n(&ivf->trained, 1u, __ATOMIC_RELEASE);
    }
    vx_free(cent);
    vx_free(nearest);
    vx_free(scratch);
    vx_free(assign);
    vx_free(counts);
    vx_free(sums);
    vx_free(dist);
    vx_free(cents);
    return st;
}

/* ---- adding ------------------------------------------------------------------------- */

// Distances from v to every centroid; cents holds the centroid pointers
// (every list gets its centroid at creation).
static void centroid_distances(const vx_ivf_index *ivf, const float *v, const float **cents,
                               float *out) {
    index_distance_batch(v, cents, ivf->list_count, ivf->dimension, ivf->metric, out);
}

static void gather_centroids(const vx_ivf_index *ivf, const float **cents) {
    for (uint32_t j = 0; j < ivf->list_count; j++) cents[j] = ivf->lists[j].centroid;
}

// A list's raw vectors come from chunks as large as the list already is
// (8 vectors at least, 256 KiB at most).
static const uint64_t LIST_CHUNK_MIN = 8;
static const uint64_t LIST_CHUNK_BYTES = 256u << 10;

static float *ivf_list_vector_slot(vx_ivf_index *ivf, vx_ivf_list *list) {
    uint64_t bytes = (uint64_t)ivf->dimension * sizeof(float);
    if (list->vector_chunk_free == 0) {
        uint64_t most = LIST_CHUNK_BYTES / bytes ? LIST_CHUNK_BYTES / bytes : 1;
        uint64_t n = list->count > LIST_CHUNK_MIN ? list->count : LIST_CHUNK_MIN;
        if (n > most) n = most;
        list->vector_chunk = (float *)vx_arena_alloc(ivf->arena, n * bytes);
        if (!list->vector_chunk) return nullptr;
        list->vector_chunk_free = n;
    }
    float *slot = list->vector_chunk;
    list->vector_chunk += ivf->dimension;
    list->vector_chunk_free--;
    return slot;
}

// Appends one entry to list; the list's write lock is held.
static vx_status ivf_list_append(vx_ivf_index *ivf, vx_ivf_list *list, uint64_t id,
                                 const float *v) {
    if (list->count == list->capacity) {
        uint64_t cap = list->capacity ? list->capacity * 2 : VX_IVF_LIST_INITIAL_CAPACITY;
        vx_ivf_entry *grown =
            (vx_ivf_entry *)vx_arena_calloc(ivf->arena, cap, sizeof(vx_ivf_entry));
        if (!grown) return VX_ERR_NO_MEMORY;
        if (list->count) vx_memcpy(grown, list->entries, list->count * sizeof(vx_ivf_entry));
        list->entries = grown;
        list->capacity = cap;
    }
    vx_ivf_entry *e = &list->entries[list->count];
    e->id = id;
    e->vector = nullptr;
    e->code = nullptr;
    if (ivf->type == VX_INDEX_IVF_PQ && ivf->pq) {
        e->code = (uint8_t *)vx_arena_alloc(ivf->arena, ivf->pq->m);
        if (!e->code) return VX_ERR_NO_MEMORY;
        vx_pq_encode(ivf->pq, v, e->code);
    } else if (ivf->type == VX_INDEX_IVF_SQ && ivf->sq) {
        e->code = (uint8_t *)vx_arena_alloc(ivf->arena, ivf->dimension);
        if (!e->code) return VX_ERR_NO_MEMORY;
        vx_sq_quantize(ivf->sq, v, e->code);
    } else {
        e->vector = ivf_list_vector_slot(ivf, list);
        if (!e->vector) return VX_ERR_NO_MEMORY;
        vx_memcpy(e->vector, v, (uint64_t)ivf->dimension * sizeof(float));
    }
    __atomic_store_n(&list->count, list->count + 1, __ATOMIC_RELAXED);
    return VX_OK;
}

// Appends each vector to the list of its nearest centroid, one list write
// lock at a time, under the mutex that serialises additions.
static vx_status ivf_append_nearest(vx_ivf_index *ivf, const uint64_t *ids, const float *vectors,
                                    uint64_t count, const float **cents, float *dist) {
    mutex_guard adding(ivf->mutex);
    if (!adding.held()) return adding.status();
    uint32_t c = ivf->list_count;
    for (uint64_t i = 0; i < count; i++) {
        const float *v = vectors + i * (uint64_t)ivf->dimension;
        uint64_t t = i % ASSIGN_TILE;
        if (t == 0) {  // the nearest centroids of the next tile of vectors, in one pass
            uint64_t m = count - i < ASSIGN_TILE ? count - i : ASSIGN_TILE;
            if (!batch_distance_queries(v, m, cents, c, ivf->dimension, ivf->metric, dist, c))
                return VX_ERR_NO_MEMORY;
        }
        vx_ivf_list *list = &ivf->lists[nearest_centroid(dist + t * c, c)];
        if (!list->lock) return VX_ERR_UNKNOWN;
        write_guard writing(list->lock);
        if (!writing.held()) return writing.status();
        vx_status st = ivf_list_append(ivf, list, ids[i], v);
        if (st != VX_OK) return st;
    }
    __atomic_store_n(&ivf->ntotal, ivf->ntotal + count, __ATOMIC_RELAXED);
    return VX_OK;
}

vx_status ivf_add_batch(vx_ivf_index *ivf, const uint64_t *ids, const float *vectors,
                        uint64_t count) {
    if (!__atomic_load_n(&ivf->trained, __ATOMIC_ACQUIRE)) return VX_ERR_INDEX_NOT_READY;
    uint32_t c = ivf->list_count;
    const float **cents = (const float **)vx_malloc((uint64_t)c * sizeof(float *));
    float *dist = (float *)vx_malloc(ASSIGN_TILE * c * sizeof(float));
    vx_status st = VX_ERR_NO_MEMORY;
    if (cents && dist) {
        gather_centroids(ivf, cents);
        st = ivf_append_nearest(ivf, ids, vectors, count, cents, dist);
    }
    vx_free(cents);
    vx_free(dist);
    return st;
}

/* ---- searching ------------------------------------------------------------------------ */

struct ivf_probe {
    uint32_t list;
    float distance;
};

// Grows the heap so that `want` items fit (never beyond k); pushing then
// behaves as with a heap of capacity k from the start.
static bool heap_make_room(vx_result_heap *heap, uint64_t want, uint64_t k) {
    if (want > k) want = k;
    if (heap->capacity >= want) return true;
    uint64_t cap = heap->capacity * 2;
    if (cap < want) cap = want;
    if (cap > k) cap = k;
    if (cap > UINT64_MAX / sizeof(vx_heap_item)) return false;
    vx_heap_item *items = (vx_heap_item *)vx_malloc(cap * sizeof(vx_heap_item));
    if (!items) return false;
    if (heap->count) vx_memcpy(items, heap->items, heap->count * sizeof(vx_heap_item));
    vx_free(heap->items);
    heap->items = items;
    heap->capacity = cap;
    return true;
}

// Distances of entries[0 .. n) to the query: quantized entries through their
// quantizer (product codes through the query's distance table when there is
// one), raw ones through the index metric, each kind many at a time. A raw
// squared-L2 sum may stop once above bound (+inf: every sum runs to the end).
static void ivf_entry_distances(const vx_ivf_index *ivf, const vx_ivf_entry *entries, uint64_t n,
                                const float *query, const float *pq_table, float bound, float *out) {
    const float *vecs[IVF_SCAN_CHUNK];
    const uint8_t *codes[IVF_SCAN_CHUNK];
    uint64_t raw_pos[IVF_SCAN_CHUNK], code_pos[IVF_SCAN_CHUNK];
    float raw[IVF_SCAN_CHUNK], coded[IVF_SCAN_CHUNK];
    uint64_t nraw = 0, ncode = 0;
    const bool pq = ivf->type == VX_INDEX_IVF_PQ && ivf->pq;
    const bool sq = ivf->type == VX_INDEX_IVF_SQ && ivf->sq;
    for (uint64_t i = 0; i < n; i++) {
        const vx_ivf_entry *e = &entries[i];
        if ((pq || sq) && e->code) {
            codes[ncode] = e->code;
            code_pos[ncode++] = i;
        } else if (!e->vector) {
            out[i] = VX_DISTANCE_SENTINEL;
        } else {
            vecs[nraw] = e->vector;
            raw_pos[nraw++] = i;
        }
    }
    if (ncode && pq && pq_table) {
        for (uint64_t c = 0; c < ncode; c++) coded[c] = pq_l2_from_table(ivf->pq, pq_table, codes[c], ivf->metric);
    } else if (ncode && pq) {
        pq_distance_many(ivf->pq, query, codes, ncode, ivf->metric, coded);
    }
    if (ncode && sq) sq_distance_many(ivf->sq, codes, ncode, query, ivf->metric, coded);
    for (uint64_t c = 0; c < ncode; c++) out[code_pos[c]] = coded[c];
    index_distance_batch_bounded(query, vecs, nraw, ivf->dimension, ivf->metric, bound, raw);
    for (uint64_t r = 0; r < nraw; r++) out[raw_pos[r]] = raw[r];
}

// Scans one list under its read lock into the heap; false when the lock
// cannot be taken or the heap cannot grow.
static bool ivf_scan_list(const vx_ivf_index *ivf, vx_ivf_list *list, const float *query,
                          const float *pq_table, uint64_t k, vx_result_heap *heap) {
    float dist[IVF_SCAN_CHUNK];
    read_guard reading(list->lock);
    bool ok = reading.held();
    for (uint64_t at = 0; at < list->count && ok; at += IVF_SCAN_CHUNK) {
        uint64_t n = list->count - at < IVF_SCAN_CHUNK ? list->count - at : IVF_SCAN_CHUNK;
        if (!heap_make_room(heap, heap->count + n, k)) {
            ok = false;
            break;
        }
        // Once the heap is full nothing above its worst can enter, so raw
        // vectors may stop being summed there (their values are then only
        // known to lie above it).
        float bound = heap->count == k ? heap->items[0].distance : __builtin_inff();
        ivf_entry_distances(ivf, list->entries + at, n, query, pq_table, bound, dist);
        for (uint64_t i = 0; i < n; i++) heap_offer(heap, list->entries[at + i].id, 0, dist[i]);
    }
    return ok;
}

// The query's table of product-code partial distances, when the index holds
// product codes under a metric the table serves (every one but inner product
// and cosine); null otherwise or without memory, and the codes are then
// compared one by one.
static float *ivf_pq_table(const vx_ivf_index *ivf, const float *query) {
    if (ivf->type != VX_INDEX_IVF_PQ || !ivf->pq || ivf->metric == VX_METRIC_IP || ivf->metric == VX_METRIC_COSINE) return nullptr;
    float *table = (float *)vx_malloc((uint64_t)ivf->pq->m * ivf->pq->ksub * sizeof(float));
    if (table) pq_l2_table(ivf->pq, query, table);
    return table;
}

// probes[0 .. p) = the p nearest lists in ascending distance (first of equal
// minima); probes holds c slots.
static void choose_probes(const float *dist, uint32_t c, uint32_t p, ivf_probe *probes) {
    for (uint32_t j = 0; j < c; j++) probes[j] = {j, dist[j]};
    for (uint32_t i = 0; i < p; i++) {
        uint32_t best = i;
        for (uint32_t j = i + 1; j < c; j++)
            if (probes[j].distance < probes[best].distance) best = j;
        ivf_probe t = probes[i];
        probes[i] = probes[best];
        probes[best] = t;
    }
}

uint64_t ivf_search(vx_ivf_index *ivf, const float *query, uint64_t k,
                    vx_search_result *results) {
    if (!__atomic_load_n(&ivf->trained, __ATOMIC_ACQUIRE)) return 0;
    uint32_t c = ivf->list_count;
    uint32_t nprobe = __atomic_load_n(&ivf->nprobe, __ATOMIC_RELAXED);
    uint32_t p = nprobe < c ? nprobe : c;
    if (p == 0) return 0;
    ivf_probe *probes = (ivf_probe *)vx_malloc((uint64_t)c * sizeof(ivf_probe));
    const float **cents = (const float **)vx_malloc((uint64_t)c * sizeof(float *));
    float *dist = (float *)vx_malloc((uint64_t)c * sizeof(float));
    uint64_t hits = 0;
    vx_result_heap heap = {nullptr, 0, 0};
    bool ok = probes && cents && dist;
    float *pq_table = ok ? ivf_pq_table(ivf, query) : nullptr;
    if (ok) {
        gather_centroids(ivf, cents);
        centroid_distances(ivf, query, cents, dist);
        choose_probes(dist, c, p, probes);
        for (uint32_t i = 0; i < p && ok; i++) {
            vx_ivf_list *list = &ivf->lists[probes[i].list];
            if (list->lock) ok = ivf_scan_list(ivf, list, query, pq_table, k, &heap);
        }
    }
    if (ok) {
        hits = heap.count < k ? heap.count : k;
        for (uint64_t i = 0; i < hits; i++) {
            results[i].id = heap.items[i].id;
            results[i].distance = heap.items[i].distance;
        }
    }
    vx_free(heap.items);
    vx_free(pq_table);
    vx_free(probes);
    vx_free(cents);
    vx_free(dist);
    vx_qsort_simple(results, hits, sizeof(vx_search_result), compare_results);
    return hits;
}

/* ---- many queries per call ------------------------------------------------------------
 * A tile of queries is answered together: the centroid distances of the
 * whole tile in one pass, then every probed list once, against all the
 * tile's queries that probe it while its vectors are in cache. Each query
 * then offers its entries to its heap in its own probe order, so the
 * answers are those of ivf_search query by query. */

static const uint64_t BATCH_QUERIES = 256;

struct ivf_batch {
    const vx_ivf_index *ivf;
    uint32_t p;              // lists probed per query
    uint64_t nq;             // queries in the tile
    const float *queries;
    ivf_probe *probes;       // p per query (c slots each while choosing)
    uint64_t *sizes;         // entries of each list, fixed for the tile
    uint64_t *offset;        // p per query: where a probed list's distances go
    float *dist;             // per query, its probed lists one after another
    uint64_t *ids;
    uint64_t *users;         // per list, the queries that probe it (ranks below)
    uint32_t *rank;
    uint64_t *first_user;    // c + 1 starts into users
};

// Distances of one list's entries to every query of the tile that probes
// it, under the list's read lock.
static bool ivf_batch_scan_list(ivf_batch *b, uint32_t list, float *sub, float *out, const float **vecs) {
    const vx_ivf_index *ivf = b->ivf;
    uint32_t d = ivf->dimension;
    uint64_t u0 = b->first_user[list], nu = b->first_user[list + 1] - u0;
    uint64_t n = b->sizes[list];
    if (nu == 0 || n == 0) return true;
    for (uint64_t u = 0; u < nu; u++) vx_memcpy(sub + u * d, b->queries + b->users[u0 + u] * d, (uint64_t)d * sizeof(float));
    vx_ivf_list *l = &ivf->lists[list];
    read_guard reading(l->lock);
    if (!reading.held()) return false;
    for (uint64_t at = 0; at < n; at += IVF_SCAN_CHUNK) {
        uint64_t m = n - at < IVF_SCAN_CHUNK ? n - at : IVF_SCAN_CHUNK;
        for (uint64_t i = 0; i < m; i++) vecs[i] = l->entries[at + i].vector;
        if (!batch_distance_queries(sub, nu, vecs, m, d, ivf->metric, out, m)) return false;
        for (uint64_t u = 0; u < nu; u++) {
            uint64_t q = b->users[u0 + u];
            uint64_t base = b->offset[q * b->p + b->rank[u0 + u]] + at;
            for (uint64_t i = 0; i < m; i++) {
                b->dist[base + i] = vecs[i] ? out[u * m + i] : VX_DISTANCE_SENTINEL;
                b->ids[base + i] = l->entries[at + i].id;
            }
        }
    }
    return true;
}

// One query's heap, fed in its probe order, into results (k slots).
static uint64_t ivf_batch_answer(const ivf_batch *b, uint64_t q, uint64_t k, vx_search_result *results) {
    uint64_t start = b->offset[q * b->p];
    uint64_t end = start;
    for (uint32_t r = 0; r < b->p; r++) end += b->sizes[b->probes[q * b->p + r].list];
    uint64_t cap = end - start < k ? end - start : k;
    vx_result_heap heap = {nullptr, 0, 0};
    if (cap) {
        heap.items = (vx_heap_item *)vx_malloc(cap * sizeof(vx_heap_item));
        if (!heap.items) return UINT64_MAX;
        heap.capacity = cap;
    }
    for (uint64_t i = start; i < end; i++) heap_offer(&heap, b->ids[i], 0, b->dist[i]);
    uint64_t hits = heap.count < k ? heap.count : k;
    for (uint64_t i = 0; i < hits; i++) results[i] = {heap.items[i].id, heap.items[i].distance};
    vx_free(heap.items);
    vx_qsort_simple(results, hits, sizeof(vx_search_result), compare_results);
    return hits;
}

// Chooses every query's probes and lays out where its distances go.
static bool ivf_batch_plan(ivf_batch *b, const float **cents, float *cdist) {
    const vx_ivf_index *ivf = b->ivf;
    uint32_t c = ivf->list_count, p = b->p;
    if (!batch_distance_queries(b->queries, b->nq, cents, c, ivf->dimension, ivf->metric, cdist, c)) return false;
    ivf_probe *all = (ivf_probe *)vx_malloc((uint64_t)c * sizeof(ivf_probe));
    if (!all) return false;
    for (uint32_t j = 0; j <= c; j++) b->first_user[j] = 0;
    uint64_t total = 0;
    for (uint64_t q = 0; q < b->nq; q++) {
        choose_probes(cdist + q * c, c, p, all);
        for (uint32_t r = 0; r < p; r++) {
            b->probes[q * p + r] = all[r];
            b->offset[q * p + r] = total;
            total += b->sizes[all[r].list];
            b->first_user[all[r].list + 1]++;
        }
    }
    vx_free(all);
    for (uint32_t j = 0; j < c; j++) b->first_user[j + 1] += b->first_user[j];
    b->dist = (float *)vx_malloc(total * sizeof(float) + 1);
    b->ids = (uint64_t *)vx_malloc(total * sizeof(uint64_t) + 1);
    if (!b->dist || !b->ids) return false;
    uint64_t *fill = (uint64_t *)vx_malloc(((uint64_t)c + 1) * sizeof(uint64_t));
    if (!fill) return false;
    vx_memcpy(fill, b->first_user, ((uint64_t)c + 1) * sizeof(uint64_t));
    for (uint64_t q = 0; q < b->nq; q++)
        for (uint32_t r = 0; r < p; r++) {
            uint64_t at = fill[b->probes[q * p + r].list]++;
            b->users[at] = q;
            b->rank[at] = r;
        }
    vx_free(fill);
    return true;
}

static bool ivf_batch_tile(ivf_batch *b, const float **cents, uint64_t k, vx_search_result *results,
                           uint64_t *counts) {
    const vx_ivf_index *ivf = b->ivf;
    uint32_t c = ivf->list_count, d = ivf->dimension;
    for (uint32_t j = 0; j < c; j++) b->sizes[j] = __atomic_load_n(&ivf->lists[j].count, __ATOMIC_RELAXED);
    float *cdist = (float *)vx_malloc(b->nq * c * sizeof(float));
    float *sub = (float *)vx_malloc(b->nq * d * sizeof(float));
    float *out = (float *)vx_malloc(b->nq * IVF_SCAN_CHUNK * sizeof(float));
    const float **vecs = (const float **)vx_malloc(IVF_SCAN_CHUNK * sizeof(float *));
    b->dist = nullptr;
    b->ids = nullptr;
    bool ok = cdist && sub && out && vecs && ivf_batch_plan(b, cents, cdist);
    for (uint32_t j = 0; ok && j < c; j++) ok = ivf_batch_scan_list(b, j, sub, out, vecs);
    for (uint64_t q = 0; ok && q < b->nq; q++) {
        counts[q] = ivf_batch_answer(b, q, k, results + q * k);
        ok = counts[q] != UINT64_MAX;
    }
    vx_free(cdist);
    vx_free(sub);
    vx_free(out);
    vx_free(vecs);
    vx_free(b->dist);
    vx_free(b->ids);
    return ok;
}

bool ivf_search_batch(vx_ivf_index *ivf, const float *queries, uint64_t nq, uint64_t k,
                      vx_search_result *results, uint64_t *counts) {
    if (ivf->type != VX_INDEX_IVF || !__atomic_load_n(&ivf->trained, __ATOMIC_ACQUIRE)) return false;
    uint32_t c = ivf->list_count;
    uint32_t nprobe = __atomic_load_n(&ivf->nprobe, __ATOMIC_RELAXED);
    uint32_t p = nprobe < c ? nprobe : c;
    if (p == 0 || k == 0) return false;
    uint64_t tile = nq < BATCH_QUERIES ? nq : BATCH_QUERIES;
    ivf_batch b = {ivf, p, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    b.probes = (ivf_probe *)vx_malloc(tile * p * sizeof(ivf_probe));
    b.offset = (uint64_t *)vx_malloc(tile * p * sizeof(uint64_t));
    b.users = (uint64_t *)vx_malloc(tile * p * sizeof(uint64_t));
    b.rank = (uint32_t *)vx_malloc(tile * p * sizeof(uint32_t));
    b.sizes = (uint64_t *)vx_malloc((uint64_t)c * sizeof(uint64_t));
    b.first_user = (uint64_t *)vx_malloc(((uint64_t)c + 1) * sizeof(uint64_t));
    const float **cents = (const float **)vx_malloc((uint64_t)c * sizeof(float *));
    bool ok = b.probes && b.offset && b.users && b.rank && b.sizes && b.first_user && cents;
    if (ok) gather_centroids(ivf, cents);
    for (uint64_t q0 = 0; ok && q0 < nq; q0 += tile) {
        b.nq = nq - q0 < tile ? nq - q0 : tile;
        b.queries = queries + q0 * ivf->dimension;
        ok = ivf_batch_tile(&b, cents, k, results + q0 * k, counts + q0);
    }
    vx_free(b.probes);
    vx_free(b.offset);
    vx_free(b.users);
    vx_free(b.rank);
    vx_free(b.sizes);
    vx_free(b.first_user);
    vx_free(cents);
    return ok;
}

/* ---- family table ------------------------------------------------------------------ */

static void *ivf_body_create(vx_arena *arena, const vx_index_params *params) {
    vx_ivf_index *ivf = vx_ivf_create(arena, params->dimension, &params->family.ivf);
    if (!ivf) return nullptr;
    ivf->type = params->type;
    ivf->quant_type = params->quant_type;
    ivf->metric = index_metric_normalize(params->metric);
    index_attach_quantizers(arena, params, VX_INDEX_IVF_PQ, VX_INDEX_IVF_SQ, &ivf->pq, &ivf->sq);
    return ivf;
}

// Fixed parts of the memory estimate: body plus handle, per list, per entry.
static const uint64_t IVF_FIXED_BYTES = 152;
static const uint64_t IVF_LIST_BYTES = 40;
static const uint64_t IVF_ENTRY_BYTES = 24;

static uint64_t ivf_memory(const void *body) {
    const vx_ivf_index *ivf = (const vx_ivf_index *)body;
    uint64_t bytes = IVF_FIXED_BYTES + IVF_LIST_BYTES * ivf->list_count;
    uint64_t per_entry = 4ull * ivf->dimension + IVF_ENTRY_BYTES;
    for (uint32_t j = 0; j < ivf->list_count; j++)
        bytes += __atomic_load_n(&ivf->lists[j].count, __ATOMIC_RELAXED) * per_entry;
    return bytes;
}

static void ivf_body_destroy(void *body) { vx_ivf_destroy((vx_ivf_index *)body); }
static vx_status ivf_body_train(void *body, const float *v, uint64_t n) {
    return ivf_train((vx_ivf_index *)body, v, n);
}
static vx_status ivf_body_add(void *body, const uint64_t *ids, const float *v, uint64_t n) {
    return ivf_add_batch((vx_ivf_index *)body, ids, v, n);
}
// Lists keep removed entries: the kind never removes.
static vx_status ivf_body_remove(void *, uint64_t) { return VX_OK; }
static uint64_t ivf_body_search(void *body, const float *q, uint64_t k, vx_search_result *out) {
    return ivf_search((vx_ivf_index *)body, q, k, out);
}
static void ivf_set_width(void *body, uint32_t width) {
    __atomic_store_n(&((vx_ivf_index *)body)->nprobe, width, __ATOMIC_RELAXED);
}
static uint32_t ivf_dimension(const void *body) { return ((const vx_ivf_index *)body)->dimension; }
static uint64_t ivf_ntotal(const void *body) {
    return __atomic_load_n(&((const vx_ivf_index *)body)->ntotal, __ATOMIC_RELAXED);
}
static int32_t ivf_trained(const void *body) {
    return (int32_t)__atomic_load_n(&((const vx_ivf_index *)body)->trained, __ATOMIC_ACQUIRE);
}
static int32_t ivf_metric(const void *body) { return ((const vx_ivf_index *)body)->metric; }
static void ivf_stats(const void *body, vx_index_stats *stats) {
    stats->nlist = vx_ivf_get_nlist((const vx_ivf_index *)body);
}
static void ivf_shape(const void *body, vx_index_shape *shape) {
    const vx_ivf_index *ivf = (const vx_ivf_index *)body;
    shape->nlist = ivf->list_count;
    shape->nprobe = __atomic_load_n(&ivf->nprobe, __ATOMIC_RELAXED);
}
static void ivf_apply_shape(const vx_index_shape *shape, vx_index_params *p) {
    if (shape->nlist) p->family.ivf.nlist = shape->nlist;
    if (shape->nprobe) p->family.ivf.nprobe = shape->nprobe;
}

const vx_index_family ivf_family = {
    ivf_body_create, ivf_body_destroy, ivf_body_train, ivf_body_add, ivf_body_remove,
    ivf_body_search, ivf_set_width, ivf_dimension, ivf_ntotal, ivf_trained, ivf_metric,
    ivf_memory, ivf_stats, ivf_shape, ivf_apply_shape, ivf_file_write, ivf_file_read,
    nullptr,  // filters are applied to the hits
};
