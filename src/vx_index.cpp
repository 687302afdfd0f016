// The index handle: creation of the seven kinds, dispatch of train, add,
// remove and search to the graph and inverted-file bodies, the batch
// wrappers, the bounded result heap and the result ordering.
#include "vx_index_internal.h"
#include "vx_vector_internal.h"

/* ---- result heap ----------------------------------------------------------- */

static inline void heap_swap(vx_heap_item *a, vx_heap_item *b) {
    vx_heap_item t = *a;
    *a = *b;
    *b = t;
}

void pq_push(vx_result_heap *heap, uint64_t id, uint32_t tag, float distance) {
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

/* ---- handle ------------------------------------------------------------------ */

// Attaches the quantizers a kind asks for; one that cannot be made stays null
// and the body stores raw vectors instead.
static void attach_quantizers(vx_arena *arena, const vx_index_params *p, int32_t pq_kind,
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
    if (p->quant_type == 1 || p->quant_type == 2 || p->type == sq_kind)
        *sq = vx_sq_quantizer_create(arena, p->dimension);
}

extern "C" VX_API vx_index *vx_index_create(vx_arena *arena, const vx_index_params *params) {
    if (!params) return nullptr;
    int32_t kind = params->type;
    if (!index_is_ivf(kind) && !index_is_hnsw(kind)) return nullptr;
    int32_t owns = 0;
    if (!arena) {
        if (vx_arena_create(VX_INDEX_ARENA_SIZE, &arena) != VX_OK) return nullptr;
        owns = 1;
    }
    vx_index *index = (vx_index *)vx_arena_calloc(arena, 1, sizeof(vx_index));
    if (!index) {
        if (owns) vx_arena_destroy(arena);
        return nullptr;
    }
    index->type = kind;
    index->arena = arena;
    index->owns_arena = owns;
    int32_t metric = index_metric_normalize(params->metric);
    if (index_is_ivf(kind)) {
        vx_ivf_index *ivf = vx_ivf_create(arena, params->dimension, &params->family.ivf);
        if (ivf) {
            ivf->type = kind;
            ivf->quant_type = params->quant_type;
            ivf->metric = metric;
            attach_quantizers(arena, params, VX_INDEX_IVF_PQ, VX_INDEX_IVF_SQ, &ivf->pq, &ivf->sq);
        }
        index->body = ivf;
    } else {
        vx_hnsw_index *h = vx_hnsw_create(arena, params->dimension, &params->family.hnsw);
        if (h) {
            h->type = kind;
            h->quant_type = params->quant_type;
            h->metric = metric;
            attach_quantizers(arena, params, VX_INDEX_HNSW_PQ, VX_INDEX_HNSW_SQ, &h->pq, &h->sq);
        }
        index->body = h;
    }
    if (!index->body) {
        if (owns) vx_arena_destroy(arena);
        return nullptr;
    }
    return index;
}

extern "C" VX_API void vx_index_destroy(vx_index *index) {
    if (!index) return;
    if (index_is_ivf(index->type)) vx_ivf_destroy((vx_ivf_index *)index->body);
    else if (index_is_hnsw(index->type)) vx_hnsw_destroy((vx_hnsw_index *)index->body);
    index->body = nullptr;
    if (index->owns_arena) vx_arena_destroy(index->arena);
}

extern "C" VX_API vx_index_type vx_index_get_type(const vx_index *index) {
    return index ? (vx_index_type)index->type : VX_INDEX_FLAT;
}

extern "C" VX_API uint32_t vx_index_get_dim(const vx_index *index) {
    if (!index || !index->body) return 0;
    if (index_is_ivf(index->type)) return ((const vx_ivf_index *)index->body)->dimension;
    if (index_is_hnsw(index->type)) return ((const vx_hnsw_index *)index->body)->dimension;
    return 0;
}

extern "C" VX_API uint64_t vx_index_get_ntotal(const vx_index *index) {
    if (!index || !index->body) return 0;
    if (index_is_ivf(index->type))
        return __atomic_load_n(&((const vx_ivf_index *)index->body)->ntotal, __ATOMIC_RELAXED);
    if (index_is_hnsw(index->type))
        return __atomic_load_n(&((const vx_hnsw_index *)index->body)->ntotal, __ATOMIC_RELAXED);
    return 0;
}

extern "C" VX_API int32_t vx_index_is_trained(const vx_index *index) {
    if (!index || !index->body) return 0;
    if (index_is_ivf(index->type))
        return (int32_t)__atomic_load_n(&((const vx_ivf_index *)index->body)->trained,
                                        __ATOMIC_ACQUIRE);
    return 1;
}

extern "C" VX_API vx_status vx_index_train(vx_index *index, const float *vectors, uint64_t count) {
    if (!index || !vectors || count == 0) return VX_ERR_INVALID_ARG;
    if (!index_is_ivf(index->type)) return VX_OK;
    if (!index->body) return VX_ERR_INVALID_ARG;
    return ivf_train((vx_ivf_index *)index->body, vectors, count);
}

extern "C" VX_API vx_status vx_index_add_batch(vx_index *index, const uint64_t *ids,
                                               const float *vectors, uint64_t count) {
    if (!index || !ids || !vectors || count == 0) return VX_ERR_INVALID_ARG;
    if (!index->body) return VX_ERR_INVALID_ARG;
    if (index_is_ivf(index->type))
        return ivf_add_batch((vx_ivf_index *)index->body, ids, vectors, count);
    if (index->type == VX_INDEX_HNSW || index->type == VX_INDEX_HNSW_PQ)
        return hnsw_add_batch((vx_hnsw_index *)index->body, ids, vectors, count);
    return VX_ERR_NOT_SUPPORTED;
}

extern "C" VX_API vx_status vx_index_add(vx_index *index, uint64_t id, const float *vector) {
    return vx_index_add_batch(index, &id, vector, 1);
}

extern "C" VX_API vx_status vx_index_remove(vx_index *index, uint64_t id) {
    if (!index) return VX_ERR_INVALID_ARG;
    if (index->type != VX_INDEX_HNSW || !index->body) return VX_OK;
    return hnsw_remove((vx_hnsw_index *)index->body, id);
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
    if (vx_index_get_ntotal(index) == 0) return 0;
    if (index_is_ivf(index->type))
        return ivf_search((vx_ivf_index *)index->body, query, k, results);
    if (index->type == VX_INDEX_HNSW || index->type == VX_INDEX_HNSW_PQ)
        return hnsw_search((vx_hnsw_index *)index->body, query, k, results);
    return 0;
}

extern "C" VX_API vx_status vx_index_search_batch(vx_index *index, const float *queries,
                                                  uint64_t nq, uint64_t k,
                                                  vx_search_result *results) {
    if (!index || !queries || !results) return VX_ERR_INVALID_ARG;
    uint32_t dim = vx_index_get_dim(index);
    for (uint64_t i = 0; i < nq; i++) {
        vx_search_result *block = results + i * k;
        uint64_t n = vx_index_search(index, queries + i * (uint64_t)dim, k, block);
        if (n == 0 && k != 0) {
            block[0].id = UINT64_MAX;
            block[0].distance = VX_DISTANCE_SENTINEL;
        }
    }
    return VX_OK;
}
