// The index handle: the kind table, dispatch of every call through the
// family chosen at creation, the batch wrappers, the bounded result heap and
// the result ordering.
#include "vx_index_internal.h"
#include "vx_lock_guard.h"
#include "vx_vector_internal.h"

/* ---- result heap ----------------------------------------------------------- */

static inline void heap_swap(vx_heap_item *a, vx_heap_item *b) {
    vx_heap_item t = *a;
    *a = *b;
    *b = t;
}

void heap_offer(vx_result_heap *heap, uint64_t id, uint32_t tag, float distance) {
    if (!heap->items || heap->capacity == 0) return;
    vx_heap_item *items = heap->items;
    if (heap->count < heap->capacity) {
        uint64_t i = heap->count++;
        items[i].id = id;
        items[i].distance = distance;
        items[i].tag = tag;
        while (i > 0) {
            uint64_t parent = (i - 1) / 2;
            if (!(items[parent].distance < items[i].distance)) break;
            heap_swap(&items[parent], &items[i]);
            i = parent;
        }
        return;
    }
    if (!(items[0].distance > distance)) return;
    items[0].id = id;
    items[0].distance = distance;
    items[0].tag = tag;
    uint64_t i = 0;
    uint64_t n = heap->count;
    for (;;) {
        uint64_t left = 2 * i + 1;
        if (left >= n) break;
        uint64_t child = left;
        if (left + 1 < n && items[left + 1].distance > items[left].distance) child = left + 1;
        if (!(items[child].distance > items[i].distance)) break;
        heap_swap(&items[child], &items[i]);
        i = child;
    }
}

int32_t compare_results(const void *a, const void *b) {
    float da = ((const vx_search_result *)a)->distance;
    float db = ((const vx_search_result *)b)->distance;
    if (da < db) return -1;
    if (da > db) return 1;
    return 0;
}

/* ---- distances -------------------------------------------------------------- */

float index_distance(const float *a, const float *b, uint32_t dim, int32_t metric) {
    if (!a || !b || dim == 0) return VX_DISTANCE_SENTINEL;
    return vx_vec_distance(a, b, dim, metric);
}

void index_distance_batch(const float *query, const float *const *vectors, uint64_t n,
                          uint32_t dim, int32_t metric, float *out) {
    if (n == 0) return;
    if (!query || dim == 0) {
        for (uint64_t i = 0; i < n; i++) out[i] = VX_DISTANCE_SENTINEL;
        return;
    }
    batch_distance(query, vectors, n, dim, metric, out);
}

void index_distance_batch_bounded(const float *query, const float *const *vectors, uint64_t n,
                                  uint32_t dim, int32_t metric, float bound, float *out) {
    if (metric != VX_METRIC_L2) return index_distance_batch(query, vectors, n, dim, metric, out);
    if (n == 0) return;
    if (!query || dim == 0) {
        for (uint64_t i = 0; i < n; i++) out[i] = VX_DISTANCE_SENTINEL;
        return;
    }
    batch_l2_squared_bounded(query, vectors, n, dim, bound, out);
}

/* ---- kinds -------------------------------------------------------------------- */

static const vx_index_kind KINDS[] = {
    {VX_INDEX_IVF, &ivf_family, 0, KIND_ADDS | KIND_SEARCHES | KIND_KEEPS_SHAPE},
    {VX_INDEX_HNSW, &hnsw_family, 1, KIND_ADDS | KIND_REMOVES | KIND_SEARCHES | KIND_KEEPS_SHAPE},
    {VX_INDEX_IVF_PQ, &ivf_family, 0, KIND_ADDS | KIND_SEARCHES | KIND_KEEPS_SHAPE},
    {VX_INDEX_HNSW_PQ, &hnsw_family, 1, KIND_ADDS | KIND_SEARCHES | KIND_KEEPS_SHAPE},
    {VX_INDEX_IVF_SQ, &ivf_family, 0, KIND_ADDS | KIND_SEARCHES},
    {VX_INDEX_HNSW_SQ, &hnsw_family, 1, 0},
};

const vx_index_kind *index_kind_of(int32_t type) {
    for (const vx_index_kind &k : KINDS)
        if (k.type == type) return &k;
    return nullptr;
}

int index_kind_is_graph(int32_t type) {
    const vx_index_kind *k = index_kind_of(type);
    return k && k->graph;
}

int index_kind_known(int32_t type) { return index_kind_of(type) != nullptr; }

static bool kind_does(const vx_index *index, uint32_t op) { return (index->kind->ops & op) != 0; }

int32_t index_metric(const vx_index *index) { return index->kind->family->metric(index->body); }

void index_shape_get(const vx_index *index, vx_index_shape *shape) {
    vx_memset(shape, 0, sizeof(*shape));
    if (index->body && kind_does(index, KIND_KEEPS_SHAPE)) index->kind->family->shape(index->body, shape);
}

void index_shape_apply(const vx_index_shape *shape, vx_index_params *params) {
    const vx_index_kind *k = index_kind_of(params->type);
    if (k && (k->ops & KIND_KEEPS_SHAPE)) k->family->apply_shape(shape, params);
}

vx_index *index_load_owned(const vx_str *path) {
    vx_arena *arena = nullptr;
    if (vx_arena_create(VX_INDEX_ARENA_SIZE, &arena) != VX_OK) return nullptr;
    vx_index *index = vx_index_load(arena, path);
    if (!index) {
        vx_arena_destroy(arena);
        return nullptr;
    }
    index->owns_arena = 1;
    return index;
}

void index_attach_quantizers(vx_arena *arena, const vx_index_params *p, int32_t pq_kind,
                             int32_t sq_kind, struct vx_pq_quantizer **pq,
                             struct vx_sq_quantizer **sq) {
    if (p->type == pq_kind) {
        // Codes are one byte per sub-space, so wider codes cannot be stored.
        vx_pq_quantizer *made = nullptr;
        if (p->pq_nbits <= 8 &&
            vx_pq_create(arena, p->dimension, p->pq_m, (int32_t)p->pq_nbits, &made) == VX_OK)
            *pq = made;
        return;
    }
    if (p->quant_type == VX_QUANT_SCALAR || p->quant_type == VX_QUANT_SCALAR_ALT || p->type == sq_kind)
        *sq = vx_sq_quantizer_create(arena, p->dimension);
}

/* ---- handle ------------------------------------------------------------------ */

extern "C" VX_API vx_index *vx_index_create(vx_arena *arena, const vx_index_params *params) {
    if (!params) return nullptr;
    const vx_index_kind *kind = index_kind_of(params->type);
    if (!kind) return nullptr;
    int32_t owns = 0;
    if (!arena) {
        if (vx_arena_create(VX_INDEX_ARENA_SIZE, &arena) != VX_OK) return nullptr;
        owns = 1;
    }
    vx_index *index = (vx_index *)vx_arena_calloc(arena, 1, sizeof(vx_index));
    if (index) {
        index->type = kind->type;
        index->kind = kind;
        index->arena = arena;
        index->owns_arena = owns;
        index->body = kind->family->create(arena, params);
    }
    if (!index || !index->body) {
        if (owns) vx_arena_destroy(arena);
        return nullptr;
    }
    return index;
}

extern "C" VX_API void vx_index_destroy(vx_index *index) {
    if (!index) return;
    if (index->body) index->kind->family->destroy(index->body);
    index->body = nullptr;
    if (index->owns_arena) vx_arena_destroy(index->arena);
}

extern "C" VX_API vx_index_type vx_index_get_type(const vx_index *index) {
    return index ? (vx_index_type)index->type : VX_INDEX_FLAT;
}

extern "C" VX_API uint32_t vx_index_get_dim(const vx_index *index) {
    if (!index || !index->body) return 0;
    return index->kind->family->dimension(index->body);
}

extern "C" VX_API uint64_t vx_index_get_ntotal(const vx_index *index) {
    if (!index || !index->body) return 0;
    return index->kind->family->ntotal(index->body);
}

extern "C" VX_API int32_t vx_index_is_trained(const vx_index *index) {
    if (!index || !index->body) return 0;
    return index->kind->family->trained(index->body);
}

extern "C" VX_API vx_status vx_index_train(vx_index *index, const float *vectors, uint64_t count) {
    if (!index || !vectors || count == 0) return VX_ERR_INVALID_ARG;
    if (!index->kind->family->train) return VX_OK;
    if (!index->body) return VX_ERR_INVALID_ARG;
    return index->kind->family->train(index->body, vectors, count);
}

extern "C" VX_API vx_status vx_index_add_batch(vx_index *index, const uint64_t *ids,
                                               const float *vectors, uint64_t count) {
    if (!index || !ids || !vectors || count == 0) return VX_ERR_INVALID_ARG;
    if (!index->body) return VX_ERR_INVALID_ARG;
    if (!kind_does(index, KIND_ADDS)) return VX_ERR_NOT_SUPPORTED;
    return index->kind->family->add_batch(index->body, ids, vectors, count);
}

extern "C" VX_API vx_status vx_index_add(vx_index *index, uint64_t id, const float *vector) {
    return vx_index_add_batch(index, &id, vector, 1);
}

extern "C" VX_API vx_status vx_index_remove(vx_index *index, uint64_t id) {
    if (!index) return VX_ERR_INVALID_ARG;
    if (!kind_does(index, KIND_REMOVES) || !index->body) return VX_OK;
    return index->kind->family->remove(index->body, id);
}

extern "C" VX_API vx_status vx_index_remove_batch(vx_index *index, const uint64_t *ids,
                                                  uint64_t count) {
    if (!index || !ids || count == 0) return VX_ERR_INVALID_ARG;
    for (uint64_t i = 0; i < count; i++) {
        vx_status st = vx_index_remove(index, ids[i]);
        if (st != VX_OK) return st;
    }
    return VX_OK;
}

extern "C" VX_API uint64_t vx_index_search(vx_index *index, const float *query, uint64_t k,
                                           vx_search_result *results) {
    if (!index || !query || !results || k == 0 || !index->body) return 0;
    if (vx_index_get_ntotal(index) == 0 || !kind_does(index, KIND_SEARCHES)) return 0;
    return index->kind->family->search(index->body, query, k, results);
}

int index_filters_in_walk(const vx_index *index) {
    return index && index->body && index->kind->family->search_accepting && kind_does(index, KIND_SEARCHES);
}

uint64_t index_search_accepting(vx_index *index, const float *query, uint64_t k, index_accept_fn accept,
                                void *context, vx_search_result *results) {
    if (!index_filters_in_walk(index) || !query || !results || !accept || k == 0) return 0;
    if (vx_index_get_ntotal(index) == 0) return 0;
    return index->kind->family->search_accepting(index->body, query, k, accept, context, results);
}

extern "C" VX_API vx_status vx_index_search_batch(vx_index *index, const float *queries,
                                                  uint64_t nq, uint64_t k,
                                                  vx_search_result *results) {
    if (!index || !queries || !results) return VX_ERR_INVALID_ARG;
    uint32_t dim = vx_index_get_dim(index);
    uint64_t *counts = nq && k ? (uint64_t *)vx_malloc(nq * sizeof(uint64_t)) : nullptr;
    // An inverted file over raw vectors answers many queries per list scan.
    bool together = counts && index->body && vx_index_get_ntotal(index) != 0 && index->kind->family == &ivf_family &&
                    ivf_search_batch((vx_ivf_index *)index->body, queries, nq, k, results, counts);
    for (uint64_t i = 0; i < nq; i++) {
        vx_search_result *block = results + i * k;
        uint64_t n = together ? counts[i] : vx_index_search(index, queries + i * (uint64_t)dim, k, block);
        if (n == 0 && k != 0) {
            block[0].id = UINT64_MAX;
            block[0].distance = VX_DISTANCE_SENTINEL;
        }
    }
    vx_free(counts);
    return VX_OK;
}

// One thread's share of a batch: consecutive queries and their result rows.
struct search_share {
    vx_index *index;
    const float *queries;
    uint64_t nq, k;
    vx_search_result *results;
};

static void *search_share_run(void *arg) {
    search_share *s = (search_share *)arg;
    vx_index_search_batch(s->index, s->queries, s->nq, s->k, s->results);
    return nullptr;
}


extern "C" VX_API vx_status vx_index_search_batch_threads(vx_index *index, const float *queries, uint64_t nq,
                                                          uint64_t k, uint32_t threads,
                                                          vx_search_result *results) {
    if (!index || !queries || !results) return VX_ERR_INVALID_ARG;
    if (threads > THREAD_SHARES_MAX) threads = THREAD_SHARES_MAX;
    if (threads > nq) threads = (uint32_t)nq;
    if (threads <= 1) return vx_index_search_batch(index, queries, nq, k, results);
    search_share shares[THREAD_SHARES_MAX];
    uint64_t dim = vx_index_get_dim(index), first = 0;
    for (uint32_t t = 0; t < threads; t++) {
        uint64_t n = nq / threads + (t < nq % threads ? 1 : 0);
        shares[t] = {index, queries + first * dim, n, k, results + first * k};
        first += n;
    }
    thread_run_shares(search_share_run, shares, sizeof(search_share), threads);
    return VX_OK;
}

extern "C" VX_API vx_status vx_index_set_search_width(vx_index *index, uint32_t width) {
    if (!index || !index->body) return VX_ERR_INVALID_ARG;
    index->kind->family->set_search_width(index->body, width);
    return VX_OK;
}

extern "C" VX_API vx_status vx_index_set_neighbor_selection(vx_index *index, int32_t selection) {
    if (!index || !index->body) return VX_ERR_INVALID_ARG;
    if (!index->kind->graph) return VX_ERR_NOT_SUPPORTED;
    if (selection != VX_HNSW_SELECT_NEAREST && selection != VX_HNSW_SELECT_DIVERSE)
        return VX_ERR_INVALID_ARG;
    return hnsw_choose_selection((vx_hnsw_index *)index->body, selection);
}

extern "C" VX_API vx_status vx_index_set_build_threads(vx_index *index, uint32_t threads) {
    if (!index || !index->body) return VX_ERR_INVALID_ARG;
    if (!index->kind->graph) return VX_ERR_NOT_SUPPORTED;
    hnsw_set_build_threads((vx_hnsw_index *)index->body, threads);
    return VX_OK;
}

vx_status index_borrow_vectors(vx_index *index) {
    if (!index || !index->body) return VX_ERR_INVALID_ARG;
    if (!index->kind->graph) return VX_ERR_NOT_SUPPORTED;
    return hnsw_borrow_vectors((vx_hnsw_index *)index->body);
}

int index_borrows_vectors(const vx_index *index) {
    if (!index || !index->body || !index->kind->graph) return 0;
    return ((const vx_hnsw_index *)index->body)->borrows;
}
