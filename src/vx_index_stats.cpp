// Read-only reports on an index: a memory estimate, a statistics record and
// the graph's top layer and entry node. No lock is taken: the figures are a
// snapshot that adds running at the same time may tear.
#include "vx_index_internal.h"

extern "C" VX_API uint64_t vx_index_get_memory_usage(const vx_index *index) {
    if (!index || !index->body) return 0;
    return index->kind->family->memory(index->body);
}

extern "C" VX_API vx_status vx_index_get_stats(const vx_index *index, vx_index_stats *stats) {
    if (!index || !stats) return VX_ERR_INVALID_ARG;
    vx_memset(stats, 0, sizeof(*stats));
    stats->ntotal = vx_index_get_ntotal(index);
    if (index->body) index->kind->family->stats(index->body, stats);
    stats->memory_bytes = vx_index_get_memory_usage(index);
    return VX_OK;
}

extern "C" VX_API uint32_t vx_hnsw_get_max_level(const vx_hnsw_index *h) {
    return h ? __atomic_load_n(&h->max_level, __ATOMIC_RELAXED) : 0;
}

extern "C" VX_API int64_t vx_hnsw_get_entry_point(const vx_hnsw_index *h) {
    return h ? __atomic_load_n(&h->entry_point, __ATOMIC_RELAXED) : -1;
}
