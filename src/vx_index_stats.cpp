// Read-only reports on an index: a memory estimate, a statistics record and
// the graph's top layer and entry node. No lock is taken: the figures are a
// snapshot that adds running at the same time may tear.
#include "vx_index_internal.h"

// Fixed parts of the estimate: body plus handle, per list, per entry.
static const uint64_t IVF_FIXED_BYTES = 152;
static const uint64_t IVF_LIST_BYTES = 40;
static const uint64_t IVF_ENTRY_BYTES = 24;
static const uint64_t HNSW_FIXED_BYTES = 168;
static const uint64_t HNSW_NODE_BYTES = 64;
static const uint64_t HANDLE_BYTES = 24;

static uint64_t ivf_memory(const vx_ivf_index *ivf) {
    uint64_t bytes = IVF_FIXED_BYTES + IVF_LIST_BYTES * ivf->list_count;
    uint64_t per_entry = 4ull * ivf->dimension + IVF_ENTRY_BYTES;
    for (uint32_t j = 0; j < ivf->list_count; j++)
        bytes += __atomic_load_n(&ivf->lists[j].count, __ATOMIC_RELAXED) * per_entry;
    return bytes;
}

static uint64_t hnsw_memory(const vx_hnsw_index *h) {
    uint64_t capacity = __atomic_load_n(&h->capacity, __ATOMIC_ACQUIRE);
    vx_hnsw_node *const *nodes = __atomic_load_n(&h->nodes, __ATOMIC_ACQUIRE);
    uint64_t per_node = 4ull * h->dimension + HNSW_NODE_BYTES;
    uint64_t bytes = HNSW_FIXED_BYTES + 8 * capacity;
    for (uint64_t slot = 0; slot < capacity; slot++)
        if (nodes[slot]) bytes += per_node;
    return bytes;
}

extern "C" VX_API uint64_t vx_index_get_memory_usage(const vx_index *index) {
    if (!index || !index->body) return 0;
    if (index_is_ivf(index->type)) return ivf_memory((const vx_ivf_index *)index->body);
    if (index_is_hnsw(index->type)) return hnsw_memory((const vx_hnsw_index *)index->body);
    return HANDLE_BYTES;
}

extern "C" VX_API vx_status vx_index_get_stats(const vx_index *index, vx_index_stats *stats) {
    if (!index || !stats) return VX_ERR_INVALID_ARG;
    vx_memset(stats, 0, sizeof(*stats));
    stats->ntotal = vx_index_get_ntotal(index);
    if (index->body && index_is_ivf(index->type))
        stats->nlist = vx_ivf_get_nlist((const vx_ivf_index *)index->body);
    else if (index->body && index_is_hnsw(index->type))
        stats->max_level = vx_hnsw_get_max_level((const vx_hnsw_index *)index->body);
    stats->memory_bytes = vx_index_get_memory_usage(index);
    return VX_OK;
}

extern "C" VX_API uint32_t vx_hnsw_get_max_level(const vx_hnsw_index *h) {
    return h ? __atomic_load_n(&h->max_level, __ATOMIC_RELAXED) : 0;
}

extern "C" VX_API int64_t vx_hnsw_get_entry_point(const vx_hnsw_index *h) {
    return h ? __atomic_load_n(&h->entry_point, __ATOMIC_RELAXED) : -1;
}
